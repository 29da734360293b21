"""An Alpaca server on the simulated cameras, in this process on an ephemeral
port, with the frames the server fetched recorded for comparison."""
import pytest

import orx
from orxalpaca import Server, ServerThread

from alpaca_helpers import Client


@pytest.fixture
def frames(monkeypatch):
    """Every frame the server fetches with orx, in order."""
    seen = []
    fetch = orx.get_data_after_exp

    def recording(camera_id, size):
        frame = fetch(camera_id, size)
        seen.append(frame)
        return frame
    monkeypatch.setattr(orx, "get_data_after_exp", recording)
    return seen


@pytest.fixture
def server():
    running = ServerThread(Server(port=0, discovery_port=0)).start()
    yield running
    running.stop()


@pytest.fixture
def client(server):
    """Camera 1 (the mono guide camera), connected."""
    c = Client(server.url, 1)
    c.ok("connected", Connected=True)
    return c
