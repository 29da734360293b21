"""Alpaca discovery: answers ``alpacadiscovery1`` datagrams on UDP with the
HTTP port."""
from __future__ import annotations

import asyncio
import ipaddress
import json
import logging
from typing import Optional

log = logging.getLogger(__name__)

DEFAULT_PORT = 32227
QUERY = b"alpacadiscovery1"


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


async def start(http_port: int, port: int = DEFAULT_PORT, loopback_only: bool = False
                ) -> Optional[asyncio.DatagramTransport]:
    """Listen for discovery queries on every IPv4 interface; None (with a
    warning) when the port is taken."""
    loop = asyncio.get_running_loop()
    try:
        transport, _ = await loop.create_datagram_endpoint(
            lambda: _Responder(http_port, loopback_only), local_addr=("0.0.0.0", port),
            allow_broadcast=True)
    except OSError as exc:
        log.warning("discovery is off: UDP port %d: %s", port, exc.strerror or exc)
        return None
    log.info("answering discovery on UDP port %d", transport.get_extra_info("sockname")[1])
    return transport
