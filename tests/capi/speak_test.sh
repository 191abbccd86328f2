#!/usr/bin/env bash
# The real-time example host speaks an espeak-ng sentence through a small demo avatar: the movie
# carries video and audio of the same length, holds every speech frame of the audio, the mouth opens
# while the words are said and closes again; broken inputs are refused with one line each.
set -euo pipefail
speak=$1 src=$2
emu=${TQ_TEST_EMULATOR:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
py() { env -u LD_LIBRARY_PATH /usr/bin/python3 "$@"; }
fail() { echo "FAIL: $*"; exit 1; }

py "$src/tools/tq_fixtures.py" demo-avatar "$tmp/a" --seconds 1 --crop 256 --width 640 --height 480 \
  --motion "$tmp/m" >/dev/null
espeak-ng -w "$tmp/s.wav" "Open wide, then close."

# The speech encoder is found beside the motion models (w2v8.onnx) when neither --w2v nor $W2V_ONNX names one.
out=$(env -u W2V_ONNX $emu "$speak" "$tmp/a" "$tmp/m" "$tmp/s.wav" "$tmp/o.mp4" --lead 0.4 --tail 0.4 --quiet \
  2>"$tmp/log") || { cat "$tmp/log"; fail "tq_speak failed"; }
echo "$out"
grep -q '^\[tq_utt-stage\] ' "$tmp/log" || { cat "$tmp/log"; fail "no stage report"; }
grep -q '^tq_speak: first-frame latency [0-9]* ms' <<<"$out" || fail "no latency line"
grep -q '^tq_speak: delivered [0-9.]* fps overall, [0-9.]* fps during speech; frames late [0-9]*' <<<"$out" ||
  fail "no delivery line"

# Every 40 ms of the audio (as ffmpeg decodes it at 16 kHz) is one speech frame.
bytes=$(ffmpeg -v error -i "$tmp/s.wav" -f s16le -ac 1 -ar 16000 - | wc -c)
want=$(( (bytes / 2 + 639) / 640 ))
frames=$(sed -n 's/^tq_speak: .*: \([0-9]*\) frames (\([0-9]*\) speech, speech starts at frame \([0-9]*\)).*/\1 \2 \3/p' <<<"$out")
read -r total speech first <<<"$frames"
[ "$speech" = "$want" ] || fail "$speech speech frames, the audio makes $want"

# Video and audio streams of the same length, the video holding every pulled frame.
probe() { ffprobe -v error -select_streams "$1" -show_entries stream=codec_type,duration -of csv=p=0 "$tmp/o.mp4"; }
v=$(probe v); a=$(probe a)
[[ $v == video,* && $a == audio,* ]] || fail "streams: '$v' '$a'"
py - "${v#video,}" "${a#audio,}" "$total" <<'EOF' || fail "durations video ${v#video,} s, audio ${a#audio,} s, $total frames"
import sys
v, a, n = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
sys.exit(0 if abs(v - a) <= 0.2 and abs(v - n / 25) <= 0.05 else 1)
EOF

# The mouth: dark pixels in the box around it (0.36 face units below the face's centre, 160 pixels a
# unit), against the loudness of the movie's own audio track over the speech. The mouth follows the
# words (at most one frame behind) and is closed again at the last speech frame (trailing silence).
ffmpeg -v error -i "$tmp/o.mp4" -vf "crop=60:34:290:276,format=gray" -f rawvideo - >"$tmp/mouth.gray"
ffmpeg -v error -i "$tmp/o.mp4" -map 0:a:0 -f s16le -ac 1 -ar 16000 - >"$tmp/track.s16"
py - "$tmp/mouth.gray" "$tmp/track.s16" "$first" "$speech" <<'EOF' || fail "the mouth does not follow the speech"
import sys
import numpy as np
g = np.fromfile(sys.argv[1], np.uint8).reshape(-1, 34 * 60)
pcm = np.fromfile(sys.argv[2], "<i2").astype(np.float64)
first, speech = int(sys.argv[3]), int(sys.argv[4])
dark = (g < 20).sum(axis=1).astype(np.float64)
loud = np.sqrt((pcm[:len(pcm) // 640 * 640].reshape(-1, 640) ** 2).mean(axis=1))
span = slice(first, first + speech)
corr = {lag: np.corrcoef(loud[span], dark[first + lag:first + speech + lag])[0, 1] for lag in range(-3, 4)}
best = max(corr, key=corr.get)
words, closed = dark[span].max(), dark[first + speech - 1]
print("mouth against loudness: best lag %d frame(s), correlation %.2f; dark pixels max %d, at the end %d"
      % (best, corr[best], words, closed))
sys.exit(0 if best in (0, 1) and corr[best] >= 0.6 and words >= 2 * closed + 30 else 1)
EOF

# Refusals: one line each, nothing written.
refuse() {
  local want=$1; shift
  if $emu "$speak" "$@" "$tmp/r.mp4" 2>"$tmp/err"; then fail "accepted: $*"; fi
  grep -qxF "$want" "$tmp/err" || { cat "$tmp/err"; fail "expected: $want"; }
  [ ! -e "$tmp/r.mp4" ] || fail "wrote a movie for: $*"
}
refuse "tq_speak: no avatar bundle at $tmp/none" "$tmp/none" "$tmp/m" "$tmp/s.wav"
mkdir "$tmp/nometa" && cp "$tmp/m/a2x_enc_stream.onnx" "$tmp/m/a2x_dec.onnx" "$tmp/nometa/"
refuse "tq_speak: bad motion directory $tmp/nometa: tq_a2x_create: a2x_meta.json missing in $tmp/nometa" \
  "$tmp/a" "$tmp/nometa" "$tmp/s.wav" --w2v "$tmp/m/w2v8.onnx"
echo "not a sound" >"$tmp/text.wav"
refuse "tq_speak: cannot read audio $tmp/text.wav: ffmpeg cannot decode it ($tmp/text.wav: Invalid data found when processing input)" \
  "$tmp/a" "$tmp/m" "$tmp/text.wav"
echo "speak ok"
