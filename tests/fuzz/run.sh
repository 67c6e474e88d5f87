#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# in BUILD (default build-fuzz), generates the seed corpora and runs each target for SECONDS
# (default 60). Corpora grow in BUILD/corpus/<target>; crashers land in BUILD/crashes/<target>/.
# Exit status 1 when a target found a crash, a leak-free timeout or an out-of-memory input.
set -uo pipefail
SRC=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$SRC/build-fuzz}
SECONDS_EACH=${2:-60}
JOBS=${JOBS:-2}
BUILD=$(mkdir -p "$BUILD" && cd "$BUILD" && pwd)

CC=clang CXX=clang++ cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLON_BUILD_HOST=OFF -DQUILLON_FUZZ=ON -DQUILLON_SANITIZE="address;undefined" \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null || exit 2
cmake --build "$BUILD" -j"$JOBS" --target FuzzDispatcher FuzzStillsSource FuzzImageProbe || exit 2

"$SRC/tests/fuzz/make-seeds.sh" "$BUILD/seeds" || exit 2

# Leak checking is off: libvips, GLib and FFmpeg keep caches and type registries for the life of
# the process, which LeakSanitizer cannot tell from our own leaks (the ASan test build and the
# soak run's flat RSS cover leaks instead).
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export VIPS_WARNING=0

status=0
run_target() {
    local target=$1 seeds=$2 maxlen=$3
    local corpus=$BUILD/corpus/$target crashes=$BUILD/crashes/$target work=$BUILD/fuzz-work/$target
    mkdir -p "$corpus" "$crashes"
    rm -rf "$work" && mkdir -p "$work" && cp -r "$BUILD/seeds/work/." "$work/"
    echo "== $target: ${SECONDS_EACH}s"
    (cd "$work" && "$BUILD/bin/$target" "$corpus" "$seeds" -max_total_time="$SECONDS_EACH" \
        -max_len="$maxlen" -timeout=30 -rss_limit_mb=3072 -artifact_prefix="$crashes/" \
        -print_final_stats=1 -close_fd_mask=3 >"$BUILD/$target.log" 2>&1)
    local rc=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|stat::new_units_added)' "$BUILD/$target.log"
    grep -E 'cov: [0-9]+' "$BUILD/$target.log" | tail -1
    echo "corpus: $(ls "$corpus" | wc -l) inputs; crashers: $(ls "$crashes" | wc -l); exit $rc"
    [ "$rc" -eq 0 ] || { status=1; grep -E 'ERROR|SUMMARY|Test unit written' "$BUILD/$target.log" | head -5; }
}
run_target FuzzDispatcher "$BUILD/seeds/dispatcher" 4096
run_target FuzzStillsSource "$BUILD/seeds/stills" 16384
run_target FuzzImageProbe "$BUILD/seeds/images" 8192
exit $status
