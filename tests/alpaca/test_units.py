"""The pieces without a server: JSON image text, library errors as Alpaca
errors, parameter parsing."""
import json
import struct
import zlib

import numpy as np
import pytest

import orx
from orxalpaca import errors
from orxalpaca.errors import AlpacaError
from orxalpaca.imaging import json_array, preview_png


@pytest.mark.parametrize("shape, dtype", [
    ((1, 1), np.uint8), ((3, 5), np.uint16), ((4, 2, 3), np.uint8), ((2, 3, 3), np.uint16), ((7,), np.uint16),
])
def test_json_array_parses_to_the_same_values(shape, dtype):
    rng = np.random.default_rng(1)
    a = rng.integers(0, np.iinfo(dtype).max + 1, size=shape, dtype=dtype)
    a.flat[0] = np.iinfo(dtype).max            # the widest value
    assert json.loads(json_array(a)) == a.tolist()
    # a view in another memory order gives the same text as a copy
    assert json_array(a.T) == json_array(np.ascontiguousarray(a.T))


@pytest.mark.parametrize("exc, number", [
    (orx.ORXCameraRemoved, errors.NOT_CONNECTED),
    (orx.ORXInvalidSize, errors.INVALID_VALUE),
    (orx.ORXExposureInProgress, errors.INVALID_OPERATION),
    (orx.ORXTimeout, errors.DRIVER_BASE + 5),
    (orx.ORXBufferTooSmall, errors.DRIVER_BASE + 19),
    (orx.ORXGPSDataInvalid, errors.DRIVER_BASE + 28),
])
def test_library_errors(exc, number):
    err = errors.from_library(exc(), "doing it")
    assert err.number == number
    assert err.message.startswith("doing it failed: ") and exc.__name__ in err.message


def _decode_png(png):
    """(pixels, channels) of the previews' PNG (8 bits, one IDAT, no filters)."""
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    width, height = struct.unpack(">II", png[16:24])
    channels = {0: 1, 2: 3}[png[25]]
    length = struct.unpack(">I", png[33:37])[0]
    assert png[37:41] == b"IDAT"
    raw = np.frombuffer(zlib.decompress(png[41:41 + length]), np.uint8).reshape(height, -1)
    assert (raw[:, 0] == 0).all()
    return raw[:, 1:].reshape(height, width, channels)


@pytest.mark.parametrize("offset", [(0, 0), (1, 0), (0, 1), (1, 1)])
def test_preview_of_a_mosaic_is_debayered_and_stretched_from_the_sky(offset):
    rng = np.random.default_rng(3)
    h, w = 1200, 1800
    level = np.zeros((2, 2))
    rx, ry = offset
    level[ry, rx], level[1 - ry, 1 - rx], level[ry, 1 - rx], level[1 - ry, rx] = 3000, 1000, 2000, 2000
    sky = np.tile(level, (h // 2, w // 2)) + rng.normal(0, 30, (h, w))
    sky[600:620, 900:920] += 20000                    # a star (all colours)
    sky[100:110, 100:110] += np.tile([[20000, 0], [0, 0]], (5, 5)) if offset == (0, 0) else 0
    mosaic = np.clip(sky, 0, 65535).astype(np.uint16)
    pixels = _decode_png(preview_png(mosaic, offset))
    assert pixels.shape == (600 // 2, 900 // 2, 3)     # half size per cell, reduced to at most 800
    median = np.median(pixels, axis=(0, 1))
    assert (median < 40).all()                          # the sky, whatever its colour, goes dark
    assert (pixels[150, 225] > 200).all()               # the star stands out in every channel
    if offset == (0, 0):                                # red light lands in the red channel only
        spot = pixels[25:28, 25:28].reshape(-1, 3).mean(axis=0)
        assert spot[0] > 200 and max(spot[1], spot[2]) < spot[0] / 2


def test_preview_of_a_mono_frame():
    pixels = _decode_png(preview_png(np.full((4176, 6248), 500, np.uint16)))
    assert pixels.shape == (4176 // 8, 6248 // 8, 1)    # flat: all black, no division by zero
    assert (pixels == 0).all()
