"""The exposure cycle of one camera: start, watch, download, abort; the image
and the members that report on it."""
from __future__ import annotations

import asyncio
import datetime
import logging
import time
from typing import TYPE_CHECKING, Any, Optional

import orx
from orxdevice import camera as shared

from . import errors
from .errors import AlpacaError
from .imaging import Image
from .params import Params

if TYPE_CHECKING:
    from .camera import CameraDevice

log = logging.getLogger(__name__)

IDLE, WAITING, EXPOSING, READING, DOWNLOAD, ERROR = range(6)
MICROSECONDS = shared.MICROSECONDS
POLL_S = 0.005          # status polling once the exposure time is over


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
        if not (low <= duration <= high or duration == 0):
            raise errors.invalid_value(f"Duration {duration} s is outside {low}..{high} s (or 0 for the shortest)")
        async with dev.lock:
            self.require_idle("start an exposure")
            plan = dev.frame_plan()
            await dev.call("starting the exposure", shared.start_exposure, dev.camera_id, plan,
                           max(duration, low), light)
            self._generation += 1
            self.image, self.error = None, None
            self.start_time = datetime.datetime.now(datetime.timezone.utc)
            self.duration = duration
            self._started = time.monotonic()
            self._seconds = duration * dev.time_scale()
            self.state = EXPOSING
            self._task = asyncio.get_running_loop().create_task(
                self._watch(self._generation, plan, dev.max_adu))

    async def _watch(self, generation: int, plan: shared.FramePlan, max_adu: int) -> None:
        dev = self.device
        try:
            while True:
                remaining = self._started + self._seconds - time.monotonic()
                await asyncio.sleep(min(max(remaining / 2, POLL_S), 0.25))
                status = await dev.call("reading the exposure status", shared.exposure_status, dev.camera_id)
                if generation != self._generation:
                    return
                if status == orx.ExposureStatus.ORX_EXP_SUCCESS:
                    break
                if status != orx.ExposureStatus.ORX_EXP_WORKING:
                    raise AlpacaError(errors.DRIVER_BASE, "the camera reported a failed exposure")
                if remaining <= 0:
                    self.state = READING
            self.state = DOWNLOAD

            def fetch() -> Image:
                return Image(shared.read_frame(dev.camera_id, plan), max_adu, plan.bayer_offset)
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
        await dev.call("aborting the exposure", shared.abort_exposure, dev.camera_id)
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
        return 0                         # idle, nothing exposed yet

    def _last(self, value: Any, what: str) -> Any:
        if value is None:
            raise errors.invalid_operation(f"{what}: no exposure has been taken yet")
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
