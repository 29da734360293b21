"""Command-line option types the front ends share."""
from __future__ import annotations

import argparse


def camera_id_list(text: str) -> list[int]:
    """``--cameras 1001,1003``: the camera ids, in the order given."""
    try:
        return [int(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of camera ids") from None
