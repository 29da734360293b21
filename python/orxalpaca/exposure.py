"""The exposure cycle of one camera: start, watch, download, abort; the image
and the members that report on it."""
from __future__ import annotations

import asyncio
import datetime
import logging
import time
from typing import TYPE_CHECKING, Any, Optional

import orx

from . import errors
from .errors import AlpacaError
from .imaging import Image, frame_to_array
from .params import Params

if TYPE_CHECKING:
    from .camera import CameraDevice

log = logging.getLogger(__name__)

IDLE, WAITING, EXPOSING, READING, DOWNLOAD, ERROR = range(6)
MICROSECONDS = 1_000_000
# The camera's region rules: width a multiple of 8 and height even (binned
# pixels). Subframes that break them are read wider or higher and cropped.
WIDTH_STEP, HEIGHT_STEP = 8, 2
POLL_S = 0.005          # status polling once the exposure time is over


class Region:
    """A subframe as the camera reads it and the crop that gives the client's."""

    def __init__(self, x: int, y: int, width: int, height: int, crop_x: int, crop_y: int,
                 num_x: int, num_y: int) -> None:
        self.x, self.y, self.width, self.height = x, y, width, height
        self.crop_x, self.crop_y, self.num_x, self.num_y = crop_x, crop_y, num_x, num_y


def _round_up(value: int, step: int) -> int:
    return -(-value // step) * step


def camera_region(start_x: int, start_y: int, num_x: int, num_y: int, binned_w: int, binned_h: int) -> Region:
    """The region to read for a client's subframe (binned pixels), or InvalidValue."""
    if num_x < 1 or num_y < 1 or start_x + num_x > binned_w or start_y + num_y > binned_h:
        raise errors.invalid_value(
            f"subframe StartX={start_x} StartY={start_y} NumX={num_x} NumY={num_y} "
            f"does not fit the {binned_w}x{binned_h} binned sensor")
    width, height = _round_up(num_x, WIDTH_STEP), _round_up(num_y, HEIGHT_STEP)
    if width > binned_w or height > binned_h:
        raise errors.invalid_value(
            f"the camera reads at most {binned_w // WIDTH_STEP * WIDTH_STEP}x"
            f"{binned_h // HEIGHT_STEP * HEIGHT_STEP} binned pixels at this binning "
            f"(widths in steps of {WIDTH_STEP}, heights in steps of {HEIGHT_STEP})")
    x, y = min(start_x, binned_w - width), min(start_y, binned_h - height)
    return Region(x, y, width, height, start_x - x, start_y - y, num_x, num_y)


class ExposureCycle:
    def __init__(self, device: CameraDevice) -> None:
        self.device = device
        self.state = IDLE
        self.image: Optional[Image] = None
        self.error: Optional[str] = None          # why the last exposure failed
        self.start_time: Optional[datetime.datetime] = None
        self.duration: Optional[float] = None
        self._started = 0.0                        # monotonic, at the start
        self._seconds = 0.0                        # wall-clock length of the exposure
        self._generation = 0
        self._task: Optional[asyncio.Task] = None

    def require_idle(self, what: str) -> None:
        if self.state in (WAITING, EXPOSING, READING, DOWNLOAD):
            raise errors.invalid_operation(f"cannot {what} while an exposure is in progress")

    async def _exposure_limits(self) -> tuple[float, float]:
        caps = self.device._caps(orx.ControlType.ORX_EXPOSURE, "Exposure")
        return caps.min_value / MICROSECONDS, caps.max_value / MICROSECONDS

    # -- the cycle -----------------------------------------------------------

    async def put_startexposure(self, p: Params) -> None:
        duration, light = p.float("Duration"), p.bool("Light")
        dev = self.device
        low, high = await self._exposure_limits()
        if not low <= duration <= high:
            raise errors.invalid_value(f"Duration {duration} s is outside {low}..{high} s")
        async with dev.lock:
            self.require_idle("start an exposure")
            region = camera_region(dev.start_x, dev.start_y, dev.num_x, dev.num_y,
                                   dev.width // dev.bin, dev.height // dev.bin)
            cid, img_type, binning = dev.camera_id, dev.img_type, dev.bin

            def start() -> None:
                orx.set_roi_format(cid, region.width, region.height, binning, img_type)
                orx.set_start_pos(cid, region.x, region.y)
                orx.set_control_value(cid, orx.ControlType.ORX_EXPOSURE,
                                      max(1, round(duration * MICROSECONDS)), False)
                orx.start_exposure(cid, not light)
            await dev.call("starting the exposure", start)
            self._generation += 1
            self.image, self.error = None, None
            self.start_time = datetime.datetime.now(datetime.timezone.utc)
            self.duration = duration
            self._started = time.monotonic()
            self._seconds = duration * dev.time_scale()
            self.state = EXPOSING
            self._task = asyncio.get_running_loop().create_task(
                self._watch(self._generation, region, img_type, dev.max_adu))

    async def _watch(self, generation: int, region: Region, img_type: orx.ImgType, max_adu: int) -> None:
        dev = self.device
        try:
            while True:
                remaining = self._started + self._seconds - time.monotonic()
                await asyncio.sleep(min(max(remaining / 2, POLL_S), 0.25))
                status = await dev.call("reading the exposure status", orx.get_exp_status, dev.camera_id)
                if generation != self._generation:
                    return
                if status == orx.ExposureStatus.ORX_EXP_SUCCESS:
                    break
                if status != orx.ExposureStatus.ORX_EXP_WORKING:
                    raise AlpacaError(errors.DRIVER_BASE, "the camera reported a failed exposure")
                if remaining <= 0:
                    self.state = READING
            self.state = DOWNLOAD
            size = region.width * region.height * (2 if img_type == orx.ImgType.IMG_RAW16 else
                                                   3 if img_type == orx.ImgType.IMG_RGB24 else 1)

            def fetch() -> Image:
                frame = orx.get_data_after_exp(dev.camera_id, size)
                pixels = frame_to_array(frame, region.width, region.height, img_type)
                pixels = pixels[region.crop_y:region.crop_y + region.num_y,
                                region.crop_x:region.crop_x + region.num_x]
                return Image(pixels, max_adu)
            image = await dev.call("downloading the image", fetch)
            if generation == self._generation:
                self.image, self.state = image, IDLE
        except AlpacaError as exc:
            if generation == self._generation:
                self.state, self.error = ERROR, exc.message
                log.warning("camera %d: %s", dev.number, exc.message)
        except asyncio.CancelledError:
            raise
        except Exception:                        # never leave the state stuck
            log.exception("camera %d: exposure watcher failed", dev.number)
            if generation == self._generation:
                self.state, self.error = ERROR, "internal error while exposing"

    async def abort(self) -> None:
        if self.state not in (WAITING, EXPOSING, READING, DOWNLOAD):
            return
        self._generation += 1                    # the watcher's result is dropped
        if self._task is not None:
            self._task.cancel()
        self.state = IDLE
        dev = self.device
        await dev.call("aborting the exposure", orx.stop_exposure, dev.camera_id)
        log.info("camera %d: aborted the exposure", dev.number)

    async def put_abortexposure(self, p: Params) -> None:
        await self.abort()

    async def get_canabortexposure(self, p: Params) -> bool:
        return True

    async def get_canstopexposure(self, p: Params) -> bool:
        return False

    async def put_stopexposure(self, p: Params) -> None:
        raise errors.not_implemented(
            "StopExposure (the camera cannot end an exposure early and keep the image; use AbortExposure)")

    # -- reporting -----------------------------------------------------------

    async def get_camerastate(self, p: Params) -> int:
        return self.state

    async def get_imageready(self, p: Params) -> bool:
        return self.image is not None

    async def get_percentcompleted(self, p: Params) -> int:
        if self.state == EXPOSING:
            if self._seconds <= 0:
                return 100
            return min(100, int(100 * (time.monotonic() - self._started) / self._seconds))
        if self.state in (READING, DOWNLOAD) or (self.state == IDLE and self.image is not None):
            return 100
        if self.state == ERROR:
            raise errors.invalid_operation(f"the last exposure failed: {self.error}")
        raise errors.invalid_operation("no exposure has been started")

    def _last(self, value: Any, what: str) -> Any:
        if value is None:
            raise AlpacaError(errors.VALUE_NOT_SET, f"{what}: no exposure has been taken yet")
        return value

    async def get_lastexposurestarttime(self, p: Params) -> str:
        start = self._last(self.start_time, "LastExposureStartTime")
        return start.strftime("%Y-%m-%dT%H:%M:%S.") + f"{start.microsecond // 1000:03d}"

    async def get_lastexposureduration(self, p: Params) -> float:
        return self._last(self.duration, "LastExposureDuration")

    async def get_exposuremin(self, p: Params) -> float:
        return (await self._exposure_limits())[0]

    async def get_exposuremax(self, p: Params) -> float:
        return (await self._exposure_limits())[1]

    async def get_exposureresolution(self, p: Params) -> float:
        return 1 / MICROSECONDS

    async def get_subexposureduration(self, p: Params) -> float:
        raise errors.not_implemented("SubExposureDuration")

    put_subexposureduration = get_subexposureduration

    def ready_image(self) -> Image:
        if self.image is None:
            if self.state == ERROR:
                raise errors.invalid_operation(f"no image: the last exposure failed ({self.error})")
            raise errors.invalid_operation("no image is ready")
        return self.image

    async def get_imagearray(self, p: Params) -> Image:
        return self.ready_image()

    get_imagearrayvariant = get_imagearray
