"""Snapshots, video, triggers, GPS stamps and threads."""
import ctypes
import threading
import time

import pytest

from simhelp import *  # noqa: F401,F403


def small(lib, cam, w=64, h=64, t=RAW8, exposure_us=1000):
    open_init(lib, cam)
    assert lib.ORXSetROIFormat(cam, w, h, 1, t) == SUCCESS
    assert lib.ORXSetControlValue(cam, EXPOSURE, exposure_us, 0) == SUCCESS
    return w * h * {RAW8: 1, Y8: 1, RAW16: 2, RGB24: 3}[t]


def fetch(lib, cam, n, wait_ms):
    buf = ctypes.create_string_buffer(n)
    st = lib.ORXGetVideoData(cam, buf, n, wait_ms)
    return st, buf.raw


# ---- snapshots ------------------------------------------------------------------------
def test_snapshot_sequence(fast):
    lib = fast
    n = small(lib, GUIDE, t=RAW16, exposure_us=2_000_000)
    buf = ctypes.create_string_buffer(b"\xaa" * (n + 16), n + 16)
    assert exp_status(lib, GUIDE) == EXP_IDLE
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n) == INVALID_SEQUENCE
    lib.ORXSimSetTimeScale(1e4)  # the clock nearly stands: the exposure runs while it is looked at
    assert lib.ORXStartExposure(GUIDE, 0) == SUCCESS
    assert exp_status(lib, GUIDE) == EXP_WORKING
    assert lib.ORXStartExposure(GUIDE, 0) == EXPOSURE_IN_PROGRESS
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n) == EXPOSURE_IN_PROGRESS
    assert lib.ORXStartVideoCapture(GUIDE) == EXPOSURE_IN_PROGRESS
    run_sim(lib, 2.1)  # the exposure, its readout and transfer
    assert exp_status(lib, GUIDE) == EXP_SUCCESS
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n - 1) == BUFFER_TOO_SMALL
    assert lib.ORXGetDataAfterExp(GUIDE, buf, -1) == BUFFER_TOO_SMALL
    assert exp_status(lib, GUIDE) == EXP_SUCCESS  # still there
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n + 16) == SUCCESS
    assert buf.raw[n:] == b"\xaa" * 16  # exactly the frame's bytes written
    assert buf.raw[:n] != b"\xaa" * n
    assert exp_status(lib, GUIDE) == EXP_IDLE
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n) == INVALID_SEQUENCE  # fetched once only
    # stop: a running exposure fails; stopping an idle camera is a no-op
    lib.ORXSimSetTimeScale(1e4)
    assert lib.ORXStartExposure(GUIDE, 0) == SUCCESS
    assert lib.ORXStopExposure(GUIDE) == SUCCESS
    assert exp_status(lib, GUIDE) == EXP_FAILED
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n) == INVALID_SEQUENCE
    assert lib.ORXStopExposure(GUIDE) == SUCCESS
    assert exp_status(lib, GUIDE) == EXP_FAILED
    # a new exposure starts from failed or success
    assert lib.ORXStartExposure(GUIDE, 1) == SUCCESS
    assert exp_status(lib, GUIDE) == EXP_WORKING


def test_snapshot_same_settings_same_bytes_and_dark(fast):
    lib = fast
    small(lib, GUIDE, w=128, h=128, exposure_us=30_000_000)
    a = snapshot(lib, GUIDE)
    d = snapshot(lib, GUIDE, dark=True)
    assert len(a) == len(d) == 128 * 128
    assert sum(d) < sum(a)  # no sky, no stars


@pytest.mark.parametrize("t, bpp", [(RAW8, 1), (RAW16, 2), (RGB24, 3), (Y8, 1)])
def test_snapshot_formats(fast, t, bpp):
    n = small(fast, PLANETARY, w=96, h=32, t=t)
    assert n == 96 * 32 * bpp
    assert len(snapshot(fast, PLANETARY)) == n


def test_close_during_exposure(fast):
    lib = fast
    small(lib, GUIDE, exposure_us=100_000_000)
    assert lib.ORXStartExposure(GUIDE, 0) == SUCCESS
    assert lib.ORXCloseCamera(GUIDE) == SUCCESS
    open_init(lib, GUIDE)
    assert exp_status(lib, GUIDE) == EXP_IDLE


# ---- video --------------------------------------------------------------------------------
def test_video_statuses(lib):
    n = small(lib, GUIDE, exposure_us=10_000_000)  # 10 s at wall speed: no frame soon
    assert fetch(lib, GUIDE, n, 0)[0] == INVALID_SEQUENCE
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS  # not running: no-op
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    assert lib.ORXStartVideoCapture(GUIDE) == VIDEO_MODE_ACTIVE
    assert lib.ORXStartExposure(GUIDE, 0) == VIDEO_MODE_ACTIVE
    assert lib.ORXGetDataAfterExp(GUIDE, ctypes.create_string_buffer(n), n) == VIDEO_MODE_ACTIVE
    assert lib.ORXInitCamera(GUIDE) == VIDEO_MODE_ACTIVE
    assert fetch(lib, GUIDE, n - 1, 0)[0] == BUFFER_TOO_SMALL
    t0 = time.monotonic()
    assert fetch(lib, GUIDE, n, 60)[0] == TIMEOUT
    assert 0.055 <= time.monotonic() - t0 < 5  # wait_ms is wall-clock time (load only lengthens it)
    assert fetch(lib, GUIDE, n, 0)[0] == TIMEOUT
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS
    assert fetch(lib, GUIDE, n, 0)[0] == INVALID_SEQUENCE


def test_video_frames_and_rate(lib):
    n = small(lib, GUIDE, exposure_us=20_000)  # 20 ms frames
    lib.ORXSimSetTimeScale(4.0)  # 80 wall ms a frame: a late wake-up costs little camera time
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    frames = [fetch(lib, GUIDE, n, 5000)]
    t0 = lib.ORXSimGetTime()
    for _ in range(9):
        frames.append(fetch(lib, GUIDE, n, 5000))
    elapsed = lib.ORXSimGetTime() - t0
    assert all(st == SUCCESS for st, _ in frames)
    frames = [data for _, data in frames]
    assert 0.16 < elapsed < 0.21, elapsed  # nine intervals of 20 ms, and room for late wake-ups
    assert len(set(frames)) > 1  # fresh noise in every frame
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS


def test_video_interval_limited_by_the_link(lib):
    # the guide camera has no GPS stamps
    n = small(lib, GUIDE)
    g = GpsData()
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    assert lib.ORXGetVideoDataGPS(GUIDE, ctypes.create_string_buffer(n), n, 1000, ctypes.byref(g)) == \
        GPS_NOT_SUPPORTED
    lib.ORXStopVideoCapture(GUIDE)
    # cooled camera, USB 3 at 40 %: 4 MiB frames take 27.6 ms each, far longer than the 1 ms
    # exposure; the GPS start stamps of consecutive frames are one transfer time apart
    open_init(lib, COOLED)
    assert lib.ORXSetROIFormat(COOLED, 2048, 1024, 1, RAW16) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, EXPOSURE, 1000, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, BANDWIDTH, 40, 0) == SUCCESS
    interval = video_cadence(lib, COOLED, 2048 * 1024 * 2) * 1e6
    expect = 2048 * 1024 * 2 / (380e6 * 0.40) * 1e6
    assert interval == pytest.approx(expect, abs=50), (interval, expect)


def test_dropped_frames(lib):
    n = small(lib, GUIDE, exposure_us=5000)  # 200 fps
    d = ctypes.c_int32()
    lib.ORXSimSetTimeScale(2.0)  # 10 wall ms a frame: rendering keeps up
    t0 = lib.ORXSimGetTime()
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    while True:  # nothing fetched: all but the ring's three frames are dropped
        assert lib.ORXGetDroppedFrames(GUIDE, ctypes.byref(d)) == SUCCESS
        if d.value >= 30:
            break
        assert lib.ORXSimGetTime() - t0 < 1.0, d.value  # 200 frames' time
        time.sleep(0.005)
    lib.ORXSimSetTimeScale(1e4)  # the clock nearly stands: no new frames while the ring is emptied
    elapsed = lib.ORXSimGetTime() - t0
    assert lib.ORXGetDroppedFrames(GUIDE, ctypes.byref(d)) == SUCCESS
    assert 30 <= d.value <= elapsed / 0.005 + 1  # no more drops than frames the time allowed
    got = 0
    while fetch(lib, GUIDE, n, 0)[0] == SUCCESS:
        got += 1
        assert got < 10
    assert 1 <= got <= 4  # a ring of three frames (and one that came meanwhile)
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS
    assert lib.ORXGetDroppedFrames(GUIDE, ctypes.byref(d)) == SUCCESS and d.value >= 30  # kept after stop
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    assert lib.ORXGetDroppedFrames(GUIDE, ctypes.byref(d)) == SUCCESS and d.value == 0  # reset on start
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS


def test_unfetched_frames_are_discarded_on_stop(lib):
    n = small(lib, GUIDE, exposure_us=1000)
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    time.sleep(0.05)
    assert lib.ORXStopVideoCapture(GUIDE) == SUCCESS
    lib.ORXSetControlValue(GUIDE, EXPOSURE, 10_000_000, 0)
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    assert fetch(lib, GUIDE, n, 20)[0] == TIMEOUT
    lib.ORXStopVideoCapture(GUIDE)


WAKERS = {
    "stop": (lambda lib: lib.ORXStopVideoCapture(GUIDE), INVALID_SEQUENCE),
    "close": (lambda lib: lib.ORXCloseCamera(GUIDE), CAMERA_CLOSED),
    "unplug": (lambda lib: lib.ORXSimUnplug(GUIDE), CAMERA_REMOVED),
    "remove": (lambda lib: lib.ORXSimRemoveCamera(GUIDE), CAMERA_REMOVED),
    "reset": (lambda lib: lib.ORXSimReset(), CAMERA_REMOVED),
}


@pytest.mark.parametrize("how", WAKERS)
@pytest.mark.parametrize("wait_ms", [-1, 60000])
def test_waiting_consumer_is_woken(lib, how, wait_ms):
    n = small(lib, GUIDE, exposure_us=100_000_000)  # no frame for 100 s
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    result = {}

    def consumer():
        result["status"] = fetch(lib, GUIDE, n, wait_ms)[0]  # ctypes releases the GIL
        result["t"] = time.monotonic()

    th = threading.Thread(target=consumer)
    th.start()
    time.sleep(0.05)
    assert "status" not in result
    action, expect = WAKERS[how]
    t0 = time.monotonic()
    action(lib)
    th.join(5.0)
    assert not th.is_alive()
    assert result["status"] == expect  # woken by the action: neither a frame nor a time-out
    # promptly, long before the 60 s wait; the margin is for a loaded machine's scheduling
    assert result["t"] - t0 < 2.0


def test_concurrent_consumers(lib):
    n = small(lib, PLANETARY, w=640, h=480, exposure_us=1000)
    assert lib.ORXStartVideoCapture(PLANETARY) == SUCCESS
    counts, bad = [0, 0, 0], []
    stop = time.monotonic() + 0.4

    def consumer(k):
        buf = ctypes.create_string_buffer(n)
        while time.monotonic() < stop:
            st = lib.ORXGetVideoData(PLANETARY, buf, n, 100)
            if st == SUCCESS:
                counts[k] += 1
            elif st != TIMEOUT:
                bad.append(st)

    threads = [threading.Thread(target=consumer, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    while time.monotonic() < stop:  # settings traffic meanwhile
        assert get_ctl(lib, PLANETARY, GAIN)[0] == SUCCESS
        assert lib.ORXSetControlValue(PLANETARY, GAIN, 200, 0) == SUCCESS
        time.sleep(0.001)
    for t in threads:
        t.join()
    assert not bad
    assert sum(counts) >= 5  # a correctness check; throughput is measured elsewhere
    assert lib.ORXStopVideoCapture(PLANETARY) == SUCCESS


def test_time_scale_speeds_up_video(lib):
    n = small(lib, GUIDE, exposure_us=1_000_000)  # 1 fps in simulated time
    lib.ORXSimSetTimeScale(0.01)                   # 100 fps in wall time
    assert lib.ORXStartVideoCapture(GUIDE) == SUCCESS
    t0 = time.monotonic()
    for _ in range(5):
        assert fetch(lib, GUIDE, n, 1000)[0] == SUCCESS
    assert time.monotonic() - t0 < 2.5  # 5 s unscaled
    lib.ORXStopVideoCapture(GUIDE)
    assert lib.ORXSimGetTimeScale() == pytest.approx(0.01)


def test_time_scale_from_environment(lib, monkeypatch):
    monkeypatch.setenv("ORXSIM_TIME_SCALE", "0.25")
    lib.ORXSimReset()
    assert lib.ORXSimGetTimeScale() == pytest.approx(0.25)
    monkeypatch.setenv("ORXSIM_TIME_SCALE", "nonsense")
    lib.ORXSimReset()
    assert lib.ORXSimGetTimeScale() == 1.0
    monkeypatch.setenv("ORXSIM_TIME_SCALE", "1e-9")  # outside the range
    lib.ORXSimReset()
    assert lib.ORXSimGetTimeScale() == 1.0


@pytest.mark.parametrize("scale,status", [
    (1e-4, 0), (1e4, 0), (9.9e-5, -1), (1e-9, -1), (1.01e4, -1), (0.0, -1), (-1.0, -1),
    (float("nan"), -1), (float("inf"), -1),
])
def test_time_scale_range(lib, scale, status):
    lib.ORXSimSetTimeScale(0.5)
    assert lib.ORXSimSetTimeScale(scale) == status
    assert lib.ORXSimGetTimeScale() == (scale if status == 0 else 0.5)


def test_longest_exposure_completes_at_the_fastest_scale(lib):
    lib.ORXSimSetTimeScale(1e-4)
    open_init(lib, GUIDE)
    assert lib.ORXSetROIFormat(GUIDE, 64, 64, 1, RAW8) == SUCCESS
    assert lib.ORXSetControlValue(GUIDE, EXPOSURE, 2_000_000_000, 0) == SUCCESS  # 2000 s: 0.2 s of wall time
    snapshot(lib, GUIDE, timeout=10)


# ---- trigger modes --------------------------------------------------------------------
def test_soft_edge_snapshot_and_video(fast):
    lib = fast
    n = small(lib, COOLED, exposure_us=1_000_000)
    assert lib.ORXSendSoftTrigger(COOLED, 1) == INVALID_MODE  # normal mode
    assert lib.ORXSetCameraMode(COOLED, MODE_SOFT_EDGE) == SUCCESS
    assert lib.ORXSendSoftTrigger(COOLED, 1) == SUCCESS  # nothing armed: ignored
    assert lib.ORXStartExposure(COOLED, 0) == SUCCESS
    time.sleep(0.01)  # 10 simulated s: still waiting for the trigger
    assert exp_status(lib, COOLED) == EXP_WORKING
    assert lib.ORXSendSoftTrigger(COOLED, 1) == SUCCESS
    time.sleep(0.01)
    assert exp_status(lib, COOLED) == EXP_SUCCESS
    assert lib.ORXGetDataAfterExp(COOLED, ctypes.create_string_buffer(n), n) == SUCCESS
    assert lib.ORXStartVideoCapture(COOLED) == SUCCESS
    assert fetch(lib, COOLED, n, 30)[0] == TIMEOUT
    assert lib.ORXSendSoftTrigger(COOLED, 1) == SUCCESS
    assert fetch(lib, COOLED, n, 1000)[0] == SUCCESS
    assert fetch(lib, COOLED, n, 30)[0] == TIMEOUT  # one frame per trigger
    lib.ORXStopVideoCapture(COOLED)


def test_soft_level_snapshot(fast):
    lib = fast
    small(lib, COOLED, exposure_us=1000)
    assert lib.ORXSetCameraMode(COOLED, MODE_SOFT_LEVEL) == SUCCESS
    assert lib.ORXStartExposure(COOLED, 0) == SUCCESS
    assert lib.ORXSendSoftTrigger(COOLED, 1) == SUCCESS
    time.sleep(0.01)  # held for 10 simulated s, much longer than the exposure control says
    assert exp_status(lib, COOLED) == EXP_WORKING
    assert lib.ORXSendSoftTrigger(COOLED, 0) == SUCCESS
    assert exp_status(lib, COOLED) == EXP_SUCCESS
    snap_gps = GpsData()
    n = 64 * 64
    assert lib.ORXGetDataAfterExpGPS(COOLED, ctypes.create_string_buffer(n), n, ctypes.byref(snap_gps)) == SUCCESS


@pytest.mark.parametrize("mode", [MODE_RISE_EDGE, MODE_FALL_EDGE, MODE_HIGH_LEVEL, MODE_LOW_LEVEL])
def test_hardware_trigger_modes_wait(fast, mode):
    lib = fast
    n = small(lib, COOLED, exposure_us=1000)
    assert lib.ORXSetCameraMode(COOLED, mode) == SUCCESS
    assert lib.ORXSendSoftTrigger(COOLED, 1) == INVALID_MODE
    assert lib.ORXStartExposure(COOLED, 0) == SUCCESS
    time.sleep(0.005)
    assert exp_status(lib, COOLED) == EXP_WORKING  # no trigger line in the simulator
    assert lib.ORXStopExposure(COOLED) == SUCCESS
    assert lib.ORXStartVideoCapture(COOLED) == SUCCESS
    assert fetch(lib, COOLED, n, 20)[0] == TIMEOUT
    lib.ORXStopVideoCapture(COOLED)


# ---- GPS ---------------------------------------------------------------------------------
def test_gps_stamps(lib):
    open_init(lib, COOLED)
    start, end = GpsData(), GpsData()
    assert lib.ORXGPSGetData(COOLED, ctypes.byref(start), ctypes.byref(end)) == GPS_DATA_INVALID
    assert lib.ORXSetROIFormat(COOLED, 256, 256, 1, RAW8) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, EXPOSURE, 1000, 0) == SUCCESS
    g = GpsData()
    before = time.time()
    snapshot(lib, COOLED, gps=g)
    assert abs(g.epoch_us() / 1e6 - before) < 2.0  # at scale 1 the stamps follow the system clock
    assert (g.Latitude, g.Longitude, g.Altitude, g.SatelliteNum) == (47.3769, 8.5417, 408, 9)
    assert 0 <= g.MSecond < 1000 and 0 <= g.USecond < 1000
    assert lib.ORXGPSGetData(COOLED, ctypes.byref(start), ctypes.byref(end)) == SUCCESS
    assert start.epoch_us() == g.epoch_us()  # start line 0: the frame's start
    assert end.epoch_us() - start.epoch_us() == pytest.approx(4175 * 9.0, abs=1)  # rows x line time
    assert lib.ORXSetControlValue(COOLED, GPS_START_LINE, 100, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, GPS_END_LINE, 200, 0) == SUCCESS
    assert lib.ORXGPSGetData(COOLED, ctypes.byref(start), ctypes.byref(end)) == SUCCESS
    assert start.epoch_us() - g.epoch_us() == pytest.approx(900, abs=1)
    assert end.epoch_us() - start.epoch_us() == pytest.approx(900, abs=1)


def test_gps_stamps_return_to_utc_after_a_fast_clock(lib):
    open_init(lib, COOLED)
    assert lib.ORXSetROIFormat(COOLED, 256, 256, 1, RAW8) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, EXPOSURE, 1_000_000, 0) == SUCCESS  # 1 s
    g = GpsData()
    lib.ORXSimSetTimeScale(0.001)

    def stamped():  # the stamp, and the simulated times around the whole snapshot
        before = lib.ORXSimGetTime()
        snapshot(lib, COOLED, gps=g)
        return g.epoch_us() / 1e6, before, lib.ORXSimGetTime()

    first, before1, after1 = stamped()
    run_sim(lib, 60, scale=0.001)  # a simulated minute, far ahead of the wall (the same scale: stamps continue)
    second, before2, after2 = stamped()
    # the fast clock's stamps: apart by the simulated time between the two exposures, however late a loaded
    # machine runs either of them
    assert before2 - after1 - 0.01 <= second - first <= after2 - before1 + 0.01
    assert second - first > 59
    lib.ORXSimSetTimeScale(1.0)
    assert lib.ORXSetControlValue(COOLED, EXPOSURE, 1000, 0) == SUCCESS
    before = time.time()
    snapshot(lib, COOLED, gps=g)
    assert abs(g.epoch_us() / 1e6 - before) < 0.5      # back on UTC, not a minute ahead


def test_gps_not_supported(lib):
    n = small(lib, GUIDE)
    g = GpsData()
    assert lib.ORXGPSGetData(GUIDE, ctypes.byref(g), ctypes.byref(g)) == GPS_NOT_SUPPORTED
    snapshot(lib, GUIDE)
    assert lib.ORXStartExposure(GUIDE, 0) == SUCCESS
    time.sleep(0.01)
    buf = ctypes.create_string_buffer(n)
    assert lib.ORXGetDataAfterExpGPS(GUIDE, buf, n, ctypes.byref(g)) == GPS_NOT_SUPPORTED
    assert lib.ORXGetDataAfterExp(GUIDE, buf, n) == SUCCESS  # the frame was not taken
