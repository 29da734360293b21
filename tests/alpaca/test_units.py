"""The pieces without a server: JSON image text, subframe regions, library
errors as Alpaca errors."""
import json

import numpy as np
import pytest

import orx
from orxalpaca import errors
from orxalpaca.errors import AlpacaError
from orxalpaca.exposure import camera_region
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


@pytest.mark.parametrize("start, num, size, expected", [
    # (start x, y), (num x, y), binned sensor -> (x, y, width, height, crop x, crop y)
    ((0, 0), (1280, 960), (1280, 960), (0, 0, 1280, 960, 0, 0)),
    ((3, 5), (203, 101), (1280, 960), (3, 5, 208, 102, 0, 0)),
    ((1275, 957), (5, 3), (1280, 960), (1272, 956, 8, 4, 3, 1)),   # against the far corner: shifted back
    ((0, 0), (2082, 1392), (2082, 1392), None),                    # 2082 cannot be read (steps of 8)
    ((0, 0), (2080, 1392), (2082, 1392), (0, 0, 2080, 1392, 0, 0)),
    ((1, 0), (1280, 960), (1280, 960), None),
    ((0, 0), (0, 10), (1280, 960), None),
])
def test_camera_region(start, num, size, expected):
    if expected is None:
        with pytest.raises(AlpacaError) as caught:
            camera_region(*start, *num, *size)
        assert caught.value.number == errors.INVALID_VALUE
        return
    r = camera_region(*start, *num, *size)
    assert (r.x, r.y, r.width, r.height, r.crop_x, r.crop_y) == expected
    assert r.x + r.crop_x == start[0] and r.y + r.crop_y == start[1]
    assert r.width % 8 == 0 and r.height % 2 == 0 and r.x + r.width <= size[0] and r.y + r.height <= size[1]


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


def test_preview_png_is_small_and_well_formed():
    png = preview_png(np.zeros((4176, 6248), np.uint16))
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    width, height = np.frombuffer(png[16:24], ">u4")
    assert max(width, height) <= 800 and width > height
