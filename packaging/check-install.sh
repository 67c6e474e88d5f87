#!/usr/bin/env bash
# Checks an installed Quillon tree: the layout, the desktop entry and the AppStream metainfo, and
# that the installed desktop program, started under Xvfb, shows its page from share/quillon/web.
#
#   packaging/check-install.sh PREFIX SOURCE_DIR WORK_DIR [--expect-host] [--expect-cli]
#                              [--launcher PROGRAM]
#
# PREFIX is the folder holding bin/ and share/ (a `cmake --install --prefix` target, or usr/ of an
# unpacked .deb). WORK_DIR receives the screenshots and logs. --expect-host and --expect-cli make
# the absence of bin/quillon and bin/quillon-cli a failure. With --launcher, the program is started
# as `PROGRAM PREFIX/bin/quillon ARGUMENT...` (to run it inside a chroot, say). Exits non-zero on
# the first failure.
set -euo pipefail

app_id=org.quillon.Quillon
# The window's background colour, visible until the page paints: rgb 0.055, 0.063, 0.051.
background='#0e100d'

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "check-install: $*"; }

# ---------------------------------------------------------------------------------------------
# Inside Xvfb: start one program, wait for its window, and save a screenshot of it.
#   --window BINARY OUT.png MODE BASELINES [ARGUMENT...]
# MODE "settled" waits a fixed time after the window maps; MODE "page" waits until the window
# differs from every screenshot in BASELINES (a ':'-separated list of the same program started
# otherwise), then lets it settle. The arguments are passed to the program.
if [ "${1:-}" = --window ]; then
  binary=$2 out=$3 mode=$4
  IFS=: read -r -a baselines <<<"$5"
  shift 5
  log="${out%.png}.log"
  ${QUILLON_CHECK_LAUNCHER:+"$QUILLON_CHECK_LAUNCHER"} "$binary" "$@" >"$log" 2>&1 &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT

  # The application's main window: the first top-level window titled "Quillon" that is at least
  # as large as the window's minimum size.
  find_window() {
    xwininfo -root -tree 2>/dev/null | awk '
      $2 == "\"Quillon\":" {
        for (i = 3; i <= NF; i++) if (match($i, /^[0-9]+x[0-9]+\+/)) {
          split($i, g, /[x+]/); if (g[1] >= 880 && g[2] >= 600 && !found) { print $1; found = 1 }
        }
      }' || true
  }
  wid=""
  for _ in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; fail "$binary exited before showing a window"; }
    wid=$(find_window)
    [ -n "$wid" ] && break
    sleep 0.2
  done
  [ -n "$wid" ] || fail "$binary showed no window titled Quillon within 30 s"

  # The page area: the lower 80% of the window, below any title bar the toolkit draws itself.
  shoot() { import -window "$wid" "$1" 2>/dev/null && convert "$1" -gravity South -crop 100%x80%+0+0 +repage "$2"; }

  # The share of the page area within a few percent of one colour.
  share_of() { convert "$1" -fuzz "$2" -fill white -opaque "$3" -fill black +opaque white -format '%[fx:mean]' info:; }
  # Painted, and unlike each baseline: less than 90% of the page area is black (a surface not yet
  # painted), and at least 0.2% of it differs from the page area of every baseline screenshot.
  page_shown() {
    local area changed base
    area=$(identify -format '%[fx:w*h]' "$1")
    awk -v b="$(share_of "$1" 2% black)" 'BEGIN { exit !(b < 0.9) }' || return 1
    for base in "${baselines[@]}"; do
      changed=$(compare -metric AE -fuzz 6% "$1" "${base%.png}-page-area.png" null: 2>&1 | cut -d' ' -f1 || true)
      case $changed in ''|*[!0-9.e+]*) return 1 ;; esac
      awk -v c="$changed" -v a="$area" 'BEGIN { exit !(c > a / 500) }' || return 1
    done
  }

  if [ "$mode" = settled ]; then
    sleep 3
    shoot "$out" "${out%.png}-page-area.png"
  else
    shown=""
    for _ in $(seq 1 60); do
      kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; fail "$binary exited while loading its page"; }
      shoot "$out" "${out%.png}-page-area.png"
      if page_shown "${out%.png}-page-area.png"; then shown=yes; break; fi
      sleep 0.5
    done
    [ -n "$shown" ] || fail "the window never showed its page (it stayed as without its page)"
    # Once laid out, the page stays: the screenshot kept is taken after it settled.
    sleep 1.5
    shoot "$out" "${out%.png}-page-area.png"
    page_shown "${out%.png}-page-area.png" \
      || fail "the window showed its page, then went back to how it looks without it"
  fi
  kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; fail "$binary exited after showing its window"; }
  xprop -id "$wid" _GTK_APPLICATION_ID >"${out%.png}.app-id" 2>/dev/null || true
  exit 0
fi

# ---------------------------------------------------------------------------------------------
prefix=$1 source=$2 work=$3
shift 3
expect_host="" expect_cli=""
export QUILLON_CHECK_LAUNCHER=""
while [ $# -gt 0 ]; do
  case $1 in
    --expect-host) expect_host=yes ;;
    --expect-cli) expect_cli=yes ;;
    --launcher) QUILLON_CHECK_LAUNCHER=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
    *) fail "unknown argument $1" ;;
  esac
  shift
done
mkdir -p "$work"

# Layout.
desktop="$prefix/share/applications/$app_id.desktop"
icon="$prefix/share/icons/hicolor/scalable/apps/$app_id.svg"
metainfo="$prefix/share/metainfo/$app_id.metainfo.xml"
web="$prefix/share/quillon/web"
for f in "$desktop" "$icon" "$metainfo"; do
  [ -f "$f" ] || fail "missing ${f#"$prefix"/}"
done
[ -d "$web" ] || fail "missing share/quillon/web/"
# The installed page is the source page without its Node tooling.
diff -r -x node_modules -x package.json -x package-lock.json -x '*.test.*' "$source/web" "$web" \
  || fail "share/quillon/web differs from the source page"
if [ -f "$source/web/index.html" ]; then
  [ -f "$web/index.html" ] || fail "share/quillon/web/index.html is missing"
fi
for name in quillon quillon-cli; do
  binary="$prefix/bin/$name"
  if [ -e "$binary" ]; then
    [ -x "$binary" ] || fail "bin/$name is not executable"
    if ldd "$binary" | grep 'not found' >&2; then
      fail "bin/$name needs libraries that are not found"
    fi
  fi
done
[ -z "$expect_host" ] || [ -x "$prefix/bin/quillon" ] || fail "missing bin/quillon"
[ -z "$expect_cli" ] || [ -x "$prefix/bin/quillon-cli" ] || fail "missing bin/quillon-cli"
note "layout complete"

# Validators, and the links between the three files: one application id names them all.
desktop-file-validate "$desktop" || fail "desktop-file-validate rejected the desktop entry"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejected the metainfo"
# The icon renders (librsvg through libvips) at the size it declares.
vips copy "$icon" "$work/icon.png" 2>/dev/null || fail "the icon cannot be rendered as SVG"
[ "$(vipsheader -f width "$work/icon.png")x$(vipsheader -f height "$work/icon.png")" = 128x128 ] \
  || fail "the icon does not render at 128x128"
entry() { awk -v key="$1" 'index($0, key "=") == 1 && !done { print substr($0, length(key) + 2); done = 1 }' "$desktop"; }
[ "$(entry Exec)" = "quillon %F" ] || fail "Exec is '$(entry Exec)', not 'quillon %F'"
[ "$(entry Icon)" = "$app_id" ] || fail "Icon is '$(entry Icon)', not $app_id"
grep -q "<id>$app_id</id>" "$metainfo" || fail "metainfo id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" \
  || fail "metainfo does not launch $app_id.desktop"
grep -q '<screenshot type="default">' "$metainfo" || fail "metainfo has no screenshot"
mime=";$(entry MimeType)"
for type in video/mp4 video/quicktime video/webm video/x-matroska video/x-msvideo video/mpeg \
            video/x-m4v image/gif image/png image/jpeg image/tiff image/heic image/heif image/bmp \
            image/webp image/jp2 image/vnd.adobe.photoshop; do
  case $mime in *";$type;"*) ;; *) fail "the desktop entry does not declare $type" ;; esac
  grep -q "<mediatype>$type</mediatype>" "$metainfo" || fail "the metainfo does not provide $type"
done
note "desktop entry, icon and metainfo valid"

[ -x "$prefix/bin/quillon" ] || { note "no bin/quillon here: the window was not started"; exit 0; }

# The installed program, started under Xvfb on a private session bus with an empty home: once with
# its page moved away (the window in its background colour), then as installed. The page counts as
# shown when the window then differs from the first run; that the page came from share/quillon/web
# follows from the first run, where nothing else could be found.
# A short path: WebKit puts its sockets under XDG_RUNTIME_DIR, and socket paths are limited.
home=$(mktemp -d /tmp/quillon-home.XXXXXX)
mkdir -p "$home/run" && chmod 700 "$home/run"
window() {
  env -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    XDG_CACHE_HOME="$home/.cache" XDG_DATA_HOME="$home/.local/share" XDG_RUNTIME_DIR="$home/run" \
    GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 \
    dbus-run-session -- xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" \
    bash "$0" --window "$@"
}
mv "$web" "$web.away"
restore() { [ ! -d "$web.away" ] || mv "$web.away" "$web"; }
cleanup() { restore; rm -rf "$home"; }
trap cleanup EXIT
window "$prefix/bin/quillon" "$work/without-page.png" settled none
restore
# Without its page the window shows its background colour over most of the page area.
bg_share=$(convert "$work/without-page-page-area.png" -fuzz 4% -fill white -opaque "$background" \
  -fill black +opaque white -format '%[fx:mean]' info:)
awk -v s="$bg_share" 'BEGIN { exit !(s >= 0.9) }' \
  || fail "without its page the window is not in its background colour ($bg_share of it is)"
window "$prefix/bin/quillon" "$work/window.png" page "$work/without-page.png"

# The running window belongs to the application id of the desktop entry.
if grep -q '"' "$work/window.app-id"; then
  running_id=$(sed -n 's/.*"\(.*\)".*/\1/p' "$work/window.app-id")
  [ "$running_id" = "$app_id" ] || fail "the window's application id is $running_id, not $app_id"
else
  fail "the window has no GTK application id"
fi
note "installed quillon showed its page (screenshot: $work/window.png)"

# "Open With": a file given on the command line is taken as if dropped on the window, so the page
# then shows the clip and differs from the window started without it.
clip="$work/clip with space.gif"
ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=160x90:rate=10:duration=1 "$clip" \
  || fail "ffmpeg could not make a test GIF"
window "$prefix/bin/quillon" "$work/opened-clip.png" page "$work/without-page.png:$work/window.png" "$clip"
note "installed quillon opened a GIF given on its command line (screenshot: $work/opened-clip.png)"
