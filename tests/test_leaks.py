"""No leaks: every function called many times on its success path and on its
failure paths keeps the process's memory flat.

Three measures:
- Python objects: tracemalloc's traced total does not grow across the calls
  (a record, frame, tuple or int kept per call would show), and shared objects
  (enumeration members and classes, exception classes, the status handler,
  the arguments passed) keep their reference counts;
- resident memory (/proc/self/statm) grows by less than 1 MiB after warm-up,
  with 1 MiB frames so that a frame kept or a buffer not freed stands out,
  and including the simulator's own work on a real camera.

Size: ORX_LEAK_CALLS calls per function (default 6000, a few seconds in all).
The long run is

    ORX_LEAK_CALLS=1000000 python -m pytest tests/test_leaks.py
"""
import gc
import os
import struct
import sys
import tracemalloc

import pytest

import orx
import orxsim
from test_calls import ROWS

CALLS = int(os.environ.get("ORX_LEAK_CALLS", "6000"))
MiB = 1 << 20
FRAME = MiB  # frame size in the resident-memory runs
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Boom(Exception):
    pass


def boom_handler(code):
    raise Boom(code)


FRAME_FUNCTIONS = {"get_data_after_exp", "get_data_after_exp_gps", "get_video_data", "get_video_data_gps"}


def with_size(name, args, size):
    return (args[0], size) + tuple(args[2:]) if name in FRAME_FUNCTIONS else args


def scenarios(row, frame):
    """(label, args, kwargs, status to script or None, exception expected or
    None, handler to install or None) for one row of the call table."""
    name, args, lib, _, out, _ = row
    f = getattr(orx, name)
    params = list(f.__annotations__.items())[:-1]
    args = with_size(name, args, frame)
    out_list = [
        ("success", args, {}, 0, None, None),
        ("success by keyword", (), dict(zip([p for p, _ in params], args)), 0, None, None),
        ("failure status", args, {}, 19, orx.ORXBufferTooSmall, None),
        ("unknown status", args, {}, 77, orx.ORXUnknownErrorCode, None),
        ("handler raises", args, {}, 5, Boom, boom_handler),
        ("wrong type", (None,) + args[1:], {}, None, TypeError, None),
        ("beyond 32 bits", (2 ** 31,) + args[1:], {}, None, OverflowError, None),
        ("wrong count", args[:-1], {}, None, TypeError, None),
        ("unknown keyword", args, {"bogus": 1}, None, TypeError, None),
    ]
    for i, (p, ann) in enumerate(params):
        if ann[0].isupper() and ann != "Id":  # an enumeration: a plain int has no .value
            out_list.append((f"{p} without value", args[:i] + (0,) + args[i + 1:], {}, None, AttributeError, None))
        if p == "buffer_size":
            out_list.append(("negative size", args[:i] + (-1,) + args[i + 1:], {}, None, ValueError, None))
            out_list.append(("huge size", args[:i] + (2 ** 62,) + args[i + 1:], {}, None,
                             (MemoryError, OverflowError), None))
    return out_list


def run(name, lib, out, scenario, n):
    label, args, kwargs, status, expected, handler = scenario
    f = getattr(orx, name)
    saved = orx.handle_error_code
    if status is not None:
        orxsim.inject(lib, status, -1, out)
    if handler is not None:
        orx.handle_error_code = handler
    try:
        if expected is None:
            for _ in range(n):
                f(*args, **kwargs)
        else:
            for _ in range(n):
                try:
                    f(*args, **kwargs)
                except expected:
                    pass
                else:
                    pytest.fail(f"{name} ({label}) did not raise")
    finally:
        orx.handle_error_code = saved
        orxsim.clear_injections()


def shared_objects(args):
    """Objects every call may touch; their reference counts must not move."""
    objs = [orx.handle_error_code, orx.ORX_ERROR_CODE_TO_EXCEPTION, orx.ORXUnknownErrorCode, orx.ORXSuccess,
            Boom, boom_handler, orx.CameraInfo, orx.Id, orx.GpsData, orx.ControlCaps, orx.SupportedMode]
    for cls in (orx.BayerPattern, orx.ImgType, orx.ControlType, orx.CameraMode, orx.GuideDirection,
                orx.FlipStatus, orx.TrigOutput, orx.ExposureStatus):
        objs.append(cls)
        objs.extend(cls)
    objs.extend(v for v in set(orx.ORX_ERROR_CODE_TO_EXCEPTION.values()))
    # (small ints, None and the booleans are used by everyone: their counts move anyway)
    objs.extend(a for a in args if type(a) not in (int, bool, type(None)))
    return objs


@pytest.fixture(scope="module", autouse=True)
def warm_simulator_log():
    """The simulator's call log is a ring of 65536 slots, touched as it fills
    (and holding a byte string per slot for calls that pass text): fill it
    once so that its growth is not counted as ours."""
    orxsim.inject("ORXEnableDarkSubtract", 6, -1)
    for _ in range(66000):
        try:
            orx.enable_dark_subtract(1234, "w" * 300)
        except orx.ORXGeneralError:
            pass
    orxsim.clear_injections()


ROW_IDS = [r[0] for r in ROWS]


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_python_objects_are_freed_on_every_path(row):
    name, args, lib, _, out, _ = row
    cases = scenarios(row, 64)
    n = max(200, CALLS // len(cases))
    objs = shared_objects(args)
    for case in cases:  # warm-up: caches, free lists, interned names
        run(name, lib, out, case, 50)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    tracemalloc.start()
    try:
        # once more while traced, so that free lists and caches hold traced
        # blocks (no collection from here on: it would empty some of them)
        for case in cases:
            run(name, lib, out, case, 300)
        grown = {}
        for case in cases:
            # a leak grows every round; the interpreter's own tables grow once
            # in a while (3.13 at some tens of thousands of raised errors), so a
            # round that grew is run again and only the second one counts
            for _ in range(2):
                before = tracemalloc.get_traced_memory()[0]
                run(name, lib, out, case, n)
                grown[case[0]] = tracemalloc.get_traced_memory()[0] - before
                if grown[case[0]] < n * 4:
                    break
    finally:
        tracemalloc.stop()
    gc.collect()
    # a leak of one object per call would be at least n * 16 bytes in one case
    assert max(grown.values()) < n * 4, grown
    after = [sys.getrefcount(o) for o in objs]
    moved = {repr(o): (a, b) for o, a, b in zip(objs, refs, after) if a != b}
    assert not moved


@pytest.mark.parametrize("row", ROWS, ids=ROW_IDS)
def test_resident_memory_stays_flat(row):
    name, args, lib, _, out, _ = row
    cases = scenarios(row, FRAME)
    n = max(100, CALLS // len(cases))
    if name in FRAME_FUNCTIONS:  # 1 MiB zero-filled each: fewer calls say as much
        n = max(100, n // 8)
    for case in cases:
        run(name, lib, out, case, 200)
    gc.collect()

    def grown():
        start = rss()
        for case in cases:
            run(name, lib, out, case, n)
        gc.collect()
        return rss() - start

    # a round that grew is run again and only the second counts: 3.13 grows an
    # internal table once after many raised errors; a leak grows every round
    growth = grown()
    if growth >= MiB:
        growth = grown()
    assert growth < MiB


# ---- the simulator's own work on real cameras ---------------------------------

GUIDE = 1002  # 1280 x 960 mono, ST4 port
COLOR = 1001  # colour, GPS, trigger


def dark_bmp(path, width, height):
    """An 8-bit palette BMP of the full sensor, bottom-up, all grey level 3."""
    row = (width + 3) & ~3
    palette = b"".join(struct.pack("<4B", i, i, i, 0) for i in range(256))
    pixels = bytes([3]) * (row * height)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    path.write_bytes(header + info + palette + pixels)
    return str(path)


def open_ready(cam, w=320, h=240):
    orx.open_camera(cam)
    orx.init_camera(cam)
    orx.set_roi_format(cam, w, h, 1, orx.ImgType.IMG_RAW16)
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, 1000, False)
    return w * h * 2


def snapshot(cam, size, gps=False):
    orx.start_exposure(cam, False)
    while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
        pass
    frame = orx.get_data_after_exp_gps(cam, size)[0] if gps else orx.get_data_after_exp(cam, size)
    assert len(frame) == size


def real_controls(n, tmp_path):
    size = open_ready(GUIDE)
    for i in range(n):
        orx.set_control_value(GUIDE, orx.ControlType.ORX_GAIN, i % 100, False)
        assert orx.get_control_value(GUIDE, orx.ControlType.ORX_GAIN) == (i % 100, False)
        orx.get_control_caps(GUIDE, i % orx.get_num_of_controls(GUIDE))
        orx.get_roi_format(GUIDE)
        orx.set_start_pos(GUIDE, 8, 8)
        orx.get_start_pos(GUIDE)
        orx.get_camera_property_by_id(GUIDE)
        orx.get_camera_property(i % 3)
        orx.get_id(GUIDE)
        orx.get_serial_number(GUIDE)
        orx.get_camera_support_mode(GUIDE)
        orx.get_gain_offset(GUIDE)
        orx.get_lmh_gain_offset(GUIDE)
        orx.pulse_guide_on(GUIDE, orx.GuideDirection.ORX_GUIDE_EAST)
        orx.pulse_guide_off(GUIDE, orx.GuideDirection.ORX_GUIDE_EAST)
    assert size


def real_snapshots(n, tmp_path):
    size = open_ready(COLOR)
    for _ in range(n):
        snapshot(COLOR, size, gps=True)
        orx.gps_get_data(COLOR)


def real_video(n, tmp_path):
    size = open_ready(GUIDE)
    orx.start_video_capture(GUIDE)
    for _ in range(n):
        assert len(orx.get_video_data(GUIDE, size, 1000)) == size
        orx.get_dropped_frames(GUIDE)
    orx.stop_video_capture(GUIDE)


def real_video_sessions(n, tmp_path):
    size = open_ready(COLOR)
    for _ in range(n):
        orx.start_video_capture(COLOR)
        assert len(orx.get_video_data_gps(COLOR, size, 1000)[0]) == size
        orx.stop_video_capture(COLOR)


def real_lifecycle(n, tmp_path):
    for _ in range(n):
        open_ready(GUIDE)
        orx.close_camera(GUIDE)


def real_dark_frames(n, tmp_path):
    path = dark_bmp(tmp_path / "dark.bmp", 1280, 960)
    size = open_ready(GUIDE)
    for _ in range(n):
        orx.enable_dark_subtract(GUIDE, path)
        snapshot(GUIDE, size)
        orx.disable_dark_subtract(GUIDE)


def real_failures(n, tmp_path):
    """The library's own refusals: wrong state, bad values, missing files."""
    size = open_ready(GUIDE)
    for _ in range(n):
        for call, args in [(orx.get_video_data, (GUIDE, size, 0)), (orx.get_data_after_exp, (GUIDE, size)),
                           (orx.set_roi_format, (GUIDE, 7, 7, 1, orx.ImgType.IMG_RAW8)),
                           (orx.enable_dark_subtract, (GUIDE, str(tmp_path / "missing.bmp"))),
                           (orx.gps_get_data, (GUIDE,)), (orx.open_camera, (999,)), (orx.get_camera_property, (9,)),
                           (orx.get_trigger_output_io_conf, (GUIDE, 0))]:
            with pytest.raises(orx.ORXError):
                call(*args)


REAL = [real_controls, real_snapshots, real_video, real_video_sessions, real_lifecycle, real_dark_frames,
        real_failures]
# calls of each scenario's loop body per ORX_LEAK_CALLS (its bodies differ in cost)
REAL_SHARE = {real_controls: 100, real_snapshots: 400, real_video: 200, real_video_sessions: 2000,
              real_lifecycle: 500, real_dark_frames: 2000, real_failures: 300}


@pytest.mark.parametrize("scenario", REAL, ids=[f.__name__ for f in REAL])
def test_simulated_cameras_keep_memory_flat(scenario, tmp_path):
    n = max(20, CALLS // REAL_SHARE[scenario])
    try:
        scenario(max(10, n // 4), tmp_path)  # warm-up
        gc.collect()
        start = rss()
        scenario(n, tmp_path)
        gc.collect()
        grown = rss() - start
    finally:
        for cam in (GUIDE, COLOR):
            orx.close_camera(cam)
    assert grown < MiB, f"{grown} bytes after {n} rounds"
