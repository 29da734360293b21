"""Which camera library the process has loaded.

``orx`` loads its ``ORXCamera2`` library when it is imported: the file named by
the environment variable ``ORX_CAMERA_LIBRARY``, else the one installed with
it. The answer here comes from the dynamic loader: the loaded objects that
define the camera interface's functions themselves.
"""
from __future__ import annotations

import ctypes
import os
import sys
from typing import Optional

# A function every camera library defines.
_PROBE = b"ORXGetNumOfConnectedCameras"


class _PhdrInfo(ctypes.Structure):
    # the leading fields of struct dl_phdr_info
    _fields_ = [("addr", ctypes.c_void_p), ("name", ctypes.c_char_p)]


class _DlInfo(ctypes.Structure):
    _fields_ = [
        ("fname", ctypes.c_char_p),
        ("fbase", ctypes.c_void_p),
        ("sname", ctypes.c_char_p),
        ("saddr", ctypes.c_void_p),
    ]


_PhdrCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_PhdrInfo), ctypes.c_size_t, ctypes.c_void_p)


def _loader() -> ctypes.CDLL:
    loader = ctypes.CDLL(None)
    loader.dlopen.restype = ctypes.c_void_p
    loader.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
    loader.dlsym.restype = ctypes.c_void_p
    loader.dlsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    loader.dlclose.argtypes = [ctypes.c_void_p]
    loader.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    loader.dl_iterate_phdr.argtypes = [_PhdrCallback, ctypes.c_void_p]
    return loader


def _defining_objects() -> list[str]:
    """Files of the loaded objects that define the camera interface."""
    loader = _loader()
    names: list[bytes] = []

    def collect(info, _size, _data):  # type: ignore[no-untyped-def]
        if info.contents.name:
            names.append(info.contents.name)
        return 0

    loader.dl_iterate_phdr(_PhdrCallback(collect), None)
    found: list[str] = []
    for name in names:
        handle = loader.dlopen(name, os.RTLD_LAZY | os.RTLD_NOLOAD)
        if not handle:
            continue
        try:
            address = loader.dlsym(handle, _PROBE)
            where = _DlInfo()
            # the object that defines it, not one that merely depends on it
            if address and loader.dladdr(address, ctypes.byref(where)) and where.fname == name:
                found.append(os.fsdecode(name))
        finally:
            loader.dlclose(handle)
    return found


def _chosen() -> str:
    """The file orx's start-up chooses, from the environment and orx's place."""
    import orx

    named = os.environ.get("ORX_CAMERA_LIBRARY")
    if named:
        return named
    folder = os.path.join(os.path.dirname(os.path.abspath(orx.__file__)), "orx-camera")
    entries = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    return os.path.join(folder, entries[0]) if entries else folder


def camera_library() -> str:
    """The path of the ``ORXCamera2`` library that ``orx`` uses in this process.

    Imports ``orx`` (which loads the library) and asks the dynamic loader
    which loaded file defines the camera functions. Raises ``RuntimeError``
    when none does.
    """
    import orx  # noqa: F401  (loads the library)

    if not sys.platform.startswith("linux"):
        return _chosen()
    found = _defining_objects()
    if len(found) == 1:
        return found[0]
    if found:
        # another camera library was loaded besides orx's (through ctypes,
        # say): orx's is the one its start-up chose
        chosen = os.path.realpath(_chosen())
        for path in found:
            if os.path.realpath(path) == chosen:
                return path
        raise RuntimeError("several camera libraries are loaded and none is orx's choice: " + ", ".join(found))
    raise RuntimeError("no loaded library defines the ORXCamera2 functions")


def simulator_or_none(path: str) -> Optional[ctypes.CDLL]:
    """The library at ``path`` as a ``ctypes.CDLL`` if it is the simulator."""
    lib = ctypes.CDLL(path)
    return lib if hasattr(lib, "ORXSimReset") else None
