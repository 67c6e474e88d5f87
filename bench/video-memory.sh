#!/usr/bin/env bash
# Peak resident memory of video mode on a 3840x2160 10-bit HEVC clip (4 s, 25 fps, a key frame
# every second): `quillon-cli bridge` fed loadVideo and either an extract at 5 % (21 previews) or
# an export of the 21 stills of that plan as full-size PNG files. GNU time's maximum resident set
# size; no peer (the figure is held against a fixed bound, 600 MB).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/memory"
mkdir -p "$work"

clip="$BENCH_DIR/hevc10-2160p-4s.mp4"
if [ ! -f "$clip" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=3840x2160:rate=25:duration=4 \
    -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 \
    -x265-params keyint=25:min-keyint=25:log-level=error "$clip.part.mp4"
  mv "$clip.part.mp4" "$clip"
fi

load="{\"id\":1,\"cmd\":\"loadVideo\",\"args\":{\"path\":\"$clip\"}}"
ids='[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20]'
measure() {
  local label=$1
  shift
  local kb
  kb=$(printf '%s\n' "$@" | /usr/bin/time -f '%M' "$cli" bridge 2>&1 >/dev/null | tail -1)
  echo "peak memory, $label on the 2160p 10-bit HEVC clip: $((kb / 1024)) MiB" | tee -a "$BENCH_DIR/results.txt"
}
measure "loadVideo + extract 5 % (21 previews)" "$load" '{"id":2,"cmd":"extract","args":{"stepPercent":5}}'
rm -rf "$work/png" && mkdir -p "$work/png"
measure "loadVideo + export 21 full-size PNG" "$load" \
  "{\"id\":2,\"cmd\":\"export\",\"args\":{\"ids\":$ids,\"format\":\"png\",\"quality\":0.9,\"dest\":\"$work/png\"}}"
echo "  PNG files written: $(find "$work/png" -name '*.png' | wc -l)" | tee -a "$BENCH_DIR/results.txt"
