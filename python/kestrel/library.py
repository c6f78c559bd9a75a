"""The loaded libkestrel_api.so.1: where it is, its version, what it can export."""
import ctypes

from . import _lib
from .errors import check


def library_version():
    """The library's version as (major, minor, patch)."""
    fn = _lib.library().late("kestrelapi_get_library_version")
    if fn is None:
        raise NotImplementedError(f"{_lib.library().path} has no kestrelapi_get_library_version")
    v = [ctypes.c_uint32() for _ in range(3)]
    check(fn(*[ctypes.byref(x) for x in v]), "library version")
    return tuple(x.value for x in v)


def library_path():
    """Path of the loaded libkestrel_api.so.1 (KESTREL_LIB, the build tree, installed)."""
    return _lib.library().path


def has_export(fmt="vcd"):
    """Whether the library can write captures in this format (vcd, sr, csv)."""
    return _lib.library().late(f"kestrelapi_export_{fmt}") is not None
