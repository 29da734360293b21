"""ctypes view of the simulator library (libORXCamera2.so) for tests/sim.

The library is found in the orx-camera folder of $ORX_STAGE_DIR, else of
<repo>/build/dev/stage, else it is the one orx loaded (orxsim.camera_library).
"""
import ctypes
import os
import pathlib
import time
from ctypes import POINTER, Structure, c_char, c_char_p, c_double, c_float, c_int, c_int32, c_int64, c_ubyte, c_uint32, c_void_p

REPO = pathlib.Path(__file__).resolve().parents[2]
LIBNAME = "libORXCamera2.so"

# ---- status codes (SUCCESS, INVALID_INDEX, ...) ---------------------------------
from orxsim import Status  # noqa: E402  (pure Python: loads no camera library)

globals().update({name: int(code) for name, code in Status.__members__.items()})

# ---- constants ---------------------------------------------------------------
RAW8, RGB24, RAW16, Y8, IMG_END = 0, 1, 2, 3, -1
(GAIN, EXPOSURE, GAMMA, WB_R, WB_B, OFFSET, BANDWIDTH, OVERCLOCK, TEMPERATURE, FLIP, AUTO_MAX_GAIN,
 AUTO_MAX_EXP, AUTO_TARGET_BRIGHTNESS, HARDWARE_BIN, HIGH_SPEED_MODE, COOLER_POWER_PERC, TARGET_TEMP,
 COOLER_ON, MONO_BIN, FAN_ON, PATTERN_ADJUST, ANTI_DEW_HEATER, FAN_ADJUST, PWRLED_BRIGNT, USBHUB_RESET,
 GPS_SUPPORT, GPS_START_LINE, GPS_END_LINE, ROLLING_INTERVAL) = range(29)
MODE_NORMAL, MODE_SOFT_EDGE, MODE_RISE_EDGE, MODE_FALL_EDGE, MODE_SOFT_LEVEL, MODE_HIGH_LEVEL, MODE_LOW_LEVEL = range(7)
MODE_END = -1
NORTH, SOUTH, EAST, WEST = range(4)
PINA, PINB, PIN_NONE = 0, 1, -1
EXP_IDLE, EXP_WORKING, EXP_SUCCESS, EXP_FAILED = range(4)

# built-in cameras
COOLED, GUIDE, PLANETARY = 1001, 1002, 1003
VENDOR_ID = 0x1A2B


class CameraInfo(Structure):
    _fields_ = [("Name", c_char * 64), ("CameraID", c_int32), ("MaxHeight", c_int32), ("MaxWidth", c_int32),
                ("IsColorCamera", c_int32), ("BayerPattern", c_int32), ("SupportedBins", c_int32 * 16),
                ("SupportedVideoFormats", c_int32 * 8), ("PixelSize", c_double), ("MechanicalShutter", c_int32),
                ("St4Port", c_int32), ("IsCoolerCam", c_int32), ("IsUsb3Host", c_int32), ("IsUsb3Camera", c_int32),
                ("ElecPerAdu", c_float), ("BitDepth", c_int32), ("IsTriggerCam", c_int32), ("Unused", c_char * 16)]


class ControlCaps(Structure):
    _fields_ = [("Name", c_char * 64), ("Description", c_char * 128), ("MaxValue", c_int32), ("MinValue", c_int32),
                ("DefaultValue", c_int32), ("IsAutoSupported", c_int32), ("IsWritable", c_int32),
                ("ControlType", c_int32), ("Unused", c_char * 32)]


class GpsData(Structure):
    _fields_ = [("Year", c_int32), ("Month", c_int32), ("Day", c_int32), ("Hour", c_int32), ("Minute", c_int32),
                ("Second", c_int32), ("MSecond", c_int32), ("USecond", c_int32), ("Unused1", c_char * 64),
                ("Latitude", c_double), ("Longitude", c_double), ("Altitude", c_int32), ("SatelliteNum", c_int32),
                ("Unused2", c_char * 64)]

    def epoch_us(self):
        import calendar
        secs = calendar.timegm((self.Year, self.Month, self.Day, self.Hour, self.Minute, self.Second))
        return secs * 1_000_000 + self.MSecond * 1000 + self.USecond


class IdRecord(Structure):
    _fields_ = [("id", c_ubyte * 8)]


class SupportedMode(Structure):
    _fields_ = [("SupportedCameraMode", c_int32 * 16)]


i32 = c_int32
P32 = POINTER(c_int32)
BUF = c_void_p

SIGNATURES = {
    "ORXGetNumOfConnectedCameras": (i32, []),
    "ORXCameraCheck": (i32, [i32, i32]),
    "ORXGetSDKVersion": (c_char_p, []),
    "ORXGetCameraProperty": (i32, [POINTER(CameraInfo), i32]),
    "ORXGetCameraPropertyByID": (i32, [i32, POINTER(CameraInfo)]),
    "ORXOpenCamera": (i32, [i32]),
    "ORXInitCamera": (i32, [i32]),
    "ORXCloseCamera": (i32, [i32]),
    "ORXGetID": (i32, [i32, POINTER(IdRecord)]),
    "ORXSetID": (i32, [i32, IdRecord]),
    "ORXGetSerialNumber": (i32, [i32, POINTER(IdRecord)]),
    "ORXGetCameraSupportMode": (i32, [i32, POINTER(SupportedMode)]),
    "ORXGetCameraMode": (i32, [i32, P32]),
    "ORXSetCameraMode": (i32, [i32, i32]),
    "ORXStartExposure": (i32, [i32, i32]),
    "ORXStopExposure": (i32, [i32]),
    "ORXGetExpStatus": (i32, [i32, P32]),
    "ORXGetDataAfterExp": (i32, [i32, BUF, i32]),
    "ORXGetDataAfterExpGPS": (i32, [i32, BUF, i32, POINTER(GpsData)]),
    "ORXStartVideoCapture": (i32, [i32]),
    "ORXStopVideoCapture": (i32, [i32]),
    "ORXGetVideoData": (i32, [i32, BUF, i32, i32]),
    "ORXGetVideoDataGPS": (i32, [i32, BUF, i32, i32, POINTER(GpsData)]),
    "ORXGetDroppedFrames": (i32, [i32, P32]),
    "ORXGetNumOfControls": (i32, [i32, P32]),
    "ORXGetControlCaps": (i32, [i32, i32, POINTER(ControlCaps)]),
    "ORXGetControlValue": (i32, [i32, i32, P32, P32]),
    "ORXSetControlValue": (i32, [i32, i32, i32, i32]),
    "ORXSetROIFormat": (i32, [i32, i32, i32, i32, i32]),
    "ORXGetROIFormat": (i32, [i32, P32, P32, P32, P32]),
    "ORXSetStartPos": (i32, [i32, i32, i32]),
    "ORXGetStartPos": (i32, [i32, P32, P32]),
    "ORXEnableDarkSubtract": (i32, [i32, c_char_p]),
    "ORXDisableDarkSubtract": (i32, [i32]),
    "ORXPulseGuideOn": (i32, [i32, i32]),
    "ORXPulseGuideOff": (i32, [i32, i32]),
    "ORXGetGainOffset": (i32, [i32, P32, P32, P32, P32]),
    "ORXGetLMHGainOffset": (i32, [i32, P32, P32, P32, P32]),
    "ORXSendSoftTrigger": (i32, [i32, i32]),
    "ORXSetTriggerOutputIOConf": (i32, [i32, i32, i32, i32, i32]),
    "ORXGetTriggerOutputIOConf": (i32, [i32, i32, P32, P32, P32]),
    "ORXGPSGetData": (i32, [i32, POINTER(GpsData), POINTER(GpsData)]),
    # control interface
    "ORXSimReset": (None, []),
    "ORXSimInject": (c_int, [c_char_p, i32, i32, c_void_p, i32]),
    "ORXSimClearInjections": (None, []),
    "ORXSimLogCount": (i32, []),
    "ORXSimLogEntry": (i32, [i32, c_char_p, i32]),
    "ORXSimLogClear": (None, []),
    "ORXSimCallCount": (c_int64, [c_char_p]),
    "ORXSimSetTimeScale": (i32, [c_double]),
    "ORXSimGetTimeScale": (c_double, []),
    "ORXSimGetTime": (c_double, []),
    "ORXSimSetAmbient": (i32, [c_double]),
    "ORXSimGetAmbient": (c_double, []),
    "ORXSimListCameras": (i32, [P32, i32]),
    "ORXSimAddCamera": (i32, [c_char_p]),
    "ORXSimCheckCamera": (i32, [c_char_p, c_char_p, i32]),
    "ORXSimRemoveCamera": (i32, [i32]),
    "ORXSimUnplug": (i32, [i32]),
    "ORXSimReplug": (i32, [i32]),
    "ORXSimSetSky": (i32, [c_double, c_double, c_double, c_uint32]),
    "ORXSimSetScene": (i32, [c_char_p, c_double]),
    "ORXSimTimeCall": (c_double, [c_char_p, i32, c_int64]),
}
CAMERA_FUNCTIONS = [n for n in SIGNATURES if not n.startswith("ORXSim")]
assert len(CAMERA_FUNCTIONS) == 42


def library_path():
    stage = os.environ.get("ORX_STAGE_DIR")
    if stage:
        return pathlib.Path(stage) / "orx-camera" / LIBNAME
    local = REPO / "build" / "dev" / "stage" / "orx-camera" / LIBNAME
    if local.exists():
        return local
    try:
        import orxsim
        return pathlib.Path(orxsim.camera_library())
    except Exception:
        return local


def load():
    lib = ctypes.CDLL(str(library_path()))
    for name, (restype, argtypes) in SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


# ---- small helpers -----------------------------------------------------------
def reset(lib, still=False):
    """The simulator's defaults; with `still`, the still star field of
    ORXSimSetSky instead of the shared night sky."""
    lib.ORXSimReset()
    if still:
        assert lib.ORXSimSetScene(b"enabled", 0.0) == 0


def open_init(lib, cam):
    assert lib.ORXOpenCamera(cam) == SUCCESS
    assert lib.ORXInitCamera(cam) == SUCCESS


def get_ctl(lib, cam, ctl):
    v, a = c_int32(), c_int32()
    st = lib.ORXGetControlValue(cam, ctl, ctypes.byref(v), ctypes.byref(a))
    return st, v.value, a.value


def roi(lib, cam):
    w, h, b, t = c_int32(), c_int32(), c_int32(), c_int32()
    st = lib.ORXGetROIFormat(cam, ctypes.byref(w), ctypes.byref(h), ctypes.byref(b), ctypes.byref(t))
    assert st == SUCCESS
    return w.value, h.value, b.value, t.value


def start_pos(lib, cam):
    x, y = c_int32(), c_int32()
    assert lib.ORXGetStartPos(cam, ctypes.byref(x), ctypes.byref(y)) == SUCCESS
    return x.value, y.value


def temp(lib, cam):
    """Sensor temperature, degrees C."""
    st, v, _ = get_ctl(lib, cam, TEMPERATURE)
    assert st == SUCCESS
    return v / 10.0


def power(lib, cam):
    st, v, _ = get_ctl(lib, cam, COOLER_POWER_PERC)
    assert st == SUCCESS
    return v


def run_sim(lib, seconds, scale=1e-4):
    """Lets `seconds` of simulated time pass (at `scale`), measured on the simulated clock."""
    lib.ORXSimSetTimeScale(scale)
    end = lib.ORXSimGetTime() + seconds
    while lib.ORXSimGetTime() < end:
        time.sleep(min(0.01, max(0.0005, (end - lib.ORXSimGetTime()) * scale)))


def video_cadence(lib, cam, n, frames=4, scale=4.0, tries=4):
    """Gap (s, camera time) between the exposure starts of consecutive video frames of
    `n` bytes, from their GPS stamps. Frames are rendered in wall-clock time: one that
    takes the CPU longer than the camera's cadence arrives late, and the camera restarts
    its cadence from there. Two equal gaps in a row show the cadence held; until they
    do, the simulated clock is slowed four times more and the capture taken again."""
    buf, g = ctypes.create_string_buffer(n), GpsData()
    for _ in range(tries):
        lib.ORXSimSetTimeScale(scale)
        assert lib.ORXStartVideoCapture(cam) == SUCCESS
        stamps = []
        try:
            for _ in range(frames):
                assert lib.ORXGetVideoDataGPS(cam, buf, n, 60000, ctypes.byref(g)) == SUCCESS
                stamps.append(g.epoch_us())
        finally:
            lib.ORXStopVideoCapture(cam)
        gaps = [b - a for a, b in zip(stamps, stamps[1:])]
        held = [a for a, b in zip(gaps, gaps[1:]) if abs(a - b) <= 1]
        if held:
            assert min(gaps) >= min(held) - 1, gaps  # no frame sooner than the cadence
            return min(held) / 1e6
        scale *= 4
    raise AssertionError(f"no steady cadence even at time scale {scale / 4}: gaps {gaps} us")


def exp_status(lib, cam):
    s = c_int32()
    st = lib.ORXGetExpStatus(cam, ctypes.byref(s))
    assert st == SUCCESS
    return s.value


def frame_size(lib, cam):
    w, h, _, t = roi(lib, cam)
    return w * h * {RAW8: 1, Y8: 1, RAW16: 2, RGB24: 3}[t]


def snapshot(lib, cam, dark=False, timeout=5.0, gps=None):
    """Exposes with the current settings and returns the frame bytes."""
    assert lib.ORXStartExposure(cam, 1 if dark else 0) == SUCCESS
    deadline = time.monotonic() + timeout
    while exp_status(lib, cam) == EXP_WORKING:
        assert time.monotonic() < deadline, "exposure did not finish"
        time.sleep(0.0005)
    assert exp_status(lib, cam) == EXP_SUCCESS
    n = frame_size(lib, cam)
    buf = ctypes.create_string_buffer(n)
    if gps is None:
        assert lib.ORXGetDataAfterExp(cam, buf, n) == SUCCESS
    else:
        assert lib.ORXGetDataAfterExpGPS(cam, buf, n, ctypes.byref(gps)) == SUCCESS
    return buf.raw


def log_lines(lib):
    out = []
    buf = ctypes.create_string_buffer(4096)
    for i in range(lib.ORXSimLogCount()):
        n = lib.ORXSimLogEntry(i, buf, len(buf))
        assert n >= 0
        out.append(buf.value.decode())
    return out
