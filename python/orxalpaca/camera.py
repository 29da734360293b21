"""One camera served as an Alpaca Camera device: connection, settings and
sensor facts. The exposure cycle is in :mod:`orxalpaca.exposure`.

Members are coroutines named ``get_<member>`` and ``put_<member>`` (lower
case) taking the request's :class:`~orxalpaca.params.Params`; the HTTP layer
finds them by name. Camera calls run in the server's thread pool, never on the
event loop.
"""
from __future__ import annotations

import asyncio
import logging
import time
import uuid
from concurrent.futures import Executor
from typing import Any, Callable, Optional

import orx
from orxdevice import camera as shared

from . import errors
from .errors import AlpacaError
from .exposure import ExposureCycle
from .params import Params

log = logging.getLogger(__name__)

Ctl = orx.ControlType
UNIQUE_ID_NAMESPACE = uuid.UUID("5b0e4a36-8f53-4f0e-9d2f-2b7f3c1d6a10")

# Alpaca SensorType
MONOCHROME, COLOR, RGGB = 0, 1, 2
# the guide directions by their names in the Alpaca interface
GUIDE_DIRECTIONS = {"guideNorth": 0, "guideSouth": 1, "guideEast": 2, "guideWest": 3}
READOUT_NAMES = {orx.ImgType.IMG_RAW8: "RAW8", orx.ImgType.IMG_RAW16: "RAW16",
                 orx.ImgType.IMG_RGB24: "RGB24", orx.ImgType.IMG_Y8: "Y8"}
#: the longest guide pulse (the interface's Duration is a 32-bit integer of milliseconds)
MAX_PULSE_MS = 2**31 - 1
# members a client may use before connecting
UNCONNECTED = {"connected", "connecting", "connect", "disconnect", "description", "driverinfo",
               "driverversion", "interfaceversion", "name", "supportedactions", "action",
               "commandblind", "commandbool", "commandstring"}


def _numeric_control(control: Ctl, name: str) -> tuple[Callable[..., Any], ...]:
    """The members of a numeric setting: its value (read, write), limits and
    the list of names, which numeric settings do not have."""
    async def get(self: "CameraDevice", p: Params) -> int:
        return await self.control(control, name)

    async def put(self: "CameraDevice", p: Params) -> None:
        await self.set_control(control, name, p.int(name))

    async def low(self: "CameraDevice", p: Params) -> int:
        return self._caps(control, f"{name}Min").min_value

    async def high(self: "CameraDevice", p: Params) -> int:
        return self._caps(control, f"{name}Max").max_value

    async def names(self: "CameraDevice", p: Params) -> list[str]:
        raise errors.not_implemented(f"{name}s ({name} is numeric: {name}Min..{name}Max)")
    return get, put, low, high, names


def _subframe_member(attribute: str, name: str) -> tuple[Callable[..., Any], ...]:
    """Read and write a subframe number, kept until the next exposure checks it."""
    async def get(self: "CameraDevice", p: Params) -> int:
        return getattr(self, attribute)

    async def put(self: "CameraDevice", p: Params) -> None:
        value = p.int(name)
        if value < 0:
            raise errors.invalid_value(f"{name} {value} is negative")
        setattr(self, attribute, value)
    return get, put


class CameraDevice:
    def __init__(self, number: int, camera_id: int, pool: Executor,
                 time_scale: Callable[[], float] = lambda: 1.0, driver_version: str = "") -> None:
        info = orx.get_camera_property_by_id(camera_id)
        self.sensor = shared.Sensor.of(camera_id)
        self.number = number
        self.camera_id = camera_id
        self.name = info.name
        self.unique_id = str(uuid.uuid5(UNIQUE_ID_NAMESPACE, f"{info.name}/{camera_id}"))
        self.width = info.max_width
        self.height = info.max_height
        self.color = info.is_color_camera
        self.bayer = info.bayer_pattern
        self.bins = list(info.supported_bins)
        self.modes = list(info.supported_video_formats)
        self.pixel_size = info.pixel_size
        self.bit_depth = info.bit_depth
        self.elec_per_adu = info.elec_per_adu
        self.has_shutter = info.mechanical_shutter
        self.st4 = info.st_4_port
        self.cooled = info.is_cooler_cam
        self.driver_version = driver_version
        self.time_scale = time_scale
        self._pool = pool
        self.caps: dict[int, Any] = {}      # control type -> ControlCaps, read at connection
        self.connected = False
        self._connecting: Optional[asyncio.Task] = None
        self.lock = asyncio.Lock()          # settings that the exposure cycle reads, and the cycle
        # subframe and readout, applied at the start of each exposure
        self.bin = 1
        self.start_x = self.start_y = 0
        self.num_x, self.num_y = self.width, self.height
        self.readout = self.modes.index(orx.ImgType.IMG_RAW16) if orx.ImgType.IMG_RAW16 in self.modes else 0
        self.exposure = ExposureCycle(self)
        self._pulses: dict[int, asyncio.Task] = {}
        self._set_temperature: Optional[float] = None

    # -- plumbing ------------------------------------------------------------

    async def call(self, doing: str, fn: Callable[..., Any], *args: Any) -> Any:
        """``fn(*args)`` in the thread pool; library errors become Alpaca errors."""
        loop = asyncio.get_running_loop()
        try:
            return await loop.run_in_executor(self._pool, fn, *args)
        except orx.ORXError as exc:
            if isinstance(exc, (orx.ORXCameraRemoved, orx.ORXInvalidID)):
                self.connected = False
            raise errors.from_library(exc, doing) from None

    def handler(self, verb: str, member: str) -> Optional[Callable[[Params], Any]]:
        fn = getattr(self, f"{verb.lower()}_{member}", None) or getattr(self.exposure, f"{verb.lower()}_{member}", None)
        if fn is None:
            return None
        if member in UNCONNECTED:
            return fn

        async def checked(params: Params) -> Any:
            if not self.connected:
                raise errors.not_connected(self.name)
            return await fn(params)
        return checked

    def has(self, control: Ctl) -> bool:
        return int(control) in self.caps

    def _caps(self, control: Ctl, member: str) -> Any:
        caps = self.caps.get(int(control))
        if caps is None:
            raise errors.not_implemented(member)
        return caps

    async def control(self, control: Ctl, member: str) -> int:
        self._caps(control, member)
        return (await self.call(f"reading {member}", orx.get_control_value, self.camera_id, control))[0]

    async def set_control(self, control: Ctl, member: str, value: int) -> None:
        caps = self._caps(control, member)
        if not caps.min_value <= value <= caps.max_value:
            raise errors.invalid_value(f"{member} {value} is outside {caps.min_value}..{caps.max_value}")
        await self.call(f"setting {member}", orx.set_control_value, self.camera_id, control, value, False)

    @property
    def img_type(self) -> orx.ImgType:
        return self.modes[self.readout]

    @property
    def max_adu(self) -> int:
        return 65535 if self.img_type == orx.ImgType.IMG_RAW16 else 255

    # -- connection ----------------------------------------------------------

    async def connect(self) -> None:
        if self.connected:
            return
        cid = self.camera_id
        await self.call("opening the camera", orx.open_camera, cid)
        await self.call("initialising the camera", orx.init_camera, cid)

        def read_caps() -> dict[int, Any]:
            found = {}
            for i in range(orx.get_num_of_controls(cid)):
                caps = orx.get_control_caps(cid, i)
                found[int(caps.control_type)] = caps
            return found
        self.caps = await self.call("reading the controls", read_caps)
        self.connected = True
        log.info("camera %d (%s) connected", self.number, self.name)

    async def disconnect(self) -> None:
        if not self.connected:
            return
        await self.exposure.abort()
        for task in self._pulses.values():
            task.cancel()
        self._pulses.clear()
        self.connected = False
        await self.call("closing the camera", orx.close_camera, self.camera_id)
        log.info("camera %d (%s) disconnected", self.number, self.name)

    async def _run_connection(self, coro: Any) -> None:
        try:
            await coro
        except AlpacaError as exc:
            log.warning("camera %d: %s", self.number, exc.message)

    def _start_connection(self, coro: Any) -> None:
        if self._connecting is not None and not self._connecting.done():
            coro.close()
            raise errors.invalid_operation("a connection change is already under way")
        self._connecting = asyncio.get_running_loop().create_task(self._run_connection(coro))

    async def _settled(self) -> None:
        if self._connecting is not None:
            await asyncio.shield(self._connecting)

    async def get_connected(self, p: Params) -> bool:
        return self.connected

    async def put_connected(self, p: Params) -> None:
        want = p.bool("Connected")
        await self._settled()
        await (self.connect() if want else self.disconnect())

    async def put_connect(self, p: Params) -> None:
        self._start_connection(self.connect())

    async def put_disconnect(self, p: Params) -> None:
        self._start_connection(self.disconnect())

    async def get_connecting(self, p: Params) -> bool:
        return self._connecting is not None and not self._connecting.done()

    # -- common device members -----------------------------------------------

    async def get_name(self, p: Params) -> str:
        return self.name

    async def get_description(self, p: Params) -> str:
        return f"{self.name} ({self.width}x{self.height}, {'colour' if self.color else 'mono'})"

    async def get_driverinfo(self, p: Params) -> str:
        return f"orx Alpaca camera server, camera library {orx.get_sdk_version()}"

    async def get_driverversion(self, p: Params) -> str:
        return self.driver_version

    async def get_interfaceversion(self, p: Params) -> int:
        return 4

    async def get_supportedactions(self, p: Params) -> list[str]:
        return []

    async def put_action(self, p: Params) -> None:
        raise AlpacaError(errors.ACTION_NOT_IMPLEMENTED, f"action {p.str('Action')!r} is not implemented")

    async def put_commandblind(self, p: Params) -> None:
        raise errors.not_implemented("CommandBlind")

    put_commandbool = put_commandstring = put_commandblind

    async def get_devicestate(self, p: Params) -> list[dict[str, Any]]:
        state: list[dict[str, Any]] = []

        async def add(name: str, getter: Callable[[Params], Any]) -> None:
            try:
                state.append({"Name": name, "Value": await getter(p)})
            except AlpacaError:
                pass                     # members the camera lacks are left out
        await add("CameraState", self.exposure.get_camerastate)
        if self.has(Ctl.ORX_TEMPERATURE):
            await add("CCDTemperature", self.get_ccdtemperature)
        if self.has(Ctl.ORX_COOLER_POWER_PERC):
            await add("CoolerPower", self.get_coolerpower)
        await add("ImageReady", self.exposure.get_imageready)
        if self.st4:
            await add("IsPulseGuiding", self.get_ispulseguiding)
        await add("PercentCompleted", self.exposure.get_percentcompleted)
        state.append({"Name": "TimeStamp", "Value": time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime())})
        return state

    # -- sensor facts --------------------------------------------------------

    async def get_cameraxsize(self, p: Params) -> int:
        return self.width

    async def get_cameraysize(self, p: Params) -> int:
        return self.height

    async def get_pixelsizex(self, p: Params) -> float:
        return self.pixel_size

    get_pixelsizey = get_pixelsizex

    async def get_sensorname(self, p: Params) -> str:
        return ""                        # the library does not name the sensor chip

    async def get_sensortype(self, p: Params) -> int:
        if self.img_type == orx.ImgType.IMG_RGB24:
            return COLOR
        if not self.color or self.img_type == orx.ImgType.IMG_Y8:
            return MONOCHROME
        return RGGB

    def frame_plan(self) -> shared.FramePlan:
        """How the camera reads the frame the client has set up; InvalidValue if it is off the sensor."""
        try:
            return shared.plan_frame(self.sensor, self.bin, self.start_x, self.start_y,
                                     self.num_x, self.num_y, self.img_type)
        except shared.SubframeError as exc:
            raise errors.invalid_value(str(exc)) from None

    async def _bayer_offset(self, axis: int) -> int:
        kind = await self.get_sensortype(Params({}))
        if kind == MONOCHROME:
            raise errors.not_implemented("BayerOffset (the image is monochrome)")
        if kind == COLOR:
            return 0                     # every pixel has all three colours: no mosaic to place
        # the pattern of the pixels delivered: an odd start shifts it
        return shared.mosaic_offset(self.bayer, self.start_x, self.start_y)[axis]

    async def get_bayeroffsetx(self, p: Params) -> int:
        return await self._bayer_offset(0)

    async def get_bayeroffsety(self, p: Params) -> int:
        return await self._bayer_offset(1)

    async def get_maxadu(self, p: Params) -> int:
        return self.max_adu

    async def get_electronsperadu(self, p: Params) -> float:
        # elec_per_adu is at the lowest gain in the sensor's native bits; the
        # gain control is in 0.1 dB steps
        gain = await self.control(Ctl.ORX_GAIN, "Gain") if self.has(Ctl.ORX_GAIN) else 0
        native = self.elec_per_adu * (1 << self.bit_depth) / (self.max_adu + 1)
        return native / 10 ** (gain / 200)

    async def get_fullwellcapacity(self, p: Params) -> float:
        return await self.get_electronsperadu(p) * self.max_adu

    async def get_hasshutter(self, p: Params) -> bool:
        return self.has_shutter

    # -- binning, subframe, readout ------------------------------------------

    async def get_binx(self, p: Params) -> int:
        return self.bin

    get_biny = get_binx

    def _set_bin(self, name: str, value: int) -> None:
        if value not in self.bins:
            raise errors.invalid_value(f"{name} {value} is not supported (supported: {self.bins})")
        self.bin = value                 # symmetric binning only: BinX and BinY move together

    async def put_binx(self, p: Params) -> None:
        self._set_bin("BinX", p.int("BinX"))

    async def put_biny(self, p: Params) -> None:
        self._set_bin("BinY", p.int("BinY"))

    async def get_maxbinx(self, p: Params) -> int:
        return max(self.bins)

    get_maxbiny = get_maxbinx

    async def get_canasymmetricbin(self, p: Params) -> bool:
        return False

    get_startx, put_startx = _subframe_member("start_x", "StartX")
    get_starty, put_starty = _subframe_member("start_y", "StartY")
    get_numx, put_numx = _subframe_member("num_x", "NumX")
    get_numy, put_numy = _subframe_member("num_y", "NumY")

    async def get_readoutmodes(self, p: Params) -> list[str]:
        return [READOUT_NAMES.get(m, m.name) for m in self.modes]

    async def get_readoutmode(self, p: Params) -> int:
        return self.readout

    async def put_readoutmode(self, p: Params) -> None:
        value = p.int("ReadoutMode")
        if not 0 <= value < len(self.modes):
            raise errors.invalid_value(f"ReadoutMode {value} is outside 0..{len(self.modes) - 1}")
        async with self.lock:
            self.exposure.require_idle("change the readout mode")
            self.readout = value

    async def get_canfastreadout(self, p: Params) -> bool:
        return False

    async def get_fastreadout(self, p: Params) -> bool:
        raise errors.not_implemented("FastReadout")

    put_fastreadout = get_fastreadout

    # -- gain and offset -----------------------------------------------------

    get_gain, put_gain, get_gainmin, get_gainmax, get_gains = _numeric_control(Ctl.ORX_GAIN, "Gain")
    get_offset, put_offset, get_offsetmin, get_offsetmax, get_offsets = _numeric_control(Ctl.ORX_OFFSET, "Offset")

    # -- cooling -------------------------------------------------------------

    async def get_ccdtemperature(self, p: Params) -> float:
        return await self.control(Ctl.ORX_TEMPERATURE, "CCDTemperature") / 10

    async def get_heatsinktemperature(self, p: Params) -> float:
        raise errors.not_implemented("HeatSinkTemperature")

    async def get_cansetccdtemperature(self, p: Params) -> bool:
        return self.has(Ctl.ORX_TARGET_TEMP) and self.has(Ctl.ORX_COOLER_ON)

    async def get_cangetcoolerpower(self, p: Params) -> bool:
        return self.has(Ctl.ORX_COOLER_POWER_PERC)

    async def get_cooleron(self, p: Params) -> bool:
        return bool(await self.control(Ctl.ORX_COOLER_ON, "CoolerOn"))

    async def put_cooleron(self, p: Params) -> None:
        await self.set_control(Ctl.ORX_COOLER_ON, "CoolerOn", int(p.bool("CoolerOn")))

    async def get_coolerpower(self, p: Params) -> float:
        return float(await self.control(Ctl.ORX_COOLER_POWER_PERC, "CoolerPower"))

    async def get_setccdtemperature(self, p: Params) -> float:
        target = await self.control(Ctl.ORX_TARGET_TEMP, "SetCCDTemperature")
        # the camera keeps whole degrees: a client reads back what it set
        if self._set_temperature is not None and round(self._set_temperature) == target:
            return self._set_temperature
        return float(target)

    async def put_setccdtemperature(self, p: Params) -> None:
        value = p.float("SetCCDTemperature")
        caps = self._caps(Ctl.ORX_TARGET_TEMP, "SetCCDTemperature")
        if not caps.min_value <= value <= caps.max_value:   # the camera takes whole degrees
            raise errors.invalid_value(
                f"SetCCDTemperature {value} is outside {caps.min_value}..{caps.max_value} degrees C")
        await self.set_control(Ctl.ORX_TARGET_TEMP, "SetCCDTemperature", round(value))
        self._set_temperature = value

    # -- guiding -------------------------------------------------------------

    async def get_canpulseguide(self, p: Params) -> bool:
        return self.st4

    async def get_ispulseguiding(self, p: Params) -> bool:
        if not self.st4:
            raise errors.not_implemented("IsPulseGuiding (the camera has no guide port)")
        return any(not t.done() for t in self._pulses.values())

    async def put_pulseguide(self, p: Params) -> None:
        direction, duration = p.member("Direction", GUIDE_DIRECTIONS), p.int("Duration")
        if not self.st4:
            raise errors.not_implemented("PulseGuide (the camera has no guide port)")
        if direction not in range(4):
            raise errors.invalid_value(f"Direction {direction} is not 0 (north), 1 (south), 2 (east) or 3 (west)")
        if not 0 <= duration <= MAX_PULSE_MS:
            raise errors.invalid_value(f"Duration {duration} ms is outside 0..{MAX_PULSE_MS}")
        way = orx.GuideDirection(direction)
        seconds = duration / 1000 * self.time_scale()        # worked out before the relay is switched
        previous = self._pulses.pop(direction, None)
        if previous is not None:
            previous.cancel()            # a new pulse replaces the running one in that direction
        try:
            await self.call("starting the guide pulse", orx.pulse_guide_on, self.camera_id, way)
            self._pulses[direction] = asyncio.get_running_loop().create_task(self._end_pulse(way, seconds))
        except BaseException:
            # whatever failed, the output must not stay on (the mount would drift for good)
            await self._relay_off(way)
            raise

    async def _relay_off(self, way: orx.GuideDirection) -> None:
        try:
            await asyncio.shield(self.call("ending the guide pulse", orx.pulse_guide_off, self.camera_id, way))
        except AlpacaError as exc:
            log.warning("camera %d: %s", self.number, exc.message)

    async def _end_pulse(self, way: orx.GuideDirection, seconds: float) -> None:
        # cancelled when a new pulse in the same direction replaces this one
        # (which switches the output on again) or at disconnection (closing the
        # camera ends its pulses)
        await asyncio.sleep(seconds)
        await self._relay_off(way)
