"""The optics and the atmosphere of the simulated night, each measured against the
figure a real night gives (sources in simulator/README.md)."""
import math

import numpy as np
import pytest

import orx
import orxsim
from test_scene import (GUIDE, MAIN, bright_isolated, centroid, fetch, level, snap, star_image,
                        star_image_light, star_track, still_mount, wait_until)  # noqa: F401 (a fixture)

PLANETARY = 1003


def gaussian_fwhm(img, x, y, r=6):
    """FWHM (pixels) of a Gaussian fitted to a star's core: ln(light) against the squared
    distance from its centroid, over the pixels above a fifth of its peak."""
    cx, cy = centroid(img, x, y)
    ix, iy = int(round(cx)), int(round(cy))
    box = img[iy - r:iy + r + 1, ix - r:ix + r + 1]
    light = box - level(np.concatenate([box[:2].ravel(), box[-2:].ravel()]))
    yy, xx = np.mgrid[iy - r:iy + r + 1, ix - r:ix + r + 1]
    use = light > 0.2 * light.max()
    slope = np.polyfit(((xx - cx) ** 2 + (yy - cy) ** 2)[use], np.log(light[use]), 1)[0]
    return 2.3548 * math.sqrt(-1 / (2 * slope))


@pytest.mark.parametrize("aperture, seeing", [(30, 1.0), (100, 2.5)])
def test_stars_are_seeing_diffraction_and_pixel_combined(still_mount, aperture, seeing):
    orxsim.set_scene(seeing=seeing)
    orxsim.set_optics(GUIDE, aperture=aperture, focal_length=500)
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 4.0)
    stars = bright_isolated(wcs, img.shape, mag_limit=11, margin=30)
    assert len(stars) >= 2
    scale = 3600 * math.sqrt(abs(np.linalg.det(wcs.wcs.cd)))
    measured = np.median([gaussian_fwhm(img, x, y) for x, y in stars]) * scale
    airy = math.degrees(1.03 * 550e-9 / (aperture * 1e-3)) * 3600  # Airy FWHM, 550 nm
    pixel = 2.3548 * math.sqrt(1 / 12) * scale  # a pixel's width, as a Gaussian's
    assert measured == pytest.approx(math.sqrt(seeing ** 2 + airy ** 2 + pixel ** 2), rel=0.12)
    if aperture == 30:
        assert measured > 4.0


def young(aperture_mm, altitude_deg, seconds, height_m=408):
    """Scintillation, relative rms (Young 1967, AJ 72, 747): 0.09 D^-2/3 X^1.75
    exp(-h / 8000 m) (2 t)^-1/2, D in cm."""
    airmass = 1 / math.sin(math.radians(altitude_deg))
    return 0.09 * (aperture_mm / 10) ** (-2 / 3) * airmass ** 1.75 * math.exp(-height_m / 8000) / math.sqrt(2 * seconds)


def test_short_exposures_of_bright_stars_twinkle_by_young(still_mount):
    # a star of about magnitude 4 near the default pointing, in the middle of a small region
    ra, dec, mag = min(orxsim.sky_stars(150, 30, 8, 5), key=lambda s: abs(s[2] - 4))
    orxsim.set_scene(ra=ra, dec=dec)
    orxsim.set_optics(GUIDE, focal_length=250)  # a bright star's light over a few pixels
    still_mount(GUIDE, 64, 64, 1, (608, 448))
    orx.set_control_value(GUIDE, orx.ControlType.ORX_GAIN, 0, False)
    spread = {}
    for seconds in (0.01, 0.5):
        light = star_track(GUIDE, 32, 32, 80, 0.0, seconds)[:, 2]
        spread[seconds] = light.std() / light.mean()
    altitude = orxsim.frame_sky(GUIDE)["altitude"]
    assert spread[0.01] == pytest.approx(young(100, altitude, 0.01), rel=0.3)
    assert spread[0.5] < 0.3 * spread[0.01]


# the whole sky's stars brighter than V (Tycho-2 and UCAC4 counts, as the issue gives them)
ALL_SKY = {2: 59, 6: 5300}
PER_DEG2 = {14: 15.6e6 / 41253, 16: 83e6 / 41253}


def fibonacci_sphere(n):
    i = np.arange(n) + 0.5
    dec = np.degrees(np.arcsin(1 - 2 * i / n))
    ra = (np.degrees(np.pi * (1 + 5 ** 0.5) * i)) % 360
    return zip(ra, dec)


def test_star_counts_follow_the_published_counts_per_magnitude():
    # the whole sky, in overlapping 10 degree circles, each star once
    stars = set()
    for ra, dec in fibonacci_sphere(300):  # every point of the sky within 9 degrees of one
        stars.update(orxsim.sky_stars(ra, dec, 10, 6.0))
    mags = np.array([s[2] for s in stars])
    for m, n in ALL_SKY.items():
        assert (mags < m).sum() == pytest.approx(n, rel=max(0.15, 3 / math.sqrt(n)))
    assert (mags < 0).sum() <= 10  # four stars brighter than 0 (Poisson: at most 10)
    # faint: small circles spread over the sphere average the galaxy's latitudes
    rng = np.random.default_rng(1)
    for m, per_deg2 in PER_DEG2.items():
        radius = 0.1 if m == 14 else 0.05
        n = 0
        for _ in range(400):
            ra, dec = rng.uniform(0, 360), math.degrees(math.asin(rng.uniform(-1, 1)))
            n += len(orxsim.sky_stars(ra, dec, radius, m))
        area = 400 * math.pi * radius ** 2
        assert n / area == pytest.approx(per_deg2, rel=0.2)


def sky_and_star(cid, seconds=5.0):
    """Mean sky level and a bright star's light (ADU above the black level) in one frame."""
    orx.set_control_value(cid, orx.ControlType.ORX_EXPOSURE, int(seconds * 1e6), False)
    orx.start_exposure(cid, True)
    bias = level(fetch(cid)[0].ravel())
    img, wcs = snap(cid, seconds)
    return level(img.ravel()) - bias, img, wcs


def test_colour_photosites_get_a_third_of_the_band(still_mount):
    # behind the same optics, the planetary colour camera's green photosites against the
    # guide camera's mono ones: sky per photosite, for equal pixel area and electrons
    orxsim.set_scene(sky_brightness=18)
    out = {}
    for cid in (GUIDE, PLANETARY):
        still_mount(cid, 640, 480)
        orx.set_control_value(cid, orx.ControlType.ORX_GAIN, 0, False)
        orx.set_control_value(cid, orx.ControlType.ORX_EXPOSURE, 5_000_000, False)
        orx.start_exposure(cid, True)
        w, h = 640, 480
        raw = lambda: np.frombuffer(bytes(orx.get_data_after_exp(cid, w * h * 2)), "<u2").reshape(h, w).astype(float)
        import time
        while orx.get_exp_status(cid) == orx.ExposureStatus.ORX_EXP_WORKING:
            time.sleep(0.002)
        bias = raw()
        orx.start_exposure(cid, False)
        while orx.get_exp_status(cid) == orx.ExposureStatus.ORX_EXP_WORKING:
            time.sleep(0.002)
        light = raw() - bias
        info = orx.get_camera_property_by_id(cid)
        electrons = light * info.elec_per_adu / 2 ** (16 - info.bit_depth)
        if info.is_color_camera:
            electrons = np.concatenate([electrons[0::2, 1::2].ravel(), electrons[1::2, 0::2].ravel()])  # G of RGGB
        out[cid] = level(electrons.ravel()) / info.pixel_size ** 2
    assert out[PLANETARY] / out[GUIDE] == pytest.approx(1 / 3, rel=0.2)


@pytest.mark.parametrize("sky_brightness, overcast", [(18.0, 10.0), (21.3, 3.0), (21.7, 0.05)])
def test_overcast_brightens_a_town_sky_and_darkens_a_dark_one(still_mount, sky_brightness, overcast):
    # overcast reflects the artificial light back down: about 10x in towns, 3x in the
    # country (Kyba et al. 2011, PLoS ONE 6, e17307; Kyba et al. 2015, Sci. Rep. 5, 8409);
    # a pristine sky (21.7 mag per square arc-second) only loses its natural light
    orxsim.set_scene(sky_brightness=sky_brightness)
    orxsim.set_optics(GUIDE, vignetting=0)
    still_mount(GUIDE, 1280, 960)
    sky0, img, wcs = sky_and_star(GUIDE)
    x, y = bright_isolated(wcs, img.shape, mag_limit=10.5, margin=40)[0]
    star0 = star_image_light(img, *centroid(img, x, y))
    orxsim.set_scene(clouds=1.0)
    orxsim.set_time_scale(0.002)
    # frames are taken until the clouds have cut the stars' light to below 0.3 at least
    # once, wherever in the clouds' passing they fall (a slow machine spaces them
    # further apart in camera time), so that the extrapolation below never starts from
    # thin cloud, where the noise of the sky's change would dominate
    frames = []
    while len(frames) < 10 or min(frames)[0] > 0.3:
        assert len(frames) < 60, "the clouds never thickened"
        sky, img, _ = sky_and_star(GUIDE)
        frames.append((star_image_light(img, *centroid(img, x, y)) / star0, sky / sky0))
        wait_until(orxsim.sim_time() + 30)
    # the sky when the stars' light is cut by the 95 % of full overcast, from the frame
    # with the thickest cloud: the sky's change grows with the cover the stars show
    through, sky = min(frames)
    at_overcast = 1 + (sky - 1) * (1 - 0.05) / (1 - through)
    assert at_overcast == pytest.approx(overcast, rel=0.35, abs=0.1)


def test_a_frame_integrates_the_clouds_over_its_exposure(still_mount):
    # point samples of the transmission scatter as much as the clouds do; frames of four
    # minutes average them, so their scatter is far smaller (sampling one instant per
    # frame, they scatter as much as short frames)
    orxsim.set_time_scale(1e-3)
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 1.0)
    x, y = bright_isolated(wcs, img.shape, mag_limit=10, margin=40)[0]
    orxsim.set_scene(clouds=0.6)
    short = star_track(GUIDE, x, y, 24, 97.0, 1.0)[:, 2]
    orxsim.set_time_scale(1e-4)
    long_ = star_track(GUIDE, x, y, 24, 0.0, 240.0)[:, 2] / 240
    assert long_.std() / long_.mean() < 0.5 * short.std() / short.mean()


def half_flux_diameter(light, r):
    """Twice the radius holding half the light of a star image centred in its box."""
    yy, xx = np.mgrid[-r:r + 1, -r:r + 1]
    w = np.clip(light, 0, None)
    cx, cy = (w * xx).sum() / w.sum(), (w * yy).sum() / w.sum()
    radius = np.hypot(xx - cx, yy - cy).ravel()
    order = np.argsort(radius)
    cum = np.cumsum(light.ravel()[order])
    return 2 * radius[order][np.searchsorted(cum, 0.5 * cum[-1])]


@pytest.mark.parametrize("obstruction", [0.0, 0.4])
def test_out_of_focus_stars_fill_the_pupil_and_v_curves_follow_the_optics(still_mount, obstruction):
    # a uniform disc of diameter B (less the obstruction's shadow) holds half its light
    # within a diameter B sqrt((1 + e^2) / 2): the V-curve's slope per pixel of blur
    orxsim.set_optics(GUIDE, obstruction=obstruction)
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 2.0)
    x, y = bright_isolated(wcs, img.shape, mag_limit=10.5, margin=100, isolation=90)[0]
    r = 45
    yy, xx = np.mgrid[-r - 15:r + 16, -r - 15:r + 16]
    hfd, blur = {}, {}
    for steps in (250, 450):
        orxsim.set_optics(GUIDE, focus=5000 + steps)
        # long: the half-light radius sums thousands of pixels, each with the background's error
        img = snap(GUIDE, 30.0)[0]
        ix, iy = int(round(x)), int(round(y))
        box = img[iy - r - 15:iy + r + 16, ix - r - 15:ix + r + 16]
        light = box - level(box[np.hypot(xx, yy) > r + 3])
        light = light[15:-15, 15:-15]
        hfd[steps] = half_flux_diameter(light, r)
        blur[steps] = steps * 2.0 / (500 / 100) / 3.75
    slope = (hfd[450] - hfd[250]) / (blur[450] - blur[250])
    assert slope == pytest.approx(math.sqrt((1 + obstruction ** 2) / 2), rel=0.1)
    # the pupil's middle: lit through a lens, the secondary's shadow behind a mirror
    yy, xx = np.mgrid[-r:r + 1, -r:r + 1]
    radius = np.hypot(xx, yy)
    inner, ring = level(light[radius < 3]), level(light[np.abs(radius - 0.4 * blur[450]) < 1.5])
    assert (inner / ring > 0.75) if obstruction == 0 else (inner / ring < 0.25)


def test_long_trails_and_wide_rings_are_continuous(still_mount):
    # 64 images of a 160 px ring or a 190 px trail would be beads a few pixels apart
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 2.0)
    x, y = bright_isolated(wcs, img.shape, mag_limit=10.5, margin=220, isolation=40)[0]
    ix, iy = int(round(x)), int(round(y))
    orxsim.set_optics(GUIDE, focus=5000 + 1500, obstruction=0.9)  # a thin annulus, 160 px across
    ring_img = snap(GUIDE, 20.0)[0]
    yy, xx = np.mgrid[0:960, 0:1280]
    angle = np.arctan2(yy - iy, xx - ix)
    on_rim = np.abs(np.hypot(xx - ix, yy - iy) - 0.95 * 80) < 2
    sectors = [level(ring_img[on_rim & (np.abs(angle - a) < 0.05)]) for a in np.linspace(-3, 3, 40)]
    bg = level(ring_img[np.hypot(xx - ix, yy - iy) > 100])
    sectors = np.array(sectors) - bg
    assert sectors.min() > 0.6 * sectors.max()
    # a trail along Dec: the mount drifting 38 arc-seconds per second for 8 s (~200 px)
    orxsim.set_optics(GUIDE, focus=5000, obstruction=0)
    orxsim.set_scene(polar_drift=2300)
    trail = snap(GUIDE, 8.0)[0]
    cols = trail[:, ix - 4:ix + 5]
    profile = cols.max(axis=1) - level(cols.ravel())
    # the longest lit run of rows (another star may cross the strip)
    lit = np.r_[False, profile > 0.3 * profile.max(), False].astype(int)
    edges = np.flatnonzero(np.diff(lit))
    start, end = max(zip(edges[::2], edges[1::2]), key=lambda e: e[1] - e[0])
    assert end - start > 150
    inside = profile[start + 10:end - 10]
    assert np.percentile(inside, 5) > 0.6 * np.percentile(inside, 95)


def test_stars_far_apart_wander_partly_on_their_own(still_mount):
    # real tilt decorrelates over arc-minutes: averaging 9 guide stars across the field
    # cut the rms from 0.45" to 0.21" where a rigid wander would gain nothing (ratio 1)
    # and stars wandering each on their own would gain 3; the air's share of it common
    # to the field (0.16 of the variance) makes it 1 / sqrt(0.16 + 0.84 / 9) = 1.99
    orxsim.set_scene(wander=1.0, wander_time=0.5)
    orxsim.set_optics(GUIDE, focal_length=250, aperture=150)  # a field of 1.1 x 0.8 degrees
    still_mount(GUIDE, 1280, 960)
    img, wcs = snap(GUIDE, 0.2)
    stars = bright_isolated(wcs, img.shape, mag_limit=12, margin=30, isolation=12)[:24]
    assert len(stars) >= 18
    tracks = []
    for _ in range(100):  # frames far apart in the air's time
        img, _ = snap(GUIDE, 0.2)
        tracks.append([centroid(img, x, y) for x, y in stars])
        wait_until(orxsim.sim_time() + 3.0)
    # the rms of nine stars' mean, over every choice of nine of the field's stars (each
    # choice alone depends on how its few stars lie across the air's waves), on both axes
    one, nine = [], []
    for axis in (0, 1):
        cov = np.cov(np.array(tracks)[:, :, axis].T)  # between stars, over the frames
        n = len(stars)
        var, covar = np.diag(cov).mean(), (cov.sum() - np.trace(cov)) / (n * (n - 1))
        one.append(var)
        nine.append((var + 8 * covar) / 9)
    assert math.sqrt(sum(one) / sum(nine)) == pytest.approx(1.99, rel=0.2)


@pytest.mark.parametrize("start, pattern", [((0, 0), "RGGB"), ((0, 1), "GBRG"), ((1, 0), "GRBG"), ((1, 1), "BGGR")])
def test_a_region_delivers_the_mosaic_of_where_it_starts(still_mount, start, pattern):
    # red made bright and blue dark by the white balance: each of the four phases of the
    # delivered mosaic shows the filter of the photosite it came from
    orxsim.set_scene(sky_brightness=17)
    still_mount(PLANETARY, 64, 64, 1, start)
    orx.set_control_value(PLANETARY, orx.ControlType.ORX_WB_R, 99, False)
    orx.set_control_value(PLANETARY, orx.ControlType.ORX_WB_B, 1, False)
    img = snap(PLANETARY, 2.0)[0]
    phases = {(dy, dx): level(img[dy::2, dx::2].ravel()) for dy in (0, 1) for dx in (0, 1)}
    order = sorted(phases, key=phases.get)  # blue, green, green, red
    got = {order[0]: "B", order[1]: "G", order[2]: "G", order[3]: "R"}
    assert "".join(got[p] for p in ((0, 0), (0, 1), (1, 0), (1, 1))) == pattern
