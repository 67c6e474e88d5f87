#!/usr/bin/env bash
# Without its page the window still opens, 1040x720 with the menu bar, in its own background
# colour, and shows no error page. Runs a copy of the app that has no web folder anywhere near it.
#   bash tests/e2e/host_no_page.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
src=$(cd "${2:?source folder}" && pwd)
[ -x "$build/bin/quillon" ] || { echo "host_no_page: $build/bin/quillon is not built" >&2; exit 1; }

work="$build/test-media/host_no_page"
rm -rf "$work"
mkdir -p "$work/bin"
cp "$build/bin/quillon" "$work/bin/quillon"
"$src/scripts/screenshot" "$work" "$work/window.png" >/dev/null

size=$(vipsheader -f width "$work/window.png")x$(vipsheader -f height "$work/window.png")
[ "$size" = 1040x720 ] || { echo "host_no_page: window is $size, not 1040x720" >&2; exit 1; }
# Below the menu bar every pixel is the window's colour, rgb(14, 16, 13).
colours=$(convert "$work/window.png" -crop 1040x600+0+100 +repage -unique-colors -depth 8 txt:- | tail -n +2 | awk '{print $3}')
[ "$colours" = "#0E100D" ] || { echo "host_no_page: expected only #0E100D, found: $colours" >&2; exit 1; }
echo "host_no_page: passed; screenshot $work/window.png"
