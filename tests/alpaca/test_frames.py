"""The frames a client may ask for: how they are read (the camera's own
region and binning where it can, else unbinned and binned in software), the
pixels made of them and the mosaic phase of those pixels."""
import numpy as np
import pytest

import orx
from orxdevice.camera import Sensor, SubframeError, plan_frame

from alpaca_helpers import Client, imagebytes, sensor_pixels

RAW8, RAW16, RGB24 = orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16, orx.ImgType.IMG_RGB24
BIG = Sensor(0, 6248, 4176, (1, 2, 3, 4), True, orx.BayerPattern.BAYER_RG, (RAW8, RAW16, RGB24))
GUIDE = Sensor(1, 1280, 960, (1, 2), False, orx.BayerPattern.BAYER_RG, (RAW8, RAW16))


@pytest.mark.parametrize("sensor, bin, start, num, roi, software", [
    # roi: (x, y, width, height, bin) the camera reads
    (GUIDE, 1, (0, 0), (1280, 960), (0, 0, 1280, 960, 1), 1),
    (GUIDE, 1, (3, 5), (203, 101), (3, 5, 208, 102, 1), 1),
    (GUIDE, 1, (1275, 957), (5, 3), (1272, 956, 8, 4, 1), 1),      # against the far corner: shifted back
    (GUIDE, 2, (0, 0), (640, 480), (0, 0, 640, 480, 2), 1),
    (BIG, 2, (0, 0), (3120, 2088), (0, 0, 3120, 2088, 2), 1),
    (BIG, 2, (0, 0), (3124, 2088), (0, 0, 6248, 4176, 1), 2),      # 3124 binned: not a width the camera reads
    (BIG, 3, (0, 0), (2082, 1392), (0, 0, 6248, 4176, 1), 3),
    (BIG, 3, (1, 1), (2081, 1391), (0, 2, 6248, 4174, 1), 3),
    (BIG, 4, (0, 0), (1562, 1044), (0, 0, 6248, 4176, 1), 4),
    (BIG, 4, (10, 2), (16, 8), (10, 2, 16, 8, 4), 1),
])
def test_every_frame_on_the_binned_sensor_is_read(sensor, bin, start, num, roi, software):
    plan = plan_frame(sensor, bin, *start, *num, RAW16)
    assert (plan.roi_x, plan.roi_y, plan.roi_width, plan.roi_height, plan.roi_bin) == roi
    assert plan.software_bin == software
    # the camera's rules hold and the crop is the client's frame
    w, h = sensor.width // plan.roi_bin, sensor.height // plan.roi_bin
    assert plan.roi_width % 8 == 0 and plan.roi_height % 2 == 0
    assert plan.roi_x + plan.roi_width <= w and plan.roi_y + plan.roi_height <= h
    assert plan.roi_x + plan.crop_x == start[0] * software and plan.roi_y + plan.crop_y == start[1] * software
    assert plan.crop_x + num[0] * software <= plan.roi_width and plan.crop_y + num[1] * software <= plan.roi_height


@pytest.mark.parametrize("bin, start, num", [
    (1, (1, 0), (1280, 960)), (1, (0, 0), (0, 10)), (1, (-1, 0), (8, 8)), (2, (0, 0), (641, 480)), (3, (0, 0), (8, 8)),
])
def test_frames_off_the_sensor_are_refused(bin, start, num):
    with pytest.raises(SubframeError):
        plan_frame(GUIDE, bin, *start, *num, RAW8)


def _reference_bin(photosites, b, start_x, start_y, nx, ny, pattern):
    """Output pixel (i, j): the rounded mean of its block's photosites, or for
    a mosaic of those under its own filter (filters by global position)."""
    red_x, red_y = {orx.BayerPattern.BAYER_RG: (0, 0), orx.BayerPattern.BAYER_GR: (1, 0),
                    orx.BayerPattern.BAYER_GB: (0, 1), orx.BayerPattern.BAYER_BG: (1, 1)}.get(pattern, (0, 0))

    def colour(x, y):      # 0 red, 1 green, 2 blue
        dx, dy = (x - red_x) % 2, (y - red_y) % 2
        return 0 if (dx, dy) == (0, 0) else 2 if (dx, dy) == (1, 1) else 1
    out = np.zeros((ny, nx) + photosites.shape[2:], np.int64)
    for j in range(ny):
        for i in range(nx):
            X, Y = start_x + i, start_y + j
            cells = [photosites[Y * b + v, X * b + u] for v in range(b) for u in range(b)
                     if pattern is None or colour(X * b + u, Y * b + v) == colour(X, Y)]
            total, n = np.sum(cells, axis=0, dtype=np.int64), len(cells)
            out[j, i] = (total + n // 2) // n
    return out


@pytest.mark.parametrize("color, img_type", [(True, RAW16), (True, RAW8), (False, RAW16), (True, RGB24)])
@pytest.mark.parametrize("pattern", [orx.BayerPattern.BAYER_RG, orx.BayerPattern.BAYER_GB])
@pytest.mark.parametrize("bin, start, num", [(2, (0, 0), (20, 12)), (3, (1, 1), (12, 7)), (4, (1, 0), (9, 6))])
def test_software_binning_is_pixel_exact(color, img_type, pattern, bin, start, num):
    # a 40x24 sensor: widths of 20, 13 and 10 binned pixels are not multiples of 8
    sensor = Sensor(9, 40, 24, (1, 2, 3, 4), color, pattern, (img_type,))
    plan = plan_frame(sensor, bin, *start, *num, img_type)
    assert plan.software_bin == bin
    rng = np.random.default_rng(bin)
    dtype = np.uint16 if img_type == RAW16 else np.uint8
    shape = (plan.roi_height, plan.roi_width) + ((3,) if img_type == RGB24 else ())
    delivered = rng.integers(0, np.iinfo(dtype).max + 1, size=shape, dtype=dtype)
    delivered[0, 0] = np.iinfo(dtype).max                # sums of the largest values must not wrap
    wire = delivered[:, :, ::-1] if img_type == RGB24 else delivered     # RGB24 comes as B, G, R
    frame = wire.astype(np.dtype(dtype).newbyteorder("<")).tobytes()
    got = plan.pixels(frame)
    photosites = np.zeros((24, 40) + shape[2:], np.int64)
    photosites[plan.roi_y:plan.roi_y + plan.roi_height, plan.roi_x:plan.roi_x + plan.roi_width] = delivered
    mosaic = pattern if color and img_type != RGB24 else None
    want = _reference_bin(photosites, bin, *start, *num, mosaic)
    assert got.dtype == dtype and np.array_equal(got, want)
    assert (plan.bayer_offset is None) == (mosaic is None)


@pytest.mark.parametrize("pattern, start, offset", [
    (orx.BayerPattern.BAYER_RG, (0, 0), (0, 0)), (orx.BayerPattern.BAYER_RG, (1, 0), (1, 0)),
    (orx.BayerPattern.BAYER_RG, (3, 5), (1, 1)), (orx.BayerPattern.BAYER_BG, (0, 0), (1, 1)),
    (orx.BayerPattern.BAYER_GR, (1, 2), (0, 0)), (orx.BayerPattern.BAYER_GB, (0, 1), (0, 0)),
])
def test_bayer_offset_of_the_delivered_pixels(pattern, start, offset):
    sensor = Sensor(9, 64, 48, (1, 2), True, pattern, (RAW16,))
    for bin in (1, 2):
        assert plan_frame(sensor, bin, *start, 8, 8, RAW16).bayer_offset == offset
    assert plan_frame(sensor, 1, *start, 8, 8, RGB24).bayer_offset is None


def test_full_frame_at_bin_2_served_pixel_exact(server, frames):
    c = Client(server.url, 0)                      # 6248x4176: 3124 binned columns, not a width it reads
    c.ok("connected", Connected=True)
    c.ok("readoutmode", ReadoutMode=c.value("readoutmodes").index("RAW8"))
    c.ok("binx", BinX=2)
    c.ok("numx", NumX=3124)
    c.ok("numy", NumY=2088)
    c.ok("startx", StartX=0)
    c.expose()
    _, data = imagebytes(c)
    got = np.frombuffer(data, np.uint8).reshape(3124, 2088).T
    photosites = sensor_pixels(frames[0], 6248, 4176, orx.ImgType.IMG_RAW8)
    # spot checks against the rule: the like-filtered photosites of each 2x2 block
    for y, x in ((0, 0), (0, 1), (1, 0), (1, 1), (2087, 3123), (1000, 2001)):
        block = photosites[2 * y:2 * y + 2, 2 * x:2 * x + 2].astype(int)
        want = {(0, 0): block[0, 0], (1, 1): block[1, 1]}.get((y % 2, x % 2), (block[0, 1] + block[1, 0] + 1) // 2)
        assert got[y, x] == want, (y, x)
    assert c.value("bayeroffsetx") == 0 and c.value("bayeroffsety") == 0
