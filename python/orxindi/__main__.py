"""``orx-indi``: the INDI driver of every camera orx sees. ``indiserver``
starts it (``indiserver orx-indi``); it speaks INDI on its standard input and
output and logs to standard error (which indiserver keeps in its log)."""
from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys
from typing import Optional, Sequence

from orxdevice.options import camera_id_list

VERSION = "1.0"


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="orx-indi",
        description="INDI driver for the cameras orx sees, one INDI device per camera. Run it under indiserver: "
                    "indiserver orx-indi (options go in the environment variable ORX_INDI_OPTIONS).")
    p.add_argument("--cameras", type=camera_id_list, metavar="ID,ID,...", help="camera ids to serve (default: all; see --list)")
    p.add_argument("--time-scale", type=float, metavar="S",
                   help="simulated cameras only: their clock runs 1/S times as fast (0.01: 100x)")
    p.add_argument("--log-level", default="info", choices=["debug", "info", "warning", "error"])
    p.add_argument("--list", action="store_true", help="list the cameras and their ids, then exit")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    import os
    import shlex

    if argv is None:
        argv = shlex.split(os.environ.get("ORX_INDI_OPTIONS", "")) + sys.argv[1:]
    args = _parser().parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), stream=sys.stderr,
                        format="%(levelname)s %(name)s: %(message)s")
    if sys.version_info < (3, 11):
        print("orx-indi: the INDI driver needs Python 3.11 or newer (its INDI library does)", file=sys.stderr)
        return 2
    try:
        import indipydriver  # noqa: F401
        import astropy  # noqa: F401
    except ImportError as exc:
        print(f"orx-indi: {exc.name} is missing: install orx with the indi extra (pip install \"orx[indi]\")",
              file=sys.stderr)
        return 2
    import orx

    from .device import connected_ids
    from .driver import build, run

    present = connected_ids()
    if args.list:
        for cid in present:
            info = orx.get_camera_property_by_id(cid)
            print(f"{cid}  {info.name}  {info.max_width}x{info.max_height}")
        return 0
    scale = lambda: 1.0  # noqa: E731
    try:
        import orxsim

        orxsim.library()
        if args.time_scale is not None:
            orxsim.set_time_scale(args.time_scale)
        scale = orxsim.time_scale
    except (ImportError, RuntimeError, OSError) as exc:
        if args.time_scale is not None:
            print(f"orx-indi: --time-scale needs the simulated cameras ({exc})", file=sys.stderr)
            return 2
    except ValueError as exc:
        print(f"orx-indi: --time-scale: {exc}", file=sys.stderr)
        return 2
    wanted = args.cameras if args.cameras is not None else present
    unknown = [c for c in wanted if c not in present]
    if unknown:
        print(f"orx-indi: no camera with id {', '.join(map(str, unknown))} (connected: {present})", file=sys.stderr)
        return 2
    driver, pool = build(wanted, VERSION, scale, follow=args.cameras is None)

    async def serve() -> None:
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, driver.shutdown)
        await run(driver)
    try:
        asyncio.run(serve())
    finally:
        driver.output.close()
        pool.shutdown(wait=False, cancel_futures=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
