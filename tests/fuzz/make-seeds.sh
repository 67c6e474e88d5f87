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

# Hostile stills: playlists and file lists that name other files (as .mp4, .mkv, .mov), and a GIF
# whose 6000x6000 screen times 540 one-pixel frames is beyond the decoding bound (within the 16 KiB
# the target reads; a cut-down copy is an ordinary large GIF, not one that takes seconds per input).
printf '#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n/etc/hostname\n#EXTINF:1.0,\nc.mp4\n#EXT-X-ENDLIST\n' > "$tmp/hls"
seed 0 "$tmp/hls" "$OUT/stills/hls.mp4"
printf 'ffconcat version 1.0\nfile c.mp4\nfile c.mkv\n' > "$tmp/concat"; seed 1 "$tmp/concat" "$OUT/stills/concat.mkv"
printf '#EXTM3U\n#EXTINF:1,\nc.mov\n' > "$tmp/m3u"; seed 6 "$tmp/m3u" "$OUT/stills/m3u.mov"
{
    printf 'GIF89a\x70\x17\x70\x17\0\0\0'
    for _ in $(seq 540); do printf '\x21\xf9\x04\0\x0a\0\0\0\x2c\0\0\0\0\x01\0\x01\0\x80\0\0\0\xff\xff\xff\x02\x02\x44\x01\0'; done
    printf '\x3b'
} > "$tmp/bomb.gif"
seed 7 "$tmp/bomb.gif" "$OUT/stills/bomb.gif"

# Images: index in {png jpg tif heic bmp webp jp2 psd}.
i=0
for ext in png jpg tif heic bmp webp jp2 psd; do
    convert -size 24x16 plasma:fractal -fill white -draw 'point 3,3' "$tmp/p.$ext"
    seed $i "$tmp/p.$ext" "$OUT/images/plain.$ext"
    i=$((i + 1))
done
convert -size 20x12 gradient:red-blue -orient RightTop "$tmp/o.jpg"; seed 1 "$tmp/o.jpg" "$OUT/images/oriented.jpg"
convert -size 20x12 xc:cyan -colorspace CMYK "$tmp/k.jpg";            seed 1 "$tmp/k.jpg" "$OUT/images/cmyk.jpg"

# Hostile images: formats outside the accepted ones, under accepted names (PPM, Radiance, libvips'
# own, PCX through ImageMagick, SVG, a matrix).
convert -size 12x8 gradient:red-blue "$tmp/g.png"
vips copy "$tmp/g.png" "$tmp/g.ppm"; seed 0 "$tmp/g.ppm" "$OUT/images/ppm.png"
vips copy "$tmp/g.png" "$tmp/g.hdr"; seed 1 "$tmp/g.hdr" "$OUT/images/radiance.jpg"
vips copy "$tmp/g.png" "$tmp/g.v"; seed 2 "$tmp/g.v" "$OUT/images/native.tif"
convert "$tmp/g.png" "pcx:$tmp/g.pcx"; seed 4 "$tmp/g.pcx" "$OUT/images/pcx.bmp"
printf '<svg xmlns="http://www.w3.org/2000/svg" width="9" height="7"><rect width="9" height="7"/></svg>' > "$tmp/s.svg"
seed 0 "$tmp/s.svg" "$OUT/images/svg.png"
printf '3 2\n1 2 3\n4 5 6\n' > "$tmp/m.mat"; seed 5 "$tmp/m.mat" "$OUT/images/matrix.webp"

cp "$tmp/c.mp4" "$OUT/work/clip.mp4"
cp "$tmp/m.gif" "$OUT/work/anim.gif"
cp "$tmp/p.png" "$OUT/work/pic.png"
mkdir -p "$OUT/work/folder"
cp "$tmp/p.jpg" "$OUT/work/folder/b.jpg"
# Special files under media names: a FIFO (opening it for reading would wait for a writer) and
# links to /dev/zero (endless zeros).
mkfifo "$OUT/work/fifo.mp4" "$OUT/work/folder/fifo.png"
ln -s /dev/zero "$OUT/work/zero.gif"
ln -s /dev/zero "$OUT/work/folder/zero.jpg"
cp "$OUT/stills/hls.mp4" "$OUT/work/hls.mp4"

d="$OUT/dispatcher"
echo '[{"id":1,"cmd":"chooseVideo"},{"id":2,"cmd":"chooseDest"},{"id":3,"cmd":"chooseImages","args":{"folders":true}}]' > "$d/panels.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"clip.mp4"}},{"id":2,"cmd":"extract","args":{"stepPercent":50}},{"id":3,"cmd":"export","args":{"ids":[0,1,2],"format":"jpg","quality":0.5,"dest":"out"}}]' > "$d/video.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"anim.gif"}},{"id":2,"cmd":"export","args":{"ids":[3,7],"format":"png","dest":"out"}}]' > "$d/gif.json"
echo '[{"id":1,"cmd":"importImages","args":{"paths":["pic.png","folder","missing.png"]}},{"id":2,"cmd":"exportImages","args":{"paths":["pic.png","folder/b.jpg"],"format":"tiff","dest":"out"}}]' > "$d/images.json"
echo '[{"id":1,"cmd":"loadVideo","args":{"path":"fifo.mp4"}},{"id":2,"cmd":"loadVideo","args":{"path":"zero.gif"}},{"id":3,"cmd":"importImages","args":{"paths":["folder"]}},{"id":4,"cmd":"exportImages","args":{"paths":["folder/fifo.png","folder/zero.jpg"],"dest":"out"}},{"id":5,"cmd":"loadVideo","args":{"path":"hls.mp4"}}]' > "$d/special.json"
deep=$(printf '%*s' 100 '' | tr ' ' '['); deep=$deep$(printf '%*s' 100 '' | tr ' ' ']')
echo "{\"id\":1,\"cmd\":\"setMode\",\"args\":{\"mode\":$deep}}" > "$d/deep.json"
echo '[{"id":"1","cmd":"extract"},{"id":true,"cmd":"export","args":[]},{"id":2,"cmd":"export","args":{"ids":"0"}},{"cmd":"loadVideo"},{"id":3,"cmd":"loadVideo","args":{"path":5}}]' > "$d/malformed.json"
