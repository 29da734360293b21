"""The pieces without a server: JSON image text, library errors as Alpaca
errors, parameter parsing."""
import json

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


def test_preview_png_is_small_and_well_formed():
    png = preview_png(np.zeros((4176, 6248), np.uint16))
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    width, height = np.frombuffer(png[16:24], ">u4")
    assert max(width, height) <= 800 and width > height
