"""The examples, run as a user runs them, against the simulated cameras on a fast clock.

Needs the "examples" extra (numpy, astropy, Pillow, tqdm); skipped without it.
"""
import datetime as dt
import os
import pathlib
import re
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("tqdm")

import orx  # noqa: E402
import orxsim  # noqa: E402
from skyhelp import pulse_motion  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
FAST = ["--time-scale", "0.01"]


def run(script, *args, cwd, ok=True):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    env.pop("ORXSIM_TIME_SCALE", None)
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)
    if ok:
        assert proc.returncode == 0, proc.stderr
    return proc


def default_control(cam, ctype):
    orx.open_camera(cam)
    try:
        caps = [orx.get_control_caps(cam, i) for i in range(orx.get_num_of_controls(cam))]
    finally:
        orx.close_camera(cam)
    return next(c.default_value for c in caps if c.control_type == ctype)


@pytest.mark.parametrize("script", ["snapshot.py", "video.py", "guide.py"])
def test_help(script, tmp_path):
    out = run(script, "--help", cwd=tmp_path).stdout
    assert out.startswith("usage:") and "--time-scale" in out and "--camera" in out


def stars_in(image):
    """Pixels far above the background: the image is a star field, not noise or a constant."""
    median = np.median(image)
    spread = np.median(np.abs(image - median)) + 1
    return int(np.count_nonzero(image > median + 20 * spread))


SNAPSHOTS = {
    # arguments: (camera index, shape, EXPTIME, binning, gain or None for the default, Bayer pattern)
    "defaults": ([], (0, (4176, 6248), 5.0, 1, None, "RGGB")),
    # the guide camera's field of the default sky is sparse: 8 s show its stars in 8 bits
    "mono binned RAW8": (["-c", "1", "-b", "2", "-f", "RAW8", "-e", "8", "-g", "60"],
                         (1, (480, 640), 8.0, 2, 60, None)),
    "colour RGB24 with ROI": (["-c", "2", "-f", "RGB24", "--roi", "800", "600", "-e", "5", "-g", "250"],
                              (2, (3, 600, 800), 5.0, 1, 250, None)),
    "colour binned RAW16": (["-b", "3", "-e", "10", "--offset", "20"],
                            (0, (1392, 2080), 10.0, 3, None, "RGGB")),
}


@pytest.mark.parametrize("case", SNAPSHOTS)
def test_snapshot_writes_fits_and_png(case, tmp_path):
    args, (index, shape, exptime, binning, gain, bayer) = SNAPSHOTS[case]
    before = dt.datetime.now(dt.timezone.utc).replace(tzinfo=None)
    out = run("snapshot.py", "-o", str(tmp_path / "out"), *FAST, *args, cwd=tmp_path).stdout
    info = orx.get_camera_property(index)
    assert info.name in out and "[2] ORX Sim P290MC" in out  # the camera list
    [fits_path] = (tmp_path / "out").glob("*.fits")
    [png_path] = (tmp_path / "out").glob("*.png")

    with fits.open(fits_path) as hdul:
        header, data = hdul[0].header, hdul[0].data
    assert header["INSTRUME"] == info.name
    assert header["EXPTIME"] == exptime
    assert header["XBINNING"] == header["YBINNING"] == binning
    assert header["GAIN"] == (gain if gain is not None else default_control(info.camera_id, orx.ControlType.ORX_GAIN))
    expected_offset = 20 if "--offset" in args else default_control(info.camera_id, orx.ControlType.ORX_OFFSET)
    assert header["OFFSET"] == expected_offset
    assert -50 < header["CCD-TEMP"] < 60
    assert header.get("BAYERPAT") == bayer
    started = dt.datetime.fromisoformat(header["DATE-OBS"])
    assert before - dt.timedelta(seconds=1) <= started <= dt.datetime.now(dt.timezone.utc).replace(tzinfo=None)
    assert data.shape == shape
    assert data.dtype == (np.uint8 if "RAW8" in args or "RGB24" in args else np.uint16)
    assert data.min() < data.max()
    assert stars_in(data.astype(np.float64)) > 20

    with Image.open(png_path) as png:
        png.load()
        assert max(png.size) <= 2048
        assert png.size[0] / png.size[1] == pytest.approx(shape[-1] / shape[-2], rel=0.02)
        assert png.mode == ("L" if index == 1 else "RGB")
        grey = np.asarray(png.convert("L"))
        assert np.median(grey) < 100 and grey.max() >= 200  # stretched: dark sky, bright stars


def test_snapshot_on_the_simulated_sky_carries_its_wcs(tmp_path):
    import orxsim
    from astropy.wcs import WCS

    run("snapshot.py", "-o", str(tmp_path), *FAST, "-c", "1", "-e", "2", "--sky", "100", "40", cwd=tmp_path)
    [fits_path] = tmp_path.glob("*.fits")
    with fits.open(fits_path) as hdul:
        header, data = hdul[0].header, hdul[0].data.astype(np.float64)
    wcs = WCS(header)
    assert header["CTYPE1"] == "RA---TAN" and wcs.wcs.crval == pytest.approx([100, 40], abs=0.01)
    # the catalogue's bright stars (the same seeded sky in this process) lie on the frame's stars
    stars = np.array(orxsim.sky_stars(100, 40, 0.4, 11.5))
    x, y = wcs.all_world2pix(stars[:, 0], stars[:, 1], 0)
    inside = (x > 5) & (x < data.shape[1] - 5) & (y > 5) & (y < data.shape[0] - 5)
    assert inside.sum() >= 2
    for xi, yi in zip(x[inside], y[inside]):
        box = data[int(yi) - 3:int(yi) + 4, int(xi) - 3:int(xi) + 4]
        peak_y, peak_x = np.unravel_index(np.argmax(box), box.shape)
        assert abs(int(xi) - 3 + peak_x - xi) <= 1.5 and abs(int(yi) - 3 + peak_y - yi) <= 1.5


def test_guide_calibrates_then_guides_out_the_periodic_error(tmp_path):
    out = run("guide.py", *FAST, "--sky", "100", "40", "--guide", "240", cwd=tmp_path).stdout
    found = {k: float(v) for k, v in re.findall(r"^(unguided|guided): +\d+ frames, RMS ([\d.]+) px", out, re.M)}
    assert set(found) == {"unguided", "guided"}, out
    # 4" of periodic error over 8 minutes and 0.5"/min of drift unguided, against seeing's wander guided
    assert found["guided"] < 0.5 * found["unguided"], out


def test_snapshot_dark_frame_has_no_stars(tmp_path):
    run("snapshot.py", "-o", str(tmp_path), *FAST, "-c", "1", "--dark", "-e", "2", cwd=tmp_path)
    [fits_path] = tmp_path.glob("*.fits")
    with fits.open(fits_path) as hdul:
        assert hdul[0].header["IMAGETYP"] == "Dark Frame"
        assert stars_in(hdul[0].data.astype(np.float64)) < 20  # hot pixels only


# (script, arguments, what the message says): options checked before anything
# is done answer with argparse's usage error (exit status 2)
USAGE_ERRORS = [
    ("snapshot.py", ["-c", "7"], "--camera: no camera with index 7 (3 connected)"),
    ("video.py", ["-c", "-1"], "--camera: no camera with index -1 (3 connected)"),
    ("guide.py", ["-c", "0"], "--camera: ORX Sim C6200MC Pro has no guide port"),
    ("snapshot.py", ["-f", "RAW12"], "argument -f/--format: invalid choice: 'RAW12'"),
    ("snapshot.py", ["--sky", "10", "100"], "--sky: the simulator rejected scene dec=100.0"),
    ("guide.py", ["--guide", "60", "-d", "west", "east"], "--guide: the calibration needs west and north among"),
    # exposure: beyond the camera's range (and beyond 32 bits of microseconds), not positive, not a number
    ("snapshot.py", ["--exposure", "3000"], "--exposure 3000: the camera takes 3.2e-05 to 2000 s"),
    ("guide.py", ["--exposure", "3000"], "--exposure 3000: the camera takes 3.2e-05 to 2000 s"),
    ("video.py", ["--exposure", "3000000"], "--exposure 3e+06: the camera takes 0.032 to 2e+06 ms"),
    ("snapshot.py", ["--exposure", "0"], "argument -e/--exposure: 0 must be greater than 0"),
    ("video.py", ["--exposure", "nan"], "argument -e/--exposure: 'nan' is not a finite number"),
    ("guide.py", ["--exposure", "two"], "argument -e/--exposure: 'two' is not a number"),
    # binning: zero, or a factor the camera lacks
    ("snapshot.py", ["--bin", "0"], "argument -b/--bin: 0 must be at least 1"),
    ("video.py", ["--bin", "0"], "argument -b/--bin: 0 must be at least 1"),
    ("snapshot.py", ["-c", "1", "--bin", "3"], "--bin 3: ORX Sim G120MM Mini bins by 1, 2"),
    # the simulated clock: zero, negative, beyond what the simulator takes
    ("snapshot.py", ["--time-scale", "0"], "argument --time-scale: 0 must be greater than 0"),
    ("video.py", ["--time-scale", "-1"], "argument --time-scale: -1 must be greater than 0"),
    ("guide.py", ["--time-scale", "1e9"], "--time-scale: the time scale must be in 0.0001..10000"),
    # controls outside the camera's range
    ("snapshot.py", ["--gain", "9999"], "--gain 9999: the camera takes 0 to 570"),
    ("snapshot.py", ["--offset", "-5"], "--offset -5: the camera takes 0 to 200"),
    ("video.py", ["-c", "1", "--gain", "101"], "--gain 101: the camera takes 0 to 100"),
    # sizes and counts
    ("snapshot.py", ["--roi", "0", "10"], "argument --roi: 0 must be at least 1"),
    ("video.py", ["--seconds", "0"], "argument -s/--seconds: 0 must be greater than 0"),
    ("video.py", ["--frames", "0"], "argument -n/--frames: 0 must be at least 1"),
    ("guide.py", ["--pulse", "0"], "argument -p/--pulse: 0 must be greater than 0"),
    ("guide.py", ["--pulse", "1e9"], "argument -p/--pulse: 1e9 must be at most 3.6e+06"),
]


@pytest.mark.parametrize("script,args,message", USAGE_ERRORS)
def test_bad_options_answer_with_a_usage_error(script, args, message, tmp_path):
    proc = run(script, *FAST, *args, cwd=tmp_path, ok=False)
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.startswith("usage: ") and f"error: {message}" in proc.stderr
    assert "Traceback" not in proc.stderr
    assert list(tmp_path.rglob("*.fits")) == []


# what the camera refuses ends with the library's status, named and explained
@pytest.mark.parametrize("script,args,message", [
    ("snapshot.py", ["-c", "1", "-f", "RGB24"], "ORXInvalidImageType: Unsupported image format."),
    ("video.py", ["--roi", "641", "480"], "ORXInvalidSize: Invalid video format size."),
])
def test_camera_refusals_end_with_the_status(script, args, message, tmp_path):
    proc = run(script, *FAST, *args, cwd=tmp_path, ok=False)
    assert proc.returncode == 1 and proc.stderr.strip().endswith(message)
    assert "Traceback" not in proc.stderr


@pytest.fixture
def snapshot_module(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import snapshot

    return snapshot


@pytest.mark.parametrize("taken, expected", [
    ([], "cam_1"),
    (["cam_1.fits"], "cam_1_2"),
    (["cam_1.png"], "cam_1_2"),  # a lone preview left behind is kept too
    (["cam_1.fits", "cam_1.png", "cam_1_2.fits"], "cam_1_3"),
])
def test_snapshot_names_are_never_reused(snapshot_module, tmp_path, taken, expected):
    for name in taken:
        (tmp_path / name).write_bytes(b"old")
    paths = snapshot_module.claim_pair(tmp_path, "cam_1")
    assert paths == (tmp_path / f"{expected}.fits", tmp_path / f"{expected}.png")
    assert all((tmp_path / name).read_bytes() == b"old" for name in taken)
    assert (tmp_path / f"{expected}.fits").read_bytes() == (tmp_path / f"{expected}.png").read_bytes() == b""


def test_two_snapshots_in_one_second_keep_both(snapshot_module, tmp_path, monkeypatch):
    frozen = dt.datetime(2026, 12, 7, 21, 30, 5, tzinfo=dt.timezone.utc)

    class Clock(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return frozen

    monkeypatch.setattr(snapshot_module, "dt", type("dt", (), {"datetime": Clock, "timezone": dt.timezone}))
    first = snapshot_module.main(["-o", str(tmp_path), *FAST, "-c", "1", "-e", "0.5", "-g", "10"])
    second = snapshot_module.main(["-o", str(tmp_path), *FAST, "-c", "1", "-e", "0.5", "-g", "90"])
    assert [p.name for p in first] == ["ORX_Sim_G120MM_Mini_20261207T213005.fits",
                                       "ORX_Sim_G120MM_Mini_20261207T213005.png"]
    assert [p.name for p in second] == ["ORX_Sim_G120MM_Mini_20261207T213005_2.fits",
                                        "ORX_Sim_G120MM_Mini_20261207T213005_2.png"]
    gains = [fits.getheader(p[0])["GAIN"] for p in (first, second)]
    assert gains == [10, 90]


def test_video_counts_frames_and_saves_the_last(tmp_path):
    out = run("video.py", *FAST, "-n", "40", "-e", "2000", "-g", "300", "-o", str(tmp_path), cwd=tmp_path).stdout
    summary = re.search(r"frames=(\d+) dropped=(\d+) seconds=([\d.]+) fps=([\d.]+)", out)
    assert summary, out
    frames, dropped, seconds, fps = int(summary[1]), int(summary[2]), float(summary[3]), float(summary[4])
    assert frames == 40 and dropped >= 0 and fps == pytest.approx(frames / seconds, rel=0.05)
    with Image.open(tmp_path / "last_frame.png") as png:
        assert png.size == (640, 480)
        preview = np.asarray(png, dtype=np.float64)
    # RAW8 frames of faint stars (the raw values span a few levels above the
    # sky) are stretched so the stars show and the sky stays dark, not noise
    assert stars_in(preview) > 5
    assert np.median(preview) < 30 and preview.max() >= 200
    assert np.count_nonzero(preview > 128) < 0.01 * preview.size


def test_video_runs_for_a_time(tmp_path):
    proc = run("video.py", *FAST, "-c", "2", "-f", "RGB24", "-s", "0.5", cwd=tmp_path)
    frames = int(re.search(r"frames=(\d+)", proc.stdout)[1])
    assert frames > 5
    assert "fps=" in proc.stderr  # the live progress line


@pytest.fixture
def motion():
    """Pixels per camera second that a pulse in each direction moves the guide
    camera's stars under the default night sky (the examples run in a fresh
    process, with the same defaults), through the WCS of a frame made here."""
    cam = orx.get_camera_property(1).camera_id
    orx.open_camera(cam)
    try:
        orx.init_camera(cam)
        orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, 1000, False)
        orx.start_exposure(cam, False)
        while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
            time.sleep(0.001)
        wcs = orxsim.wcs(cam)
    finally:
        orx.close_camera(cam)
    return pulse_motion(wcs)


def test_guide_measures_the_pulses_then_guides(tmp_path, motion):
    out = run("guide.py", *FAST, "-d", "west", "north", "east", "south", cwd=tmp_path).stdout
    assert "ORX Sim G120MM Mini: guide star at" in out
    moves = re.findall(r"pulse (\w+) +([\d.]+) ms: shift dx=([-+\d.]+) dy=([-+\d.]+) px", out)
    assert [m[0] for m in moves] == ["west", "north", "east", "south"]
    for name, ms, dx, dy in moves:
        want = motion[name] * float(ms) / 1000
        unit = want / np.hypot(*want)
        got = np.array([float(dx), float(dy)])
        # each pulse on its own, give or take what the mount's periodic error (up to 0.03 px
        # a second) and seeing's wander (about 0.1 px) did between the frames around it;
        # leaving out cos(dec) would be 13 % off, a calibration turned by 5 degrees 0.9 px across
        assert got @ unit == pytest.approx(np.hypot(*want), rel=0.08), (name, got, want)
        assert abs(got @ [-unit[1], unit[0]]) < 0.6, (name, got, want)
    # the default goes on to guide with that calibration
    assert re.search(r"^unguided: +\d+ frames, RMS [\d.]+ px", out, re.M), out
    assert re.search(r"^guided: +\d+ frames, RMS [\d.]+ px", out, re.M), out


@pytest.fixture
def guide_star(tmp_path_factory, motion):
    """Where guide.py finds its star, and how far each direction's pulse has room
    before the star reaches the part of the frame it searches (guide.MARGIN)."""
    out = run("guide.py", *FAST, "-d", "west", "--guide", "0", cwd=tmp_path_factory.mktemp("guide")).stdout
    x, y = map(float, re.search(r"guide star at x=([\d.]+) y=([\d.]+)", out).groups())
    info = orx.get_camera_property(1)
    width, height, margin = info.max_width, info.max_height, 32
    room = {}
    for name, (vx, vy) in motion.items():
        # the axis the pulse moves the star along, toward the edge it moves to
        room[name] = (width - margin - x if vx > 0 else x - margin) if abs(vx) > abs(vy) else \
            (height - margin - y if vy > 0 else y - margin)
    return room


@pytest.mark.parametrize("case", ["followed", "left the frame", "field lost"])
def test_guide_follows_long_pulses_or_says_where_the_star_went(tmp_path, guide_star, motion, case):
    speed = {name: float(np.hypot(*v)) for name, v in motion.items()}
    if case == "followed":  # 30 s: over 100 px, well past the window a star is measured in
        direction, pulse_ms = max(guide_star, key=guide_star.get), 30_000
    elif case == "left the frame":  # just past the nearest edge: the frames still overlap by half or more
        direction = min(guide_star, key=guide_star.get)
        pulse_ms = (guide_star[direction] + 20) / speed[direction] * 1000
    else:  # further than the frame is high: the two frames share no stars
        direction, pulse_ms = "south", 600_000
    proc = run("guide.py", *FAST, "-d", direction, "--pulse", str(pulse_ms), "--guide", "0", cwd=tmp_path, ok=False)
    assert "Traceback" not in proc.stderr
    if case != "followed":
        expected = {"left the frame": f"pulse {direction}: the guide star left the frame (the field moved by ",
                    "field lost": "pulse south: lost the star field, the pulse moved it out of the frame"}[case]
        assert proc.returncode == 1 and expected in proc.stderr, proc.stderr
        return
    assert proc.returncode == 0, proc.stderr
    ms, dx, dy, rate = map(float, re.search(
        r"([\d.]+) ms: shift dx=([-+\d.]+) dy=([-+\d.]+) px, rate ([\d.]+) px/s", proc.stdout).groups())
    want = motion[direction] * ms / 1000
    unit = want / np.hypot(*want)
    along, across = np.array([dx, dy]) @ unit, np.array([dx, dy]) @ [-unit[1], unit[0]]
    assert along == pytest.approx(np.hypot(*want), rel=0.03) and along > 55
    assert abs(across) < 0.5
