"""The control interface: injections, the call log, counters, timing; dark BMPs; guide drift."""
import ctypes
import os
import struct

import pytest

from simhelp import *  # noqa: F401,F403
import simhelp as S


# ---- injections ------------------------------------------------------------------------
def inject(lib, name, status, count=1, out=None):
    data = None if out is None else ctypes.create_string_buffer(out, len(out))
    return lib.ORXSimInject(name.encode(), status, count, data, 0 if out is None else len(out))


def test_inject_queue_and_outs(lib):
    open_init(lib, GUIDE)
    assert inject(lib, "ORXGetControlValue", 6, 2, struct.pack("<ii", 123, 1)) == 0
    assert inject(lib, "ORXGetControlValue", 0, 1, struct.pack("<i", 77)) == 0  # short: fills value only
    assert get_ctl(lib, GUIDE, GAIN) == (6, 123, 1)
    assert get_ctl(lib, 4242, GAIN) == (6, 123, 1)  # injected calls skip the normal work
    v, a = ctypes.c_int32(-5), ctypes.c_int32(-6)
    assert lib.ORXGetControlValue(GUIDE, GAIN, ctypes.byref(v), ctypes.byref(a)) == 0
    assert (v.value, a.value) == (77, -6)
    assert get_ctl(lib, GUIDE, GAIN) == (SUCCESS, 50, 0)  # back to normal
    assert inject(lib, "ORXOpenCamera", CAMERA_REMOVED, -1) == 0
    for _ in range(5):
        assert lib.ORXOpenCamera(GUIDE) == CAMERA_REMOVED
    lib.ORXSimClearInjections()
    assert lib.ORXOpenCamera(GUIDE) == SUCCESS
    assert inject(lib, "ORXNoSuchFunction", 0) == -1
    assert lib.ORXSimInject(None, 0, 1, None, 0) == -1


def test_inject_value_functions(lib):
    inject(lib, "ORXGetNumOfConnectedCameras", 17)
    inject(lib, "ORXCameraCheck", 1)
    inject(lib, "ORXGetSDKVersion", 0, 1, b"9.9.9 custom")
    inject(lib, "ORXGetSDKVersion", 0, 1)  # no out: no string at all
    assert lib.ORXGetNumOfConnectedCameras() == 17
    assert lib.ORXGetNumOfConnectedCameras() == 3
    assert lib.ORXCameraCheck(0, 0) == 1
    assert lib.ORXGetSDKVersion() == b"9.9.9 custom"
    assert lib.ORXGetSDKVersion() is None
    assert lib.ORXGetSDKVersion() == b"1.0.0 (orx simulator)"


def test_inject_records_and_buffers(lib):
    info = CameraInfo()
    fake = bytes(range(240))
    inject(lib, "ORXGetCameraProperty", 0, 1, fake)
    assert lib.ORXGetCameraProperty(ctypes.byref(info), 99) == 0
    assert bytes(info) == fake
    g1, g2 = GpsData(), GpsData()
    inject(lib, "ORXGPSGetData", 0, 1, b"\x01" * 184 + b"\x02" * 10)
    assert lib.ORXGPSGetData(GUIDE, ctypes.byref(g1), ctypes.byref(g2)) == 0
    assert bytes(g1) == b"\x01" * 184 and bytes(g2)[:10] == b"\x02" * 10 and bytes(g2)[10:] == bytes(174)
    buf = ctypes.create_string_buffer(b"\x55" * 32, 32)
    inject(lib, "ORXGetVideoDataGPS", 0, 1, struct.pack("<i", 2031))
    assert lib.ORXGetVideoDataGPS(GUIDE, buf, 32, 0, ctypes.byref(g1)) == 0
    assert g1.Year == 2031 and buf.raw == b"\x55" * 32  # frame buffers are left alone
    w = [ctypes.c_int32(0) for _ in range(4)]
    inject(lib, "ORXGetROIFormat", 0, 1, struct.pack("<iiii", 1, 2, 3, 4))
    assert lib.ORXGetROIFormat(GUIDE, *[ctypes.byref(x) for x in w]) == 0
    assert [x.value for x in w] == [1, 2, 3, 4]
    inject(lib, "ORXGetDataAfterExp", BUFFER_TOO_SMALL)
    assert lib.ORXGetDataAfterExp(GUIDE, buf, 32) == BUFFER_TOO_SMALL


# ---- log ----------------------------------------------------------------------------------
def test_log_format(lib):
    open_init(lib, GUIDE)
    lib.ORXSimLogClear()
    assert lib.ORXSimLogCount() == 0
    v = ctypes.c_int32()
    lib.ORXGetNumOfConnectedCameras()
    lib.ORXGetControlValue(GUIDE, 1, ctypes.byref(v), None)
    lib.ORXSetControlValue(GUIDE, GAIN, -7, 1)
    lib.ORXSetID(GUIDE, IdRecord((ctypes.c_ubyte * 8)(0, 1, 0xAB, 0xFF, 0x41, 0, 0, 9)))
    lib.ORXEnableDarkSubtract(GUIDE, "/tmp/dark ü.bmp".encode())
    lib.ORXEnableDarkSubtract(GUIDE, None)
    lib.ORXGetVideoData(GUIDE, None, 100, -1)
    lib.ORXGetCameraProperty(None, 2)
    lib.ORXCameraCheck(0x1A2B, -3)
    inject(lib, "ORXGetExpStatus", 6)
    lib.ORXGetExpStatus(9, ctypes.byref(v))  # injected calls are logged too
    assert log_lines(lib) == [
        "ORXGetNumOfConnectedCameras()",
        "ORXGetControlValue(1002, 1, *, NULL)",
        "ORXSetControlValue(1002, 0, -7, 1)",
        "ORXSetID(1002, x'0001abff41000009')",
        "ORXEnableDarkSubtract(1002, x'%s')" % "/tmp/dark ü.bmp".encode().hex(),
        "ORXEnableDarkSubtract(1002, NULL)",
        "ORXGetVideoData(1002, NULL, 100, -1)",
        "ORXGetCameraProperty(NULL, 2)",
        "ORXCameraCheck(6699, -3)",
        "ORXGetExpStatus(9, *)",
    ]
    buf = ctypes.create_string_buffer(8)
    assert lib.ORXSimLogEntry(2, buf, 8) == len("ORXSetControlValue(1002, 0, -7, 1)")
    assert buf.value == b"ORXSetC"
    assert lib.ORXSimLogEntry(10, buf, 8) == -1 and lib.ORXSimLogEntry(-1, buf, 8) == -1
    assert lib.ORXSimCallCount(b"ORXEnableDarkSubtract") == 2
    assert lib.ORXSimCallCount(b"ORXOpenCamera") == 1  # counters survive LogClear
    assert lib.ORXSimCallCount(b"ORXNope") == -1
    lib.ORXSimReset()
    assert lib.ORXSimLogCount() == 0 and lib.ORXSimCallCount(b"ORXOpenCamera") == 0


def test_log_keeps_newest_65536(lib):
    v = ctypes.c_int32()
    for i in range(70000):
        lib.ORXSetCameraMode(i, 0)
    assert lib.ORXSimLogCount() == 65536
    assert lib.ORXSimCallCount(b"ORXSetCameraMode") == 70000
    lines = [None, None]
    buf = ctypes.create_string_buffer(64)
    lib.ORXSimLogEntry(0, buf, 64)
    lines[0] = buf.value
    lib.ORXSimLogEntry(65535, buf, 64)
    lines[1] = buf.value
    assert lines == [b"ORXSetCameraMode(%d, 0)" % (70000 - 65536), b"ORXSetCameraMode(69999, 0)"]
    del v


def test_every_function_is_logged_and_counted(lib):
    from test_sim_discovery import call, PER_CAMERA
    for name in PER_CAMERA:
        call(lib, name, GUIDE)
        assert lib.ORXSimCallCount(name.encode()) >= 1, name
        assert log_lines(lib)[-1].startswith(name + "(1002"), name


def test_time_call(lib):
    open_init(lib, GUIDE)
    for fn in (b"ORXGetControlValue", b"ORXSetControlValue", b"ORXGetExpStatus"):
        ns = lib.ORXSimTimeCall(fn, GUIDE, 20000)
        print(fn.decode(), "%.1f ns" % ns)
        assert 0 < ns < 5000
    assert lib.ORXSimTimeCall(b"ORXOpenCamera", GUIDE, 10) == -1
    assert lib.ORXSimTimeCall(b"ORXGetControlValue", GUIDE, 0) == -1


def test_sky_settings(lib):
    assert lib.ORXSimSetSky(100.0, 3.0, 10.0, 7) == 0
    for bad in ((-1, 3, 10, 7), (10, 0, 10, 7), (10, 3, -1, 7), (float("nan"), 3, 10, 7)):
        assert lib.ORXSimSetSky(*bad) == -1


# ---- dark frames ------------------------------------------------------------------------
def bmp(width, height, bpp=8, top_down=False, value=lambda x, y: (x + y) % 256, palette=None, **override):
    row = ((width * bpp + 31) // 32) * 4
    rows = []
    for y in range(height):
        sy = y if top_down else height - 1 - y  # file row order
        if bpp == 8:
            data = bytes(value(x, sy) for x in range(width))
        else:
            data = b"".join(bytes([value(x, sy)] * 3) for x in range(width))
        rows.append(data + b"\0" * (row - len(data)))
    pixels = b"".join(rows)
    if bpp == 8:
        pal = palette if palette is not None else b"".join(bytes([i, i, i, 0]) for i in range(256))
    else:
        pal = b""
    off = 14 + 40 + len(pal)
    f = dict(magic=b"BM", size=off + len(pixels), off=off, hdr=40, w=width, h=-height if top_down else height,
             planes=1, bits=bpp, comp=0, colors=0)
    f.update(override)
    head = f["magic"] + struct.pack("<IHHI", f["size"], 0, 0, f["off"])
    info = struct.pack("<IiiHHIIiiII", f["hdr"], f["w"], f["h"], f["planes"], f["bits"], f["comp"], len(pixels),
                       2835, 2835, f["colors"], 0)
    return head + info + pal + pixels


@pytest.fixture
def guide_dark(lib, tmp_path):
    open_init(lib, GUIDE)

    def write(name, data):
        p = tmp_path / name
        p.write_bytes(data)
        return str(p).encode()
    return write


@pytest.mark.parametrize("case, status", [
    ("grey8", SUCCESS), ("grey8_topdown", SUCCESS), ("rgb24", SUCCESS), ("rgb24_topdown", SUCCESS),
    ("small", INVALID_SIZE), ("tall", INVALID_SIZE), ("rgb24_small", INVALID_SIZE),
    ("not_bmp", INVALID_FILEFORMAT), ("empty", INVALID_FILEFORMAT), ("bpp16", INVALID_FILEFORMAT),
    ("bpp32", INVALID_FILEFORMAT), ("rle", INVALID_FILEFORMAT), ("truncated", INVALID_FILEFORMAT),
    ("core_header", INVALID_FILEFORMAT), ("missing", INVALID_PATH), ("directory", INVALID_PATH),
    ("null", INVALID_PATH), ("empty_path", INVALID_PATH),
])
def test_dark_bmp(lib, guide_dark, tmp_path, case, status):
    W, H = 1280, 960
    files = {
        "grey8": lambda: bmp(W, H), "grey8_topdown": lambda: bmp(W, H, top_down=True),
        "rgb24": lambda: bmp(W, H, 24), "rgb24_topdown": lambda: bmp(W, H, 24, top_down=True),
        "small": lambda: bmp(640, 480), "tall": lambda: bmp(W, H + 2), "rgb24_small": lambda: bmp(W - 8, H, 24),
        "not_bmp": lambda: b"GIF89a" + bytes(100), "empty": lambda: b"",
        "bpp16": lambda: bmp(W, H, bits=16), "bpp32": lambda: bmp(W, H, bits=32),
        "rle": lambda: bmp(W, H, comp=1), "truncated": lambda: bmp(W, H)[:-100],
        "core_header": lambda: bmp(8, 2, hdr=12),
    }
    if case == "missing":
        path = str(tmp_path / "nope.bmp").encode()
    elif case == "directory":
        path = str(tmp_path).encode()
    elif case == "null":
        path = None
    elif case == "empty_path":
        path = b""
    else:
        path = guide_dark(case + ".bmp", files[case]())
    assert lib.ORXEnableDarkSubtract(GUIDE, path) == status


def test_dark_subtraction_changes_frames(fast, guide_dark):
    lib = fast
    bright = guide_dark("flat.bmp", bmp(1280, 960, value=lambda x, y: 40))
    assert lib.ORXSetROIFormat(GUIDE, 128, 128, 1, RAW8) == SUCCESS
    assert lib.ORXSetControlValue(GUIDE, EXPOSURE, 100_000, 0) == SUCCESS
    plain = snapshot(lib, GUIDE)
    assert lib.ORXEnableDarkSubtract(GUIDE, bright) == SUCCESS
    dark = snapshot(lib, GUIDE)
    assert sum(dark) < sum(plain)
    assert lib.ORXDisableDarkSubtract(GUIDE) == SUCCESS
    again = snapshot(lib, GUIDE)
    assert sum(again) > sum(dark)
    assert lib.ORXDisableDarkSubtract(GUIDE) == SUCCESS  # already off


def test_dark_palette_is_applied(fast, guide_dark):
    lib = fast
    # every index maps to palette entry 0 = white: subtracting 255 leaves nothing above black
    pal = bytes([255, 255, 255, 0]) + bytes(4 * 255)
    white = guide_dark("white.bmp", bmp(1280, 960, value=lambda x, y: 0, palette=pal, colors=256))
    assert lib.ORXSetROIFormat(GUIDE, 64, 64, 1, RAW8) == SUCCESS
    assert lib.ORXEnableDarkSubtract(GUIDE, white) == SUCCESS
    assert max(snapshot(lib, GUIDE)) <= 40
    short_pal = guide_dark("short.bmp", bmp(8, 2, palette=b"\0" * 8, colors=2))
    assert lib.ORXEnableDarkSubtract(GUIDE, short_pal) == INVALID_SIZE  # readable; wrong size


# ---- guide drift ----------------------------------------------------------------------------
def profile_shift(a, b, w, h, axis, max_shift=40):
    """Shift s (pixels) maximising the correlation of the column (axis 0) or row sums of two frames."""
    if axis == 0:
        pa = [sum(a[y * w + x] for y in range(h)) for x in range(w)]
        pb = [sum(b[y * w + x] for y in range(h)) for x in range(w)]
    else:
        pa = [sum(a[y * w:(y + 1) * w]) for y in range(h)]
        pb = [sum(b[y * w:(y + 1) * w]) for y in range(h)]
    ma, mb = sum(pa) / len(pa), sum(pb) / len(pb)
    pa = [v - ma for v in pa]
    pb = [v - mb for v in pb]
    best = None
    for s in range(-max_shift, max_shift + 1):
        c = sum(pa[i] * pb[i + s] for i in range(max(0, -s), min(len(pa), len(pa) - s)))
        if best is None or c > best[0]:
            best = (c, s)
    return best[1]


@pytest.mark.still_sky
def test_guide_pulse_moves_the_star_field(lib):
    lib.ORXSimSetSky(3000.0, 2.0, 1.0, 12345)  # dense field, dark sky
    open_init(lib, GUIDE)
    w = h = 256
    assert lib.ORXSetROIFormat(GUIDE, w, h, 1, RAW8) == SUCCESS
    assert lib.ORXSetControlValue(GUIDE, EXPOSURE, 50_000, 0) == SUCCESS
    assert lib.ORXSetControlValue(GUIDE, GAIN, 80, 0) == SUCCESS
    lib.ORXSimSetTimeScale(0.001)
    a = snapshot(lib, GUIDE)
    lib.ORXSimSetTimeScale(1.0)  # switch the pulse on a slow clock
    start = lib.ORXSimGetTime()
    assert lib.ORXPulseGuideOn(GUIDE, WEST) == SUCCESS
    run_sim(lib, 6.0, scale=0.01)  # about 6 simulated seconds: ~12 pixels at 2 px/s
    lib.ORXSimSetTimeScale(1.0)
    assert lib.ORXPulseGuideOff(GUIDE, WEST) == SUCCESS
    pulse = lib.ORXSimGetTime() - start  # what a loaded machine made of it
    lib.ORXSimSetTimeScale(0.001)
    b = snapshot(lib, GUIDE)
    c = snapshot(lib, GUIDE)
    assert a != b
    dx = profile_shift(a, b, w, h, 0)
    dy = profile_shift(a, b, w, h, 1)
    assert 6.0 <= pulse < 15.0, pulse
    assert abs(abs(dx) - 2.0 * pulse) <= 1.5, (dx, pulse)
    assert abs(dy) <= 1, dy
    assert abs(profile_shift(b, c, w, h, 0)) <= 1  # no pulse, no drift
