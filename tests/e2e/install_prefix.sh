#!/usr/bin/env bash
# Installs the build into a temporary prefix with `cmake --install` and checks the installed tree:
# layout, desktop entry, icon and metainfo, and the installed program showing its page under Xvfb.
#   bash tests/e2e/install_prefix.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work="$build/e2e-install-prefix"
rm -rf "$work"
mkdir -p "$work"

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" \
  || { cat "$work/install.log" >&2; exit 1; }

# What the build made must be installed.
expect=()
[ ! -x "$build/bin/quillon" ] || expect+=(--expect-host)
[ ! -x "$build/bin/quillon-cli" ] || expect+=(--expect-cli)
bash "$source/packaging/check-install.sh" "$work/prefix" "$source" "$work" "${expect[@]}"

# The screenshot of the installed window is kept in the build folder.
[ ! -f "$work/window.png" ] || cp "$work/window.png" "$build/quillon-installed-window.png"
