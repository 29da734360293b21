"""INDI driver benchmarks, each figure beside its baseline from the same run.

    python bench/indi_bench.py            full run (about a minute)
    python bench/indi_bench.py --quick    fewer repeats

Needs Debian's indiserver (indi-bin) and the indi extra; pybase64, where
installed, adds the rows of a client that decodes base64 with SIMD.

1. Image delivery: a full 6248x4176 16-bit frame, from asking for a 1 ms
   exposure to holding its pixels in the client, through indiserver as a
   FITS BLOB and from the Alpaca server as ImageBytes, alternated in one run
   on the same simulated camera model (each INDI client has the image sent to
   it only on its own turn). Both include the camera's readout and transfer
   (the same for both). Goal: INDI within 1.5x Alpaca. The download alone is
   shown too: from the BLOB's first byte to the last decoded, and the
   ImageBytes request.
2. Video: 1920x1080 RAW8 frames from the P290MC streamed to one client at a
   time for a few seconds, against the rate the camera gives orx alone in
   this process. Goal: the client keeps the camera's rate.

The driver runs under indiserver, the Alpaca server in a subprocess of its
own; the clients here are plain sockets (an INDI client's work is parsing the
XML and decoding base64). Each INDI figure is taken by three clients:

- "INDI, TCP": on indiserver's TCP port, decoding the base64 text with the
  standard library's binascii a received piece at a time while the rest is
  still arriving (indiserver encodes and sends on one core, the client
  decodes on the other), into one buffer of the size the BLOB announces;
- "INDI, TCP, SIMD": the same decoding with pybase64 (SIMD base64), as fast
  as the C decoders of compiled INDI clients;
- "INDI, local": on indiserver's local socket, where indiserver hands the
  image over as the shared memory the driver made it in (no base64 at all),
  as it does for clients on the same machine that take it.

The Alpaca client reads the ImageBytes answer whole and takes its pixels
where they lie.
"""
from __future__ import annotations

import argparse
import binascii
import mmap
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Iterator

import numpy as np

try:
    from pybase64 import b64decode as fast_decode
except ImportError:
    fast_decode = None

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import alpaca_bench  # noqa: E402

MAIN, VIDEO = b"ORX Sim C6200MC Pro", b"ORX Sim P290MC"
WIDTH, HEIGHT = 6248, 4176


class IndiClient:
    """A bare INDI client on a socket: sends requests, reads until a marker.

    Over TCP a BLOB is base64 text. The client decodes it a received piece at
    a time while the rest is still arriving, into one buffer of the size the
    BLOB announces, as a client that cares for speed does: indiserver encodes
    and sends on one core while the client decodes on the other, and the
    text is never held whole. On indiserver's local socket (``local``: its
    name) a BLOB comes as shared memory beside its message; the client maps
    it."""

    def __init__(self, port: int, local: str = "", decode: Callable[[Any], bytes] = binascii.a2b_base64) -> None:
        if local:           # indiserver's local socket is in the abstract namespace
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.settimeout(120)
            self.sock.connect("\0" + local)
        else:
            self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.local = bool(local)
        self.decode = decode
        self.fds: list[int] = []               # shared memory received, oldest first
        self.buf = bytearray()
        self.chunk = bytearray(1 << 20)        # one receive buffer, reused
        self.view = memoryview(self.chunk)

    def close(self) -> None:
        self.sock.close()
        for fd in self.fds:
            os.close(fd)

    def send(self, xml: bytes) -> None:
        self.sock.sendall(xml + b"\n")

    def _recv(self) -> memoryview:
        """The next bytes received (valid until the next call)."""
        if self.local:
            data, fds, _, _ = socket.recv_fds(self.sock, 1 << 16, 16)
            self.fds += fds
            n, view = len(data), memoryview(data)
        else:
            n, view = self.sock.recv_into(self.chunk), self.view
        if not n:
            raise RuntimeError("indiserver closed the connection")
        return view[:n]

    def _find(self, marker: bytes) -> int:
        """The end of ``marker`` in the buffer, reading until it is there."""
        start = 0
        while True:
            i = self.buf.find(marker, start)
            if i >= 0:
                return i + len(marker)
            start = max(0, len(self.buf) - len(marker))
            self.buf += self._recv()

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

    def connect(self, device: bytes, *names: bytes) -> None:
        """Connect the device and wait until CCD1 and the ``names`` are defined."""
        self.send(b"<getProperties version='1.7'/>")
        self.until(b'device="%s" name="CONNECTION"' % device)     # indiserver knows the device
        self.switch(device, b"CONNECTION", b"CONNECT")
        missing = {b"CCD1", *names}
        while missing:
            self.until(b"<def")
            found = re.search(rb'device="([^"]*)" name="([^"]*)"', self.until(b">"))
            if found and found[1] == device:
                missing.discard(found[2])

    def blobs(self, device: bytes, on: bool) -> None:
        """Have indiserver send this client the device's BLOBs, or not."""
        self.send(b'<enableBLOB device="%s">%s</enableBLOB>' % (device, b"Also" if on else b"Never"))

    def blob(self) -> tuple["bytearray | mmap.mmap", float]:
        """The next BLOB's bytes and when its first byte had arrived."""
        self.until(b"<setBLOBVector")
        first = time.perf_counter()
        self.until(b"<oneBLOB")
        attrs = self.until(b">")
        size = int(re.search(rb'\ssize="(\d+)"', attrs)[1])
        if b'attached="true"' in attrs:            # shared memory, its descriptor received with the text
            self.until(b"</setBLOBVector>")
            fd = self.fds.pop(0)
            try:        # every page mapped now, as the other clients hold every byte in memory
                return mmap.mmap(fd, size, mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0), mmap.PROT_READ), first
            finally:
                os.close(fd)
        out, at, carry = bytearray(size), 0, b""
        for piece in self._text():
            if any(_find(piece, c) >= 0 for c in (b"\n", b"\r", b" ", b"\t")):
                piece = bytes(piece).translate(None, b"\n\r \t")   # base64 text may be laid out in lines
            if carry:               # the last piece's incomplete quantum, completed
                k = 4 - len(carry)
                carry, piece = carry + bytes(piece[:k]), piece[k:]
                if len(carry) < 4:
                    continue
                at = self._decode_into(out, at, carry)
            whole = len(piece) - len(piece) % 4
            at = self._decode_into(out, at, piece[:whole])
            carry = bytes(piece[whole:])
        if carry or at != size:
            raise RuntimeError(f"BLOB of {size} bytes: {at} decoded, {len(carry)} characters left over")
        self.until(b"</setBLOBVector>")
        return out, first

    def _decode_into(self, out: bytearray, at: int, text: "bytes | memoryview") -> int:
        data = self.decode(text)
        out[at:at + len(data)] = data
        return at + len(data)

    def _text(self) -> Iterator["bytes | memoryview"]:
        """A BLOB's text as it arrives, up to the ``<`` that ends it (which
        stays buffered)."""
        end = self.buf.find(b"<")
        piece = bytes(self.buf[:end] if end >= 0 else self.buf)
        del self.buf[:len(piece)]
        yield piece
        while end < 0:
            got = self._recv()
            end = _find(got, b"<")
            if end >= 0:
                self.buf += got[end:]
                got = got[:end]
            yield got


def _find(piece: "bytes | memoryview", char: bytes) -> int:
    """``piece.find(char)`` for bytes and for a memoryview from the start of its buffer."""
    obj = piece.obj if isinstance(piece, memoryview) else piece
    return obj.find(char, 0, len(piece))


def start_indiserver(folder: str) -> tuple[subprocess.Popen, int, str]:
    """indiserver running the driver: its TCP port and its local socket's name."""
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
    local = os.path.join(folder, "sock")
    proc = subprocess.Popen(["indiserver", "-p", str(port), "-u", local, script],
                            stdout=open(os.path.join(folder, "log"), "wb"), stderr=subprocess.STDOUT, env=env)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port, local
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("indiserver did not start")


def fits_pixels(data: "bytes | bytearray | mmap.mmap") -> np.ndarray:
    """The 16-bit pixels of a FITS file (as stored: big-endian, BZERO 32768 apart)."""
    end = 0
    while data[end:end + 80].rstrip() != b"END":      # header cards, 80 characters each
        end += 80
    start = end + 80 + (-(end + 80)) % 2880
    return np.frombuffer(data, ">i2", WIDTH * HEIGHT, start)


def indi_frame(client: IndiClient) -> tuple[float, float, int]:
    client.blobs(MAIN, True)                  # this client's turn: only it gets the image
    t0 = time.perf_counter()
    client.number(MAIN, b"CCD_EXPOSURE", b"CCD_EXPOSURE_VALUE", 0.001)
    data, first = client.blob()
    pixels = fits_pixels(data)
    t1 = time.perf_counter()
    client.blobs(MAIN, False)
    return t1 - t0, t1 - first, pixels.size


def alpaca_frame(cam: alpaca_bench.Camera) -> tuple[float, float, int]:
    t0 = time.perf_counter()
    cam.expose(0.001)
    d0 = time.perf_counter()
    data = cam.imagebytes()
    pixels = np.frombuffer(data, "<u2", offset=44)
    t1 = time.perf_counter()
    return t1 - t0, t1 - d0, pixels.size


def bench_delivery(clients: dict[str, IndiClient], cam: alpaca_bench.Camera, repeats: int) -> None:
    takes = {name: (lambda c=c: indi_frame(c)) for name, c in clients.items()}
    takes["Alpaca"] = lambda: alpaca_frame(cam)
    for take in takes.values():               # first frames: caches, allocations
        take()
    runs: dict[str, list[tuple]] = {name: [] for name in takes}
    for _ in range(repeats):
        for name, take in takes.items():
            runs[name].append(take())
    print(f"\nFull {WIDTH}x{HEIGHT} RAW16 frame, exposure 1 ms, camera clock at 1x ({repeats} of each, alternated)")
    print(f"{'':14} {'delivered: best':>16} {'median':>9} {'download: best':>15} {'median':>9}  pixels")
    best, med = {}, {}
    for name, rows in runs.items():
        totals, downloads = [r[0] for r in rows], [r[1] for r in rows]
        best[name], med[name] = min(totals), statistics.median(totals)
        if any(r[2] != WIDTH * HEIGHT for r in rows):
            sys.exit(f"indi_bench: {name} delivered {rows[0][2]} pixels")
        print(f"{name:14} {min(totals) * 1e3:13.0f} ms {statistics.median(totals) * 1e3:6.0f} ms "
              f"{min(downloads) * 1e3:12.0f} ms {statistics.median(downloads) * 1e3:6.0f} ms  {rows[0][2]}")
    for name in clients:
        print(f"{name} / Alpaca, frame delivered: {best[name] / best['Alpaca']:.2f}x (best), "
              f"{med[name] / med['Alpaca']:.2f}x (median); goal <= 1.5x")


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


def bench_video(client: IndiClient, seconds: float) -> float:
    """Frames per second received; also checks each frame's size."""
    client.connect(VIDEO, b"CCD_CAPTURE_FORMAT", b"STREAMING_EXPOSURE", b"CCD_VIDEO_STREAM")
    client.blobs(VIDEO, True)
    client.switch(VIDEO, b"CCD_CAPTURE_FORMAT", b"RAW8")
    client.number(VIDEO, b"STREAMING_EXPOSURE", b"STREAMING_EXPOSURE_VALUE", 0.001)
    client.switch(VIDEO, b"CCD_VIDEO_STREAM", b"STREAM_ON")
    client.blob()                                      # the stream has started
    t0, n = time.perf_counter(), 0
    while time.perf_counter() - t0 < seconds:
        data, _ = client.blob()
        if len(data) != 1920 * 1080:
            sys.exit(f"indi_bench: a video frame of {len(data)} bytes")
        n += 1
    received = n / (time.perf_counter() - t0)
    client.switch(VIDEO, b"CCD_VIDEO_STREAM", b"STREAM_OFF")
    client.close()
    return received


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    folder = tempfile.mkdtemp()
    indiserver, port, local = start_indiserver(folder)
    alpaca, alpaca_port = alpaca_bench.start_server()
    try:
        print(f"orx INDI driver benchmarks: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
              f"load average {os.getloadavg()[0]:.1f} at the start")
        cam = alpaca_bench.Camera(alpaca_port)
        cam.put("connected", Connected="true")
        clients = {"INDI, TCP": IndiClient(port)}
        if fast_decode is not None:
            clients["INDI, TCP, SIMD"] = IndiClient(port, decode=fast_decode)
        else:
            print("(pybase64 is not installed: no row for a client decoding base64 with SIMD)")
        clients["INDI, local"] = IndiClient(port, local)
        for client in clients.values():
            client.connect(MAIN)
        bench_delivery(clients, cam, 3 if args.quick else 8)
        for client in clients.values():
            client.close()
        seconds = 3.0 if args.quick else 6.0
        rates = {name: bench_video(IndiClient(port, local if client.local else "", client.decode), seconds)
                 for name, client in clients.items()}
        alone = camera_video_rate(min(seconds, 3.0))
        print(f"\nVideo 1920x1080 RAW8 (2.1 MB a frame), 1 ms exposures, one client at a time: "
              f"{alone:.1f} frames/s from the camera to orx alone; goal: the camera's rate")
        for name, rate in rates.items():
            print(f"{name:14} {rate:6.1f} frames/s received, {rate / alone:.0%}")
    finally:
        alpaca.communicate(b"", timeout=60)
        indiserver.terminate()
        indiserver.wait(10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
