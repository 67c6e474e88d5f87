#!/usr/bin/env bash
# Installs the Debian package with apt into a fresh, minimal Debian 12 made by debootstrap, then
# checks the installed tree and starts the installed quillon inside that system (a chroot), on an
# Xvfb display and session bus of this machine, and checks that it shows its page.
#   packaging/check-fresh-debian.sh PACKAGE.deb SOURCE_DIR WORK_DIR
#
# Needs root, debootstrap (apt-get install debootstrap) and the Debian mirror; it downloads a base
# system and the package's dependencies, a few hundred megabytes, so `make test` does not run it.
# WORK_DIR/root is reused when it already holds a system.
set -euo pipefail
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
source=$(cd "$2" && pwd)
mkdir -p "$3"
work=$(cd "$3" && pwd)
root="$work/root"
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot)"
command -v debootstrap >/dev/null || fail "needs debootstrap"
if [ ! -x "$root/usr/bin/apt-get" ]; then
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$work/debootstrap.log" \
    || { tail "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -R "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
# WebKit's sandbox (bubblewrap) needs the system's root to be a mount point of its own.
mountpoint -q "$root" || { mount --bind "$root" "$root" && mounted+=("$root"); }
for fs in proc sys dev; do
  mountpoint -q "$root/$fs" || { mount --rbind "/$fs" "$root/$fs" && mount --make-rslave "$root/$fs" && mounted+=("$root/$fs"); }
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/var/tmp/quillon.deb"
# This machine's /tmp, where the check keeps its home folder, and the display's and session bus's
# sockets when they are not abstract.
mountpoint -q "$root/tmp" || { mount --bind /tmp "$root/tmp" && mounted+=("$root/tmp"); }

# apt resolves the package's Depends from the mirror: nothing else is installed by hand.
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  /var/tmp/quillon.deb >"$work/apt.log" 2>&1 || { tail -20 "$work/apt.log" >&2; fail "apt could not install the package"; }
chroot "$root" dpkg -s quillon | grep -q '^Status: install ok installed' || fail "quillon is not installed"

# Starts PREFIX/bin/quillon as /usr/bin/quillon inside the chroot. Files named on its command line
# outside /tmp are copied to the same path inside.
launcher="$work/run-in-chroot"
cat >"$launcher" <<EOF
#!/usr/bin/env bash
binary=\$1
shift
for arg in "\$@"; do
  case \$arg in /tmp/*) ;; *) [ ! -f "\$arg" ] || { mkdir -p "$root\$(dirname "\$arg")" && cp "\$arg" "$root\$arg"; } ;; esac
done
exec chroot "$root" "\${binary#"$root"}" "\$@"
EOF
chmod +x "$launcher"

bash "$source/packaging/check-install.sh" "$root/usr" "$source" "$work/check" --expect-host \
  --expect-cli --launcher "$launcher"
echo "check-fresh-debian: apt installed the package into a fresh Debian 12, and its quillon showed its page"
