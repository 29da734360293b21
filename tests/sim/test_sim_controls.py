"""Controls and region of interest."""
import ctypes
import time

import pytest

from simhelp import *  # noqa: F401,F403


def caps_of(lib, cam):
    n = ctypes.c_int32()
    assert lib.ORXGetNumOfControls(cam, ctypes.byref(n)) == SUCCESS
    out = {}
    for i in range(n.value):
        c = ControlCaps()
        assert lib.ORXGetControlCaps(cam, i, ctypes.byref(c)) == SUCCESS
        out[c.ControlType] = c
    assert len(out) == n.value  # each control type once
    return out


COMMON = {GAIN, EXPOSURE, GAMMA, OFFSET, BANDWIDTH, FLIP, AUTO_MAX_GAIN, AUTO_MAX_EXP, AUTO_TARGET_BRIGHTNESS,
          HIGH_SPEED_MODE, TEMPERATURE}
COLOUR = {WB_R, WB_B}
COOLER = {COOLER_POWER_PERC, TARGET_TEMP, COOLER_ON, FAN_ON, ANTI_DEW_HEATER}
GPS = {GPS_SUPPORT, GPS_START_LINE, GPS_END_LINE}
READ_ONLY = {TEMPERATURE, COOLER_POWER_PERC, GPS_SUPPORT}


@pytest.mark.parametrize("cam, types", [
    (COOLED, COMMON | COLOUR | COOLER | GPS),
    (GUIDE, COMMON),
    (PLANETARY, COMMON | COLOUR),
])
def test_control_tables(lib, cam, types):
    open_init(lib, cam)
    caps = caps_of(lib, cam)
    assert set(caps) == types
    for t, c in caps.items():
        assert c.Name and c.Description
        assert c.MinValue <= c.DefaultValue <= c.MaxValue
        assert bool(c.IsWritable) == (t not in READ_ONLY)
        st, v, a = get_ctl(lib, cam, t)
        assert st == SUCCESS and a == 0
        if t not in READ_ONLY:
            assert v == c.DefaultValue
    assert (caps[EXPOSURE].MinValue, caps[EXPOSURE].MaxValue) == (32, 2000000000)
    assert caps[GAIN].IsAutoSupported and caps[EXPOSURE].IsAutoSupported and not caps[GAMMA].IsAutoSupported
    assert (caps[FLIP].MinValue, caps[FLIP].MaxValue) == (0, 3)
    for index in (len(caps), len(caps) + 5, -1):
        assert lib.ORXGetControlCaps(cam, index, ctypes.byref(ControlCaps())) == INVALID_INDEX
    for t in set(range(29)) - types:
        assert get_ctl(lib, cam, t)[0] == INVALID_CONTROL_TYPE
        assert lib.ORXSetControlValue(cam, t, 0, 0) == INVALID_CONTROL_TYPE
    for t in (-1, 29, 31, 32, 1000):
        assert get_ctl(lib, cam, t)[0] == INVALID_CONTROL_TYPE
        assert lib.ORXSetControlValue(cam, t, 0, 0) == INVALID_CONTROL_TYPE


@pytest.mark.parametrize("ctl, value, auto, status", [
    (GAIN, 0, 0, SUCCESS), (GAIN, 570, 1, SUCCESS), (GAIN, 571, 0, GENERAL), (GAIN, -1, 0, GENERAL),
    (EXPOSURE, 32, 0, SUCCESS), (EXPOSURE, 31, 0, GENERAL), (EXPOSURE, 2000000000, 1, SUCCESS),
    (EXPOSURE, 2147483647, 0, GENERAL), (GAMMA, 50, 1, GENERAL), (FLIP, 3, 0, SUCCESS), (FLIP, 4, 0, GENERAL),
    (WB_R, 99, 1, SUCCESS), (WB_B, 0, 0, GENERAL), (BANDWIDTH, 40, 0, SUCCESS), (BANDWIDTH, 39, 0, GENERAL),
    (TEMPERATURE, 200, 0, GENERAL), (COOLER_POWER_PERC, 0, 0, GENERAL), (GPS_SUPPORT, 1, 0, GENERAL),
    (TARGET_TEMP, -40, 0, SUCCESS), (TARGET_TEMP, -41, 0, GENERAL), (COOLER_ON, 2, 0, GENERAL),
    (GPS_START_LINE, 4175, 0, SUCCESS), (GPS_START_LINE, 4176, 0, GPS_PARAM_OUT_OF_RANGE),
    (GPS_END_LINE, -1, 0, GPS_PARAM_OUT_OF_RANGE),
])
def test_set_control(lib, ctl, value, auto, status):
    open_init(lib, COOLED)
    before = get_ctl(lib, COOLED, ctl)
    assert lib.ORXSetControlValue(COOLED, ctl, value, auto) == status
    if status == SUCCESS:
        assert get_ctl(lib, COOLED, ctl) == (SUCCESS, value, auto)
    elif ctl not in (TEMPERATURE, COOLER_POWER_PERC):
        assert get_ctl(lib, COOLED, ctl) == before


# ---- region of interest -----------------------------------------------------------
def test_roi_defaults(lib):
    for cam, w, h in ((COOLED, 6248, 4176), (GUIDE, 1280, 960), (PLANETARY, 1920, 1080)):
        open_init(lib, cam)
        assert roi(lib, cam) == (w, h, 1, RAW8)
        assert start_pos(lib, cam) == (0, 0)


@pytest.mark.parametrize("w, h, b, t, status", [
    (640, 480, 1, RAW8, SUCCESS), (640, 480, 2, RAW16, SUCCESS), (1280, 960, 1, RAW16, SUCCESS),
    (640, 480, 1, RGB24, INVALID_IMGTYPE), (640, 480, 1, Y8, INVALID_IMGTYPE), (640, 480, 1, 7, INVALID_IMGTYPE),
    (644, 480, 1, RAW8, INVALID_SIZE), (640, 481, 1, RAW8, INVALID_SIZE), (0, 480, 1, RAW8, INVALID_SIZE),
    (640, 0, 1, RAW8, INVALID_SIZE), (-8, 480, 1, RAW8, INVALID_SIZE), (1288, 960, 1, RAW8, INVALID_SIZE),
    (1280, 962, 1, RAW8, INVALID_SIZE), (648, 480, 2, RAW8, INVALID_SIZE), (640, 482, 2, RAW8, INVALID_SIZE),
    (64, 64, 3, RAW8, INVALID_SIZE), (64, 64, 4, RAW8, INVALID_SIZE), (64, 64, 0, RAW8, INVALID_SIZE),
    (8, 2, 1, RAW8, SUCCESS),
])
def test_set_roi_guide(lib, w, h, b, t, status):
    open_init(lib, GUIDE)
    before = roi(lib, GUIDE)
    assert lib.ORXSetROIFormat(GUIDE, w, h, b, t) == status
    assert roi(lib, GUIDE) == ((w, h, b, t) if status == SUCCESS else before)


def test_roi_recentres_and_start_position(lib):
    open_init(lib, PLANETARY)
    assert lib.ORXSetROIFormat(PLANETARY, 640, 480, 1, RGB24) == SUCCESS
    assert start_pos(lib, PLANETARY) == ((1920 - 640) // 2, (1080 - 480) // 2)
    assert lib.ORXSetROIFormat(PLANETARY, 320, 240, 2, Y8) == SUCCESS
    assert start_pos(lib, PLANETARY) == ((960 - 320) // 2, (540 - 240) // 2)
    # start positions are in binned pixels and keep the region on the sensor
    for x, y, status in ((0, 0, SUCCESS), (640, 300, SUCCESS), (641, 0, OUTOF_BOUNDARY),
                         (0, 301, OUTOF_BOUNDARY), (-1, 0, OUTOF_BOUNDARY), (0, -2, OUTOF_BOUNDARY),
                         (2**31 - 1, 0, OUTOF_BOUNDARY), (10, 20, SUCCESS)):
        assert lib.ORXSetStartPos(PLANETARY, x, y) == status, (x, y)
    assert start_pos(lib, PLANETARY) == (10, 20)


def test_big_sensor_bins(lib):
    open_init(lib, COOLED)
    assert lib.ORXSetROIFormat(COOLED, 6248 // 4 // 8 * 8, 4176 // 4, 4, RAW16) == SUCCESS
    assert lib.ORXSetROIFormat(COOLED, 3128, 2088, 2, RAW8) == INVALID_SIZE  # 3128*2 > 6248
    assert lib.ORXSetROIFormat(COOLED, 2080, 1392, 3, RGB24) == SUCCESS
    assert lib.ORXSetROIFormat(COOLED, 8, 2, 5, RAW8) == INVALID_SIZE


def test_format_changes_while_busy(fast):
    lib = fast
    open_init(lib, GUIDE)
    assert lib.ORXSetControlValue(GUIDE, EXPOSURE, 2000000000, 0) == SUCCESS  # ~33 simulated minutes
    assert lib.ORXStartExposure(GUIDE, 0) == SUCCESS
    assert lib.ORXSetROIFormat(GUIDE, 640, 480, 1, RAW8) == EXPOSURE_IN_PROGRESS
    assert lib.ORXSetCameraMode(GUIDE, MODE_NORMAL) == EXPOSURE_IN_PROGRESS
    assert lib.ORXSetStartPos(GUIDE, 0, 0) == SUCCESS  # position may move
    assert lib.ORXStopExposure(GUIDE) == SUCCESS
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    assert lib.ORXSetROIFormat(GUIDE, 640, 480, 1, RAW8) == VIDEO_MODE_ACTIVE
    assert lib.ORXSetCameraMode(GUIDE, MODE_NORMAL) == VIDEO_MODE_ACTIVE
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS
    assert lib.ORXSetROIFormat(GUIDE, 640, 480, 1, RAW8) == SUCCESS


# ---- cooler --------------------------------------------------------------------------
def test_uncooled_temperature(fast):
    open_init(fast, GUIDE)
    t = temp(fast, GUIDE)
    assert 15 < t < 40
    assert fast.ORXSetControlValue(GUIDE, COOLER_ON, 1, 0) == INVALID_CONTROL_TYPE
