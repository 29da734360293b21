"""Alpaca server benchmarks, each figure beside its baseline from the same run.

    python bench/alpaca_bench.py            full run (about two minutes)
    python bench/alpaca_bench.py --quick    fewer repeats

1. Image download: a full 6248x4176 16-bit frame as ImageBytes against the
   same bytes served as a plain response body by the same server (a route the
   benchmark adds), over loopback, interleaved; JSON ImageArray beside them.
   Goal: ImageBytes throughput >= 70 % of the plain body's.
2. Polling load: exposure-and-download cycles of that camera with and without
   20 other clients polling ImageReady at 10 Hz each, alternated.
   Goal: the pollers add < 5 % to the cycle.
3. Stalled clients: 20 clients ask for the full frame (10 as ImageBytes, 10
   as JSON) and read nothing; the server's resident memory before and while
   they stall (the JSON text of the image, made once and shared, is made
   before the baseline).

The server runs in a subprocess (so that client and server do not share an
interpreter lock), the pollers in another.
"""
from __future__ import annotations

import argparse
import asyncio
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from urllib.parse import urlencode

HERE = os.path.dirname(os.path.abspath(__file__))
CAMERA = 0                       # the 6248x4176 camera
RAW = "/bench/raw"


# ---- the server process ------------------------------------------------------

def serve(port_file: str) -> None:
    """Run the server with one extra route serving the latest image's
    ImageBytes data as a plain body."""
    from aiohttp import web

    import orxsim
    from orxalpaca import Server, ServerThread
    from orxalpaca.api import DEVICES

    orxsim.set_time_scale(1.0)

    async def raw(request: web.Request) -> web.StreamResponse:
        image = request.app[DEVICES][CAMERA].exposure.image
        body = image.imagebytes_body()
        response = web.StreamResponse(headers={"Content-Type": "application/octet-stream"})
        response.content_length = len(body)
        await response.prepare(request)
        await response.write(body)
        await response.write_eof()
        return response

    running = ServerThread(Server(port=0, discovery_port=None),
                           app_hook=lambda app: app.router.add_get(RAW, raw)).start()
    with open(port_file + ".tmp", "w") as f:
        f.write(str(running.server.port))
    os.replace(port_file + ".tmp", port_file)
    sys.stdin.read()             # until the benchmark closes the pipe
    running.stop()


def poll(port: int, clients: int, hz: float) -> None:
    """`clients` clients, each asking ImageReady `hz` times a second, until stdin closes."""
    import aiohttp

    async def client(session: aiohttp.ClientSession, n: int, counts: list) -> None:
        url = f"http://127.0.0.1:{port}/api/v1/camera/{CAMERA}/imageready"
        tid = 0
        while True:
            t0 = time.monotonic()
            tid += 1
            async with session.get(url, params={"ClientID": n, "ClientTransactionID": tid}) as r:
                await r.read()
            counts[n] += 1
            await asyncio.sleep(max(0.0, 1 / hz - (time.monotonic() - t0)))

    async def main() -> None:
        counts = [0] * clients
        loop = asyncio.get_running_loop()
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=clients)) as session:
            tasks = [asyncio.create_task(client(session, n, counts)) for n in range(clients)]
            start = time.monotonic()
            await loop.run_in_executor(None, sys.stdin.read)
            for t in tasks:
                t.cancel()
            elapsed = time.monotonic() - start
        print(json.dumps({"requests": sum(counts), "seconds": elapsed}))

    asyncio.run(main())


# ---- the client side ---------------------------------------------------------

class Camera:
    def __init__(self, port: int) -> None:
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        self.base = f"/api/v1/camera/{CAMERA}/"

    def request(self, method: str, path: str, fields: dict | None = None,
                headers: dict | None = None) -> tuple[bytes, str]:
        body = urlencode(fields or {}) if method == "PUT" else None
        hdrs = dict(headers or {})
        if body is not None:
            hdrs["Content-Type"] = "application/x-www-form-urlencoded"
        self.conn.request(method, path, body=body, headers=hdrs)
        r = self.conn.getresponse()
        data = r.read()
        if r.status != 200:
            raise RuntimeError(f"{method} {path}: {r.status} {data[:200]!r}")
        return data, r.getheader("Content-Type", "")

    def value(self, member: str):
        body = json.loads(self.request("GET", self.base + member)[0])
        if body["ErrorNumber"]:
            raise RuntimeError(f"{member}: {body['ErrorMessage']}")
        return body["Value"]

    def put(self, member: str, **fields) -> None:
        body = json.loads(self.request("PUT", self.base + member, fields)[0])
        if body["ErrorNumber"]:
            raise RuntimeError(f"{member}: {body['ErrorMessage']}")

    def expose(self, seconds: float) -> None:
        self.put("startexposure", Duration=seconds, Light="true")
        while not self.value("imageready"):
            if self.value("camerastate") == 5:
                raise RuntimeError("exposure failed")
            time.sleep(0.002)

    def imagebytes(self) -> bytes:
        data, kind = self.request("GET", self.base + "imagearray", headers={"Accept": "application/imagebytes"})
        assert kind.startswith("application/imagebytes"), kind
        return data


def timed(fn) -> tuple[float, int]:
    t0 = time.perf_counter()
    n = len(fn())
    return time.perf_counter() - t0, n


def start_server() -> tuple[subprocess.Popen, int]:
    port_file = os.path.join(tempfile.mkdtemp(), "port")
    proc = subprocess.Popen([sys.executable, __file__, "--serve", port_file], stdin=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("the server did not start")
        time.sleep(0.05)
    with open(port_file) as f:
        return proc, int(f.read())


def bench_download(cam: Camera, repeats: int) -> None:
    cam.put("readoutmode", ReadoutMode=cam.value("readoutmodes").index("RAW16"))
    cam.expose(0.01)
    cold, size = timed(cam.imagebytes)
    plain, imagebytes = [], []
    for _ in range(repeats):
        imagebytes.append(timed(cam.imagebytes)[0])
        t, plain_size = timed(lambda: cam.request("GET", RAW)[0])
        plain.append(t)
    t0 = time.perf_counter()
    json_size = len(cam.request("GET", cam.base + "imagearray")[0])
    json_first = time.perf_counter() - t0
    json_again = timed(lambda: cam.request("GET", cam.base + "imagearray")[0])[0]
    mb = plain_size / 1e6
    rows = [
        ("plain body (baseline)", plain_size, min(plain), statistics.median(plain)),
        ("ImageBytes", size, min(imagebytes), statistics.median(imagebytes)),
        ("ImageBytes, first download of the image", size, cold, cold),
        ("JSON ImageArray, first download", json_size, json_first, json_first),
        ("JSON ImageArray, again", json_size, json_again, json_again),
    ]
    print(f"\nFull frame 6248x4176 RAW16 over loopback ({mb:.1f} MB of pixels), best and median of {repeats}:\n")
    print(f"{'transfer':42} {'bytes':>10} {'best ms':>9} {'median ms':>10} {'MB/s (best)':>12}")
    for name, n, best, med in rows:
        print(f"{name:42} {n:>10} {best * 1e3:>9.1f} {med * 1e3:>10.1f} {n / 1e6 / best:>12.0f}")
    ratio_best = min(plain) / min(imagebytes)
    ratio_med = statistics.median(plain) / statistics.median(imagebytes)
    print(f"\nImageBytes throughput / plain body: {ratio_best:.0%} (best), {ratio_med:.0%} (median); "
          f"goal >= 70 %: {'met' if ratio_med >= 0.7 else 'missed'}")
    print(f"first download of an image / plain body: {min(plain) / cold:.0%}")


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process so far (Linux)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def bench_polling(cam: Camera, port: int, server_pid: int, cycles: int, exposure: float) -> None:
    cam.put("readoutmode", ReadoutMode=cam.value("readoutmodes").index("RAW16"))
    cpu: dict[str, list[float]] = {"quiet": [], "busy": []}

    def cycle(kind: str) -> float:
        c0, t0 = cpu_seconds(server_pid), time.perf_counter()
        cam.expose(exposure)
        cam.imagebytes()
        elapsed = time.perf_counter() - t0
        cpu[kind].append(cpu_seconds(server_pid) - c0)
        return elapsed

    cycle("quiet")                                   # warm up
    cpu["quiet"].clear()
    quiet, busy, load = [], [], []
    for _ in range(cycles):
        quiet.append(cycle("quiet"))
        poller = subprocess.Popen([sys.executable, __file__, "--poll", str(port)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        time.sleep(0.5)                              # all 20 clients running
        busy.append(cycle("busy"))
        out, _ = poller.communicate(b"")
        load.append(json.loads(out))
    rate = sum(x["requests"] for x in load) / sum(x["seconds"] for x in load)
    q, b = statistics.median(quiet), statistics.median(busy)
    print(f"\nExposure ({exposure} s, camera clock at 1x) and ImageBytes download of the full RAW16 frame, "
          f"{cycles} cycles each, alternated:\n")
    print(f"{'cycle (wall clock; server CPU)':34} {'best ms':>9} {'median ms':>10}")
    print(f"{'alone':34} {min(quiet) * 1e3:>9.1f} {q * 1e3:>10.1f}")
    print(f"{'with 20 clients polling at 10 Hz':34} {min(busy) * 1e3:>9.1f} {b * 1e3:>10.1f}")
    print(f"{'server CPU per cycle, alone':34} {min(cpu['quiet']) * 1e3:>9.0f} "
          f"{statistics.median(cpu['quiet']) * 1e3:>10.0f}")
    print(f"{'server CPU per cycle, polled':34} {min(cpu['busy']) * 1e3:>9.0f} "
          f"{statistics.median(cpu['busy']) * 1e3:>10.0f}")
    print(f"\npollers' ImageReady requests answered: {rate:.0f}/s (asked: 200/s)")
    print(f"added by the pollers: {(b / q - 1):+.1%} (median), {(min(busy) / min(quiet) - 1):+.1%} (best); "
          f"goal < 5 %: {'met' if b / q - 1 < 0.05 else 'missed'}; server CPU added per cycle: "
          f"{(statistics.median(cpu['busy']) - statistics.median(cpu['quiet'])) * 1e3:+.0f} ms (medians)")
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024


def bench_stalled(cam: Camera, port: int, server_pid: int, clients: int = 20) -> None:
    cam.put("readoutmode", ReadoutMode=cam.value("readoutmodes").index("RAW16"))
    cam.expose(0.01)
    cam.request("GET", cam.base + "imagearray")          # the shared JSON text exists
    cam.imagebytes()
    time.sleep(1.0)
    before = rss_mb(server_pid)
    stalled = []
    for n in range(clients):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.connect(("127.0.0.1", port))
        accept = "application/imagebytes" if n % 2 == 0 else "application/json"
        sock.sendall(f"GET {cam.base}imagearray HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: {accept}\r\n\r\n".encode())
        stalled.append(sock)
    time.sleep(3.0)                                      # every download has started and stalled
    during = rss_mb(server_pid)
    ok = cam.value("imageready")                         # the server still answers
    for sock in stalled:
        sock.close()
    print(f"\n{clients} clients stalled on the full frame (half ImageBytes, half JSON): server memory "
          f"{before:.0f} MB before, {during:.0f} MB while they stall "
          f"({(during - before) / clients:+.1f} MB per client); server answering meanwhile: {ok}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--serve", help=argparse.SUPPRESS)
    ap.add_argument("--poll", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve(args.serve)
    if args.poll:
        return poll(args.poll, 20, 10.0)
    proc, port = start_server()
    try:
        cam = Camera(port)
        cam.put("connected", Connected="true")
        print(f"orxalpaca benchmarks: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
              f"load average {os.getloadavg()[0]:.1f} at the start")
        bench_download(cam, 3 if args.quick else 10)
        bench_polling(cam, port, proc.pid, 3 if args.quick else 8, 0.5)
        bench_stalled(cam, port, proc.pid)
    finally:
        proc.communicate(b"", timeout=60)


if __name__ == "__main__":
    main()
