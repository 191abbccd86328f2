"""Shared by the tq_live tests: a small demo avatar in a scratch directory and the socket helpers."""
import os
import subprocess
import sys
import tempfile

LIVE, SRC = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(SRC, "tools"))
import live_ws  # noqa: E402

# Frame rates are checked on optimised builds only; a sanitizer build is too slow for 25 fps.
RATES = os.environ.get("TQ_LIVE_RATES", "1") != "0"

# 640x480 with a 256 crop; the mouth sits in this box (x, y, w, h) of the frame.
MOUTH = (290, 276, 60, 34)


def avatar():
    """(scratch dir, bundle, motion dir), drawn by the project's fixture tool."""
    tmp = tempfile.mkdtemp(prefix="tq_live_test.")
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    subprocess.run(["/usr/bin/python3", os.path.join(SRC, "tools", "tq_fixtures.py"), "demo-avatar", tmp + "/a",
                    "--seconds", "1", "--crop", "256", "--width", "640", "--height", "480", "--motion", tmp + "/m"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    return tmp, tmp + "/a", tmp + "/m"


def expect(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what)
