"""Camera errors as the client reads them."""
from __future__ import annotations

import orx


class CameraError(Exception):
    """A failed camera call, with a message naming what was done and the cause."""


def describe(exc: BaseException, doing: str) -> str:
    """"<doing> failed: <cause> (<exception>)", the cause from the library
    exception's documentation."""
    cls = type(exc)
    if isinstance(exc, orx.ORXError):
        cause = (cls.__doc__ or cls.__name__).strip().splitlines()[0].rstrip(".")
        return f"{doing} failed: {cause} ({cls.__name__})"
    return f"{doing} failed: {exc}"
