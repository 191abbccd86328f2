"""Per-frame keypoint deltas of the demo avatar's stand-in audio models, recomputed
with numpy from their documented behaviour (not from the graphs):

  loudness of frame t: mean square of its 640 window-normalised samples, rounded
  through half precision as the engine rounds speech features; the streaming
  encoder averages its square root over frames t-1..t+1 (inside the utterance);
  the decoder opens o = clip((a - 0.25) x 0.6, 0, 1), eases m = 0.35 prev +
  0.65 o direction, and the delta is m x the opening amount.

  demo_motion_reference.py SAMPLES.f32 OPEN_AMOUNT OFFLINE_OUT.f32 STREAM_OUT.f32

OFFLINE: one 8-second window from sample 0 (the audio must be shorter). STREAM:
blocks of 8 frames, each read from the 2-second window that ends 8 frames after
the block starts (no right context), sampled at 80-sample steps as the engine's
short-window frontend does.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from fixtures.demo_avatar import MOUTH_OPEN  # noqa: E402  (the rows the opening moves)

HOP = 640


def normalised(window):
    w = window.astype(np.float64)
    mean = w.sum() / len(w)
    var = ((w - mean) ** 2).sum() / len(w)
    scale = np.float32(1.0) / np.sqrt(np.float32(var) + np.float32(1e-7))
    return ((w - mean) * np.float64(scale)).astype(np.float32)


def half(x):
    return np.asarray(x, np.float32).astype(np.float16).astype(np.float32)


def offline_loudness(x, frames):
    win = np.zeros(128000, np.float32)
    win[:len(x)] = x
    z = normalised(win).astype(np.float64)
    return half((z[:frames * HOP].reshape(frames, HOP) ** 2).mean(axis=1))


def stream_loudness(x, frames):
    n = len(x)
    out = np.zeros(frames, np.float32)
    for w0 in range(0, frames, 8):
        end = (w0 + 8) * HOP
        win = np.zeros(32000, np.float32)
        lo = end - 32000
        seg = x[max(lo, 0):min(end, n)]
        win[max(0, -lo):max(0, -lo) + len(seg)] = seg
        z = normalised(win).astype(np.float64)
        zp = np.concatenate([z, np.zeros(560)]) ** 2
        steps = half(np.array([zp[80 * i:80 * i + HOP].mean() for i in range(400)]))
        for f in range(w0, min(w0 + 8, frames)):
            if f <= 199:
                local, base = f, 0
            else:
                k = f // 100 - 1
                local, base = f - 100 * k, 100 * k * HOP
            p = (base - lo) / 80.0 + local * 8.030150753768844
            i0 = int(np.floor(p))
            i1 = min(i0 + 1, 399)
            wt = p - i0
            out[f] = half((1 - wt) * steps[i0] + wt * steps[i1])
    return out


def deltas(loud, open_amount):
    amp = np.sqrt(np.maximum(loud.astype(np.float64), 0))
    frames = len(amp)
    band = np.array([amp[max(t - 1, 0):min(t + 2, frames)].mean() for t in range(frames)])
    direction = np.zeros((21, 3))
    for row, (dx, dy) in MOUTH_OPEN.items():
        direction[row, :2] = dx, dy
    direction = direction.reshape(63)
    m = np.zeros(63)
    out = np.zeros((frames, 63))
    for t in range(frames):
        o = np.clip((band[t] - 0.25) * 0.6, 0, 1)
        m = 0.35 * m + 0.65 * o * direction
        out[t] = m * open_amount
    return out.astype(np.float32)


def main():
    x = np.fromfile(sys.argv[1], "<f4")
    open_amount = float(sys.argv[2])
    frames = (len(x) + HOP - 1) // HOP
    deltas(offline_loudness(x, frames), open_amount).astype("<f4").tofile(sys.argv[3])
    deltas(stream_loudness(x, frames), open_amount).astype("<f4").tofile(sys.argv[4])


if __name__ == "__main__":
    main()
