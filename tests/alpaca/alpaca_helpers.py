"""Helpers for the Alpaca server tests."""
import struct
import time

import numpy as np
import requests

import orx


def sensor_pixels(frame, width, height, img_type):
    """A frame fetched with orx as (height, width[, 3 in R, G, B]) pixels."""
    if img_type == orx.ImgType.IMG_RAW16:
        return np.frombuffer(frame, "<u2").reshape(height, width)
    if img_type == orx.ImgType.IMG_RGB24:
        return np.frombuffer(frame, np.uint8).reshape(height, width, 3)[:, :, ::-1]
    return np.frombuffer(frame, np.uint8).reshape(height, width)


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


def imagebytes(client, **params):
    r = client.http.get(client.base + "imagearray", params=params,
                        headers={"Accept": "application/json, application/imagebytes;q=0.9"}, timeout=30)
    assert r.headers["Content-Type"].startswith("application/imagebytes")
    head = struct.unpack("<11i", r.content[:44])
    return head, r.content[44:]
