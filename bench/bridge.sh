#!/usr/bin/env bash
# Video mode end to end through `quillon-cli bridge`, on 1080p H.264 clips of 60 s and 10 min
# (30 fps, a key frame every 250 frames):
# - loadVideo + extract at 5 % (21 previews at 360 px) against 21 ffmpeg processes making the same
#   previews (`ffmpeg -ss T -i clip -frames:v 1 -vf scale=360:-2 out.jpg`);
# - loadVideo + export of those 21 stills at full size as PNG and as JPEG against 21
#   `ffmpeg -ss T -i clip -frames:v 1 out.png` (and out.jpg) processes, with the total size of the
#   files each side wrote.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
work="$BENCH_DIR/bridge"
mkdir -p "$work"

# bridge_script FILE DEST LINES...: a script that empties DEST (when given) and runs the bridge
# on the input lines.
bridge_script() {
  local file=$1 dest=$2
  shift 2
  {
    echo "#!/usr/bin/env bash"
    [ -n "$dest" ] && echo "rm -rf '$dest' && mkdir -p '$dest'"
    echo "'$cli' bridge >/dev/null <<'INPUT'"
    printf '%s\n' "$@"
    echo "INPUT"
  } >"$file"
}

# peer_script FILE CLIP DEST EXT [FILTER...]: 21 ffmpeg processes, one still each.
peer_script() {
  local file=$1 clip=$2 dest=$3 ext=$4
  shift 4
  {
    echo "#!/usr/bin/env bash"
    echo "rm -rf '$dest' && mkdir -p '$dest'"
    local i=0
    for t in $(plan_times "$clip"); do
      echo "ffmpeg -loglevel error -y -ss $t -i '$clip' -frames:v 1 $* '$dest/still$i.$ext'"
      i=$((i + 1))
    done
  } >"$file"
}

make_clips
ids='[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20]'
for label in 60s 10min; do
  clip="$BENCH_DIR/h264-1080p-$label.mp4"
  load="{\"id\":1,\"cmd\":\"loadVideo\",\"args\":{\"path\":\"$clip\"}}"

  bridge_script "$work/extract-$label.sh" "" "$load" '{"id":2,"cmd":"extract","args":{"stepPercent":5}}'
  peer_script "$work/peer-previews-$label.sh" "$clip" "$work/peer-previews-$label" jpg -vf scale=360:-2
  compare "loadVideo + extract 5 % on the $label 1080p clip (21 previews)" 2 \
    "bash $work/extract-$label.sh" "bash $work/peer-previews-$label.sh"

  for format in png jpg; do
    # Quality 0.9 for JPEG; the peer writes JPEG at its highest quality setting, -q:v 2.
    out="$work/ours-$format-$label"
    bridge_script "$work/export-$format-$label.sh" "$out" "$load" \
      "{\"id\":2,\"cmd\":\"export\",\"args\":{\"ids\":$ids,\"format\":\"$format\",\"quality\":0.9,\"dest\":\"$out\"}}"
    if [ "$format" = jpg ]; then quality="-q:v 2"; else quality=""; fi
    peer_script "$work/peer-$format-$label.sh" "$clip" "$work/peer-$format-$label" "$format" $quality
    compare "loadVideo + export 21 full-size $format on the $label 1080p clip" 2 \
      "bash $work/export-$format-$label.sh" "bash $work/peer-$format-$label.sh"
    ours_kb=$(du -sk --apparent-size "$out" | cut -f1)
    peer_kb=$(du -sk --apparent-size "$work/peer-$format-$label" | cut -f1)
    count=$(find "$out" -name "*.$format" | wc -l)
    awk -v l="$label" -v f="$format" -v o="$ours_kb" -v p="$peer_kb" -v n="$count" \
      'BEGIN {printf "  %s files on the %s clip: ours %d files, %d KiB, peer %d KiB, ratio ours/peer %.2f\n", f, l, n, o, p, o / p}' |
      tee -a "$BENCH_DIR/results.txt"
  done
done
