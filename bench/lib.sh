# Shared helpers for the benchmark scripts; source it, then call compare.

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
