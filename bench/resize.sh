#!/usr/bin/env bash
# Conversion with a size and the WebP and AVIF formats, whole processes, each run once (the work
# is long and the machine shared):
# - 50 JPEGs of 4000x3000 (12 MP) reduced to a longest side of 1920 as JPEG quality 0.9, by one
#   `quillon-cli convert --max-side 1920`, against vipsthumbnail with the same settings run once
#   per file, and against two vipsthumbnail processes that split the files;
# - 10 of them converted at full size to WebP quality 0.9, and 2 to AVIF quality 0.9, against
#   `vips copy` one file at a time with the same encoder settings.
# The inputs are copies of the corpus photograph, each its own file. The counts can be lowered for
# a quick look: RESIZE_BENCH_JPEG (50), RESIZE_BENCH_WEBP (10), RESIZE_BENCH_AVIF (2).
set -euo pipefail
jpeg_n=${RESIZE_BENCH_JPEG:-50}
webp_n=${RESIZE_BENCH_WEBP:-10}
avif_n=${RESIZE_BENCH_AVIF:-2}
build=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
cli="$build/bin/quillon-cli"
work="$BENCH_DIR/resize"
photos="$work/photos$jpeg_n"
mkdir -p "$photos"
for i in $(seq -w 1 "$jpeg_n"); do
  [ -f "$photos/photo$i.jpg" ] || cp "$BENCH_DIR/photo-4000x3000.jpg" "$photos/photo$i.jpg"
done
cat "$photos"/*.jpg >/dev/null  # the same warm page cache for everybody
files=("$photos"/*.jpg)
files=("${files[@]:0:$jpeg_n}")
half=$((jpeg_n / 2))
out="$work/out"

written() { find "$out" -type f | wc -l; }

# Ours: quality 0.9 is the encoders' Q 90; JPEG below the highest quality has 4:2:0 colour and
# optimised Huffman tables, and no metadata. The peers get the same.
ours() {  # N FORMAT [OPTIONS...]
  local n=$1 format=$2
  shift 2
  "$cli" convert "${files[@]:0:$n}" --out "$out" --format "$format" --quality 0.9 "$@"
}
jpeg_options="[Q=90,subsample_mode=on,optimize_coding,strip]"
thumbnail_each() {
  local f
  for f in "${files[@]}"; do
    vipsthumbnail "$f" --size 1920 -o "$out/%s.jpg$jpeg_options"
  done
}
thumbnail_two() {
  vipsthumbnail --size 1920 -o "$out/%s.jpg$jpeg_options" "${files[@]:0:$half}" &
  vipsthumbnail --size 1920 -o "$out/%s.jpg$jpeg_options" "${files[@]:$half}"
  wait
}
vips_each() {  # N EXT OPTIONS
  local f
  for f in "${files[@]:0:$1}"; do
    vips copy "$f" "$out/$(basename "$f" .jpg).$2$3"
  done
}
check_count() {  # WHAT EXPECTED
  [ "$(written)" -eq "$2" ] || { echo "resize bench: $1 wrote $(written) of $2 files" >&2; exit 1; }
}

label="convert $jpeg_n JPEG 4000x3000 to longest side 1920, JPEG q0.9"
fresh "$out"; o=$(measure_wall_cpu ours "$jpeg_n" jpeg --max-side 1920); check_count ours "$jpeg_n"
[ "$(vipsheader -f width "$out/photo$(printf '%0*d' ${#jpeg_n} 1).jpg")" = 1920 ] || { echo "resize bench: not 1920 wide" >&2; exit 1; }
fresh "$out"; e=$(measure_wall_cpu thumbnail_each); check_count "vipsthumbnail each" "$jpeg_n"
fresh "$out"; t=$(measure_wall_cpu thumbnail_two); check_count "vipsthumbnail x2" "$jpeg_n"
report "$label" "$o" "$e" "vipsthumbnail per file"
report "$label" "$o" "$t" "vipsthumbnail x2"

# WebP below the highest quality is lossy at Q 90 with libwebp's default effort; AVIF is AV1 at
# Q 90, 8 bits, 4:2:0, libvips' default effort (aom speed 5).
fresh "$out"; o=$(measure_wall_cpu ours "$webp_n" webp); check_count ours "$webp_n"
fresh "$out"; v=$(measure_wall_cpu vips_each "$webp_n" webp "[Q=90,strip]"); check_count "vips copy" "$webp_n"
report "convert $webp_n JPEG 4000x3000 to WebP q0.9" "$o" "$v" "vips copy each"
fresh "$out"; o=$(measure_wall_cpu ours "$avif_n" avif); check_count ours "$avif_n"
fresh "$out"; v=$(measure_wall_cpu vips_each "$avif_n" avif "[Q=90,compression=av1,bitdepth=8,subsample_mode=on,strip]"); check_count "vips copy" "$avif_n"
report "convert $avif_n JPEG 4000x3000 to AVIF q0.9" "$o" "$v" "vips copy each"
rm -rf "$out"
