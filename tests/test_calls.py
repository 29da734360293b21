"""The call road of the camera functions, table-driven.

The library's answers are scripted (orxsim.inject), so these tests see only
what the module does: which library function it calls with which values,
how it hands the status over and what it builds from the out-parameters.
"""
import struct
import traceback

import pytest

import orx
import orxsim

C = 1234  # a camera id; every answer below is scripted, no camera needs to exist

CAMERA_INFO = struct.pack("<64s3i2i16i8i4xd5ifii16s", b"Scripted", 77, 960, 1280, 1, 2,
                          *([1, 2, 0, 4] + [0] * 12), *([0, -1, 2] + [-1] * 5), 2.9, 1, 0, 1, 1, 0, 0.1, 12, 1,
                          b"")
CAPS = struct.pack("<64s128s6i32s", b"Gain", b"Gain of the amplifier", 600, -10, 100, 1, 2, 0, b"")
GPS_A = struct.pack("<8i64sddii64s", 2026, 12, 7, 3, 4, 5, 6, 7, b"", -33.5, 151.25, -12, 9, b"")
GPS_B = struct.pack("<8i64sddii64s", 2026, 12, 7, 3, 4, 5, 6, 999, b"", -33.5, 151.25, -12, 9, b"")


def make_id(text):
    ident = orx.Id()
    ident.id = text
    return ident


def check_info(info):
    assert type(info) is orx.CameraInfo
    assert (info.name, info.camera_id, info.max_height, info.max_width) == ("Scripted", 77, 960, 1280)


def check_gps_pair(pair):
    start, end = pair
    assert type(start) is orx.GpsData and type(end) is orx.GpsData and start is not end
    assert (start.u_second, end.u_second, start.latitude, start.altitude) == (7, 999, -33.5, -12)


def check_frame_and_gps(result, size):
    frame, gps = result
    assert type(frame) is bytes and frame == bytes(size)
    assert type(gps) is orx.GpsData and gps.year == 2026


# name, arguments, library function, its logged arguments, scripted out-parameters, check of the result
ROWS = [
    ("get_camera_property", (3,), "ORXGetCameraProperty", ("*", 3), CAMERA_INFO, check_info),
    ("get_camera_property_by_id", (C,), "ORXGetCameraPropertyByID", (C, "*"), CAMERA_INFO, check_info),
    ("open_camera", (C,), "ORXOpenCamera", (C,), b"", None),
    ("init_camera", (C,), "ORXInitCamera", (C,), b"", None),
    ("close_camera", (C,), "ORXCloseCamera", (C,), b"", None),
    ("get_id", (C,), "ORXGetID", (C, "*"), b"ABCD\0\0\0\0", lambda r: type(r) is orx.Id and r.id == "ABCD"),
    ("set_id", (C, make_id("ÄÖÜ\0\0")), "ORXSetID", (C, "ÄÖÜ\0\0".encode()), b"", None),
    ("get_serial_number", (C,), "ORXGetSerialNumber", (C, "*"), b"12345678",
     lambda r: type(r) is orx.Id and r.id == "12345678"),
    ("get_camera_support_mode", (C,), "ORXGetCameraSupportMode", (C, "*"),
     struct.pack("<16i", 0, 1, -1, 4, *([-1] * 12)), lambda r: type(r) is list and r == [0, 1, 4]),
    ("get_camera_mode", (C,), "ORXGetCameraMode", (C, "*"), struct.pack("<i", 3),
     lambda r: r is orx.CameraMode.ORX_MODE_TRIG_FALL_EDGE),
    ("set_camera_mode", (C, orx.CameraMode.ORX_MODE_TRIG_SOFT_LEVEL), "ORXSetCameraMode", (C, 4), b"", None),
    ("start_exposure", (C, "dark"), "ORXStartExposure", (C, 1), b"", None),
    ("stop_exposure", (C,), "ORXStopExposure", (C,), b"", None),
    ("get_exp_status", (C,), "ORXGetExpStatus", (C, "*"), struct.pack("<i", 2), lambda r: type(r) is int and r == 2),
    ("get_data_after_exp", (C, 16), "ORXGetDataAfterExp", (C, "*", 16), b"", lambda r: r == bytes(16)),
    ("get_data_after_exp_gps", (C, 8), "ORXGetDataAfterExpGPS", (C, "*", 8, "*"), GPS_A,
     lambda r: check_frame_and_gps(r, 8)),
    ("start_video_capture", (C,), "ORXStartVideoCapture", (C,), b"", None),
    ("stop_video_capture", (C,), "ORXStopVideoCapture", (C,), b"", None),
    ("get_video_data", (C, 10, 100), "ORXGetVideoData", (C, "*", 10, 100), b"", lambda r: r == bytes(10)),
    ("get_video_data_gps", (C, 4, 0), "ORXGetVideoDataGPS", (C, "*", 4, 0, "*"), GPS_A,
     lambda r: check_frame_and_gps(r, 4)),
    ("get_dropped_frames", (C,), "ORXGetDroppedFrames", (C, "*"), struct.pack("<i", 7), lambda r: r == 7),
    ("get_num_of_controls", (C,), "ORXGetNumOfControls", (C, "*"), struct.pack("<i", 12), lambda r: r == 12),
    ("get_control_caps", (C, 2), "ORXGetControlCaps", (C, 2, "*"), CAPS,
     lambda r: type(r) is orx.ControlCaps and (r.name, r.min_value, r.is_writable) == ("Gain", -10, True)),
    ("get_control_value", (C, orx.ControlType.ORX_GAIN), "ORXGetControlValue", (C, 0, "*", "*"),
     struct.pack("<2i", -1, 2), lambda r: r == (-1, True) and type(r[1]) is bool),
    ("set_control_value", (C, orx.ControlType.ORX_EXPOSURE, 50.9, None), "ORXSetControlValue", (C, 1, 50, 0),
     b"", None),
    ("set_roi_format", (C, 640.0, 480, 2, orx.ImgType.IMG_RAW16), "ORXSetROIFormat", (C, 640, 480, 2, 2), b"",
     None),
    ("get_roi_format", (C,), "ORXGetROIFormat", (C, "*", "*", "*", "*"), struct.pack("<4i", 640, 480, 2, 0),
     lambda r: r == (640, 480, 2, orx.ImgType.IMG_RAW8) and r[3] is orx.ImgType.IMG_RAW8),
    ("set_start_pos", (C, 8, -2), "ORXSetStartPos", (C, 8, -2), b"", None),
    ("get_start_pos", (C,), "ORXGetStartPos", (C, "*", "*"), struct.pack("<2i", -3, 4), lambda r: r == (-3, 4)),
    ("enable_dark_subtract", (C, "dark é.bmp"), "ORXEnableDarkSubtract", (C, "dark é.bmp".encode()), b"", None),
    ("disable_dark_subtract", (C,), "ORXDisableDarkSubtract", (C,), b"", None),
    ("pulse_guide_on", (C, orx.GuideDirection.ORX_GUIDE_WEST), "ORXPulseGuideOn", (C, 3), b"", None),
    ("pulse_guide_off", (C, orx.GuideDirection.ORX_GUIDE_NORTH), "ORXPulseGuideOff", (C, 0), b"", None),
    ("get_gain_offset", (C,), "ORXGetGainOffset", (C, "*", "*", "*", "*"), struct.pack("<4i", 1, 2, 3, 4),
     lambda r: r == (1, 2, 3, 4)),
    ("get_lmh_gain_offset", (C,), "ORXGetLMHGainOffset", (C, "*", "*", "*", "*"), struct.pack("<4i", 5, 6, 7, 8),
     lambda r: r == (5, 6, 7, 8)),
    ("send_soft_trigger", (C, []), "ORXSendSoftTrigger", (C, 0), b"", None),
    ("set_trigger_output_io_conf", (C, orx.TrigOutput.ORX_TRIG_OUTPUT_PINB, None, 10, -20),
     "ORXSetTriggerOutputIOConf", (C, 1, 0, 10, -20), b"", None),
    ("get_trigger_output_io_conf", (C, orx.TrigOutput.ORX_TRIG_OUTPUT_PINA), "ORXGetTriggerOutputIOConf",
     (C, 0, "*", "*", "*"), struct.pack("<3i", 5, -1, 7), lambda r: r == (True, -1, 7) and type(r[1]) is int),
    ("gps_get_data", (C,), "ORXGPSGetData", (C, "*", "*"), GPS_A + GPS_B, check_gps_pair),
]
ROW_IDS = [r[0] for r in ROWS]
BY_NAME = {r[0]: r for r in ROWS}


def calls_of(library_function):
    return [c for c in orxsim.log() if c.name == library_function]


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_arguments_reach_the_library_and_results_are_built(row):
    name, args, lib, logged, out, check = row
    orxsim.inject(lib, 0, 1, out)
    orxsim.clear_log()
    result = getattr(orx, name)(*args)
    assert calls_of(lib) == [orxsim.Call(lib, logged)]
    if check is None:
        assert result is None
    else:
        assert check(result) is not False


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_keywords_bind_like_positions(row):
    name, args, lib, logged, out, _ = row
    f = getattr(orx, name)
    params = list(f.__annotations__)[:-1]
    orxsim.inject(lib, 0, 1, out)
    orxsim.clear_log()
    f(**dict(zip(reversed(params), reversed(args))))
    assert calls_of(lib) == [orxsim.Call(lib, logged)]


@pytest.mark.parametrize("road", ["looked-up", "remembered"])
@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_a_failure_status_raises_its_exception_and_returns_nothing(row, road, monkeypatch):
    name, args, lib, _, out, _ = row
    if road == "remembered":  # a success just before: the handler is known unchanged
        orxsim.inject(lib, 0, 1, out)
        getattr(orx, name)(*args)
    else:  # the namespace changed since: the handler is looked up again
        monkeypatch.setattr(orx, "unrelated", 1, raising=False)
    orxsim.inject(lib, 19, 1, out)
    with pytest.raises(orx.ORXBufferTooSmall) as info:
        getattr(orx, name)(*args)
    entries = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    # the camera function, then the handler it handed the status to
    assert entries[-2:] == [f"quenlix.yux_orx_python_bindings.orx.{name}",
                            "quenlix.yux_orx_python_bindings.orx.handle_error_code"]


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_a_replaced_handler_gets_the_plain_status(monkeypatch, row):
    name, args, lib, _, out, _ = row
    seen = []
    monkeypatch.setattr(orx, "handle_error_code", lambda *a, **k: seen.append((a, k)))
    orxsim.inject(lib, -7, 1, out)
    getattr(orx, name)(*args)
    assert seen == [((-7,), {})] and type(seen[0][0][0]) is int


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_no_handler_means_name_error_before_the_library(monkeypatch, row):
    name, args, lib, _, _, _ = row
    monkeypatch.delattr(orx, "handle_error_code")
    before = orxsim.call_count(lib)
    with pytest.raises(NameError, match="^name 'handle_error_code' is not defined$"):
        getattr(orx, name)(*args)
    assert orxsim.call_count(lib) == before


def int_params(with_buffer_size=True):
    for name, args, lib, _, _, _ in ROWS:
        f = getattr(orx, name)
        for i, (param, annotation) in enumerate(list(f.__annotations__.items())[:-1]):
            if annotation == "int" and (with_buffer_size or param != "buffer_size"):
                yield pytest.param(name, args, lib, i, param, id=f"{name}-{param}")


# (buffer sizes are made into a buffer first: their errors are tested apart)
@pytest.mark.parametrize("name, args, lib, index, param", list(int_params(with_buffer_size=False)))
@pytest.mark.parametrize("value", [2 ** 31, -(2 ** 31) - 1, 2 ** 64, 1e10])
def test_values_beyond_32_bits_never_reach_the_library(name, args, lib, index, param, value):
    args = list(args)
    args[index] = value
    before = orxsim.call_count(lib)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        getattr(orx, name)(*args)
    assert orxsim.call_count(lib) == before


@pytest.mark.parametrize("name, args, lib, index, param", list(int_params()))
@pytest.mark.parametrize("value, tname", [("1", "str"), (None, "NoneType"), (b"1", "bytes"), ([1], "list")])
def test_integer_parameters_refuse_non_numbers(name, args, lib, index, param, value, tname):
    args = list(args)
    args[index] = value
    before = orxsim.call_count(lib)
    with pytest.raises(TypeError) as info:
        getattr(orx, name)(*args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected int, got {tname})"
    assert orxsim.call_count(lib) == before


@pytest.mark.parametrize("name, args, lib, index, param", list(int_params()))
def test_integer_parameters_accept_numbers(name, args, lib, index, param):
    args = list(args)
    args[index] = True if param != "buffer_size" else 3.99
    orxsim.inject(lib, 0, 1, BY_NAME[name][4])
    orxsim.clear_log()
    getattr(orx, name)(*args)
    (call,) = calls_of(lib)
    assert (1 if param != "buffer_size" else 3) in call.args


def test_the_32_bit_bounds_themselves_pass():
    for value in (-(2 ** 31), 2 ** 31 - 1):
        orxsim.inject("ORXSetControlValue", 0)
        orxsim.clear_log()
        orx.set_control_value(C, orx.ControlType.ORX_GAIN, value, True)
        assert calls_of("ORXSetControlValue")[0].args == (C, 0, value, 1)


ENUM_PARAMS = [
    ("set_camera_mode", 1), ("get_control_value", 1), ("set_control_value", 1), ("set_roi_format", 4),
    ("pulse_guide_on", 1), ("pulse_guide_off", 1), ("set_trigger_output_io_conf", 1),
]


@pytest.mark.parametrize("name, index", ENUM_PARAMS)
def test_enumeration_parameters_read_value(name, index):
    _, args, lib, logged, out, _ = BY_NAME[name]
    bad = list(args)
    bad[index] = 0
    before = orxsim.call_count(lib)
    with pytest.raises(AttributeError):
        getattr(orx, name)(*bad)

    class NoInt:
        value = "x"

    bad[index] = NoInt()
    with pytest.raises(TypeError, match="^an integer is required$"):
        getattr(orx, name)(*bad)

    class Big:
        value = 2 ** 31

    bad[index] = Big()
    with pytest.raises(OverflowError):
        getattr(orx, name)(*bad)
    assert orxsim.call_count(lib) == before

    class Duck:
        value = 2.7  # through its integer conversion

    bad[index] = Duck()
    orxsim.inject(lib, 0, 1, out)
    orxsim.clear_log()
    getattr(orx, name)(*bad)
    assert calls_of(lib)[0].args[index] == 2


BOOL_PARAMS = [("start_exposure", 1), ("set_control_value", 3), ("send_soft_trigger", 1),
               ("set_trigger_output_io_conf", 2)]


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("name, index", BOOL_PARAMS)
@pytest.mark.parametrize("value, sent", [(None, 0), (0, 0), ("", 0), ("x", 1), (Truthy(True), 1), (2.5, 1)])
def test_boolean_parameters_send_truth(name, index, value, sent):
    _, args, lib, _, out, _ = BY_NAME[name]
    args = list(args)
    args[index] = value
    orxsim.inject(lib, 0, 1, out)
    orxsim.clear_log()
    getattr(orx, name)(*args)
    assert calls_of(lib)[0].args[index] == sent


@pytest.mark.parametrize("name, index", BOOL_PARAMS)
def test_a_failing_truth_test_propagates_before_the_library(name, index):
    _, args, lib, _, _, _ = BY_NAME[name]
    args = list(args)
    args[index] = Truthy(ZeroDivisionError("no truth"))
    before = orxsim.call_count(lib)
    with pytest.raises(ZeroDivisionError, match="no truth"):
        getattr(orx, name)(*args)
    assert orxsim.call_count(lib) == before


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_wrong_counts_and_keywords(row):
    name, args, lib, _, _, _ = row
    f = getattr(orx, name)
    n = len(args)
    plural = "" if n == 1 else "s"
    cases = [
        ((), {}, f"{name}() takes exactly {n} positional argument{plural} (0 given)"),
        (args + (1,), {}, f"{name}() takes exactly {n} positional argument{plural} ({n + 1} given)"),
        (args, {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"),
        (args, {list(f.__annotations__)[0]: 1},
         f"{name}() got multiple values for keyword argument '{list(f.__annotations__)[0]}'"),
    ]
    if n > 1:
        cases.append((args[:1], {"bogus": 1}, f"{name}() takes exactly {n} positional argument{plural} (1 given)"))
    before = orxsim.call_count(lib)
    for a, k, message in cases:
        with pytest.raises(TypeError) as info:
            f(*a, **k)
        assert str(info.value) == message
    assert orxsim.call_count(lib) == before


@pytest.mark.parametrize("name", ["get_number_of_connected_cameras", "get_sdk_version"])
def test_functions_without_parameters_refuse_arguments(name):
    f = getattr(orx, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments \(2 given\)$"):
        f(1, 2)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no keyword arguments$"):
        f(x=1)


def test_discovery_answers_directly_without_status(monkeypatch):
    monkeypatch.delattr(orx, "handle_error_code")  # never consulted
    orxsim.inject("ORXGetNumOfConnectedCameras", 5)
    assert orx.get_number_of_connected_cameras() == 5
    orxsim.inject("ORXGetNumOfConnectedCameras", 0)
    assert orx.get_number_of_connected_cameras() == 0
    for answer, expected in ((7, 1), (0, 0), (-1, 1)):
        orxsim.inject("ORXCameraCheck", answer)
        result = orx.camera_check(1, 2)
        assert type(result) is int and result == expected
    orxsim.inject("ORXGetSDKVersion", 0, 1, "9.8.7 ü".encode())
    assert orx.get_sdk_version() == "9.8.7 ü"
    orxsim.inject("ORXGetSDKVersion", 0, 1, b"")
    assert orx.get_sdk_version() == ""
    orxsim.inject("ORXGetSDKVersion", 0, 1, b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        orx.get_sdk_version()
    orxsim.clear_log()
    orx.camera_check(i_pid=-5, i_vid=2 ** 31 - 1)
    assert calls_of("ORXCameraCheck") == [orxsim.Call("ORXCameraCheck", (2 ** 31 - 1, -5))]
    with pytest.raises(OverflowError):
        orx.camera_check(2 ** 31, 0)


def test_frame_size_errors_come_first():
    # the buffer is made before anything else: its errors win
    before = orxsim.call_count("ORXGetVideoData")
    with pytest.raises(ValueError, match="^negative count$"):
        orx.get_video_data(2 ** 40, -1, 2 ** 40)
    with pytest.raises(MemoryError):
        orx.get_data_after_exp(C, 2 ** 62)
    with pytest.raises(OverflowError):
        orx.get_video_data(C, 2 ** 31, 10)
    with pytest.raises(OverflowError):
        orx.get_video_data(C, 10, 2 ** 31)
    assert orxsim.call_count("ORXGetVideoData") == before
    orxsim.inject("ORXGetDataAfterExp")
    assert orx.get_data_after_exp(C, 0) == b""


def test_set_id_takes_only_id_records_and_leaves_them_unchanged():
    class MyId(orx.Id):
        pass

    ident = MyId()
    ident.id = "abcdefgh"
    orxsim.inject("ORXSetID")
    orxsim.clear_log()
    orx.set_id(C, ident)
    assert calls_of("ORXSetID")[0].args == (C, b"abcdefgh") and ident.id == "abcdefgh"
    for bad, tname in ((None, "NoneType"), (b"abcdefgh", "bytes")):
        with pytest.raises(TypeError) as info:
            orx.set_id(C, bad)
        assert str(info.value) == ("Argument 'serial_number' has incorrect type (expected "
                                   f"quenlix.yux_orx_python_bindings.orx.Id, got {tname})")


def test_dark_path_rules():
    class Path(str):
        pass

    before = orxsim.call_count("ORXEnableDarkSubtract")
    with pytest.raises(TypeError) as info:
        orx.enable_dark_subtract(C, None)
    assert str(info.value) == "Argument 'bmp_path' has incorrect type (expected str, got NoneType)"
    with pytest.raises(TypeError) as info:
        orx.enable_dark_subtract(C, Path("a.bmp"))
    assert str(info.value).startswith("Argument 'bmp_path' has incorrect type (expected str, got Path). ")
    with pytest.raises(UnicodeEncodeError):
        orx.enable_dark_subtract(C, "dark\udc80.bmp")
    with pytest.raises(ValueError, match="^embedded null byte$"):
        orx.enable_dark_subtract(C, "dark.bmp\0.txt")
    assert orxsim.call_count("ORXEnableDarkSubtract") == before


def test_results_built_from_enumerations_follow_rebinding(monkeypatch):
    orxsim.inject("ORXGetROIFormat", 0, 1, struct.pack("<4i", 8, 2, 1, 3))
    monkeypatch.setattr(orx, "ImgType", lambda v: ("image type", v))
    assert orx.get_roi_format(C) == (8, 2, 1, ("image type", 3))
    monkeypatch.delattr(orx, "ImgType")
    orxsim.inject("ORXGetROIFormat", 0, 1, struct.pack("<4i", 8, 2, 1, 3))
    with pytest.raises(NameError, match="name 'ImgType' is not defined"):
        orx.get_roi_format(C)
    orxsim.inject("ORXGetCameraMode", 0, 1, struct.pack("<i", 9))
    with pytest.raises(ValueError):
        orx.get_camera_mode(C)


@pytest.mark.parametrize("replacement, expected", [
    (lambda v: None, None), (lambda v: True, 1), (lambda v: 5, 5)])
def test_exp_status_result_is_a_plain_int(monkeypatch, replacement, expected):
    monkeypatch.setattr(orx, "ExposureStatus", replacement)
    orxsim.inject("ORXGetExpStatus", 0, 1, struct.pack("<i", 1))
    result = orx.get_exp_status(C)
    assert result == expected and type(result) is type(expected)


def test_exp_status_refuses_non_integers(monkeypatch):
    monkeypatch.setattr(orx, "ExposureStatus", lambda v: "working")
    orxsim.inject("ORXGetExpStatus", 0, 1, struct.pack("<i", 1))
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        orx.get_exp_status(C)
    monkeypatch.undo()
    orxsim.inject("ORXGetExpStatus", 0, 1, struct.pack("<i", 9))
    with pytest.raises(ValueError):
        orx.get_exp_status(C)


def test_enumeration_value_is_read_as_python_reads_it(monkeypatch):
    import enum

    class Mine(enum.IntEnum):
        GAIN = 0
        EXPOSURE = 1

    class Shifted(enum.IntEnum):
        A = 1

        @property
        def value(self):
            return 7

    for member, sent in ((Mine.EXPOSURE, 1), (Shifted.A, 7)):
        orxsim.inject("ORXSetControlValue")
        orxsim.clear_log()
        orx.set_control_value(C, member, 5, False)
        assert calls_of("ORXSetControlValue")[0].args == (C, sent, 5, 0)
    # the member's stored value is what .value reads, also when changed
    monkeypatch.setattr(orx.ControlType.ORX_GAMMA, "_value_", 11)
    orxsim.inject("ORXSetControlValue")
    orxsim.clear_log()
    orx.set_control_value(C, orx.ControlType.ORX_GAMMA, 5, False)
    assert calls_of("ORXSetControlValue")[0].args == (C, 11, 5, 0)


def test_enumeration_results_follow_a_changed_class(monkeypatch):
    calls = []
    original = orx.CameraMode.__new__

    def tracing_new(cls, value):
        calls.append(value)
        return original(cls, value)

    monkeypatch.setattr(orx.CameraMode, "__new__", tracing_new)
    orxsim.inject("ORXGetCameraMode", 0, 1, struct.pack("<i", 2))
    assert orx.get_camera_mode(C) is orx.CameraMode.ORX_MODE_TRIG_RISE_EDGE
    assert calls == [2]
