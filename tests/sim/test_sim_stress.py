"""Many threads doing everything at once: no crash, no hang, only known statuses."""
import ctypes
import random
import threading
import time

from simhelp import *  # noqa: F401,F403

KNOWN = {0, 1, 2, 3, 4, 5, 6, 9, 12, 13, 14, 15, 16, 18, 19, 20, 21, 23, 24, 27, 28}


def test_chaos(lib):
    lib.ORXSimSetTimeScale(0.01)
    cams = [GUIDE, PLANETARY]
    for cam in cams:
        open_init(lib, cam)
        assert lib.ORXSetROIFormat(cam, 128, 64, 1, RAW8) == SUCCESS
        assert lib.ORXSetControlValue(cam, EXPOSURE, 2000, 0) == SUCCESS
    stop = time.monotonic() + 1.5
    seen, errors = set(), []

    def worker(seed):
        rnd = random.Random(seed)
        buf = ctypes.create_string_buffer(128 * 64 * 3)
        v, a = ctypes.c_int32(), ctypes.c_int32()
        g = GpsData()
        try:
            while time.monotonic() < stop:
                cam = rnd.choice(cams)
                op = rnd.randrange(14)
                if op == 0:
                    st = lib.ORXStartVideoCapture(cam)
                elif op == 1:
                    st = lib.ORXStopVideoCapture(cam)
                elif op in (2, 3, 4):
                    st = lib.ORXGetVideoData(cam, buf, len(buf), rnd.choice([0, 5, 50]))
                elif op == 5:
                    st = lib.ORXStartExposure(cam, rnd.randrange(2))
                elif op == 6:
                    st = lib.ORXGetDataAfterExp(cam, buf, len(buf))
                elif op == 7:
                    st = lib.ORXSetControlValue(cam, GAIN, rnd.randrange(0, 120), 0)
                elif op == 8:
                    st = lib.ORXGetControlValue(cam, rnd.randrange(-1, 30), ctypes.byref(v), ctypes.byref(a))
                elif op == 9:
                    st = lib.ORXSetROIFormat(cam, rnd.choice([64, 128]), 64, 1, rnd.choice([RAW8, RAW16]))
                elif op == 10:
                    st = lib.ORXPulseGuideOn(cam, rnd.randrange(4)) if rnd.random() < 0.5 else \
                        lib.ORXPulseGuideOff(cam, rnd.randrange(4))
                elif op == 11:
                    st = lib.ORXGetVideoDataGPS(cam, buf, len(buf), 5, ctypes.byref(g))
                elif op == 12:
                    if rnd.random() < 0.5:
                        lib.ORXCloseCamera(cam)
                    st = lib.ORXOpenCamera(cam)
                    lib.ORXInitCamera(cam)
                else:
                    if rnd.random() < 0.3:
                        lib.ORXSimUnplug(cam)
                        time.sleep(0.002)
                        lib.ORXSimReplug(cam)
                    st = lib.ORXOpenCamera(cam)
                    lib.ORXInitCamera(cam)
                seen.add(st)
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert not any(t.is_alive() for t in threads), "a call hung"
    assert not errors
    assert seen <= KNOWN, seen - KNOWN
    assert SUCCESS in seen
    for cam in cams:
        lib.ORXCloseCamera(cam)
