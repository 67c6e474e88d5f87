#!/usr/bin/env bash
# Installs the build into a temporary prefix with `cmake --install` and checks the installed tree
# with packaging/check-install.sh (layout, desktop entry, icon, metainfo, the installed window
# with and without its page); keeps its screenshot as quillon-installed-window.png.
source "$(dirname "$0")/lib/common.sh" install-prefix "$@"
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" || fail "cmake --install failed"
bash "$src/packaging/check-install.sh" "$work/prefix" "$src" "$work" $(expected_programs)
[ ! -f "$work/window.png" ] || cp "$work/window.png" "$build/quillon-installed-window.png"
