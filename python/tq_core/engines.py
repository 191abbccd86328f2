"""The audio-to-motion engines: streaming audio-to-expression (A2X) and the
motion pipeline (Motion)."""

from __future__ import annotations

import ctypes as C
from typing import NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from ._handle import Handle, serialised
from ._lib import Error, bind, opt_arg, path_arg, text
from .avatar import PathLike, last_error

__all__ = ["A2X", "Motion", "MotionFrames", "preload_w2v", "to_float32"]

_p = C.c_void_p
_f32p = C.POINTER(C.c_float)
_i32p = C.POINTER(C.c_int)

_a = bind({
    "tq_a2x_create": (_p, [C.c_char_p, C.c_int]),
    "tq_a2x_destroy": (None, [_p]),
    "tq_a2x_push": (C.c_int, [_p, _f32p, C.c_int]),
    "tq_a2x_finish": (None, [_p]),
    "tq_a2x_avail": (C.c_int, [_p]),
    "tq_a2x_pull": (C.c_int, [_p, _i32p, _f32p, _f32p, C.c_int]),
    "tq_a2x_pull_wn": (C.c_int, [_p, _i32p, _f32p, _f32p, _f32p, C.c_int]),
    "tq_a2x_total": (C.c_int, [_p]),
    "tq_a2x_reset": (None, [_p, C.c_int, C.c_int, C.c_int]),
    "tq_a2x_width": (C.c_int, [_p]),
    "tq_a2x_nt": (C.c_int, [_p]),
    "tq_a2x_set_eager": (None, [_p, C.c_int]),
    "tq_a2x_preload_w2v": (C.c_int, [C.c_char_p]),
    "tq_a2x_deltas": (C.c_int, [_p, _f32p, C.c_int, _f32p, C.c_int]),
    "tq_a2x_deltas_wn": (C.c_int, [_p, _f32p, C.c_int, _f32p, _f32p, C.c_int]),
    "tq_a2x_last_error": (C.c_char_p, []),
})

_m = bind({
    "tq_motion_create": (_p, [C.c_char_p, C.c_int, C.c_char_p]),
    "tq_motion_destroy": (None, [_p]),
    "tq_motion_push": (C.c_int, [_p, _f32p, C.c_int]),
    "tq_motion_finish": (None, [_p]),
    "tq_motion_avail": (C.c_int, [_p]),
    "tq_motion_pull": (C.c_int, [_p, _i32p, _f32p, _f32p, C.c_int]),
    "tq_motion_reset": (None, [_p, C.c_int, C.c_int, C.c_int]),
    "tq_motion_total": (C.c_int, [_p]),
    "tq_motion_nt": (C.c_int, [_p]),
    "tq_motion_set_eager": (None, [_p, C.c_int]),
    "tq_motion_last_error": (C.c_char_p, []),
})

SAMPLES_PER_FRAME = 640


class MotionFrames(NamedTuple):
    """Frames pulled from an engine: n driver-frame indices, source and
    driving keypoints as float32 (n, 21, 3), and for A2X.pull(widths=True)
    one width value per frame."""
    index: np.ndarray
    src: np.ndarray
    drv: np.ndarray
    width: Optional[np.ndarray] = None


def to_float32(audio: ArrayLike) -> np.ndarray:
    """Mono audio as contiguous float32: float32 arrays pass through without
    a copy, other floats are converted, int16 is divided by 32768."""
    a = np.asarray(audio).reshape(-1)
    if a.dtype == np.int16:
        return a.astype(np.float32) / np.float32(32768.0)
    if a.dtype.kind != "f":
        raise TypeError("audio must be float or int16 samples, not %s" % a.dtype)
    return np.ascontiguousarray(a, dtype=np.float32)


def _fp(a: np.ndarray) -> "C._Pointer":
    return a.ctypes.data_as(_f32p)


def _count(n: int) -> int:
    if n > np.iinfo(np.int32).max:
        raise ValueError("at most 2**31 - 1 samples at a time")
    return int(n)


def _frames(pull, ptr: int, n: int, widths: bool) -> MotionFrames:
    idx = np.zeros(n, np.int32)
    src = np.zeros((n, 21, 3), np.float32)
    drv = np.zeros((n, 21, 3), np.float32)
    wn = np.zeros(n, np.float32) if widths else None
    got = pull(ptr, idx, src, drv, wn, n)
    # Views of the arrays the library wrote into: no copy.
    return MotionFrames(idx[:got], src[:got], drv[:got], None if wn is None else wn[:got])


class _Engine(Handle):
    """What both engines share: a stream of 16 kHz float audio in, per 25 fps
    frame a driver index and source and driving keypoints out."""

    _lib: object
    _prefix: str

    def _fn(self, name: str):
        return getattr(self._lib, self._prefix + name)

    # Every call that can fail clears the error text on entry: a text after
    # the call is that call's failure.
    def _check(self) -> None:
        msg = last_error()
        if msg:
            raise Error(msg)

    @property
    def nt(self) -> int:
        """Driver frames the engine walks over."""
        return int(self._fn("nt")(self._ptr))

    @property
    def total(self) -> Optional[int]:
        """Frames of the utterance once finish() was called (ceil(samples /
        640)), else None."""
        t = int(self._fn("total")(self._ptr))
        return None if t < 0 else t

    @property
    @serialised
    def available(self) -> int:
        """Frames pull() can return now; runs the models as far as needed."""
        ptr = self._ptr
        n = int(self._fn("avail")(ptr))
        self._check()
        return n

    @serialised
    def reset(self, start: int = -1, direction: int = 1, wrap: bool = True) -> None:
        """Starts a new utterance at driver index start (-1: where the last
        one stopped), walking forwards (direction >= 0) or backwards,
        wrapping over the driver frames or bouncing (wrap=False)."""
        ptr = self._ptr
        self._fn("reset")(ptr, int(start), -1 if direction < 0 else 1, 1 if wrap else 0)
        self._check()

    def set_eager(self, eager: int) -> None:
        """How early frames are handed out before their look-ahead audio has
        arrived (see the engine's documentation)."""
        self._fn("set_eager")(self._ptr, int(eager))

    def _drain(self, pull) -> MotionFrames:
        parts = []
        while True:
            n = self.available
            if n <= 0:
                break
            parts.append(pull(n))
            if len(parts[-1].index) == 0:
                break
        if len(parts) == 1:
            return parts[0]
        if not parts:
            parts.append(pull(0))
        w = None if parts[0].width is None else np.concatenate([p.width for p in parts])
        return MotionFrames(*(np.concatenate([getattr(p, k) for p in parts]) for k in ("index", "src", "drv")), w)

    @serialised
    def finish(self) -> None:
        """The utterance's audio is complete."""
        ptr = self._ptr
        self._fn("finish")(ptr)
        self._check()


class A2X(_Engine):
    """Streaming audio-to-expression engine.

    A2X(model_dir, threads=0): model_dir holds a2x_meta.json, a2x_pos.f32,
    a2x_norm.f32, xs_target.bin, a2x_enc_stream.onnx and a2x_dec.onnx; the
    audio encoder is the file named by the W2V_ONNX environment variable
    (see preload_w2v()).

    push() 16 kHz mono audio in pieces of any size, finish() at the end,
    and pull() frames as they become ``available``. deltas() computes a
    whole clip's keypoint offsets at once.
    """

    _lib, _prefix = _a, "tq_a2x_"

    def __init__(self, model_dir: PathLike, threads: int = 0) -> None:
        ptr = _a.tq_a2x_create(path_arg(model_dir), int(threads))
        if not ptr:
            raise Error(text(_a.tq_a2x_last_error()))
        self._own(ptr, _a.tq_a2x_destroy)

    @property
    def has_width(self) -> bool:
        """True when the encoder has a width output (pull(widths=True))."""
        return _a.tq_a2x_width(self._ptr) == 1

    @serialised
    def push(self, audio: ArrayLike) -> None:
        """Appends mono 16 kHz samples (float32 passes without a copy)."""
        ptr = self._ptr
        a = to_float32(audio)
        _a.tq_a2x_push(ptr, _fp(a), _count(a.size))
        self._check()

    @serialised
    def pull(self, max_frames: Optional[int] = None, widths: bool = False) -> MotionFrames:
        """Up to max_frames frames; by default every frame the engine can
        make now (while ``available`` stays above 0). With widths=True also
        the width values (0 without a width output)."""
        if max_frames is None:
            return self._drain(lambda n: self.pull(n, widths))
        n = int(max_frames)
        ptr = self._ptr

        def pull(p, idx, src, drv, wn, m):
            if m <= 0:
                return 0
            ip = idx.ctypes.data_as(_i32p)
            got = (_a.tq_a2x_pull_wn(p, ip, _fp(src), _fp(drv), _fp(wn), m) if wn is not None
                   else _a.tq_a2x_pull(p, ip, _fp(src), _fp(drv), m))
            self._check()
            return got

        return _frames(pull, ptr, max(n, 0), widths)

    def deltas(self, audio: ArrayLike) -> np.ndarray:
        """Keypoint offsets of a whole clip: float32 (ceil(n / 640), 21, 3)."""
        return self._deltas(audio, False)[0]

    def deltas_with_width(self, audio: ArrayLike) -> Tuple[np.ndarray, np.ndarray]:
        """deltas() and one width value per frame."""
        d, w = self._deltas(audio, True)
        assert w is not None
        return d, w

    @serialised
    def _deltas(self, audio: ArrayLike, widths: bool) -> Tuple[np.ndarray, Optional[np.ndarray]]:
        ptr = self._ptr
        a = to_float32(audio)
        n = _count(a.size)
        frames = (n + SAMPLES_PER_FRAME - 1) // SAMPLES_PER_FRAME
        out = np.zeros((frames, 21, 3), np.float32)
        wn = np.zeros(frames, np.float32) if widths else None
        r = (_a.tq_a2x_deltas_wn(ptr, _fp(a), n, _fp(out), _fp(wn), frames) if widths
             else _a.tq_a2x_deltas(ptr, _fp(a), n, _fp(out), frames))
        if r < 0:
            raise Error(text(_a.tq_a2x_last_error()))
        return out[:r], None if wn is None else wn[:r]


class Motion(_Engine):
    """The motion pipeline engine.

    Motion(motion_dir, threads=0, ep=None): ep None or "" runs on the CPU,
    "coreml..." asks ONNX Runtime's CoreML provider. Same streaming use as
    A2X: push(), finish(), pull() while ``available``.
    """

    _lib, _prefix = _m, "tq_motion_"

    def __init__(self, motion_dir: PathLike, threads: int = 0, ep: Optional[str] = None) -> None:
        ptr = _m.tq_motion_create(path_arg(motion_dir), int(threads), opt_arg(ep))
        if not ptr:
            raise Error(text(_m.tq_motion_last_error()))
        self._own(ptr, _m.tq_motion_destroy)

    @serialised
    def push(self, audio: ArrayLike) -> None:
        """Appends mono 16 kHz samples (float32 passes without a copy);
        raises after finish()."""
        ptr = self._ptr
        a = to_float32(audio)
        if _m.tq_motion_push(ptr, _fp(a), _count(a.size)) != 1:
            raise Error(text(_m.tq_motion_last_error()))

    @serialised
    def pull(self, max_frames: Optional[int] = None) -> MotionFrames:
        """Up to max_frames frames; by default every frame the engine can
        make now (while ``available`` stays above 0)."""
        if max_frames is None:
            return self._drain(self.pull)
        n = int(max_frames)
        ptr = self._ptr

        def pull(p, idx, src, drv, wn, m):
            if m <= 0:
                return 0
            got = _m.tq_motion_pull(p, idx.ctypes.data_as(_i32p), _fp(src), _fp(drv), m)
            self._check()
            return got

        return _frames(pull, ptr, max(n, 0), False)


def preload_w2v(path: Optional[PathLike] = None) -> None:
    """Loads the shared audio encoder of A2X now (default: $W2V_ONNX)."""
    if _a.tq_a2x_preload_w2v(None if path is None else path_arg(path)) != 1:
        raise Error(text(_a.tq_a2x_last_error()))
