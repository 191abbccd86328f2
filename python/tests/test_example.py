"""The example script speaks an espeak-ng sentence into a movie."""

import subprocess
import sys

from conftest import SRC, run


def probe(path, stream, entries):
    return run("ffprobe", "-v", "error", "-count_frames", "-select_streams", stream, "-show_entries",
               "stream=" + entries, "-of", "csv=p=0", path).strip()


def test_example_speaks_a_wav_file_into_an_mp4(demo, work):
    wav, out = work / "say.wav", work / "say.mp4"
    run("espeak-ng", "-w", wav, "Open wide, then close.")
    said = run(sys.executable, SRC / "tools" / "speak_wav.py", demo.bundle, demo.motion, wav, out)
    frames, first = [int(x) for x in said.split(": ")[1].replace(" frames, speech from frame", "").split()]
    assert said == "%s: %d frames, speech from frame %d\n" % (out, frames, first)
    w, h, n = probe(out, "v:0", "width,height,nb_read_frames").split(",")
    assert (int(w), int(h), int(n)) == (640, 480, frames)
    seconds = float(run("ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", wav))
    speech = int(-(-seconds * 16000 // 640))  # speech frames the audio makes
    assert frames == first + speech + 6 + 1  # then the ramp and one idle frame
    start, duration = probe(out, "a:0", "start_time,duration").split(",")
    assert abs(float(start) - first / 25) < 0.05 and abs(float(duration) - seconds) < 0.1
