#!/usr/bin/env bash
# Builds the Debian package as `make package` does. Every library the executables link must come
# from a package its Depends names (derived by dpkg-shlibdeps; a hand-written list would drift),
# libc6 with a version floor; the unpacked package is then checked as an installation.
source "$(dirname "$0")/lib/common.sh" install-package "$@"
(cd "$build" && cpack -G DEB -B "$work/cpack") >"$work/cpack.log" 2>&1 || fail "cpack -G DEB failed"
debs=("$work"/cpack/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
depends=$(dpkg-deb -f "${debs[0]}" Depends)
echo "Depends: $depends"
case ", $depends," in *", libc6 (>= "*) ;; *) fail "Depends has no versioned libc6" ;; esac
dpkg-deb -x "${debs[0]}" "$work/root"
for name in quillon quillon-cli; do
  [ -x "$build/bin/$name" ] || continue
  [ -x "$work/root/usr/bin/$name" ] || fail "the package lacks usr/bin/$name"
  libs=$(ldd "$work/root/usr/bin/$name")
  for soname in $(objdump -p "$work/root/usr/bin/$name" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(awk -v s="$soname" '$1 == s && $3 ~ /^\// { print $3 }' <<<"$libs")
    [ -n "$path" ] || fail "$name needs $soname, which is not on this machine"
    # dpkg may record the library under /lib or /usr/lib (merged /usr).
    owner=$(dpkg -S "$path" "/usr${path#/usr}" "${path#/usr}" 2>/dev/null | awk -F: 'NR == 1 { print $1 }' || true)
    [ -n "$owner" ] || fail "no Debian package owns $path ($soname of $name)"
    case ", $depends," in
      *", $owner "* | *", $owner,"* | *"| $owner "* | *"| $owner,"*) ;;
      *) fail "$name links $soname from $owner, which Depends does not name" ;;
    esac
  done
done
bash "$src/packaging/check-install.sh" "$work/root/usr" "$src" "$work" $(expected_programs)
