#!/usr/bin/env bash
# Peak resident memory of image conversions (GNU time's maximum resident set size of the whole
# `quillon-cli bridge` process), against `vips copy` of one of the same files:
# - 50 JPEGs of 4000x3000 (12 MP) converted to PNG in one exportImages command;
# - three 16000x16000 PNGs (flat black, about 750 KB each, 768 MB each when decoded) to PNG.
# The counts can be lowered with MEMORY_BENCH_PHOTOS (50).
set -euo pipefail
photos_n=${MEMORY_BENCH_PHOTOS:-50}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/memory"
photos="$work/photos$photos_n"
large="$work/large"
out="$work/out"
mkdir -p "$large"
copy_photos "$photos" "$photos_n"
for i in 1 2 3; do
  [ -f "$large/large$i.png" ] || vips black "$large/large$i.png" 16000 16000 --bands 3
done

# peak COMMAND...: runs the program once (standard input from $input) and prints its peak
# resident size in MB and its wall time.
input=/dev/null
peak() {
  rm -rf "$out" && mkdir -p "$out"
  /usr/bin/time -o "$work/time.txt" -f '%M %e' "$@" <"$input" >/dev/null 2>&1
  awk '{printf "%d MB, %.1f s", $1 / 1024, $2}' "$work/time.txt"
}
commands="$work/export.jsonl"
export_command() {  # FILES... : one exportImages command of them as PNG into $out
  local list
  list=$(printf '"%s",' "$@")
  echo "{\"id\":1,\"cmd\":\"exportImages\",\"args\":{\"paths\":[${list%,}],\"format\":\"png\",\"dest\":\"$out\"}}" >"$commands"
}

export_command "$photos"/*.jpg
input=$commands; ours=$(peak "$cli" bridge)
input=/dev/null; peer=$(peak vips copy "$photos/$(ls "$photos" | head -1)" "$out/one.png[compression=4,filter=sub]")
echo "memory: convert $photos_n JPEG 4000x3000 to PNG: ours peak $ours; vips copy of one file $peer" | tee -a "$BENCH_DIR/results.txt"
export_command "$large"/*.png
input=$commands; ours=$(peak "$cli" bridge)
input=/dev/null; peer=$(peak vips copy "$large/large1.png" "$out/one.png[compression=4,filter=sub]")
echo "memory: convert 3 PNG 16000x16000 to PNG: ours peak $ours; vips copy of one file $peer" | tee -a "$BENCH_DIR/results.txt"
rm -rf "$out"
