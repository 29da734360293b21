"""Discovery, camera descriptions, lifecycle statuses, identity and modes."""
import ctypes

import pytest

from simhelp import *  # noqa: F401,F403
import simhelp as S


def info_by_index(lib, i):
    info = CameraInfo()
    st = lib.ORXGetCameraProperty(ctypes.byref(info), i)
    return st, info


def test_record_sizes():
    assert ctypes.sizeof(CameraInfo) == 240
    assert ctypes.sizeof(ControlCaps) == 248
    assert ctypes.sizeof(GpsData) == 184
    assert ctypes.sizeof(IdRecord) == 8
    assert ctypes.sizeof(SupportedMode) == 64


def test_builtin_cameras(lib):
    assert lib.ORXGetNumOfConnectedCameras() == 3
    ids = (ctypes.c_int32 * 8)()
    assert lib.ORXSimListCameras(ids, 8) == 3
    assert list(ids[:3]) == [COOLED, GUIDE, PLANETARY]
    names = []
    for i in range(3):
        st, info = info_by_index(lib, i)
        assert st == SUCCESS
        assert info.CameraID == ids[i] and info.CameraID != i
        names.append(info.Name.decode())
        by_id = CameraInfo()
        assert lib.ORXGetCameraPropertyByID(info.CameraID, ctypes.byref(by_id)) == SUCCESS
        assert bytes(by_id) == bytes(info)
    assert len(set(names)) == 3 and all(n.startswith("ORX Sim ") for n in names)


@pytest.mark.parametrize("cam, w, h, color, cooler, st4, usb3, trigger, bins, formats, bits", [
    (COOLED, 6248, 4176, 1, 1, 0, 1, 1, [1, 2, 3, 4], [RAW8, RGB24, RAW16, Y8], 14),
    (GUIDE, 1280, 960, 0, 0, 1, 0, 0, [1, 2], [RAW8, RAW16], 12),
    (PLANETARY, 1920, 1080, 1, 0, 1, 1, 0, [1, 2], [RAW8, RGB24, RAW16, Y8], 12),
])
def test_camera_info(lib, cam, w, h, color, cooler, st4, usb3, trigger, bins, formats, bits):
    info = CameraInfo()
    assert lib.ORXGetCameraPropertyByID(cam, ctypes.byref(info)) == SUCCESS
    assert (info.MaxWidth, info.MaxHeight) == (w, h)
    assert (info.IsColorCamera, info.IsCoolerCam, info.St4Port, info.IsUsb3Camera, info.IsTriggerCam) == \
        (color, cooler, st4, usb3, trigger)
    assert info.IsUsb3Host == 1 and info.MechanicalShutter == 0
    assert [b for b in info.SupportedBins if b > 0] == bins
    assert list(info.SupportedVideoFormats) == formats + [IMG_END] * (8 - len(formats))
    assert info.BitDepth == bits and 0 < info.ElecPerAdu < 10 and 2 < info.PixelSize < 5
    assert bytes(info)[224:] == b"\0" * 16


@pytest.mark.parametrize("index", [3, 100, -1])
def test_bad_index(lib, index):
    assert info_by_index(lib, index)[0] == INVALID_INDEX


def test_camera_check_and_version(lib):
    for pid in (0x6200, 0x1200, 0x2900):
        assert lib.ORXCameraCheck(VENDOR_ID, pid) == 1
    assert lib.ORXCameraCheck(VENDOR_ID, 0x1234) == 0
    assert lib.ORXCameraCheck(0x03C3, 0x6200) == 0
    assert lib.ORXGetSDKVersion() == b"1.0.0 (orx simulator)"


# ---- statuses by camera state, for every per-camera function ----------------
def call(lib, name, cam):
    """Calls `name` on `cam` with harmless arguments; returns the status."""
    i = ctypes.c_int32()
    p = ctypes.byref(i)
    buf = ctypes.create_string_buffer(64)
    rec = {"ORXGetCameraPropertyByID": CameraInfo, "ORXGetID": IdRecord, "ORXGetSerialNumber": IdRecord,
           "ORXGetCameraSupportMode": SupportedMode}
    args = {
        "ORXGetCameraPropertyByID": lambda: (cam, ctypes.byref(CameraInfo())),
        "ORXOpenCamera": lambda: (cam,), "ORXInitCamera": lambda: (cam,), "ORXCloseCamera": lambda: (cam,),
        "ORXGetID": lambda: (cam, ctypes.byref(IdRecord())), "ORXSetID": lambda: (cam, IdRecord()),
        "ORXGetSerialNumber": lambda: (cam, ctypes.byref(IdRecord())),
        "ORXGetCameraSupportMode": lambda: (cam, ctypes.byref(SupportedMode())),
        "ORXGetCameraMode": lambda: (cam, p), "ORXSetCameraMode": lambda: (cam, 0),
        "ORXStartExposure": lambda: (cam, 0), "ORXStopExposure": lambda: (cam,),
        "ORXGetExpStatus": lambda: (cam, p), "ORXGetDataAfterExp": lambda: (cam, buf, 64),
        "ORXGetDataAfterExpGPS": lambda: (cam, buf, 64, ctypes.byref(GpsData())),
        "ORXStartVideoCapture": lambda: (cam,), "ORXStopVideoCapture": lambda: (cam,),
        "ORXGetVideoData": lambda: (cam, buf, 64, 0),
        "ORXGetVideoDataGPS": lambda: (cam, buf, 64, 0, ctypes.byref(GpsData())),
        "ORXGetDroppedFrames": lambda: (cam, p), "ORXGetNumOfControls": lambda: (cam, p),
        "ORXGetControlCaps": lambda: (cam, 0, ctypes.byref(ControlCaps())),
        "ORXGetControlValue": lambda: (cam, GAIN, p, ctypes.byref(ctypes.c_int32())),
        "ORXSetControlValue": lambda: (cam, GAIN, 10, 0),
        "ORXSetROIFormat": lambda: (cam, 64, 64, 1, RAW8),
        "ORXGetROIFormat": lambda: (cam, p, p, p, p), "ORXSetStartPos": lambda: (cam, 0, 0),
        "ORXGetStartPos": lambda: (cam, p, p), "ORXEnableDarkSubtract": lambda: (cam, b"/nonexistent.bmp"),
        "ORXDisableDarkSubtract": lambda: (cam,), "ORXPulseGuideOn": lambda: (cam, 0),
        "ORXPulseGuideOff": lambda: (cam, 0), "ORXGetGainOffset": lambda: (cam, p, p, p, p),
        "ORXGetLMHGainOffset": lambda: (cam, p, p, p, p), "ORXSendSoftTrigger": lambda: (cam, 1),
        "ORXSetTriggerOutputIOConf": lambda: (cam, 0, 1, 0, 0),
        "ORXGetTriggerOutputIOConf": lambda: (cam, 0, p, p, p),
        "ORXGPSGetData": lambda: (cam, ctypes.byref(GpsData()), ctypes.byref(GpsData())),
    }[name]()
    del rec
    return getattr(lib, name)(*args)


PER_CAMERA = [n for n in S.CAMERA_FUNCTIONS if n not in (
    "ORXGetNumOfConnectedCameras", "ORXCameraCheck", "ORXGetSDKVersion", "ORXGetCameraProperty")]
NEED_NOTHING = {"ORXGetCameraPropertyByID", "ORXOpenCamera", "ORXCloseCamera"}
NEED_INIT = {"ORXStartExposure", "ORXGetDataAfterExp", "ORXGetDataAfterExpGPS", "ORXStartVideoCapture",
             "ORXGetVideoData", "ORXGetVideoDataGPS", "ORXSendSoftTrigger"}


def test_per_camera_count():
    assert len(PER_CAMERA) == 38


@pytest.mark.parametrize("name", PER_CAMERA)
def test_unknown_id(lib, name):
    for cam in (0, 1, 999, 5000, -1):
        assert call(lib, name, cam) == INVALID_ID, cam


@pytest.mark.parametrize("name", PER_CAMERA)
def test_unplugged(lib, name):
    open_init(lib, COOLED)
    assert lib.ORXSimUnplug(COOLED) == 0
    assert call(lib, name, COOLED) == CAMERA_REMOVED


@pytest.mark.parametrize("name", sorted(set(PER_CAMERA) - NEED_NOTHING))
def test_closed(lib, name):
    assert call(lib, name, COOLED) == CAMERA_CLOSED


@pytest.mark.parametrize("name", sorted(NEED_INIT))
def test_open_not_initialised(lib, name):
    assert lib.ORXOpenCamera(COOLED) == SUCCESS
    assert call(lib, name, COOLED) == CAMERA_CLOSED


def test_open_close_idempotent_and_reopen(lib):
    assert lib.ORXCloseCamera(GUIDE) == SUCCESS  # closing a closed camera is a no-op
    open_init(lib, GUIDE)
    assert lib.ORXOpenCamera(GUIDE) == SUCCESS
    assert lib.ORXSetROIFormat(GUIDE, 640, 480, 2, RAW16) == SUCCESS
    assert lib.ORXCloseCamera(GUIDE) == SUCCESS
    assert lib.ORXStartExposure(GUIDE, 0) == CAMERA_CLOSED
    open_init(lib, GUIDE)
    assert roi(lib, GUIDE) == (1280, 960, 1, RAW8)  # power-on settings after reopen


def test_unplug_replug(lib):
    open_init(lib, GUIDE)
    assert lib.ORXSimUnplug(GUIDE) == 0
    assert lib.ORXGetNumOfConnectedCameras() == 2
    assert [info_by_index(lib, i)[1].CameraID for i in range(2)] == [COOLED, PLANETARY]
    assert info_by_index(lib, 2)[0] == INVALID_INDEX
    ids = (ctypes.c_int32 * 8)()
    assert lib.ORXSimListCameras(ids, 8) == 3  # still known
    assert lib.ORXSimReplug(GUIDE) == 0
    assert lib.ORXGetNumOfConnectedCameras() == 3
    assert lib.ORXInitCamera(GUIDE) == CAMERA_CLOSED  # comes back closed
    open_init(lib, GUIDE)
    assert lib.ORXSimUnplug(4242) == -1 and lib.ORXSimReplug(4242) == -1


def test_add_and_remove_cameras(lib):
    cam = lib.ORXSimAddCamera(b'{"model": "guide", "name": "Tiny", "width": 640, "height": 480, "bins": [1, 2, 4]}')
    assert cam > PLANETARY
    assert lib.ORXGetNumOfConnectedCameras() == 4
    info = CameraInfo()
    assert lib.ORXGetCameraPropertyByID(cam, ctypes.byref(info)) == SUCCESS
    assert (info.Name, info.MaxWidth, info.MaxHeight) == (b"Tiny", 640, 480)
    assert [b for b in info.SupportedBins if b] == [1, 2, 4]
    cam2 = lib.ORXSimAddCamera(b'{"model": "ORX Sim C6200MC Pro", "gps": false, "cooler": false, "color": false}')
    assert cam2 == cam + 1
    assert lib.ORXGetCameraPropertyByID(cam2, ctypes.byref(info)) == SUCCESS
    assert (info.IsColorCamera, info.IsCoolerCam, info.IsTriggerCam) == (0, 0, 1)
    assert list(info.SupportedVideoFormats)[:3] == [RAW8, RAW16, IMG_END]
    open_init(lib, cam2)
    assert get_ctl(lib, cam2, TARGET_TEMP)[0] == INVALID_CONTROL_TYPE
    assert get_ctl(lib, cam2, GPS_SUPPORT)[0] == INVALID_CONTROL_TYPE
    assert lib.ORXSimRemoveCamera(cam) == 0
    assert lib.ORXOpenCamera(cam) == INVALID_ID
    assert lib.ORXSimRemoveCamera(cam) == -1
    assert lib.ORXGetNumOfConnectedCameras() == 4  # 3 built-in + 2 added - 1 removed
    lib.ORXSimReset()
    assert lib.ORXGetNumOfConnectedCameras() == 3
    assert lib.ORXOpenCamera(cam2) == INVALID_ID


@pytest.mark.parametrize("text", [
    b"", b"{", b"[]", b'{"model": "nope"}', b'{"width": 641}', b'{"height": 3}', b'{"unknown": 1}',
    b'{"bins": [2, 4]}', b'{"formats": [7]}', b'{"width": "640"}', b'{"color": 2}', b'{"name": ""}',
    b'{"bayer": 4} ', b'{"bit_depth": 20}', b'{"width": 640,}',
])
def test_add_camera_rejects(lib, text):
    assert lib.ORXSimAddCamera(text) == -1
    assert lib.ORXGetNumOfConnectedCameras() == 3
    assert lib.ORXSimCheckCamera(text, None, 0) > 0  # a reason is given


@pytest.mark.parametrize("name,stored", [
    (rb"Scope \ud83d\udd2d", "Scope \U0001F52D".encode()),     # surrogate pair: one character beyond U+FFFF
    ("Caméra 🔭".encode(), "Caméra 🔭".encode()),                 # raw UTF-8
    (rb"a\rb\fc\bd\te\nf\/g\\h\"i", b"a\rb\fc\bd\te\nf/g\\h\"i"),
    (rb"\u00e9\u20AC", "é€".encode()),
])
def test_add_camera_json_strings(lib, name, stored):
    cam = lib.ORXSimAddCamera(b'{"name": "' + name + b'"}')
    assert cam > 0
    info = CameraInfo()
    assert lib.ORXGetCameraPropertyByID(cam, ctypes.byref(info)) == SUCCESS
    assert info.Name == stored
    info.Name.decode("utf-8")


@pytest.mark.parametrize("name,reason", [
    (rb"a\u0000b", b"NUL"),
    (rb"\ud83d", b"surrogate"), (rb"\udd2d x", b"surrogate"), (rb"\ud83d\u0041", b"surrogate"),
    (b"a\nb", b"control character"),                               # a raw newline inside the string
    (b"\xff\xfe", b"UTF-8"), (b"\xed\xa0\xbd", b"UTF-8"), (b"\xc0\xaf", b"UTF-8"),  # bad, surrogate, overlong
    (rb"\x41", b"escape"), (rb"\u12G4", b"escape"),
])
def test_add_camera_refuses_bad_strings(lib, name, reason):
    text = b'{"name": "' + name + b'"}'
    assert lib.ORXSimAddCamera(text) == -1
    why = ctypes.create_string_buffer(128)
    assert lib.ORXSimCheckCamera(text, why, len(why)) == len(why.value) > 0
    assert reason in why.value
    assert lib.ORXGetNumOfConnectedCameras() == 3


def test_identity_flash_persists(lib):
    open_init(lib, COOLED)
    rec = IdRecord()
    assert lib.ORXGetID(COOLED, ctypes.byref(rec)) == SUCCESS
    new = IdRecord((ctypes.c_ubyte * 8)(*b"Scope\0\0\0"))
    assert lib.ORXSetID(COOLED, new) == SUCCESS
    assert lib.ORXCloseCamera(COOLED) == SUCCESS
    open_init(lib, COOLED)
    assert lib.ORXGetID(COOLED, ctypes.byref(rec)) == SUCCESS and bytes(rec.id) == b"Scope\0\0\0"
    lib.ORXSimReset()
    open_init(lib, COOLED)
    assert lib.ORXGetID(COOLED, ctypes.byref(rec)) == SUCCESS and bytes(rec.id) == b"Scope\0\0\0"
    open_init(lib, GUIDE)
    assert lib.ORXGetID(GUIDE, ctypes.byref(rec)) == SUCCESS and bytes(rec.id) != b"Scope\0\0\0"
    lib.ORXSetID(COOLED, IdRecord())  # leave the flash empty for the next tests


def test_serial_numbers(lib):
    serials = {}
    for cam in (COOLED, GUIDE, PLANETARY):
        open_init(lib, cam)
        rec = IdRecord()
        assert lib.ORXGetSerialNumber(cam, ctypes.byref(rec)) == SUCCESS
        serials[cam] = bytes(rec.id)
    assert len(set(serials.values())) == 3
    with pytest.raises(UnicodeDecodeError):
        serials[GUIDE].split(b"\0")[0].decode("utf-8")
    serials[COOLED].decode("ascii")


@pytest.mark.parametrize("cam, modes", [
    (COOLED, [0, 1, 2, 3, 4, 5, 6] + [-1] * 9),
    (GUIDE, [0] + [-1] * 15),
    (PLANETARY, [0] + [-1] * 15),
])
def test_supported_modes(lib, cam, modes):
    open_init(lib, cam)
    rec = SupportedMode()
    assert lib.ORXGetCameraSupportMode(cam, ctypes.byref(rec)) == SUCCESS
    assert list(rec.SupportedCameraMode) == modes
    m = ctypes.c_int32(99)
    assert lib.ORXGetCameraMode(cam, ctypes.byref(m)) == SUCCESS and m.value == MODE_NORMAL
    for mode in range(-2, 9):
        expect = SUCCESS if mode in modes and mode >= 0 else INVALID_MODE
        assert lib.ORXSetCameraMode(cam, mode) == expect, mode
    assert lib.ORXSetCameraMode(cam, MODE_NORMAL) == SUCCESS


def test_gain_presets(lib):
    for cam in (COOLED, GUIDE, PLANETARY):
        open_init(lib, cam)
        a = [ctypes.c_int32(-1) for _ in range(4)]
        assert lib.ORXGetGainOffset(cam, *[ctypes.byref(x) for x in a]) == SUCCESS
        assert all(x.value >= 0 for x in a)
        b = [ctypes.c_int32(-1) for _ in range(4)]
        assert lib.ORXGetLMHGainOffset(cam, *[ctypes.byref(x) for x in b]) == SUCCESS
        assert b[0].value < b[1].value < b[2].value


def test_trigger_outputs(lib):
    open_init(lib, COOLED)
    hi, d, du = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
    ref = (ctypes.byref(hi), ctypes.byref(d), ctypes.byref(du))
    assert lib.ORXSetTriggerOutputIOConf(COOLED, PINA, 1, 100, 2000) == SUCCESS
    assert lib.ORXSetTriggerOutputIOConf(COOLED, PINB, 0, 7, 8) == SUCCESS
    assert lib.ORXGetTriggerOutputIOConf(COOLED, PINA, *ref) == SUCCESS
    assert (hi.value, d.value, du.value) == (1, 100, 2000)
    assert lib.ORXGetTriggerOutputIOConf(COOLED, PINB, *ref) == SUCCESS
    assert (hi.value, d.value, du.value) == (0, 7, 8)
    for pin in (PIN_NONE, 2, 100):
        assert lib.ORXSetTriggerOutputIOConf(COOLED, pin, 1, 0, 0) == GENERAL
        assert lib.ORXGetTriggerOutputIOConf(COOLED, pin, *ref) == GENERAL
    assert lib.ORXSetTriggerOutputIOConf(COOLED, PINA, 1, -1, 0) == GENERAL
    assert lib.ORXSetTriggerOutputIOConf(COOLED, PINA, 1, 0, -5) == GENERAL
    open_init(lib, GUIDE)
    assert lib.ORXSetTriggerOutputIOConf(GUIDE, PINA, 1, 0, 0) == INVALID_MODE
    assert lib.ORXGetTriggerOutputIOConf(GUIDE, PINA, *ref) == INVALID_MODE


def test_guide_port(lib):
    open_init(lib, COOLED)
    assert lib.ORXPulseGuideOn(COOLED, NORTH) == INVALID_MODE  # no ST4 port
    open_init(lib, GUIDE)
    for d in (NORTH, SOUTH, EAST, WEST):
        assert lib.ORXPulseGuideOn(GUIDE, d) == SUCCESS
        assert lib.ORXPulseGuideOff(GUIDE, d) == SUCCESS
    assert lib.ORXPulseGuideOff(GUIDE, NORTH) == SUCCESS  # already off
    for d in (-1, 4, 99):
        assert lib.ORXPulseGuideOn(GUIDE, d) == GENERAL
        assert lib.ORXPulseGuideOff(GUIDE, d) == GENERAL
