#!/usr/bin/env bash
# Full-size encode of a 1920x1080 frame: ours (encodeImage) against `vips copy` to the same format
# with the same encoder settings (JPEG and HEIC at quality 0.9 use 4:2:0 colour), but for x265's
# preset: ours "medium", `vips copy` libheif's default "slow" (see bench/heic.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
frame="$BENCH_DIR/frame-1920x1080.v"
ours="$build/bin/quillon-media-bench encode $frame"
compare "encode 1920x1080 PNG" 10 "$ours png 1 $out/frame.png" "vips copy $frame $out/peer-frame.png[compression=4,filter=sub]"
compare "encode 1920x1080 JPEG q0.9" 10 "$ours jpg 0.9 $out/frame.jpg" "vips copy $frame $out/peer-frame.jpg[Q=90,subsample_mode=on,optimize_coding,strip]"
compare "encode 1920x1080 LZW TIFF" 10 "$ours tiff 1 $out/frame.tiff" \
  "vips copy $frame $out/peer-frame.tif[compression=lzw,predictor=horizontal]"
compare "encode 1920x1080 HEIC q0.9" 4 "$ours heic 0.9 $out/frame.heic" \
  "vips copy $frame $out/peer-frame.heic[Q=90,compression=hevc,subsample_mode=on]"
