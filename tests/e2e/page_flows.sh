#!/usr/bin/env bash
# Whole user flows through the page's own controls in the real window under Xvfb: open a clip,
# extract, select, export to a folder; add a folder of images, convert, remove, clear; drops.
# quillon-e2e runs page_flows.driver.js in the page and answers the panels it opens. Screenshots
# of video mode with a filled grid and of images mode after a conversion are saved in the build
# folder (page-video.png, page-images.png).
#   bash tests/e2e/page_flows.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
src=$(cd "${2:?source folder}" && pwd)
e2e="$build/bin/quillon-e2e"
[ -x "$e2e" ] || { echo "page_flows: $e2e is not built" >&2; exit 1; }
[ -f "$build/bin/web/index.html" ] || { echo "page_flows: the page is not in $build/bin/web" >&2; exit 1; }

work="$build/test-media/page_flows"
rm -rf "$work"
mkdir -p "$work/out-video" "$work/out-images" "$work/images/sub"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=10:duration=4 -c:v mpeg4 -q:v 3 "$work/clip.mp4"
echo "not a clip" > "$work/notes.txt"
convert -size 64x48 gradient:red-blue "$work/images/a.png"
convert -size 80x60 xc:green "$work/images/b.jpg"
convert -size 50x40 xc:blue "$work/images/sub/c.tif"
convert -size 30x20 xc:white "$work/images/<img src=x onerror=alert(1)>.png"
echo "no pixels here" > "$work/images/broken.png"
echo "left out" > "$work/images/readme.txt"

{
  printf 'const E2E = {"clip": "%s", "notes": "%s", "images": "%s", "outVideo": "%s", "outImages": "%s"};\n' \
    "$work/clip.mp4" "$work/notes.txt" "$work/images" "$work/out-video" "$work/out-images"
  cat "$src/tests/e2e/page_flows.driver.js"
} > "$work/driver.js"

status=0
GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 timeout 300 \
  xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- \
  "$e2e" --driver "$work/driver.js" --out "$build" --timeout 240 --fake-file-manager \
  >"$work/log.txt" 2>"$work/stderr.txt" || status=$?
# The driver's checks are console messages of the page; WebKit writes those to standard error.
grep -E '^E2E:' "$work/log.txt" || true
grep -E 'CONSOLE [A-Z]+ (ok  |FAIL)' "$work/stderr.txt" | sed 's/.*CONSOLE [A-Z]* //' || true

fail() { echo "page_flows: $*" >&2; echo "--- log: $work/log.txt, $work/stderr.txt" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "quillon-e2e exited with status $status"
grep -q '^E2E:PASS' "$work/log.txt" || fail "the driver did not pass"

# The four chosen stills, full size, as JPEG.
for p in 040 050 060 100; do
  f="$work/out-video/clip_p$p.jpg"
  [ -f "$f" ] || fail "missing $f"
  [ "$(vipsheader -f width "$f")" = 320 ] && [ "$(vipsheader -f height "$f")" = 240 ] || fail "$f is not a full-size still"
  [ "$(vipsheader -f vips-loader "$f")" = jpegload ] || fail "$f is not a JPEG"
done
[ "$(ls "$work/out-video" | wc -l)" = 4 ] || fail "export wrote other files: $(ls "$work/out-video")"
uris=""
for p in 040 050 060 100; do uris="$uris file://$work/out-video/clip_p$p.jpg"; done
grep -qF "E2E:REVEAL${uris}" "$work/log.txt" || fail "Show in folder did not reveal the four stills"

# The four readable images as TIFF at their own size; the broken one is not written.
check_image() {
  [ -f "$1" ] || fail "missing $1"
  [ "$(vipsheader -f width "$1")x$(vipsheader -f height "$1")" = "$2" ] || fail "$1 is not $2"
  [ "$(vipsheader -f vips-loader "$1")" = tiffload ] || fail "$1 is not a TIFF"
}
check_image "$work/out-images/a.tiff" 64x48
check_image "$work/out-images/b.tiff" 80x60
check_image "$work/out-images/c.tiff" 50x40
check_image "$work/out-images/<img src=x onerror=alert(1)>.tiff" 30x20
[ "$(ls "$work/out-images" | wc -l)" = 4 ] || fail "conversion wrote other files: $(ls "$work/out-images")"

for shot in page-video page-images; do
  [ -s "$build/$shot.png" ] || fail "no screenshot $shot.png"
done
echo "page_flows: passed; screenshots $build/page-video.png, $build/page-images.png"
