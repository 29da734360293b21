"""What keeps the server standing on an open network: requests answered only
for the names it is reached by (no DNS rebinding), no cross-origin writes, a
bound on open connections."""
from __future__ import annotations

import ipaddress
import logging
import socket
from typing import Any, Awaitable, Callable, Iterable, Optional

from aiohttp import web

log = logging.getLogger(__name__)

WILDCARDS = ("", "0.0.0.0", "::")


def _ip(text: str) -> Optional[ipaddress._BaseAddress]:
    try:
        return ipaddress.ip_address(text.split("%")[0])
    except ValueError:
        return None


def is_loopback(host: str) -> bool:
    """Whether the address or name to listen on is this machine only (all of
    127.0.0.0/8 and ::1, and names resolving there only)."""
    address = _ip(host)
    if address is not None:
        return address.is_loopback
    if host in WILDCARDS:
        return False
    try:
        found = {info[4][0] for info in socket.getaddrinfo(host, None)}
    except OSError:
        return False
    return bool(found) and all(_ip(a) is not None and _ip(a).is_loopback for a in found)  # type: ignore[union-attr]


def listens_on_ipv6(host: str) -> bool:
    """Whether an HTTP server on ``host`` is reachable over IPv6."""
    if host in ("", "::"):
        return True
    try:
        return any(info[0] == socket.AF_INET6 for info in socket.getaddrinfo(host, None))
    except OSError:
        return False


def host_name(header: str) -> str:
    """The host of a Host header or an origin's authority, without the port, lower case."""
    header = header.strip().lower()
    if header.startswith("["):
        return header[1:header.find("]")] if "]" in header else header
    name, colon, port = header.rpartition(":")
    if colon and port.isdigit() and ":" not in name:
        header = name
    return header.rstrip(".")


def known_names(listen_hosts: Iterable[str], allowed: Iterable[str]) -> set[str]:
    """Host names the server answers to: the ones it listens on, localhost for
    loopback or every interface, this machine's names on every interface, and
    those named by the operator."""
    names = {host_name(n) for n in allowed if n}
    for host in listen_hosts:
        names |= _names_of(host)
    return names


def _names_of(listen_host: str) -> set[str]:
    names = set()
    if _ip(listen_host) is None and listen_host not in WILDCARDS:
        names.add(host_name(listen_host))
    if listen_host in WILDCARDS or is_loopback(listen_host):
        names.add("localhost")
    if listen_host in WILDCARDS:
        for name in (socket.gethostname(), socket.getfqdn()):
            names.add(host_name(name))
            names.add(host_name(name).split(".")[0] + ".local")
    return names


Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


def same_host(listen_hosts: Iterable[str], allowed: Iterable[str]) -> Any:
    """Middleware: a request naming a host the server is not known by is
    refused (a page of another site whose name was made to resolve here), and
    so is a write from a page of another origin."""
    names = known_names(listen_hosts, allowed)

    @web.middleware
    async def check(request: web.Request, handler: Handler) -> web.StreamResponse:
        header = request.headers.get("Host")
        if header is not None:
            host = host_name(header)
            if _ip(host) is None and host not in names:
                return web.Response(status=421, text=(
                    f"this server does not answer for host name {host!r}; start it with "
                    f"--allow-host {host} if that name is meant to reach it"))
        origin = request.headers.get("Origin")
        if request.method not in ("GET", "HEAD", "OPTIONS") and origin is not None:
            authority = origin.partition("://")[2]
            if origin == "null" or header is None or authority.lower() != header.strip().lower():
                return web.Response(status=403, text="writes from pages of another origin are refused")
        return await handler(request)
    return check


def limit_connections(server: Any, limit: int) -> None:
    """Close connections beyond ``limit`` as they arrive (``server`` is the
    runner's aiohttp server); the condition is logged once until it clears."""
    admit = server.connection_made
    state = {"full": False}

    def connection_made(handler: Any, transport: Any) -> None:
        admit(handler, transport)
        count = len(server.connections)
        if count > limit:
            if not state["full"]:
                state["full"] = True
                log.warning("%d connections open: refusing more until some close", limit)
            transport.abort()
        elif state["full"] and count < limit * 3 // 4:
            state["full"] = False
            log.info("connections below the limit again (%d open)", count)
    server.connection_made = connection_made
