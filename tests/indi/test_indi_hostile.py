"""Hostile input: malformed XML, unknown properties, values out of range and
a client that vanishes in the middle of an image. The driver and the server
stay up, the device keeps its settings, and other clients are not stalled."""
from __future__ import annotations

import socket
import subprocess
import sys
import time

import pytest

from indi_harness import GUIDE_CAM, MAIN_CAM, WAIT_S, Client

G = GUIDE_CAM


@pytest.fixture(scope="module")
def watcher(server):
    """A client connected all along: what the hostile ones do must not stall it."""
    c = Client(server.port)
    c.connect(GUIDE_CAM)
    yield c
    c.close()


def alive(server, watcher) -> None:
    """The driver was not restarted and answers: an exposure completes."""
    assert server.restarts() == 0
    mark = watcher.set(G, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 0.05})
    assert watcher.blob(mark, G)
    assert watcher.after(mark, G, "CCD_EXPOSURE").state == "Ok"


def raw_client(server, *messages: bytes) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", server.port), timeout=WAIT_S)
    for m in messages:
        s.sendall(m)
    return s


@pytest.mark.parametrize("garbage", [
    b"<<<>>>\n",
    b'<newNumberVector device="ORX Sim G120MM Mini" name="CCD_EXPOSURE"><oneNumber name="CCD_EXPOSURE_VALUE">1'
    b"</oneNumbe></newNumberVector>\n",
    b"\x00\xff\xfe" * 1000,
    b"<getProperties version='1.7'/>" + b"<a>" * 5000,
])
def test_malformed_xml_through_the_server(server, watcher, garbage):
    s = raw_client(server, garbage)
    s.close()
    alive(server, watcher)


def test_malformed_xml_straight_to_the_driver(tmp_path):
    """The driver alone, as indiserver runs it: garbage on its input is
    skipped and the next well-formed request is answered."""
    import os
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-m", "orxindi", "--cameras", "1002"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        out, err = proc.communicate(b"<oops <<< & </notopen>\n<getProperties version='1.7'/>\n", timeout=5)
    except subprocess.TimeoutExpired:
        proc.terminate()
        out, err = proc.communicate()
    assert b'<defSwitchVector device="ORX Sim G120MM Mini" name="CONNECTION"' in out, err.decode()[-2000:]
    assert b"Traceback" not in err


def new_number(vector: str, **members: str) -> bytes:
    body = "".join(f'<oneNumber name="{m}">{v}</oneNumber>' for m, v in members.items())
    return f'<newNumberVector device="{G}" name="{vector}">{body}</newNumberVector>\n'.encode()


@pytest.mark.parametrize("vector, members", [
    ("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": "-1"}),
    ("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": "1e300"}),
    ("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": "nan"}),
    ("CCD_FRAME", {"X": "1200", "Y": "0", "WIDTH": "200", "HEIGHT": "100"}),
    ("CCD_FRAME", {"X": "0", "Y": "0", "WIDTH": "0", "HEIGHT": "100"}),
    ("CCD_FRAME", {"X": "inf", "Y": "0", "WIDTH": "10", "HEIGHT": "10"}),
    ("CCD_BINNING", {"HOR_BIN": "3", "VER_BIN": "3"}),
    ("CCD_BINNING", {"HOR_BIN": "1", "VER_BIN": "2"}),
    ("CCD_CONTROLS", {"Gain": "1000"}),
    ("CCD_CONTROLS", {"Gain": "inf"}),
    ("CCD_CONTROLS", {"Gain": "50.5"}),
    ("TELESCOPE_TIMED_GUIDE_NS", {"TIMED_GUIDE_N": "1e12", "TIMED_GUIDE_S": "0"}),
    ("TELESCOPE_TIMED_GUIDE_NS", {"TIMED_GUIDE_N": "-5", "TIMED_GUIDE_S": "0"}),
    ("CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE": "-10"}),         # the guide camera has no cooler
])
def test_values_out_of_range_alert_and_change_nothing(server, watcher, vector, members):
    before = {k: watcher.vector(G, k)[m] for k, m in (("CCD_FRAME", "WIDTH"), ("CCD_BINNING", "HOR_BIN"),
                                                       ("CCD_CONTROLS", "Gain"))}
    mark = len(watcher.events)
    s = raw_client(server, b"<getProperties version='1.7'/>\n", new_number(vector, **members))
    try:
        assert watcher.after(mark, G, vector, ("Alert",))
        assert watcher.messages(mark, G), "the client is told why"
    finally:
        s.close()
    after = {k: watcher.vector(G, k)[m] for k, m in (("CCD_FRAME", "WIDTH"), ("CCD_BINNING", "HOR_BIN"),
                                                      ("CCD_CONTROLS", "Gain"))}
    assert after == before
    alive(server, watcher)


@pytest.mark.parametrize("message", [
    new_number("NO_SUCH_PROPERTY", X="1"),
    new_number("CCD_EXPOSURE", NO_SUCH_MEMBER="1"),
    b'<newSwitchVector device="ORX Sim G120MM Mini" name="CCD_FRAME_TYPE"><oneSwitch name="FRAME_DARK">Maybe'
    b"</oneSwitch></newSwitchVector>\n",
    b'<newTextVector device="ORX Sim G120MM Mini" name="UPLOAD_SETTINGS"><oneText name="UPLOAD_PREFIX">../../etc/x'
    b"</oneText></newTextVector>\n",
    b'<newNumberVector device="No Such Camera" name="CCD_EXPOSURE"><oneNumber name="CCD_EXPOSURE_VALUE">1'
    b"</oneNumber></newNumberVector>\n",
])
def test_unknown_or_invalid_requests_leave_the_driver_up(server, watcher, message):
    s = raw_client(server, b"<getProperties version='1.7'/>\n", message)
    time.sleep(0.2)                 # give the driver the message before the check (not a verdict)
    s.close()
    assert watcher.vector(G, "UPLOAD_SETTINGS")["UPLOAD_PREFIX"] == "IMAGE_XXX"
    alive(server, watcher)


def test_client_vanishing_mid_blob(server, watcher):
    """A client asks for the full 6248x4176 16-bit frame (a 70 MB BLOB) and
    hangs up a few kilobytes into it; the other client's work goes on, on
    that camera too."""
    cam = MAIN_CAM.encode()
    s = raw_client(server, b"<getProperties version='1.7'/>\n",
                   b'<newSwitchVector device="' + cam + b'" name="CONNECTION"><oneSwitch name="CONNECT">On'
                   b"</oneSwitch></newSwitchVector>\n")
    got = b""
    deadline = time.monotonic() + WAIT_S
    while b'device="' + cam + b'" name="CCD1"' not in got and time.monotonic() < deadline:
        got += s.recv(65536)
    s.sendall(b'<enableBLOB device="' + cam + b'">Also</enableBLOB>\n'
              b'<newNumberVector device="' + cam + b'" name="CCD_EXPOSURE"><oneNumber name="CCD_EXPOSURE_VALUE">'
              b"0.1</oneNumber></newNumberVector>\n")
    while b"<oneBLOB" not in got and time.monotonic() < deadline:
        got = got[-100:] + s.recv(65536)
    assert b"<oneBLOB" in got
    s.close()
    alive(server, watcher)
    watcher.vector(MAIN_CAM, "CCD_EXPOSURE")
    watcher.set(MAIN_CAM, "CCD_FRAME", {"X": 0, "Y": 0, "WIDTH": 64, "HEIGHT": 64})
    mark = watcher.set(MAIN_CAM, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 0.1})
    image = watcher.blob(mark, MAIN_CAM)
    assert len(image) < 64 * 64 * 2 + 2 * 2880 * 3
    assert watcher.after(mark, MAIN_CAM, "CCD_EXPOSURE").state == "Ok"
