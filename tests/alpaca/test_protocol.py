"""The Alpaca protocol over plain HTTP: transaction ids, parameter names,
bad requests, error numbers, library statuses, the ImageBytes format."""
import logging
import socket

import numpy as np
import pytest
import requests

import orx
import orxsim
from orxalpaca import errors

from alpaca_helpers import Client, imagebytes, sensor_pixels


def test_transaction_ids(client):
    first = client.get("gain", ClientTransactionID=4000000000).json()
    assert first["ClientTransactionID"] == 4000000000
    for bad in ("-1", "abc", "4294967296", ""):
        body = client.get("gain", ClientTransactionID=bad).json()
        assert body["ClientTransactionID"] == 0 and body["ErrorNumber"] == 0
    put = client.put("gain", Gain=10, ClientTransactionID=12).json()
    assert put["ClientTransactionID"] == 12 and "Value" not in put
    later = client.get("gain").json()
    assert later["ServerTransactionID"] > put["ServerTransactionID"] > first["ServerTransactionID"] > 0


def test_parameter_name_casing(client):
    # query parameters in any casing; form fields only as the interface writes them
    client.ok("gain", Gain=42)
    body = client.get("gain", CLIENTTRANSACTIONID=6).json()
    assert (body["Value"], body["ClientTransactionID"]) == (42, 6)
    r = client.put("gain", gAIN=43)
    assert r.status_code == 400 and "missing parameter Gain" in r.text
    assert client.put("binx", bINx=2).status_code == 400 and client.value("binx") == 1
    body = client.put("gain", Gain=44, clienttransactionid=5).json()      # ignored, not refused
    assert (body["ErrorNumber"], body["ClientTransactionID"]) == (0, 0) and client.value("gain") == 44


@pytest.mark.parametrize("verb, path, form, status, text", [
    ("GET", "/api/v1/camera/9/gain", {}, 400, "no camera number 9"),
    ("GET", "/api/v1/camera/x/gain", {}, 400, "no camera number x"),
    ("GET", "/api/v1/telescope/0/name", {}, 400, "no device type"),
    ("GET", "/api/v1/CAMERA/1/name", {}, 400, "no device type"),
    ("GET", "/api/v1/camera/\u00b2/gain", {}, 400, "no camera number"),
    ("GET", "/api/v1/camera/" + "1" * 5000 + "/gain", {}, 400, "no camera number"),
    ("PUT", "/api/v1/camera/1/gain", {"Gain": "\u00b2"}, 400, "not an integer"),
    ("PUT", "/api/v1/camera/1/gain", {"Gain": "\u0661"}, 400, "not an integer"),     # Arabic-Indic one
    ("PUT", "/api/v1/camera/1/gain", {"Gain": "9" * 5000}, 400, "not an integer"),
    ("PUT", "/api/v1/camera/1/startexposure", {"Duration": "\u0661", "Light": "true"}, 400, "finite"),
    ("PUT", "/api/v1/camera/1/pulseguide", {"Direction": "0", "Duration": "1" * 5000}, 400, "not an integer"),
    ("GET", "/api/v1/camera/1/nosuchmember", {}, 400, "no member"),
    ("GET", "/api/v1/camera/1/startexposure", {}, 400, "use PUT"),
    ("PUT", "/api/v1/camera/1/camerastate", {}, 400, "use GET"),
    ("PUT", "/api/v1/camera/1/gain", {}, 400, "missing parameter Gain"),
    ("PUT", "/api/v1/camera/1/gain", {"Gain": "1.5"}, 400, "not an integer"),
    ("PUT", "/api/v1/camera/1/cooleron", {"CoolerOn": "yes"}, 400, "not true or false"),
    ("PUT", "/api/v1/camera/1/startexposure", {"Duration": "nan", "Light": "true"}, 400, "finite"),
    ("PUT", "/api/v1/camera/1/startexposure", {"Duration": "1"}, 400, "missing parameter Light"),
])
def test_bad_requests(server, client, verb, path, form, status, text):
    r = requests.request(verb, server.url + path, data=form, timeout=10)
    assert r.status_code == status
    assert text in r.text and "Traceback" not in r.text


@pytest.mark.parametrize("verb, member, form, number", [
    ("PUT", "gain", {"Gain": 101}, errors.INVALID_VALUE),
    ("PUT", "offset", {"Offset": -1}, errors.INVALID_VALUE),
    ("PUT", "binx", {"BinX": 3}, errors.INVALID_VALUE),
    ("PUT", "readoutmode", {"ReadoutMode": 2}, errors.INVALID_VALUE),
    ("PUT", "startx", {"StartX": -1}, errors.INVALID_VALUE),
    ("PUT", "startexposure", {"Duration": -1, "Light": True}, errors.INVALID_VALUE),
    ("PUT", "startexposure", {"Duration": 5000, "Light": True}, errors.INVALID_VALUE),
    ("PUT", "pulseguide", {"Direction": 4, "Duration": 10}, errors.INVALID_VALUE),
    ("PUT", "pulseguide", {"Direction": 0, "Duration": -10}, errors.INVALID_VALUE),
    ("GET", "imagearray", {}, errors.INVALID_OPERATION),
    ("GET", "lastexposurestarttime", {}, errors.INVALID_OPERATION),
    ("GET", "lastexposureduration", {}, errors.INVALID_OPERATION),
    ("GET", "heatsinktemperature", {}, errors.NOT_IMPLEMENTED),
    ("GET", "cooleron", {}, errors.NOT_IMPLEMENTED),          # the guide camera has no cooler
    ("PUT", "setccdtemperature", {"SetCCDTemperature": 0}, errors.NOT_IMPLEMENTED),
    ("GET", "bayeroffsetx", {}, errors.NOT_IMPLEMENTED),      # mono
    ("GET", "gains", {}, errors.NOT_IMPLEMENTED),
    ("PUT", "stopexposure", {}, errors.NOT_IMPLEMENTED),
    ("PUT", "action", {"Action": "x", "Parameters": ""}, errors.ACTION_NOT_IMPLEMENTED),
    ("PUT", "commandblind", {"Command": "x", "Raw": False}, errors.NOT_IMPLEMENTED),
])
def test_alpaca_errors(client, verb, member, form, number):
    r = client.get(member, **form) if verb == "GET" else client.put(member, **form)
    assert r.status_code == 200
    body = r.json()
    assert body["ErrorNumber"] == number and body["ErrorMessage"]


def test_members_need_a_connection(server):
    c = Client(server.url, 0)
    assert c.get("gain").json()["ErrorNumber"] == errors.NOT_CONNECTED
    assert c.value("name") == orx.get_camera_property(0).name
    assert c.value("connected") is False
    c.ok("connect")                    # asynchronous: Connecting until done
    while c.value("connecting"):
        pass
    assert c.value("connected") is True and c.value("gain") >= 0
    c.ok("disconnect")
    while c.value("connecting"):
        pass
    assert c.value("connected") is False


@pytest.mark.parametrize("function, status, member, form, number", [
    ("ORXGetControlValue", orxsim.Status.CAMERA_REMOVED, "gain", None, errors.NOT_CONNECTED),
    ("ORXSetControlValue", orxsim.Status.GENERAL, "gain", {"Gain": 5}, errors.DRIVER_BASE + 6),
    ("ORXStartExposure", orxsim.Status.EXPOSURE_IN_PROGRESS, "startexposure",
     {"Duration": 0.01, "Light": True}, errors.INVALID_OPERATION),
    ("ORXGetControlValue", orxsim.Status.TIMEOUT, "ccdtemperature", None, errors.DRIVER_BASE + 5),
])
def test_library_statuses(client, function, status, member, form, number):
    orxsim.inject(function, status)
    r = client.get(member) if form is None else client.put(member, **form)
    body = r.json()
    assert body["ErrorNumber"] == number
    exc = orx.ORX_ERROR_CODE_TO_EXCEPTION[int(status)]
    assert exc.__name__ in body["ErrorMessage"]


def test_failed_download_is_an_error_state(client):
    orxsim.inject("ORXGetDataAfterExp", orxsim.Status.TIMEOUT)
    client.ok("startexposure", Duration=0.01, Light=True)
    while client.value("camerastate") != 5:
        pass
    body = client.get("imagearray").json()
    assert body["ErrorNumber"] == errors.INVALID_OPERATION and "ORXTimeout" in body["ErrorMessage"]
    client.expose()                    # the next exposure works
    assert client.value("camerastate") == 0


def test_unexpected_failure_is_an_alpaca_error_without_traceback(client, monkeypatch):
    def broken(*args):
        raise RuntimeError("secret detail")
    monkeypatch.setattr(orx, "get_control_value", broken)
    body = client.get("gain").json()
    assert body["ErrorNumber"] == errors.UNSPECIFIED
    assert "secret" not in body["ErrorMessage"] and "Traceback" not in body["ErrorMessage"]


@pytest.mark.parametrize("number, mode, element, rank", [
    (1, "RAW16", 8, 2),
    (1, "RAW8", 6, 2),
    (2, "RGB24", 6, 3),
    (2, "Y8", 6, 2),
])
def test_imagebytes(server, frames, number, mode, element, rank):
    c = Client(server.url, number)
    c.ok("connected", Connected=True)
    c.ok("readoutmode", ReadoutMode=c.value("readoutmodes").index(mode))
    c.ok("numx", NumX=64)
    c.ok("numy", NumY=48)
    c.expose()
    head, data = imagebytes(c, ClientTransactionID=2**32 - 1)       # an unsigned 32-bit id
    version, error, ctid, stid, start, image_type, transmission, got_rank, d1, d2, d3 = head
    assert (version, error, ctid & 0xFFFFFFFF, start, image_type, transmission, got_rank) == (
        1, 0, 2**32 - 1, 44, 2, element, rank)
    assert stid > 0 and (d1, d2, d3) == (64, 48, 3 if rank == 3 else 0)
    dtype = "<u2" if element == 8 else np.uint8
    got = np.frombuffer(data, dtype).reshape((64, 48, 3) if rank == 3 else (64, 48))
    want = sensor_pixels(frames[0], 64, 48, orx.ImgType[f"IMG_{mode}"]).swapaxes(0, 1)
    assert np.array_equal(got, want)
    # the same image as JSON
    body = c.get("imagearray").json()
    assert (body["Type"], body["Rank"]) == (2, rank)
    assert np.array_equal(np.array(body["Value"]), want)
    assert c.value("maxadu") == (65535 if mode == "RAW16" else 255)
    assert c.value("sensortype") == {"RAW16": 0, "RAW8": 0, "RGB24": 1, "Y8": 0}[mode]


def test_subframe_that_does_not_fit(client):
    client.ok("binx", BinX=2)
    assert client.value("biny") == 2
    client.ok("numx", NumX=640)           # the sensor is 640 wide at bin 2
    client.ok("startx", StartX=8)
    body = client.put("startexposure", Duration=0.01, Light=True).json()
    assert body["ErrorNumber"] == errors.INVALID_VALUE and "does not fit" in body["ErrorMessage"]
    assert client.value("camerastate") == 0


def test_client_leaving_during_a_download(server, caplog):
    c = Client(server.url, 0)
    c.ok("connected", Connected=True)
    c.expose()
    for _ in range(3):
        with socket.create_connection(("127.0.0.1", server.server.port)) as sock:
            sock.sendall(b"GET /api/v1/camera/0/imagearray HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         b"Accept: application/imagebytes\r\n\r\n")
            assert sock.recv(100).startswith(b"HTTP/1.1 200")
    assert c.value("imageready") is True
    assert len(imagebytes(c)[1]) == 6248 * 4176 * 2
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]


@pytest.mark.parametrize("direction, way", [("3", "ORX_GUIDE_WEST"), ("GuideDirections.guideNorth", "ORX_GUIDE_NORTH")])
def test_guide_direction_as_number_or_member_name(client, direction, way):
    # clients on Python 3.10 send an enumeration member as "Type.member"
    orxsim.clear_log()
    client.ok("pulseguide", Direction=direction, Duration=1)
    call = next(c for c in orxsim.log() if c.name == "ORXPulseGuideOn")
    assert call.args[1] == orx.GuideDirection[way].value


@pytest.mark.parametrize("direction", ["GuideDirections.guideUp", "guideNorth"])
def test_guide_direction_unknown_name_is_a_bad_request(client, direction):
    r = client.put("pulseguide", Direction=direction, Duration=1)
    assert r.status_code == 400 and "not an integer" in r.text
