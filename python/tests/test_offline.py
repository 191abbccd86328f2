"""Fca against the numpy recomputation, OfflineStream against a sequential
render and paste, refusals, closed objects and callbacks that raise."""

import sys

import numpy as np
import pytest

from conftest import SRC, fixture_tool, settled_counts

SPEECH_FRAMES = 13


@pytest.fixture(scope="module")
def fx(work):
    d = work / "offline"
    fixture_tool("a2x", "--out", d / "motion", "--w2v-dir", d / "w2v")
    fixture_tool("fca-clips", d / "clips")
    fixture_tool("fca-decoder", d / "fca_stream.onnx")
    fixture_tool("fca-encoder", d / "short.onnx")
    fixture_tool("fca-decoder", d / "wide" / "fca_stream.onnx", "--m-size", "64")
    bundles = {"plain": [], "nt1": ["--nt", "1"], "cut": ["--xs-cut", "4"], "gap": []}
    for name, opts in bundles.items():
        fixture_tool("fca-bundle", d / name, "--stills", *opts)
    (d / "gap" / "target_frames" / "frame_000002.jpg").write_text("not a JPEG still")
    clip = lambda name: np.fromfile(d / "clips" / (name + ".f32"), "<f4")  # noqa: E731
    return d, clip, clip("silence_led")[:(SPEECH_FRAMES - 1) * 640 + 17]


@pytest.mark.parametrize("name", ["len1", "len641", "silence_led"])
def test_fca_deltas_match_the_numpy_reference(tq, fx, name):
    d, clip, _ = fx
    sys.path.insert(0, str(SRC / "tests" / "audio"))
    import fca_reference as ref
    audio = clip(name)
    frames = -(-audio.size // 640)
    enc = ref.ReferenceEvaluator(str(d / "w2v" / "w2v8.onnx"))
    dec = ref.ReferenceEvaluator(str(d / "fca_stream.onnx"))
    want = ref.decode(dec, ref.normalised(ref.features(enc, audio, frames), name))
    with tq.Fca(d / "w2v" / "w2v8.onnx", d / "fca_stream.onnx", threads=1) as f:
        got = f.deltas(audio)
        assert got.shape == (frames, 63) and got.dtype == np.float32
        assert np.abs(got - want).max() <= 1e-4
        out = np.full((frames, 63), 7.5, np.float32)
        assert f.deltas(audio, out=out) is out  # a second call starts from zero state
        np.testing.assert_array_equal(out, got)
        assert f.deltas(np.zeros(0, np.float32)).shape == (0, 63)


def sequential_frames(tq, bundle, w2v, skip, gain, audio):
    """Frames as a host makes them one by one: offsets, render, paste."""
    xs = np.fromfile(tq.resolve_member(bundle, "xs_target.bin"), np.float32).reshape(-1, 63)
    with tq.Avatar(bundle, model="render", threads=1) as a, \
            tq.Fca(w2v, tq.resolve_member(bundle, "fca_stream.onnx"), threads=1) as f:
        off = f.deltas(audio)
        d = [0 if a.nt <= 1 else i % a.nt for i in range(len(off))]
        return [a.paste(d[i], a.render(d[i], xs[d[i]], xs[d[i]] + np.float32(gain) * off[i]))
                for i in range(skip, len(off))]


@pytest.mark.parametrize("bundle,skip,gain", [("plain", 0, 1.0), ("plain", 3, 0.5), ("nt1", 0, 1.0)])
def test_stream_frames_match_a_sequential_render_and_paste(tq, fx, bundle, skip, gain):
    d, _, speech = fx
    want = sequential_frames(tq, d / bundle, d / "w2v" / "w2v8.onnx", skip, gain, speech)
    assert len(want) == SPEECH_FRAMES - skip
    with tq.OfflineStream(d / bundle, d / "w2v" / "w2v8.onnx", threads=1, skip=skip, gain=gain) as s:
        assert (s.width, s.height, s.frame_shape) == (96, 64, (64, 96, 3))
        assert s.frames_for(speech.size) == len(want)
        got, reused = [], np.zeros(s.frame_shape, np.uint8)
        assert s.run(speech, lambda j, px: got.append((j, px))) == len(want)
        assert [j for j, _ in got] == list(range(len(want)))
        seen = []
        assert s.run(speech, lambda j, px: seen.append(px is reused and px.copy()), out=reused) == len(want)
        for frames in ([px for _, px in got], seen, list(s.frames(speech))):
            assert len(frames) == len(want)
            for j, (g, w) in enumerate(zip(frames, want)):
                assert np.array_equal(g, w), "frame %d" % j
        assert s.run(speech) == len(want)  # made and dropped
        assert s.run(speech[:641], lambda j, px: None) == max(0, 2 - skip)  # n = 641: 2 frames


def gap_run(tq, d):
    delivered = []
    with tq.OfflineStream(d / "gap", d / "w2v" / "w2v8.onnx", threads=1) as s:
        try:
            s.run(np.full(SPEECH_FRAMES * 640, 0.1, np.float32), lambda j, px: delivered.append(j))
        finally:
            assert delivered == list(range(len(delivered))) and len(delivered) <= 2


REFUSALS = [
    ("fca_short_encoder", lambda tq, d: tq.Fca(d / "short.onnx", d / "fca_stream.onnx", 1).deltas(np.ones(641)),
     "tq_fca_deltas: encoder graph {d}/short.onnx: output \"audio_emb\" holds 128000 values, "
     "required 1843200 (12 x 200 x 768)"),
    ("fca_wide_decoder", lambda tq, d: tq.Fca(d / "w2v" / "w2v8.onnx", d / "wide" / "fca_stream.onnx", 1)
     .deltas(np.ones(641)), "tq_fca_deltas: decoder graph fca_stream.onnx: output \"m\" holds 64 values, "
     "required 63 (63)"),
    ("stream_xs_cut", lambda tq, d: tq.OfflineStream(d / "cut", d / "w2v" / "w2v8.onnx", 1),
     "tq_stream_create: cannot read xs_target.bin (NT*63 f32)"),
    ("stream_skip", lambda tq, d: tq.OfflineStream(d / "plain", d / "w2v" / "w2v8.onnx", 1, skip=-1),
     "tq_stream_create: skip -1 is negative"),
    ("stream_mid_run", gap_run, "tq_stream_run: render/paste failed"),
]


@pytest.mark.parametrize("name,call,text", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_raise_the_librarys_text(tq, fx, name, call, text):
    d = fx[0]
    with pytest.raises(tq.Error) as e:
        call(tq, d)
    assert str(e.value) == text.format(d=d)


OPENERS = {
    "Fca": (lambda tq, d: tq.Fca(d / "w2v" / "w2v8.onnx", d / "fca_stream.onnx", 1), lambda o: o.deltas(np.ones(9))),
    "OfflineStream": (lambda tq, d: tq.OfflineStream(d / "plain", d / "w2v" / "w2v8.onnx", 1),
                      lambda o: o.run(np.ones(9))),
}


@pytest.mark.parametrize("kind", sorted(OPENERS))
def test_closed_objects_refuse_use(tq, fx, kind):
    open_, use = OPENERS[kind]
    with open_(tq, fx[0]) as o:
        pass
    with pytest.raises(tq.ClosedError, match="^%s is closed$" % kind):
        use(o)
    if kind == "OfflineStream":
        with pytest.raises(tq.ClosedError):
            o.frames(np.ones(9))


def test_open_run_close_cycles_leak_no_threads_or_descriptors(tq, fx):
    import os
    d, _, speech = fx
    counts = lambda: (len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")))  # noqa: E731

    def cycle():
        with OPENERS["Fca"][0](tq, d) as f:
            f.deltas(speech[:641])
        with OPENERS["OfflineStream"][0](tq, d) as s:
            s.run(speech[:1281], lambda j, px: None)
            assert len(list(s.frames(speech[:641]))) == 2

    for _ in range(2):  # per-thread pools and the runtime's own threads come up once
        cycle()
    before = counts()
    for _ in range(30):
        cycle()
    threads, fds = settled_counts(before)
    assert threads <= before[0] and fds == before[1]  # threads of earlier tests may still be ending


def test_a_raising_callback_ends_the_delivery_and_its_exception_surfaces(tq, fx):
    d, _, speech = fx
    calls = []

    def boom(j, px):
        calls.append(j)
        if j == 2:
            raise KeyError("stop at 2")

    with tq.OfflineStream(d / "plain", d / "w2v" / "w2v8.onnx", threads=1) as s:
        with pytest.raises(KeyError, match="stop at 2"):
            s.run(speech, boom)
        assert calls == [0, 1, 2]
        # A run started from inside a run is refused; the stream stays usable.
        with pytest.raises(RuntimeError, match="a run is already going"):
            s.run(speech, lambda j, px: s.run(speech))
        it = s.frames(speech)
        assert [next(it).shape for _ in range(2)] == [(64, 96, 3)] * 2
        it.close()  # stops the helper thread's delivery and waits for it
        assert s.run(speech, lambda j, px: calls.append(j)) == SPEECH_FRAMES
        assert calls[3:] == list(range(SPEECH_FRAMES))
