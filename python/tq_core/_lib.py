"""Finding and loading libtq_core, the error type, and the prototype tables.

Each family of C functions is one module: it declares the prototypes it uses
with :func:`bind`, wraps its handle in a :class:`~tq_core._handle.Handle`
subclass, and is imported by ``__init__``. The library is loaded on first use,
so ``import tq_core`` and ``help()`` work without it.
"""

from __future__ import annotations

import atexit
import ctypes
import logging
import os
import threading
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

__all__ = ["Error", "LibraryNotFound", "library", "library_path", "bind"]

LIBRARY_NAMES = ("libtq_core.so.0", "libtq_core.so")
ENV_VARIABLE = "TQ_CORE_LIBRARY"


class Error(RuntimeError):
    """A call into libtq_core failed.

    ``str(e)`` (and ``e.message``) is the library's own error text, exactly as
    the C function left it (for example ``"tq_render_kp_crop: bad args"``).
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class LibraryNotFound(OSError):
    """libtq_core could not be loaded; the message lists every place tried."""


class ClosedError(ValueError):
    """An object was used after close()."""


#: The libtq_core version this package is written for; any other is refused.
VERSION = "0.1.0"

_lock = threading.Lock()
_loaded: Optional[Tuple[ctypes.CDLL, str]] = None


def _installed_candidates() -> List[str]:
    # cmake --install writes _install_location.py into the installed package,
    # holding the library directory relative to the package.
    try:
        from . import _install_location  # type: ignore[attr-defined]
    except ImportError:
        return []
    here = os.path.dirname(os.path.abspath(__file__))
    libdir = os.path.normpath(os.path.join(here, _install_location.LIBRARY_DIR))
    return [os.path.join(libdir, name) for name in LIBRARY_NAMES[:1]]


def _load() -> Tuple[ctypes.CDLL, str]:
    tried: List[str] = []
    attempts: List[Tuple[str, str]] = []
    for path in _installed_candidates():
        attempts.append((path, "installed beside the package"))
    env = os.environ.get(ENV_VARIABLE, "")
    if env:
        attempts.append((env, "$" + ENV_VARIABLE))
    else:
        tried.append("$%s (unset)" % ENV_VARIABLE)
    for name in LIBRARY_NAMES:
        attempts.append((name, "the loader's search path"))
    for path, where in attempts:
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            tried.append("%s (%s): %s" % (path, where, e))
            continue
        version = getattr(lib, "tq_version", None)
        if version is None:
            found = "older than tq_version()"
        else:
            version.restype, version.argtypes = ctypes.c_char_p, []
            found = version().decode("utf-8", "replace")
        if found != VERSION:
            raise LibraryNotFound("libtq_core at %s (%s) is version %s; this tq_core package needs %s"
                                  % (path, where, found, VERSION))
        return lib, path
    raise LibraryNotFound("libtq_core not found; tried " + "; ".join(tried))


#: The library's own lines (models loaded, fallbacks, bundle warnings) go to
#: this logger instead of standard error, from whichever thread wrote them.
logger = logging.getLogger("tq_core")
_LEVELS = {0: logging.ERROR, 1: logging.WARNING, 2: logging.INFO}
_LogFn = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


def _log_line(level: int, line: bytes, _user: object) -> None:
    logger.log(_LEVELS.get(level, logging.INFO), "%s", line.decode("utf-8", "replace"))


_log_callback = _LogFn(_log_line)


def _route_log(lib: ctypes.CDLL) -> None:
    lib.tq_set_log.restype, lib.tq_set_log.argtypes = None, [_LogFn, ctypes.c_void_p]
    lib.tq_set_log(_log_callback, None)
    # Library threads may still write while the interpreter shuts down.
    atexit.register(lambda: lib.tq_set_log(_LogFn(), None))


def library() -> ctypes.CDLL:
    """The loaded libtq_core (loaded on the first call)."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _load()
            _route_log(_loaded[0])
        return _loaded[0]


def library_path() -> str:
    """The path or name libtq_core was loaded from."""
    library()
    assert _loaded is not None
    return _loaded[1]


Prototype = Tuple[Any, Sequence[Any]]


class _Functions:
    """Attribute access to C functions with their prototypes applied once."""

    def __init__(self, prototypes: Dict[str, Prototype]) -> None:
        self._prototypes = prototypes

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name not in self._prototypes:
            raise AttributeError(name)
        restype, argtypes = self._prototypes[name]
        fn = getattr(library(), name)
        fn.restype = restype
        fn.argtypes = list(argtypes)
        setattr(self, name, fn)
        return fn


def bind(prototypes: Dict[str, Prototype]) -> Any:
    """A namespace of C functions declared as ``{name: (restype, argtypes)}``."""
    return _Functions(prototypes)


def text(raw: Optional[bytes]) -> str:
    """A C string result as str ("" for NULL)."""
    return raw.decode("utf-8", "replace") if raw else ""


def path_arg(p: Any) -> bytes:
    """A path (str, bytes or os.PathLike) as the bytes the C side expects."""
    return os.fsencode(p)


def opt_arg(s: Optional[str]) -> Optional[bytes]:
    return None if s is None else s.encode("utf-8")
