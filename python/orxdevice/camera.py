"""What a camera is to a network front end, whatever its protocol: the frames
a client may ask for and how they are read, and the steps of one exposure.

API (blocking calls: a front end runs them off its event loop):

``Sensor.of(camera_id)``
    the camera's fixed facts: ``width``, ``height`` (unbinned), ``bins``,
    ``color``, ``pattern`` (``orx.BayerPattern`` of the sensor's first
    photosite), ``img_types``.

``plan_frame(sensor, bin, start_x, start_y, num_x, num_y, img_type) -> FramePlan``
    the region the camera reads for a client's frame, given in binned pixels
    (``start + num <= size // bin`` on each axis; else ``SubframeError``).
    Every such frame is served: the camera reads widths in steps of 8 and
    even heights, so the plan reads the next larger region and crops it; a
    frame the camera cannot read at that binning (the full 6248-pixel width
    at bin 2 is 3124, not a multiple of 8) is read unbinned and binned here.

``FramePlan``
    ``roi_width, roi_height, roi_bin, roi_x, roi_y`` (what the camera is set
    to), ``frame_size`` (bytes to fetch), ``num_x, num_y``,
    ``pixels(frame) -> numpy array`` (``(num_y, num_x)``, or
    ``(num_y, num_x, 3)`` in R, G, B, in sensor order), ``bayer_offset``
    ((x, y) of the delivered pixels' first red photosite in the 2x2 cell, or
    None when the pixels are not a mosaic), ``software_bin``.

``start_exposure(camera_id, plan, seconds, light)``, ``exposure_status(camera_id)``,
``read_frame(camera_id, plan) -> numpy array``, ``abort_exposure(camera_id)``
    the exposure cycle: set the region, the exposure time and start; poll;
    fetch the frame and make the client's pixels of it.

Binning done here averages: mono and RGB pixels over the bin x bin block, a
raw colour frame over the block's photosites under the filter of the output
pixel (both greens for a green one), so the result is again a mosaic of the
sensor's pattern at the binned resolution, like the camera's own binning.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

import orx

from . import bayer

__all__ = ["Sensor", "FramePlan", "SubframeError", "plan_frame", "frame_to_array", "start_exposure",
           "exposure_status", "read_frame", "mosaic_offset", "abort_exposure", "WIDTH_STEP", "HEIGHT_STEP", "MICROSECONDS"]

#: the camera's region rules: width a multiple of 8 and height even (binned pixels)
WIDTH_STEP, HEIGHT_STEP = 8, 2
MICROSECONDS = 1_000_000
_MOSAIC_TYPES = (orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16)


class SubframeError(ValueError):
    """A frame that does not lie on the binned sensor (front ends answer it as
    an invalid value)."""


@dataclass(frozen=True)
class Sensor:
    camera_id: int
    width: int
    height: int
    bins: tuple[int, ...]
    color: bool
    pattern: orx.BayerPattern
    img_types: tuple[orx.ImgType, ...]

    @classmethod
    def of(cls, camera_id: int) -> "Sensor":
        info = orx.get_camera_property_by_id(camera_id)
        return cls(camera_id, info.max_width, info.max_height, tuple(info.supported_bins),
                   bool(info.is_color_camera), info.bayer_pattern, tuple(info.supported_video_formats))


def _bytes_per_pixel(img_type: orx.ImgType) -> int:
    return {orx.ImgType.IMG_RAW16: 2, orx.ImgType.IMG_RGB24: 3}.get(img_type, 1)


def frame_to_array(frame: bytes, width: int, height: int, img_type: orx.ImgType) -> np.ndarray:
    """A fetched frame as ``(height, width)`` pixels, or ``(height, width, 3)`` in R, G, B."""
    if img_type == orx.ImgType.IMG_RAW16:
        return np.frombuffer(frame, dtype="<u2").reshape(height, width)
    if img_type == orx.ImgType.IMG_RGB24:
        return np.frombuffer(frame, dtype=np.uint8).reshape(height, width, 3)[:, :, ::-1]
    return np.frombuffer(frame, dtype=np.uint8).reshape(height, width)


def _round_up(value: int, step: int) -> int:
    return -(-value // step) * step


def _fit(start: int, num: int, size: int, step: int) -> Optional[tuple[int, int, int]]:
    """(region start, region length, crop offset) covering start..start+num on
    an axis of ``size`` pixels in steps of ``step``; None if impossible."""
    length = _round_up(num, step)
    if length > size:
        return None
    at = min(start, size - length)
    return at, length, start - at


@dataclass(frozen=True)
class FramePlan:
    img_type: orx.ImgType
    roi_x: int                  # in pixels of roi_bin
    roi_y: int
    roi_width: int
    roi_height: int
    roi_bin: int
    crop_x: int                 # in pixels of roi_bin
    crop_y: int
    num_x: int                  # the client's frame, in binned pixels
    num_y: int
    start_x: int
    start_y: int
    software_bin: int           # 1: the camera binned
    mosaic: Optional[orx.BayerPattern]   # the sensor's pattern for a raw colour frame

    @property
    def frame_size(self) -> int:
        return self.roi_width * self.roi_height * _bytes_per_pixel(self.img_type)

    @property
    def bayer_offset(self) -> Optional[tuple[int, int]]:
        return None if self.mosaic is None else mosaic_offset(self.mosaic, self.start_x, self.start_y)

    def pixels(self, frame: bytes) -> np.ndarray:
        """The client's pixels of the frame the camera delivered."""
        whole = frame_to_array(frame, self.roi_width, self.roi_height, self.img_type)
        b = self.software_bin
        crop = whole[self.crop_y:self.crop_y + self.num_y * b, self.crop_x:self.crop_x + self.num_x * b]
        if b == 1:
            return crop
        return _bin(crop, b, self.num_x, self.num_y, self.start_x, self.start_y, self.mosaic)


def mosaic_offset(pattern: orx.BayerPattern, start_x: int, start_y: int) -> tuple[int, int]:
    """(x, y) of the red pixel in the first 2x2 cell of a frame starting at
    (start_x, start_y) binned pixels: binned or not, the mosaic keeps the
    sensor's pattern on the binned grid."""
    return bayer.offsets(bayer.delivered(pattern, start_x, start_y))


def _colour(x: np.ndarray, y: np.ndarray, red_x: int, red_y: int) -> np.ndarray:
    """The filter over photosite (x, y): 0 red, 1 green, 2 blue."""
    off_x, off_y = (x - red_x) % 2, (y - red_y) % 2
    return np.where(off_x == off_y, off_x * 2, 1)


def _bin(crop: np.ndarray, b: int, nx: int, ny: int, start_x: int, start_y: int,
         mosaic: Optional[orx.BayerPattern]) -> np.ndarray:
    """Block averages, rounded half up; a mosaic's by filter (see the module's note)."""
    blocks = crop.reshape((ny, b, nx, b) + crop.shape[2:])
    if mosaic is None:
        n = b * b
        total = blocks.sum(axis=(1, 3), dtype=np.uint32)
        return ((total + n // 2) // n).astype(crop.dtype)
    red_x, red_y = bayer.offsets(mosaic)
    out = np.empty((ny, nx), crop.dtype)
    d = np.arange(b)
    for py in (0, 1):                     # parity of the output pixel's global binned row
        for px in (0, 1):
            j0, i0 = (py - start_y) % 2, (px - start_x) % 2
            if j0 >= ny or i0 >= nx:
                continue
            # photosite dx of an output column X of parity px lies at X*b + dx: parity (px*b + dx) % 2
            mask = _colour(px * b + d[None, :], py * b + d[:, None], red_x, red_y) == _colour(
                np.array(px), np.array(py), red_x, red_y)
            sel = blocks[j0::2, :, i0::2, :].astype(np.uint32)
            total = (sel * mask[None, :, None, :]).sum(axis=(1, 3), dtype=np.uint32)
            n = int(mask.sum())
            out[j0::2, i0::2] = (total + n // 2) // n
    return out


def plan_frame(sensor: Sensor, bin: int, start_x: int, start_y: int, num_x: int, num_y: int,
               img_type: orx.ImgType) -> FramePlan:
    """How to read the client's frame (binned pixels); SubframeError if it is off the sensor."""
    if bin not in sensor.bins:
        raise SubframeError(f"binning {bin} is not supported (supported: {list(sensor.bins)})")
    bw, bh = sensor.width // bin, sensor.height // bin
    if min(start_x, start_y) < 0 or num_x < 1 or num_y < 1 or start_x + num_x > bw or start_y + num_y > bh:
        raise SubframeError(f"subframe StartX={start_x} StartY={start_y} NumX={num_x} NumY={num_y} "
                            f"does not fit the {bw}x{bh} sensor at binning {bin}")
    mosaic = sensor.pattern if sensor.color and img_type in _MOSAIC_TYPES else None
    for roi_bin, scale in ((bin, 1), (1, bin)):
        w, h = sensor.width // roi_bin, sensor.height // roi_bin
        fx = _fit(start_x * scale, num_x * scale, w, WIDTH_STEP)
        fy = _fit(start_y * scale, num_y * scale, h, HEIGHT_STEP)
        if fx is not None and fy is not None:
            return FramePlan(img_type, fx[0], fy[0], fx[1], fy[1], roi_bin, fx[2], fy[2],
                             num_x, num_y, start_x, start_y, scale, mosaic)
    raise SubframeError(f"the camera cannot read {num_x}x{num_y} pixels at binning {bin}: "
                        f"its unbinned width {sensor.width} is not a multiple of {WIDTH_STEP}")


# -- the exposure cycle -------------------------------------------------------

def start_exposure(camera_id: int, plan: FramePlan, seconds: float, light: bool) -> None:
    """Set the camera to the plan's region and the exposure time, and start."""
    orx.set_roi_format(camera_id, plan.roi_width, plan.roi_height, plan.roi_bin, plan.img_type)
    orx.set_start_pos(camera_id, plan.roi_x, plan.roi_y)
    orx.set_control_value(camera_id, orx.ControlType.ORX_EXPOSURE, max(1, round(seconds * MICROSECONDS)), False)
    orx.start_exposure(camera_id, not light)


def exposure_status(camera_id: int) -> orx.ExposureStatus:
    return orx.get_exp_status(camera_id)


def read_frame(camera_id: int, plan: FramePlan) -> np.ndarray:
    """Fetch the finished exposure and return the client's pixels of it."""
    return plan.pixels(orx.get_data_after_exp(camera_id, plan.frame_size))


def abort_exposure(camera_id: int) -> None:
    orx.stop_exposure(camera_id)
