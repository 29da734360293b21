"""The simulated night: one star sky, one mount and one atmosphere shared by
every simulated camera, each camera seeing it through its own optics.

On by default and after :func:`orxsim.reset`; ``set_scene(enabled=False)``
turns it off, and frames then show the still star field of
:func:`orxsim.set_sky`.
"""

from __future__ import annotations

import ctypes
import math
from typing import Dict, List, Tuple, Union

SCENE_KEYS = (
    "enabled", "ra", "dec", "pe_amplitude", "pe_period", "polar_drift", "guide_rate",
    "seeing", "wander", "wander_time", "transparency", "clouds", "sky_brightness", "gradient", "seed",
    "latitude", "longitude",
)
OPTICS_KEYS = (
    "focal_length", "aperture", "rotation", "offset_ra", "offset_dec",
    "focus", "best_focus", "focus_step", "vignetting", "obstruction",
)

_c = ctypes
SIGNATURES = {
    "ORXSimSetScene": (_c.c_int32, [_c.c_char_p, _c.c_double]),
    "ORXSimGetScene": (_c.c_double, [_c.c_char_p]),
    "ORXSimSetOptics": (_c.c_int32, [_c.c_int32, _c.c_char_p, _c.c_double]),
    "ORXSimGetOptics": (_c.c_double, [_c.c_int32, _c.c_char_p]),
    "ORXSimGetWcs": (_c.c_int32, [_c.c_int32, _c.POINTER(_c.c_double)]),
    "ORXSimGetFrameSky": (_c.c_int32, [_c.c_int32, _c.POINTER(_c.c_double)]),
    "ORXSimSetSeed": (None, [_c.c_uint64]),
    "ORXSimGetSeed": (_c.c_uint64, [_c.POINTER(_c.c_int32)]),
    "ORXSimSkyStars": (_c.c_int32, [_c.c_double, _c.c_double, _c.c_double, _c.c_double,
                                    _c.POINTER(_c.c_double), _c.c_int32]),
}


def _lib() -> ctypes.CDLL:
    from . import library

    return library()


def _camera(camera_id: int) -> int:
    """The id as the library takes it (32 bits); ``OverflowError`` beyond, never wrapped."""
    from . import _ranged

    return _ranged(camera_id, "camera_id")


MAX_SKY_STARS = 2_000_000


def _set_all(setter, keys, values: Dict[str, Union[float, bool]], what: str) -> None:
    unknown = sorted(set(values) - set(keys))
    if unknown:
        raise TypeError(f"unknown {what} setting(s): {', '.join(unknown)}")
    for key in keys:  # in a fixed order, so "best_focus" and "focus" can come together
        if key in values:
            value = float(values[key])
            if setter(key.encode(), value) != 0:
                raise ValueError(f"the simulator rejected {what} {key}={values[key]!r}")


def set_scene(**settings: Union[float, bool]) -> Dict[str, float]:
    """Change the shared scene; settings not given keep their values.

    ``enabled`` (default on: the sky moves, stars come from the celestial
    sphere; off: the still star field of :func:`orxsim.set_sky`),
    ``ra``/``dec`` (mount pointing, degrees), ``pe_amplitude`` (arc-seconds
    of RA axis) and ``pe_period`` (s) of the periodic error, ``polar_drift``
    (arc-seconds per minute in Dec), ``guide_rate`` (fraction of sidereal),
    ``seeing`` (FWHM, arc-seconds), ``wander`` (arc-seconds rms) and
    ``wander_time`` (s), ``transparency`` and ``clouds`` (0..1),
    ``sky_brightness`` (mag per square arc-second), ``gradient`` (the
    background's rise toward the horizon, per degree), ``seed``. Raises
    ``TypeError`` for an unknown name and ``ValueError`` for a value out of
    range (settings before it in the list above are applied). Returns all
    settings now in effect.
    """
    _set_all(_lib().ORXSimSetScene, SCENE_KEYS, settings, "scene")
    return scene()


def scene() -> Dict[str, float]:
    """The scene's settings in effect."""
    lib = _lib()
    return {k: lib.ORXSimGetScene(k.encode()) for k in SCENE_KEYS}


def set_optics(camera_id: int, **settings: float) -> Dict[str, float]:
    """Change the optics in front of one camera: ``focal_length`` and
    ``aperture`` (mm), ``rotation`` (degrees), ``offset_ra``/``offset_dec``
    of its centre from the mount's axis (arc-minutes), ``focus``,
    ``best_focus`` (focuser steps), ``focus_step`` (micrometres per step),
    ``vignetting`` (the share of light lost 21.6 mm from the optical axis,
    a 36x24 mm sensor's corner; it falls off as the squared distance),
    ``obstruction`` (the secondary mirror's share of the aperture's
    diameter: 0 for a refractor; out of focus it is a dark hole).
    ``KeyError`` for an unknown camera, ``OverflowError`` for an id beyond
    32 bits."""
    lib = _lib()
    cid = _camera(camera_id)
    if math.isnan(lib.ORXSimGetOptics(cid, b"focal_length")):
        raise KeyError(f"no simulated camera {camera_id}")
    _set_all(lambda k, v: lib.ORXSimSetOptics(cid, k, v), OPTICS_KEYS, settings, "optics")
    return optics(cid)


def optics(camera_id: int) -> Dict[str, float]:
    """The optics of one camera (``KeyError`` for an unknown camera,
    ``OverflowError`` for an id beyond 32 bits)."""
    lib = _lib()
    cid = _camera(camera_id)
    values = {k: lib.ORXSimGetOptics(cid, k.encode()) for k in OPTICS_KEYS}
    if math.isnan(values["focal_length"]):
        raise KeyError(f"no simulated camera {camera_id}")
    return values


def wcs(camera_id: int) -> Dict[str, Union[str, float]]:
    """The FITS world coordinate system of the camera's newest frame (made
    with the scene on), as header keywords: CTYPE, CUNIT, CRVAL, CRPIX, CD.

    Raises ``LookupError`` when the camera has made no such frame,
    ``OverflowError`` for an id beyond 32 bits.
    """
    out = (ctypes.c_double * 8)()
    if _lib().ORXSimGetWcs(_camera(camera_id), out) != 0:
        raise LookupError(f"camera {camera_id} has no frame of the scene yet")
    v = list(out)
    return {
        "WCSAXES": 2,
        "CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN",
        "CUNIT1": "deg", "CUNIT2": "deg",
        "RADESYS": "ICRS",
        "CRVAL1": v[0], "CRVAL2": v[1],
        "CRPIX1": v[2], "CRPIX2": v[3],
        "CD1_1": v[4], "CD1_2": v[5], "CD2_1": v[6], "CD2_2": v[7],
    }


def frame_sky(camera_id: int) -> Dict[str, float]:
    """Where the camera's newest frame (made with the scene on) looked from the
    site at mid-exposure: ``utc`` (Unix seconds on the night's clock),
    ``lst`` (local sidereal time), ``hour_angle`` and ``altitude`` of its
    centre, in degrees. ``LookupError`` before any such frame."""
    out = (ctypes.c_double * 4)()
    if _lib().ORXSimGetFrameSky(_camera(camera_id), out) != 0:
        raise LookupError(f"camera {camera_id} has no frame of the scene yet")
    return dict(zip(("utc", "lst", "hour_angle", "altitude"), list(out)))


def set_seed(seed: int) -> None:
    """Make the run repeat: noise, cosmic rays, the air, clouds and the
    night's clock follow ``seed`` (0..2**64-1) from now on, as with the
    environment variable ``ORXSIM_SEED`` at start. Without a seed every run
    is a night of its own. :func:`orxsim.reset` returns to ``ORXSIM_SEED``
    (or the run's own seed when it is not set)."""
    from . import _ranged

    _lib().ORXSimSetSeed(_ranged(seed, "seed", 0, 2**64 - 1))


def seed() -> Tuple[int, bool]:
    """The run's seed and whether it was given (False: drawn at start)."""
    given = ctypes.c_int32(0)
    value = _lib().ORXSimGetSeed(ctypes.byref(given))
    return int(value), bool(given.value)


def sky_stars(ra: float, dec: float, radius: float, mag_limit: float,
              max_stars: int = MAX_SKY_STARS) -> List[Tuple[float, float, float]]:
    """Catalogue stars (ra, dec in degrees, magnitude) within ``radius``
    degrees (at most 10) of (``ra``, ``dec``), brighter than ``mag_limit``.

    Raises ``ValueError`` for a bad query, and when it holds more than
    ``max_stars`` stars (ask for a smaller circle or a brighter limit):
    the answer's time and memory follow what it returns, never the query.
    """
    lib = _lib()
    args = (float(ra), float(dec), float(radius), float(mag_limit))
    from . import _ranged

    limit = _ranged(max_stars, "max_stars", 0, 2**31 - 2)
    room = min(limit, 4096)
    while True:
        buf = (ctypes.c_double * (3 * room))()
        n = lib.ORXSimSkyStars(*args, buf, room)
        if n < 0:
            raise ValueError(f"bad sky query {args}")
        if n <= room:
            return [(buf[3 * i], buf[3 * i + 1], buf[3 * i + 2]) for i in range(n)]
        if room >= limit:
            raise ValueError(f"the sky query {args} holds more than {limit} stars: "
                             "ask for a smaller radius or a brighter magnitude limit")
        room = min(limit, room * 8)
