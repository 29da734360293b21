"""Control of the simulated cameras behind ``orx``.

``orx`` talks to cameras through the ``ORXCamera2`` library. The library that
ships with orx is a simulator; besides the camera interface it exports a
control interface, wrapped here, to configure the simulated cameras, script
the library's answers and read the log of the calls it received::

    import orx, orxsim

    orxsim.set_time_scale(0.01)          # simulated time runs 100x faster
    cam = orxsim.add_camera({"model": "guide", "width": 640, "height": 480})
    orxsim.inject("ORXOpenCamera", orxsim.Status.CAMERA_REMOVED)
    orx.open_camera(cam)                 # raises orx.ORXCameraRemoved
    print(orxsim.log()[-1])              # Call(name='ORXOpenCamera', args=(cam,))

The functions act on the library that ``orx`` itself loaded (the same file,
beside the module), so what they change is what orx sees.
"""
from __future__ import annotations

import ctypes
import enum
import json
import os
import sys
from typing import Any, Mapping, NamedTuple, Optional, Union

__all__ = [
    "Call",
    "Status",
    "library",
    "reset",
    "inject",
    "clear_injections",
    "log",
    "clear_log",
    "call_count",
    "set_time_scale",
    "time_scale",
    "cameras",
    "add_camera",
    "remove_camera",
    "unplug",
    "replug",
    "set_sky",
    "time_call",
]


class Status(enum.IntEnum):
    """Status codes the library returns (0 is success)."""

    SUCCESS = 0
    INVALID_INDEX = 1
    INVALID_ID = 2
    CAMERA_CLOSED = 3
    CAMERA_REMOVED = 4
    TIMEOUT = 5
    GENERAL = 6
    INVALID_CONTROL_TYPE = 9
    INVALID_PATH = 12
    INVALID_FILEFORMAT = 13
    INVALID_SIZE = 14
    INVALID_IMGTYPE = 15
    OUTOF_BOUNDARY = 16
    INVALID_SEQUENCE = 18
    BUFFER_TOO_SMALL = 19
    VIDEO_MODE_ACTIVE = 20
    EXPOSURE_IN_PROGRESS = 21
    INVALID_MODE = 23
    GPS_NOT_SUPPORTED = 24
    GPS_VER_ERR = 25
    GPS_FPGA_ERR = 26
    GPS_PARAM_OUT_OF_RANGE = 27
    GPS_DATA_INVALID = 28
    ERROR_END = 29


class Call(NamedTuple):
    """One logged library call: its name and its arguments.

    Integers are ``int``; pointers the library received (out-parameters,
    buffers) are the string ``"*"``, a NULL pointer ``None``; byte data handed
    in (a file path, an id record) is ``bytes``.
    """

    name: str
    args: tuple


def _library_path() -> str:
    override = os.environ.get("ORXSIM_LIBRARY")
    if override:
        return override
    import orx

    folder = os.path.dirname(os.path.abspath(orx.__file__))
    name = {"win32": "ORXCamera2.dll", "darwin": "libORXCamera2.dylib"}.get(sys.platform, "libORXCamera2.so")
    return os.path.join(folder, name)


_lib: Optional[ctypes.CDLL] = None

_i32 = ctypes.c_int32
_SIGNATURES = {
    "ORXSimReset": (None, []),
    "ORXSimInject": (ctypes.c_int, [ctypes.c_char_p, _i32, _i32, ctypes.c_void_p, _i32]),
    "ORXSimClearInjections": (None, []),
    "ORXSimLogCount": (_i32, []),
    "ORXSimLogEntry": (_i32, [_i32, ctypes.c_char_p, _i32]),
    "ORXSimLogClear": (None, []),
    "ORXSimCallCount": (ctypes.c_int64, [ctypes.c_char_p]),
    "ORXSimSetTimeScale": (None, [ctypes.c_double]),
    "ORXSimGetTimeScale": (ctypes.c_double, []),
    "ORXSimListCameras": (_i32, [ctypes.POINTER(_i32), _i32]),
    "ORXSimAddCamera": (_i32, [ctypes.c_char_p]),
    "ORXSimRemoveCamera": (_i32, [_i32]),
    "ORXSimUnplug": (_i32, [_i32]),
    "ORXSimReplug": (_i32, [_i32]),
    "ORXSimSetSky": (_i32, [ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_uint32]),
    "ORXSimTimeCall": (ctypes.c_double, [ctypes.c_char_p, _i32, ctypes.c_int64]),
}


def library() -> ctypes.CDLL:
    """The simulator library as a ``ctypes.CDLL`` (loaded on first use).

    Raises ``RuntimeError`` when the camera library orx uses is not the
    simulator (a vendor build has no control interface).
    """
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(_library_path())
        if not hasattr(lib, "ORXSimReset"):
            raise RuntimeError("the ORXCamera2 library in use is not the simulator")
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _lib = lib
    return _lib


def reset() -> None:
    """Back to the built-in cameras, all closed; empty log, no injections.

    The time scale returns to ``ORXSIM_TIME_SCALE`` (or 1.0), the sky to its
    default. Identifiers written with ``orx.set_id`` are kept, as in flash.
    """
    library().ORXSimReset()


def inject(function: str, status: int = 0, count: int = 1, out: bytes = b"") -> None:
    """Script the library's answer to the next ``count`` calls of ``function``.

    Those calls skip the library's normal work, write ``out`` into their
    out-parameters in parameter order (int32 slots 4 bytes each, records
    their full size; frame buffers are left alone) and return ``status``.
    ``count=-1`` scripts every call until :func:`clear_injections`. For
    ``ORXGetNumOfConnectedCameras`` and ``ORXCameraCheck`` ``status`` is the
    value returned; for ``ORXGetSDKVersion`` ``out`` is the string returned.
    """
    data = bytes(out)
    buf = ctypes.create_string_buffer(data, len(data)) if data else None
    rc = library().ORXSimInject(function.encode(), int(status), int(count), buf, len(data))
    if rc != 0:
        raise ValueError(f"{function!r} is not a function of the camera library")


def clear_injections() -> None:
    """Drop every scripted answer not yet used."""
    library().ORXSimClearInjections()


def _parse_arg(text: str) -> Any:
    if text == "*":
        return "*"
    if text == "NULL":
        return None
    if text.startswith("x'") and text.endswith("'"):
        return bytes.fromhex(text[2:-1])
    return int(text)


def _parse_line(line: str) -> Call:
    name, _, rest = line.partition("(")
    rest = rest[:-1] if rest.endswith(")") else rest
    args = tuple(_parse_arg(a.strip()) for a in rest.split(",") if a.strip()) if rest else ()
    return Call(name, args)


def log() -> list[Call]:
    """The library calls received since the last reset or :func:`clear_log`, oldest first."""
    lib = library()
    calls = []
    buf = ctypes.create_string_buffer(1024)
    for i in range(lib.ORXSimLogCount()):
        n = lib.ORXSimLogEntry(i, buf, len(buf))
        if n >= len(buf):
            buf = ctypes.create_string_buffer(n + 1)
            n = lib.ORXSimLogEntry(i, buf, len(buf))
        if n < 0:
            break
        calls.append(_parse_line(buf.value.decode("utf-8", "replace")))
    return calls


def clear_log() -> None:
    """Empty the call log."""
    library().ORXSimLogClear()


def call_count(function: str) -> int:
    """How often ``function`` was called since the last reset."""
    n = library().ORXSimCallCount(function.encode())
    if n < 0:
        raise ValueError(f"{function!r} is not a function of the camera library")
    return int(n)


def set_time_scale(scale: float) -> None:
    """Wall-clock seconds per simulated second: 0.01 runs the camera's clock 100x faster."""
    if not scale > 0:
        raise ValueError("the time scale must be positive")
    library().ORXSimSetTimeScale(float(scale))


def time_scale() -> float:
    """The current time scale."""
    return float(library().ORXSimGetTimeScale())


def cameras() -> list[int]:
    """Ids of all simulated cameras, plugged in or not."""
    lib = library()
    n = lib.ORXSimListCameras(None, 0)
    ids = (_i32 * max(n, 1))()
    n = lib.ORXSimListCameras(ids, len(ids))
    return [int(ids[i]) for i in range(min(n, len(ids)))]


Description = Union[Mapping[str, Any], str, "os.PathLike[str]"]


def add_camera(description: Description) -> int:
    """Plug in a new simulated camera and return its camera id.

    ``description`` is a dict, a JSON text, or the path of a JSON file, with
    the keys ``model`` (a built-in model to start from), ``name``, ``width``,
    ``height``, ``pixel_size``, ``color``, ``bayer``, ``bins``, ``formats``,
    ``bit_depth``, ``elec_per_adu``, ``cooler``, ``st4``, ``usb3``,
    ``trigger``, ``gps`` and ``shutter``.
    """
    if isinstance(description, Mapping):
        text = json.dumps(dict(description))
    else:
        text = os.fspath(description)
        if not text.lstrip().startswith("{"):
            with open(text, encoding="utf-8") as f:
                text = f.read()
    cam = library().ORXSimAddCamera(text.encode("utf-8"))
    if cam < 0:
        raise ValueError("the simulator rejected the camera description")
    return int(cam)


def _camera_op(fn, camera_id: int, what: str) -> None:
    if fn(int(camera_id)) != 0:
        raise KeyError(f"no simulated camera {camera_id} to {what}")


def remove_camera(camera_id: int) -> None:
    """Remove a simulated camera for good."""
    _camera_op(library().ORXSimRemoveCamera, camera_id, "remove")


def unplug(camera_id: int) -> None:
    """Unplug a camera: calls waiting on it return, later calls fail as removed."""
    _camera_op(library().ORXSimUnplug, camera_id, "unplug")


def replug(camera_id: int) -> None:
    """Plug an unplugged camera back in; it comes back closed."""
    _camera_op(library().ORXSimReplug, camera_id, "replug")


def set_sky(star_density: float = 40.0, seeing: float = 2.5, sky: float = 4.0, seed: int = 20261207) -> None:
    """The simulated sky: stars per megapixel, seeing FWHM in pixels,
    background in electrons per pixel per second, and the star field's seed."""
    if library().ORXSimSetSky(float(star_density), float(seeing), float(sky), int(seed) & 0xFFFFFFFF) != 0:
        raise ValueError("the simulator rejected the sky settings")


def time_call(function: str, camera_id: int, iterations: int = 100000) -> float:
    """Mean nanoseconds of one library call, timed inside the library.

    ``function`` is ``"ORXGetControlValue"``, ``"ORXSetControlValue"`` or
    ``"ORXGetExpStatus"``; the camera must be open and initialised.
    """
    ns = library().ORXSimTimeCall(function.encode(), int(camera_id), int(iterations))
    if ns < 0:
        raise ValueError(f"cannot time {function!r}")
    return float(ns)
