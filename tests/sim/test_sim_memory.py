"""Cameras coming and going and clock changes cost no memory, while other
threads keep calling the cameras concerned."""
import ctypes
import os
import threading

import pytest

from simhelp import *  # noqa: F401,F403

ROUNDS = 100_000


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def add_remove(lib):
    cam = lib.ORXSimAddCamera(b'{"model": "cooled"}')
    assert lib.ORXSimRemoveCamera(cam) == 0


OPS = {
    "reset": lambda lib: lib.ORXSimReset(),
    "add and remove": add_remove,
    "time scale": lambda lib: lib.ORXSimSetTimeScale(0.5),
}


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("op", OPS)
def test_resident_memory_stays_flat(lib, op):
    fn = OPS[op]
    stop = threading.Event()
    seen = set()

    def reader():  # lock-free look-ups of the cameras being retired and revived
        v, a = ctypes.c_int32(), ctypes.c_int32()
        info = CameraInfo()
        while not stop.is_set():
            for cam in (COOLED, 1004):
                seen.add(lib.ORXOpenCamera(cam))
                seen.add(lib.ORXGetControlValue(cam, GAIN, ctypes.byref(v), ctypes.byref(a)))
                seen.add(lib.ORXGetCameraPropertyByID(cam, ctypes.byref(info)))
            seen.add(lib.ORXGetCameraProperty(ctypes.byref(info), 3))

    t = threading.Thread(target=reader)
    t.start()
    try:
        for _ in range(2000):  # allocator and tables settle
            fn(lib)
        before = rss()
        for _ in range(ROUNDS):
            fn(lib)
        grown = rss() - before
    finally:
        stop.set()
        t.join()
    assert grown < 1 << 20, f"{grown / ROUNDS:.1f} bytes per {op}"
    assert seen <= {SUCCESS, INVALID_INDEX, INVALID_ID, CAMERA_CLOSED}, seen
