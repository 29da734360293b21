"""The INDI driver process: one device per camera, speaking INDI on standard
input and output as ``indiserver`` expects of a driver."""
from __future__ import annotations

import asyncio
import logging
import os
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Optional, Sequence

import indipydriver as ipd

import orx

from .device import CameraDevice, device_names, read_caps
from .output import Output

log = logging.getLogger(__name__)


class Driver(ipd.IPyDriver):
    """The cameras' devices; messages go out through :class:`Output` (whole,
    in order, written by a thread of their own)."""

    def __init__(self, cameras: Sequence[CameraDevice], output: Output) -> None:
        super().__init__(*[c.device for c in cameras])
        self.cameras = {c.name: c for c in cameras}
        self.output = output

    async def send(self, xmldata: ET.Element) -> None:
        if self.stop:
            return
        await self.output.write([ET.tostring(xmldata) + b"\n"])

    async def rxevent(self, event: Any) -> None:
        camera = self.cameras.get(event.devicename)
        if camera is None or isinstance(event, ipd.getProperties):
            return
        try:
            await camera.handle(event)
        except Exception:                     # one bad request never ends the driver
            log.exception("%s: handling %s", camera.name, event.vectorname)

    async def hardware(self) -> None:
        await asyncio.gather(self._watch_parent(), *(c.watch() for c in self.cameras.values()))

    async def _watch_parent(self) -> None:
        """End with indiserver: its pipes may stay quiet, but the driver is
        handed to another parent when it exits."""
        parent = os.getppid()
        while not self.stop:
            await asyncio.sleep(1.0)
            if os.getppid() != parent:
                log.info("indiserver has gone: stopping")
                self.shutdown()


def build(camera_ids: Sequence[int], version: str, time_scale: Callable[[], float],
          output: Optional[Output] = None) -> tuple[Driver, ThreadPoolExecutor]:
    """The driver for these cameras (each is opened briefly to list its controls)."""
    pool = ThreadPoolExecutor(max_workers=8, thread_name_prefix="camera")
    infos = [orx.get_camera_property_by_id(cid) for cid in camera_ids]
    cameras = [CameraDevice(name, info.camera_id, pool, time_scale, version, read_caps(info.camera_id))
               for name, info in zip(device_names(infos), infos)]
    return Driver(cameras, output or Output()), pool


async def run(driver: Driver) -> None:
    loop = asyncio.get_running_loop()
    driver.output.on_broken = lambda: loop.call_soon_threadsafe(driver.shutdown)
    try:
        await driver.asyncrun()
    finally:
        for camera in driver.cameras.values():
            if camera.connected:
                try:
                    await camera.disconnect()
                except Exception:
                    log.exception("%s: closing", camera.name)
