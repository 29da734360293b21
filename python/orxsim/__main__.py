"""``python -m orxsim --library``: which camera library orx uses."""
from __future__ import annotations

import argparse
from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m orxsim",
        description="Facts about the camera library behind orx in this environment.",
    )
    parser.add_argument(
        "--library",
        action="store_true",
        help="show the ORXCamera2 library orx loads (ORX_CAMERA_LIBRARY chooses another), "
        "its version and whether it is the simulator",
    )
    args = parser.parse_args(argv)
    if not args.library:
        parser.print_help()
        return 0

    import orx

    from . import camera_library
    from ._loaded import simulator_or_none

    path = camera_library()
    print(f"library:   {path}")
    print(f"version:   {orx.get_sdk_version()}")
    print(f"simulator: {'yes' if simulator_or_none(path) is not None else 'no'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
