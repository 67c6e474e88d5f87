#!/usr/bin/env bash
# Generates the benchmark corpus into the folder given (created if needed). Files already there
# are kept, so later runs start at once. Other benchmarks add their clips and pictures here.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

# A 4000x3000 photograph stand-in: a plasma fractal has the smooth gradients and fine detail of a
# photo, saved as a camera would (JPEG quality 92, 4:2:0).
if [ ! -f photo-4000x3000.jpg ]; then
  convert -seed 7 -size 4000x3000 plasma:fractal -blur 0x1 -quality 92 -sampling-factor 2x2 photo-4000x3000.jpg.tmp.jpg
  mv photo-4000x3000.jpg.tmp.jpg photo-4000x3000.jpg
fi

# A 1920x1080 video frame (a Mandelbrot render: smooth areas and fine detail) held uncompressed
# in libvips' own format, so that encoding benchmarks measure the encoder and not the decoding of
# their input.
if [ ! -f frame-1920x1080.v ]; then
  ffmpeg -loglevel error -y -f lavfi -i "mandelbrot=size=1920x1080:rate=1" -frames:v 1 frame-1920x1080.png
  vips copy frame-1920x1080.png frame-1920x1080.v.tmp.v
  mv frame-1920x1080.v.tmp.v frame-1920x1080.v
fi
