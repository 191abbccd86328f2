#!/usr/bin/env bash
# The offline example host renders an espeak-ng sentence into an MP4 that ffprobe reads back with
# the right size, one frame per 640 samples after the skipped ones, and the audio muxed in.
host=$1 src=$2
. "$(dirname "$0")/../capi/host_common.sh"
fx fca-bundle "$tmp/b"
fx a2x --out "$tmp/motion" --w2v-dir "$tmp/w2v"
espeak-ng -w "$tmp/s.wav" "Render it offline."
samples=$(ffmpeg -v error -i "$tmp/s.wav" -ar 16000 -ac 1 -f f32le - | wc -c)
want=$(( (samples / 4 + 639) / 640 - 3 ))
$emu "$host" "$tmp/b" "$tmp/w2v/w2v8.onnx" "$tmp/s.wav" "$tmp/o.mp4" 1 3 2>"$tmp/log" || { cat "$tmp/log"; exit 1; }
grep -q "^$want frames written to $tmp/o.mp4" "$tmp/log" || { cat "$tmp/log"; exit 1; }
tr '\r' '\n' <"$tmp/log" | grep -qx "frame $want/$want"
probe=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=width,height,nb_read_frames \
  -of csv=p=0 "$tmp/o.mp4")
[ "$probe" = "96,64,$want" ] || { echo "movie reads back as '$probe', want $want frames"; exit 1; }
[ "$(ffprobe -v error -select_streams a -show_entries stream=codec_type -of csv=p=0 "$tmp/o.mp4")" = audio ]
echo "offline host ok"
