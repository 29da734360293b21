"""The sensor physics as the camera layer feeds it: the sensor's temperature sets
the dark current. (The renderer's own properties are measured in
test_sensor*.cpp.)"""
import numpy as np
import pytest

from simhelp import EXPOSURE, GAIN, PLANETARY, RAW16, SUCCESS, open_init, run_sim, snapshot, temp

DOUBLING_C = 5.8  # the planetary camera's dark current doubles every 5.8 degrees


def raw16(data, w, h):
    return np.frombuffer(data, dtype="<u2").reshape(h, w).astype(np.float64)


def setup(lib, cam, w, h, x=0, y=0):
    open_init(lib, cam)
    assert lib.ORXSetROIFormat(cam, w, h, 1, RAW16) == SUCCESS
    assert lib.ORXSetStartPos(cam, x, y) == SUCCESS
    assert lib.ORXSetControlValue(cam, GAIN, 0, 0) == SUCCESS


def dark_signal(lib, cam, seconds, w, h):
    """Mean of a dark frame above a bias frame, without hot pixels and hits."""
    lib.ORXSimSetTimeScale(1e-4)
    levels = []
    for exposure_us in (32, int(seconds * 1e6)):
        assert lib.ORXSetControlValue(cam, EXPOSURE, exposure_us, 0) == SUCCESS
        v = raw16(snapshot(lib, cam, dark=True), w, h)
        levels.append(np.mean(np.sort(v, axis=None)[: int(v.size * 0.999)]))
    return levels[1] - levels[0]


def test_the_dark_current_follows_the_sensor_temperature(lib):
    # an uncooled camera follows the ambient temperature; the left edge, far
    # from the glow at the right
    setup(lib, PLANETARY, 256, 512, 0, 284)
    signal, sensor_c = {}, {}
    for ambient in (30.0, 0.0):
        assert lib.ORXSimSetAmbient(ambient) == 0
        run_sim(lib, 6000)                               # settled: 50 time constants
        sensor_c[ambient] = temp(lib, PLANETARY)
        signal[ambient] = dark_signal(lib, PLANETARY, 1800, 256, 512)
    assert sensor_c[30.0] - sensor_c[0.0] == pytest.approx(30.0, abs=1.0)
    want = 2 ** ((sensor_c[30.0] - sensor_c[0.0]) / DOUBLING_C)
    assert signal[30.0] / signal[0.0] == pytest.approx(want, rel=0.1)
