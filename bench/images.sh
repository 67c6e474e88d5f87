#!/usr/bin/env bash
# Images mode, whole processes, each run once (the work is long and the machine shared):
# - import of 200 JPEGs of 4000x3000 (records and 360-pixel previews through `quillon-cli bridge`)
#   against vipsthumbnail -s 360 over the same files, as one process and as two processes that
#   split the files; and the peak memory of our import;
# - conversion of 50 such JPEGs to PNG, JPEG quality 0.9 and LZW TIFF, and of 5 to HEIC, against
#   `vips copy` one file at a time, with ImageMagick's mogrify beside it.
# The inputs are copies of the corpus photograph, each its own file. The counts can be lowered for a
# quick look: IMAGES_BENCH_IMPORT (200), IMAGES_BENCH_CONVERT (50), IMAGES_BENCH_HEIC (5).
set -euo pipefail
import_n=${IMAGES_BENCH_IMPORT:-200}
convert_n=${IMAGES_BENCH_CONVERT:-50}
heic_n=${IMAGES_BENCH_HEIC:-5}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/images"
photos="$work/photos$import_n"
copy_photos "$photos" "$import_n"
cat "$photos"/*.jpg >/dev/null  # the same warm page cache for everybody

# Our import: one importImages command of the folder; the bridge ends when the reply is out.
import_cmd="$work/import.jsonl"
echo "{\"id\":1,\"cmd\":\"importImages\",\"args\":{\"paths\":[\"$photos\"]}}" >"$import_cmd"
ours_import() { "$cli" bridge <"$import_cmd"; }
files=("$photos"/*.jpg)
files=("${files[@]:0:$import_n}")
half=$((import_n / 2))
thumbs="$work/thumbs"
one_thumbnailer() { vipsthumbnail -s 360 -o "$thumbs/%s.jpg" "${files[@]}"; }
two_thumbnailers() {
  vipsthumbnail -s 360 -o "$thumbs/%s.jpg" "${files[@]:0:$half}" &
  vipsthumbnail -s 360 -o "$thumbs/%s.jpg" "${files[@]:$half}"
  wait
}
fresh "$thumbs"
ours=$(measure_wall_cpu ours_import)
one=$(measure_wall_cpu one_thumbnailer)
fresh "$thumbs"
two=$(measure_wall_cpu two_thumbnailers)
report "import $import_n JPEG 4000x3000 (records, previews 360)" "$ours" "$one" "vipsthumbnail x1"
report "import $import_n JPEG 4000x3000 (records, previews 360)" "$ours" "$two" "vipsthumbnail x2"
rss=$( { /usr/bin/time -v "$cli" bridge <"$import_cmd" >/dev/null; } 2>&1 |
  awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
echo "import $import_n JPEG 4000x3000: peak RSS $((rss / 1024)) MB" | tee -a "$BENCH_DIR/results.txt"

# Conversions. Our export of N files as FORMAT/QUALITY into a fresh folder.
out="$work/out"
ours_export() {  # N FORMAT QUALITY
  local list
  list=$(printf '"%s",' "${files[@]:0:$1}")
  echo "{\"id\":1,\"cmd\":\"exportImages\",\"args\":{\"paths\":[${list%,}],\"format\":\"$2\",\"quality\":$3,\"dest\":\"$out\"}}" |
    "$cli" bridge
}
vips_each() {  # N EXT OPTIONS
  local f
  for f in "${files[@]:0:$1}"; do
    vips copy "$f" "$out/$(basename "$f" .jpg).$2$3"
  done
}
mogrify_all() {  # N FORMAT OPTIONS...
  local n=$1 format=$2
  shift 2
  mogrify -path "$out" -format "$format" "$@" "${files[@]:0:$n}"
}
convert_case() {  # LABEL N FORMAT QUALITY EXT VIPSOPTIONS MOGRIFYOPTIONS...
  local label=$1 n=$2 format=$3 quality=$4 ext=$5 vopts=$6
  shift 6
  local o v m
  fresh "$out"; o=$(measure_wall_cpu ours_export "$n" "$format" "$quality")
  [ "$(ls "$out" | wc -l)" -eq "$n" ] || { echo "images bench: our export wrote $(ls "$out" | wc -l) of $n files" >&2; exit 1; }
  fresh "$out"; v=$(measure_wall_cpu vips_each "$n" "$ext" "$vopts")
  fresh "$out"; m=$(measure_wall_cpu mogrify_all "$n" "$ext" "$@")
  report "$label" "$o" "$v" "vips copy each"
  report "$label" "$o" "$m" "mogrify"
}
# The peers get the encoder settings ours uses (PNG zlib level 4 with the "sub" row filter; JPEG
# Q 90 with 4:2:0 colour and optimised tables; LZW with the horizontal predictor; HEIC Q 90 with
# 4:2:0 colour), so the ratios compare the pipelines, not settings. HEIC is the exception: ours
# runs x265 at its "medium" preset, which `vips copy` cannot select (it keeps libheif's "slow"), so
# that line shows what the user gains; bench/heic.sh compares the presets like for like.
convert_case "convert $convert_n JPEG 4000x3000 to PNG" "$convert_n" png 1 png "[compression=4,filter=sub]" -quality 41
convert_case "convert $convert_n JPEG 4000x3000 to JPEG q0.9" "$convert_n" jpeg 0.9 jpg "[Q=90,subsample_mode=on,optimize_coding]" -sampling-factor 4:2:0 -quality 90
convert_case "convert $convert_n JPEG 4000x3000 to LZW TIFF" "$convert_n" tiff 1 tif "[compression=lzw,predictor=horizontal]" -compress LZW -define tiff:predictor=2
convert_case "convert $heic_n JPEG 4000x3000 to HEIC" "$heic_n" heic 0.9 heic "[Q=90,subsample_mode=on]" -quality 90
rm -rf "$out" "$thumbs"
