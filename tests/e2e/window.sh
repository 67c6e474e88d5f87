#!/usr/bin/env bash
# The real window and page on a virtual display, driven by window.driver.js; then the files it
# made, the panels it was shown and the reveal it asked for. The driver leaves screenshots in the
# build folder: window-*.png of the whole screen with the host's dialogs, the others of the page.
# A second start then finds the window and the page as they were left.
source "$(dirname "$0")/lib/common.sh" window "$@"
mkdir -p "$work/out video" "$work/out-images" "$work/images/sub" "$work/out cancel" "$work/out-quit"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=10:duration=4 -c:v mpeg4 -q:v 3 "$work/clip.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5:duration=1 "$work/anim.gif"
echo "not a clip" >"$work/notes.txt"
convert -size 64x48 gradient:red-blue "$work/images/a.png"
convert -size 80x60 xc:green "$work/images/b.jpg"
exiftool -q -q -overwrite_original -Make=Quillontest -GPSLatitude=48.85 -GPSLatitudeRef=N "$work/images/b.jpg"
convert -size 50x40 xc:blue "$work/images/sub/c.tif"
convert -size 30x20 xc:white "$work/images/<img src=x onerror=alert(1)>.png"
echo "no pixels here" >"$work/images/broken.png"
echo "left out" >"$work/images/readme.txt"

run_window "$(printf '{"clip": "%s", "notes": "%s", "images": "%s", "outVideo": "%s", "outImages": "%s", "outCancel": "%s", "outQuit": "%s", "shots": "%s"}' \
  "$work/clip.mp4" "$work/notes.txt" "$work/images" "$work/out video" "$work/out-images" "$work/out cancel" "$work/out-quit" "$build")" \
  window.driver.js --timeout 300 "$work/anim.gif"

panels=$(sed -n 's/^E2E:PANEL //p' "$work/log.txt" | paste -sd '|')
[ "$panels" = "Choose a video or animated GIF|Choose a folder to save the frames|Choose a folder to save the frames|Choose a video or animated GIF|Choose folders of images|Choose a folder to save the images|Choose a folder to save the images|Choose a folder to save the images|Choose images or folders|Choose a folder to save the frames" ] \
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
[ "$(exiftool -q -q -T -Make -GPSLatitude "$work/out-images/b.tiff")" = "Quillontest	-" ] \
  || fail "b.tiff did not keep its camera without its location"
[ "$(ls "$work/out video" | wc -l) $(ls "$work/out-images" | wc -l)" = "4 8" ] || fail "other files were written"
# Quit during an export (JPEG, video mode's format): whole stills only, and no other file.
quit_files=$(ls -A "$work/out-quit" | wc -l)
[ "$quit_files" -ge 1 ] && [ "$quit_files" -le 101 ] || fail "$quit_files files after quitting during the export"
[ "$(ls "$work/out-quit" | wc -l)" = "$quit_files" ] || fail "a hidden file was left after quitting during the export"
for f in "$work/out-quit"/*; do
  [ "$(size_and_loader "$f")" = "320x240 jpegload" ] || fail "$f is not a whole still"
done
# What the window remembered for the next start: each mode's own output, and the last size.
settings="$XDG_CONFIG_HOME/quillon/settings.ini"
value() { sed -n "/^\[$1\]/,/^\[/s/^$2=//p" "$settings"; }
[ "$(value video format) $(value video destination)" = "jpeg file://${work// /%20}/out-quit" ] \
  || fail "video mode's output not remembered: $(cat "$settings")"
[ "$(value images format) $(value images destination)" = "webp " ] || fail "images mode's output not remembered: $(cat "$settings")"
[ "$(value window width)x$(value window height)" = "880x600" ] || fail "window size not remembered: $(cat "$settings")"

# A second start: the window at the size it was left, each mode's output and the spacing as chosen.
run_window '{}' window-restart.driver.js --timeout 60
