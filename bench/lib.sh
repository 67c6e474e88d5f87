# Shared helpers for the benchmark scripts, which take the build folder as their first argument
# and source this file: $build, $cli (its quillon-cli) and $out, a scratch folder for the files
# the timed commands write.
build=$1
cli="$build/bin/quillon-cli"
out="$BENCH_DIR/out"
mkdir -p "$out"

# copy_photos DIR N: N copies of the corpus photograph in DIR (photo01.jpg ...), each its own
# file, so no two reads share the page cache of one file.
copy_photos() {
  local dir=$1 n=$2 i
  mkdir -p "$dir"
  for i in $(seq -w 1 "$n"); do
    [ -f "$dir/photo$i.jpg" ] || cp "$BENCH_DIR/photo-4000x3000.jpg" "$dir/photo$i.jpg"
  done
}

# compare LABEL RUNS OURS PEER
#   Times the command lines OURS and PEER as whole processes (about RUNS runs each) and
#   prints the mean wall times and their ratio ours/peer, and with hyperfine also the mean CPU
#   times (user + system) and their ratio. Without hyperfine it falls back to a loop of
#   `date +%s.%N` (wall time only). Command lines are split on spaces and run without a shell, so their
#   arguments may hold brackets but not spaces.
compare() {
  local label=$1 runs=$2 ours=$3 peer=$4
  local ours_ms peer_ms ours_cpu="" peer_cpu=""
  if command -v hyperfine >/dev/null 2>&1; then
    # Two rounds in opposite order, so that a change in the shared machine's load during the run
    # weighs on both sides alike; the figures are the means over both rounds.
    local first second half=$(((runs + 1) / 2))
    first=$(mktemp)
    second=$(mktemp)
    hyperfine -N --style none --warmup 1 --runs "$half" --export-csv "$first" \
      -n ours "$ours" -n peer "$peer" >/dev/null
    hyperfine -N --style none --warmup 1 --runs "$half" --export-csv "$second" \
      -n peer "$peer" -n ours "$ours" >/dev/null
    ours_ms=$(awk -F, '$1 == "ours" {sum += $2; n++} END {printf "%.1f", sum * 1000 / n}' "$first" "$second")
    peer_ms=$(awk -F, '$1 == "peer" {sum += $2; n++} END {printf "%.1f", sum * 1000 / n}' "$first" "$second")
    # CPU time (user + system) varies far less than wall time when others load the machine.
    ours_cpu=$(awk -F, '$1 == "ours" {sum += $5 + $6; n++} END {printf "%.1f", sum * 1000 / n}' "$first" "$second")
    peer_cpu=$(awk -F, '$1 == "peer" {sum += $5 + $6; n++} END {printf "%.1f", sum * 1000 / n}' "$first" "$second")
    rm -f "$first" "$second"
  else
    ours_ms=$(time_loop "$runs" "$ours")
    peer_ms=$(time_loop "$runs" "$peer")
  fi
  local line
  line=$(awk -v l="$label" -v o="$ours_ms" -v p="$peer_ms" \
    'BEGIN {printf "%s: wall ours %.1f ms, peer %.1f ms, ratio ours/peer %.2f", l, o, p, o / p}')
  if [ -n "$ours_cpu" ]; then
    line+=$(awk -v o="$ours_cpu" -v p="$peer_cpu" \
      'BEGIN {printf "; cpu ours %.1f ms, peer %.1f ms, ratio %.2f", o, p, o / p}')
  fi
  echo "$line" | tee -a "$BENCH_DIR/results.txt"
}

# time_loop RUNS COMMAND: the mean wall time of RUNS runs in milliseconds, after one warm-up.
time_loop() {
  local runs=$1 cmd=$2 start end i
  read -r -a argv <<<"$cmd"
  "${argv[@]}" >/dev/null
  start=$(date +%s.%N)
  for ((i = 0; i < runs; i++)); do
    "${argv[@]}" >/dev/null
  done
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$runs" 'BEGIN {printf "%.1f", (e - s) * 1000 / n}'
}

# The video clips of the stills and bridge benchmarks, and the times of their 5 % plan.
# The 60 s clip: 1080p30 H.264 with moving detail, made once. The 10-minute clip is ten copies of
# it joined without re-encoding (each copy starts on a key frame), which takes a moment instead
# of the long encode of 18,000 frames.
make_clips() {
  local short="$BENCH_DIR/h264-1080p-60s.mp4" long="$BENCH_DIR/h264-1080p-10min.mp4"
  if [ ! -f "$short" ]; then
    ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=60" \
      -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 250 "$short.tmp.mp4"
    mv "$short.tmp.mp4" "$short"
  fi
  if [ ! -f "$long" ]; then
    local list="$BENCH_DIR/h264-1080p-10min.txt"
    for _ in 1 2 3 4 5 6 7 8 9 10; do echo "file '$short'"; done >"$list"
    ffmpeg -loglevel error -y -f concat -safe 0 -i "$list" -c copy "$long.tmp.mp4"
    mv "$long.tmp.mp4" "$long"
  fi
}

# The times of the 5 % plan: 0 %, 5 %, ... 95 % of the clip, and the 100 % sample one frame
# interval (at least 0.04 s) before the end, as the planner places it.
plan_times() {
  local clip=$1
  local duration
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip")
  awk -v d="$duration" 'BEGIN { for (i = 0; i < 20; i++) printf "%.6f\n", d * i * 5 / 100; printf "%.6f\n", d - 0.04 }'
}

# measure_wall_cpu COMMAND...: runs the command once and prints its wall time and its CPU time (user and
# system, of every process it started) in seconds.
measure_wall_cpu() {
  local TIMEFORMAT='%R %U %S' times
  times=$( { time "$@" >/dev/null 2>&1; } 2>&1)
  awk '{printf "%.2f %.2f", $1, $2 + $3}' <<<"$times"
}

# report LABEL OURS PEER PEERNAME: one result line; OURS and PEER are "wall cpu" pairs; ratios are
# ours/peer (below 1 is faster).
report() {
  awk -v l="$1" -v o="$2" -v p="$3" -v n="$4" 'BEGIN {
    split(o, a, " "); split(p, b, " ")
    printf "%s: ours %.2f s (CPU %.2f s), %s %.2f s (CPU %.2f s), wall ratio %.2f, CPU ratio %.2f\n",
      l, a[1], a[2], n, b[1], b[2], a[1] / b[1], a[2] / b[2]
  }' | tee -a "$BENCH_DIR/results.txt"
}

fresh() { rm -rf "$1" && mkdir -p "$1"; }
