"""Shared fixtures: bundles and motion directories written by the project's
fixture tool, and the installed prefix the package is tested from."""

import os
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

SRC = Path(os.environ.get("TQ_SOURCE_DIR") or Path(__file__).resolve().parents[2])
PREFIX = os.environ.get("TQ_TEST_PREFIX")  # set by run_installed.sh


def run(*cmd, **kw):
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    env.update(kw.pop("env", {}))
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, env=env, **kw)
    assert r.returncode == 0, "%s failed:\n%s%s" % (cmd[0], r.stdout, r.stderr)
    return r.stdout


def settled_counts(before, seconds=10.0):
    """Thread and descriptor counts of this process once they are back at or below
    `before`, or after `seconds`: threads of finished work may still be exiting."""
    import time
    end = time.monotonic() + seconds
    while True:
        now = len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))
        if (now[0] <= before[0] and now[1] <= before[1]) or time.monotonic() > end:
            return now
        time.sleep(0.05)


def fixture_tool(*args):
    run("/usr/bin/python3", SRC / "tools" / "tq_fixtures.py", *args)


def rgb_frames(path, w, h):
    """A movie or image sequence decoded by the ffmpeg tool: (n, h, w, 3) uint8."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, check=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3)


@pytest.fixture(scope="session")
def work(tmp_path_factory):
    return tmp_path_factory.mktemp("tq")


@pytest.fixture(scope="session")
def small(work):
    """3 identity frames, crop 32 pasted unscaled into 96 x 64 frames, an m4b director "b1"."""
    d = work / "small"
    fixture_tool("identity-bundle", d, "--nt", "3", "--crop", "32", "--W", "96", "--H", "64", "--translate",
                 "--mask-value", "255", "--driver-movie", "--director", "b1", "--frames", "4",
                 "--manifest-set", '{"amount": 0}')
    return d


@pytest.fixture(scope="session")
def demo(work):
    """The demo avatar (640 x 480, crop 256, 1 s) and its stand-in a2x motion models."""
    a, m = work / "demo", work / "demo_motion"
    fixture_tool("demo-avatar", a, "--seconds", "1", "--crop", "256", "--width", "640", "--height", "480",
                 "--motion", m)
    os.environ["W2V_ONNX"] = str(m / "w2v8.onnx")
    os.environ["TQ_A2X_W2V_RIGHT"] = "0"
    xs = np.fromfile(m / "xs_target.bin", np.float32).reshape(-1, 21, 3)
    return SimpleNamespace(bundle=a, motion=m, xs=xs)


@pytest.fixture(scope="session")
def motion_dir(work):
    d = work / "motion"
    fixture_tool("motion", d, "--nt", "4")
    return d


def voice(n, seed=0):
    """Speech-like int16 test audio."""
    i = np.arange(n, dtype=np.float64)
    return (6000 * np.sin(0.031 * i + seed) * np.sin(0.0007 * i) + 900 * np.sin(0.41 * i)).astype(np.int16)


@pytest.fixture(scope="session")
def tq():
    import tq_core
    return tq_core


def kp_script(path):
    """Records of a keypoint script: (si, src (21, 3), drv (21, 3))."""
    rec = np.dtype([("si", "<i4"), ("src", "<f4", (21, 3)), ("drv", "<f4", (21, 3))])
    return np.fromfile(path, rec)
