#!/usr/bin/env bash
# HEIC at quality 0.9 (4:2:0) on three 4000x3000 photograph stand-ins: x265's presets through
# libheif's own heif-enc, Quillon's encoder (quillon-media-bench: decode + encodeImage, as a
# conversion does), and `vips copy` with the settings Quillon used before it wrote HEIC through
# libheif (libheif's default preset). Each line gives the wall time of one encode, the file size
# and the SSIM of the decoded file against the source (ffmpeg's ssim filter). Encodes take
# seconds each, so one run per cell; x265 uses every core, so on a shared machine its CPU time
# (user + system) is the steadier figure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
out="$BENCH_DIR/heic"
mkdir -p "$out"

# The corpus' plasma photograph, the same with sensor-like grain, and a fractal render with hard
# edges and fine detail: three kinds of content that x265 spends its search time on differently.
photos=("$BENCH_DIR/photo-4000x3000.jpg" "$BENCH_DIR/grain-4000x3000.jpg" "$BENCH_DIR/detail-4000x3000.jpg")
[ -f "${photos[1]}" ] || convert -seed 11 -size 4000x3000 plasma:fractal -blur 0x2 -attenuate 0.5 \
  +noise Gaussian -quality 92 -sampling-factor 2x2 "${photos[1]}"
if [ ! -f "${photos[2]}" ]; then
  ffmpeg -loglevel error -y -f lavfi -i "mandelbrot=size=4000x3000:rate=1" -frames:v 1 "$out/detail.png"
  convert "$out/detail.png" -quality 92 -sampling-factor 2x2 "${photos[2]}"
fi

# measure LABEL PHOTO OUTPUT COMMAND...: one encode, its wall and CPU time, then size and SSIM.
measure() {
  local label=$1 photo=$2 file=$3
  shift 3
  rm -f "$file"
  /usr/bin/time -f "%e %U %S" -o "$file.time" "$@" >/dev/null
  vips copy "$file" "$file.png"
  local ssim
  ssim=$(ffmpeg -hide_banner -i "$photo" -i "$file.png" -lavfi ssim -f null - 2>&1 | sed -n 's/.*All:\([0-9.]*\).*/\1/p')
  awk -v l="$label" -v p="$(basename "$photo")" -v b="$(stat -c %s "$file")" -v q="$ssim" \
    '{printf "heic %s %s: wall %.2f s, cpu %.2f s, %.3f MB, SSIM %s\n", p, l, $1, $2 + $3, b / 1e6, q}' "$file.time" |
    tee -a "$BENCH_DIR/results.txt"
  rm -f "$file.png" "$file.time"
}

for photo in "${photos[@]}"; do
  measure "vips-copy(before)" "$photo" "$out/vips.heic" \
    vips copy "$photo" "$out/vips.heic[Q=90,compression=hevc,subsample_mode=on,strip]"
  measure "quillon" "$photo" "$out/ours.heic" "$build/bin/quillon-media-bench" encode "$photo" heic 0.9 "$out/ours.heic"
  for preset in slow medium fast veryfast ultrafast; do
    measure "heif-enc:$preset" "$photo" "$out/$preset.heic" \
      heif-enc -q 90 -p chroma=420 -p "preset=$preset" -o "$out/$preset.heic" "$photo"
  done
done
