#!/usr/bin/env bash
# Builds the Debian package with CPack (as `make package` does), checks that its Depends were
# derived from the libraries the executables link, unpacks it with `dpkg -x` and checks the
# unpacked tree as an installation, starting the packaged program under Xvfb.
#   bash tests/e2e/install_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work="$build/e2e-install-package"
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/cpack") >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$work"/cpack/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}
dpkg-deb -I "$deb" >"$work/control.txt"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"

dpkg-deb -x "$deb" "$work/root"
# Every shared library an executable needs must come from a package the Depends field names: that
# is what dpkg-shlibdeps derives, and a hand-written list would drift from it.
elves=()
for name in quillon quillon-cli; do
  if [ -x "$build/bin/$name" ]; then
    [ -x "$work/root/usr/bin/$name" ] || fail "the package lacks usr/bin/$name"
    elves+=("$work/root/usr/bin/$name")
  fi
done
# Merged /usr: dpkg may record a library under /lib or /usr/lib, whichever its package ships.
owner_of() {
  local p
  for p in "$1" "$(readlink -f "$1")"; do
    for candidate in "$p" "${p#/usr}" "/usr$p"; do
      dpkg -S "$candidate" 2>/dev/null | awk -F: 'NR == 1 { print $1 }' && return 0
    done
  done
  return 0
}
for f in "${elves[@]}"; do
  resolved=$(ldd "$f")
  for soname in $(objdump -p "$f" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(awk -v s="$soname" '$1 == s && $2 == "=>" { print $3; exit }' <<<"$resolved")
    [ -n "$path" ] && [ "$path" != "not" ] || fail "$(basename "$f") needs $soname, which is not on this machine"
    owner=$(owner_of "$path")
    [ -n "$owner" ] || fail "no Debian package owns $path ($soname of $(basename "$f"))"
    case ", $depends," in
      *", $owner "* | *", $owner,"* | *"| $owner "* | *"| $owner,"*) ;;
      *) fail "$(basename "$f") links $soname from $owner, which Depends does not name" ;;
    esac
  done
done
# dpkg-shlibdeps gives each dependency a version floor from the symbols used; libc6 always has one.
if [ ${#elves[@]} -gt 0 ]; then
  case ", $depends," in *", libc6 (>= "*) ;; *) fail "Depends has no versioned libc6" ;; esac
fi

expect=()
[ ! -x "$build/bin/quillon" ] || expect+=(--expect-host)
[ ! -x "$build/bin/quillon-cli" ] || expect+=(--expect-cli)
bash "$source/packaging/check-install.sh" "$work/root/usr" "$source" "$work" "${expect[@]}"
