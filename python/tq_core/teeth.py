"""The teeth members beside a bundle: which are present, and loaded."""

from __future__ import annotations

import ctypes as C
from typing import Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from ._handle import Handle, view, c_array
from ._lib import Error, bind, path_arg, text
from .avatar import PathLike

__all__ = ["TeethCarriage", "TeethMembers", "slot_keys", "GEOMETRY_FIELDS"]

_p = C.c_void_p
_s = C.c_char_p
_ERR_CAP = 4096

_c = bind({
    "tq_tessera_slot_count": (C.c_int, []),
    "tq_tessera_slot_key": (_s, [C.c_int]),
    "tq_tessera_carriage_open": (_p, [_s]),
    "tq_tessera_carriage_close": (None, [_p]),
    "tq_tessera_carriage_complete": (C.c_int, [_p]),
    "tq_tessera_carriage_declared": (C.c_int, [_p]),
    "tq_tessera_carriage_path": (_s, [_p, _s]),
    "tq_tessera_carriage_missing_count": (C.c_int, [_p]),
    "tq_tessera_carriage_missing": (_s, [_p, C.c_int]),
    "tq_tessera_members_open": (_p, [_s, _s, C.c_int]),
    "tq_tessera_members_close": (None, [_p]),
    "tq_tessera_members_n_donors": (C.c_int, [_p]),
    "tq_tessera_members_cent": (_p, [_p]),
    "tq_tessera_members_c_canon": (_p, [_p]),
    "tq_tessera_members_aperture": (_p, [_p]),
    "tq_tessera_members_stamp": (_p, [_p]),
    "tq_tessera_members_head_pt": (_p, [_p]),
    "tq_tessera_members_head_pt_len": (C.c_uint32, [_p]),
    "tq_tessera_members_head_json": (_s, [_p]),
    "tq_tessera_members_manifest_json": (_s, [_p]),
    "tq_tessera_members_bank_track_path": (_s, [_p]),
    "tq_tessera_members_bank_container": (_s, [_p]),
    "tq_tessera_members_bank_codec": (_s, [_p]),
    "tq_tessera_members_bank_pix_fmt": (_s, [_p]),
    "tq_tessera_members_bank_packing": (_s, [_p]),
    "tq_tessera_members_band_w": (C.c_int, [_p]),
    "tq_tessera_members_band_h": (C.c_int, [_p]),
    "tq_tessera_members_band_bytes": (C.c_uint64, [_p]),
    "tq_tessera_members_reorder": (C.c_int, [_p, _p, _p, _s, C.c_int]),
    "tq_tessera_members_read_bank": (C.c_int, [_p, _p, _s, C.c_int]),
})

#: The twelve values of TeethMembers.geometry, in order.
GEOMETRY_FIELDS = ("canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad",
                   "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin")


def slot_keys() -> Tuple[str, ...]:
    """The four member slots in order: bank_track, bank_sidecar,
    head_weights, head_config."""
    return tuple(text(_c.tq_tessera_slot_key(i)) for i in range(_c.tq_tessera_slot_count()))


class TeethCarriage(Handle):
    """Which teeth members a bundle carries.

    TeethCarriage(bundle): never fails for an unreadable bundle (all four
    slots are then missing). ``complete`` is True when all four are present
    (the teeth borrow is armed), ``declared`` when the manifest declares
    them, ``missing`` lists the absent slot keys, ``paths`` maps each slot to
    its resolved path ("" when unresolved).
    """

    def __init__(self, bundle: PathLike) -> None:
        ptr = _c.tq_tessera_carriage_open(path_arg(bundle))
        if not ptr:
            raise Error("tq_tessera_carriage_open: out of memory")
        self._own(ptr, _c.tq_tessera_carriage_close)
        p = self._ptr
        self.complete: bool = _c.tq_tessera_carriage_complete(p) == 1
        self.declared: bool = _c.tq_tessera_carriage_declared(p) == 1
        self.missing: List[str] = [text(_c.tq_tessera_carriage_missing(p, i))
                                   for i in range(_c.tq_tessera_carriage_missing_count(p))]
        self.paths: Dict[str, str] = {k: self.path(k) for k in slot_keys()}

    def path(self, slot: str) -> str:
        """Resolved path of a slot ("" for an unknown key)."""
        return text(_c.tq_tessera_carriage_path(self._ptr, slot.encode("utf-8")))


class TeethMembers(Handle):
    """The four teeth members loaded and cross-checked.

    TeethMembers(bundle) raises Error with the library's reason when a
    member is missing or the members disagree. The arrays (``cent``,
    ``c_canon``, ``aperture``, ``geometry``, ``head_pt``) are read-only
    views of the library's memory, without copies; they stay valid while
    referenced, even after close().
    """

    def __init__(self, bundle: PathLike) -> None:
        err = C.create_string_buffer(_ERR_CAP)
        ptr = _c.tq_tessera_members_open(path_arg(bundle), err, _ERR_CAP)
        if not ptr:
            raise Error(err.value.decode("utf-8", "replace"))
        self._own(ptr, _c.tq_tessera_members_close)
        p, res = self._ptr, self._resource
        n = self.n_donors = int(_c.tq_tessera_members_n_donors(p))
        self.cent: np.ndarray = view(res, _c.tq_tessera_members_cent(p), (n, 2), np.float64)
        self.c_canon: np.ndarray = view(res, _c.tq_tessera_members_c_canon(p), (2,), np.float64)
        self.aperture: np.ndarray = view(res, _c.tq_tessera_members_aperture(p), (n,), np.float64)
        self.geometry: np.ndarray = view(res, _c.tq_tessera_members_stamp(p), (12,), np.int32)
        self.head_pt: np.ndarray = view(res, _c.tq_tessera_members_head_pt(p),
                                        (int(_c.tq_tessera_members_head_pt_len(p)),), np.uint8)
        self.head_json: str = text(_c.tq_tessera_members_head_json(p))
        self.manifest_json: str = text(_c.tq_tessera_members_manifest_json(p))
        self.bank_track_path: str = text(_c.tq_tessera_members_bank_track_path(p))
        self.bank_container: str = text(_c.tq_tessera_members_bank_container(p))
        self.bank_codec: str = text(_c.tq_tessera_members_bank_codec(p))
        self.bank_pix_fmt: str = text(_c.tq_tessera_members_bank_pix_fmt(p))
        self.bank_packing: str = text(_c.tq_tessera_members_bank_packing(p))
        self.band_w: int = int(_c.tq_tessera_members_band_w(p))
        self.band_h: int = int(_c.tq_tessera_members_band_h(p))
        self.band_bytes: int = int(_c.tq_tessera_members_band_bytes(p))

    @property
    def band_shape(self) -> Tuple[int, int, int, int]:
        """(n_donors, band_h, band_w, 3)."""
        return (self.n_donors, self.band_h, self.band_w, 3)

    def reorder(self, track: ArrayLike, out: Optional[np.ndarray] = None) -> np.ndarray:
        """The bank track's patches (track order, uint8 band_shape) copied
        into donor order, written directly into out."""
        members = self._ptr
        t = c_array(track, np.uint8, "track", self.band_bytes)
        if out is None:
            out = np.empty(self.band_shape, np.uint8)
        elif out.nbytes != self.band_bytes or out.dtype != np.uint8 or not out.flags.c_contiguous:
            raise ValueError("reorder: out must be a C-contiguous uint8 array of %d bytes" % self.band_bytes)
        err = C.create_string_buffer(_ERR_CAP)
        if _c.tq_tessera_members_reorder(members, t.ctypes.data, out.ctypes.data, err, _ERR_CAP) != 0:
            raise Error(err.value.decode("utf-8", "replace"))
        return out

    def read_bank(self, out: Optional[np.ndarray] = None) -> np.ndarray:
        """The bank track decoded by the library (uint8 band_shape, donor
        order), written directly into out."""
        if out is None:
            out = np.empty(self.band_shape, np.uint8)
        elif out.nbytes != self.band_bytes or out.dtype != np.uint8 or not out.flags.c_contiguous:
            raise ValueError("read_bank: out must be a C-contiguous uint8 array of %d bytes" % self.band_bytes)
        err = C.create_string_buffer(_ERR_CAP)
        if _c.tq_tessera_members_read_bank(self._ptr, out.ctypes.data, err, _ERR_CAP) != 0:
            raise Error(err.value.decode("utf-8", "replace"))
        return out
