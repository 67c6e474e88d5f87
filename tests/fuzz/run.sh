#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets with clang, AddressSanitizer and UBSan in BUILD, makes
# the seed corpora and runs each target for SECONDS. Corpora grow in BUILD/corpus/<target>,
# crashers land in BUILD/crashes/<target>/. Exit status 1 when a target failed.
set -uo pipefail
SRC=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(mkdir -p "${1:-$SRC/build-fuzz}" && cd "${1:-$SRC/build-fuzz}" && pwd)
SECONDS_EACH=${2:-60}

CC=clang CXX=clang++ cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLON_BUILD_HOST=OFF -DQUILLON_FUZZ=ON -DQUILLON_SANITIZE="address;undefined" \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null || exit 2
cmake --build "$BUILD" -j"${JOBS:-2}" --target FuzzDispatcher FuzzStillsSource FuzzImageProbe || exit 2
"$SRC/tests/fuzz/make-seeds.sh" "$BUILD/seeds" || exit 2

# No leak checks: libvips, GLib and FFmpeg keep process-long caches that look like leaks.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 VIPS_WARNING=0
status=0
for entry in FuzzDispatcher:dispatcher:4096 FuzzStillsSource:stills:16384 FuzzImageProbe:images:8192; do
    IFS=: read -r target seeds maxlen <<<"$entry"
    corpus=$BUILD/corpus/$target crashes=$BUILD/crashes/$target work=$BUILD/fuzz-work/$target
    rm -rf "$work" && mkdir -p "$corpus" "$crashes" "$work" && cp -r "$BUILD/seeds/work/." "$work/"
    echo "== $target: ${SECONDS_EACH}s"
    (cd "$work" && "$BUILD/bin/$target" "$corpus" "$BUILD/seeds/$seeds" -max_total_time="$SECONDS_EACH" \
        -max_len="$maxlen" -timeout=30 -rss_limit_mb=3072 -artifact_prefix="$crashes/" \
        -print_final_stats=1 -close_fd_mask=3 >"$BUILD/$target.log" 2>&1)
    rc=$?
    grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)|DONE' "$BUILD/$target.log"
    echo "corpus: $(ls "$corpus" | wc -l) inputs; crashers: $(ls "$crashes" | wc -l); exit $rc"
    [ "$rc" -eq 0 ] || { status=1; grep -E 'ERROR|SUMMARY|Test unit written' "$BUILD/$target.log" | head -5; }
done
exit $status
