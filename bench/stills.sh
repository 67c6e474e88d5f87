#!/usr/bin/env bash
# Stills of a 5 % extraction straight from the stills source, on 1080p H.264 clips of 60 s and
# 10 min (30 fps, a key frame every 250 frames): quillon-stills-bench (open, 21 full-size stills,
# a 360-pixel JPEG preview of each) against 21 processes of
# `ffmpeg -ss T -i clip -frames:v 1 -vf scale=360:-2 out.jpg` at the same times. One extra run of
# ours reports the opening time, the frames decoded and the peak memory.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/stills"
mkdir -p "$work"

# The same clips as the bridge benchmark (whichever runs first makes them): a 60 s encode, and
# ten copies of it joined without re-encoding for the 10-minute clip.
short="$BENCH_DIR/h264-1080p-60s.mp4"
long="$BENCH_DIR/h264-1080p-10min.mp4"
if [ ! -f "$short" ]; then
  ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=60" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 250 "$short.tmp.mp4"
  mv "$short.tmp.mp4" "$short"
fi
if [ ! -f "$long" ]; then
  list="$BENCH_DIR/h264-1080p-10min.txt"
  for _ in 1 2 3 4 5 6 7 8 9 10; do echo "file '$short'"; done >"$list"
  ffmpeg -loglevel error -y -f concat -safe 0 -i "$list" -c copy "$long.tmp.mp4"
  mv "$long.tmp.mp4" "$long"
fi

# The times of the 5 % plan, as the planner places them: 0 %, 5 %, ... 95 %, and 100 % one frame
# interval (at least 0.04 s) before the end.
plan_times() {
  local duration
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")
  awk -v d="$duration" 'BEGIN { for (i = 0; i < 20; i++) printf "%.6f\n", d * i * 5 / 100; printf "%.6f\n", d - 0.04 }'
}

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
    "$build/bin/quillon-stills-bench $clip" "bash $peer"
  echo "  ours on the $label clip: $("$build/bin/quillon-stills-bench" "$clip")" | tee -a "$BENCH_DIR/results.txt"
done
