"""Clients that mean harm or stop halfway: pages of other sites reaching the
server through a rebound name, silent connections, downloads nobody reads,
guide pulses that cannot be carried out, shutdown while a client stalls."""
import asyncio
import logging
import socket
import time

import pytest
import requests

import orx
import orxsim
from orxalpaca import Server, ServerThread, errors
from orxalpaca.guard import is_loopback

from alpaca_helpers import Client

FULL_FRAME = 6248 * 4176 * 2


def on_loop(running, coro_fn):
    return asyncio.run_coroutine_threadsafe(coro_fn(), running.loop).result(30)


def raw_request(running, path, host="127.0.0.1", accept="application/imagebytes", rcvbuf=4096):
    """A client that sends a request and then reads nothing."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.connect(("127.0.0.1", running.server.port))
    sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nAccept: {accept}\r\n\r\n".encode())
    return sock


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1", 200), ("localhost", 200), ("LOCALHOST.", 200), ("[::1]", 200), ("127.0.0.1:{port}", 200),
    ("localhost:{port}", 200), ("cam.lan", 200),                     # named by the operator
    ("rebound.example", 421), ("rebound.example:{port}", 421), ("localhost.example", 421),
])
def test_only_known_host_names_are_answered(host, status):
    running = ServerThread(Server(port=0, discovery_port=None, allowed_hosts=["cam.lan"])).start()
    try:
        r = requests.get(f"{running.url}/api/v1/camera/0/name",
                         headers={"Host": host.format(port=running.server.port)}, timeout=10)
        assert r.status_code == status
    finally:
        running.stop()


def test_writes_from_another_origin_are_refused(server, client):
    url = client.base + "gain"
    for origin in ("http://rebound.example", "null", f"http://localhost:{server.server.port + 1}"):
        r = requests.put(url, data={"Gain": 7}, headers={"Origin": origin}, timeout=10)
        assert r.status_code == 403
    assert client.value("gain") != 7
    same = requests.put(url, data={"Gain": 7}, headers={"Origin": server.url}, timeout=10)
    assert same.json()["ErrorNumber"] == 0 and client.value("gain") == 7


@pytest.mark.parametrize("host, loopback", [
    ("127.0.0.1", True), ("127.0.0.2", True), ("127.255.0.9", True), ("::1", True), ("localhost", True),
    ("0.0.0.0", False), ("::", False), ("192.168.1.20", False), ("no-such-host.invalid", False),
])
def test_loopback_hosts(host, loopback):
    assert is_loopback(host) is loopback


def test_silent_connections_are_bounded_and_closed(caplog):
    caplog.set_level(logging.INFO, logger="orxalpaca")
    running = ServerThread(Server(port=0, discovery_port=None, max_connections=4, idle_timeout=1.0)).start()
    silent = []
    try:
        for _ in range(12):
            sock = socket.create_connection(("127.0.0.1", running.server.port))
            sock.settimeout(60)
            silent.append(sock)
        # beyond the limit closed at once, the rest once idle: none stays open
        for sock in silent:
            assert sock.recv(1) == b""
        assert Client(running.url, 1).value("name") == orx.get_camera_property(1).name
        warnings = [r for r in caplog.records if "refusing more" in r.getMessage()]
        assert len(warnings) == 1             # logged once, not per connection
    finally:
        for sock in silent:
            sock.close()
        running.stop()


def _buffered(running):
    async def sizes():
        return [h.transport.get_write_buffer_size() for h in running.server._runner.server.connections
                if h.transport is not None]
    return on_loop(running, sizes)


@pytest.mark.parametrize("accept", ["application/imagebytes", "application/json"])
def test_stalled_downloads_hold_bounded_memory(server, accept):
    c = Client(server.url, 0)
    c.ok("connected", Connected=True)
    c.expose()
    stalled = [raw_request(server, "/api/v1/camera/0/imagearray", accept=accept) for _ in range(5)]
    try:
        # wait until the server is writing to every one of them
        deadline = time.monotonic() + 120
        while len([s for s in _buffered(server) if s > 0]) < 5:
            assert time.monotonic() < deadline, "the downloads did not start"
            time.sleep(0.05)
        on_loop(server, lambda: asyncio.sleep(0.2))
        sizes = _buffered(server)
        assert sum(sizes) <= 5 * 2 * (256 * 1024 + 64 * 1024), sizes
        assert len(Client(server.url, 0).get("imagearray", ClientTransactionID=1).content) > FULL_FRAME  # others served
    finally:
        for sock in stalled:
            sock.close()


def test_a_stalled_download_is_cut_off():
    running = ServerThread(Server(port=0, discovery_port=None, send_timeout=0.5)).start()
    try:
        c = Client(running.url, 0)
        c.ok("connected", Connected=True)
        c.expose()
        open_before = len(_buffered(running))
        sock = raw_request(running, "/api/v1/camera/0/imagearray")
        sock.settimeout(60)
        assert sock.recv(100).startswith(b"HTTP/1.1 200")
        deadline = time.monotonic() + 120                     # the client reads nothing until it is cut off
        while len(_buffered(running)) > open_before:
            assert time.monotonic() < deadline, "the stalled download was never cut off"
            time.sleep(0.05)
        received = 0
        try:
            while chunk := sock.recv(1 << 20):
                received += len(chunk)
        except ConnectionResetError:
            pass
        assert received < FULL_FRAME                          # cut off, not served to the end
        sock.close()
    finally:
        running.stop()


def test_shutdown_does_not_wait_for_a_stalled_client():
    running = ServerThread(Server(port=0, discovery_port=None)).start()
    c = Client(running.url, 0)
    c.ok("connected", Connected=True)
    c.expose()
    sock = raw_request(running, "/api/v1/camera/0/imagearray")
    sock.settimeout(60)
    assert sock.recv(100).startswith(b"HTTP/1.1 200")
    port = running.server.port
    running.stop()                                            # within its 30 s, not the framework's 60 s
    with socket.socket() as again:
        again.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        again.bind(("127.0.0.1", port))                       # the port is free again
    sock.close()


@pytest.mark.parametrize("duration", ["9" * 30, str(2**31), "-1", "1e3"])
def test_pulse_guide_checked_before_the_output_is_switched(client, duration):
    orxsim.clear_log()
    r = client.put("pulseguide", Direction=0, Duration=duration)
    assert r.status_code == 400 or r.json()["ErrorNumber"] == errors.INVALID_VALUE
    assert not [c for c in orxsim.log() if c.name == "ORXPulseGuideOn"]


def test_pulse_guide_output_switched_off_when_starting_fails(client):
    orxsim.clear_log()
    orxsim.inject("ORXPulseGuideOn", orxsim.Status.TIMEOUT)
    body = client.put("pulseguide", Direction=1, Duration=5000).json()
    assert body["ErrorNumber"] == errors.DRIVER_BASE + 5
    names = [c.name for c in orxsim.log() if c.name.startswith("ORXPulseGuide")]
    assert names == ["ORXPulseGuideOn", "ORXPulseGuideOff"]
    assert client.value("ispulseguiding") is False
