"""The INDI driver process: one device per camera, speaking INDI on standard
input and output as ``indiserver`` expects of a driver."""
from __future__ import annotations

import asyncio
import logging
import os
import re
import sys
import xml.etree.ElementTree as ET
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, Callable, Optional, Sequence

import indipydriver as ipd

import orx

from .device import CameraDevice, connected_ids, device_names, read_caps
from .output import Output

log = logging.getLogger(__name__)


class Driver(ipd.IPyDriver):
    """The cameras' devices; messages go out through :class:`Output` (whole,
    in order, written by a thread of their own)."""

    def __init__(self, cameras: Sequence[CameraDevice], output: Output,
                 new_camera: Optional[Callable[[int, set[str]], CameraDevice]] = None,
                 pool: Optional[Executor] = None) -> None:
        """``new_camera(camera_id, names taken)``, where given, makes the
        device of a camera plugged in while the driver runs (in ``pool``)."""
        super().__init__(*[c.device for c in cameras])
        self.cameras = {c.name: c for c in cameras}
        self.output = output
        self._new_camera, self._pool = new_camera, pool
        self._refused: set[int] = set()      # cameras whose device could not be made

    async def send(self, xmldata: ET.Element) -> None:
        if self.stop:
            return
        await self.output.write([ET.tostring(xmldata) + b"\n"])

    async def _run_rx(self) -> None:
        """Read requests from standard input (in place of the library's
        reader, which ends the driver when a parse error surfaces while it
        reads events, and spins forever once its input is closed). The end of
        input ends the driver."""
        loop = asyncio.get_running_loop()
        fd = sys.stdin.fileno()
        os.set_blocking(fd, False)
        ready = asyncio.Event()
        loop.add_reader(fd, ready.set)
        reader = Reader()
        try:
            while not self.stop:
                await ready.wait()
                ready.clear()
                try:
                    data = os.read(fd, 1 << 16)
                except BlockingIOError:
                    continue
                if not data:
                    log.info("input closed: stopping")
                    self.shutdown()
                    return
                for element in reader.feed(data):
                    await self._readdata(element)
        finally:
            loop.remove_reader(fd)

    async def rxevent(self, event: Any) -> None:
        camera = self.cameras.get(event.devicename)
        if camera is None or isinstance(event, ipd.getProperties):
            return
        try:
            await camera.handle(event)
        except Exception:                     # one bad request never ends the driver
            log.exception("%s: handling %s", camera.name, event.vectorname)

    async def hardware(self) -> None:
        await asyncio.gather(self._watch_parent(), self._watch_new(), *(c.watch() for c in self.cameras.values()))

    async def _watch_new(self) -> None:
        """Once a second: a device for each camera plugged in since, defined
        to the clients as it comes (a camera unplugged and plugged in again
        keeps its device)."""
        if self._new_camera is None:
            return
        loop = asyncio.get_running_loop()
        while not self.stop:
            await asyncio.sleep(1.0)
            try:
                present = await loop.run_in_executor(self._pool, connected_ids)
            except orx.ORXError as exc:
                log.debug("listing the cameras: %s", exc)
                continue
            known = {c.camera_id for c in self.cameras.values()} | self._refused
            for cid in present:
                if cid in known or self.stop:
                    continue
                try:
                    camera = await loop.run_in_executor(self._pool, self._new_camera, cid, set(self.cameras))
                    await self.add_camera(camera)
                except orx.ORXError as exc:           # gone again, or not ready: tried again next time
                    log.info("camera %d plugged in, not served yet: %s", cid, exc)
                except Exception:
                    log.exception("camera %d plugged in: not served", cid)
                    self._refused.add(cid)

    async def add_camera(self, camera: CameraDevice) -> None:
        """Serve one more camera: its device defined to the clients, watched
        like the others."""
        if camera.name in self.data:      # a device replaced would stay unseen yet never stop
            raise ValueError(f"a device named {camera.name!r} is already served")
        device = camera.device
        device.driver = self
        for vector in device.values():
            vector.driver = self
        self.data[camera.name] = device
        self.cameras[camera.name] = camera
        log.info("serving %s (plugged in)", camera.name)
        for vector in device.values():
            if vector.enable:
                await vector.send_defVector()
        device.add_background(camera.watch())

    async def _watch_parent(self) -> None:
        """End with indiserver: its pipes may stay quiet, but the driver is
        handed to another parent when it exits."""
        parent = os.getppid()
        while not self.stop:
            await asyncio.sleep(1.0)
            if os.getppid() != parent:
                log.info("indiserver has gone: stopping")
                self.shutdown()


# where a message can start: reading resumes there after malformed XML
_MESSAGE_START = re.compile(rb"<(?:getProperties|enableBLOB|new\w*Vector|def\w*Vector|set\w*Vector|message|"
                            rb"delProperty|ping\w*)\b")


class Reader:
    """Whole INDI messages out of a byte stream (a sequence of XML elements
    with no root). Malformed XML is skipped: reading resumes at the next
    message start after the error, so one bad message costs only itself."""

    KEEP = 1 << 20          # bytes of recent input kept to find where an error is

    def __init__(self) -> None:
        self._reset()

    def _reset(self) -> None:
        self._parser = ET.XMLPullParser(events=("start", "end"))
        self._parser.feed(b"<root>")
        self._root = next(element for _, element in self._parser.read_events())
        self._depth = 1
        self._fed = bytearray(b"<root>")     # the recent input, from a line start
        self._lines_dropped = 0              # lines of input before it

    def _keep(self, data: bytes) -> None:
        self._fed += data
        if len(self._fed) > 2 * self.KEEP:
            cut = self._fed.rfind(b"\n", 0, len(self._fed) - self.KEEP)
            if cut >= 0:
                self._lines_dropped += self._fed.count(b"\n", 0, cut + 1)
                del self._fed[:cut + 1]

    def feed(self, data: bytes) -> list[ET.Element]:
        messages: list[ET.Element] = []
        while data:
            self._keep(data)
            error: Optional[ET.ParseError] = None
            try:
                self._parser.feed(data)
                if hasattr(self._parser, "flush"):
                    # expat may hold back the end of what it was given (reparse
                    # deferral): a request must not wait for the next one
                    self._parser.flush()
            except ET.ParseError as exc:
                error = exc
            try:                        # the messages before an error still count
                for event, element in self._parser.read_events():
                    if event == "start":
                        self._depth += 1
                    else:
                        self._depth -= 1
                        if self._depth == 1:
                            self._root.remove(element)
                            messages.append(element)
            except ET.ParseError as exc:     # where the input first went wrong
                error = exc if error is None or exc.position < error.position else error
            if error is None:
                break
            log.warning("malformed XML skipped: %s", error)
            line, column = error.position
            line -= 1 + self._lines_dropped
            lines = bytes(self._fed).split(b"\n")
            at = sum(len(x) + 1 for x in lines[:line]) + column if line >= 0 else 0
            rest = bytes(self._fed[at:])
            found = _MESSAGE_START.search(rest, 1)
            self._reset()
            data = rest[found.start():] if found else b""
        return messages


def build(camera_ids: Sequence[int], version: str, time_scale: Callable[[], float],
          output: Optional[Output] = None, follow: bool = False) -> tuple[Driver, ThreadPoolExecutor]:
    """The driver for these cameras (each is opened briefly to list its
    controls); ``follow``: and for those plugged in later."""
    pool = ThreadPoolExecutor(max_workers=8, thread_name_prefix="camera")

    def device(name: str, camera_id: int) -> CameraDevice:
        return CameraDevice(name, camera_id, pool, time_scale, version, read_caps(camera_id))

    infos = [orx.get_camera_property_by_id(cid) for cid in camera_ids]
    cameras = [device(name, info.camera_id) for name, info in zip(device_names(infos), infos)]

    def new_camera(camera_id: int, taken: set[str]) -> CameraDevice:
        name = orx.get_camera_property_by_id(camera_id).name
        return device(name if name not in taken else f"{name} {camera_id}", camera_id)
    return Driver(cameras, output or Output(), new_camera if follow else None, pool), pool


async def run(driver: Driver) -> None:
    loop = asyncio.get_running_loop()
    driver.output.on_broken = lambda: loop.call_soon_threadsafe(driver.shutdown)
    log.info("serving %s", ", ".join(driver.cameras))
    try:
        await driver.asyncrun()
    finally:
        for camera in driver.cameras.values():
            if camera.connected:
                try:
                    await camera.disconnect()
                except Exception:
                    log.exception("%s: closing", camera.name)
