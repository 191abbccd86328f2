#!/usr/bin/env python3
"""Speaks a sound file through an avatar into an MP4, with the tq_core Python package.

    speak_wav.py BUNDLE MOTION_DIR SPEECH.wav OUT.mp4

The speech encoder is $W2V_ONNX, else MOTION_DIR/w2v8.onnx. Needs the ffmpeg tool.
"""
import os
import subprocess
import sys

import numpy as np
import tq_core

bundle, motion, wav, out = sys.argv[1:5]
os.environ.setdefault("W2V_ONNX", os.path.join(motion, "w2v8.onnx"))
pcm = np.frombuffer(subprocess.run(["ffmpeg", "-v", "error", "-i", wav, "-f", "s16le", "-ac", "1", "-ar", "16000", "-"],
                                   capture_output=True, check=True).stdout, np.int16)
with tq_core.Avatar(bundle) as avatar, tq_core.Session(avatar, motion, silence_end_s=-1) as session:
    session.wait_ready()
    session.push(pcm)
    session.end()
    video = out + ".video.mp4"
    enc = subprocess.Popen(["ffmpeg", "-y", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                            "%dx%d" % (avatar.width, avatar.height), "-r", "25", "-i", "-", "-c:v", "libx264",
                            "-pix_fmt", "yuv420p", video], stdin=subprocess.PIPE)
    first = None
    for n, frame in enumerate(session):  # idle, speech, the ramp back, then the first idle frame
        enc.stdin.write(frame.pixels)
        if first is None and frame.kind == tq_core.FrameKind.SPEECH:
            first = n
        if first is not None and frame.kind == tq_core.FrameKind.IDLE:
            break
    enc.stdin.close()
    if enc.wait() != 0:
        sys.exit("speak_wav: ffmpeg could not write the video")
# The speech starts with the first speech frame.
subprocess.run(["ffmpeg", "-y", "-v", "error", "-i", video, "-itsoffset", "%.2f" % (first / 25), "-i", wav, "-map", "0:v",
                "-map", "1:a", "-c:v", "copy", "-c:a", "aac", out], check=True)
os.remove(video)
print("%s: %d frames, speech from frame %d" % (out, n + 1, first))
