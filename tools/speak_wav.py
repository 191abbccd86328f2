#!/usr/bin/env python3
"""Speaks a sound file through an avatar into an MP4, with the tq_core Python package.

    speak_wav.py BUNDLE MOTION_DIR SPEECH.wav OUT.mp4

The speech encoder is $W2V_ONNX, else MOTION_DIR/w2v8.onnx. Needs the ffmpeg tool.
"""
import os
import subprocess
import sys
import time

import numpy as np
import tq_core

bundle, motion, wav, out = sys.argv[1:5]
w2v = os.environ.get("W2V_ONNX") or os.path.join(motion, "w2v8.onnx")
pcm = np.frombuffer(subprocess.run(["ffmpeg", "-v", "error", "-i", wav, "-f", "s16le", "-ac", "1", "-ar",
                                    str(tq_core.SAMPLE_RATE), "-"], capture_output=True, check=True).stdout, np.int16)
if pcm.size == 0:
    sys.exit("speak_wav: %s holds no audio" % wav)
video = out + ".video.mp4"
enc = None
try:
    with tq_core.Avatar(bundle) as avatar, tq_core.Session(avatar, motion, silence_end_s=-1, w2v=w2v) as session:
        session.wait_ready(timeout=300)
        session.push(pcm)
        session.end()
        enc = subprocess.Popen(["ffmpeg", "-y", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                                "%dx%d" % (avatar.width, avatar.height), "-r", "25", "-i", "-", "-c:v", "libx264",
                                "-pix_fmt", "yuv420p", video], stdin=subprocess.PIPE)
        n, first, deadline = 0, None, time.monotonic() + 60
        # Idle frames until the speech starts, the speech, its ramp, the first idle frame after it.
        for frame in session.frames(timeout=30, copy=False):
            if first is None and frame.kind == tq_core.FrameKind.SPEECH:
                first = n
            if first is None and time.monotonic() > deadline:
                status = session.render_status.message or "no failure"
                sys.exit("speak_wav: no speech frame within 60 s (%s)" % status)
            enc.stdin.write(frame.pixels)
            n += 1
            if first is not None and frame.kind == tq_core.FrameKind.IDLE:
                break
        enc.stdin.close()
        if enc.wait() != 0:
            sys.exit("speak_wav: ffmpeg could not write the video")
    # The speech starts with the first speech frame.
    subprocess.run(["ffmpeg", "-y", "-v", "error", "-i", video, "-itsoffset", "%.2f" % (first / 25), "-i", wav,
                    "-map", "0:v", "-map", "1:a", "-c:v", "copy", "-c:a", "aac", out], check=True)
    print("%s: %d frames, speech from frame %d" % (out, n, first))
finally:
    if enc is not None and enc.poll() is None:
        enc.kill()
    if os.path.exists(video):
        os.remove(video)
