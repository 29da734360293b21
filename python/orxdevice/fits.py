"""FITS frames from an orx camera: the header processing software looks for,
and files that are whole or absent.

Building a frame's file takes three steps::

    from orxdevice import fits as orxfits

    facts = orxfits.camera_facts(cam)                 # while the camera is open, after the exposure
    facts.update(orxfits.simulator_facts(cam))        # optics, pointing and WCS of the simulated sky
    header = orxfits.frame_header(date_obs=start, exposure_s=2.0, **facts, object_name="M42")
    paths = orxfits.write_new(folder, stem, {".fits": orxfits.fits_writer(image, header)})

Every keyword argument of :func:`frame_header` may be ``None`` (or left out):
what is not known is not written. :func:`fits_bytes` gives a whole file as
bytes (for network transfers).

:func:`write_new` and :func:`check_folder` come from :mod:`orxdevice.files`:
a final name holds a whole file or nothing, whenever the process is
interrupted or killed, and no other process can take or overwrite it.

Needs numpy and astropy.
"""
from __future__ import annotations

import datetime as dt
import io
from typing import IO, Any, Callable, Dict, Mapping, Optional

import numpy as np
from astropy.io import fits

from . import bayer
from .files import check_folder, write_new  # noqa: F401  (part of this module's interface)

Writer = Callable[[IO[bytes]], None]

# bits per pixel value of the raw formats, by orx.ImgType value
_RAW_BITS = {0: 8, 2: 16}  # IMG_RAW8, IMG_RAW16


# ---------------------------------------------------------------- header ----
def sexagesimal(value: float, hours: bool) -> str:
    """"HH MM SS.ss" of an RA in degrees (``hours``), or "+DD MM SS.s" of a Dec."""
    v = (value % 360.0) / 15.0 if hours else value
    sign = "-" if v < 0 else "+"
    places = 2 if hours else 1
    total = round(abs(v) * 3600, places)
    d, rest = divmod(total, 3600)
    m, s = divmod(rest, 60)
    if hours:
        d %= 24
    text = f"{int(d):02d} {int(m):02d} {s:0{3 + places}.{places}f}"
    return text if hours else sign + text


def frame_header(*, date_obs: dt.datetime, exposure_s: float, instrument: Optional[str] = None,
                 dark: bool = False, gain: Optional[int] = None, offset: Optional[int] = None,
                 egain: Optional[float] = None, ccd_temp: Optional[float] = None, set_temp: Optional[float] = None,
                 binning: int = 1, pixel_size_um: Optional[float] = None, bayer_pattern: Optional[str] = None,
                 focal_length_mm: Optional[float] = None, aperture_mm: Optional[float] = None,
                 ra_deg: Optional[float] = None, dec_deg: Optional[float] = None,
                 object_name: Optional[str] = None, telescope: Optional[str] = None,
                 wcs: Optional[Mapping[str, Any]] = None) -> fits.Header:
    """The header of one frame; what is ``None`` is left out.

    ``date_obs``: UTC start of the exposure (an aware datetime or a naive one
    in UTC). ``bayer_pattern``: the pattern of the delivered pixels
    (:func:`orxdevice.bayer.delivered`), for raw frames of a colour camera.
    ``ra_deg``/``dec_deg``: where the telescope points (OBJCTRA/OBJCTDEC).
    ``wcs``: world coordinate keywords (``orxsim.wcs``) copied as they are.
    """
    if date_obs.tzinfo is not None:
        date_obs = date_obs.astimezone(dt.timezone.utc).replace(tzinfo=None)
    h = fits.Header()
    cards = [
        ("INSTRUME", instrument, "camera"),
        ("TELESCOP", telescope, "telescope"),
        ("OBJECT", object_name, "target"),
        ("DATE-OBS", date_obs.strftime("%Y-%m-%dT%H:%M:%S.%f"), "UTC start of exposure"),
        ("EXPTIME", float(exposure_s), "exposure time [s]"),
        ("EXPOSURE", float(exposure_s), "exposure time [s]"),
        ("IMAGETYP", "Dark Frame" if dark else "Light Frame", "frame type"),
        ("GAIN", gain, "camera gain setting"),
        ("OFFSET", offset, "camera offset setting"),
        ("EGAIN", None if egain is None else round(float(egain), 6), "electrons per ADU of the pixel values"),
        ("CCD-TEMP", ccd_temp, "sensor temperature [C]"),
        ("SET-TEMP", set_temp, "cooler target temperature [C]"),
        ("XBINNING", binning, "binning factor, x"),
        ("YBINNING", binning, "binning factor, y"),
        ("XPIXSZ", None if pixel_size_um is None else pixel_size_um * binning, "binned pixel width [um]"),
        ("YPIXSZ", None if pixel_size_um is None else pixel_size_um * binning, "binned pixel height [um]"),
        ("FOCALLEN", focal_length_mm, "focal length [mm]"),
        ("APTDIA", aperture_mm, "aperture diameter [mm]"),
        ("OBJCTRA", None if ra_deg is None else sexagesimal(ra_deg, True), "pointing RA [h m s]"),
        ("OBJCTDEC", None if dec_deg is None else sexagesimal(dec_deg, False), "pointing Dec [d m s]"),
        ("ROWORDER", "TOP-DOWN", "first row is the top of the image"),
    ]
    for key, value, comment in cards:
        if value is not None:
            h[key] = (value, comment)
    if bayer_pattern is not None:
        h["BAYERPAT"] = (bayer.name_of(bayer_pattern), "colour filters of the first 2x2 pixels")
        h["XBAYROFF"] = (0, "the pattern starts at the first column")
        h["YBAYROFF"] = (0, "the pattern starts at the first row")
    for key, value in (wcs or {}).items():
        h[key] = value
    return h


def electrons_per_adu(elec_per_adu: float, bit_depth: int, gain: int, img_type: int, binning: int = 1,
                      averaged: bool = False) -> Optional[float]:
    """Electrons per ADU of a raw frame's pixel values, or ``None`` for other
    image types (their values went through a curve or a demosaic).

    ``elec_per_adu`` is the camera's figure (``CameraInfo.elec_per_adu``) at
    gain 0 and the sensor's ``bit_depth``; gain is in 0.1 dB steps (a factor
    10^(gain/200)); RAW16 scales values up to 16 bits, RAW8 down to 8.
    ``averaged``: binning averages the photosites (colour cameras) rather
    than summing them, so each value stands for binning^2 times the
    electrons.
    """
    out_bits = _RAW_BITS.get(int(img_type))
    if out_bits is None or elec_per_adu <= 0:
        return None
    value = elec_per_adu / 10 ** (gain / 200) * 2.0 ** (bit_depth - out_bits)
    return value * binning ** 2 if averaged else value


def camera_facts(camera_id: int) -> Dict[str, Any]:
    """What the open camera tells about its current frame, as keyword
    arguments of :func:`frame_header`: instrument, gain, offset, egain,
    ccd_temp, set_temp (a cooled camera with its cooler on), binning,
    pixel_size_um, bayer_pattern."""
    import orx

    Ctl = orx.ControlType
    info = orx.get_camera_property_by_id(camera_id)
    _w, _h, binning, img_type = orx.get_roi_format(camera_id)

    def control(ctype: Any) -> Optional[int]:
        try:
            return orx.get_control_value(camera_id, ctype)[0]
        except orx.ORXInvalidControlType:
            return None

    gain, offset, temp = control(Ctl.ORX_GAIN), control(Ctl.ORX_OFFSET), control(Ctl.ORX_TEMPERATURE)
    set_temp = None
    if info.is_cooler_cam and control(Ctl.ORX_COOLER_ON):
        set_temp = control(Ctl.ORX_TARGET_TEMP)
    return {
        "instrument": info.name,
        "gain": gain,
        "offset": offset,
        "egain": None if gain is None else electrons_per_adu(info.elec_per_adu, info.bit_depth, gain, img_type,
                                                               binning, averaged=info.is_color_camera),
        "ccd_temp": None if temp is None else temp / 10,
        "set_temp": set_temp,
        "binning": binning,
        "pixel_size_um": info.pixel_size,
        "bayer_pattern": bayer.from_camera(camera_id),
    }


def simulator_facts(camera_id: int) -> Dict[str, Any]:
    """The simulated night's part of a frame's header, as keyword arguments
    of :func:`frame_header`: focal_length_mm, aperture_mm and, when the sky
    scene is on, the mount's pointing (ra_deg, dec_deg) and the newest
    frame's wcs. Empty when the camera library is not the simulator."""
    try:
        import orxsim

        orxsim.library()
        optics = orxsim.optics(camera_id)
        scene = orxsim.scene()
    except (ImportError, OSError, RuntimeError, LookupError):
        return {}
    facts: Dict[str, Any] = {"focal_length_mm": optics["focal_length"], "aperture_mm": optics["aperture"]}
    if scene.get("enabled"):
        facts.update(ra_deg=scene["ra"] % 360, dec_deg=scene["dec"])
        try:
            facts["wcs"] = orxsim.wcs(camera_id)
        except LookupError:
            pass
    return facts


def image_data(image: np.ndarray) -> np.ndarray:
    """The array as FITS keeps it: (rows, columns), or colour (rows,
    columns, 3) as three planes (3, rows, columns). Rows stay top first, as
    the header's ROWORDER says."""
    return np.moveaxis(image, 2, 0) if image.ndim == 3 else image


def fits_writer(image: np.ndarray, header: fits.Header) -> Writer:
    """A writer for :func:`write_new`: the image (as :func:`image_data`
    arranges it) under ``header``."""
    hdu = fits.PrimaryHDU(data=image_data(image), header=header)
    return lambda f: hdu.writeto(f)


def fits_bytes(image: np.ndarray, header: fits.Header) -> bytes:
    """A whole FITS file in memory."""
    buf = io.BytesIO()
    fits_writer(image, header)(buf)
    return buf.getvalue()
