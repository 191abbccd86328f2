"""The real-time utterance session."""

from __future__ import annotations

import ctypes as C
import enum
import time
from typing import TYPE_CHECKING, Iterator, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike

from ._handle import Handle, out_array
from ._lib import Error, bind, opt_arg, path_arg
from .avatar import Avatar, PathLike, last_error

if TYPE_CHECKING:
    from .teeth import TeethMembers

__all__ = ["Session", "Frame", "FrameKind", "SessionState", "Stats", "Counts", "Latency", "RenderStatus",
           "NotReadyError", "SAMPLE_RATE", "TeethStats"]

_p = C.c_void_p


class _Opts(C.Structure):
    _fields_ = [("motion_dir", C.c_char_p), ("threads", C.c_int32), ("motion_ep", C.c_char_p),
                ("steady_model", C.c_char_p), ("eager", C.c_int32), ("silence_end_s", C.c_double),
                ("end_ramp", C.c_int32), ("interrupt_ramp", C.c_int32)]


class _Ext(C.Structure):
    _fields_ = [("size", C.c_size_t), ("w2v_path", C.c_char_p)]


class _Info(C.Structure):
    _fields_ = [("seq", C.c_uint64), ("kind", C.c_uint32), ("driver_index", C.c_uint32), ("frame", C.c_int32)]


class _Stats(C.Structure):
    _fields_ = [("frames_out", C.c_uint64), ("speech_frames_out", C.c_uint64), ("first_frames", C.c_uint64),
                ("first_frame_ms", C.c_double), ("render_ms", C.c_double), ("state", C.c_uint32)]


class _Counts(C.Structure):
    _fields_ = [("samples_dropped", C.c_uint64), ("utterances_started", C.c_uint64),
                ("utterances_finished", C.c_uint64), ("utterances_interrupted", C.c_uint64),
                ("utterances_failed", C.c_uint64)]


_LATENCY_PARTS = ("total_ms", "audio_ms", "frontend_ms", "encoder_ms", "decoder_ms", "render_ms", "paste_ms",
                  "handoff_ms")


class _Latency(C.Structure):
    _fields_ = [(name, C.c_double) for name in _LATENCY_PARTS] + [("utterance", C.c_uint64)]


_c = bind({
    "tq_utt_create": (_p, [_p, C.POINTER(_Opts)]),
    "tq_utt_destroy": (None, [_p]),
    "tq_utt_push_audio": (C.c_int, [_p, C.POINTER(C.c_int16), C.c_int]),
    "tq_utt_end_utterance": (None, [_p]),
    "tq_utt_interrupt": (None, [_p]),
    "tq_utt_ready": (C.c_int, [_p]),
    "tq_utt_create_ext": (_p, [_p, C.POINTER(_Opts), C.POINTER(_Ext)]),
    "tq_utt_wait_ready": (C.c_int, [_p, C.c_int]),
    "tq_utt_wait_frame": (C.c_int, [_p, C.c_int]),
    "tq_utt_frames_available": (C.c_int, [_p]),
    "tq_utt_pull_frame": (C.c_int, [_p, C.POINTER(C.c_uint8), C.c_size_t, C.POINTER(_Info)]),
    "tq_utt_get_stats": (None, [_p, C.POINTER(_Stats)]),
    "tq_utt_get_counts": (None, [_p, C.POINTER(_Counts)]),
    "tq_utt_get_latency": (None, [_p, C.POINTER(_Latency)]),
    "tq_utt_render_status": (C.c_int, [_p, C.c_char_p, C.c_int, C.POINTER(C.c_uint64)]),
    "tq_utt_tessera_attach": (C.c_int, [_p, _p, C.c_int, _p, _p, _p, _p, _p, C.c_int, C.c_char_p, C.c_char_p,
                                        C.c_char_p, C.c_int]),
    "tq_utt_tessera_stats": (C.c_int, [_p, C.POINTER(C.c_uint64), C.POINTER(C.c_uint64), C.c_char_p, C.c_int]),
})

#: Samples per second of the session's audio, and per 25 fps video frame.
SAMPLE_RATE = 16000
SAMPLES_PER_FRAME = 640

# Blocking calls wait in slices so that Ctrl-C reaches the Python thread.
_SLICE_MS = 100


class NotReadyError(Error):
    """Audio pushed before the session's engine is ready (it would be dropped)."""


class FrameKind(enum.IntEnum):
    """What a published frame shows."""
    IDLE = 0    #: the driver video alone
    SPEECH = 1  #: the rendered, speaking face
    RAMP = 2    #: the face blending back to the idle pose


class SessionState(enum.IntEnum):
    """The session's render loop."""
    IDLE = 0
    STARTED = 1   #: audio is becoming motion; no speech frame yet
    SPEAKING = 2
    RAMP = 3


class Frame(NamedTuple):
    """A pulled frame: pixels uint8 (height, width, 3) and its description."""
    pixels: np.ndarray
    seq: int           #: published-frame number since the session began
    kind: FrameKind
    driver_index: int  #: driver-video frame the picture is built on
    frame: int         #: speech frame number in the utterance; -1 otherwise


class Stats(NamedTuple):
    """Session statistics (see Session.stats)."""
    frames_out: int
    speech_frames_out: int
    first_frames: int
    first_frame_ms: float
    render_ms: float
    state: SessionState


class Counts(NamedTuple):
    """What happened to the audio and the utterances since creation."""
    samples_dropped: int          #: pushed before ready, or into an abandoned utterance
    utterances_started: int
    utterances_finished: int      #: rendered to their last frame
    utterances_interrupted: int   #: cut short by interrupt()
    utterances_failed: int        #: abandoned after an engine or render failure


class Latency(NamedTuple):
    """Where the latest utterance's first-frame latency went, in ms; the parts add up to total_ms."""
    total_ms: float
    audio_ms: float      #: from the first push to the last push the first frames needed
    frontend_ms: float   #: engine: audio features
    encoder_ms: float    #: engine: sequence model
    decoder_ms: float    #: engine: per-frame model
    render_ms: float     #: the director on speech frame 0
    paste_ms: float      #: driver frame and paste
    handoff_ms: float    #: waits and hand-offs between the session's threads
    utterance: int       #: Stats.first_frames when recorded (0: none yet)


class TeethStats(NamedTuple):
    """The teeth borrow of a session (see Session.attach_teeth)."""
    attached: bool
    healthy: bool     #: attached and not stopped by a refusal or failure
    borrowed: int     #: frames that received borrowed teeth
    refused: int      #: frames the borrow refused
    message: str      #: the refusal or failure that stopped it


class RenderStatus(NamedTuple):
    """Render failures so far: fatal ones stop speech rendering."""
    fatal: bool
    failures: int
    message: str


def to_pcm16(audio: ArrayLike) -> np.ndarray:
    """Audio as contiguous int16 samples. int16 arrays pass through without a
    copy; float arrays in -1..1 are scaled by 32768 (the session divides by
    32768 again), rounded and clipped."""
    a = np.asarray(audio)
    if a.ndim > 1 and a.size != max(a.shape):
        raise ValueError("audio must be mono, not of shape %s" % (a.shape,))
    a = a.reshape(-1)
    if a.dtype == np.int16:
        return np.ascontiguousarray(a)
    if a.dtype.kind == "f":
        return np.clip(np.rint(a.astype(np.float64) * 32768.0), -32768, 32767).astype(np.int16)
    if a.dtype.kind in "iu":
        if a.size and (a.min() < -32768 or a.max() > 32767):
            raise ValueError("integer audio outside the int16 range")
        return a.astype(np.int16)
    raise TypeError("audio must be int16 or floating point samples, not %s" % a.dtype)


class Session(Handle):
    """A real-time speaking session on an avatar.

    Session(avatar, motion_dir, *, threads=0, motion_ep=None,
            steady_model=None, eager=0, silence_end_s=0.0, end_ramp=0,
            interrupt_ramp=0, w2v=None)

    motion_dir      directory of the audio-to-motion models
    w2v             the speech encoder graph of the streaming engine
                    (w2v8.onnx, its short-window pair beside it); None:
                    $W2V_ONNX. The first encoder a process loads serves
                    every later session.
    threads         motion engine threads; 0: the avatar's
    motion_ep       execution provider of the motion pipeline; None: CPU
    steady_model    batched chunk renderer's model key; None: "b24_fp32";
                    "-": none
    eager           -2: hybrid; 0: the engine's default; >= 1 as is
    silence_end_s   seconds without audio that end an utterance; 0: 0.6;
                    negative: only end() ends it
    end_ramp        frames of the ramp after an utterance; 0: 6
    interrupt_ramp  frames of the ramp after interrupt(); 0: 4

    The session turns 16 kHz mono speech into a continuous stream of
    frames: idle footage, the speaking face, a ramp back to idle. The
    engine loads in the background: call ``wait_ready()`` first (push()
    before then raises NotReadyError, or waits with wait=True). Push audio with push() in
    pieces of any size, close an utterance with end() (or let silence end
    it), abandon it with interrupt(). Audio pushed after end() is the next
    utterance: it waits until the current one and its ramp are over, so a
    conversation may hand over sentence after sentence. An engine failure
    abandons the utterance (see render_status) and the next one speaks.
    One session per avatar at a time. The session keeps at most 8 frames
    ready; pull them with pull() or iterate::

        with Session(avatar, "motion") as s:
            s.wait_ready()
            s.push(pcm)
            s.end()
            for f in s.utterance(timeout=10):   # its frames, then its ramp
                ...
            for f in s:          # blocks for each frame; never ends
                ...

    The iterators write every frame into one reused array (copy=True
    yields arrays of their own); frames() copies by default.

    close() (or leaving the with-block) stops and joins the session's
    threads. The avatar stays usable by others but must not be used
    directly while the session runs.
    """

    def __init__(self, avatar: Avatar, motion_dir: PathLike, *, threads: int = 0,
                 motion_ep: Optional[str] = None, steady_model: Optional[str] = None,
                 eager: int = 0, silence_end_s: float = 0.0, end_ramp: int = 0,
                 interrupt_ramp: int = 0, w2v: Optional[PathLike] = None) -> None:
        ctx = avatar._resource
        o = _Opts(path_arg(motion_dir), int(threads), opt_arg(motion_ep), opt_arg(steady_model),
                  int(eager), float(silence_end_s), int(end_ramp), int(interrupt_ramp))
        ext = _Ext(C.sizeof(_Ext), None if w2v is None else path_arg(w2v))
        ptr = _c.tq_utt_create_ext(ctx.ptr, C.byref(o), C.byref(ext))
        if not ptr:
            raise Error(last_error())
        self._own(ptr, _c.tq_utt_destroy, deps=(ctx,))
        self.frame_shape = avatar.frame_shape
        self._ready = False
        self._held: Optional[Frame] = None  # a frame an utterance iterator took for the next one

    @property
    def ready(self) -> bool:
        """True once the audio engine has loaded; raises Error if it failed."""
        r = _c.tq_utt_ready(self._ptr)
        if r < 0:
            raise Error(last_error())
        self._ready = self._ready or r == 1
        return r == 1

    def _wait(self, fn, timeout: Optional[float]) -> int:
        """Calls the C wait fn in slices; its result, or 0 when time ran out."""
        end = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            ms = _SLICE_MS if end is None else int(min(_SLICE_MS, max(0.0, end - time.monotonic()) * 1000))
            r = fn(self._ptr, ms)
            if r != 0 or (end is not None and time.monotonic() >= end):
                return r

    def wait_ready(self, timeout: Optional[float] = None) -> None:
        """Blocks until the engine has loaded (no polling); Error when it
        failed, TimeoutError after timeout seconds."""
        r = self._wait(_c.tq_utt_wait_ready, timeout)
        if r < 0:
            raise Error(last_error())
        if r == 0:
            raise TimeoutError("the session's engine did not load within %g s" % timeout)
        self._ready = True

    def wait_frame(self, timeout: Optional[float] = None) -> bool:
        """Blocks until a frame is ready to pull: True, or False after
        timeout seconds."""
        r = self._wait(_c.tq_utt_wait_frame, timeout)
        if r < 0:
            raise Error(last_error())
        return r == 1

    def push(self, audio: ArrayLike, *, rate: int = SAMPLE_RATE, wait: bool = False) -> None:
        """Appends 16 kHz mono speech: int16 samples (passed without a copy)
        or floats in -1..1. An empty push only marks the time of audio.

        rate must be SAMPLE_RATE (resample other audio first: pushed as is,
        22.05 kHz speech would play slowed down). Before the engine is ready
        push raises NotReadyError, or with wait=True waits for it."""
        if rate != SAMPLE_RATE:
            raise ValueError("the session takes %d Hz audio, not %s Hz: resample it first" % (SAMPLE_RATE, rate))
        if not self._ready and not self.ready:
            if not wait:
                raise NotReadyError("the session's engine is not ready yet: audio pushed now would be dropped "
                                    "(call wait_ready() first, or push(..., wait=True))")
            self.wait_ready()
        u = self._ptr
        pcm = to_pcm16(audio)
        if pcm.size > np.iinfo(np.int32).max:
            raise ValueError("push at most 2**31 - 1 samples at a time")
        if _c.tq_utt_push_audio(u, pcm.ctypes.data_as(C.POINTER(C.c_int16)), int(pcm.size)) != 1:
            raise Error(last_error())

    def end(self) -> None:
        """The current utterance's audio is complete."""
        _c.tq_utt_end_utterance(self._ptr)

    def interrupt(self) -> None:
        """Abandons the current utterance now: unpulled frames are dropped
        and the face ramps back to idle from the last frame pulled."""
        _c.tq_utt_interrupt(self._ptr)

    @property
    def frames_available(self) -> int:
        """Frames ready to pull (at most 8)."""
        return int(_c.tq_utt_frames_available(self._ptr))

    def pull(self, out: Optional[np.ndarray] = None) -> Optional[Frame]:
        """The next frame, written directly into out (or a new array), or
        None when none is ready."""
        if self._held is not None:
            f, self._held = self._held, None
            if out is None:
                return f
            dst = out_array(out, self.frame_shape, np.uint8, "pull")
            dst[...] = f.pixels
            return f._replace(pixels=dst)
        dst = out_array(out, self.frame_shape, np.uint8, "pull")
        info = _Info()
        u = self._ptr
        # The pull clears the error text on entry: 0 with no text is an empty
        # ring, 0 with a text a refusal.
        if _c.tq_utt_pull_frame(u, dst.ctypes.data_as(C.POINTER(C.c_uint8)), dst.nbytes, C.byref(info)) != 1:
            msg = last_error()
            if msg:
                raise Error(msg)
            return None
        return Frame(dst, int(info.seq), FrameKind(info.kind), int(info.driver_index), int(info.frame))

    def _next(self, timeout: Optional[float], out: Optional[np.ndarray]) -> Frame:
        while True:
            f = self.pull(out)
            if f is not None:
                return f
            if not self.wait_frame(timeout):
                raise TimeoutError("no frame within %g s" % timeout)

    def frames(self, timeout: Optional[float] = None, copy: bool = True) -> Iterator[Frame]:
        """Yields frames as they are published, waiting for each (no
        polling); with a timeout, TimeoutError when no frame comes within
        that many seconds. copy=False writes every frame into one array
        reused for the next one."""
        out = None if copy else np.empty(self.frame_shape, np.uint8)
        while True:
            yield self._next(timeout, out)

    def utterance(self, timeout: Optional[float] = None, copy: bool = False) -> Iterator[Frame]:
        """Yields the next utterance: its speech frames from frame 0 and the
        ramp back to idle, then ends (idle frames before it are skipped; the
        frame after it stays for the next pull). Raises Error when the
        utterance was abandoned on a fatal failure, TimeoutError when no
        frame comes within timeout seconds. By default every frame is
        written into one reused array (copy=True: arrays of their own)."""
        out = None if copy else np.empty(self.frame_shape, np.uint8)
        failures = self.render_status.failures
        started = False
        while True:
            f = self._next(timeout, out)
            begins = f.kind == FrameKind.SPEECH and f.frame == 0
            if started and (f.kind == FrameKind.IDLE or begins):
                self._held = f._replace(pixels=f.pixels.copy())
                break
            if not started and not begins:
                self._raise_failure(failures)  # abandoned before its first frame
                continue
            started = True
            yield f
        self._raise_failure(failures)

    def _raise_failure(self, before: int) -> None:
        status = self.render_status
        if status.fatal and status.failures > before:
            raise Error(status.message)

    def __iter__(self) -> Iterator[Frame]:
        """frames() without a timeout: an endless stream."""
        return self.frames()

    @property
    def stats(self) -> Stats:
        """Frames pulled (all, speech), utterances begun, the latest
        first-frame latency and the average render time in ms, the state."""
        s = _Stats()
        _c.tq_utt_get_stats(self._ptr, C.byref(s))
        return Stats(int(s.frames_out), int(s.speech_frames_out), int(s.first_frames), float(s.first_frame_ms),
                     float(s.render_ms), SessionState(s.state))

    @property
    def counts(self) -> Counts:
        """Samples dropped and utterances started, finished, interrupted, failed."""
        c = _Counts()
        _c.tq_utt_get_counts(self._ptr, C.byref(c))
        return Counts(int(c.samples_dropped), int(c.utterances_started), int(c.utterances_finished),
                      int(c.utterances_interrupted), int(c.utterances_failed))

    @property
    def latency(self) -> Latency:
        """The latest utterance's first-frame latency, split by stage."""
        x = _Latency()
        _c.tq_utt_get_latency(self._ptr, C.byref(x))
        return Latency(*(float(getattr(x, n)) for n in _LATENCY_PARTS), int(x.utterance))

    def attach_teeth(self, members: "TeethMembers", bank: ArrayLike) -> None:
        """Arms the teeth borrow: members are the bundle's teeth members,
        bank the donor patches in donor order (members.reorder() of the bank
        track). The library copies both; a refusal raises Error with its
        reason and keeps the previous borrow."""
        b = np.ascontiguousarray(bank, np.uint8)
        if b.nbytes != members.band_bytes:
            raise ValueError("attach_teeth: bank holds %d bytes, the members need %d" % (b.nbytes, members.band_bytes))
        u = self._ptr
        members._ptr  # ClosedError for closed members
        err = C.create_string_buffer(4096)
        r = _c.tq_utt_tessera_attach(u, b.ctypes.data, members.n_donors, members.cent.ctypes.data,
                                     members.c_canon.ctypes.data, members.aperture.ctypes.data,
                                     members.geometry.ctypes.data, members.head_pt.ctypes.data,
                                     int(members.head_pt.size), members.head_json.encode(),
                                     members.manifest_json.encode(), err, len(err))
        if r != 0:
            raise Error(err.value.decode("utf-8", "replace"))

    @property
    def teeth_stats(self) -> TeethStats:
        """Whether a teeth borrow is attached and healthy, frames borrowed and refused."""
        borrowed, refused = C.c_uint64(0), C.c_uint64(0)
        msg = C.create_string_buffer(4096)
        r = _c.tq_utt_tessera_stats(self._ptr, C.byref(borrowed), C.byref(refused), msg, len(msg))
        return TeethStats(r != 0, r == 1, int(borrowed.value), int(refused.value),
                          msg.value.decode("utf-8", "replace"))

    @property
    def render_status(self) -> RenderStatus:
        """Render failures: whether one was fatal, how many, the latest text."""
        buf = C.create_string_buffer(4096)
        n = C.c_uint64(0)
        r = _c.tq_utt_render_status(self._ptr, buf, len(buf), C.byref(n))
        return RenderStatus(r < 0, int(n.value), buf.value.decode("utf-8", "replace"))
