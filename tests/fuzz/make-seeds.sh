#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets in OUT (nothing is downloaded). Each media seed starts
# with the byte that picks its extension in the target's kExts table.
set -euo pipefail
OUT=${1:?usage: make-seeds.sh OUT}
rm -rf "$OUT"
mkdir -p "$OUT"/stills "$OUT"/images "$OUT"/dispatcher "$OUT"/work
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff="ffmpeg -nostdin -hide_banner -loglevel error -y"

seed() { { printf "\\x$(printf %02x "$1")"; cat "$2"; } > "$3"; }

# Stills: index in {mp4 mkv webm avi mpg m2v mov gif gif gif}.
i=0
for recipe in "mp4:-c:v libx264 -pix_fmt yuv420p -g 3" "mkv:-c:v libx264 -pix_fmt yuv420p -bf 2" "webm:-c:v libvpx -b:v 50k" \
    "avi:-c:v mpeg4" "mpg:-c:v mpeg2video -f mpeg" "m2v:-c:v mpeg2video -f mpeg2video" "mov:-c:v mjpeg" "gif:-vf fps=5"; do
    ext=${recipe%%:*}
    $ff -f lavfi -i testsrc=size=48x32:rate=10:duration=0.6 ${recipe#*:} "$tmp/c.$ext"
    seed $i "$tmp/c.$ext" "$OUT/stills/seed.$ext"
    i=$((i + 1))
done
convert -size 8x6 xc:red xc:lime xc:blue -set delay '3' -loop 0 "$tmp/m.gif"; seed 8 "$tmp/m.gif" "$OUT/stills/im.gif"

# Images: index in {png jpg tif heic bmp webp jp2 psd}.
i=0
for ext in png jpg tif heic bmp webp jp2 psd; do
    convert -size 24x16 plasma:fractal -fill white -draw 'point 3,3' "$tmp/p.$ext"
    seed $i "$tmp/p.$ext" "$OUT/images/plain.$ext"
    i=$((i + 1))
done
convert -size 20x12 gradient:red-blue -orient RightTop "$tmp/o.jpg"; seed 1 "$tmp/o.jpg" "$OUT/images/oriented.jpg"
convert -size 20x12 xc:cyan -colorspace CMYK "$tmp/k.jpg";            seed 1 "$tmp/k.jpg" "$OUT/images/cmyk.jpg"

cp "$tmp/c.mp4" "$OUT/work/clip.mp4"
cp "$tmp/m.gif" "$OUT/work/anim.gif"
cp "$tmp/p.png" "$OUT/work/pic.png"
mkdir -p "$OUT/work/folder"
cp "$tmp/p.jpg" "$OUT/work/folder/b.jpg"

d="$OUT/dispatcher"
echo '[{"id":1,"cmd":"chooseVideo"},{"id":2,"cmd":"chooseDest"},{"id":3,"cmd":"chooseImages","args":{"folders":true}}]' > "$d/panels.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"clip.mp4"}},{"id":2,"cmd":"extract","args":{"stepPercent":50}},{"id":3,"cmd":"export","args":{"ids":[0,1,2],"format":"jpg","quality":0.5,"dest":"out"}}]' > "$d/video.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"anim.gif"}},{"id":2,"cmd":"export","args":{"ids":[3,7],"format":"png","dest":"out"}}]' > "$d/gif.json"
echo '[{"id":1,"cmd":"importImages","args":{"paths":["pic.png","folder","missing.png"]}},{"id":2,"cmd":"exportImages","args":{"paths":["pic.png","folder/b.jpg"],"format":"tiff","dest":"out"}}]' > "$d/images.json"
echo '[{"id":"1","cmd":"extract"},{"id":true,"cmd":"export","args":[]},{"id":2,"cmd":"export","args":{"ids":"0"}},{"cmd":"loadVideo"},{"id":3,"cmd":"loadVideo","args":{"path":5}}]' > "$d/malformed.json"
