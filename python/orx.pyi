"""Type information for the ``orx`` extension module.

Every function takes its parameters by position or by keyword and has no
defaults. Integer parameters accept any number (``int(x)`` is applied) and
must fit in 32 bits signed. Parameters typed with an enumeration class
(``ControlType``, ``ImgType``, ``CameraMode``, ``GuideDirection``,
``TrigOutput``) need a member: the function reads its ``value`` attribute, so
a plain ``int`` raises ``AttributeError``. Library failures raise subclasses
of ``ORXError``.
"""

from enum import IntEnum
from typing import NoReturn

from typing_extensions import disjoint_base

# ---------------------------------------------------------------- records


@disjoint_base
class CameraInfo:
    """Description of one connected camera (``get_camera_property``)."""

    def __init__(self) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...
    @property
    def name(self) -> str:
        """Camera name. Writable with a text of exactly 64 ASCII characters (pad with NUL)."""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def camera_id(self) -> int:
        """The id every per-camera function takes."""
    @property
    def max_height(self) -> int: ...
    @property
    def max_width(self) -> int: ...
    @property
    def is_color_camera(self) -> bool: ...
    @property
    def bayer_pattern(self) -> BayerPattern: ...
    @property
    def supported_bins(self) -> list[int]: ...
    @property
    def supported_video_formats(self) -> list[ImgType]: ...
    @property
    def pixel_size(self) -> float:
        """Pixel size in micrometres."""
    @property
    def mechanical_shutter(self) -> bool: ...
    @property
    def st_4_port(self) -> bool:
        """The camera has a guide port (``pulse_guide_on``/``pulse_guide_off``)."""
    @property
    def is_cooler_cam(self) -> bool: ...
    @property
    def is_usb3_host(self) -> bool: ...
    @property
    def is_usb3_camera(self) -> bool: ...
    @property
    def elec_per_adu(self) -> float: ...
    @property
    def bit_depth(self) -> int: ...
    @property
    def is_trigger_cam(self) -> bool: ...


@disjoint_base
class ControlCaps:
    """Capabilities of one camera control (``get_control_caps``)."""

    def __init__(self) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...
    @property
    def name(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def max_value(self) -> int: ...
    @property
    def min_value(self) -> int: ...
    @property
    def default_value(self) -> int: ...
    @property
    def is_auto_supported(self) -> bool: ...
    @property
    def is_writable(self) -> bool: ...
    @property
    def control_type(self) -> ControlType: ...


@disjoint_base
class GpsData:
    """GPS time stamp and position of a frame or a sensor line."""

    def __init__(self) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...
    @property
    def latitude(self) -> float: ...
    @property
    def longitude(self) -> float: ...
    @property
    def altitude(self) -> int: ...
    @property
    def satellite_num(self) -> int: ...
    @property
    def year(self) -> int: ...
    @property
    def month(self) -> int: ...
    @property
    def day(self) -> int: ...
    @property
    def hour(self) -> int: ...
    @property
    def minute(self) -> int: ...
    @property
    def second(self) -> int: ...
    @property
    def m_second(self) -> int: ...
    @property
    def u_second(self) -> int: ...


@disjoint_base
class Id:
    """The camera's 8-byte identifier (or serial number)."""

    def __init__(self) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...
    @property
    def id(self) -> str:
        """Text up to the first NUL. Writable with a text whose UTF-8 form is exactly 8 bytes."""
    @id.setter
    def id(self, value: str) -> None: ...


@disjoint_base
class SupportedMode:
    """The camera modes a camera supports."""

    def __init__(self) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...
    @property
    def supported_camera_mode(self) -> list[int]: ...


# ----------------------------------------------------------- enumerations


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


# ------------------------------------------------------------- exceptions


class ORXError(Exception):
    """Base exception class for all ORX errors."""

class ORXSuccess(ORXError):
    """Status 0; never raised out of ``handle_error_code``."""

class ORXInvalidIndex(ORXError): ...
class ORXInvalidID(ORXError): ...
class ORXCameraClosed(ORXError): ...
class ORXCameraRemoved(ORXError): ...
class ORXTimeout(ORXError): ...
class ORXGeneralError(ORXError): ...
class ORXInvalidControlType(ORXError): ...
class ORXInvalidPath(ORXError): ...
class ORXInvalidFileFormat(ORXError): ...
class ORXInvalidSize(ORXError): ...
class ORXInvalidImageType(ORXError): ...
class ORXOutOfBoundary(ORXError): ...
class ORXInvalidSequence(ORXError): ...
class ORXBufferTooSmall(ORXError): ...
class ORXVideoModeActive(ORXError): ...
class ORXExposureInProgress(ORXError): ...
class ORXInvalidMode(ORXError): ...
class ORXGPSNotSupported(ORXError): ...
class ORXGPSVersionError(ORXError): ...
class ORXGPSFPGAError(ORXError): ...
class ORXGPSParamOutOfRange(ORXError): ...
class ORXGPSDataInvalid(ORXError): ...
class ORXErrorEnd(ORXError): ...

class ORXUnknownErrorCode(ORXError):
    """A status with no entry in ``ORX_ERROR_CODE_TO_EXCEPTION``."""

ORX_ERROR_CODE_TO_EXCEPTION: dict[int, type[ORXError]]
"""Library status (0 to 29) to the exception class raised for it; mutable."""

__test__: dict[str, object]

def handle_error_code(orx_error_code: int) -> None:
    """Return for status 0, raise the mapped ``ORXError`` subclass otherwise."""

# -------------------------------------------------------------- discovery

def get_number_of_connected_cameras() -> int:
    """Count of connected cameras (never raises)."""

def camera_check(i_vid: int, i_pid: int) -> int:
    """1 when the USB vendor and product id belong to a supported camera, else 0."""

def get_camera_property(camera_index: int) -> CameraInfo:
    """Description of the connected camera at ``camera_index`` (0 to count - 1)."""

def get_sdk_version() -> str:
    """Version text of the camera library."""

def get_camera_property_by_id(camera_id: int) -> CameraInfo:
    """Description of the camera with this camera id."""

# -------------------------------------------------------------- lifecycle

def open_camera(camera_id: int) -> None:
    """Claim the camera. Drops the interpreter lock while the library works."""

def init_camera(camera_id: int) -> None:
    """Prepare an open camera for capture. Drops the interpreter lock."""

def close_camera(camera_id: int) -> None:
    """Stop any capture and release the camera. Drops the interpreter lock."""

# ------------------------------------------------------- identity, modes

def get_id(i_camera_id: int) -> Id:
    """The identifier stored in the camera's flash."""

def set_id(camera_id: int, serial_number: Id) -> None:
    """Write a new identifier to the camera's flash. Drops the interpreter lock."""

def get_serial_number(camera_id: int) -> Id:
    """The camera's serial number."""

def get_camera_support_mode(camera_id: int) -> list[CameraMode]:
    """The capture and trigger modes the camera supports (as plain ``int`` values)."""

def get_camera_mode(camera_id: int) -> CameraMode:
    """The current capture or trigger mode."""

def set_camera_mode(camera_id: int, mode: CameraMode) -> None:
    """Set the capture or trigger mode (a ``CameraMode`` member)."""

# ---------------------------------------------------------------- snapshot

def start_exposure(camera_id: int, is_dark: bool) -> None:
    """Start one exposure with the current settings; ``is_dark`` keeps the shutter closed."""

def stop_exposure(camera_id: int) -> None:
    """End a running exposure early."""

def get_exp_status(camera_id: int) -> int:
    """State of the exposure: an ``int`` equal to an ``ExposureStatus`` member."""

def get_data_after_exp(camera_id: int, buffer_size: int) -> bytes:
    """The finished exposure's frame, exactly ``buffer_size`` bytes. Drops the interpreter lock."""

def get_data_after_exp_gps(camera_id: int, buffer_size: int) -> tuple[bytes, GpsData]:
    """As ``get_data_after_exp``, with the frame's GPS stamp."""

# ------------------------------------------------------------------- video

def start_video_capture(camera_id: int) -> None:
    """Switch the camera to continuous capture. Drops the interpreter lock."""

def stop_video_capture(camera_id: int) -> None:
    """Leave continuous capture. Drops the interpreter lock."""

def get_video_data(camera_id: int, buffer_size: int, wait_ms: int) -> bytes:
    """The next video frame, waiting up to ``wait_ms`` ms (-1: no limit); ``ORXTimeout`` when none came.

    Drops the interpreter lock while it waits.
    """

def get_video_data_gps(camera_id: int, buffer_size: int, wait_ms: int) -> tuple[bytes, GpsData]:
    """As ``get_video_data``, with the frame's GPS stamp."""

def get_dropped_frames(camera_id: int) -> int:
    """Frames the camera had to drop since video capture started."""

# ---------------------------------------------------------------- controls

def get_num_of_controls(camera_id: int) -> int:
    """Number of controls; their indices run from 0 to this - 1."""

def get_control_caps(camera_id: int, control_index: int) -> ControlCaps:
    """Capabilities of the control at ``control_index``."""

def get_control_value(camera_id: int, control_type: ControlType) -> tuple[int, bool]:
    """(value, automatic) of a control."""

def set_control_value(camera_id: int, control_type: ControlType, value: int, auto_mode: bool) -> None:
    """Set a control's value and whether the camera adjusts it automatically."""

# ------------------------------------------------------ region of interest

def set_roi_format(camera_id: int, width: int, height: int, bin: int, img_type: ImgType) -> None:
    """Frame size in binned pixels, binning factor and image type."""

def get_roi_format(camera_id: int) -> tuple[int, int, int, ImgType]:
    """(width, height, bin, image type) of the region of interest."""

def set_start_pos(camera_id: int, start_x: int, start_y: int) -> None:
    """Top-left corner of the region of interest."""

def get_start_pos(camera_id: int) -> tuple[int, int]:
    """(x, y) of the region of interest's top-left corner."""

# ------------------------------------------ dark frames, guiding, presets

def enable_dark_subtract(camera_id: int, bmp_path: str) -> None:
    """Subtract the dark frame in the BMP file ``bmp_path`` from every frame. Drops the interpreter lock."""

def disable_dark_subtract(camera_id: int) -> None:
    """Stop subtracting a dark frame."""

def pulse_guide_on(camera_id: int, direction: GuideDirection) -> None:
    """Start a guide pulse in ``direction`` (a ``GuideDirection`` member)."""

def pulse_guide_off(camera_id: int, direction: GuideDirection) -> None:
    """End the guide pulse in ``direction``."""

def get_gain_offset(camera_id: int) -> tuple[int, int, int, int]:
    """(offset at highest dynamic range, offset at unity gain, gain at lowest read noise, offset at lowest read noise)."""

def get_lmh_gain_offset(camera_id: int) -> tuple[int, int, int, int]:
    """(low gain, medium gain, high gain, high offset)."""

# ------------------------------------------------------------ triggers, GPS

def send_soft_trigger(camera_id: int, start: bool) -> None:
    """Start (True) or stop (False) an exposure in a soft trigger mode."""

def set_trigger_output_io_conf(camera_id: int, pin: TrigOutput, pin_high: bool, delay: int, duration: int) -> None:
    """Configure a trigger output pin (a ``TrigOutput`` member); delay and duration in microseconds."""

def get_trigger_output_io_conf(camera_id: int, pin: int) -> tuple[bool, int, int]:
    """(pin high, delay, duration) of a trigger output pin."""

def gps_get_data(camera_id: int) -> tuple[GpsData, GpsData]:
    """GPS stamps of the latest frame's start line and end line."""
