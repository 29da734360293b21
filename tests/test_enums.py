"""The eight integer enumerations."""
import pickle

import pytest

import orx

MEMBERS = {
    "BayerPattern": [("BAYER_RG", 0), ("BAYER_BG", 1), ("BAYER_GR", 2), ("BAYER_GB", 3)],
    "ImgType": [("IMG_RAW8", 0), ("IMG_RGB24", 1), ("IMG_RAW16", 2), ("IMG_Y8", 3), ("IMG_END", -1)],
    "ControlType": [(n, i) for i, n in enumerate(
        "ORX_GAIN ORX_EXPOSURE ORX_GAMMA ORX_WB_R ORX_WB_B ORX_OFFSET ORX_BANDWIDTHOVERLOAD ORX_OVERCLOCK "
        "ORX_TEMPERATURE ORX_FLIP ORX_AUTO_MAX_GAIN ORX_AUTO_MAX_EXP ORX_AUTO_TARGET_BRIGHTNESS ORX_HARDWARE_BIN "
        "ORX_HIGH_SPEED_MODE ORX_COOLER_POWER_PERC ORX_TARGET_TEMP ORX_COOLER_ON ORX_MONO_BIN ORX_FAN_ON "
        "ORX_PATTERN_ADJUST ORX_ANTI_DEW_HEATER ORX_FAN_ADJUST ORX_PWRLED_BRIGNT ORX_USBHUB_RESET ORX_GPS_SUPPORT "
        "ORX_GPS_START_LINE ORX_GPS_END_LINE ORX_ROLLING_INTERVAL".split())],
    "CameraMode": [("ORX_MODE_NORMAL", 0), ("ORX_MODE_TRIG_SOFT_EDGE", 1), ("ORX_MODE_TRIG_RISE_EDGE", 2),
                   ("ORX_MODE_TRIG_FALL_EDGE", 3), ("ORX_MODE_TRIG_SOFT_LEVEL", 4),
                   ("ORX_MODE_TRIG_HIGH_LEVEL", 5), ("ORX_MODE_TRIG_LOW_LEVEL", 6), ("ORX_MODE_END", -1)],
    "GuideDirection": [("ORX_GUIDE_NORTH", 0), ("ORX_GUIDE_SOUTH", 1), ("ORX_GUIDE_EAST", 2),
                       ("ORX_GUIDE_WEST", 3)],
    "FlipStatus": [("ORX_FLIP_NONE", 0), ("ORX_FLIP_HORIZ", 1), ("ORX_FLIP_VERT", 2), ("ORX_FLIP_BOTH", 3)],
    "TrigOutput": [("ORX_TRIG_OUTPUT_PINA", 0), ("ORX_TRIG_OUTPUT_PINB", 1), ("ORX_TRIG_OUTPUT_NONE", -1)],
    "ExposureStatus": [("ORX_EXP_IDLE", 0), ("ORX_EXP_WORKING", 1), ("ORX_EXP_SUCCESS", 2), ("ORX_EXP_FAILED", 3)],
}


@pytest.mark.parametrize("name", list(MEMBERS))
def test_members_in_order(name):
    cls = getattr(orx, name)
    assert issubclass(cls, orx.IntEnum) and issubclass(cls, int)
    assert [(m.name, m.value) for m in cls] == MEMBERS[name]
    assert all(type(m.value) is int for m in cls)
    assert cls.__module__ == "quenlix.yux_orx_python_bindings.orx"
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name", list(MEMBERS))
def test_members_pickle_by_reference(name):
    for member in getattr(orx, name):
        assert pickle.loads(pickle.dumps(member)) is member


def test_markers_and_lookups():
    assert orx.ImgType(-1) is orx.ImgType.IMG_END
    assert orx.CameraMode(-1) is orx.CameraMode.ORX_MODE_END
    assert orx.TrigOutput(-1) is orx.TrigOutput.ORX_TRIG_OUTPUT_NONE
    assert orx.BayerPattern.BAYER_GB + 1 == 4
    assert orx.ControlType.ORX_ROLLING_INTERVAL == 28
    assert [m.name for m in orx.ControlType if "PWRLED" in m.name] == ["ORX_PWRLED_BRIGNT"]
    with pytest.raises(ValueError):
        orx.CameraMode(7)
