#!/usr/bin/env python3
"""numpy recomputation of tq_fca_deltas with a2x_reference's graph evaluator (no ONNX Runtime).
Usage: W2V DEC AUDIO:OUT... (float32 audio, the engine's F x 63 output); prints
"<AUDIO> frames=<F> max_err=<E>" per case.
Exits when an energy lies within 1e-4 of its threshold and the decision matters: round-off could
flip it, and the clip would prove nothing."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from a2x_reference import ReferenceEvaluator, normalise, window  # noqa: E402

def features(enc, audio, frames):
    feat = np.zeros((frames, 768), np.float64)
    filled = 0
    for w in range(0, frames, 100):
        start = max(w + (0 if w == 0 else 50), filled)
        stop = min(w + 200, frames)
        if start < stop:
            x, _, _ = normalise(window(audio, w * 640, 128000))
            emb = enc.run(None, {"input_values": x[None, :]})[0].reshape(12, 200, 768)
            feat[start:stop] = emb[4:10].astype(np.float64).mean(axis=0)[start - w:stop - w]
            filled = stop
    return feat.astype(np.float32).astype(np.float64)


def normalised(feat, name):
    e = np.sqrt((feat * feat).sum(axis=1))
    # Only when every frame is the same does no decision change any mean.
    uniform = len(feat) == 0 or np.abs(feat - feat[0]).max() < 1e-5
    total, count, g = np.zeros(feat.shape[1]), 0, np.zeros_like(feat)
    for t in range(len(feat)):
        thr = 0.0 if t <= 6 else np.percentile(e[:t + 1], 20, method="linear")
        # A threshold that is e_t itself (an exact rank) decides alike under any round-off, unless
        # another energy is close enough to take that rank.
        exact = e[t] == thr and t > 6
        near = np.abs(e[:t] - e[t]).min() < 1e-4 if exact else abs(e[t] - thr) < 1e-4
        if near and not uniform:
            sys.exit("%s: energy %.9g of frame %d lies within 1e-4 of its threshold %.9g" % (name, e[t], t, thr))
        if e[t] > thr:
            total += feat[t]
            count += 1
        g[t] = feat[t] - total / max(count, 1)
    return g.astype(np.float32)


def decode(dec, g):
    frames = len(g)
    prev, h, out = np.zeros((1, 63), np.float32), np.zeros((1, 1, 384), np.float32), np.zeros((frames, 63), np.float32)
    for t in range(frames):
        idx = [min(max(t + k, 0), frames - 1) for k in range(-1, 6)]
        cond = np.concatenate([g[i] for i in idx])[None, :]
        m, hn = dec.run(None, {"cond": cond, "prev": prev, "h": h})
        out[t] = m.reshape(-1)
        prev, h = m.reshape(1, 63), hn.reshape(1, 1, 384)
    return out


def main():
    enc, dec = ReferenceEvaluator(sys.argv[1]), ReferenceEvaluator(sys.argv[2])
    for case in sys.argv[3:]:
        audio_path, out_path = case.split(":")
        audio, got = np.fromfile(audio_path, "<f4"), np.fromfile(out_path, "<f4").reshape(-1, 63)
        frames = (audio.size + 639) // 640
        ref = decode(dec, normalised(features(enc, audio, frames), audio_path))
        err = float(np.abs(got - ref).max(initial=0.0)) if got.shape == ref.shape else 1e9
        print("%s frames=%d max_err=%.3g" % (audio_path, frames, err))


if __name__ == "__main__":
    main()
