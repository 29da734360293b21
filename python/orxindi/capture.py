"""Exposures, the image's upload (BLOB to the client, a file on the camera's
machine, or both) and video streaming of one camera device."""
from __future__ import annotations

import asyncio
import datetime as dt
import logging
import os
import re
import threading
import time
import xml.etree.ElementTree as ET
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

import orx
from orxdevice import bayer
from orxdevice import camera as layer

from . import image
from .errors import CameraError, describe
from .properties import FORMAT_NAMES
from .output import SharedBuffer, attached_blob_message

if TYPE_CHECKING:
    from .device import CameraDevice

log = logging.getLogger(__name__)
Ctl = orx.ControlType
POLL_S = 0.005                 # status polling once the exposure time is over
COUNTDOWN_S = 1.0              # CCD_EXPOSURE counts down at this wall-clock interval
IMAGE_TYPES = {"FRAME_LIGHT": "Light Frame", "FRAME_BIAS": "Bias Frame", "FRAME_DARK": "Dark Frame",
               "FRAME_FLAT": "Flat Frame"}


def timestamp() -> str:
    return dt.datetime.now(dt.timezone.utc).replace(tzinfo=None).isoformat(timespec="seconds")


def blob_elements(device: str, fmt: str, size: int) -> tuple[ET.Element, ET.Element]:
    vector = ET.Element("setBLOBVector", {"device": device, "name": "CCD1", "state": "Ok", "timestamp": timestamp()})
    return vector, ET.Element("oneBLOB", {"name": "CCD1", "size": str(size), "format": fmt})


def local_name(folder: str, prefix: str, when: dt.datetime) -> str:
    """The next file name of the prefix: ``XXX`` becomes the next unused
    three-digit number in the folder, ``ISO8601`` the time."""
    prefix = prefix.replace("ISO8601", when.strftime("%Y-%m-%dT%H-%M-%S"))
    if "XXX" not in prefix:
        return prefix
    head, tail = prefix.split("XXX", 1)
    pattern = re.compile(re.escape(head) + r"(\d+)" + re.escape(tail) + r"\.fits$")
    taken = [int(m.group(1)) for f in os.listdir(folder) if (m := pattern.match(f))]
    return f"{head}{max(taken, default=0) + 1:03d}{tail}"


class Capture:
    def __init__(self, cam: "CameraDevice") -> None:
        self.cam = cam
        self.task: Optional[asyncio.Task] = None       # the exposure, until its frame is read
        self.uploads: set[asyncio.Task] = set()         # images on their way once the camera is free again
        self._blob_written: Optional[Future] = None
        self.stream: Optional["Stream"] = None
        self.generation = 0                              # of the newest exposure
        # the image's shared memory, made ready while the camera exposes when
        # its size is known from the last image of the same frame plan
        self._spare: Optional[Future] = None
        self._sizes: dict[layer.FramePlan, int] = {}
        self.bin = 1
        self.frame = (0, 0, cam.info.max_width, cam.info.max_height)   # X, Y, WIDTH, HEIGHT unbinned

    @property
    def v(self) -> dict[str, Any]:
        return self.cam.v

    @property
    def img_type(self) -> orx.ImgType:
        name = self.cam.switch_on("CCD_CAPTURE_FORMAT")
        return next(t for t, n in FORMAT_NAMES.items() if n == name)

    @property
    def busy(self) -> bool:
        return (self.task is not None and not self.task.done()) or self.stream is not None

    def plan(self, frame: Optional[tuple[int, int, int, int]] = None, binning: Optional[int] = None) -> layer.FramePlan:
        x, y, w, h = frame or self.frame
        b = binning or self.bin
        try:
            return layer.plan_frame(self.cam.sensor, b, x // b, y // b, w // b, h // b, self.img_type)
        except layer.SubframeError as exc:
            raise ValueError(str(exc)) from None

    async def update_frame_info(self) -> None:
        """CCD_INFO's bits per pixel and CCD_CFA for the current format and frame."""
        info = self.v["CCD_INFO"]
        info["CCD_BITSPERPIXEL"] = 16 if self.img_type == orx.ImgType.IMG_RAW16 else 8
        await info.send_setVector(allvalues=False)
        if "CCD_CFA" in self.v:
            plan = self.plan()
            cfa = self.v["CCD_CFA"]
            cfa["CFA_TYPE"] = (bayer.delivered(self.cam.info.bayer_pattern, plan.start_x, plan.start_y)
                               if plan.mosaic is not None else "")
            await cfa.send_setVector(state="Ok")

    # -- settings ----------------------------------------------------------------

    def _require_idle(self, what: str) -> None:
        if self.busy:
            raise ValueError(f"cannot {what} while an exposure or video runs")

    async def on_ccd_frame(self, event: Any) -> None:
        vec = self.v["CCD_FRAME"]
        values = self.cam.new_numbers(event)
        frame = tuple(int(values.get(k, cur)) for k, cur in zip(("X", "Y", "WIDTH", "HEIGHT"), self.frame))
        self._require_idle("change the frame")
        self.plan(frame)                          # refuses a frame off the sensor
        self.frame = frame                        # type: ignore[assignment]
        for k, value in zip(("X", "Y", "WIDTH", "HEIGHT"), frame):
            vec[k] = value
        await vec.send_setVector(state="Ok")
        await self.update_frame_info()

    async def on_ccd_binning(self, event: Any) -> None:
        values = self.cam.new_numbers(event)
        hor, ver = values.get("HOR_BIN", self.bin), values.get("VER_BIN", values.get("HOR_BIN", self.bin))
        if hor != ver:
            raise ValueError(f"binning {hor:g}x{ver:g}: the camera bins both axes alike")
        if hor not in self.cam.sensor.bins:
            raise ValueError(f"binning {hor:g} is not supported (supported: {list(self.cam.sensor.bins)})")
        self._require_idle("change the binning")
        b = int(hor)
        self.plan(binning=b)
        self.bin = b
        vec = self.v["CCD_BINNING"]
        vec["HOR_BIN"] = vec["VER_BIN"] = b
        await vec.send_setVector(state="Ok")
        await self.update_frame_info()

    async def on_ccd_frame_reset(self, event: Any) -> None:
        self._require_idle("reset the frame")
        self.frame, self.bin = (0, 0, self.cam.info.max_width, self.cam.info.max_height), 1
        frame, binning = self.v["CCD_FRAME"], self.v["CCD_BINNING"]
        for k, value in zip(("X", "Y", "WIDTH", "HEIGHT"), self.frame):
            frame[k] = value
        binning["HOR_BIN"] = binning["VER_BIN"] = 1
        await frame.send_setVector(state="Ok")
        await binning.send_setVector(state="Ok")
        await self.cam.set_switch(self.v["CCD_FRAME_RESET"], "", "Ok")
        await self.update_frame_info()

    async def _one_of(self, name: str, event: Any) -> str:
        on = [m for m, value in event.items() if value == "On"]
        if len(on) != 1:
            raise ValueError(f"{name}: exactly one member must be On")
        return on[0]

    async def on_ccd_frame_type(self, event: Any) -> None:
        await self.cam.set_switch(self.v["CCD_FRAME_TYPE"], await self._one_of("CCD_FRAME_TYPE", event))

    async def on_ccd_capture_format(self, event: Any) -> None:
        fmt = await self._one_of("CCD_CAPTURE_FORMAT", event)
        self._require_idle("change the format")
        previous = self.cam.switch_on("CCD_CAPTURE_FORMAT")
        await self.cam.set_switch(self.v["CCD_CAPTURE_FORMAT"], fmt)
        try:
            self.plan()
        except ValueError:
            await self.cam.set_switch(self.v["CCD_CAPTURE_FORMAT"], previous)
            raise
        await self.update_frame_info()

    async def on_ccd_transfer_format(self, event: Any) -> None:
        await self.cam.set_switch(self.v["CCD_TRANSFER_FORMAT"], await self._one_of("CCD_TRANSFER_FORMAT", event))

    async def on_upload_mode(self, event: Any) -> None:
        await self.cam.set_switch(self.v["UPLOAD_MODE"], await self._one_of("UPLOAD_MODE", event))

    async def on_upload_settings(self, event: Any) -> None:
        vec = self.v["UPLOAD_SETTINGS"]
        # some clients lay text out over lines: the value is what is inside
        values = {member: (value or "").strip() for member, value in event.items()}
        prefix = values.get("UPLOAD_PREFIX", vec["UPLOAD_PREFIX"])
        if not prefix or "/" in prefix or prefix.startswith("."):
            raise ValueError(f"UPLOAD_PREFIX {prefix!r} is not a file name")
        for member, value in values.items():
            vec[member] = value
        await vec.send_setVector(state="Ok")

    # -- the exposure ------------------------------------------------------------

    async def on_ccd_exposure(self, event: Any) -> None:
        vec = self.v["CCD_EXPOSURE"]
        seconds = self.cam.new_numbers(event)["CCD_EXPOSURE_VALUE"]
        member = vec.data["CCD_EXPOSURE_VALUE"]
        low, high = float(member.min), float(member.max)
        if not low <= seconds <= high:
            raise ValueError(f"exposure {seconds:g} s is outside {low:g}..{high:g} s")
        if self.busy:
            await self.cam.message("an exposure or video is already running", "WARNING")
            return
        frame_type = self.cam.switch_on("CCD_FRAME_TYPE")
        if frame_type == "FRAME_BIAS":
            seconds = low
        plan = self.plan()
        light = frame_type in ("FRAME_LIGHT", "FRAME_FLAT")
        await self.cam.call("starting the exposure", layer.start_exposure, self.cam.camera_id, plan, seconds, light)
        start = dt.datetime.now(dt.timezone.utc)
        vec["CCD_EXPOSURE_VALUE"] = seconds
        await vec.send_setVector(state="Busy")
        size = self._sizes.get(plan)
        if size is not None and self.cam.switch_on("UPLOAD_MODE") != "UPLOAD_LOCAL":
            self._spare = self.cam.pool.submit(SharedBuffer, size, True)
        self.generation += 1
        self.task = asyncio.get_running_loop().create_task(
            self._expose(plan, seconds, start, IMAGE_TYPES[frame_type], self.generation))

    async def _expose(self, plan: layer.FramePlan, seconds: float, start: dt.datetime, image_type: str,
                      generation: int) -> None:
        """Wait for the exposure and read the frame; then the camera is free
        for the next exposure while this image is made and sent."""
        cam, vec = self.cam, self.v["CCD_EXPOSURE"]
        wall = seconds * cam.time_scale()
        end = time.monotonic() + wall
        try:
            while (remaining := end - time.monotonic()) > 0:
                await asyncio.sleep(min(remaining, COUNTDOWN_S))
                vec["CCD_EXPOSURE_VALUE"] = f"{max(end - time.monotonic(), 0) / cam.time_scale():.3f}"
                await vec.send_setVector(state="Busy")
            while True:
                status = await cam.call("reading the exposure status", layer.exposure_status, cam.camera_id)
                if status == orx.ExposureStatus.ORX_EXP_SUCCESS:
                    break
                if status != orx.ExposureStatus.ORX_EXP_WORKING:
                    raise ValueError("the camera reported a failed exposure")
                await asyncio.sleep(POLL_S)
            pixels = await cam.call("downloading the image", layer.read_frame, cam.camera_id, plan)
            header = await cam.call("reading the camera's settings", image.header, cam, plan, seconds, start,
                                    image_type)
        except asyncio.CancelledError:
            raise
        except Exception as exc:                  # CameraError, ValueError: the client hears why
            await self._failed(exc)
            return
        upload = asyncio.get_running_loop().create_task(self._deliver(plan, pixels, header, start, generation))
        self.uploads.add(upload)
        upload.add_done_callback(self.uploads.discard)

    async def _deliver(self, plan: layer.FramePlan, pixels: np.ndarray, header: Any, start: dt.datetime,
                       generation: int) -> None:
        vec = self.v["CCD_EXPOSURE"]
        try:
            await self._upload(plan, pixels, header, start)
        except asyncio.CancelledError:
            raise
        except Exception as exc:
            await self._failed(exc)
            return
        if generation == self.generation and not self.busy:    # no newer exposure under way
            vec["CCD_EXPOSURE_VALUE"] = 0
            await vec.send_setVector(state="Ok")

    async def _failed(self, exc: Exception) -> None:
        if not isinstance(exc, (ValueError, OSError, CameraError)):
            log.exception("%s: exposure", self.cam.name)
        await self.cam.alert(self.v["CCD_EXPOSURE"], str(exc))

    async def _upload(self, plan: layer.FramePlan, pixels: np.ndarray, header: dict[str, Any],
                      start: dt.datetime) -> None:
        loop = asyncio.get_running_loop()
        mode = self.cam.switch_on("UPLOAD_MODE")
        spare, self._spare = self._spare, None

        def shared(size: int) -> SharedBuffer:
            if spare is not None and spare.exception() is None and len(spare.result()) == size:
                return spare.result()
            return SharedBuffer(size)
        data = await loop.run_in_executor(self.cam.pool, image.fits_bytes, pixels, header,
                                          shared if mode != "UPLOAD_LOCAL" else bytearray)
        self._sizes[plan] = len(data)
        if mode in ("UPLOAD_LOCAL", "UPLOAD_BOTH"):
            settings = self.v["UPLOAD_SETTINGS"]
            folder = os.path.expanduser(settings["UPLOAD_DIR"] or "~")
            path = await loop.run_in_executor(self.cam.pool, image.save_new, folder,
                                              lambda: local_name(folder, settings["UPLOAD_PREFIX"], start), data)
            self.v["CCD_FILE_PATH"]["FILE_PATH"] = path
            await self.v["CCD_FILE_PATH"].send_setVector(state="Ok")
        if mode in ("UPLOAD_CLIENT", "UPLOAD_BOTH"):
            await self.send_blob(data, ".fits")

    async def send_blob(self, data: "bytes | bytearray", fmt: str) -> None:
        """Queue the image for the clients. The image before it must have been
        written first, so a camera never has more than one waiting."""
        previous = self._blob_written
        if previous is not None and not previous.done():
            await asyncio.wrap_future(previous)
        vector, member = blob_elements(self.cam.name, fmt, len(data))
        self._blob_written = self.cam.device.driver.output.put(attached_blob_message(vector, member, data))

    async def on_ccd_abort_exposure(self, event: Any) -> None:
        await self.abort()
        await self.cam.set_switch(self.v["CCD_ABORT_EXPOSURE"], "", "Ok")

    async def abort(self) -> None:
        task, self.task = self.task, None
        if task is None or task.done():
            return
        self._spare = None                # no image comes for the memory made ready
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await self.cam.call("aborting the exposure", layer.abort_exposure, self.cam.camera_id)
        vec = self.v["CCD_EXPOSURE"]
        vec["CCD_EXPOSURE_VALUE"] = 0
        await vec.send_setVector(state="Idle")
        await self.cam.message("exposure aborted")

    async def camera_lost(self) -> None:
        """The camera was unplugged: what ran fails with an Alert."""
        task, self.task = self.task, None
        if task is not None and not task.done() and task is not asyncio.current_task():
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            await self.v["CCD_EXPOSURE"].send_setVector(state="Alert")
        if self.stream is not None:
            self.stream.stop()
            self.stream = None
            await self.v["CCD_VIDEO_STREAM"].send_setVector(state="Alert")
        for upload in list(self.uploads):
            upload.cancel()

    async def stop_all(self) -> None:
        try:
            await self.abort()
        except Exception as exc:          # closing the camera ends the exposure anyway
            log.info("%s: %s", self.cam.name, exc)
        if self.uploads:                  # images already read are still delivered
            await asyncio.gather(*self.uploads, return_exceptions=True)
        await self._stop_stream()

    # -- video -------------------------------------------------------------------

    async def on_ccd_video_stream(self, event: Any) -> None:
        on = await self._one_of("CCD_VIDEO_STREAM", event) == "STREAM_ON"
        if not on:
            await self._stop_stream()
            await self.cam.set_switch(self.v["CCD_VIDEO_STREAM"], "STREAM_OFF", "Idle")
            return
        if self.stream is not None:
            await self.v["CCD_VIDEO_STREAM"].send_setVector(state="Busy")
            return
        self._require_idle("start video")
        plan = self.plan()
        seconds = self.cam.number("STREAMING_EXPOSURE", "STREAMING_EXPOSURE_VALUE")
        cid = self.cam.camera_id

        def start() -> None:
            orx.set_roi_format(cid, plan.roi_width, plan.roi_height, plan.roi_bin, plan.img_type)
            orx.set_start_pos(cid, plan.roi_x, plan.roi_y)
            orx.set_control_value(cid, Ctl.ORX_EXPOSURE, max(1, round(seconds * 1e6)), False)
            orx.start_video_capture(cid)
        await self.cam.call("starting video", start)
        self.stream = Stream(self, plan, asyncio.get_running_loop())
        await self.cam.set_switch(self.v["CCD_VIDEO_STREAM"], "STREAM_ON", "Busy")

    async def on_streaming_exposure(self, event: Any) -> None:
        vec = self.v["STREAMING_EXPOSURE"]
        values = self.cam.new_numbers(event)
        for member, value in values.items():
            m = vec.data[member]
            if not float(m.min) <= value <= float(m.max):
                raise ValueError(f"{member} {value:g} is outside {m.min}..{m.max}")
        for member, value in values.items():
            vec[member] = value
        if self.stream is not None and "STREAMING_EXPOSURE_VALUE" in values:
            us = max(1, round(values["STREAMING_EXPOSURE_VALUE"] * 1e6))
            await self.cam.call("setting the video exposure", orx.set_control_value, self.cam.camera_id,
                                Ctl.ORX_EXPOSURE, us, False)
        await vec.send_setVector(state="Ok")

    async def on_ccd_stream_encoder(self, event: Any) -> None:
        await self.cam.set_switch(self.v["CCD_STREAM_ENCODER"], await self._one_of("CCD_STREAM_ENCODER", event))

    async def _stop_stream(self) -> None:
        stream, self.stream = self.stream, None
        if stream is None:
            return
        await asyncio.get_running_loop().run_in_executor(None, stream.stop)

    async def stream_failed(self, text: str) -> None:
        if self.stream is None:
            return
        self.stream = None
        await self.cam.alert(self.v["CCD_VIDEO_STREAM"], text)


class Stream:
    """Video frames fetched by a thread of their own and sent as ``.stream``
    BLOBs (the raw pixels of the frame, rows top first, RGB in R, G, B order).
    A frame is sent only once the one before it has been written, so a slow
    reader gets fewer frames, never a growing queue."""

    def __init__(self, capture: Capture, plan: layer.FramePlan, loop: asyncio.AbstractEventLoop) -> None:
        self.capture = capture
        self.plan = plan
        self.loop = loop
        self.sent = self.skipped = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"video-{capture.cam.camera_id}", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        try:
            orx.stop_video_capture(self.capture.cam.camera_id)     # wakes a waiting fetch
        except orx.ORXError:
            pass
        if self._thread is not threading.current_thread():
            self._thread.join()

    def _run(self) -> None:
        cam = self.capture.cam
        output = cam.device.driver.output
        divisor = max(1, int(cam.number("STREAMING_EXPOSURE", "STREAMING_DIVISOR_VALUE")))
        pending = None
        count, window_start, last = 0, time.monotonic(), time.monotonic()
        n = 0
        while not self._stop.is_set():
            try:
                frame = orx.get_video_data(cam.camera_id, self.plan.frame_size, 1000)
            except orx.ORXTimeout:
                continue
            except orx.ORXError as exc:
                if not self._stop.is_set():
                    asyncio.run_coroutine_threadsafe(self.capture.stream_failed(describe(exc, "fetching video")),
                                                     self.loop)
                return
            n += 1
            if divisor > 1 and n % divisor:
                continue
            now = time.monotonic()
            count += 1
            if pending is not None and not pending.done():
                self.skipped += 1
                continue
            pixels = np.ascontiguousarray(self.plan.pixels(frame))
            vector, member = blob_elements(cam.name, ".stream", pixels.nbytes)
            pending = output.put(attached_blob_message(vector, member, pixels.reshape(-1).view(np.uint8).data))
            self.sent += 1
            if now - window_start >= 1.0:
                fps = count / (now - window_start)
                asyncio.run_coroutine_threadsafe(self._fps(1 / max(now - last, 1e-6), fps), self.loop)
                count, window_start = 0, now
            last = now

    async def _fps(self, instant: float, average: float) -> None:
        vec = self.capture.v["FPS"]
        vec["EST_FPS"], vec["AVG_FPS"] = f"{instant:.2f}", f"{average:.2f}"
        await vec.send_setVector()
