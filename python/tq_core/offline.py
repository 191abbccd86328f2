"""Offline clips: keypoint offsets of a whole clip (Fca) and a whole clip
rendered into frames (OfflineStream)."""

from __future__ import annotations

import ctypes as C
import queue
import threading
from typing import Callable, Iterator, Optional

import numpy as np
from numpy.typing import ArrayLike

from ._handle import Handle, out_array, serialised
from ._lib import Error, bind, path_arg, text
from .avatar import PathLike
from .engines import SAMPLES_PER_FRAME, to_float32

__all__ = ["Fca", "OfflineStream", "FrameCallback"]

_p = C.c_void_p
_f32p = C.POINTER(C.c_float)
_FrameFn = C.CFUNCTYPE(None, C.c_void_p, C.c_int, C.c_void_p, C.c_int, C.c_int)

_c = bind({
    "tq_fca_create": (_p, [C.c_char_p, C.c_char_p, C.c_int]),
    "tq_fca_deltas": (C.c_int, [_p, _f32p, C.c_int, _f32p, C.c_int]),
    "tq_fca_destroy": (None, [_p]),
    "tq_fca_last_error": (C.c_char_p, []),
    "tq_stream_create": (_p, [C.c_char_p, C.c_char_p, C.c_int, C.c_int, C.c_float]),
    "tq_stream_run": (C.c_int, [_p, _f32p, C.c_int, _FrameFn, _p]),
    "tq_stream_width": (C.c_int, [_p]),
    "tq_stream_height": (C.c_int, [_p]),
    "tq_stream_destroy": (None, [_p]),
    "tq_stream_last_error": (C.c_char_p, []),
})

#: Keypoint offsets per frame: 21 rows of (x, y, z).
KP_VALUES = 63

#: run()'s callback: (frame number from 0, pixels uint8 (height, width, 3)).
FrameCallback = Callable[[int, np.ndarray], None]


def frames_for(samples: int) -> int:
    """Video frames of a clip of that many 16 kHz samples: ceil(n / 640)."""
    return max(0, (int(samples) + SAMPLES_PER_FRAME - 1) // SAMPLES_PER_FRAME)


def _clip(audio: ArrayLike) -> np.ndarray:
    a = to_float32(audio)
    if a.size > np.iinfo(np.int32).max:
        raise ValueError("a clip holds at most 2**31 - 1 samples")
    return a


class Fca(Handle):
    """The offline audio-to-offset engine.

    Fca(encoder_path, decoder_path, threads=0)

    encoder_path  the 8-second speech encoder ("input_values" [1, 128000]
                  -> "audio_emb" [12, 200, 768])
    decoder_path  the recurrent decoder, a bundle's "fca_stream.onnx"
    threads       ONNX Runtime intra-op threads; 0 lets the library choose

    deltas() turns a complete 16 kHz mono clip into one row of 63 keypoint
    offsets (21 x, y, z) per 25 fps video frame. Every call starts from zero
    state, so equal clips give equal offsets. One Fca must not be used from
    several threads at once.
    """

    def __init__(self, encoder_path: PathLike, decoder_path: PathLike, threads: int = 0) -> None:
        ptr = _c.tq_fca_create(path_arg(encoder_path), path_arg(decoder_path), int(threads))
        if not ptr:
            raise Error(text(_c.tq_fca_last_error()))
        self._own(ptr, _c.tq_fca_destroy)

    @serialised
    def deltas(self, audio: ArrayLike, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Offsets of a whole clip: float32 (ceil(n / 640), 63), written
        directly into out. audio is float samples in -1..1 (float32 passes
        without a copy) or int16; an empty clip gives 0 rows."""
        fca = self._ptr
        a = _clip(audio)
        frames = frames_for(a.size)
        dst = out_array(out, (frames, KP_VALUES), np.float32, "deltas")
        r = _c.tq_fca_deltas(fca, a.ctypes.data_as(_f32p), int(a.size), dst.ctypes.data_as(_f32p), frames)
        if r != frames:
            raise Error(text(_c.tq_fca_last_error()))
        return dst


class OfflineStream(Handle):
    """A complete clip rendered into full-size frames, for batch export.

    OfflineStream(bundle, w2v_path, threads=0, skip=0, gain=1.0)

    bundle    an avatar bundle (directory or IMX container) carrying the
              director "model_render.onnx", the decoder "fca_stream.onnx"
              and the rest keypoints "xs_target.bin"
    w2v_path  the 8-second speech encoder (see Fca)
    threads   threads of the renderer and the engine; 0: the library's
    skip      frames dropped at the start of every run
    gain      multiplier of the keypoint offsets

    run() computes the whole clip's offsets, then renders and pastes its
    frames (on two threads inside the library) and hands each one to a
    callback, in order, on the calling thread; frames() yields them
    instead. Frame i is built on driver frame i mod nt. A stream runs any
    number of clips, one at a time::

        with OfflineStream("bundle", "w2v8.onnx") as s:
            for pixels in s.frames(speech):    # uint8 (height, width, 3)
                encoder.write(pixels)
    """

    def __init__(self, bundle: PathLike, w2v_path: PathLike, threads: int = 0, skip: int = 0,
                 gain: float = 1.0) -> None:
        ptr = _c.tq_stream_create(path_arg(bundle), path_arg(w2v_path), int(threads), int(skip), float(gain))
        if not ptr:
            raise Error(text(_c.tq_stream_last_error()))
        self._own(ptr, _c.tq_stream_destroy)
        self.width: int = int(_c.tq_stream_width(self._ptr))
        self.height: int = int(_c.tq_stream_height(self._ptr))
        self.skip, self.gain = int(skip), float(gain)
        self._running = threading.Lock()

    @property
    def frame_shape(self) -> tuple:
        """(height, width, 3)."""
        return (self.height, self.width, 3)

    def frames_for(self, samples: int) -> int:
        """Frames a clip of that many samples delivers: ceil(n / 640) - skip,
        at least 0."""
        return max(0, frames_for(samples) - self.skip)

    def run(self, audio: ArrayLike, callback: Optional[FrameCallback] = None,
            out: Optional[np.ndarray] = None) -> int:
        """Renders the clip and calls callback(frame, pixels) for each frame
        in order; returns the number of frames delivered.

        pixels is out, overwritten by every frame, when out is given (a
        writable C-contiguous uint8 array of frame_shape); otherwise a new
        array per frame. Without a callback the frames are made and dropped.

        An exception raised by the callback (KeyboardInterrupt included)
        ends the delivery: no later frame reaches the callback, and the
        exception is raised again here once the library has returned. The
        library has no way to be stopped in the middle of a clip, so it
        still renders the clip's remaining frames, which are dropped. A failure of the library raises
        Error after the frames before it were delivered. Runs on one
        stream do not overlap: a second run while one is going (another
        thread's, or one started from the callback) raises RuntimeError.
        """
        stream = self._ptr
        a = _clip(audio)
        dst = None if callback is None else out_array(out, self.frame_shape, np.uint8, "run")
        raised: list = []

        def on_frame(_user: Optional[int], j: int, rgb: Optional[int], w: int, h: int) -> None:
            # Nothing may propagate into the library: keep the first exception
            # and let the remaining frames pass by.
            if raised:
                return
            try:
                frame = dst if out is not None else np.empty(self.frame_shape, np.uint8)
                if (h, w, 3) != frame.shape or not rgb:
                    raise Error("OfflineStream.run: frame %d is %dx%d, expected %dx%d"
                                % (j, w, h, self.width, self.height))
                C.memmove(frame.ctypes.data, rgb, frame.nbytes)
                callback(j, frame)
            except BaseException as e:  # KeyboardInterrupt too: it surfaces after the run
                raised.append(e)

        fn = _FrameFn(on_frame) if callback is not None else _FrameFn()
        if not self._running.acquire(blocking=False):
            raise RuntimeError("OfflineStream.run: a run is already going on this stream")
        try:
            r = _c.tq_stream_run(stream, a.ctypes.data_as(_f32p), int(a.size), fn, None)
            message = text(_c.tq_stream_last_error()) if r < 0 else ""
        finally:
            self._running.release()
        if raised:
            raise raised[0]
        if r < 0:
            raise Error(message)
        return int(r)

    def frames(self, audio: ArrayLike, ahead: int = 2) -> Iterator[np.ndarray]:
        """Yields the clip's frames in order, each a new uint8 array of
        frame_shape. The run goes on a helper thread, at most ahead frames
        ahead of the consumer. Leaving the loop early ends the delivery;
        closing the generator (or its collection) then waits until the
        library has finished the clip, as in run(). A failure raises Error
        after the frames before it."""
        self._ptr  # a closed stream raises here, not on the first next()
        return self._frames(audio, max(1, int(ahead)))

    def _frames(self, audio: ArrayLike, ahead: int) -> Iterator[np.ndarray]:
        q: "queue.Queue" = queue.Queue(maxsize=ahead)
        stop = threading.Event()
        done = object()

        class _Stopped(Exception):
            pass

        def put(_j: int, pixels: np.ndarray) -> None:
            if stop.is_set():
                raise _Stopped()
            q.put(pixels)

        def produce() -> None:
            try:
                self.run(audio, put)
                q.put((done, None))
            except _Stopped:
                q.put((done, None))
            except BaseException as e:
                q.put((done, e))

        worker = threading.Thread(target=produce, name="tq-offline-stream", daemon=True)
        worker.start()
        try:
            while True:
                item = q.get()
                if isinstance(item, tuple) and item[0] is done:
                    if item[1] is not None:
                        raise item[1]
                    return
                yield item
        finally:
            stop.set()
            while worker.is_alive():  # unblocks a put waiting for room
                try:
                    q.get(timeout=0.05)
                except queue.Empty:
                    pass
            worker.join()

    def __repr__(self) -> str:
        if self.closed:
            return "<OfflineStream closed>"
        return "<OfflineStream %dx%d skip=%d gain=%g>" % (self.width, self.height, self.skip, self.gain)
