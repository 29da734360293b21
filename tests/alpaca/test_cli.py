"""``python -m orxalpaca`` as a user runs it: options, Ctrl-C."""
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest
import requests

import orx

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

# Under a preloaded address sanitizer each interpreter takes some 20 s to
# start; the server code these tests run is the same the in-process tests
# check there.
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="new interpreters are slow under the preloaded sanitizer")


def run(*args, **kw):
    return subprocess.run([sys.executable, "-m", "orxalpaca", *args], env=ENV, capture_output=True,
                          text=True, timeout=60, **kw)


def test_list_shows_every_camera():
    out = run("--list").stdout
    for i in range(orx.get_number_of_connected_cameras()):
        info = orx.get_camera_property(i)
        assert f"{info.camera_id}  {info.name}" in out


@pytest.mark.parametrize("args, message", [
    (["--cameras", "1001,4242"], "no camera with id 4242"),
    (["--port", "-5"], "not in 0..65535"),
    (["--port", "x"], "is not a port number"),
    (["--cameras", "1001,a"], "not a comma-separated list of camera ids"),
])
def test_bad_options(args, message):
    done = run(*args, "--no-discovery")
    assert done.returncode != 0 and message in done.stderr and "Traceback" not in done.stderr


def test_port_in_use():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        done = run("--port", str(taken.getsockname()[1]), "--no-discovery")
    assert done.returncode == 1 and "cannot serve" in done.stderr and "Traceback" not in done.stderr


def test_ctrl_c_aborts_the_exposure_and_closes_the_cameras():
    proc = subprocess.Popen([sys.executable, "-m", "orxalpaca", "--port", "0", "--no-discovery",
                             "--cameras", "1002", "--time-scale", "0.01"],
                            env=ENV, stderr=subprocess.PIPE, text=True)
    try:
        lines = []
        while True:
            line = proc.stderr.readline()
            assert line, "".join(lines)
            lines.append(line)
            found = re.search(r"serving 1 camera\(s\) on (http://\S+)/", line)
            if found:
                break
        base = found.group(1) + "/api/v1/camera/0/"
        assert requests.put(base + "connected", data={"Connected": "true"}, timeout=30).json()["ErrorNumber"] == 0
        started = requests.put(base + "startexposure", data={"Duration": 1000, "Light": "true"}, timeout=30)
        assert started.json()["ErrorNumber"] == 0
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        rest = proc.communicate(timeout=30)[1]
    finally:
        proc.kill()
    assert proc.returncode == 0, rest
    assert "aborted the exposure" in rest and "disconnected" in rest and "stopped" in rest
    assert "Traceback" not in rest


def test_missing_extra_is_named():
    code = "import sys; sys.modules['aiohttp'] = None; from orxalpaca.__main__ import main; main([])"
    done = subprocess.run([sys.executable, "-c", code], env=ENV, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.strip().splitlines() == ["orx-alpaca needs the 'alpaca' extra: pip install 'orx[alpaca]'"]
