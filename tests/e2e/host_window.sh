#!/usr/bin/env bash
# The real window with the real page under Xvfb: quillon-e2e runs host_window.driver.js in the
# page (protocol, panels, extraction and export, drop, launch file, reveal, shortcuts, menu,
# navigation refusal) and saves screenshots of the window into the build folder.
#   bash tests/e2e/host_window.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
src=$(cd "${2:?source folder}" && pwd)
e2e="$build/bin/quillon-e2e"
[ -x "$e2e" ] || { echo "host_window: $e2e is not built" >&2; exit 1; }
[ -x "$build/bin/quillon-e2e-drag-source" ] || { echo "host_window: the drag source is not built" >&2; exit 1; }
[ -f "$build/bin/web/index.html" ] || { echo "host_window: the page is not in $build/bin/web" >&2; exit 1; }

work="$build/test-media/host_window"
rm -rf "$work"
mkdir -p "$work/out"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=10:duration=2 -c:v mpeg4 -q:v 3 "$work/clip.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5:duration=1 "$work/anim.gif"
mkdir -p "$work/pictures/sub"
for name in a b sub/c; do
  ffmpeg -v error -f lavfi -i testsrc=size=40x30 -frames:v 1 "$work/pictures/$name.png"
done

{
  printf 'const E2E = %s;\n' "$(printf '{"clip": "%s", "gif": "%s", "out": "%s", "pictures": "%s", "dragSource": "%s"}' \
    "$work/clip.mp4" "$work/anim.gif" "$work/out" "$work/pictures" "$build/bin/quillon-e2e-drag-source")"
  cat "$src/tests/e2e/host_window.driver.js"
} > "$work/driver.js"

status=0
GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 timeout 300 \
  xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- \
  "$e2e" --driver "$work/driver.js" --panel "$work/clip.mp4" --panel "" --out "$build" \
         --timeout 150 --fake-file-manager "$work/anim.gif" >"$work/log.txt" 2>"$work/stderr.txt" || status=$?
grep -h -E "^(E2E:|.*CONSOLE LOG (ok  |FAIL))" "$work/log.txt" "$work/stderr.txt" || true

fail() { echo "host_window: $*" >&2; echo "--- log: $work/log.txt, $work/stderr.txt" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "quillon-e2e exited with status $status"
grep -q '^E2E:PASS' "$work/log.txt" || fail "the driver did not pass"
ls "$work/out"/clip_p000.png "$work/out"/clip_p100.png >/dev/null || fail "the exported stills are missing"
for f in "$work/out"/clip_p000.png "$work/out"/clip_p100.png; do
  [ "$(vipsheader -f width "$f")" = 320 ] || fail "$f is not a full-size still"
done
grep -q "^E2E:REVEAL file://$work/out/clip_p000.png file://$work/out/clip_p100.png$" "$work/log.txt" \
  || fail "reveal did not reach the file manager with both files"
[ -s "$build/host-window.png" ] || fail "no screenshot"
[ "$(vipsheader -f width "$build/host-window.png")" -ge 1000 ] || fail "the screenshot is not of the window"
echo "host_window: passed; screenshots $build/host-window.png, $build/host-window-video.png"
