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

# seed SELECTOR FILE DEST: the selector byte, then the file.
seed() { { printf "\\x$(printf %02x "$1")"; cat "$2"; } > "$3"; }

# Stills: index in {mp4 mkv webm avi mpg m2v mov gif gif gif}.
src="-f lavfi -i testsrc=size=48x32:rate=10:duration=0.6"
$ff $src -c:v libx264 -pix_fmt yuv420p -g 3 "$tmp/c.mp4";   seed 0 "$tmp/c.mp4" "$OUT/stills/h264.mp4"
$ff $src -c:v libx264 -pix_fmt yuv420p -bf 2 "$tmp/c.mkv";  seed 1 "$tmp/c.mkv" "$OUT/stills/h264.mkv"
$ff $src -c:v libvpx -b:v 50k "$tmp/c.webm";               seed 2 "$tmp/c.webm" "$OUT/stills/vp8.webm"
$ff $src -c:v mpeg4 "$tmp/c.avi";                           seed 3 "$tmp/c.avi" "$OUT/stills/mpeg4.avi"
$ff $src -c:v mpeg2video -f mpeg "$tmp/c.mpg";              seed 4 "$tmp/c.mpg" "$OUT/stills/mpeg2.mpg"
$ff $src -c:v mpeg2video -f mpeg2video "$tmp/c.m2v";        seed 5 "$tmp/c.m2v" "$OUT/stills/raw.m2v"
$ff $src -c:v mjpeg "$tmp/c.mov";                           seed 6 "$tmp/c.mov" "$OUT/stills/mjpeg.mov"
$ff $src -vf fps=5 "$tmp/c.gif";                            seed 7 "$tmp/c.gif" "$OUT/stills/ff.gif"
convert -size 8x6 xc:red xc:lime xc:blue -set delay '3' -loop 0 "$tmp/m.gif"; seed 8 "$tmp/m.gif" "$OUT/stills/im.gif"

# Images: index in {png jpg tif heic bmp webp jp2 psd}.
i=0
for ext in png jpg tif heic bmp webp jp2 psd; do
    convert -size 24x16 plasma:fractal -fill white -draw 'point 3,3' "$tmp/p.$ext"
    seed $i "$tmp/p.$ext" "$OUT/images/plain.$ext"
    i=$((i + 1))
done
convert -size 20x12 gradient:red-blue -orient RightTop "$tmp/o.jpg"; seed 1 "$tmp/o.jpg" "$OUT/images/oriented.jpg"
convert -size 20x12 xc:'rgba(0,128,255,0.5)' "$tmp/a.png";            seed 0 "$tmp/a.png" "$OUT/images/alpha.png"
convert -size 20x12 xc:gray -depth 16 "$tmp/g.tif";                   seed 2 "$tmp/g.tif" "$OUT/images/grey16.tif"
convert -size 20x12 xc:cyan -colorspace CMYK "$tmp/k.jpg";            seed 1 "$tmp/k.jpg" "$OUT/images/cmyk.jpg"

cp "$tmp/c.mp4" "$OUT/work/clip.mp4"
cp "$tmp/m.gif" "$OUT/work/anim.gif"
cp "$tmp/p.png" "$OUT/work/pic.png"
mkdir -p "$OUT/work/folder"
cp "$tmp/p.jpg" "$OUT/work/folder/b.jpg"

d="$OUT/dispatcher"
echo '{"id":1,"cmd":"nope"}' > "$d/unknown.json"
echo '[{"id":1,"cmd":"chooseVideo"},{"id":2,"cmd":"chooseDest"},{"id":3,"cmd":"chooseImages","args":{"folders":true}}]' > "$d/panels.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"clip.mp4"}},{"id":2,"cmd":"extract","args":{"stepPercent":50}},{"id":3,"cmd":"export","args":{"ids":[0,1,2],"format":"jpg","quality":0.5,"dest":"out"}}]' > "$d/video.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"anim.gif"}},{"id":2,"cmd":"export","args":{"ids":[3,7],"format":"png","dest":"out"}}]' > "$d/gif.json"
echo '[{"id":1,"cmd":"importImages","args":{"paths":["pic.png","folder","missing.png"]}},{"id":2,"cmd":"exportImages","args":{"paths":["pic.png","folder/b.jpg"],"format":"tiff","dest":"out"}}]' > "$d/images.json"
echo '[{"id":"1","cmd":"extract"},{"id":true,"cmd":"export","args":[]},{"id":2,"cmd":"export","args":{"ids":"0"}},{"cmd":"loadVideo"},{"id":3,"cmd":"loadVideo","args":{"path":5}}]' > "$d/malformed.json"
echo '{"id":9223372036854775807,"cmd":"exportImages","args":{"paths":[]}}' > "$d/bigid.json"
