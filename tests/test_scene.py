"""The shared night sky of the simulator: stars where the reported WCS puts them,
a mount that moves every camera together, and optics that blur out of focus."""
import contextlib
import math
import time

import numpy as np
import pytest
from astropy.wcs import WCS

import orx
import orxsim
from skyhelp import SIDEREAL, astropy_offline

GUIDE, MAIN = 1002, 1001
RAW16 = orx.ImgType.IMG_RAW16


@pytest.fixture
def still_mount(sim):
    """The scene on, with a mount that holds still and air that does not move the stars."""
    sim.set_scene(enabled=True, pe_amplitude=0, polar_drift=0, wander=0, ra=100, dec=40)
    opened = []

    def open_(cid, width, height, bin_=1, start=None, flip=0):
        if cid not in opened:
            orx.open_camera(cid)
            orx.init_camera(cid)
            opened.append(cid)
        orx.set_roi_format(cid, width, height, bin_, RAW16)
        if start:
            orx.set_start_pos(cid, *start)
        orx.set_control_value(cid, orx.ControlType.ORX_FLIP, flip, False)
        orx.set_control_value(cid, orx.ControlType.ORX_GAIN, 0, False)

    yield open_
    for cid in opened:
        orx.close_camera(cid)


@contextlib.contextmanager
def clock_held():
    """The cameras' clock all but stopped (10000 wall seconds per camera second) while the
    test renders and measures, so that a slow machine (sanitizers, load) spends no camera
    time on it: what happens in camera time is what the test planned."""
    scale = orxsim.time_scale()
    orxsim.set_time_scale(10000)
    try:
        yield
    finally:
        orxsim.set_time_scale(scale)


def wait_until(t):
    """Until camera time t."""
    while orxsim.sim_time() < t:
        time.sleep(0.0005)


def start(cid, seconds):
    """Starts an exposure; returns the camera time it started at."""
    orx.set_control_value(cid, orx.ControlType.ORX_EXPOSURE, int(seconds * 1e6), False)
    with clock_held():
        orx.start_exposure(cid, False)
        return orxsim.sim_time()


def timed_pulse(cid, direction, seconds):
    """A guide pulse of `seconds` camera seconds or a little more; its ends are switched on
    a held clock, so they fall at known camera times whatever the calls cost. Returns
    the camera times it went on and off."""
    with clock_held():
        orx.pulse_guide_on(cid, direction)
        t_on = orxsim.sim_time()
    wait_until(t_on + seconds)
    with clock_held():
        orx.pulse_guide_off(cid, direction)
        t_off = orxsim.sim_time()
    return t_on, t_off


def fetch(cid):
    while orx.get_exp_status(cid) == orx.ExposureStatus.ORX_EXP_WORKING:
        time.sleep(0.002)
    with clock_held():  # the frame is fixed: rendering it takes no camera time
        w, h, _, _ = orx.get_roi_format(cid)
        img = np.frombuffer(bytes(orx.get_data_after_exp(cid, w * h * 2)), dtype="<u2").reshape(h, w).astype(float)
        wcs = WCS(orxsim.wcs(cid))
    if cid == MAIN:
        # a colour mosaic: a [1 2 1] x [1 2 1] smoothing weighs R, G and B alike at every
        # pixel (1:2:1) and moves nothing, so a star's colour no longer pulls its centroid
        img = np.pad(img, 1, mode="edge")
        img = (img[:-2] + 2 * img[1:-1] + img[2:]) / 4
        img = (img[:, :-2] + 2 * img[:, 1:-1] + img[:, 2:]) / 4
    return img, wcs


def snap(cid, seconds=1.0):
    start(cid, seconds)
    return fetch(cid)


def centroid(img, x, y, r=8, sigma=1.5):
    """Centre (0-based pixel centres) of a star near (x, y): a Gaussian-weighted centroid,
    iterated onto the star, over the background of the box's edge. sigma=None: the plain
    first moment of the light above the background (for trails)."""
    ix, iy = int(round(x)), int(round(y))
    box = img[iy - r:iy + r + 1, ix - r:ix + r + 1]
    edge = np.concatenate([box[0], box[-1], box[:, 0], box[:, -1]])
    light = box - np.median(edge)
    yy, xx = np.mgrid[iy - r:iy + r + 1, ix - r:ix + r + 1]
    if sigma is None:
        light = np.where(light > 5 * edge.std(), light, 0)
        return (light * xx).sum() / light.sum(), (light * yy).sum() / light.sum()
    cx, cy = x, y
    for _ in range(20):
        g = light * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * sigma ** 2))
        cx, cy = (g * xx).sum() / g.sum(), (g * yy).sum() / g.sum()
    return cx, cy


def bright_isolated(wcs, shape, mag_limit=12.5, margin=20, isolation=15):
    """Pixel positions (0-based) of catalogue stars brighter than mag_limit, well inside the
    frame, with no star within 4 magnitudes of them closer than `isolation` pixels."""
    h, w = shape
    ra, dec = wcs.all_pix2world([[w / 2, h / 2]], 0)[0]
    radius = np.hypot(*wcs.pixel_scale_matrix.sum(axis=0)) * np.hypot(w, h)
    cat = np.array(orxsim.sky_stars(ra, dec, radius, mag_limit + 4))
    x, y = wcs.all_world2pix(cat[:, 0], cat[:, 1], 0)
    out = []
    for i in np.flatnonzero(cat[:, 2] < mag_limit):
        near = np.hypot(x - x[i], y - y[i]) < isolation
        if near.sum() == 1 and margin < x[i] < w - margin and margin < y[i] < h - margin:
            out.append((x[i], y[i]))
    return out


@pytest.mark.parametrize("cid, width, height, bin_, start_pos, flip, optics", [
    (GUIDE, 1280, 960, 1, None, 0, {}),
    (GUIDE, 608, 472, 2, (16, 4), orx.FlipStatus.ORX_FLIP_BOTH, {"rotation": 30, "focal_length": 700}),
    (MAIN, 1024, 768, 1, (2600, 1700), orx.FlipStatus.ORX_FLIP_HORIZ, {"rotation": -72, "offset_ra": 40}),
])
def test_stars_sit_where_the_frame_wcs_puts_them(still_mount, cid, width, height, bin_, start_pos, flip, optics):
    # a moving mount: the WCS must follow it (still air: the tilt across the field would move
    # each star on its own)
    orxsim.set_scene(wander=0, pe_amplitude=4, polar_drift=2)
    orxsim.set_optics(cid, **optics)
    still_mount(cid, width, height, bin_, start_pos, flip)
    # in one frame the photon noise moves the median of a handful of stars by 0.02 px rms
    # per axis, which left 0.05 px clear in only 95 of 100 noise draws; over eight frames,
    # each measured against its own WCS as the mount moves on, it is 5 sigma clear
    frames = [snap(cid, 2.0) for _ in range(8)]
    img, wcs = frames[0]
    stars = bright_isolated(wcs, img.shape, mag_limit=12.5 if cid == MAIN else 13.5)  # colour dyes pass a third
    assert len(stars) >= 3
    on_sky = wcs.all_pix2world(stars, 0)
    offs = np.array([[np.subtract(centroid(img, x, y), (x, y)) for x, y in wcs.all_world2pix(on_sky, 0)]
                     for img, wcs in frames])
    # no single frame's WCS astray (one frame's noise alone: 0.1 px at the very most)
    assert np.hypot(*np.median(offs, axis=1).T).max() < 0.15, offs
    off = offs.mean(axis=0)
    # each star within a fraction of a pixel; a misplaced WCS would move them all alike,
    # while noise and faint neighbours scatter them a few hundredths of a pixel each way
    assert np.hypot(*off.T).max() < 0.3, off
    assert np.hypot(*np.median(off, axis=0)) < 0.05, off


def test_same_pointing_same_stars_and_density_follows_the_galaxy(sim):
    sim.set_scene(enabled=True)
    assert sim.sky_stars(150, 30, 0.5, 15) == sim.sky_stars(150, 30, 0.5, 15)
    # toward the galactic plane (b ~ 0) far more stars than toward a pole (b ~ 87)
    plane = len(sim.sky_stars(280, 0, 0.5, 15))
    pole = len(sim.sky_stars(192.9, 27.1, 0.5, 15))
    assert plane > 5 * pole > 0
    # stars continue far below what a short frame shows, and counts rise toward faint magnitudes
    counts = [len(sim.sky_stars(150, 30, 0.5, m)) for m in (12, 15, 18)]
    assert counts[0] < counts[1] < counts[2] and counts[2] > 10 * counts[0]


def star_shift(cid, before, after):
    """The move of the field between two frames, in arc-seconds east and north on the sky,
    measured from the bright stars' centroids."""
    (img0, wcs0), (img1, wcs1) = before, after
    moves = []
    for x, y in bright_isolated(wcs0, img0.shape, mag_limit=13, isolation=20):
        c0 = centroid(img0, x, y)
        # found through the second frame's WCS, measured on its pixels
        c1 = centroid(img1, *wcs1.all_world2pix([wcs0.all_pix2world([c0], 0)[0]], 0)[0])
        moves.append(np.subtract(c1, c0))
    assert len(moves) >= 2
    d = np.median(moves, axis=0)
    # pixel move to arc-seconds through the camera's own CD matrix (x: RA grows east)
    east, north = wcs0.wcs.cd @ d * 3600
    return east, north


@pytest.mark.parametrize("direction, rate", [(orx.GuideDirection.ORX_GUIDE_NORTH, 0.5), (orx.GuideDirection.ORX_GUIDE_WEST, 0.9)])
def test_guide_pulse_moves_both_cameras_by_the_guide_rate(still_mount, direction, rate):
    orxsim.set_scene(guide_rate=rate)
    orxsim.set_optics(GUIDE, focal_length=240, rotation=25)
    orxsim.set_optics(MAIN, focal_length=800, rotation=-110, offset_dec=-60)
    still_mount(GUIDE, 1280, 960)
    still_mount(MAIN, 1536, 1536, 1, (2400, 1300))
    before = {cid: snap(cid, 1.0) for cid in (GUIDE, MAIN)}
    t_on, t_off = timed_pulse(GUIDE, direction, 2.0)
    pulse = t_off - t_on
    after = {cid: snap(cid, 1.0) for cid in (GUIDE, MAIN)}
    # the stars move opposite to the mount: north pulses move them south, west pulses east
    step = rate * SIDEREAL * pulse
    want = (0.0, -step) if direction == orx.GuideDirection.ORX_GUIDE_NORTH else (step * math.cos(math.radians(orxsim.scene()["dec"])), 0.0)
    for cid in (GUIDE, MAIN):
        got = star_shift(cid, before[cid], after[cid])
        assert got == pytest.approx(want, abs=0.02 * step + 0.2), cid


def test_unguided_star_swings_with_the_periodic_error(still_mount):
    period, amplitude = 40.0, 6.0
    orxsim.set_scene(pe_amplitude=amplitude, pe_period=period)
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 0.5)
    x, y = bright_isolated(wcs, img.shape, margin=40)[0]
    times, xs = [], []
    # 40 frames meant to span 2.5 periods; a slow machine spreads them further, which the fit
    # takes as it comes (it uses each frame's own time)
    t_start = orxsim.sim_time()
    for k in range(40):
        wait_until(t_start + k * 2.5 * period / 40)
        t0 = start(GUIDE, 0.5)
        img, _ = fetch(GUIDE)
        with clock_held():
            x, y = centroid(img, x, y)
        times.append(t0 + 0.25)
        xs.append(x)
    times, xs = np.array(times), np.array(xs)

    def residual(p):
        a = np.column_stack([np.sin(2 * np.pi * times / p), np.cos(2 * np.pi * times / p), np.ones_like(times)])
        coef, res, *_ = np.linalg.lstsq(a, xs, rcond=None)
        return float(np.sum((a @ coef - xs) ** 2)), math.hypot(*coef[:2])

    periods = np.linspace(10, 120, 441)
    best = periods[np.argmin([residual(p)[0] for p in periods])]
    assert best == pytest.approx(period, rel=0.03)
    # swing on the sky: RA axis error times cos(dec), in this camera's pixels
    scale = 3600 * abs(wcs.wcs.cd[0, 0])
    want = amplitude * math.cos(math.radians(orxsim.scene()["dec"])) / scale
    assert residual(best)[1] == pytest.approx(want, rel=0.1)


def test_pulse_in_mid_exposure_leaves_a_trail_centred_halfway(still_mount):
    orxsim.set_scene(guide_rate=1.0)
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 1.0)
    stars = bright_isolated(wcs, img.shape, mag_limit=11.5, margin=60, isolation=40)
    assert stars
    p0 = np.array(centroid(img, *stars[0]))
    exposure = 10.0
    t_start = start(GUIDE, exposure)
    wait_until(t_start + 4.0)
    t_on, t_off = timed_pulse(GUIDE, orx.GuideDirection.ORX_GUIDE_SOUTH, 2.0)
    trail, _ = fetch(GUIDE)
    after, wcs1 = snap(GUIDE, 1.0)
    p1 = np.array(centroid(after, *wcs1.all_world2pix([wcs.all_pix2world([p0], 0)[0]], 0)[0]))
    length = np.hypot(*(p1 - p0))
    assert length > 10
    # light-weighted place along the move: time before the pulse at p0, after it at p1,
    # the pulse itself halfway on average
    t_end = t_start + exposure
    share = ((t_end - t_off) + 0.5 * (t_off - t_on)) / exposure
    mid = p0 + share * (p1 - p0)
    got = np.array(centroid(trail, *mid, r=int(length / 2) + 8, sigma=None))
    assert share == pytest.approx(0.5, abs=0.1)
    assert np.hypot(*(got - mid)) < 0.05 * length
    # a trail, not two dots or one blur: light all along the line between them. Measured
    # on 3x3 pixels, whose mean has a third of one pixel's noise (it stands some 30 times
    # that above the sky): a single pixel, up to 0.7 px off the line, stood 9 to 20 times
    # its noise above it, and a noise draw now and then took it under the 10 asked for
    noise = trail[:50, :50].std() / 3
    for f in (0.25, 0.5, 0.75):
        x, y = np.round(p0 + f * (p1 - p0)).astype(int)
        assert trail[y - 1:y + 2, x - 1:x + 2].mean() > np.median(trail) + 10 * noise, f


def star_image(cid, x, y, r):
    img, _ = snap(cid, 5.0)
    ix, iy = int(round(x)), int(round(y))
    box = img[iy - r:iy + r + 1, ix - r:ix + r + 1]
    # a mean level: a median of 12-bit values in 16-bit steps would be off by up to 8
    return box - level(np.concatenate([box[:3].ravel(), box[-3:].ravel()]))


def test_defocus_widens_stars_and_far_out_rings_them(still_mount):
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 2.0)
    x, y = bright_isolated(wcs, img.shape, mag_limit=11.5, margin=60, isolation=50)[0]
    r = 30
    yy, xx = np.mgrid[-r:r + 1, -r:r + 1]

    def width(steps):
        orxsim.set_optics(GUIDE, focus=5000 + steps)
        light = star_image(GUIDE, x, y, r)
        light = np.where(light > 5 * light[:5].std(), light, 0)
        return math.sqrt((light * (xx ** 2 + yy ** 2)).sum() / light.sum())

    widths = {s: width(s) for s in (0, 20, -20, 60, 120)}
    assert widths[0] < widths[20] < widths[60] < widths[120]
    assert widths[20] == pytest.approx(widths[-20], rel=0.1)  # either side of focus alike
    # far out behind a central obstruction: an annulus of the blur circle's size with a dark middle
    orxsim.set_optics(GUIDE, focus=5300, obstruction=0.5)
    light = star_image(GUIDE, x, y, r)
    blur = 300 * 2.0 / (500 / 100) / 3.75  # steps x step / focal ratio / pixel size
    radius = np.hypot(xx, yy)
    # trimmed means: a cosmic ray or hot pixel in a region cannot decide
    rim = level(light[np.abs(radius - 0.75 * 0.5 * blur) < 2])
    assert level(light[radius < 2]) < 0.3 * rim
    assert level(light[radius > 0.5 * blur + 4]) < 0.1 * rim


def level(values):
    """The background's mean level, stars and hot pixels left out."""
    lo, hi = np.percentile(values, [2, 90])
    return values[(values >= lo) & (values <= hi)].mean()


def sky_rise_per_deg(alt_deg):
    """The night sky's fractional rise in brightness per degree of zenith distance
    at altitude alt_deg: B ~ X 10^(-0.4 k (X - 1)), X = (1 - 0.96 sin^2 z)^-1/2,
    k = 0.172 (Krisciunas & Schaefer 1991, PASP 103, 1033), by difference."""
    def brightness(z):
        x = (1 - 0.96 * math.sin(z) ** 2) ** -0.5
        return x * 10 ** (-0.4 * 0.172 * (x - 1))
    z, dz = math.radians(90 - alt_deg), 1e-4
    return (math.log(brightness(z + dz)) - math.log(brightness(z - dz))) / (2 * dz) * math.pi / 180


def altitudes(cid, wcs, pixels):
    """Altitudes (degrees) of frame pixels from the site at the frame's time, by astropy."""
    from astropy import units as u
    from astropy.coordinates import AltAz, EarthLocation, SkyCoord
    from astropy.time import Time

    astropy_offline()
    scene = orxsim.scene()
    site = EarthLocation(lat=scene["latitude"] * u.deg, lon=scene["longitude"] * u.deg, height=408 * u.m)
    ra, dec = wcs.all_pix2world(np.asarray(pixels, float), 0).T
    when = Time(orxsim.frame_sky(cid)["utc"], format="unix")
    return SkyCoord(ra * u.deg, dec * u.deg).transform_to(AltAz(obstime=when, location=site)).alt.deg


@pytest.mark.parametrize("rotation, dome", [(0, 0.1), (200, 0.05), (90, 0.0)])
def test_background_brightens_toward_the_horizon_by_altitude_and_fades_at_the_corners(still_mount, rotation, dome):
    # low in the south (the meridian at the night's start), where the natural rise is steep;
    # a short focal length for a wide field
    orxsim.set_scene(gradient=dome, sky_brightness=18, ra=150, dec=-20)
    orxsim.set_optics(GUIDE, rotation=rotation, vignetting=0, focal_length=100, aperture=25)
    still_mount(GUIDE, 1280, 960)
    orx.set_control_value(GUIDE, orx.ControlType.ORX_EXPOSURE, 10_000_000, False)
    orx.start_exposure(GUIDE, True)
    bias = fetch(GUIDE)[0]  # a dark frame: black level, dark current, amp glow
    img, wcs = snap(GUIDE, 10.0)
    sky = img - bias
    centre = np.array([640, 480])
    # downhill on this frame: toward lower altitude, from astropy
    alt0, alt_x, alt_y = altitudes(GUIDE, wcs, [centre, centre + [10, 0], centre + [0, 10]])
    down = -np.array([alt_x - alt0, alt_y - alt0])
    down /= np.hypot(*down)
    yy, xx = np.mgrid[0:960, 0:1280]
    along = (xx - centre[0]) * down[0] + (yy - centre[1]) * down[1]
    low, high, middle = (level(sky[m]) for m in (along > 250, along < -250, abs(along) < 100))
    # the bands' mean altitudes, from the same pixels
    a_low, a_high = (altitudes(GUIDE, wcs, np.c_[xx[m][::97], yy[m][::97]]).mean() for m in (along > 250, along < -250))
    rise = dome + sky_rise_per_deg(alt0)
    assert 15 < alt0 < 30
    assert (low - high) / middle == pytest.approx(rise * (a_high - a_low), rel=0.2)


@pytest.mark.parametrize("cid, bin_, corner_mm", [(MAIN, 4, 0.95 * 14.12), (GUIDE, 1, 0.9 * 3.0)])
def test_vignetting_is_set_in_the_focal_plane(still_mount, cid, bin_, corner_mm):
    # the light lost 21.6 mm from the axis (a 36 x 24 mm sensor's corner), falling as r^2:
    # a small sensor behind the same optics sees little of it
    orxsim.set_scene(gradient=0, sky_brightness=18)
    orxsim.set_optics(cid, vignetting=0.4)
    info = orx.get_camera_property_by_id(cid)
    w, h = info.max_width // bin_ // 8 * 8, info.max_height // bin_
    still_mount(cid, w, h, bin_)
    orx.set_control_value(cid, orx.ControlType.ORX_EXPOSURE, 10_000_000, False)
    orx.start_exposure(cid, True)
    bias = fetch(cid)[0]
    sky = snap(cid, 10.0)[0] - bias
    b = 60
    corners = level(np.concatenate([sky[:b, :b].ravel(), sky[-b:, -b:].ravel(), sky[:b, -b:].ravel()]))
    middle = level(sky[h // 2 - b:h // 2 + b, w // 2 - b:w // 2 + b])
    assert corners / middle == pytest.approx(1 - 0.4 * (corner_mm / 21.63) ** 2, abs=0.02)


@pytest.mark.parametrize("call, error", [
    (lambda: orxsim.set_scene(dec=91), ValueError),
    (lambda: orxsim.set_scene(seeing=0), ValueError),
    (lambda: orxsim.set_scene(seed=1.5), ValueError),
    (lambda: orxsim.set_scene(pe_amplitude=float("nan")), ValueError),
    (lambda: orxsim.set_scene(pointing=3), TypeError),
    (lambda: orxsim.set_optics(GUIDE, focal_length=0), ValueError),
    (lambda: orxsim.set_optics(GUIDE, aperture=2000), ValueError),  # f/0.25 at 500 mm
    (lambda: orxsim.set_optics(4242, focal_length=400), KeyError),
    (lambda: orxsim.optics(4242), KeyError),
    (lambda: orxsim.wcs(GUIDE), LookupError),  # no frame of the scene yet
    (lambda: orxsim.sky_stars(10, 95, 1, 12), ValueError),
])
def test_bad_scene_settings_are_refused_and_change_nothing(sim, call, error):
    before = (sim.scene(), sim.optics(GUIDE))
    with pytest.raises(error):
        call()
    assert (sim.scene(), sim.optics(GUIDE)) == before


def expose_guide(seconds):
    """One RAW16 frame of the guide camera, opened for it and closed again."""
    orx.open_camera(GUIDE)
    try:
        orx.init_camera(GUIDE)
        orx.set_roi_format(GUIDE, 640, 480, 1, RAW16)
        start(GUIDE, seconds)
        while orx.get_exp_status(GUIDE) == orx.ExposureStatus.ORX_EXP_WORKING:
            time.sleep(0.002)
        return orx.get_data_after_exp(GUIDE, 640 * 480 * 2)
    finally:
        orx.close_camera(GUIDE)


def test_reset_brings_back_the_night_sky_default(sim):
    default = sim.scene(), sim.optics(GUIDE)
    assert default[0]["enabled"] == 1  # a night sky unless a test asks for the still field
    sim.set_optics(GUIDE, focal_length=1200, rotation=10)
    sim.set_scene(guide_rate=0.9, seed=3, ra=10)
    expose_guide(0.1)
    assert sim.wcs(GUIDE)["CRVAL1"] == pytest.approx(10, abs=0.1)
    sim.set_scene(enabled=False)
    sim.reset()
    assert (sim.scene(), sim.optics(GUIDE)) == default
    with pytest.raises(LookupError):
        sim.wcs(GUIDE)


@pytest.mark.still_sky
def test_the_still_field_lies_on_no_sky(sim):
    assert sim.scene()["enabled"] == 0
    expose_guide(0.1)
    with pytest.raises(LookupError):
        sim.wcs(GUIDE)


def star_track(cid, x, y, frames, spacing, exposure):
    """Centroid and light of the star near (x, y) in frames started `spacing` camera seconds apart."""
    out = []
    for _ in range(frames):
        t0 = start(cid, exposure)
        img, _ = fetch(cid)
        with clock_held():
            x, y = centroid(img, x, y)
            out.append((x, y, star_image_light(img, x, y)))
        wait_until(t0 + spacing)
    return np.array(out)


def star_image_light(img, x, y, r=6):
    ix, iy = int(round(x)), int(round(y))
    box = img[iy - r:iy + r + 1, ix - r:ix + r + 1]
    return (box - level(np.concatenate([box[:2].ravel(), box[-2:].ravel()]))).sum()


def test_seeing_wanders_stars_by_its_amplitude_over_its_correlation_time(still_mount):
    wander, tau = 1.0, 2.0
    orxsim.set_scene(wander=wander, wander_time=tau)
    orxsim.set_optics(GUIDE, aperture=300)
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 0.05)
    x, y = bright_isolated(wcs, img.shape, mag_limit=11, margin=70)[0]
    scale = 3600 * math.sqrt(abs(np.linalg.det(wcs.wcs.cd)))
    apart = star_track(GUIDE, x, y, 40, 4 * tau, 0.02)  # far beyond the correlation time
    rms = np.std(apart[:, :2], axis=0) * scale
    assert rms == pytest.approx([wander, wander], rel=0.35)
    # well within it: a small region read fast, on a slower clock
    sx, sy = int(x) - 32, int(y) - 32
    still_mount(GUIDE, 64, 64, 1, (sx, sy))
    orxsim.set_time_scale(0.5)  # slow enough that a slow machine still takes the frames close together
    t0 = orxsim.sim_time()
    close = star_track(GUIDE, x - sx, y - sy, 20, 0.0, 0.02)
    assert (orxsim.sim_time() - t0) / 20 < tau / 5
    steps = np.diff(close[:, :2], axis=0) * scale
    assert np.sqrt(np.mean(steps ** 2)) < 0.5 * wander


def test_passing_clouds_dim_the_stars(still_mount):
    orxsim.set_time_scale(0.002)  # ten minutes of clouds in a few seconds
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 1.0)
    x, y = bright_isolated(wcs, img.shape, mag_limit=11, margin=40)[0]
    clear = star_track(GUIDE, x, y, 20, 30.0, 1.0)[:, 2]
    orxsim.set_scene(clouds=1.0)
    cloudy = star_track(GUIDE, x, y, 20, 30.0, 1.0)[:, 2]
    assert clear.max() / clear.min() < 1.25  # photometric noise only
    assert cloudy.max() / cloudy.min() > 3 and cloudy.max() <= 1.1 * clear.max()
