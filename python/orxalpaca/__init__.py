"""Cameras on the network: every camera orx sees served as an ASCOM Alpaca
Camera device (``python -m orxalpaca``)."""
from typing import Any

__all__ = ["Server", "ServerThread"]


def __getattr__(name: str) -> Any:
    # the server is imported on first use, so that the command line can say
    # which extra is missing instead of failing on the package's import
    if name in __all__:
        from . import server
        return getattr(server, name)
    raise AttributeError(f"module 'orxalpaca' has no attribute {name!r}")
