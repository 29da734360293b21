"""``python -m orxalpaca``: serve the cameras as Alpaca Camera devices."""
from __future__ import annotations

import argparse
import asyncio
import logging
import sys
from typing import Optional, Sequence

try:
    import aiohttp  # noqa: F401  (the server's one dependency beyond orx)
except ModuleNotFoundError:
    sys.exit("orx-alpaca needs the 'alpaca' extra: pip install 'orx[alpaca]'")

import orx
from orxdevice.options import camera_id_list

from . import discovery
from .server import DEFAULT_PORT, MAX_CONNECTIONS, Server, camera_ids, serve_forever


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is not in 0..65535")
    return value


def _count(text: str) -> int:
    value = _port(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return value


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="orx-alpaca",
        description="Serve every camera orx sees as an ASCOM Alpaca Camera device. Ctrl-C stops "
                    "the server (running exposures are aborted, the cameras closed).")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1; 0.0.0.0 for every interface; several "
                        "separated by commas, e.g. 127.0.0.1,::1)")
    p.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"HTTP port (default {DEFAULT_PORT}; 0: any free port)")
    p.add_argument("--cameras", type=camera_id_list,
                   metavar="ID,ID,...", help="camera ids to serve, in this order (default: all; see --list)")
    p.add_argument("--discovery-port", type=_port, default=discovery.DEFAULT_PORT,
                   help=f"UDP port for Alpaca discovery (default {discovery.DEFAULT_PORT})")
    p.add_argument("--no-discovery", action="store_true", help="do not answer discovery queries")
    p.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                   help="a host name clients may reach the server by besides the address it listens on, "
                        "localhost and this machine's name (repeatable)")
    p.add_argument("--max-connections", type=_count, default=MAX_CONNECTIONS,
                   help=f"open connections at most (default {MAX_CONNECTIONS})")
    p.add_argument("--time-scale", type=float, metavar="S",
                   help="simulated cameras only: their clock runs 1/S times as fast (0.01: 100x)")
    p.add_argument("--log-level", default="info", choices=["debug", "info", "warning", "error"])
    p.add_argument("--list", action="store_true", help="list the cameras and their ids, then exit")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    if args.list:
        for cid in camera_ids():
            info = orx.get_camera_property_by_id(cid)
            print(f"{cid}  {info.name}  {info.max_width}x{info.max_height}")
        return 0
    if args.time_scale is not None:
        try:
            import orxsim
            orxsim.set_time_scale(args.time_scale)
        except (ImportError, RuntimeError, OSError, ValueError) as exc:
            print(f"orx-alpaca: --time-scale: {exc}", file=sys.stderr)
            return 2
    known = set(camera_ids())
    if args.cameras is not None and not set(args.cameras) <= known:
        unknown = ", ".join(str(c) for c in args.cameras if c not in known)
        print(f"orx-alpaca: no camera with id {unknown} (connected: {sorted(known)})", file=sys.stderr)
        return 2
    server = Server(args.host, args.port, args.cameras,
                    None if args.no_discovery else args.discovery_port,
                    allowed_hosts=args.allow_host, max_connections=args.max_connections)
    try:
        asyncio.run(serve_forever(server))
    except OSError as exc:
        print(f"orx-alpaca: cannot serve on {args.host}:{args.port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:                   # the second Ctrl-C, during the shutdown
        print("orx-alpaca: stopped before the shutdown was done", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
