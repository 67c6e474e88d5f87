#!/usr/bin/env bash
# The viewer's frame stepping through `quillon-cli bridge`, on the 1080p 60 s H.264 clip (30 fps,
# a key frame every 250 frames): from the still at 50 % (frame 900, 150 frames after the key frame
# at 750), 30 steps of one frame forward, then 30 back, each timed from the command to its reply
# with the new large picture (the frame at 1920 px as a JPEG data URL, and its 360 px preview);
# medians. Peers in the same run: `ffmpeg -ss T -i clip -frames:v 1 out.jpg` for each of the same
# 60 frames (the frame-by-frame way of getting there), and the decoding of one whole group of
# pictures (`ffmpeg -ss K -i clip -frames:v 250 -f null -`), which a step back must stay under.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/step"
mkdir -p "$work"
make_clips
clip="$BENCH_DIR/h264-1080p-60s.mp4"

ours=$(node "$here/tools/step-latency.mjs" "$build/bin/quillon-cli" "$clip" 30 1920)
echo "stepping ours: $ours" | tee -a "$BENCH_DIR/results.txt"

# median_ms COMMAND...: the median wall time of the commands read from standard input, one a line.
median_ms() {
  local times=()
  while IFS= read -r line; do
    local start end
    start=$(date +%s%N)
    bash -c "$line" </dev/null >/dev/null
    end=$(date +%s%N)
    times+=($(((end - start) / 1000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR] = $1} END {m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.1f", m / 1000}'
}
# The frames the 60 steps show: 901 ... 930 forward, then 929 ... 900 back, at their starts.
forward=$(for f in $(seq 901 930); do awk -v f="$f" 'BEGIN {printf "%.6f\n", f / 30}'; done)
back=$(for f in $(seq 929 -1 900); do awk -v f="$f" 'BEGIN {printf "%.6f\n", f / 30}'; done)
peer_forward=$(for t in $forward; do echo "ffmpeg -loglevel error -y -ss $t -i '$clip' -frames:v 1 -q:v 2 '$work/peer.jpg'"; done | median_ms)
peer_back=$(for t in $back; do echo "ffmpeg -loglevel error -y -ss $t -i '$clip' -frames:v 1 -q:v 2 '$work/peer.jpg'"; done | median_ms)
group=$(for _ in 1 2 3 4 5; do echo "ffmpeg -loglevel error -ss 25 -i '$clip' -frames:v 250 -f null -"; done | median_ms)
echo "stepping peer: ffmpeg -ss per frame, median forward $peer_forward ms, back $peer_back ms; one group of 250 frames decoded in $group ms" |
  tee -a "$BENCH_DIR/results.txt"
