"""Frame waits: made in slices with the interpreter lock given up, so that
a signal handler (Ctrl-C) ends them; the caller's time limit still holds.

The scripted library answers at once, as a library that ignores the wait
would; the real camera waits for frames that a trigger mode never sends.
"""
import signal
import sys
import threading
import time

import pytest

import orx
import orxsim

C = 1234
SLICE = 0.1  # seconds
TIMEOUT = orxsim.Status.TIMEOUT
FETCHES = [("ORXGetVideoData", orx.get_video_data), ("ORXGetVideoDataGPS", orx.get_video_data_gps)]
FETCH_IDS = ["plain", "gps"]


def waits(lib):
    return [c.args[3] for c in orxsim.log() if c.name == lib]


@pytest.mark.parametrize("lib,fetch", FETCHES, ids=FETCH_IDS)
@pytest.mark.parametrize("wait_ms", [0, 1, 100, -7, 101, 250, 1000])
def test_a_time_out_comes_once_the_whole_wait_has_passed(lib, fetch, wait_ms):
    orxsim.inject(lib, TIMEOUT, orxsim.ALWAYS)
    orxsim.clear_log()
    t0 = time.monotonic()
    with pytest.raises(orx.ORXTimeout):
        fetch(C, 8, wait_ms)
    took = time.monotonic() - t0
    seen = waits(lib)
    if wait_ms <= 100:  # at most one slice (or a wait only the library knows): one call, unchanged
        assert seen == [wait_ms]
        return
    # full slices, then what is left of the wait; each early answer waited
    # out, so the time-out comes when the whole wait has passed
    assert seen[:-1] == [100] * (len(seen) - 1) and 0 <= seen[-1] <= 100
    assert sum(seen) <= wait_ms + len(seen)
    assert took >= wait_ms / 1000


@pytest.mark.parametrize("lib,fetch", FETCHES, ids=FETCH_IDS)
@pytest.mark.parametrize("status,error", [(0, None), (orxsim.Status.INVALID_SEQUENCE, orx.ORXInvalidSequence),
                                          (orxsim.Status.CAMERA_REMOVED, orx.ORXCameraRemoved)])
def test_any_other_answer_ends_the_wait_at_once(lib, fetch, status, error):
    orxsim.inject(lib, TIMEOUT, 2)
    orxsim.inject(lib, int(status), 1, b"" if lib == "ORXGetVideoData" else bytes(200))
    orxsim.clear_log()
    if error is None:
        assert fetch(C, 8, -1)
    else:
        with pytest.raises(error):
            fetch(C, 8, 10_000)
    assert len(waits(lib)) == 3


def test_an_unlimited_wait_does_not_spin_on_early_answers():
    orxsim.inject("ORXGetVideoData", TIMEOUT, orxsim.ALWAYS)
    orxsim.clear_log()
    done = threading.Event()
    result = []

    def fetch():
        try:
            orx.get_video_data(C, 8, -1)
        except orx.ORXError as e:
            result.append(e)
        done.set()

    threading.Thread(target=fetch).start()
    t0 = time.monotonic()
    time.sleep(0.5)
    orxsim.clear_injections()
    orxsim.inject("ORXGetVideoData", orxsim.Status.CAMERA_REMOVED)
    assert done.wait(10)
    took = time.monotonic() - t0
    assert type(result[0]) is orx.ORXCameraRemoved
    assert set(waits("ORXGetVideoData")) == {100}
    assert len(waits("ORXGetVideoData")) <= took / SLICE + 2


@pytest.fixture
def waiting_camera():
    """A camera in a hardware trigger mode, capturing: no frame ever comes."""
    cam = orxsim.add_camera({"model": "cooled", "width": 320, "height": 240})
    orx.open_camera(cam)
    orx.init_camera(cam)
    orx.set_camera_mode(cam, orx.CameraMode.ORX_MODE_TRIG_RISE_EDGE)
    orx.start_video_capture(cam)
    yield cam
    orx.close_camera(cam)


def interrupt_after(seconds, sent):
    def send():
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    timer = threading.Timer(seconds, send)
    timer.start()
    return timer


class Stop(Exception):
    pass


@pytest.mark.skipif(sys.platform == "win32", reason="signals sent to a thread")
@pytest.mark.parametrize("fetch", [orx.get_video_data, orx.get_video_data_gps], ids=FETCH_IDS)
@pytest.mark.parametrize("handler,raised", [(signal.default_int_handler, KeyboardInterrupt), ("stop", Stop)])
def test_a_signal_ends_an_endless_wait_with_what_its_handler_raises(waiting_camera, fetch, handler, raised):
    def stop(signum, frame):
        raise Stop(signum)

    previous = signal.signal(signal.SIGINT, stop if handler == "stop" else handler)
    sent = []
    try:
        timer = interrupt_after(0.3, sent)
        with pytest.raises(raised) as info:
            fetch(waiting_camera, 320 * 240 * 2, -1)
        ended = time.monotonic()
        timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    # well within the 200 ms a slice allows on an idle machine; generous here
    assert ended - sent[0] < 5
    names = [f.name for f in info.traceback]
    assert f"quenlix.yux_orx_python_bindings.orx.{fetch.__name__}" in names
    # the camera is as it was: still capturing, still waiting
    with pytest.raises(orx.ORXTimeout):
        orx.get_video_data(waiting_camera, 320 * 240 * 2, 0)


@pytest.mark.skipif(sys.platform == "win32", reason="signals sent to a thread")
def test_a_handler_that_returns_lets_the_wait_go_on(waiting_camera):
    seen = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: seen.append(signum))
    sent = []
    try:
        timer = interrupt_after(0.15, sent)
        t0 = time.monotonic()
        with pytest.raises(orx.ORXTimeout):
            orx.get_video_data(waiting_camera, 320 * 240 * 2, 600)
        took = time.monotonic() - t0
        timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert seen == [signal.SIGINT]
    assert took >= 0.6
