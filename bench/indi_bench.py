"""INDI driver benchmarks, each figure beside its baseline from the same run.

    python bench/indi_bench.py            full run (about a minute)
    python bench/indi_bench.py --quick    fewer repeats

Needs Debian's indiserver (indi-bin) and the indi extra.

1. Image delivery: a full 6248x4176 16-bit frame, from asking for a short
   exposure to holding its pixels in the client, through indiserver as a FITS
   BLOB (base64 in XML) and from the Alpaca server as ImageBytes, alternated
   in one run on the same simulated camera model. Both include the camera's
   readout and transfer (the same for both). Goal: INDI within 1.5x Alpaca.
   The download part alone is shown too: from the BLOB's first byte, and the
   ImageBytes request.
2. Video: 1920x1080 RAW8 frames from the P290MC streamed to one client for a
   few seconds, against the rate the camera gives orx alone in this process.
   Goal: the client keeps the camera's rate.

The driver runs under indiserver, the Alpaca server in a subprocess of its
own; the clients here are plain sockets (an INDI client's work is parsing
the XML and decoding base64, a few lines with the standard library). The
INDI client receives into one buffer and decodes the base64 text where it
lies, as a client that cares for speed does; the time from the BLOB's first
to its last byte (indiserver's relay and the loopback) and the time to
decode it are shown apart, since over TCP both are the cost of INDI's
base64 text rather than of the driver.
"""
from __future__ import annotations

import argparse
import binascii
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import alpaca_bench  # noqa: E402

MAIN, VIDEO = b"ORX Sim C6200MC Pro", b"ORX Sim P290MC"
WIDTH, HEIGHT = 6248, 4176


class IndiClient:
    """A bare INDI client on a socket: sends requests, reads until a marker."""

    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buf = bytearray()
        self.chunk = bytearray(1 << 22)        # one receive buffer, reused
        self.view = memoryview(self.chunk)

    def send(self, xml: bytes) -> None:
        self.sock.sendall(xml + b"\n")

    def _find(self, marker: bytes) -> int:
        """The end of ``marker`` in the buffer, reading until it is there."""
        start = 0
        while True:
            i = self.buf.find(marker, start)
            if i >= 0:
                return i + len(marker)
            start = max(0, len(self.buf) - len(marker))
            n = self.sock.recv_into(self.chunk)
            if not n:
                raise RuntimeError("indiserver closed the connection")
            self.buf += self.view[:n]

    def until(self, marker: bytes) -> bytes:
        """Everything up to and including ``marker``; the rest stays buffered."""
        end = self._find(marker)
        out = bytes(self.buf[:end])
        del self.buf[:end]
        return out

    def number(self, device: bytes, name: bytes, member: bytes, value: float) -> None:
        self.send(b'<newNumberVector device="%s" name="%s"><oneNumber name="%s">%r</oneNumber></newNumberVector>'
                  % (device, name, member, value))

    def switch(self, device: bytes, name: bytes, member: bytes) -> None:
        self.send(b'<newSwitchVector device="%s" name="%s"><oneSwitch name="%s">On</oneSwitch></newSwitchVector>'
                  % (device, name, member))

    def connect(self, device: bytes) -> None:
        self.send(b"<getProperties version='1.7'/>")
        self.until(b'device="%s" name="CONNECTION"' % device)     # indiserver knows the device
        self.switch(device, b"CONNECTION", b"CONNECT")
        self.until(b'device="%s" name="CCD1"' % device)
        self.send(b'<enableBLOB device="%s">Also</enableBLOB>' % device)

    def blob(self) -> tuple[bytes, float, float]:
        """The next BLOB's bytes, when its first byte had arrived and when its
        last had (its base64 text then decoded)."""
        self.until(b"<setBLOBVector")
        first = time.perf_counter()
        self.until(b"<oneBLOB")
        self.until(b">")
        end = self._find(b"</oneBLOB>")
        last = time.perf_counter()
        with memoryview(self.buf) as text:      # decoded where it was received
            data = binascii.a2b_base64(text[:end - len(b"</oneBLOB>")])
        del self.buf[:end]
        return data, first, last


def start_indiserver(folder: str) -> tuple[subprocess.Popen, int]:
    if shutil.which("indiserver") is None:
        sys.exit("indi_bench: indiserver is not installed (apt-get install indi-bin)")
    script = os.path.join(folder, "orx-indi-bench")
    with open(script, "w") as f:
        f.write(f"#!/bin/sh\nexec {sys.executable} -m orxindi --time-scale 1 \"$@\"\n")
    os.chmod(script, 0o755)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen(["indiserver", "-p", str(port), "-u", os.path.join(folder, "sock"), script],
                            stdout=open(os.path.join(folder, "log"), "wb"), stderr=subprocess.STDOUT, env=env)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("indiserver did not start")


def indi_frame(client: IndiClient) -> tuple[float, float, int, float, float]:
    t0 = time.perf_counter()
    client.number(MAIN, b"CCD_EXPOSURE", b"CCD_EXPOSURE_VALUE", 0.001)
    data, first, last = client.blob()
    t1 = time.perf_counter()
    return t1 - t0, t1 - first, len(data), last - first, t1 - last


def alpaca_frame(cam: alpaca_bench.Camera) -> tuple[float, float, int]:
    t0 = time.perf_counter()
    cam.expose(0.001)
    d0 = time.perf_counter()
    data = cam.imagebytes()
    pixels = np.frombuffer(data, "<u2", offset=44)
    t1 = time.perf_counter()
    return t1 - t0, t1 - d0, pixels.size


def bench_delivery(indi: IndiClient, cam: alpaca_bench.Camera, repeats: int) -> None:
    indi_frame(indi)                          # first frames: caches, allocations
    alpaca_frame(cam)
    runs: dict[str, list[tuple]] = {"INDI": [], "Alpaca": []}
    for _ in range(repeats):
        runs["INDI"].append(indi_frame(indi))
        runs["Alpaca"].append(alpaca_frame(cam))
    print(f"\nFull {WIDTH}x{HEIGHT} RAW16 frame, exposure 1 ms, camera clock at 1x ({repeats} of each, alternated)")
    print(f"{'':8} {'delivered: best':>16} {'median':>9} {'download: best':>15} {'median':>9}  size")
    best, med = {}, {}
    for name, rows in runs.items():
        totals, downloads = [r[0] for r in rows], [r[1] for r in rows]
        best[name], med[name] = min(totals), statistics.median(totals)
        size = f"{rows[0][2] / 1e6:.1f} MB FITS" if name == "INDI" else f"{rows[0][2]} pixels"
        print(f"{name:8} {min(totals) * 1e3:13.0f} ms {statistics.median(totals) * 1e3:6.0f} ms "
              f"{min(downloads) * 1e3:12.0f} ms {statistics.median(downloads) * 1e3:6.0f} ms  {size}")
    rows = runs["INDI"]
    print(f"INDI download parts: base64 text from first to last byte {min(r[3] for r in rows) * 1e3:.0f} ms best, "
          f"{statistics.median(r[3] for r in rows) * 1e3:.0f} ms median; the client decoding it "
          f"{min(r[4] for r in rows) * 1e3:.0f} ms best, {statistics.median(r[4] for r in rows) * 1e3:.0f} ms median")
    print(f"INDI / Alpaca, frame delivered: {best['INDI'] / best['Alpaca']:.2f}x (best), "
          f"{med['INDI'] / med['Alpaca']:.2f}x (median); goal <= 1.5x")


def camera_video_rate(seconds: float) -> float:
    """1080p RAW8 frames per second that the P290MC gives orx alone."""
    import orx
    import orxsim
    orxsim.set_time_scale(1.0)
    cid = 1003
    orx.open_camera(cid)
    try:
        orx.init_camera(cid)
        orx.set_roi_format(cid, 1920, 1080, 1, orx.ImgType.IMG_RAW8)
        orx.set_control_value(cid, orx.ControlType.ORX_EXPOSURE, 1000, False)
        orx.start_video_capture(cid)
        t0, n = time.perf_counter(), 0
        while time.perf_counter() - t0 < seconds:
            orx.get_video_data(cid, 1920 * 1080, 1000)
            n += 1
        rate = n / (time.perf_counter() - t0)
        orx.stop_video_capture(cid)
        return rate
    finally:
        orx.close_camera(cid)


def bench_video(port: int, seconds: float) -> None:
    client = IndiClient(port)
    client.connect(VIDEO)
    client.switch(VIDEO, b"CCD_CAPTURE_FORMAT", b"RAW8")
    client.number(VIDEO, b"STREAMING_EXPOSURE", b"STREAMING_EXPOSURE_VALUE", 0.001)
    client.switch(VIDEO, b"CCD_VIDEO_STREAM", b"STREAM_ON")
    client.blob()                                      # the stream has started
    t0, n, size = time.perf_counter(), 0, 0
    while time.perf_counter() - t0 < seconds:
        data, *_ = client.blob()
        n += 1
        size = len(data)
    received = n / (time.perf_counter() - t0)
    client.switch(VIDEO, b"CCD_VIDEO_STREAM", b"STREAM_OFF")
    client.sock.close()
    alone = camera_video_rate(min(seconds, 3.0))
    print(f"\nVideo 1920x1080 RAW8, 1 ms exposures, one client: {received:.1f} frames/s received "
          f"({size / 1e6:.1f} MB each) against {alone:.1f} frames/s from the camera to orx alone: "
          f"{received / alone:.0%}; goal: the camera's rate")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    folder = tempfile.mkdtemp()
    indiserver, port = start_indiserver(folder)
    alpaca, alpaca_port = alpaca_bench.start_server()
    try:
        print(f"orx INDI driver benchmarks: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
              f"load average {os.getloadavg()[0]:.1f} at the start")
        cam = alpaca_bench.Camera(alpaca_port)
        cam.put("connected", Connected="true")
        indi = IndiClient(port)
        indi.connect(MAIN)
        bench_delivery(indi, cam, 3 if args.quick else 8)
        indi.sock.close()
        bench_video(port, 3.0 if args.quick else 6.0)
    finally:
        alpaca.communicate(b"", timeout=60)
        indiserver.terminate()
        indiserver.wait(10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
