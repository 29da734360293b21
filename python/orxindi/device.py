"""One camera as one INDI device: connection, settings, cooling, guiding and
what happens when the camera is unplugged and plugged in again. Exposures,
uploads and video are in :mod:`orxindi.capture`.

Camera calls run in the driver's thread pool; the protocol loop only awaits
them, and anything that lasts (connecting, exposures, guide pulses, video)
runs as a task of its own, so a client can abort, read the temperature or
pulse-guide while a frame downloads.
"""
from __future__ import annotations

import asyncio
import logging
import os
from concurrent.futures import Executor
from typing import Any, Callable, Optional

import indipydriver as ipd

import orx
from orxdevice import camera as layer

from . import properties as P
from .capture import Capture
from .errors import CameraError, describe

log = logging.getLogger(__name__)
Ctl = orx.ControlType
GONE = (orx.ORXCameraRemoved, orx.ORXInvalidID)
GUIDE_AXES = {"TELESCOPE_TIMED_GUIDE_NS": (("TIMED_GUIDE_N", orx.GuideDirection.ORX_GUIDE_NORTH),
                                           ("TIMED_GUIDE_S", orx.GuideDirection.ORX_GUIDE_SOUTH)),
              "TELESCOPE_TIMED_GUIDE_WE": (("TIMED_GUIDE_W", orx.GuideDirection.ORX_GUIDE_WEST),
                                           ("TIMED_GUIDE_E", orx.GuideDirection.ORX_GUIDE_EAST))}
COOLING_TOLERANCE = 0.5          # degrees C: the set point counts as reached


def device_names(infos: list[Any]) -> list[str]:
    """One INDI device name per camera: its name, with the camera id added
    where two cameras share a name."""
    names = [i.name for i in infos]
    return [n if names.count(n) == 1 else f"{n} {i.camera_id}" for n, i in zip(names, infos)]


class CameraDevice:
    def __init__(self, name: str, camera_id: int, pool: Executor, time_scale: Callable[[], float],
                 version: str, caps: dict[int, Any]) -> None:
        self.camera_id = camera_id
        self.info = orx.get_camera_property_by_id(camera_id)
        self.sensor = layer.Sensor.of(camera_id)
        self.caps = caps
        self.pool = pool
        self.time_scale = time_scale
        self.connection = P.switches("CONNECTION", "Connection", P.MAIN,
                                     [("CONNECT", "Connect", False), ("DISCONNECT", "Disconnect", True)])
        interface = P.CCD_INTERFACE | (P.GUIDER_INTERFACE if self.info.st_4_port else 0)
        self.camera_props = P.camera_properties(self.info, caps, os.path.expanduser("~"))
        for vector in self.camera_props:
            vector.enable = False                 # defined once connected
        self.device = ipd.Device(name, [self.connection, P.driver_info(name, version, interface), *self.camera_props])
        self.v = {v.name: v for v in self.camera_props}
        self.connected = False                    # the client asked for the camera and it is open
        self.removed = False                      # unplugged while the client had it connected
        self.set_controls: dict[int, int] = {}     # values clients set: applied again after a replug
        self._pulses: dict[str, asyncio.Task] = {}
        self._connecting: Optional[asyncio.Task] = None
        self.capture = Capture(self)

    @property
    def name(self) -> str:
        return self.device.devicename

    # -- plumbing ------------------------------------------------------------

    async def call(self, doing: str, fn: Callable[..., Any], *args: Any) -> Any:
        """``fn(*args)`` in the pool; a library error becomes a CameraError
        (and a removed camera is noticed)."""
        try:
            return await asyncio.get_running_loop().run_in_executor(self.pool, fn, *args)
        except orx.ORXError as exc:
            if isinstance(exc, GONE) and self.connected:
                await self.lost()
            raise CameraError(describe(exc, doing)) from None

    async def message(self, text: str, level: str = "INFO") -> None:
        log.log(getattr(logging, level, logging.INFO), "%s: %s", self.name, text)
        await self.device.send_device_message(f"[{level}] {text}")

    async def alert(self, vector: Any, text: str) -> None:
        """The client gets the reason as a message, then the vector turns Alert."""
        await self.message(text, "ERROR")
        await vector.send_setVector(state="Alert")

    def number(self, vector: str, member: str) -> float:
        return self.v[vector].data[member].getfloatvalue()

    def switch_on(self, vector: str) -> str:
        return next(n for n, m in self.v[vector].data.items() if m.membervalue == "On")

    async def set_switch(self, vector: Any, on: str, state: str = "Ok") -> None:
        for n in vector.data:
            vector[n] = "On" if n == on else "Off"
        await vector.send_setVector(state=state)

    # -- events ---------------------------------------------------------------

    async def handle(self, event: Any) -> None:
        name = event.vectorname
        if name == "CONNECTION":
            await self._on_connection(event)
            return
        if not self.connected:
            await self.message(f"{name}: {self.name} is not connected", "WARNING")
            return
        handler = getattr(self, f"_on_{name.lower()}", None) or getattr(self.capture, f"on_{name.lower()}", None)
        if handler is None:
            return
        try:
            await handler(event)
        except CameraError as exc:
            await self.alert(self.v[name], str(exc))
        except (ValueError, TypeError, OverflowError) as exc:    # a value the client sent that cannot be used
            await self.alert(self.v[name], f"{name}: {exc}")

    @staticmethod
    def new_numbers(event: Any) -> dict[str, float]:
        """The numbers of a newNumberVector; ValueError names a malformed one."""
        values = {}
        for member, text in event.items():
            try:
                values[member] = ipd.getfloat(text)
            except (TypeError, ValueError):
                raise ValueError(f"{member} {text!r} is not a number") from None
        return values

    # -- connection -----------------------------------------------------------

    async def _on_connection(self, event: Any) -> None:
        want = event.get("CONNECT") == "On" or event.get("DISCONNECT") == "Off"
        if self._connecting is not None and not self._connecting.done():
            await self.message("a connection change is already under way", "WARNING")
            await self.connection.send_setVector(state="Busy")
            return
        if want == self.connected and not self.removed:
            await self.connection.send_setVector(state="Ok")
            return
        await self.connection.send_setVector(state="Busy")
        self._connecting = asyncio.get_running_loop().create_task(self.connect() if want else self.disconnect())

    async def _open(self) -> None:
        cid = self.camera_id
        await self.call("opening the camera", orx.open_camera, cid)
        try:
            await self.call("initialising the camera", orx.init_camera, cid)
            for control, value in self.set_controls.items():
                await self.call(f"setting {Ctl(control).name}", orx.set_control_value, cid, Ctl(control), value, False)
        except CameraError:
            await asyncio.get_running_loop().run_in_executor(self.pool, _close_quietly, cid)
            raise

    async def connect(self) -> None:
        try:
            await self._open()
        except CameraError as exc:
            await self.set_switch(self.connection, "DISCONNECT", "Alert")
            await self.message(str(exc), "ERROR")
            return
        self.connected, self.removed = True, False
        for vector in self.camera_props:
            vector.enable = True
            await vector.send_defVector()
        # Ok once every property is there: a client that sets one as soon as
        # it sees the connection made is not ignored
        await self.set_switch(self.connection, "CONNECT")
        await self.capture.update_frame_info()
        await self.poll()
        await self.message(f"{self.name} connected")

    async def disconnect(self) -> None:
        await self.capture.stop_all()
        await self._stop_pulses()
        was_open = self.connected
        self.connected, self.removed = False, False
        for vector in self.camera_props:
            if vector.enable:
                await vector.send_delProperty()
        await self.set_switch(self.connection, "DISCONNECT", "Idle")
        if was_open:
            await asyncio.get_running_loop().run_in_executor(self.pool, _close_quietly, self.camera_id)
        await self.message(f"{self.name} disconnected")

    async def lost(self) -> None:
        """The camera went away while connected: Alert until it is back."""
        if self.removed:
            return
        self.connected, self.removed = False, True
        await self.capture.camera_lost()
        self._pulses.clear()
        await self.connection.send_setVector(state="Alert")
        await self.message(f"{self.name} was unplugged; it reconnects when plugged in again", "ERROR")

    async def watch(self) -> None:
        """Once a second: notice an unplugged camera, bring a replugged one
        back, and send temperature and cooler power while connected."""
        while not self.device.stop:
            await asyncio.sleep(1.0)
            try:
                present = self.camera_id in await asyncio.get_running_loop().run_in_executor(
                    self.pool, connected_ids)
                if self.connected and not present:
                    await self.lost()
                elif self.removed and present:
                    await self._replugged()
                elif self.connected:
                    await self.poll()
            except CameraError as exc:
                log.debug("%s: %s", self.name, exc)
            except Exception:                  # the watcher must keep watching
                log.exception("%s: watcher", self.name)

    async def _replugged(self) -> None:
        try:
            await self._open()
        except CameraError as exc:
            log.info("%s: not back yet: %s", self.name, exc)
            return
        self.connected, self.removed = True, False
        await self.connection.send_setVector(state="Ok")
        await self.message(f"{self.name} is back")

    # -- temperature and cooling ------------------------------------------------

    def has(self, control: Ctl) -> bool:
        return int(control) in self.caps

    async def control(self, control: Ctl, what: str) -> int:
        return (await self.call(f"reading {what}", orx.get_control_value, self.camera_id, control))[0]

    async def poll(self) -> None:
        if self.has(Ctl.ORX_TEMPERATURE) and "CCD_TEMPERATURE" in self.v:
            vec = self.v["CCD_TEMPERATURE"]
            temperature = await self.control(Ctl.ORX_TEMPERATURE, "the temperature") / 10
            vec["CCD_TEMPERATURE_VALUE"] = f"{temperature:.2f}"
            if vec.state == "Busy" and self._target is not None and abs(temperature - self._target) <= COOLING_TOLERANCE:
                vec.state = "Ok"
            await vec.send_setVector(allvalues=False)
        if "CCD_COOLER_POWER" in self.v:
            vec = self.v["CCD_COOLER_POWER"]
            vec["CCD_COOLER_VALUE"] = await self.control(Ctl.ORX_COOLER_POWER_PERC, "the cooler power")
            await vec.send_setVector(allvalues=False)

    _target: Optional[float] = None

    def _caps(self, control: Ctl) -> Any:
        return self.caps[int(control)]

    async def _set_control(self, control: Ctl, what: str, value: int) -> None:
        caps = self._caps(control)
        if not caps.min_value <= value <= caps.max_value:
            raise ValueError(f"{what} {value} is outside {caps.min_value}..{caps.max_value}")
        await self.call(f"setting {what}", orx.set_control_value, self.camera_id, control, value, False)
        self.set_controls[int(control)] = value

    async def _on_ccd_temperature(self, event: Any) -> None:
        vec = self.v["CCD_TEMPERATURE"]
        if vec.perm == "ro":
            raise ValueError("this camera has no cooler")
        target = self.new_numbers(event)["CCD_TEMPERATURE_VALUE"]
        await self._set_control(Ctl.ORX_TARGET_TEMP, "the target temperature", round(target))
        await self._set_control(Ctl.ORX_COOLER_ON, "the cooler", 1)
        self._target = float(round(target))
        await self.set_switch(self.v["CCD_COOLER"], "COOLER_ON")
        await vec.send_setVector(state="Busy")
        await self.poll()

    async def _on_ccd_cooler(self, event: Any) -> None:
        on = event.get("COOLER_ON") == "On" or event.get("COOLER_OFF") == "Off"
        await self._set_control(Ctl.ORX_COOLER_ON, "the cooler", int(on))
        await self.set_switch(self.v["CCD_COOLER"], "COOLER_ON" if on else "COOLER_OFF")
        if not on and "CCD_TEMPERATURE" in self.v:
            self._target = None
            await self.v["CCD_TEMPERATURE"].send_setVector(state="Idle")

    async def _on_ccd_controls(self, event: Any) -> None:
        vec = self.v["CCD_CONTROLS"]
        by_name = {c.name: c for c in self.caps.values()}
        values = self.new_numbers(event)
        for member, value in values.items():       # every value checked before any is set
            caps = by_name[member]
            if value != int(value) or not caps.min_value <= value <= caps.max_value:
                raise ValueError(f"{member} {value:g} is not a whole number in {caps.min_value}..{caps.max_value}")
        for member, value in values.items():
            await self._set_control(by_name[member].control_type, member, int(value))
            vec[member] = int(value)
        await vec.send_setVector(state="Ok")

    # -- guiding through the camera's ST4 port --------------------------------

    async def _on_telescope_timed_guide_ns(self, event: Any) -> None:
        await self._guide("TELESCOPE_TIMED_GUIDE_NS", event)

    async def _on_telescope_timed_guide_we(self, event: Any) -> None:
        await self._guide("TELESCOPE_TIMED_GUIDE_WE", event)

    async def _guide(self, axis: str, event: Any) -> None:
        values = self.new_numbers(event)
        (first, way1), (second, way2) = GUIDE_AXES[axis]
        for member, ms in values.items():
            if not 0 <= ms <= 60000:
                raise ValueError(f"{member} {ms:g} ms is outside 0..60000 ms")
        ms1, ms2 = values.get(first, 0.0), values.get(second, 0.0)
        member, way, ms = (first, way1, ms1) if ms1 > 0 else (second, way2, ms2)
        previous = self._pulses.pop(axis, None)
        if previous is not None:              # a new pulse on an axis replaces the running one
            previous.cancel()
            await asyncio.gather(previous, return_exceptions=True)
        vec = self.v[axis]
        if ms <= 0:
            await vec.send_setVector(state="Ok")
            return
        await self.call("starting the guide pulse", orx.pulse_guide_on, self.camera_id, way)
        for n in vec.data:
            vec[n] = ms if n == member else 0
        await vec.send_setVector(state="Busy")
        self._pulses[axis] = asyncio.get_running_loop().create_task(self._pulse(axis, way, ms))

    async def _pulse(self, axis: str, way: orx.GuideDirection, ms: float) -> None:
        vec = self.v[axis]
        state = "Ok"
        try:
            await asyncio.sleep(ms / 1000 * self.time_scale())
        finally:                              # whatever happens, the relay is switched off
            try:
                await self.call("ending the guide pulse", orx.pulse_guide_off, self.camera_id, way)
            except CameraError as exc:
                state = "Alert"
                await self.message(str(exc), "ERROR")
        for n in vec.data:
            vec[n] = 0
        if self._pulses.get(axis) is asyncio.current_task():
            del self._pulses[axis]
        await vec.send_setVector(state=state)

    async def _stop_pulses(self) -> None:
        tasks = list(self._pulses.values())
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        self._pulses.clear()


def _close_quietly(camera_id: int) -> None:
    try:
        orx.close_camera(camera_id)
    except orx.ORXError:
        pass


def connected_ids() -> list[int]:
    """Ids of the connected cameras, in the library's order."""
    ids = []
    for i in range(orx.get_number_of_connected_cameras()):
        try:
            ids.append(orx.get_camera_property(i).camera_id)
        except orx.ORXError:          # the list changed while it was read
            pass
    return ids


def read_caps(camera_id: int) -> dict[int, Any]:
    """The camera's controls by type; the camera is opened for it and closed
    again (the library lists controls of open cameras only)."""
    orx.open_camera(camera_id)
    try:
        found = {}
        for i in range(orx.get_num_of_controls(camera_id)):
            caps = orx.get_control_caps(camera_id, i)
            found[int(caps.control_type)] = caps
        return found
    finally:
        _close_quietly(camera_id)
