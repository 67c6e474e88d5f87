# Sourced by the end-to-end scripts (lib/common.sh NAME BUILD_DIR SOURCE_DIR): build, src, work.
set -euo pipefail
name=$1
build=$(cd "${2:?build folder}" && pwd)
src=$(cd "${3:?source folder}" && pwd)
work="$build/e2e-$name"
rm -rf "$work" && mkdir -p "$work"
# Each run remembers its settings in its own folder, never in the user's.
export XDG_CONFIG_HOME="$work/config"
fail() { echo "$name: $*" >&2; echo "--- logs in $work" >&2; exit 1; }

# Runs quillon-e2e on a virtual display and session bus with the driver tests/e2e/DRIVER, after
# `const E2E = JSON;` and lib/driver.js; passes when the driver's verdict does and the exit is 0.
run_window() {  # JSON DRIVER [quillon-e2e arguments...]
  local json=$1 driver=$2 status=0
  shift 2
  { echo "const E2E = $json;"; cat "$src/tests/e2e/lib/driver.js" "$src/tests/e2e/$driver"; } >"$work/driver.js"
  GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 timeout 400 \
    xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- \
    "$build/bin/quillon-e2e" --driver "$work/driver.js" --out "$build" "$@" \
    >"$work/log.txt" 2>"$work/stderr.txt" || status=$?
  # The driver's checks are console messages of the page.
  grep -h -E '^E2E:|CONSOLE [A-Z]+ (ok  |FAIL)' "$work/log.txt" "$work/stderr.txt" | sed 's/.*CONSOLE [A-Z]* //' || true
  [ "$status" -eq 0 ] || fail "quillon-e2e exited with status $status, not with the driver's pass"
}

# The install check's flags for the programs this build made.
expected_programs() {
  [ ! -x "$build/bin/quillon" ] || echo --expect-host
  [ ! -x "$build/bin/quillon-cli" ] || echo --expect-cli
}
