"""A conformance run against a running Alpaca camera server, on the rules the
certification checker applies to camera drivers with its default settings:
the protocol (URLs, parameter casing, transaction ids, bad values), the
management API, discovery, every camera member and the exposure cycle at
every binning with its images in JSON and ImageBytes.

Each finding is an issue (the checker would fail the driver), an error (the
run itself broke) or a warning (allowed, but noted). As a program:

    python tests/alpaca/conformance.py http://127.0.0.1:11111 [--discovery-port N]

prints the findings per camera and exits 1 if there is any issue or error.
"""
from __future__ import annotations

import argparse
import json
import socket
import struct
import sys
import time
from typing import Any, Callable, Optional

import requests

OK, NOT_IMPLEMENTED, INVALID_VALUE, INVALID_OPERATION = 0, 0x400, 0x401, 0x40B
BAD_VALUE = "asduio6fghZZ"
IDS = {"ClientID": "123456", "ClientTransactionID": "67890"}
IMAGEBYTES = "application/imagebytes"
MONOCHROME, COLOR = 0, 1


class Findings:
    def __init__(self, name: str) -> None:
        self.name = name
        self.issues: list[str] = []
        self.errors: list[str] = []
        self.warnings: list[str] = []

    def issue(self, text: str) -> None:
        self.issues.append(text)

    def warn(self, text: str) -> None:
        self.warnings.append(text)

    def check(self, condition: bool, text: str) -> bool:
        if not condition:
            self.issue(text)
        return condition

    def summary(self) -> str:
        lines = [f"{self.name}: {len(self.issues)} issues, {len(self.errors)} errors, {len(self.warnings)} warnings"]
        lines += [f"  ISSUE {t}" for t in self.issues] + [f"  ERROR {t}" for t in self.errors]
        lines += [f"  warning {t}" for t in self.warnings]
        return "\n".join(lines)


def invert_case(name: str) -> str:
    return name.swapcase()


class CameraRun:
    """The checks of one camera device."""

    def __init__(self, url: str, number: int, findings: Findings, timeout: float = 120) -> None:
        self.url = url.rstrip("/")
        self.base = f"{self.url}/api/v1/camera/{number}/"
        self.f = findings
        self.http = requests.Session()
        self.timeout = timeout

    # -- calls ---------------------------------------------------------------

    def raw(self, verb: str, member: str, params: dict, headers: Optional[dict] = None) -> requests.Response:
        if verb == "GET":
            return self.http.get(self.base + member, params=params, headers=headers, timeout=self.timeout)
        return self.http.put(self.base + member, data=params, headers=headers, timeout=self.timeout)

    def call(self, verb: str, member: str, **params: Any) -> dict:
        """The answer's JSON, checked for the envelope every answer has."""
        r = self.raw(verb, member, {**IDS, **params})
        if r.status_code != 200:
            self.f.issue(f"{verb} {member}: HTTP {r.status_code} {r.text[:120]!r}")
            return {"ErrorNumber": -1, "ErrorMessage": r.text}
        body = r.json()
        self.f.check(body.get("ClientTransactionID") == int(IDS["ClientTransactionID"]),
                     f"{verb} {member}: ClientTransactionID not echoed")
        self.f.check(isinstance(body.get("ServerTransactionID"), int) and body["ServerTransactionID"] > 0,
                     f"{verb} {member}: no positive ServerTransactionID")
        self.f.check(isinstance(body.get("ErrorNumber"), int) and isinstance(body.get("ErrorMessage"), str),
                     f"{verb} {member}: ErrorNumber/ErrorMessage missing")
        if verb == "GET" and body.get("ErrorNumber") == OK:
            self.f.check("Value" in body, f"GET {member}: no Value")
        if body.get("ErrorNumber") and not body.get("ErrorMessage"):
            self.f.issue(f"{verb} {member}: error {body['ErrorNumber']:#x} without a message")
        return body

    def get(self, member: str, allowed: tuple[int, ...] = ()) -> Any:
        """A member's value; None when it answered one of the allowed errors."""
        body = self.call("GET", member)
        number = body["ErrorNumber"]
        if number == OK:
            return body["Value"]
        if number not in allowed and number != -1:
            self.f.issue(f"GET {member}: error {number:#x} {body['ErrorMessage']!r}")
        return None

    def put(self, member: str, allowed: tuple[int, ...] = (), **params: Any) -> int:
        body = self.call("PUT", member, **params)
        number = body["ErrorNumber"]
        if number not in (OK, -1) + allowed:
            self.f.issue(f"PUT {member} {params}: error {number:#x} {body['ErrorMessage']!r}")
        return number

    # -- protocol ------------------------------------------------------------

    def protocol(self) -> None:
        number = self.base.rstrip("/").rsplit("/", 1)[-1]
        for path in (f"/api/v1/CAMERA/{number}/description", "/api/v1/baddevicetype/0/description",
                     "/api/v1/camera/-1/description", "/api/v1/camera/99999/description",
                     "/api/v1/camera/A/description", f"/api/v1/camera/{number}/descrip"):
            r = self.http.get(self.url + path, params=IDS, timeout=self.timeout)
            self.f.check(400 <= r.status_code < 500, f"GET {path}: HTTP {r.status_code}, a 4xx expected")
        for path in (f"/api/v2/camera/{number}/description", f"/api/v1/camera/{number}/nosuchmember"):
            if self.http.get(self.url + path, params=IDS, timeout=self.timeout).status_code != 400:
                self.f.warn(f"GET {path}: not HTTP 400")
        # query parameter names in any casing
        r = self.raw("GET", "name", {"clientid": "1", "clienttransactionid": "55"})
        self.f.check(r.status_code == 200 and r.json().get("ClientTransactionID") == 55,
                     "GET with lower-case ClientTransactionID: not read")
        for value in ("", "     ", "-12345", "asdasd"):
            r = self.raw("GET", "name", {"ClientID": "1", "ClientTransactionID": value})
            self.f.check(r.status_code in (200, 400), f"GET with ClientTransactionID {value!r}: HTTP {r.status_code}")
        for value in ("", "123456", "asdqwe"):
            self.bad_value("connected", "Connected", value)

    def bad_value(self, member: str, name: str, value: str, others: Optional[dict] = None) -> None:
        r = self.raw("PUT", member, {**IDS, **(others or {}), name: value})
        ok = r.status_code == 400 or (r.status_code == 200 and r.json().get("ErrorNumber") == INVALID_VALUE)
        self.f.check(ok, f"PUT {member} {name}={value!r}: neither HTTP 400 nor InvalidValue")

    def put_casing(self, member: str, name: str, value: Any, others: Optional[dict] = None) -> None:
        """A PUT member's parameter rules: good casing, an extra parameter, a bad
        value, the name in inverted casing (400), the ids in lower case (ignored)."""
        others = others or {}
        self.put(member, **others, **{name: value})
        self.put(member, **others, ExtraParameter="ExtraValue", **{name: value})
        self.bad_value(member, name, BAD_VALUE, others)
        r = self.raw("PUT", member, {**IDS, **others, invert_case(name): value})
        self.f.check(r.status_code == 400, f"PUT {member} {invert_case(name)}=...: HTTP {r.status_code}, 400 expected")
        r = self.raw("PUT", member, {"ClientID": "1", "clienttransactionid": "77", **others, name: value})
        self.f.check(r.status_code == 200 and r.json().get("ClientTransactionID") == 0,
                     f"PUT {member} with lower-case clienttransactionid: not ignored")

    # -- the camera ----------------------------------------------------------

    def members(self) -> dict[str, Any]:
        f, g = self.f, self.get
        for member, kind in (("description", str), ("driverinfo", str), ("driverversion", str), ("name", str),
                             ("interfaceversion", int), ("supportedactions", list)):
            f.check(isinstance(g(member), kind), f"GET {member}: not a {kind.__name__}")
        cam: dict[str, Any] = {}
        for member in ("cameraxsize", "cameraysize", "maxbinx", "maxbiny", "binx", "biny", "startx", "starty",
                       "numx", "numy", "maxadu", "sensortype", "readoutmode", "camerastate", "exposuremin",
                       "exposuremax", "exposureresolution", "pixelsizex", "pixelsizey", "electronsperadu",
                       "fullwellcapacity", "canabortexposure", "canstopexposure", "canasymmetricbin",
                       "canfastreadout", "cangetcoolerpower", "canpulseguide", "cansetccdtemperature",
                       "hasshutter", "imageready", "readoutmodes", "sensorname"):
            cam[member] = g(member)
        f.check(cam["cameraxsize"] > 0 and cam["cameraysize"] > 0, "sensor size not positive")
        f.check(1 <= cam["binx"] <= cam["maxbinx"], "BinX outside 1..MaxBinX")
        f.check(cam["numx"] <= cam["cameraxsize"] // cam["binx"], "NumX beyond the binned sensor")
        f.check(cam["camerastate"] == 0 and cam["imageready"] is False, "not idle with no image at the start")
        f.check(0 < cam["exposuremin"] <= cam["exposuremax"], "ExposureMin..ExposureMax")
        f.check(isinstance(cam["readoutmodes"], list) and 0 <= cam["readoutmode"] < len(cam["readoutmodes"]),
                "ReadoutMode outside ReadoutModes")
        # optional members: implemented as their Can* say
        pairs = (("coolerpower", cam["cangetcoolerpower"]), ("setccdtemperature", cam["cansetccdtemperature"]),
                 ("ispulseguiding", cam["canpulseguide"]), ("fastreadout", cam["canfastreadout"]))
        for member, can in pairs:
            got = g(member, allowed=() if can else (NOT_IMPLEMENTED,))
            if not can and got is not None:
                f.warn(f"GET {member}: answers though its Can* is false")
        for member in ("ccdtemperature", "heatsinktemperature", "cooleron", "gain", "gainmin", "gainmax", "gains",
                       "offset", "offsetmin", "offsetmax", "offsets", "subexposureduration"):
            cam[member] = g(member, allowed=(NOT_IMPLEMENTED,))
        if cam["gain"] is not None and cam["gainmin"] is not None:
            f.check(cam["gainmin"] <= cam["gain"] <= cam["gainmax"], "Gain outside GainMin..GainMax")
        if cam["gainmin"] is None and cam["gains"] is None and cam["gain"] is not None:
            f.issue("Gain without GainMin/GainMax or Gains")
        # the colour of the pixels delivered, in every readout mode
        for mode in range(len(cam["readoutmodes"])):
            self.put("readoutmode", ReadoutMode=mode)
            kind = g("sensortype")
            for axis in ("bayeroffsetx", "bayeroffsety"):
                got = g(axis, allowed=(NOT_IMPLEMENTED,))
                if kind == MONOCHROME:
                    f.check(got is None, f"GET {axis}: a value for a monochrome image")
                elif got is None:
                    f.warn(f"GET {axis}: not implemented for sensor type {kind} (readout mode {mode})")
                else:
                    f.check(got in (0, 1), f"GET {axis}: {got}")
        self.put("readoutmode", ReadoutMode=cam["readoutmode"])
        # before any exposure
        percent = g("percentcompleted", allowed=(INVALID_VALUE, NOT_IMPLEMENTED))
        f.check(percent is None or 0 <= percent <= 100, "PercentCompleted outside 0..100")
        for member in ("lastexposureduration", "lastexposurestarttime"):
            body = self.call("GET", member)
            if body["ErrorNumber"] == OK:
                f.issue(f"GET {member}: a value before any exposure")
            elif body["ErrorNumber"] != INVALID_OPERATION:
                f.warn(f"GET {member} before any exposure: {body['ErrorNumber']:#x}, InvalidOperation documented")
        return cam

    def settings(self, cam: dict[str, Any]) -> None:
        f = self.f
        self.put_casing("binx", "BinX", cam["binx"])
        self.put_casing("biny", "BinY", cam["biny"])
        for member, name in (("startx", "StartX"), ("starty", "StartY"), ("numx", "NumX"), ("numy", "NumY"),
                             ("readoutmode", "ReadoutMode")):
            self.put_casing(member, name, cam[member])
        self.bad_value("binx", "BinX", str(cam["maxbinx"] + 1))
        if cam["gain"] is not None:
            self.put_casing("gain", "Gain", cam["gain"])
            if cam["gainmax"] is not None:
                self.bad_value("gain", "Gain", str(cam["gainmax"] + 1))
        if cam["cooleron"] is not None:
            self.put_casing("cooleron", "CoolerOn", cam["cooleron"])
        if cam["cansetccdtemperature"]:
            target = -5.5
            self.put("setccdtemperature", SetCCDTemperature=target)
            got = self.get("setccdtemperature")
            if got != target:
                f.warn(f"SetCCDTemperature {target} read back as {got}")
            self.bad_value("setccdtemperature", "SetCCDTemperature", "-300")
        if cam["canpulseguide"]:
            self.put_casing("pulseguide", "Direction", 0, {"Duration": 10})
            self.bad_value("pulseguide", "Direction", "7", {"Duration": 10})
            self.bad_value("pulseguide", "Duration", "-1", {"Direction": 0})
            deadline = time.monotonic() + self.timeout
            while self.get("ispulseguiding"):
                if time.monotonic() > deadline:
                    f.issue("IsPulseGuiding stays true")
                    break
                time.sleep(0.01)
        else:
            number = self.call("PUT", "pulseguide", Direction=0, Duration=10)["ErrorNumber"]
            f.check(number == NOT_IMPLEMENTED, "PulseGuide without a guide port: not NotImplemented")

    # -- exposures -----------------------------------------------------------

    def wait_image(self, what: str) -> bool:
        deadline = time.monotonic() + self.timeout
        while True:
            ready = self.get("imageready")
            state = self.get("camerastate")
            if ready:
                return self.f.check(state == 0, f"{what}: CameraState {state} with the image ready")
            if state == 5 or time.monotonic() > deadline:
                self.f.issue(f"{what}: no image (CameraState {state})")
                return False
            percent = self.get("percentcompleted", allowed=(INVALID_VALUE, NOT_IMPLEMENTED))
            self.f.check(percent is None or 0 <= percent <= 100, f"{what}: PercentCompleted {percent}")
            time.sleep(0.01)

    def imagebytes(self, ctid: int = 67890) -> Optional[tuple[tuple[int, ...], bytes]]:
        r = self.raw("GET", "imagearray", {"ClientID": "1", "ClientTransactionID": str(ctid)},
                     headers={"Accept": f"{IMAGEBYTES}, application/json;q=0.5"})
        if not self.f.check(r.status_code == 200 and r.headers.get("Content-Type", "").startswith(IMAGEBYTES),
                            f"ImageArray as ImageBytes: HTTP {r.status_code} {r.headers.get('Content-Type')}"):
            return None
        head = struct.unpack("<2i2I7i", r.content[:44])
        return head, r.content[44:]

    def expose(self, cam: dict[str, Any], bin: int, start: tuple[int, int], num: tuple[int, int],
               duration: float, light: bool = True) -> None:
        what = f"bin {bin} frame {num[0]}x{num[1]} at {start}, {duration} s"
        f = self.f
        self.put("binx", BinX=bin)
        self.put("biny", BinY=bin)
        for member, name, value in (("startx", "StartX", start[0]), ("starty", "StartY", start[1]),
                                    ("numx", "NumX", num[0]), ("numy", "NumY", num[1])):
            self.put(member, **{name: value})
        number = self.call("PUT", "startexposure", Duration=duration, Light=light)["ErrorNumber"]
        if number != OK:
            (f.warn if duration == 0 else f.issue)(f"{what}: StartExposure refused ({number:#x})")
            return
        if not self.wait_image(what):
            return
        f.check(self.get("lastexposureduration") == duration, f"{what}: LastExposureDuration")
        start_time = self.get("lastexposurestarttime")
        f.check(isinstance(start_time, str) and len(start_time) >= 19 and start_time[10] == "T",
                f"{what}: LastExposureStartTime {start_time!r}")
        got = self.imagebytes(ctid=2**31 + 5)
        if got is None:
            return
        (version, error, ctid, stid, data_start, element, transmission, rank, d1, d2, d3), data = got
        colour = self.get("sensortype") == COLOR
        f.check((version, error, ctid, data_start) == (1, 0, 2**31 + 5, 44), f"{what}: ImageBytes header {got[0][:5]}")
        f.check((d1, d2) == num and rank == (3 if colour else 2) and d3 == (3 if colour else 0),
                f"{what}: ImageBytes dimensions {(rank, d1, d2, d3)}")
        size = {1: 2, 2: 4, 6: 1, 8: 2}.get(transmission, 0)
        f.check(len(data) == d1 * d2 * (d3 or 1) * size, f"{what}: ImageBytes data length {len(data)}")
        if num[0] * num[1] <= 1 << 16:               # the JSON form too, for small frames
            body = self.call("GET", "imagearray")
            value = body.get("Value")
            f.check(body.get("Rank") == rank and len(value) == num[0] and len(value[0]) == num[1],
                    f"{what}: ImageArray JSON dimensions")

    def exposures(self, cam: dict[str, Any]) -> None:
        f = self.f
        short = max(cam["exposuremin"], 0.001)
        for bin in range(1, cam["maxbinx"] + 1):
            if self.call("PUT", "binx", BinX=bin)["ErrorNumber"] != OK:
                continue
            self.expose(cam, bin, (0, 0), (cam["cameraxsize"] // bin, cam["cameraysize"] // bin), short)
        self.expose(cam, 1, (1, 3), (37, 21), short)              # odd start and size
        self.expose(cam, 1, (0, 0), (64, 48), 0.0, light=False)   # a dark frame of Duration 0
        # refused frames and durations
        for bad in (-1.0, cam["exposuremax"] + 1):
            number = self.call("PUT", "startexposure", Duration=bad, Light=True)["ErrorNumber"]
            f.check(number == INVALID_VALUE, f"StartExposure Duration {bad}: {number:#x}, InvalidValue expected")
        self.put("numx", NumX=cam["cameraxsize"] + 8)
        number = self.call("PUT", "startexposure", Duration=short, Light=True)["ErrorNumber"]
        f.check(number == INVALID_VALUE, f"StartExposure on a frame off the sensor: {number:#x}")
        self.put("numx", NumX=64)
        # abort, then the error form of ImageBytes with no image
        self.put("startexposure", Duration=min(cam["exposuremax"], 5.0), Light=True)
        self.put("abortexposure")
        f.check(self.get("camerastate") == 0 and self.get("imageready") is False, "AbortExposure: not idle, no image")
        if not cam["canstopexposure"]:
            number = self.call("PUT", "stopexposure")["ErrorNumber"]
            f.check(number in (NOT_IMPLEMENTED, INVALID_OPERATION), f"StopExposure: {number:#x}")
        got = self.imagebytes()
        if got is not None:
            f.check(got[0][1] != 0 and got[1], "ImageArray with no image: no error in the ImageBytes form")
        elif f.issues and f.issues[-1].startswith("ImageArray as ImageBytes"):
            f.issues.pop()
            f.warn("ImageArray error not in the ImageBytes form the client asked for")

    def run(self) -> None:
        try:
            self.protocol()
            self.put("connected", Connected=True)
            cam = self.members()
            self.settings(cam)
            self.exposures(cam)
            self.put("connected", Connected=False)
        except Exception as exc:                 # the run broke: that is an error, not a verdict
            self.f.errors.append(f"{type(exc).__name__}: {exc}")


def management(url: str, f: Findings) -> list[dict]:
    http = requests.Session()
    versions = http.get(f"{url}/management/apiversions", params=IDS, timeout=30).json()
    f.check(1 in versions.get("Value", []), "apiversions without 1")
    info = http.get(f"{url}/management/v1/description", params=IDS, timeout=30).json().get("Value", {})
    for key in ("ServerName", "Manufacturer", "ManufacturerVersion", "Location"):
        f.check(isinstance(info.get(key), str), f"description without {key}")
    devices = http.get(f"{url}/management/v1/configureddevices", params=IDS, timeout=30).json().get("Value", [])
    for d in devices:
        f.check(set(d) >= {"DeviceName", "DeviceType", "DeviceNumber", "UniqueID"}, f"configured device {d}")
    f.check(len({d.get("UniqueID") for d in devices}) == len(devices), "UniqueIDs not unique")
    if http.get(f"{url}/management/v9/description", timeout=30).status_code != 400:
        f.warn("unknown management API version: not HTTP 400")
    return [d for d in devices if d.get("DeviceType") == "Camera"]


def discovery(url: str, port: int, f: Findings) -> None:
    http_port = int(url.rsplit(":", 1)[1].split("/")[0])
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        with socket.socket(family, socket.SOCK_DGRAM) as s:
            s.settimeout(2)
            try:
                s.sendto(b"alpacadiscovery1", (host, port))
                answer = json.loads(s.recv(1024))
            except (OSError, ValueError):
                answer = None
        if answer is None:
            (f.issue if family == socket.AF_INET else f.warn)(f"no discovery answer over {host}")
        else:
            f.check(answer.get("AlpacaPort") == http_port, f"discovery over {host}: {answer}")


def run(url: str, discovery_port: Optional[int], log: Callable[[str], None] = print) -> list[Findings]:
    url = url.rstrip("/")
    server = Findings("server")
    cameras = management(url, server)
    if discovery_port is not None:
        discovery(url, discovery_port, server)
    results = [server]
    for d in cameras:
        f = Findings(f"camera {d['DeviceNumber']} ({d['DeviceName']})")
        CameraRun(url, d["DeviceNumber"], f).run()
        results.append(f)
    for f in results:
        log(f.summary())
    return results


def main(argv: Optional[list[str]] = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("url")
    p.add_argument("--discovery-port", type=int)
    args = p.parse_args(argv)
    results = run(args.url, args.discovery_port)
    return 1 if any(f.issues or f.errors for f in results) else 0


if __name__ == "__main__":
    sys.exit(main())
