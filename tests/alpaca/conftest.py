"""An Alpaca server on the simulated cameras, in this process on an ephemeral
port, with the frames the server fetched recorded for comparison."""
import time

import numpy as np
import pytest
import requests

import orx
from orxalpaca import Server, ServerThread


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


class Client:
    """Plain HTTP access to one camera's members."""

    def __init__(self, url, number):
        self.base = f"{url}/api/v1/camera/{number}/"
        self.http = requests.Session()

    def get(self, member, **params):
        return self.http.get(self.base + member, params=params, timeout=30)

    def put(self, member, **form):
        return self.http.put(self.base + member, data=form, timeout=30)

    def value(self, member, **params):
        body = self.get(member, **params).json()
        assert body["ErrorNumber"] == 0, body
        return body["Value"]

    def ok(self, member, **form):
        body = self.put(member, **form).json()
        assert body["ErrorNumber"] == 0, body

    def expose(self, duration=0.01, light=True, timeout=60):
        self.ok("startexposure", Duration=duration, Light=light)
        deadline = time.monotonic() + timeout
        while not self.value("imageready"):
            assert time.monotonic() < deadline, "no image"
            assert self.value("camerastate") != 5, "the exposure failed"
            time.sleep(0.01)


@pytest.fixture
def client(server):
    """Camera 1 (the mono guide camera), connected."""
    c = Client(server.url, 1)
    c.ok("connected", Connected=True)
    return c
