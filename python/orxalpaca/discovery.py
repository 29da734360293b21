"""Alpaca discovery: answers ``alpacadiscovery1`` datagrams with the HTTP
port, over IPv4 (broadcasts and unicast) and, when the HTTP server listens on
IPv6, over IPv6 (the multicast group ff12::a1:9aca and unicast)."""
from __future__ import annotations

import asyncio
import ipaddress
import json
import logging
import socket
import struct
from typing import Optional

log = logging.getLogger(__name__)

DEFAULT_PORT = 32227
QUERY = b"alpacadiscovery1"
IPV6_GROUP = "ff12::a1:9aca"


class _Responder(asyncio.DatagramProtocol):
    def __init__(self, http_port: int, loopback_only: bool) -> None:
        self.answer = json.dumps({"AlpacaPort": http_port}).encode()
        self.loopback_only = loopback_only
        self.transport: Optional[asyncio.DatagramTransport] = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def datagram_received(self, data: bytes, addr: tuple) -> None:
        if not data.startswith(QUERY) or self.transport is None:
            return
        if self.loopback_only and not ipaddress.ip_address(addr[0].split("%")[0]).is_loopback:
            return                       # the HTTP server is not reachable from there
        self.transport.sendto(self.answer, addr)


def _ipv6_socket(port: int) -> socket.socket:
    sock = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind(("::", port))
        group = socket.inet_pton(socket.AF_INET6, IPV6_GROUP)
        for index, _ in socket.if_nameindex():
            try:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, group + struct.pack("@I", index))
            except OSError:
                pass                     # an interface without multicast
        sock.setblocking(False)
        return sock
    except BaseException:
        sock.close()
        raise


async def start(http_port: int, port: int = DEFAULT_PORT, loopback_only: bool = False, ipv6: bool = False
                ) -> list[asyncio.DatagramTransport]:
    """Listen for discovery queries (IPv4 first, then IPv6 on the same port
    when asked); a port that is taken leaves that family off with a warning."""
    loop = asyncio.get_running_loop()
    transports: list[asyncio.DatagramTransport] = []
    try:
        transport, _ = await loop.create_datagram_endpoint(
            lambda: _Responder(http_port, loopback_only), local_addr=("0.0.0.0", port), allow_broadcast=True)
    except OSError as exc:
        log.warning("discovery is off: UDP port %d: %s", port, exc.strerror or exc)
        return transports
    transports.append(transport)
    port = transport.get_extra_info("sockname")[1]
    log.info("answering discovery on UDP port %d", port)
    if ipv6 and socket.has_ipv6:
        try:
            transport6, _ = await loop.create_datagram_endpoint(
                lambda: _Responder(http_port, loopback_only), sock=_ipv6_socket(port))
            transports.append(transport6)
        except OSError as exc:
            log.warning("IPv6 discovery is off: UDP port %d: %s", port, exc.strerror or exc)
    return transports
