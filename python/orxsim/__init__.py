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

What there is:

- cameras: :func:`models`, :func:`cameras`, :func:`add_camera`,
  :func:`remove_camera`, :func:`unplug`, :func:`replug`;
- time: :func:`set_time_scale`, :func:`time_scale`, :func:`sim_time`;
- the run's seed (every run its own night unless given): :func:`set_seed`, :func:`seed`;
- the air around the cameras: :func:`set_ambient`, :func:`ambient`;
- the night sky all cameras see (on by default), the mount and the air:
  :func:`set_scene`, :func:`scene`, each camera's optics: :func:`set_optics`,
  :func:`optics`, and the truth about a frame: :func:`wcs`, :func:`frame_sky`,
  :func:`sky_stars`;
- the still star field shown with the night sky off: :func:`set_sky`, :func:`sky`;
- scripted answers: :func:`inject`, :func:`injected`, :func:`clear_injections`,
  :func:`int32s`;
- the call log: :func:`log`, :func:`clear_log`, :func:`call_count`;
- everything back to the start: :func:`reset`.

The functions act on the library that ``orx`` itself loaded (see
:func:`camera_library`), so what they change is what orx sees. When that
library is not the simulator (a vendor's, chosen with the environment
variable ``ORX_CAMERA_LIBRARY``), they raise ``RuntimeError``.
"""
from __future__ import annotations

import contextlib
import ctypes
import enum
import json
import os
import struct
from typing import Any, Iterator, Mapping, NamedTuple, Optional, Sequence, TypedDict, Union

from ._loaded import camera_library, simulator_or_none
from ._scene import SIGNATURES as _SCENE_SIGNATURES
from ._scene import MAX_SKY_STARS, frame_sky, optics, scene, seed, set_optics, set_scene, set_seed, sky_stars, wcs

__all__ = [
    "ALWAYS",
    "Call",
    "CameraDescription",
    "Description",
    "Model",
    "Sky",
    "Status",
    "camera_library",
    "library",
    "reset",
    "inject",
    "injected",
    "int32s",
    "clear_injections",
    "log",
    "clear_log",
    "call_count",
    "set_time_scale",
    "time_scale",
    "MIN_TIME_SCALE",
    "MAX_TIME_SCALE",
    "sim_time",
    "set_ambient",
    "ambient",
    "MIN_AMBIENT",
    "MAX_AMBIENT",
    "models",
    "cameras",
    "add_camera",
    "remove_camera",
    "unplug",
    "replug",
    "set_sky",
    "sky",
    "time_call",
    "set_scene",
    "scene",
    "set_optics",
    "optics",
    "wcs",
    "frame_sky",
    "sky_stars",
    "MAX_SKY_STARS",
    "set_seed",
    "seed",
]


class Status(enum.IntEnum):
    """Status codes the library returns (0 is success); ``orx`` raises the
    exception class of the same code (``CAMERA_REMOVED`` -> ``orx.ORXCameraRemoved``)."""

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


ALWAYS = -1
"""``count`` for :func:`inject`: every call until :func:`clear_injections`."""


class Call(NamedTuple):
    """One logged library call: its name and its arguments.

    Integers are ``int``; pointers the library received (out-parameters,
    buffers) are the string ``"*"``, a NULL pointer ``None``; byte data handed
    in (a file path, an id record) is ``bytes``.
    """

    name: str
    args: tuple[Any, ...]


class Model(NamedTuple):
    """A built-in camera model: the name the camera reports, the short names
    :func:`add_camera` accepts for it, and what it is like."""

    name: str
    aliases: tuple[str, ...]
    summary: str


_MODELS = (
    Model(
        "ORX Sim C6200MC Pro",
        ("c6200mc", "cooled", "color", "colour"),
        "cooled colour camera, 6248x4176 3.76 um pixels, 14-bit, bins 1-4, RAW8/RGB24/RAW16/Y8, "
        "USB 3, cooler, trigger modes, GPS",
    ),
    Model(
        "ORX Sim G120MM Mini",
        ("g120mm", "guide", "mono"),
        "mono guide camera, 1280x960 3.75 um pixels, 12-bit, bins 1-2, RAW8/RAW16, USB 2, ST4 guide port",
    ),
    Model(
        "ORX Sim P290MC",
        ("p290mc", "planetary"),
        "uncooled colour planetary camera, 1920x1080 2.9 um pixels, 12-bit, bins 1-2, RAW8/RGB24/RAW16/Y8, "
        "USB 3, ST4 guide port",
    ),
)


class CameraDescription(TypedDict, total=False):
    """The keys of a camera description for :func:`add_camera`; all optional.

    Keys left out keep the value of ``model`` (the guide camera when no model
    is named).
    """

    model: str  # a built-in model's name or alias (see models())
    name: str  # 1 to 63 characters
    width: int  # sensor width in pixels, 8..16384, a multiple of 8
    height: int  # sensor height in pixels, 2..16384, even
    pixel_size: float  # micrometres
    color: bool  # Bayer mosaic in front of the sensor
    bayer: int  # orx.BayerPattern value of the top-left 2x2 cell
    bins: Sequence[int]  # binning factors, starting with 1
    formats: Sequence[int]  # orx.ImgType values, IMG_RAW8 among them
    bit_depth: int  # ADC bits, 8..16
    elec_per_adu: float  # electrons per ADU at gain 0
    cooler: bool
    st4: bool  # guide port
    usb3: bool
    trigger: bool  # soft and hardware trigger modes
    gps: bool
    shutter: bool  # mechanical shutter


Description = Union[CameraDescription, Mapping[str, Any], str, "os.PathLike[str]"]
"""What :func:`add_camera` takes: a mapping, a JSON text, or a JSON file's path."""


class Sky(NamedTuple):
    """The simulated sky every camera looks at."""

    star_density: float = 40.0
    """Stars per megapixel."""
    seeing: float = 2.5
    """Full width at half maximum of a star, in pixels."""
    sky: float = 4.0
    """Sky background, electrons per pixel per second."""
    seed: int = 20261207
    """Seed of the star field: the same seed gives the same stars."""


_lib: Optional[ctypes.CDLL] = None
_sky = Sky()

_i32 = ctypes.c_int32
_SIGNATURES = {
    "ORXSimReset": (None, []),
    "ORXSimInject": (ctypes.c_int, [ctypes.c_char_p, _i32, _i32, ctypes.c_void_p, _i32]),
    "ORXSimClearInjections": (None, []),
    "ORXSimLogCount": (_i32, []),
    "ORXSimLogEntry": (_i32, [_i32, ctypes.c_char_p, _i32]),
    "ORXSimLogClear": (None, []),
    "ORXSimCallCount": (ctypes.c_int64, [ctypes.c_char_p]),
    "ORXSimSetTimeScale": (_i32, [ctypes.c_double]),
    "ORXSimGetTimeScale": (ctypes.c_double, []),
    "ORXSimGetTime": (ctypes.c_double, []),
    "ORXSimSetAmbient": (_i32, [ctypes.c_double]),
    "ORXSimGetAmbient": (ctypes.c_double, []),
    "ORXSimListCameras": (_i32, [ctypes.POINTER(_i32), _i32]),
    "ORXSimAddCamera": (_i32, [ctypes.c_char_p]),
    "ORXSimCheckCamera": (_i32, [ctypes.c_char_p, ctypes.c_char_p, _i32]),
    "ORXSimRemoveCamera": (_i32, [_i32]),
    "ORXSimUnplug": (_i32, [_i32]),
    "ORXSimReplug": (_i32, [_i32]),
    "ORXSimSetSky": (_i32, [ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_uint32]),
    "ORXSimTimeCall": (ctypes.c_double, [ctypes.c_char_p, _i32, ctypes.c_int64]),
    **_SCENE_SIGNATURES,
}


_I32_MIN, _I32_MAX = -(2**31), 2**31 - 1


def _ranged(value: Any, name: str, lo: int = _I32_MIN, hi: int = _I32_MAX) -> int:
    """``int(value)`` when it lies in lo..hi, else ``OverflowError`` naming the argument
    (the library takes fixed-width integers; nothing may wrap around)."""
    v = int(value)
    if not lo <= v <= hi:
        raise OverflowError(f"{name} must be in {lo}..{hi}, not {v}")
    return v


def library() -> ctypes.CDLL:
    """The simulator library as a ``ctypes.CDLL`` (loaded on first use).

    Raises ``RuntimeError`` when the camera library orx uses is not the
    simulator (a vendor build has no control interface).
    """
    global _lib
    if _lib is None:
        path = camera_library()
        lib = simulator_or_none(path)
        if lib is None:
            raise RuntimeError(
                f"the camera library orx uses ({path}) is not the simulator: it has no control interface"
            )
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _lib = lib
    return _lib


def reset() -> None:
    """Back to the built-in cameras, all closed; empty log, no injections.

    Added cameras are gone and unplugged ones are back. The time scale returns
    to ``ORXSIM_TIME_SCALE`` (or 1.0), the run's seed to ``ORXSIM_SEED`` (or
    the run's own, drawn at start; see :func:`set_seed`); the night sky (on),
    the optics, the still star field and the ambient temperature to their
    defaults.
    Identifiers written with ``orx.set_id`` are kept, as in flash.
    """
    global _sky
    library().ORXSimReset()
    _sky = Sky()


# ------------------------------------------------------------ injections --


def inject(function: str, status: int = 0, count: int = 1, out: bytes = b"") -> None:
    """Script the library's answer to the next ``count`` calls of ``function``.

    ``function`` is the library's name for it (``"ORXOpenCamera"``, not
    ``"open_camera"``). Those calls skip the library's normal work, write
    ``out`` into their out-parameters in parameter order (int32 slots 4
    bytes each, records their full size; see :func:`int32s`; frame buffers
    are left alone) and return ``status``. ``count=ALWAYS`` scripts every
    call until :func:`clear_injections` or :func:`reset`; injections for one
    function queue up, the oldest answers first. For
    ``ORXGetNumOfConnectedCameras`` and ``ORXCameraCheck`` ``status`` is the
    value returned; for ``ORXGetSDKVersion`` ``out`` is the string returned.

    Raises ``ValueError`` for a name that is no function of the library or a
    ``count`` that is neither positive nor ``ALWAYS``, ``OverflowError`` for a
    ``status`` or ``count`` beyond 32 bits.
    """
    status = _ranged(status, "status")
    count = _ranged(count, "count")
    if count == 0 or count < ALWAYS:
        raise ValueError(f"count must be positive or ALWAYS, not {count}")
    data = bytes(out)
    _ranged(len(data), "len(out)", 0)
    buf = ctypes.create_string_buffer(data, len(data)) if data else None
    rc = library().ORXSimInject(function.encode(), status, count, buf, len(data))
    if rc != 0:
        raise ValueError(f"{function!r} is not a function of the camera library")


@contextlib.contextmanager
def injected(function: str, status: int = 0, count: int = ALWAYS, out: bytes = b"") -> Iterator[None]:
    """:func:`inject` for the length of a ``with`` block (every call by default)::

        with orxsim.injected("ORXGetVideoData", orxsim.Status.TIMEOUT):
            ...  # every frame fetch times out

    On leaving the block every injection not yet used is dropped (those made
    before it included).
    """
    inject(function, status, count, out)
    try:
        yield
    finally:
        clear_injections()


def int32s(*values: int) -> bytes:
    """The ``out`` bytes of :func:`inject` for int32 out-parameters, in order.

    ``orxsim.inject("ORXGetControlValue", 0, out=orxsim.int32s(150, 1))`` makes
    the next ``orx.get_control_value`` answer ``(150, True)``.
    """
    return struct.pack(f"<{len(values)}i", *values)


def clear_injections() -> None:
    """Drop every scripted answer not yet used."""
    library().ORXSimClearInjections()


# -------------------------------------------------------------- call log --


def _parse_arg(text: str) -> Any:
    """One argument of a log line as a Python value (see :class:`Call`)."""
    if text == "*":
        return "*"
    if text == "NULL":
        return None
    if text.startswith("x'") and text.endswith("'"):
        return bytes.fromhex(text[2:-1])
    return int(text)


def _parse_line(line: str) -> Call:
    """A log line ``Name(arg, arg, ...)`` as a :class:`Call`."""
    name, _, rest = line.partition("(")
    rest = rest[:-1] if rest.endswith(")") else rest
    args = tuple(_parse_arg(a.strip()) for a in rest.split(",") if a.strip()) if rest else ()
    return Call(name, args)


def log(function: Optional[str] = None) -> list[Call]:
    """The library calls received since the last reset or :func:`clear_log`,
    oldest first; only those of ``function`` when it is given.

    The log keeps the newest 65536 calls (:func:`call_count` counts them all).
    """
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
        call = _parse_line(buf.value.decode("utf-8", "replace"))
        if function is None or call.name == function:
            calls.append(call)
    return calls


def clear_log() -> None:
    """Empty the call log (the counts of :func:`call_count` stay)."""
    library().ORXSimLogClear()


def call_count(function: str) -> int:
    """How often ``function`` was called since the last reset."""
    n = library().ORXSimCallCount(function.encode())
    if n < 0:
        raise ValueError(f"{function!r} is not a function of the camera library")
    return int(n)


# ------------------------------------------------------------------ time --


def set_time_scale(scale: float) -> None:
    """Wall-clock seconds per simulated second: 0.01 runs the cameras' clock
    100x faster (a 60 s exposure takes 0.6 s), 1.0 is real time.

    What the cameras time follows it: exposures, video frame rates, the drift
    of a guide pulse, the cooler. The ``wait_ms`` of a frame fetch stays
    wall-clock time. ``scale`` goes from ``MIN_TIME_SCALE`` (1e-4: 10,000x
    faster) to ``MAX_TIME_SCALE`` (1e4: 10,000x slower); anything else raises
    ``ValueError`` and leaves the scale as it was. Simulated time stops after
    146 years, which the fastest scale reaches after five days.
    """
    scale = float(scale)
    if not MIN_TIME_SCALE <= scale <= MAX_TIME_SCALE or library().ORXSimSetTimeScale(scale) != 0:
        raise ValueError(f"the time scale must be in {MIN_TIME_SCALE:g}..{MAX_TIME_SCALE:g}, not {scale!r}")


MIN_TIME_SCALE = 1e-4
MAX_TIME_SCALE = 1e4


def time_scale() -> float:
    """The current time scale (see :func:`set_time_scale`)."""
    return float(library().ORXSimGetTimeScale())


def sim_time() -> float:
    """Simulated seconds since the library was loaded: the clock exposures,
    frame rates and the cooler run on. Measure simulated durations with it
    (``wall seconds / time_scale()`` drifts whenever the process stalls)."""
    return float(library().ORXSimGetTime())


# ------------------------------------------------------------ environment --

MIN_AMBIENT, MAX_AMBIENT = -50.0, 50.0


def set_ambient(celsius: float) -> None:
    """Set the air temperature around every camera, in degrees C (-50..50;
    20 after :func:`reset`). Uncooled sensors run a few degrees above it;
    cooled ones drift toward it with the cooler off and can be held at most
    their model's drop below it. Raises ``ValueError`` outside the range."""
    celsius = float(celsius)
    if not MIN_AMBIENT <= celsius <= MAX_AMBIENT or library().ORXSimSetAmbient(celsius) != 0:
        raise ValueError(f"the ambient temperature must be in {MIN_AMBIENT:g}..{MAX_AMBIENT:g} C, not {celsius!r}")


def ambient() -> float:
    """The air temperature around the cameras, degrees C (see :func:`set_ambient`)."""
    return float(library().ORXSimGetAmbient())


# --------------------------------------------------------------- cameras --


def models() -> list[Model]:
    """The built-in camera models, in the order the simulator connects them
    after :func:`reset` (camera ids 1001, 1002, 1003)."""
    return list(_MODELS)


def cameras() -> list[int]:
    """Ids of all simulated cameras, plugged in or not (``orx`` counts only
    the plugged-in ones)."""
    lib = library()
    n = lib.ORXSimListCameras(None, 0)
    ids = (_i32 * max(n, 1))()
    n = lib.ORXSimListCameras(ids, len(ids))
    return [int(ids[i]) for i in range(min(n, len(ids)))]


_DESCRIPTION_KEYS = frozenset(CameraDescription.__annotations__)


def add_camera(description: Description) -> int:
    """Plug in a new simulated camera and return its camera id.

    ``description`` is a mapping with the keys of :class:`CameraDescription`,
    a JSON text of such an object, or the path of a JSON file holding one.
    ``model`` picks the built-in model to start from (name or alias, see
    :func:`models`; the guide camera when left out); the other keys change
    it. The new camera is connected last, so its index is the old count::

        cam = orxsim.add_camera({"model": "cooled", "name": "Wide", "width": 3008,
                                 "height": 3008, "bins": [1, 2], "gps": False})

    Raises ``ValueError`` naming an unknown key, or for a description the
    simulator refuses (bad values, an unknown model); ``OSError`` when the
    file cannot be read.
    """
    if isinstance(description, Mapping):
        text = json.dumps({k: (list(v) if isinstance(v, (tuple, range)) else v) for k, v in description.items()})
    elif isinstance(description, str) and description.lstrip()[:1] in ("{", "["):
        text = description
    else:
        with open(os.fspath(description), encoding="utf-8") as f:
            text = f.read()
    try:
        keys = json.loads(text)
    except ValueError as e:
        raise ValueError(f"the camera description is not valid JSON: {e}") from None
    if not isinstance(keys, dict):
        raise ValueError("the camera description must be a JSON object")
    unknown = sorted(set(keys) - _DESCRIPTION_KEYS)
    if unknown:
        raise ValueError(f"unknown keys in the camera description: {', '.join(unknown)}")
    lib = library()
    data = text.encode("utf-8")
    cam = lib.ORXSimAddCamera(data)
    if cam < 0:
        why = ctypes.create_string_buffer(256)
        if lib.ORXSimCheckCamera(data, why, len(why)) > 0:
            reason = why.value.decode("utf-8", "replace")
        else:
            reason = "every camera id is taken"
        raise ValueError(f"the simulator rejected the camera description ({reason}): {text}")
    return int(cam)


def _camera_op(fn: Any, camera_id: int, what: str) -> None:
    """Run a per-camera control call; ``KeyError`` when the simulator knows no such camera,
    ``OverflowError`` for an id beyond 32 bits."""
    if fn(_ranged(camera_id, "camera_id")) != 0:
        raise KeyError(f"no simulated camera {camera_id} to {what}")


def remove_camera(camera_id: int) -> None:
    """Remove a simulated camera for good: calls on its id then fail with
    ``orx.ORXInvalidID``. Raises ``KeyError`` for an unknown id."""
    _camera_op(library().ORXSimRemoveCamera, camera_id, "remove")


def unplug(camera_id: int) -> None:
    """Pull a camera's cable: it leaves the list of connected cameras (the
    indices of those after it move up), calls waiting on it return, and
    later calls on its id raise ``orx.ORXCameraRemoved``. Raises ``KeyError``
    for an unknown id."""
    _camera_op(library().ORXSimUnplug, camera_id, "unplug")


def replug(camera_id: int) -> None:
    """Plug an unplugged camera back in, under the same id; it comes back
    closed. Raises ``KeyError`` for an unknown id."""
    _camera_op(library().ORXSimReplug, camera_id, "replug")


# ------------------------------------------------------------------- sky --


def set_sky(
    star_density: Optional[float] = None,
    seeing: Optional[float] = None,
    sky: Optional[float] = None,
    seed: Optional[int] = None,
) -> Sky:
    """Change the still star field, which frames show with the night sky off
    (``set_scene(enabled=False)``); what is not given keeps its current value.

    ``star_density`` in stars per megapixel (0 for an empty sky), ``seeing``
    as the FWHM of a star in pixels, ``sky`` the background in electrons per
    pixel per second, ``seed`` (0..2**32-1) picks the star field. Frames
    exposed after the call see the new sky. Returns the sky now in effect;
    raises ``ValueError`` for values out of range (density 0..1e6, seeing
    0 < s <= 1000, background 0..1e9) and ``OverflowError`` for a seed
    outside 32 bits, leaving the sky as it was.
    """
    global _sky
    new = Sky(
        _sky.star_density if star_density is None else float(star_density),
        _sky.seeing if seeing is None else float(seeing),
        _sky.sky if sky is None else float(sky),
        _sky.seed if seed is None else _ranged(seed, "seed", 0, 2**32 - 1),
    )
    if library().ORXSimSetSky(new.star_density, new.seeing, new.sky, new.seed) != 0:
        raise ValueError(f"the simulator rejected the sky settings {new}")
    _sky = new
    return new


def sky() -> Sky:
    """The simulated sky in effect (as set through :func:`set_sky`)."""
    return _sky


# ----------------------------------------------------------- measurement --


def time_call(function: str, camera_id: int, iterations: int = 100000) -> float:
    """Mean nanoseconds of one library call, timed inside the library.

    ``function`` is ``"ORXGetControlValue"``, ``"ORXSetControlValue"`` or
    ``"ORXGetExpStatus"``; the camera must be open and initialised.
    """
    ns = library().ORXSimTimeCall(function.encode(), _ranged(camera_id, "camera_id"),
                                  _ranged(iterations, "iterations", 1, 2**63 - 1))
    if ns < 0:
        raise ValueError(f"cannot time {function!r}")
    return float(ns)
