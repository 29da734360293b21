"""Cameras on the network: every camera orx sees served as an ASCOM Alpaca
Camera device (``python -m orxalpaca``)."""
from .server import Server, ServerThread

__all__ = ["Server", "ServerThread"]
