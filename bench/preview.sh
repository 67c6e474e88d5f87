#!/usr/bin/env bash
# Preview of a 4000x3000 JPEG with the longer side 360: ours (reduced load, JPEG data URL) against
# vipsthumbnail -s 360.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
photo="$BENCH_DIR/photo-4000x3000.jpg"
compare "preview 4000x3000 JPEG at 360" 20 \
  "$build/bin/quillon-media-bench preview $photo 360 $out/preview.txt" \
  "vipsthumbnail -s 360 $photo -o $out/peer-preview.jpg"
