"""Many threads on two cameras at once: no deadlock, no crash, every failure
an orx.ORXError, every frame exactly buffer_size bytes.

Eight threads mix video fetches (with time limits and without), snapshots,
control reads and writes, region reads and writes, stopping capture, closing
and reopening the cameras, for ORX_THREAD_SECONDS seconds (default 5). The
nightly length is

    ORX_THREAD_SECONDS=60 python -m pytest tests/test_threads.py
"""
import faulthandler
import os
import random
import sys
import threading
import time

import pytest

import orx
import orxsim

SECONDS = float(os.environ.get("ORX_THREAD_SECONDS", "5"))
THREADS = 8
# the mono guide camera (1280 x 960) and a small colour camera with GPS
GPS_CAMERA = {"model": "color", "name": "Threads GPS", "width": 800, "height": 600, "gps": True}
CAMERAS = []
FULL = {}


def buffer_size(cam):
    """Room for any frame the camera gives in RAW8 or RAW16, at any region:
    a camera reopened by another thread is back at the full sensor."""
    w, h = FULL[cam]
    return w * h * 2


def ready(cam):
    orx.open_camera(cam)
    orx.init_camera(cam)
    orx.set_roi_format(cam, 320, 240, 1, orx.ImgType.IMG_RAW16)
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, 2000, False)


def fetch(cam, wait):
    size = buffer_size(cam)
    frame = orx.get_video_data(cam, size, wait)
    assert type(frame) is bytes and len(frame) == size
    return "frame"


def fetch_gps(cam, wait):
    size = buffer_size(cam)
    frame, gps = orx.get_video_data_gps(cam, size, wait)
    assert type(frame) is bytes and len(frame) == size and type(gps) is orx.GpsData
    return "frame"


def snapshot(cam, _):
    orx.start_exposure(cam, False)
    deadline = time.monotonic() + 2
    while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING and time.monotonic() < deadline:
        time.sleep(0.001)
    size = buffer_size(cam)
    assert len(orx.get_data_after_exp(cam, size)) == size
    return "snapshot"


def controls(cam, rng):
    kind = rng.choice([orx.ControlType.ORX_GAIN, orx.ControlType.ORX_EXPOSURE, orx.ControlType.ORX_OFFSET])
    value = {orx.ControlType.ORX_EXPOSURE: rng.randrange(100, 5000)}.get(kind, rng.randrange(0, 50))
    orx.set_control_value(cam, kind, value, False)
    value, auto = orx.get_control_value(cam, kind)
    assert type(value) is int and type(auto) is bool
    orx.get_dropped_frames(cam)
    return "controls"


def region(cam, rng):
    w, h, b, t = orx.get_roi_format(cam)
    assert (w, h, b) and type(t) is orx.ImgType
    if rng.random() < 0.5:
        orx.set_roi_format(cam, rng.choice([160, 320, 640]), rng.choice([120, 240, 480]), 1,
                           rng.choice([orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16]))
    return "region"


def reopen(cam, _):
    orx.close_camera(cam)
    ready(cam)
    return "reopen"


OPERATIONS = [
    (25, lambda cam, rng: fetch(cam, rng.choice([0, 5, 50, 200]))),
    (5, lambda cam, rng: fetch(cam, -1)),
    (8, lambda cam, rng: fetch_gps(cam, rng.choice([0, 20, 200]))),
    (10, lambda cam, rng: (orx.start_video_capture(cam), "start")[1]),
    (6, lambda cam, rng: (orx.stop_video_capture(cam), "stop")[1]),
    (6, lambda cam, rng: snapshot(cam, rng)),
    (15, controls),
    (8, region),
    (2, lambda cam, rng: (orx.stop_exposure(cam), "stop exposure")[1]),
    (2, lambda cam, rng: (orx.close_camera(cam), "close")[1]),
    (3, reopen),
]
WEIGHTS = [w for w, _ in OPERATIONS]


def worker(index, stop_at, tally, failures):
    rng = random.Random(index)
    while time.monotonic() < stop_at:
        cam = rng.choice(CAMERAS)
        op = rng.choices(OPERATIONS, WEIGHTS)[0][1]
        try:
            what = op(cam, rng)
            tally[what] = tally.get(what, 0) + 1
        except orx.ORXError as e:
            key = type(e).__name__
            tally[key] = tally.get(key, 0) + 1
        except BaseException as e:  # anything else is a finding
            failures.append((index, repr(e)))
            return


@pytest.fixture
def two_cameras():
    """The camera clock at wall speed (frames come at their exposure rate
    rather than as fast as the renderer can go) and the two cameras."""
    orxsim.set_time_scale(1.0)
    CAMERAS[:] = [1002, orxsim.add_camera(GPS_CAMERA)]
    FULL.update({1002: (1280, 960), CAMERAS[1]: (800, 600)})
    yield
    CAMERAS.clear()


def test_eight_threads_two_cameras(two_cameras):
    for cam in CAMERAS:
        ready(cam)
    tallies = [{} for _ in range(THREADS)]
    failures = []
    stop_at = time.monotonic() + SECONDS
    threads = [threading.Thread(target=worker, args=(i, stop_at, tallies[i], failures), daemon=True)
               for i in range(THREADS)]
    # a wait without limit ends when a frame comes or capture stops; a stop
    # comes within the run, so the slowest thread returns soon after it
    for t in threads:
        t.start()
    deadline = stop_at + 30
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [t for t in threads if t.is_alive()]
    if stuck:
        faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
        # free the stuck waits so the process can end: capture stops wake them
        for cam in CAMERAS:
            orx.stop_video_capture(cam)
    assert not stuck, f"{len(stuck)} threads still running 30 s after the end"
    assert not failures, failures
    total = {}
    for tally in tallies:
        for k, v in tally.items():
            total[k] = total.get(k, 0) + v
    print(f"\n{SECONDS:.0f} s, {THREADS} threads: {dict(sorted(total.items()))}")
    assert total.get("frame", 0) > 0 and total.get("reopen", 0) > 0

    # both cameras still work afterwards
    for cam in CAMERAS:
        orx.close_camera(cam)
        ready(cam)
        orx.start_video_capture(cam)
        fetch(cam, 2000)
        orx.stop_video_capture(cam)
        orx.close_camera(cam)
