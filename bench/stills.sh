#!/usr/bin/env bash
# Stills of a 5 % extraction straight from the stills source, on 1080p H.264 clips of 60 s and
# 10 min (30 fps, a key frame every 250 frames): quillon-stills-bench (open, 21 stills reduced as
# they are decoded, a 360-pixel JPEG preview of each) against 21 processes of
# `ffmpeg -ss T -i clip -frames:v 1 -vf scale=360:-2 out.jpg` at the same times. One extra run of
# ours reports the opening time, the frames decoded, the CPU time and the peak memory, then the
# decode floor measured in the same process (FFmpeg alone on one thread decoding only the frames
# the stills need, its CPU time divided by two) and ours / floor.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/stills"
mkdir -p "$work"

make_clips

for label in 60s 10min; do
  clip="$BENCH_DIR/h264-1080p-$label.mp4"
  peer="$work/peer-$label.sh"
  {
    echo "#!/usr/bin/env bash"
    i=0
    for t in $(plan_times "$clip"); do
      echo "ffmpeg -loglevel error -y -ss $t -i '$clip' -frames:v 1 -vf scale=360:-2 '$work/peer$i.jpg'"
      i=$((i + 1))
    done
  } >"$peer"
  compare "stills source: 21 stills + 360 px previews on the $label 1080p clip" 2 \
    "$build/bin/quillon-stills-bench $clip 5 --no-floor" "bash $peer"
  { "$build/bin/quillon-stills-bench" "$clip" || echo "the stills bench failed"; } | sed "s/^/  ours on the $label clip: /" | tee -a "$BENCH_DIR/results.txt"
done
