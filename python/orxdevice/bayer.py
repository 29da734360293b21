"""The Bayer pattern of the pixels a frame delivers.

A colour sensor's pattern names the filters of its top-left 2x2 cell, row by
row ("RGGB": red, green / green, blue). A frame shows the part of the sensor
its region of interest covers, possibly mirrored: a region that starts on an
odd column or row, or a flipped image, starts on another colour. Headers and
network interfaces must name the pattern of the delivered pixels; this module
works it out once for all of them.

Binning keeps a mosaic at output resolution (every photosite of an output
pixel is filtered like that output pixel), so the phase follows the region's
start counted in output (binned) pixels, which is how ``orx.get_start_pos``
reports it.

Only the standard library is imported here; :func:`from_camera` imports orx
when called.
"""
from __future__ import annotations

from typing import Optional, Tuple, Union

# in the order of the orx.BayerPattern values: BAYER_RG, BAYER_BG, BAYER_GR, BAYER_GB
NAMES = ("RGGB", "BGGR", "GRBG", "GBRG")
FLIP_HORIZONTAL, FLIP_VERTICAL = 1, 2  # the bits of the camera's flip control

Pattern = Union[int, str]


def name_of(pattern: Pattern) -> str:
    """The pattern's four-letter name, from an ``orx.BayerPattern`` member, its
    value (0..3) or a name; ``ValueError`` for anything else."""
    if isinstance(pattern, str):
        if pattern.upper() not in NAMES:
            raise ValueError(f"unknown Bayer pattern {pattern!r}: one of {', '.join(NAMES)}")
        return pattern.upper()
    value = int(pattern)
    if not 0 <= value < len(NAMES):
        raise ValueError(f"unknown Bayer pattern value {value}: 0..{len(NAMES) - 1}")
    return NAMES[value]


def shifted(pattern: Pattern, dx: int, dy: int) -> str:
    """The name of the 2x2 cell that starts ``dx`` columns right and ``dy`` rows
    down of a cell of ``pattern`` (only the parities count)."""
    p = name_of(pattern)
    cell = [[p[0], p[1]], [p[2], p[3]]]
    return "".join(cell[(dy + r) % 2][(dx + c) % 2] for r in (0, 1) for c in (0, 1))


def delivered(pattern: Pattern, start_x: int = 0, start_y: int = 0, *, width: int = 0, height: int = 0,
              flip: int = 0) -> str:
    """The pattern name of a frame's top-left 2x2 cell.

    ``pattern``: the sensor's pattern (``CameraInfo.bayer_pattern``, a value or
    a name). ``start_x``, ``start_y``: the region's top-left corner in output
    (binned) pixels, as ``orx.get_start_pos`` reports it. ``width``,
    ``height``: the frame's size in pixels, needed only when ``flip`` mirrors
    it (bit 1 horizontally, bit 2 vertically, as the camera's flip control):
    the mirrored frame's first pixel is the region's last one.
    """
    flip = int(flip)
    if (flip & FLIP_HORIZONTAL and width <= 0) or (flip & FLIP_VERTICAL and height <= 0):
        raise ValueError("a flipped frame's pattern needs its width and height")
    # mirrored, the frame starts at the region's last column (row) and runs
    # backwards: its second pixel has the parity of the one past the last
    dx = start_x + (width - 1 if flip & FLIP_HORIZONTAL else 0)
    dy = start_y + (height - 1 if flip & FLIP_VERTICAL else 0)
    return shifted(pattern, dx, dy)


def offsets(pattern: Pattern) -> Tuple[int, int]:
    """(x, y) of the first red pixel in a cell of ``pattern``: where an RGGB
    cell starts, as offsets relative to RGGB (``BayerOffsetX``/``Y`` in
    interfaces that describe colour as RGGB plus offsets)."""
    p = name_of(pattern)
    i = p.index("R")
    return i % 2, i // 2


def from_camera(camera_id: int) -> Optional[str]:
    """The pattern of the frames the open camera delivers with its current
    region, image type and flip; ``None`` when they are not a mosaic (a mono
    camera, or an RGB24 or Y8 image)."""
    import orx

    info = orx.get_camera_property_by_id(camera_id)
    width, height, _bin, img_type = orx.get_roi_format(camera_id)
    if not info.is_color_camera or img_type not in (orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16):
        return None
    x, y = orx.get_start_pos(camera_id)
    try:
        flip = orx.get_control_value(camera_id, orx.ControlType.ORX_FLIP)[0]
    except orx.ORXInvalidControlType:
        flip = 0
    return delivered(info.bayer_pattern, x, y, width=width, height=height, flip=flip)
