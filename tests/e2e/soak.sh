#!/usr/bin/env bash
# Soak run of `quillon-cli bridge`: COMMANDS mixed lines (400 by default, as CTest runs it;
# `make soak` runs 2000) - opens of a clip, a GIF and a damaged file, extractions, frame exports,
# image imports and conversions, drops, panels, reveal, unknown commands and malformed messages -
# with every reply accounted for (one per well-formed request, none for a malformed one), no file
# descriptor or thread left behind, and resident memory flat after warm-up, read from /proc/PID
# between rounds.
#   bash tests/e2e/soak.sh BUILD_DIR SOURCE_DIR [COMMANDS]
set -euo pipefail
build=$(cd "$1" && pwd)
commands=${3:-${QUILLON_SOAK_COMMANDS:-400}}
cli="$build/bin/quillon-cli"
[ -x "$cli" ] || { echo "no $cli" >&2; exit 1; }
work="$build/soak"
rm -rf "$work" && mkdir -p "$work/images" "$work/out"
ff="ffmpeg -nostdin -hide_banner -loglevel error -y"
$ff -f lavfi -i testsrc2=size=480x270:rate=25:duration=4 -c:v libx264 -pix_fmt yuv420p "$work/clip.mp4"
$ff -f lavfi -i testsrc=size=160x120:rate=10:duration=2 "$work/anim.gif"
head -c 3000 "$work/clip.mp4" > "$work/damaged.mp4"
for i in 1 2 3; do convert -size 200x150 plasma:fractal "$work/images/p$i.jpg"; done
convert -size 120x90 xc:orange "$work/images/flat.png"
echo "not an image" > "$work/images/text.png"

coproc CLI { exec "$cli" bridge; }
pid=$CLI_PID
in=${CLI[1]}
out=${CLI[0]}

sent=0       # lines sent
requests=0   # lines that must be answered
replies=0    # replies read
id=0
log="$work/soak.log"
: > "$log"

# Reads lines until the reply to request $1 (or the event named $1 when it is not a number).
await() {
    local want=$1 line
    while IFS= read -r -t 120 line <&"$out"; do
        echo "$line" >> "$log"
        case $line in
            "window.__bridgeResolveRaw({\"id\":"*)
                replies=$((replies + 1))
                local got=${line#*\"id\":}
                got=${got%%,*}
                [ "$got" = "$want" ] && return 0
                [[ "$want" =~ ^[0-9]+$ ]] && [ "$got" -gt "$want" ] && { echo "reply $got before $want" >&2; exit 1; }
                ;;
            "$want("*) return 0 ;;
        esac
    done
    echo "no answer for $want after $sent lines (child $(kill -0 $pid 2>/dev/null && echo alive || echo gone))" >&2
    exit 1
}

# Sends a command with the next id and waits for its reply.
request() {
    id=$((id + 1)); sent=$((sent + 1)); requests=$((requests + 1))
    local args='{}'
    [ $# -lt 2 ] || args=$2
    printf '{"id":%d,"cmd":"%s","args":%s}\n' "$id" "$1" "$args" >&"$in"
    await "$id"
}

# Sends a line that must not be answered.
malformed() { sent=$((sent + 1)); printf '%s\n' "$1" >&"$in"; }

# Sends a drop and waits for the event it causes.
drop() { sent=$((sent + 1)); printf '{"drop":["%s"]}\n' "$1" >&"$in"; await "$2"; }

fds() { ls /proc/$pid/fd | wc -l; }
threads() { ls /proc/$pid/task | wc -l; }
rss() { awk '/^VmRSS/ {print $2}' /proc/$pid/status; }

round() {
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
    rm -rf "$work/out" && mkdir -p "$work/out"
}
per_round=20

rounds=$(( (commands + per_round - 1) / per_round ))
# The first rounds fill the allocator's per-thread arenas and the libraries' caches (about 25 MiB
# over the first ten rounds), so the baseline is taken after at least ten rounds, or halfway
# through a short run.
warm=$(( rounds / 10 > 10 ? rounds / 10 : 10 ))
[ "$warm" -le $(( rounds / 2 )) ] || warm=$(( rounds / 2 > 1 ? rounds / 2 : 1 ))
start=$(date +%s)
for ((r = 1; r <= rounds; r++)); do
    round
    if [ "$r" -eq "$warm" ]; then
        fd0=$(fds); th0=$(threads); rss0=$(rss)
    fi
    if [ "$r" -ge "$warm" ] && [ $(( r % 10 )) -eq 0 ]; then
        echo "round $r: $(fds) fds, $(threads) threads, RSS $(( $(rss) / 1024 )) MiB"
    fi
done
fd1=$(fds); th1=$(threads); rss1=$(rss)
exec {in}>&-
while IFS= read -r -t 120 line <&"$out"; do echo "$line" >> "$log"; done
wait "$pid"; status=$?
elapsed=$(( $(date +%s) - start ))

echo "soak: $sent lines ($requests requests, $((sent - requests)) unanswered by design) in ${elapsed}s; $replies replies"
echo "after warm-up (round $warm): $fd0 fds, $th0 threads, RSS $((rss0 / 1024)) MiB; at the end: $fd1 fds, $th1 threads, RSS $((rss1 / 1024)) MiB"
fail=0
[ "$status" -eq 0 ] || { echo "exit status $status" >&2; fail=1; }
[ "$replies" -eq "$requests" ] || { echo "replies $replies != requests $requests" >&2; fail=1; }
[ "$(grep -c '"id":"7"' "$log" || true)" -eq 0 ] || { echo "a malformed message was answered" >&2; fail=1; }
# Idle worker threads of GLib's and libvips' pools come and go by a few; a leak of one per
# command or per round would grow by the number of rounds.
[ "$fd1" -le $((fd0 + 2)) ] || { echo "file descriptors grew from $fd0 to $fd1" >&2; fail=1; }
[ "$th1" -le $((th0 + 4)) ] || { echo "threads grew from $th0 to $th1" >&2; fail=1; }
# Flat: at most 10 % (and 16 MiB of allocator slack) above the warm-up figure.
limit=$(( rss0 + rss0 / 10 + 16384 ))
[ "$rss1" -le "$limit" ] || { echo "RSS grew from $rss0 KiB to $rss1 KiB" >&2; fail=1; }
exit $fail
