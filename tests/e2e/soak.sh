#!/usr/bin/env bash
# Soak run of `quillon-cli bridge` with COMMANDS mixed lines (400 by default, 2000 in `make soak`):
# every well-formed request answered in order, no malformed one; descriptors, threads and memory
# flat after warm-up.  bash tests/e2e/soak.sh BUILD_DIR SOURCE_DIR [COMMANDS]
source "$(dirname "$0")/lib/common.sh" soak "$1" "$2"
commands=${3:-${QUILLON_SOAK_COMMANDS:-400}}
mkdir -p "$work/images" "$work/out"
ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=480x270:rate=25:duration=4 -c:v libx264 -pix_fmt yuv420p "$work/clip.mp4"
ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=160x120:rate=10:duration=2 "$work/anim.gif"
head -c 3000 "$work/clip.mp4" >"$work/damaged.mp4"
for i in 1 2 3; do convert -size 200x150 plasma:fractal "$work/images/p$i.jpg"; done
convert -size 120x90 xc:orange "$work/images/flat.png"
echo "not an image" >"$work/images/text.png"
# Hostile files: special files under media names, a playlist naming the clip, formats outside the
# accepted ones under image names, a GIF whose screen times frames is far beyond the work bound.
mkdir -p "$work/hostile"
mkfifo "$work/hostile/fifo.mp4" "$work/hostile/fifo.jpg"
ln -s /dev/zero "$work/hostile/zero.png"
printf '#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\n%s\n#EXT-X-ENDLIST\n' "$work/clip.mp4" >"$work/hostile/hls.mp4"
convert -size 32x24 gradient:red-blue "ppm:$work/hostile/ppm.png"
printf '<svg xmlns="http://www.w3.org/2000/svg" width="9" height="7"><rect width="9" height="7"/></svg>' >"$work/hostile/svg.png"
{
  printf 'GIF89a\x80\x3e\x80\x3e\0\0\0'
  frame='\x21\xf9\x04\0\x0a\0\0\0\x2c\0\0\0\0\x01\0\x01\0\x80\0\0\0\xff\xff\xff\x02\x02\x44\x01\0'
  for _ in $(seq 2000); do printf "$frame"; done
  printf '\x3b'
} >"$work/hostile/bomb.gif"
deep=$(head -c 100000 /dev/zero | tr '\0' '[')$(head -c 100000 /dev/zero | tr '\0' ']')

coproc CLI { exec "$build/bin/quillon-cli" bridge; }
pid=$CLI_PID in=${CLI[1]} out=${CLI[0]} log="$work/soak.log"
sent=0 requests=0 replies=0 id=0

# Reads lines until the reply to request $1 (or the event named $1); replies come in order.
await() {
  local line got
  while IFS= read -r -t 120 line <&"$out"; do
    echo "$line" >>"$log"
    case $line in
      'window.__bridgeResolveRaw({"id":'*)
        replies=$((replies + 1)) got=${line#*\"id\":} && got=${got%%,*}
        [ "$got" = "$1" ] && return 0
        [[ "$1" =~ ^[0-9]+$ ]] && [ "$got" -gt "$1" ] && fail "reply $got before $1" ;;
      "$1("*) return 0 ;;
    esac
  done
  fail "no answer for $1 after $sent lines"
}
request() {  # CMD [ARGS]
  id=$((id + 1)) sent=$((sent + 1)) requests=$((requests + 1))
  printf '{"id":%d,"cmd":"%s","args":%s}\n' "$id" "$1" "${2:-{\}}" >&"$in"
  await "$id"
}
malformed() { sent=$((sent + 1)); printf '%s\n' "$1" >&"$in"; }
drop() { sent=$((sent + 1)); printf '{"drop":["%s"]}\n' "$1" >&"$in"; await "$2"; }
stats() { echo "$(ls /proc/$pid/fd | wc -l) $(ls /proc/$pid/task | wc -l) $(awk '/^VmRSS/ {print $2}' /proc/$pid/status)"; }

round() {  # 27 lines
  request loadVideo "{\"path\":\"$work/clip.mp4\"}"
  request extract '{"stepPercent":25}'
  request export "{\"ids\":[0,2,4],\"format\":\"jpg\",\"quality\":0.8,\"dest\":\"$work/out\"}"
  request export "{\"ids\":[1],\"format\":\"png\",\"dest\":\"$work/out\"}"
  request loadVideo "{\"path\":\"$work/anim.gif\"}"
  request extract '{"stepPercent":50}'
  request export "{\"ids\":[0,1,2],\"format\":\"tiff\",\"dest\":\"$work/out\"}"
  request loadVideo "{\"path\":\"$work/damaged.mp4\"}"
  request setMode '{"mode":"images"}'
  request importImages "{\"paths\":[\"$work/images\"]}"
  request exportImages "{\"paths\":[\"$work/images/p1.jpg\",\"$work/images/flat.png\",\"$work/images/text.png\"],\"format\":\"heic\",\"quality\":0.5,\"dest\":\"$work/out\"}"
  drop "$work/images/p2.jpg" window.__onImagesBegin
  request setMode '{"mode":"video"}'
  drop "$work/anim.gif" window.__onDrop
  request chooseDest
  request reveal '{"paths":["/nowhere"]}'
  request frobnicate
  malformed '{"id":"7","cmd":"extract"}'
  malformed 'not json at all'
  malformed '[1,2,3]'
  request loadVideo "{\"path\":\"$work/hostile/fifo.mp4\"}"
  request importImages "{\"paths\":[\"$work/hostile\"]}"
  request loadVideo "{\"path\":\"$work/hostile/hls.mp4\"}"
  request exportImages "{\"paths\":[\"$work/hostile/zero.png\",\"$work/hostile/fifo.jpg\",\"$work/hostile/ppm.png\",\"$work/hostile/svg.png\"],\"dest\":\"$work/out\"}"
  request loadVideo "{\"path\":\"$work/hostile/bomb.gif\"}"
  request extract '{"stepPercent":50}'
  malformed "{\"id\":-5,\"cmd\":\"setMode\",\"args\":$deep}"
  rm -rf "$work/out" && mkdir -p "$work/out"
}
rounds=$(((commands + 26) / 27))
# The first ten rounds fill the allocator's arenas and the libraries' caches (about 25 MiB).
warm=$((rounds / 10 > 10 ? rounds / 10 : 10))
[ "$warm" -le $((rounds / 2)) ] || warm=$(((rounds + 1) / 2))  # or halfway through a short run
for ((r = 1; r <= rounds; r++)); do
  round
  [ "$r" -ne 1 ] || read -r fdS thS rssS <<<"$(stats)"
  [ "$r" -ne "$warm" ] || read -r fd0 th0 rss0 <<<"$(stats)"
done
read -r fd1 th1 rss1 <<<"$(stats)"
exec {in}>&-
while IFS= read -r -t 120 line <&"$out"; do echo "$line" >>"$log"; done
wait "$pid" || fail "exit status $?"

echo "soak: $sent lines, $requests requests, $replies replies; after round 1: $fdS fds, $thS threads, RSS $((rssS / 1024)) MiB; after round $warm: $fd0 fds, $th0 threads, RSS $((rss0 / 1024)) MiB; at the end: $fd1, $th1, $((rss1 / 1024)) MiB"
[ "$replies" -eq "$requests" ] || fail "replies $replies != requests $requests"
! grep -q '"id":"7"' "$log" || fail "a malformed message was answered"
! grep -q '"id":-5' "$log" || fail "a message nested too deep was answered"
# No hostile file opened as a clip.
! grep -q '"isGif":[a-z]*,"name":"\(fifo\|hls\|bomb\)\.' "$log" || fail "a hostile file opened as a clip"
# Idle pool threads come and go by a few, a leak per round would grow with the rounds; memory at
# most 10 % (and 16 MiB of allocator slack) above the warm-up figure.
[ "$fd1" -le $((fd0 + 2)) ] || fail "file descriptors grew from $fd0 to $fd1"
[ "$th1" -le $((th0 + 4)) ] || fail "threads grew from $th0 to $th1"
[ "$rss1" -le $((rss0 + rss0 / 10 + 16384)) ] || fail "RSS grew from $rss0 KiB to $rss1 KiB"
