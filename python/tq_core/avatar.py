"""The render context (an opened avatar bundle), the warp prior, bundle paths."""

from __future__ import annotations

import ctypes as C
import math
import os
from typing import Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from ._handle import Handle, c_array, out_array, serialised
from ._lib import Error, bind, opt_arg, path_arg, text

__all__ = ["Avatar", "Prior", "resolve_bundle", "resolve_member", "kp_rows", "KP_SHAPE"]

PathLike = Union[str, bytes, "os.PathLike[str]"]
_p = C.c_void_p
_f32p = C.POINTER(C.c_float)
_u8p = C.POINTER(C.c_uint8)

_c = bind({
    "tq_last_error": (C.c_char_p, []),
    "tq_bundle_resolve_handle": (C.c_int, [C.c_char_p, C.c_char_p, C.c_size_t]),
    "tq_bundle_resolve_member": (C.c_int, [C.c_char_p, C.c_char_p, C.c_char_p, C.c_size_t]),
    "tq_create": (_p, [C.c_char_p, C.c_char_p, C.c_int, C.c_char_p]),
    "tq_destroy": (None, [_p]),
    "tq_host_kp_rows": (C.c_int, []),
    "tq_nt": (C.c_int, [_p]),
    "tq_width": (C.c_int, [_p]),
    "tq_height": (C.c_int, [_p]),
    "tq_crop": (C.c_int, [_p]),
    "tq_drive_frames": (C.c_int, [_p]),
    "tq_render_kp_crop": (_f32p, [_p, C.c_int, _f32p, _f32p]),
    "tq_render_drive_crop": (_f32p, [_p, C.c_int]),
    "tq_paste_crop": (C.c_int, [_p, C.c_int, _f32p, _u8p, C.c_size_t]),
    "tq_paste_last": (_u8p, [_p, C.c_int]),
    "tq_render_kp_rgba": (C.c_int, [_p, C.c_int, _f32p, _f32p, _u8p, C.c_size_t]),
    "tq_render_drive_rgba": (C.c_int, [_p, C.c_int, _u8p, C.c_size_t]),
    "tq_target_frame": (_u8p, [_p, C.c_int]),
    "tq_prior_open": (_p, [C.c_char_p, C.c_int, C.c_int]),
    "tq_prior_row_bytes": (C.c_size_t, [_p]),
    "tq_prior_row": (C.c_int, [_p, C.c_int, _u8p, C.c_size_t]),
    "tq_prior_backend": (C.c_char_p, [_p]),
    "tq_prior_close": (None, [_p]),
})

#: Shape of one frame's keypoints: 21 rows of (x, y, z).
KP_SHAPE = (21, 3)


def last_error() -> str:
    """The calling thread's last-error text of the library."""
    return text(_c.tq_last_error())


def clear_error() -> None:
    """Empties the calling thread's last-error text (for the few functions
    that report a failure only through it)."""
    _c.tq_bundle_resolve_handle(None, None, 0)  # clears on entry, then refuses the null path silently


def fail() -> Error:
    return Error(last_error())


def kp_rows() -> int:
    """Keypoint rows per frame the renderer is fed (21)."""
    return int(_c.tq_host_kp_rows())


def _ptr(a: np.ndarray, ctype: type) -> "C._Pointer":
    return a.ctypes.data_as(C.POINTER(ctype))


def _kp(a: object, what: str) -> np.ndarray:
    return c_array(a, np.float32, what, 63)


def resolve_bundle(path: PathLike) -> str:
    """The directory a bundle is read from: the directory itself, or the
    unpacked directory of an IMX container (unpacked once, then reused)."""
    buf = C.create_string_buffer(os.pathconf("/", "PC_PATH_MAX") + 1)
    if _c.tq_bundle_resolve_handle(path_arg(path), buf, len(buf)) != 1:
        raise fail()
    return os.fsdecode(buf.value)


def resolve_member(bundle: PathLike, member: str) -> Optional[str]:
    """The path of a bundle member under either naming layout, or None when
    no such file can be opened."""
    buf = C.create_string_buffer(os.pathconf("/", "PC_PATH_MAX") + 1)
    r = _c.tq_bundle_resolve_member(path_arg(bundle), member.encode("utf-8"), buf, len(buf))
    if r < 0:
        msg = last_error()
        raise Error(msg or "tq_bundle_resolve_member: path of %r does not fit" % member)
    return os.fsdecode(buf.value) if r == 1 else None


class Avatar(Handle):
    """An opened avatar bundle: the render context.

    Avatar(bundle, model="b1", threads=0, ep=None)

    bundle   a bundle directory, an IMX container, or the container's path
             without its ".imx" suffix
    model    director graph key: the bundle member "model_<model>.onnx"
    threads  renderer threads; 0 lets the library choose
    ep       execution provider request; None for the CPU

    Geometry: ``nt`` identity frames, frames of ``width`` x ``height`` RGB,
    face crops of ``crop`` x ``crop``, ``drive_frames`` rows of the idle loop.

    Images are numpy arrays: frames are uint8 (height, width, 3) or
    (height, width, 4) for RGBA; crops are float32 (3, crop, crop), planar
    R, G, B in 0..1; keypoints are 63 float32 values (21 rows of x, y, z),
    any shape. Methods that fill a frame take an optional ``out`` array that
    the library writes into directly.

    One avatar must not be used from several threads at once. The first
    render loads the director graph, so it is slow. Use ``with Avatar(...)
    as a:`` or call close(); a Session on the avatar keeps the context
    alive until the session is closed too.
    """

    def __init__(self, bundle: PathLike, model: str = "b1", threads: int = 0, ep: Optional[str] = None) -> None:
        ptr = _c.tq_create(path_arg(bundle), model.encode("utf-8"), int(threads), opt_arg(ep))
        if not ptr:
            raise fail()
        self._own(ptr, _c.tq_destroy)
        p = self._ptr
        self.nt: int = _c.tq_nt(p)
        self.width: int = _c.tq_width(p)
        self.height: int = _c.tq_height(p)
        self.crop: int = _c.tq_crop(p)
        self.drive_frames: int = _c.tq_drive_frames(p)
        self.model = model

    @property
    def frame_shape(self) -> tuple:
        """(height, width, 3)."""
        return (self.height, self.width, 3)

    @property
    def crop_shape(self) -> tuple:
        """(3, crop, crop)."""
        return (3, self.crop, self.crop)

    def _crop_copy(self, ptr: "C._Pointer") -> np.ndarray:
        # The library reuses its crop buffer on the next render: copy it out.
        if not ptr:
            raise fail()
        n = 3 * self.crop * self.crop
        return np.ctypeslib.as_array(ptr, shape=(n,)).reshape(self.crop_shape).copy()

    @serialised
    def frame(self, i: int, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Driver-video frame i (0..nt-1) as uint8 (height, width, 3)."""
        ptr = _c.tq_target_frame(self._ptr, int(i))
        if not ptr:
            raise fail()
        dst = out_array(out, self.frame_shape, np.uint8, "frame")
        C.memmove(dst.ctypes.data, ptr, dst.nbytes)  # the library's buffer is reused by the next pull
        return dst

    @serialised
    def render(self, si: int, kp_src: ArrayLike, kp_drv: ArrayLike) -> np.ndarray:
        """Renders the face crop of identity frame si driven from the source
        keypoints to the driving keypoints; float32 (3, crop, crop)."""
        ctx = self._ptr
        src, drv = _kp(kp_src, "kp_src"), _kp(kp_drv, "kp_drv")
        return self._crop_copy(_c.tq_render_kp_crop(ctx, int(si), _ptr(src, C.c_float), _ptr(drv, C.c_float)))

    @serialised
    def render_drive(self, f: int) -> np.ndarray:
        """Renders row f (0..drive_frames-1) of the bundle's idle loop."""
        return self._crop_copy(_c.tq_render_drive_crop(self._ptr, int(f)))

    @serialised
    def paste(self, si: int, crop: ArrayLike, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Driver frame si with crop pasted over it through frame si's
        transform; uint8 (height, width, 3), written directly into out."""
        ctx = self._ptr
        c = c_array(crop, np.float32, "crop", 3 * self.crop * self.crop)
        dst = out_array(out, self.frame_shape, np.uint8, "paste")
        if _c.tq_paste_crop(ctx, int(si), _ptr(c, C.c_float), _ptr(dst, C.c_uint8), dst.nbytes) != 1:
            raise fail()
        return dst

    @serialised
    def paste_last(self, si: int, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Driver frame si with the most recent render pasted over it."""
        ptr = _c.tq_paste_last(self._ptr, int(si))
        if not ptr:
            raise fail()
        dst = out_array(out, self.frame_shape, np.uint8, "paste_last")
        C.memmove(dst.ctypes.data, ptr, dst.nbytes)  # the context's frame buffer is reused
        return dst

    @serialised
    def render_rgba(self, si: int, kp_src: ArrayLike, kp_drv: ArrayLike,
                    out: Optional[np.ndarray] = None) -> np.ndarray:
        """render() then paste in one call; uint8 (height, width, 4) RGBA
        with alpha 255, written directly into out."""
        ctx = self._ptr
        src, drv = _kp(kp_src, "kp_src"), _kp(kp_drv, "kp_drv")
        dst = out_array(out, (self.height, self.width, 4), np.uint8, "render_rgba")
        if _c.tq_render_kp_rgba(ctx, int(si), _ptr(src, C.c_float), _ptr(drv, C.c_float),
                                _ptr(dst, C.c_uint8), dst.nbytes) != 1:
            raise fail()
        return dst

    @serialised
    def render_drive_rgba(self, f: int, out: Optional[np.ndarray] = None) -> np.ndarray:
        """render_drive() then paste; uint8 (height, width, 4) RGBA."""
        dst = out_array(out, (self.height, self.width, 4), np.uint8, "render_drive_rgba")
        if _c.tq_render_drive_rgba(self._ptr, int(f), _ptr(dst, C.c_uint8), dst.nbytes) != 1:
            raise fail()
        return dst

    def __repr__(self) -> str:
        if self.closed:
            return "<Avatar closed>"
        return "<Avatar nt=%d %dx%d crop=%d model=%r>" % (self.nt, self.width, self.height, self.crop, self.model)


class Prior(Handle):
    """A bundle's warp prior played on its own.

    Prior(bundle, ahead=2, history=0): look-ahead frames (below 1: 2) and
    frames of history kept (below 0: 0). ``row(i)`` is frame i as float16
    (3, crop, crop); ``backend`` names the decoder.
    """

    def __init__(self, bundle: PathLike, ahead: int = 2, history: int = 0) -> None:
        ptr = _c.tq_prior_open(path_arg(bundle), int(ahead), int(history))
        if not ptr:
            raise fail()
        self._own(ptr, _c.tq_prior_close)
        self.row_bytes: int = _c.tq_prior_row_bytes(self._ptr)
        self.crop: int = math.isqrt(self.row_bytes // 6)
        self.backend: str = text(_c.tq_prior_backend(self._ptr))

    @serialised
    def row(self, i: int, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Prior frame i, float16 (3, crop, crop), written directly into out."""
        dst = out_array(out, (3, self.crop, self.crop), np.float16, "row")
        if _c.tq_prior_row(self._ptr, int(i), _ptr(dst, C.c_uint8), dst.nbytes) != 1:
            raise fail()
        return dst
