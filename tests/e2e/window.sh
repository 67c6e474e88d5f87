#!/usr/bin/env bash
# The real window and page on a virtual display, driven by window.driver.js; then the files it
# made, the panels it was shown and the reveal it asked for. Screenshots: page-video.png,
# page-images.png and page-convert-options.png in the build folder.
source "$(dirname "$0")/lib/common.sh" window "$@"
mkdir -p "$work/out video" "$work/out-images" "$work/images/sub"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=10:duration=4 -c:v mpeg4 -q:v 3 "$work/clip.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5:duration=1 "$work/anim.gif"
echo "not a clip" >"$work/notes.txt"
convert -size 64x48 gradient:red-blue "$work/images/a.png"
convert -size 80x60 xc:green "$work/images/b.jpg"
convert -size 50x40 xc:blue "$work/images/sub/c.tif"
convert -size 30x20 xc:white "$work/images/<img src=x onerror=alert(1)>.png"
echo "no pixels here" >"$work/images/broken.png"
echo "left out" >"$work/images/readme.txt"

run_window "$(printf '{"clip": "%s", "notes": "%s", "images": "%s", "outVideo": "%s", "outImages": "%s"}' \
  "$work/clip.mp4" "$work/notes.txt" "$work/images" "$work/out video" "$work/out-images")" \
  window.driver.js --timeout 300 "$work/anim.gif"

panels=$(sed -n 's/^E2E:PANEL //p' "$work/log.txt" | paste -sd '|')
[ "$panels" = "Choose a video or animated GIF|Choose a folder to save the frames|Choose a video or animated GIF|Choose folders of images|Choose a folder to save the images|Choose a folder to save the images" ] \
  || fail "unexpected panels: $panels"
size_and_loader() { echo "$(vipsheader -f width "$1")x$(vipsheader -f height "$1") $(vipsheader -f vips-loader "$1")"; }
uris=""
for p in 040 050 060 100; do
  [ "$(size_and_loader "$work/out video/clip_p$p.jpg")" = "320x240 jpegload" ] || fail "clip_p$p.jpg is not a full-size JPEG"
  uris="$uris file://${work// /%20}/out%20video/clip_p$p.jpg"
done
grep -qxF "E2E:REVEAL$uris" "$work/log.txt" || fail "Show in folder did not reveal the four stills"
for f in a:64x48 b:80x60 c:50x40 '<img src=x onerror=alert(1)>:30x20'; do
  [ "$(size_and_loader "$work/out-images/${f%:*}.tiff")" = "${f##*:} tiffload" ] || fail "${f%:*}.tiff is not a ${f##*:} TIFF"
done
for f in a:40x30 b:40x30 sub/c:40x32 '<img src=x onerror=alert(1)>:30x20'; do
  [ "$(size_and_loader "$work/out-images/${f%:*}.webp")" = "${f##*:} webpload" ] || fail "${f%:*}.webp is not a ${f##*:} WebP"
done
[ "$(ls "$work/out video" | wc -l) $(ls "$work/out-images" | wc -l)" = "4 8" ] || fail "other files were written"
