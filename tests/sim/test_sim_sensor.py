"""The sensor physics as the camera layer feeds it: the cooler's temperature sets
the dark current, and every camera and frame draws its own noise. (The renderer's
own properties are measured in test_sensor*.cpp.)"""
import numpy as np
import pytest

from simhelp import (COOLED, COOLER_ON, EXPOSURE, GAIN, GUIDE, RAW16, SUCCESS, TARGET_TEMP, open_init, run_sim,
                     snapshot, temp)

DOUBLING_C = 6.0  # the cooled camera's dark current doubles every 6 degrees


def raw16(data, w, h):
    return np.frombuffer(data, dtype="<u2").reshape(h, w).astype(np.float64)


def setup(lib, cam, w, h, x=0, y=0):
    open_init(lib, cam)
    assert lib.ORXSetROIFormat(cam, w, h, 1, RAW16) == SUCCESS
    assert lib.ORXSetStartPos(cam, x, y) == SUCCESS
    assert lib.ORXSetControlValue(cam, GAIN, 0, 0) == SUCCESS


def dark_signal(lib, seconds):
    """Mean of a dark frame above a bias frame, without hot pixels and hits."""
    lib.ORXSimSetTimeScale(1e-4)
    levels = []
    for exposure_us in (32, int(seconds * 1e6)):
        assert lib.ORXSetControlValue(COOLED, EXPOSURE, exposure_us, 0) == SUCCESS
        v = raw16(snapshot(lib, COOLED, dark=True), 512, 512)
        levels.append(np.mean(np.sort(v, axis=None)[: int(v.size * 0.999)]))
    return levels[1] - levels[0]


def test_cooling_cuts_the_dark_current_by_its_temperature_law(lib):
    # the left edge, away from the glow at the right
    setup(lib, COOLED, 512, 512, 0, 1800)
    warm_c = temp(lib, COOLED)
    warm = dark_signal(lib, 1800)
    assert lib.ORXSetControlValue(COOLED, TARGET_TEMP, -15, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, COOLER_ON, 1, 0) == SUCCESS
    run_sim(lib, 3600)                                   # an hour to settle
    cold_c = temp(lib, COOLED)
    assert cold_c < warm_c - 20
    cold = dark_signal(lib, 1800)
    want = 2 ** ((warm_c - cold_c) / DOUBLING_C)
    assert warm / cold == pytest.approx(want, rel=0.1)


def residual_noise(data, w, h):
    """A bias frame without its row and column pattern and its hot pixels."""
    v = raw16(data, w, h)
    v = v - v.mean(axis=1, keepdims=True) - v.mean(axis=0, keepdims=True) + v.mean()
    mid = np.median(v)
    limit = 6 * np.median(np.abs(v - mid))
    return np.clip(v, mid - limit, mid + limit).ravel()


def test_cameras_and_frames_draw_their_own_noise(lib):
    # a second camera of the guide camera's model: same sensor figures
    other = lib.ORXSimAddCamera(b'{"model": "guide"}')
    assert other > 0
    frames = {}
    for cam in (GUIDE, other):
        setup(lib, cam, 1280, 960)
        assert lib.ORXSetControlValue(cam, EXPOSURE, 32, 0) == SUCCESS
        frames[cam] = [residual_noise(snapshot(lib, cam, dark=True), 1280, 960) for _ in range(2)]
    limit = 5 / np.sqrt(1280 * 960)
    pairs = {"next frame": (frames[GUIDE][0], frames[GUIDE][1]),
             "other camera, same frame number": (frames[GUIDE][0], frames[other][0])}
    for what, (a, b) in pairs.items():
        assert abs(np.corrcoef(a, b)[0, 1]) < limit, what
