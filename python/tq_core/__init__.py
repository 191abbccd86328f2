"""tq_core: make a filmed avatar speak, from Python.

A thin, idiomatic layer over the C interface of libtq_core (through ctypes,
no compiled extension). The library is found beside this package when both
were installed by ``cmake --install``, else at the path in $TQ_CORE_LIBRARY,
else on the dynamic loader's search path.

Objects:

  Avatar        an opened avatar bundle: single renders and pastes
  Session       the real-time session: push speech, pull frames
  A2X, Motion   the audio-to-motion engines on their own
  Prior         a bundle's warp prior
  Fca, OfflineStream   a whole clip's keypoint offsets; a whole clip rendered
  TeethCarriage, TeethMembers   the teeth members beside a bundle

Every object releases its handle with close() or at the end of a
with-block; using it afterwards raises ClosedError. Every failure of the
library raises Error, whose text is the library's own message.

Images and keypoints are numpy arrays: frames uint8 (height, width, 3),
crops float32 (3, crop, crop), keypoints float32 (21, 3).
"""

from ._lib import VERSION as __version__
from ._lib import ClosedError, Error, LibraryNotFound, library_path
from .avatar import KP_SHAPE, Avatar, Prior, kp_rows, last_error, resolve_bundle, resolve_member
from .engines import A2X, Motion, MotionFrames, preload_w2v
from .offline import Fca, FrameCallback, OfflineStream
from .session import (SAMPLE_RATE, Counts, Frame, FrameKind, Latency, NotReadyError, RenderStatus, Session,
                      SessionState, Stats, TeethStats)
from .teeth import GEOMETRY_FIELDS, TeethCarriage, TeethMembers, slot_keys


__all__ = [
    "A2X", "Avatar", "ClosedError", "Counts", "Error", "Fca", "Frame", "FrameCallback", "FrameKind",
    "GEOMETRY_FIELDS", "KP_SHAPE", "Latency", "LibraryNotFound", "Motion", "MotionFrames", "NotReadyError",
    "OfflineStream", "Prior", "RenderStatus", "SAMPLE_RATE", "Session", "SessionState", "Stats",
    "TeethCarriage", "TeethMembers", "TeethStats", "kp_rows", "last_error", "library_path", "preload_w2v",
    "resolve_bundle", "resolve_member", "slot_keys",
]
