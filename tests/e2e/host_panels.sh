#!/usr/bin/env bash
# GTK's own file chooser in the real window under Xvfb: the page's Open button shows it with its
# title, a path typed into it opens the clip, Escape cancels and leaves the clip open.
#   bash tests/e2e/host_panels.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
src=$(cd "${2:?source folder}" && pwd)
e2e="$build/bin/quillon-e2e"
[ -x "$e2e" ] || { echo "host_panels: $e2e is not built" >&2; exit 1; }

work="$build/test-media/host_panels"
rm -rf "$work"
mkdir -p "$work"
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v mpeg4 "$work/clip.mp4"
{
  printf 'const E2E = {"clip": "%s"};\n' "$work/clip.mp4"
  cat "$src/tests/e2e/host_panels.driver.js"
} > "$work/driver.js"

status=0
GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 timeout 200 \
  xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- \
  "$e2e" --real-panels --driver "$work/driver.js" --timeout 120 \
  >"$work/log.txt" 2>"$work/stderr.txt" || status=$?
grep -h -E "^(E2E:|.*CONSOLE LOG (ok  |FAIL))" "$work/log.txt" "$work/stderr.txt" || true

fail() { echo "host_panels: $*" >&2; echo "--- log: $work/log.txt, $work/stderr.txt" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "quillon-e2e exited with status $status"
grep -q '^E2E:PASS' "$work/log.txt" || fail "the driver did not pass"
answers=$(grep '^E2E:PANEL answered' "$work/log.txt")
[ "$answers" = "E2E:PANEL answered $work/clip.mp4
E2E:PANEL answered" ] || fail "unexpected chooser answers: $answers"
echo "host_panels: passed"
