"""Readout and transfer: frame rates, snapshot latency and HighSpeedMode, timed
by the cooled camera's GPS stamps (exposure starts on the simulated clock)."""
import ctypes

import pytest

from simhelp import *  # noqa: F401,F403

BPP = {RAW8: 1, RAW16: 2}


def setup(lib, w, h, b=1, fmt=RAW8, exposure_us=32, hs=0, bw=80):
    open_init(lib, COOLED)
    assert lib.ORXSetROIFormat(COOLED, w, h, b, fmt) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, EXPOSURE, exposure_us, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, HIGH_SPEED_MODE, hs, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, BANDWIDTH, bw, 0) == SUCCESS
    return w * h * BPP[fmt]


def frame_interval(lib, *args, frames=4, **kw):
    """Gap (s, camera time) between the exposure starts of consecutive video frames."""
    return video_cadence(lib, COOLED, setup(lib, *args, **kw), frames=frames)


def line_time(lib):
    """Line time (s) of the latest frame, from its GPS line stamps."""
    start, end = GpsData(), GpsData()
    assert lib.ORXSetControlValue(COOLED, GPS_START_LINE, 0, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, GPS_END_LINE, 4000, 0) == SUCCESS
    assert lib.ORXGPSGetData(COOLED, ctypes.byref(start), ctypes.byref(end)) == SUCCESS
    return (end.epoch_us() - start.epoch_us()) / 4000 / 1e6


def test_small_regions_are_bounded_by_the_line_time(lib):
    full = frame_interval(lib, 640, 480)
    line = line_time(lib)
    assert full == pytest.approx(480 * line, rel=0.01)          # rows x line time, not the link
    assert frame_interval(lib, 640, 240) == pytest.approx(full / 2, rel=0.02)
    assert frame_interval(lib, 320, 240, 2) == pytest.approx(full, rel=0.02)  # binned: the sensor rows count
    fast = frame_interval(lib, 640, 480, hs=1)
    assert fast == pytest.approx(480 * line_time(lib), rel=0.01)
    assert fast < 0.7 * full                                   # HighSpeedMode: a shorter line


def test_large_frames_are_bounded_by_the_link(lib):
    raw8 = frame_interval(lib, 4096, 1024, fmt=RAW8, frames=4)
    raw16 = frame_interval(lib, 4096, 1024, fmt=RAW16, frames=4)
    half = frame_interval(lib, 4096, 1024, fmt=RAW16, bw=40, frames=4)
    assert raw16 == pytest.approx(2 * raw8, rel=0.02)          # bytes over the link
    assert half == pytest.approx(2 * raw16, rel=0.02)          # BandWidth 40 % of 80 %
    assert raw8 > 1024 * line_time(lib)
    # the exposure bounds it when it is the longest
    assert frame_interval(lib, 640, 480, exposure_us=40_000, frames=5) == pytest.approx(0.040, rel=0.01)


def snapshot_ready(lib, fmt, exposure_us=1000):
    """Bounds (simulated s after ORXStartExposure) of the instant the status turned to
    success: the last time it was seen working, the first time it was seen done."""
    setup(lib, 6248, 4176, fmt=fmt, exposure_us=exposure_us)
    lib.ORXSimSetTimeScale(0.2)
    s = ctypes.c_int32()
    before = lib.ORXSimGetTime()
    assert lib.ORXStartExposure(COOLED, 0) == SUCCESS
    after = last = lib.ORXSimGetTime()
    while True:
        now = lib.ORXSimGetTime()
        assert lib.ORXGetExpStatus(COOLED, ctypes.byref(s)) == SUCCESS
        if s.value != EXP_WORKING:
            break
        last = now
    assert s.value == EXP_SUCCESS
    return last - after, lib.ORXSimGetTime() - before


def test_a_snapshot_is_ready_after_exposure_readout_and_transfer(lib):
    link = 4096 * 1024 / frame_interval(lib, 4096, 1024, fmt=RAW8, frames=4)  # bytes per second
    readout = 4176 * line_time(lib)
    for fmt, bpp in ((RAW8, 1), (RAW16, 2)):
        expect = 0.001 + readout + 6248 * 4176 * bpp / link
        seen_working, seen_done = snapshot_ready(lib, fmt)
        assert seen_working <= expect * 1.001 and expect * 0.999 <= seen_done, (seen_working, expect, seen_done)


def test_high_speed_mode_reads_fewer_bits(lib):
    lows = {}
    for hs in (0, 1):
        setup(lib, 256, 256, fmt=RAW16, hs=hs, exposure_us=100_000)
        assert lib.ORXSetControlValue(COOLED, GAIN, 300, 0) == SUCCESS
        lib.ORXSimSetTimeScale(0.01)
        data = snapshot(lib, COOLED)
        values = [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]
        lows[hs] = {v & 15 for v in values}                   # low 4 bits of the 16-bit samples
    assert lows[1] == {0}                                     # 12 bits: steps of 16
    assert len(lows[0]) > 1                                   # 14 bits: steps of 4
