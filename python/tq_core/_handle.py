"""Ownership of C handles shared by every object of the package."""

from __future__ import annotations

import functools
import threading
from typing import Any, Callable, Optional, Sequence, TypeVar

import ctypes

import numpy as np

from ._lib import ClosedError

T = TypeVar("T", bound="Handle")


class Resource:
    """One C handle and the function that destroys it.

    The handle is destroyed when the last reference to this object goes:
    the owning Python object drops its reference on close(), and anything
    that still needs the handle (a session on a context, a numpy view over
    memory the handle owns) keeps it alive until it is gone itself.
    """

    __slots__ = ("ptr", "_destroy", "_deps", "__weakref__")

    def __init__(self, ptr: int, destroy: Callable[[int], None], deps: Sequence["Resource"] = ()) -> None:
        self.ptr = ptr
        self._destroy = destroy
        self._deps = tuple(deps)  # handles this one is built on outlive it

    def release(self) -> None:
        ptr, self.ptr = self.ptr, None
        if ptr:
            self._destroy(ptr)
        self._deps = ()

    def __del__(self) -> None:
        try:
            self.release()
        except Exception:  # interpreter shutdown: the library may be gone
            pass


class _Ptr(ctypes.c_void_p):
    """A handle argument that keeps its resource alive while a call runs, so
    that close() on another thread never frees a handle under a running call."""

    def __init__(self, res: Resource) -> None:
        super().__init__(res.ptr)
        self.res = res


F = TypeVar("F", bound=Callable[..., Any])


def serialised(method: F) -> F:
    """Runs the method under its object's lock: the C handle behind it serves one
    thread at a time, so calls from several Python threads take turns."""
    @functools.wraps(method)
    def run(self: "Handle", *args: Any, **kw: Any) -> Any:
        with self._lock:
            return method(self, *args, **kw)
    return run  # type: ignore[return-value]


class Handle:
    """Base of the objects over a C handle: close() and the with-statement."""

    _res: Optional[Resource] = None

    def _own(self, ptr: int, destroy: Callable[[int], None], deps: Sequence[Resource] = ()) -> None:
        self._res = Resource(ptr, destroy, deps)
        self._lock = threading.RLock()

    @property
    def _ptr(self) -> _Ptr:
        res = self._res
        if res is None or not res.ptr:
            raise ClosedError("%s is closed" % type(self).__name__)
        return _Ptr(res)

    @property
    def _resource(self) -> Resource:
        self._ptr  # raises when closed
        assert self._res is not None
        return self._res

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._res is None

    def close(self) -> None:
        """Releases the C handle. Calling it again does nothing; any other
        use afterwards raises ClosedError. Memory still referenced by numpy
        arrays obtained from this object, or by objects built on it, stays
        valid until those are gone."""
        res, self._res = self._res, None
        del res  # destroys the handle unless something still holds it

    def __enter__(self: T) -> T:
        self._ptr
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return "<%s %s>" % (type(self).__name__, state)


class _Keeper:
    """Base object of a numpy view over C memory: holds the owning resource."""

    __slots__ = ("resource", "__array_interface__")

    def __init__(self, resource: Resource, address: int, shape: tuple, typestr: str) -> None:
        self.resource = resource
        self.__array_interface__ = {
            "shape": shape,
            "typestr": typestr,
            "data": (address, True),  # read-only
            "version": 3,
        }


def view(resource: Resource, address: Optional[int], shape: tuple, dtype: Any) -> np.ndarray:
    """A read-only numpy array over C memory owned by resource, keeping it alive."""
    dt = np.dtype(dtype)
    if not address:
        return np.zeros(shape, dt)
    return np.asarray(_Keeper(resource, address, shape, dt.str))


def c_array(a: Any, dtype: Any, what: str, size: Optional[int] = None) -> np.ndarray:
    """a as a C-contiguous array of dtype (no copy when it already is one)."""
    arr = np.ascontiguousarray(a, dtype=dtype)
    if size is not None and arr.size != size:
        raise ValueError("%s: %d values, expected %d" % (what, arr.size, size))
    return arr


def out_array(out: Optional[np.ndarray], shape: tuple, dtype: Any, what: str) -> np.ndarray:
    """A caller's output array checked for shape, dtype and layout, or a new one."""
    if out is None:
        return np.empty(shape, dtype)
    if out.shape != shape or out.dtype != np.dtype(dtype) or not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("%s: out must be a writable C-contiguous %s array of shape %s"
                         % (what, np.dtype(dtype).name, shape))
    return out
