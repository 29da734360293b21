"""The module namespace of orx written in plain Python: the same eight
IntEnum classes and 26 exception classes (and the status table), for
comparing the cost of `import orx` with that of an ordinary module."""
from typing import Optional  # orx binds it too
from enum import IntEnum


class BayerPattern(IntEnum):
    BAYER_RG = 0
    BAYER_BG = 1
    BAYER_GR = 2
    BAYER_GB = 3

class ImgType(IntEnum):
    IMG_RAW8 = 0
    IMG_RGB24 = 1
    IMG_RAW16 = 2
    IMG_Y8 = 3
    IMG_END = -1

class ControlType(IntEnum):
    ORX_GAIN = 0
    ORX_EXPOSURE = 1
    ORX_GAMMA = 2
    ORX_WB_R = 3
    ORX_WB_B = 4
    ORX_OFFSET = 5
    ORX_BANDWIDTHOVERLOAD = 6
    ORX_OVERCLOCK = 7
    ORX_TEMPERATURE = 8
    ORX_FLIP = 9
    ORX_AUTO_MAX_GAIN = 10
    ORX_AUTO_MAX_EXP = 11
    ORX_AUTO_TARGET_BRIGHTNESS = 12
    ORX_HARDWARE_BIN = 13
    ORX_HIGH_SPEED_MODE = 14
    ORX_COOLER_POWER_PERC = 15
    ORX_TARGET_TEMP = 16
    ORX_COOLER_ON = 17
    ORX_MONO_BIN = 18
    ORX_FAN_ON = 19
    ORX_PATTERN_ADJUST = 20
    ORX_ANTI_DEW_HEATER = 21
    ORX_FAN_ADJUST = 22
    ORX_PWRLED_BRIGNT = 23
    ORX_USBHUB_RESET = 24
    ORX_GPS_SUPPORT = 25
    ORX_GPS_START_LINE = 26
    ORX_GPS_END_LINE = 27
    ORX_ROLLING_INTERVAL = 28

class CameraMode(IntEnum):
    ORX_MODE_NORMAL = 0
    ORX_MODE_TRIG_SOFT_EDGE = 1
    ORX_MODE_TRIG_RISE_EDGE = 2
    ORX_MODE_TRIG_FALL_EDGE = 3
    ORX_MODE_TRIG_SOFT_LEVEL = 4
    ORX_MODE_TRIG_HIGH_LEVEL = 5
    ORX_MODE_TRIG_LOW_LEVEL = 6
    ORX_MODE_END = -1

class GuideDirection(IntEnum):
    ORX_GUIDE_NORTH = 0
    ORX_GUIDE_SOUTH = 1
    ORX_GUIDE_EAST = 2
    ORX_GUIDE_WEST = 3

class FlipStatus(IntEnum):
    ORX_FLIP_NONE = 0
    ORX_FLIP_HORIZ = 1
    ORX_FLIP_VERT = 2
    ORX_FLIP_BOTH = 3

class TrigOutput(IntEnum):
    ORX_TRIG_OUTPUT_PINA = 0
    ORX_TRIG_OUTPUT_PINB = 1
    ORX_TRIG_OUTPUT_NONE = -1

class ExposureStatus(IntEnum):
    ORX_EXP_IDLE = 0
    ORX_EXP_WORKING = 1
    ORX_EXP_SUCCESS = 2
    ORX_EXP_FAILED = 3


class ORXError(Exception):
    'Base exception class for all ORX errors.'

class ORXSuccess(ORXError):
    'ORX operation completed successfully.'

class ORXInvalidIndex(ORXError):
    'Invalid index: No camera connected or index value out of boundary.'

class ORXInvalidID(ORXError):
    'Invalid camera ID provided.'

class ORXCameraClosed(ORXError):
    'Failed to open camera: Camera is closed.'

class ORXCameraRemoved(ORXError):
    'Camera removed: Failed to find the camera, it might have been disconnected.'

class ORXTimeout(ORXError):
    'Operation timed out.'

class ORXGeneralError(ORXError):
    'General error: Value is out of valid range.'

class ORXInvalidControlType(ORXError):
    'Invalid control type provided.'

class ORXInvalidPath(ORXError):
    'Invalid file path provided.'

class ORXInvalidFileFormat(ORXError):
    'Invalid file format provided.'

class ORXInvalidSize(ORXError):
    'Invalid video format size.'

class ORXInvalidImageType(ORXError):
    'Unsupported image format.'

class ORXOutOfBoundary(ORXError):
    'The start position is out of boundary.'

class ORXInvalidSequence(ORXError):
    'Stop capture first: Invalid sequence of operations.'

class ORXBufferTooSmall(ORXError):
    'Buffer size is too small for the operation.'

class ORXVideoModeActive(ORXError):
    'Operation failed because video mode is currently active.'

class ORXExposureInProgress(ORXError):
    'Cannot perform operation while exposure is in progress.'

class ORXInvalidMode(ORXError):
    'The current mode is incorrect for this operation.'

class ORXGPSNotSupported(ORXError):
    'GPS is not supported by this camera.'

class ORXGPSVersionError(ORXError):
    'The FPGA GPS version is too low for the requested operation.'

class ORXGPSFPGAError(ORXError):
    'Failed to read or write data to FPGA for GPS.'

class ORXGPSParamOutOfRange(ORXError):
    'GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1.'

class ORXGPSDataInvalid(ORXError):
    'Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data.'

class ORXErrorEnd(ORXError):
    'End of ORX error codes.'

class ORXUnknownErrorCode(ORXError):
    'End of ORX error codes.'


ORX_ERROR_CODE_TO_EXCEPTION = {
    0: ORXSuccess,
    1: ORXInvalidIndex,
    2: ORXInvalidID,
    3: ORXCameraClosed,
    4: ORXCameraRemoved,
    5: ORXTimeout,
    6: ORXGeneralError,
    7: ORXInvalidIndex,
    8: ORXInvalidID,
    9: ORXInvalidControlType,
    10: ORXCameraClosed,
    11: ORXCameraRemoved,
    12: ORXInvalidPath,
    13: ORXInvalidFileFormat,
    14: ORXInvalidSize,
    15: ORXInvalidImageType,
    16: ORXOutOfBoundary,
    17: ORXTimeout,
    18: ORXInvalidSequence,
    19: ORXBufferTooSmall,
    20: ORXVideoModeActive,
    21: ORXExposureInProgress,
    22: ORXGeneralError,
    23: ORXInvalidMode,
    24: ORXGPSNotSupported,
    25: ORXGPSVersionError,
    26: ORXGPSFPGAError,
    27: ORXGPSParamOutOfRange,
    28: ORXGPSDataInvalid,
    29: ORXErrorEnd,
}
