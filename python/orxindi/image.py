"""The FITS file of one exposure, built by the same code as the examples'
files (:mod:`orxdevice.fits`), with what the frame plan changes: the binning
and cropping done here, the Bayer phase of the delivered pixels and the
simulated sky's WCS moved to the client's frame."""
from __future__ import annotations

import datetime as dt
from typing import TYPE_CHECKING, Any, Callable, Mapping

import numpy as np

from orxdevice import bayer
from orxdevice import camera as layer
from orxdevice import files
from orxdevice import fits as orxfits

if TYPE_CHECKING:
    from astropy.io.fits import Header

    from .device import CameraDevice


def frame_wcs(wcs: Mapping[str, Any], plan: layer.FramePlan) -> dict[str, Any]:
    """The WCS of the region the camera read, moved to the client's pixels:
    the crop shifts the reference pixel, binning done here scales it."""
    out = dict(wcs)
    b = plan.software_bin
    for axis, crop in (("1", plan.crop_x), ("2", plan.crop_y)):
        if f"CRPIX{axis}" in out:
            # pixel centres: read pixel p (1-based) of the camera's region is
            # client pixel (p - crop - 0.5) / b + 0.5
            out[f"CRPIX{axis}"] = (out[f"CRPIX{axis}"] - crop - 0.5) / b + 0.5
    if b != 1:
        for key in ("CD1_1", "CD1_2", "CD2_1", "CD2_2", "CDELT1", "CDELT2"):
            if key in out:
                out[key] = out[key] * b
    return out


def header(cam: "CameraDevice", plan: layer.FramePlan, seconds: float, start: dt.datetime,
           image_type: str) -> "Header":
    """The header of the frame just read (blocking: reads the camera's settings)."""
    facts = orxfits.camera_facts(cam.camera_id)
    facts.update(orxfits.simulator_facts(cam.camera_id))
    binning = plan.roi_bin * plan.software_bin
    facts["binning"] = binning
    facts["bayer_pattern"] = (bayer.delivered(cam.info.bayer_pattern, plan.start_x, plan.start_y)
                              if plan.mosaic is not None else None)
    if facts.get("gain") is not None:
        facts["egain"] = orxfits.electrons_per_adu(cam.info.elec_per_adu, cam.info.bit_depth, facts["gain"],
                                                   plan.img_type, binning,
                                                   averaged=cam.info.is_color_camera or plan.software_bin > 1)
    if facts.get("wcs"):
        facts["wcs"] = frame_wcs(facts["wcs"], plan)
    h = orxfits.frame_header(date_obs=start, exposure_s=seconds, **facts)
    h["IMAGETYP"] = image_type
    return h


def fits_bytes(pixels: np.ndarray, hdr: "Header",
               allocate: Callable[[int], Any] = bytearray) -> Any:
    """The FITS file of the image under ``hdr``, laid out as
    :func:`orxdevice.fits.fits_bytes` lays it out (the same header, the data
    arranged by :func:`orxdevice.fits.image_data`, 16-bit values as signed
    integers offset by BZERO 32768), written straight into one writable
    buffer of the size asked of ``allocate``: a tenth of the time for a full
    frame, which a client waits for."""
    from astropy.io import fits

    data = orxfits.image_data(pixels)
    wide = data.dtype.itemsize == 2
    cards = [("SIMPLE", True, "conforms to FITS standard"), ("BITPIX", 16 if wide else 8, "array data type"),
             ("NAXIS", data.ndim, "number of array dimensions")]
    cards += [(f"NAXIS{i + 1}", n) for i, n in enumerate(reversed(data.shape))]
    out_header = fits.Header(cards)
    out_header.extend(card for card in hdr.cards if card.keyword not in out_header)
    if wide:
        out_header["BSCALE"] = 1
        out_header["BZERO"] = 32768
    text = out_header.tostring().encode("ascii")        # padded to a whole 2880-byte block
    size = len(text) + data.nbytes + (-data.nbytes) % 2880
    out = allocate(size)
    out[:len(text)] = text
    out[len(text) + data.nbytes:size] = bytes(size - len(text) - data.nbytes)     # the data's padding
    stored = np.frombuffer(out, ">u2" if wide else "u1", data.size, len(text)).reshape(data.shape)
    if wide and data.dtype == np.uint16:      # v - 32768 as a two's complement integer, in one pass
        np.bitwise_xor(data, np.uint16(0x8000), out=stored)
    else:
        stored[...] = data
        if wide:
            stored ^= 0x8000
    return out


def save_new(folder: str, stem: Callable[[], str], data: bytes) -> str:
    """Write ``data`` as ``<stem>.fits`` in ``folder`` (made if missing; the
    stem is asked for once the folder is there), whole or not at all, never
    over another file; the path written."""
    problem = files.check_folder(folder)
    if problem is not None:
        raise OSError(problem)
    (path,) = files.write_new(folder, stem(), {".fits": lambda f: f.write(data)})
    return str(path)
