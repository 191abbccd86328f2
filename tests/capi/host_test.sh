#!/usr/bin/env bash
# The example host plays a small bundle's idle loop into an H.264 movie that the ffmpeg tools read
# back with the right size and frame count.
host=$1 src=$2
. "$(dirname "$0")/host_common.sh"
fx identity-bundle "$tmp/b" --nt 3 --crop 32 --W 96 --H 64 --frames 4 --driver-movie --director b1
out=$($emu "$host" "$tmp/b" --frames 7 --mp4 "$tmp/idle.mp4" 2>"$tmp/log" || { cat "$tmp/log"; exit 1; })
echo "$out"
grep -q '^tq_host: 7 frames, first render .* ms (graph load), then render .* ms/frame, paste .* ms/frame -> ' <<<"$out"
grep -q '\[tq_host\] frame 7/7' "$tmp/log"
probe=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=width,height,nb_read_frames \
  -of csv=p=0 "$tmp/idle.mp4")
[ "$probe" = "96,64,7" ] || { echo "movie reads back as '$probe'"; exit 1; }
rm "$tmp/b/mask_512.u8"  # refused with the library's text
if $emu "$host" "$tmp/b" --frames 1 2>"$tmp/err"; then echo "opened a bundle without a mask"; exit 1; fi
grep -qx 'tq_host: tq_create: mask read failed' "$tmp/err" || { cat "$tmp/err"; exit 1; }
echo "host ok"
