"""Test harness: indiserver running the driver on a loopback port, Debian's command-line
clients and a Python INDI client (indipyclient) in a thread of its own.

The driver runs in its own process under indiserver, on its own simulated
cameras: a test changes that simulator (unplug, replug, the sky) through a
control pipe that the test harness's driver script reads. Without indiserver
the tests are skipped, unless ORX_REQUIRE_INDISERVER=1 (the CI step) makes a
missing server a failure.
"""
from __future__ import annotations

import asyncio
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from typing import Any, Callable, Optional

import indipyclient as ipc
import pytest

REPO = Path(__file__).resolve().parents[2]
GUIDE_CAM, MAIN_CAM = "ORX Sim G120MM Mini", "ORX Sim C6200MC Pro"
WAIT_S = 60.0          # a guard against hangs, never a verdict


def _need_indiserver() -> str:
    path = shutil.which("indiserver")
    if path is None:
        if os.environ.get("ORX_REQUIRE_INDISERVER"):
            pytest.fail("indiserver is not installed (apt-get install indi-bin)")
        pytest.skip("indiserver is not installed (apt-get install indi-bin)")
    return path


DRIVER_SCRIPT = """\
#!{python}
# test harness: the driver with its simulator set up by the test, and a pipe
# through which the test changes that simulator while the driver runs
import sys, threading
import orxsim
{setup}
def control():
    done = 0
    while True:
        with open({fifo!r}) as commands:
            for line in commands:
                try:
                    exec(line, {{"orxsim": orxsim}})
                except Exception as exc:
                    print("control:", exc, file=sys.stderr)
                done += 1
                with open({fifo!r} + ".done", "w") as f:
                    f.write(str(done))
threading.Thread(target=control, daemon=True).start()
from orxindi.__main__ import main
sys.exit(main(["--time-scale", "{scale}"]))
"""


class Server:
    """indiserver with the driver, on a free loopback port."""

    def __init__(self, folder: Path, setup: str = "", scale: float = 0.01) -> None:
        _need_indiserver()
        self.folder = folder
        self.fifo = folder / "control"
        os.mkfifo(self.fifo)
        self.commands = 0
        script = folder / "orx-indi-test"
        script.write_text(DRIVER_SCRIPT.format(python=sys.executable, setup=textwrap.dedent(setup),
                                               fifo=str(self.fifo), scale=scale))
        script.chmod(0o755)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        self.log = open(folder / "indiserver.log", "wb")
        self.proc = subprocess.Popen(
            ["indiserver", "-v", "-r", "0", "-p", str(self.port), "-u", str(folder / "indi.sock"), str(script)],
            stdout=self.log, stderr=subprocess.STDOUT, env=env, cwd=folder)
        try:
            self.wait(lambda: "orxindi.driver: serving" in self.log_text(), "the driver to start")
            self.wait(lambda: self.getprop(f"{GUIDE_CAM}.CONNECTION.CONNECT", check=False).returncode == 0,
                      "the devices")
        except BaseException:       # a server that did not come up is not left running
            self.stop()
            raise

    def log_text(self) -> str:
        return (self.folder / "indiserver.log").read_text(errors="replace")

    def control(self, line: str) -> None:
        """Run a line of Python (orxsim) in the driver's process, and wait until it has run."""
        with open(self.fifo, "w") as f:
            f.write(line + "\n")
        self.commands += 1
        done = Path(str(self.fifo) + ".done")
        self.wait(lambda: done.exists() and done.read_text() == str(self.commands), f"the driver to run {line!r}")

    def wait(self, predicate: Callable[[], Any], what: str, timeout: float = WAIT_S) -> Any:
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise AssertionError(f"indiserver exited while waiting for {what}:\n{self.log_text()[-3000:]}")
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}:\n{self.log_text()[-3000:]}")

    def run(self, *args: str, check: bool = True, timeout: float = WAIT_S, cwd: Optional[Path] = None
            ) -> subprocess.CompletedProcess:
        r = subprocess.run([*args], capture_output=True, text=True, timeout=timeout, cwd=cwd or self.folder)
        if check and r.returncode != 0:
            raise AssertionError(f"{' '.join(args)}: exit {r.returncode}\n{r.stdout}\n{r.stderr}")
        return r

    def getprop(self, *specs: str, check: bool = True, wait: float = 2) -> subprocess.CompletedProcess:
        return self.run("indi_getprop", "-p", str(self.port), "-t", str(wait), *specs, check=check)

    def value(self, spec: str) -> str:
        return self.getprop("-1", spec).stdout.strip()

    def setprop(self, *specs: str, check: bool = True) -> subprocess.CompletedProcess:
        return self.run("indi_setprop", "-p", str(self.port), *specs, check=check)

    def eval(self, expression: str, timeout: float = WAIT_S) -> subprocess.CompletedProcess:
        """indi_eval waiting until the expression holds."""
        return self.run("indi_eval", "-p", str(self.port), "-t", str(int(timeout)), "-w", expression)

    def restarts(self) -> int:
        return self.log_text().count("restart #")

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class Client:
    """indipyclient's client in a thread of its own, with blocking helpers.
    Every event it receives is kept in order."""

    def __init__(self, port: int, blobs: bool = True) -> None:
        outer = self
        self.events: list[Any] = []
        self._lock = threading.Lock()

        class _Client(ipc.IPyClient):
            async def rxevent(self, event: Any) -> None:
                with outer._lock:
                    outer.events.append(event)

        self.client = _Client("127.0.0.1", port)
        self.client.timeout_enable = False
        if blobs:
            self.client.enableBLOBdefault = "Also"
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_until_complete, args=(self.client.asyncrun(),),
                                        daemon=True)
        self._thread.start()

    def call(self, coro: Any) -> Any:
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(WAIT_S)

    def wait(self, predicate: Callable[[], Any], what: str, timeout: float = WAIT_S) -> Any:
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self._lock:
                value = predicate()
            if value:
                return value
            time.sleep(0.02)
        raise AssertionError(f"timed out waiting for {what}")

    def vector(self, device: str, name: str) -> Any:
        return self.wait(lambda: self.client.get(device, {}).get(name), f"{device}.{name}")

    def state(self, device: str, name: str) -> str:
        return self.vector(device, name).state

    def set(self, device: str, name: str, members: dict[str, Any]) -> int:
        """Send new values; the number of events received before, so that a
        wait can look at what came after."""
        self.vector(device, name)
        mark = len(self.events)
        self.call(self.client.send_newVector(device, name, members=members))
        return mark

    def after(self, mark: int, device: str, name: str, states: tuple[str, ...] = ("Ok", "Alert", "Idle")) -> Any:
        """The first update of the vector after ``mark`` in one of ``states``."""
        def find() -> Any:
            for e in self.events[mark:]:
                if getattr(e, "devicename", None) == device and getattr(e, "vectorname", None) == name \
                        and getattr(e, "eventtype", "") in ("Set", "SetBLOB") and e.state in states:
                    return e
            return None
        return self.wait(find, f"{device}.{name} in {states}")

    def messages(self, mark: int, device: str) -> list[str]:
        return [e.message for e in self.events[mark:] if getattr(e, "eventtype", "") == "Message"
                and getattr(e, "devicename", None) == device]

    def blob(self, mark: int, device: str) -> bytes:
        e = self.wait(lambda: next((e for e in self.events[mark:] if getattr(e, "vectorname", None) == "CCD1"
                                    and getattr(e, "eventtype", "") == "SetBLOB"), None), f"{device} image")
        return e["CCD1"]

    def connect(self, device: str) -> None:
        mark = self.set(device, "CONNECTION", {"CONNECT": "On", "DISCONNECT": "Off"})
        assert self.after(mark, device, "CONNECTION").state == "Ok"
        self.vector(device, "CCD_EXPOSURE")

    def close(self) -> None:
        self.client.shutdown()
        self._thread.join(10)
