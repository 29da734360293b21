"""The server: every camera orx sees (or the chosen ones) as Alpaca Camera
devices over HTTP, with discovery and the setup pages."""
from __future__ import annotations

import asyncio
import logging
import signal
import socket
import threading
from concurrent.futures import ThreadPoolExecutor
from importlib import metadata
from typing import Callable, Optional, Sequence

from aiohttp import web

import orx

from . import api, discovery, guard, setup_pages
from .camera import CameraDevice

log = logging.getLogger(__name__)

DEFAULT_PORT = 11111
#: a connection with no request in progress is closed after this long
IDLE_TIMEOUT_S = 30.0
#: open connections at most: more are closed as they arrive
MAX_CONNECTIONS = 200
#: a download to a client that takes nothing for this long is cut off
SEND_TIMEOUT_S = 60.0
#: at shutdown, running requests (downloads to slow clients) get this long
SHUTDOWN_GRACE_S = 2.0


def _version() -> str:
    try:
        return metadata.version("orx")
    except metadata.PackageNotFoundError:
        return "development"


def camera_ids() -> list[int]:
    return [orx.get_camera_property(i).camera_id for i in range(orx.get_number_of_connected_cameras())]


def simulator_clock() -> Callable[[], float]:
    """The factor from camera time to wall-clock time: the simulator's time
    scale when orx runs on the simulated cameras, else 1."""
    try:
        import orxsim
        orxsim.time_scale()
        return orxsim.time_scale
    except (ImportError, RuntimeError, OSError):
        return lambda: 1.0


class Server:
    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 cameras: Optional[Sequence[int]] = None,
                 discovery_port: Optional[int] = discovery.DEFAULT_PORT,
                 threads: int = 8, allowed_hosts: Sequence[str] = (),
                 max_connections: int = MAX_CONNECTIONS, idle_timeout: float = IDLE_TIMEOUT_S,
                 send_timeout: float = SEND_TIMEOUT_S) -> None:
        self.host = host
        #: the addresses to listen on: ``host`` is one, or several separated by commas
        self.hosts = [h.strip() for h in host.split(",")] if host else [""]
        self.allowed_hosts = list(allowed_hosts)
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self.send_timeout = send_timeout
        self.requested_port = port
        self.camera_ids = list(cameras) if cameras is not None else None
        self.discovery_port = discovery_port
        self.threads = threads
        self.devices: list[CameraDevice] = []
        self.port = 0
        self.discovery_transport: Optional[asyncio.DatagramTransport] = None     # the IPv4 one
        self._discovery: list[asyncio.DatagramTransport] = []
        self._runner: Optional[web.AppRunner] = None
        self._pool: Optional[ThreadPoolExecutor] = None

    def make_app(self) -> web.Application:
        app = web.Application(middlewares=[guard.same_host(self.hosts, self.allowed_hosts), api.no_tracebacks],
                              client_max_size=1 << 20)
        info = {"ServerName": "orx Alpaca camera server", "Manufacturer": "orx",
                "ManufacturerVersion": _version(), "Location": socket.gethostname()}
        api.add_routes(app, self.devices, info, self._pool, self.send_timeout)
        setup_pages.add_routes(app)
        return app

    async def start(self, app: Optional[web.Application] = None) -> None:
        """Serve; ``app`` (from :meth:`make_app`, routes may be added) or a new one."""
        self._pool = ThreadPoolExecutor(self.threads, thread_name_prefix="orx-camera")
        ids = self.camera_ids if self.camera_ids is not None else camera_ids()
        clock = simulator_clock()
        self.devices[:] = [CameraDevice(n, cid, self._pool, clock, _version()) for n, cid in enumerate(ids)]
        if app is None:
            app = self.make_app()
        app[api.POOL] = self._pool
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False,
                                     shutdown_timeout=SHUTDOWN_GRACE_S, keepalive_timeout=self.idle_timeout)
        await self._runner.setup()
        assert self._runner.server is not None
        guard.limit_connections(self._runner.server, self.max_connections)
        port = self.requested_port
        for host in self.hosts:                  # every address on the same port
            await web.TCPSite(self._runner, host or None, port).start()
            port = self.port = self._runner.addresses[0][1]
        for d in self.devices:
            log.info("camera %d: %s (id %d), unique id %s", d.number, d.name, d.camera_id, d.unique_id)
        urls = " and ".join(f"http://{'[' + h + ']' if ':' in h else h or '0.0.0.0'}:{self.port}/" for h in self.hosts)
        log.info("serving %d camera(s) on %s (setup pages at /setup)", len(self.devices), urls)
        if self.discovery_port is not None:
            found = await discovery.start(self.port, self.discovery_port,
                                          all(guard.is_loopback(h) for h in self.hosts),
                                          ipv6=any(guard.listens_on_ipv6(h) for h in self.hosts))
            self.discovery_transport = found[0] if found else None
            self._discovery = found

    async def stop(self) -> None:
        """Abort exposures, close the cameras, stop serving."""
        for transport in self._discovery:
            transport.close()
        self._discovery = []
        for d in self.devices:
            try:
                await d.disconnect()
            except Exception as exc:   # one camera's trouble must not keep the others open
                log.warning("camera %d: closing failed: %s", d.number, exc)
        if self._runner is not None:
            await self._runner.cleanup()       # slow clients get SHUTDOWN_GRACE_S, then are cut off
        self._runner = None
        if self._pool is not None:
            self._pool.shutdown(wait=True)
            self._pool = None
        log.info("stopped")


class ServerThread:
    """A :class:`Server` on its own event loop in a background thread."""

    def __init__(self, server: Server, app_hook: Optional[Callable[[web.Application], None]] = None) -> None:
        self.server = server
        self.app_hook = app_hook
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_forever, name="alpaca-server", daemon=True)

    def start(self) -> "ServerThread":
        self._thread.start()

        async def start() -> None:
            app = self.server.make_app()
            if self.app_hook is not None:
                self.app_hook(app)
            await self.server.start(app)
        asyncio.run_coroutine_threadsafe(start(), self.loop).result(30)
        return self

    @property
    def url(self) -> str:
        host = self.server.hosts[0] or "127.0.0.1"
        return f"http://{'[' + host + ']' if ':' in host else host}:{self.server.port}"

    def stop(self) -> None:
        asyncio.run_coroutine_threadsafe(self.server.stop(), self.loop).result(30)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)
        self.loop.close()


async def serve_forever(server: Server) -> None:
    """Run until SIGINT/SIGTERM (Ctrl-C), then stop cleanly."""
    try:
        await server.start()
    except BaseException:
        await server.stop()
        raise
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, stop.set)
        except (NotImplementedError, RuntimeError):
            pass
    try:
        await stop.wait()
        log.info("stopping (Ctrl-C again to stop at once)")
        for sig in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.remove_signal_handler(sig)     # a second Ctrl-C interrupts the shutdown
            except (NotImplementedError, RuntimeError):
                pass
    finally:
        await server.stop()
