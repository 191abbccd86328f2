"""Session and the audio engines: speech frames are the engine's own
keypoints rendered and pasted as the context does it."""

import os
from pathlib import Path

import numpy as np
import pytest

from conftest import voice


def speak(s, pcm):
    """Pushes pcm in 100 ms pieces, ends the utterance, pulls through the
    speech and its ramp to the first idle frame after them."""
    for at in range(0, len(pcm), 1600):
        s.push(pcm[at:at + 1600])
    s.end()
    seen, spoke = [], False
    for f in s.frames(timeout=120):
        seen.append(f)
        spoke = spoke or f.kind != 0
        if spoke and f.kind == 0:
            return seen


def test_session_speech_is_the_engines_keypoints_rendered_and_pasted(tq, demo):
    pcm = voice(16000 + 321)
    n_frames = (len(pcm) + 639) // 640
    with tq.Avatar(demo.bundle, threads=1) as a:
        with tq.Session(a, demo.motion, steady_model="-", silence_end_s=-1, threads=1) as s:
            s.wait_ready(timeout=300)
            assert s.ready
            seen = speak(s, pcm)
            stats = s.stats
        kinds = [f.kind for f in seen]
        first = kinds.index(tq.FrameKind.SPEECH)
        assert kinds[first:] == [tq.FrameKind.SPEECH] * n_frames + [tq.FrameKind.RAMP] * 6 + [tq.FrameKind.IDLE]
        assert [f.frame for f in seen[first:first + n_frames]] == list(range(n_frames))
        assert [f.seq for f in seen] == list(range(seen[0].seq, seen[0].seq + len(seen)))
        assert (stats.frames_out, stats.speech_frames_out, stats.first_frames) == (len(seen), n_frames, 1)
        assert stats.state == tq.SessionState.IDLE and stats.first_frame_ms > 0

        # The engine on its own, from the same start, with the same samples.
        start = (seen[first - 1].driver_index + 1) % a.nt if first else 0
        with tq.A2X(demo.motion, 1) as e:
            e.reset(start, 1, True)
            e.push(pcm.astype(np.float32) / 32768)
            e.finish()
            got = e.pull()
            assert e.total == n_frames and len(got.index) == n_frames
        np.testing.assert_array_equal(got.index, [f.driver_index for f in seen[first:first + n_frames]])
        np.testing.assert_array_equal(got.index, (start + np.arange(n_frames)) % a.nt)
        np.testing.assert_array_equal(got.src, demo.xs[got.index])
        for k in (0, n_frames // 2, n_frames - 1):
            want = a.paste(got.index[k], a.render(got.index[k], got.src[k], got.drv[k]))
            np.testing.assert_array_equal(seen[first + k].pixels, want)


def test_a2x_streams_what_it_computes_offline(tq, demo):
    audio = voice(9000, seed=1).astype(np.float32) / 32768
    with tq.A2X(demo.motion, 1) as e:
        assert e.nt == 25 and e.total is None
        e.reset(3, -1, False)
        for at in range(0, len(audio), 700):  # float32 passes without a copy
            e.push(audio[at:at + 700])
        e.finish()
        pulled = [e.pull(max_frames=4) for _ in range(5)]
        idx = np.concatenate([p.index for p in pulled])
        assert e.total == 15 and len(idx) == 15 and e.available == 0
        np.testing.assert_array_equal(idx[:6], [3, 2, 1, 0, 1, 2])  # backwards, bouncing at 0
        deltas = e.deltas(audio)
        assert deltas.shape == (15, 21, 3)
        drv = np.concatenate([p.drv for p in pulled])
        src = np.concatenate([p.src for p in pulled])
        np.testing.assert_array_equal(src, demo.xs[idx])
        assert np.isfinite(drv).all() and np.isfinite(deltas).all() and np.abs(deltas).max() > 0


def test_motion_pipeline_frames_follow_the_driver(tq, motion_dir):
    with tq.Motion(motion_dir, 1) as m:
        m.reset(1, 1, True)
        m.push(voice(6400))
        m.finish()
        frames = []
        while True:
            got = m.pull()
            if not len(got.index):
                break
            frames.append(got)
        idx = np.concatenate([f.index for f in frames])
        assert m.total == 10 and len(idx) == 10
        np.testing.assert_array_equal(idx, (1 + np.arange(10)) % 4)
        xs = np.fromfile(motion_dir / "xs_target.bin", np.float32).reshape(-1, 21, 3)
        np.testing.assert_array_equal(np.concatenate([f.src for f in frames]), xs[idx])
        assert np.isfinite(np.concatenate([f.drv for f in frames])).all()


def test_audio_conversion(tq):
    from tq_core.session import to_pcm16
    pcm = np.array([0, 1, -32768, 32767], np.int16)
    assert to_pcm16(pcm).ctypes.data == pcm.ctypes.data  # int16 passes without a copy
    np.testing.assert_array_equal(to_pcm16(np.array([0.5, -1.0, 1.0, 3e-5])), [16384, -32768, 32767, 1])
    with pytest.raises(TypeError):
        to_pcm16(np.array(["a"]))


def test_interrupt_ramps_back_from_the_last_pulled_face(tq, demo):
    with tq.Avatar(demo.bundle, threads=1) as a:
        with tq.Session(a, demo.motion, steady_model="-", silence_end_s=-1, threads=1) as s:
            s.wait_ready(timeout=300)
            s.push(voice(32000, seed=2))
            frames = s.frames(timeout=120)
            while next(frames).kind != tq.FrameKind.SPEECH:
                pass
            s.interrupt()
            after = [next(frames) for _ in range(5)]
            kinds = [f.kind for f in after]
            assert kinds == [tq.FrameKind.RAMP] * 4 + [tq.FrameKind.IDLE], kinds
            assert s.stats.speech_frames_out == 1


def test_two_sentences_handed_over_back_to_back_are_two_utterances(tq, demo):
    one, two = voice(66 * 640 - 200, seed=3), voice(73 * 640 - 100, seed=4)
    with tq.Avatar(demo.bundle, threads=1) as a:
        with tq.Session(a, demo.motion, steady_model="-", silence_end_s=-1, end_ramp=5, threads=1) as s:
            s.wait_ready(timeout=300)
            s.push(one)
            s.end()
            s.push(two)
            s.end()
            runs, ramps = [], []
            for f in s.frames(timeout=120):
                if f.kind == tq.FrameKind.SPEECH:
                    if f.frame == 0:
                        runs.append([])
                        ramps.append(0)
                    runs[-1].append(f.frame)
                elif f.kind == tq.FrameKind.RAMP:
                    ramps[-1] += 1
                elif len(runs) == 2 and ramps[-1]:
                    break
            assert runs == [list(range(66)), list(range(73))]
            assert ramps == [5, 5]
            assert s.counts == tq.Counts(0, 2, 2, 0, 0)
            # The second sentence's first frame, split by stage.
            lat = s.latency
            assert lat.utterance == s.stats.first_frames == 2
            assert lat.total_ms == s.stats.first_frame_ms
            assert lat.render_ms > 0 and lat.paste_ms > 0 and lat.handoff_ms >= -0.01


def test_push_guards_waits_and_the_utterance_iterator(tq, demo, caplog, capfd):
    """push refuses audio the engine would drop and other sample rates; utterance() yields one
    sentence from its frame 0 through its ramp and leaves the next sentence's first frame for the
    next call; the library's lines go to logging, not to standard error."""
    import logging
    caplog.set_level(logging.INFO, logger="tq_core")
    one, two = voice(9 * 640, seed=5), voice(7 * 640 - 9, seed=6)
    with tq.Avatar(demo.bundle, threads=1) as a:
        # The encoder given by path, and a load that takes long enough to push into.
        with tq.Session(a, demo.motion, steady_model="-", silence_end_s=-1, end_ramp=3, threads=1,
                        w2v=demo.motion / "w2v8.onnx") as s:
            with pytest.raises(ValueError, match="takes 16000 Hz audio, not 22050 Hz"):
                s.push(one, rate=22050)
            if not s.ready:
                with pytest.raises(tq.NotReadyError, match="audio pushed now would be dropped"):
                    s.push(one)
            s.push(one, wait=True)
            s.end()
            s.push(two)
            s.end()
            assert s.wait_frame(timeout=60)
            runs = []
            for _ in range(2):
                fs = [(f.kind, f.frame) for f in s.utterance(timeout=60)]
                runs.append(fs)
            assert runs[0] == [(tq.FrameKind.SPEECH, i) for i in range(9)] + [(tq.FrameKind.RAMP, -1)] * 3
            assert runs[1] == [(tq.FrameKind.SPEECH, i) for i in range(7)] + [(tq.FrameKind.RAMP, -1)] * 3
            assert s.counts.samples_dropped == 0
    assert any(r.getMessage().startswith("[tq] director ep=") for r in caplog.records)
    assert "[tq" not in capfd.readouterr().err


def test_one_version_across_library_package_and_build(tq):
    import ctypes
    import re
    lib = ctypes.CDLL(tq.library_path())
    lib.tq_version.restype = ctypes.c_char_p
    # pyproject.toml takes its version from the package (tq_core._lib.VERSION), which must be
    # the library's and the build's (CMake's project version, which pkg-config and the CMake
    # package carry too).
    pyproject = (Path(__file__).resolve().parents[1] / "pyproject.toml").read_text()
    assert re.search(r'^version = \{attr = "tq_core._lib.VERSION"\}$', pyproject, re.M)
    versions = {lib.tq_version().decode(), tq.__version__, os.environ["TQ_PROJECT_VERSION"]}
    assert len(versions) == 1, versions


def test_an_engine_used_from_two_threads_takes_turns(tq, demo):
    """A2X serves one thread at a time; two Python threads pushing and pulling on one
    engine take turns through its lock, and every frame of the audio comes out once."""
    import threading
    pcm = voice(40 * 640, seed=9).astype(np.float32) / 32768
    eng = tq.A2X(demo.motion, threads=1)
    got, errors = [], []

    def work(part):
        try:
            for at in range(0, len(part), 320):
                eng.push(part[at:at + 320])
                got.append(len(eng.pull().index))
        except Exception as e:  # any failure is a fault
            errors.append(e)

    halves = [pcm[:20 * 640], pcm[20 * 640:]]
    threads = [threading.Thread(target=work, args=(h,)) for h in halves]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    eng.finish()
    got.append(len(eng.pull().index))
    eng.close()
    assert errors == [] and sum(got) == 40
