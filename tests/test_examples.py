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
    # bin 3: 2082 binned columns, the centred 2080 start on column 1, a green pixel
    "colour binned RAW16": (["-b", "3", "-e", "10", "--offset", "20"],
                            (0, (1392, 2080), 10.0, 3, None, "GRBG")),
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


def test_snapshot_header_carries_what_processing_software_looks_for(tmp_path):
    # a centred 1000x1002 region of the colour camera starts on an odd row: its first pixels are G, B
    run("snapshot.py", "-o", str(tmp_path), *FAST, "--roi", "1000", "1002", "-e", "1", "-g", "200", "--set-temp", "-10",
        "--object", "M42", "--telescope", "80/500", "--pointing", "83.82", "-5.39", "--aperture", "80", cwd=tmp_path)
    [fits_path] = tmp_path.glob("*.fits")
    header = fits.getheader(fits_path)
    info = orx.get_camera_property(0)
    assert header["BAYERPAT"] == "GBRG"
    assert header["EGAIN"] == pytest.approx(info.elec_per_adu / 10 ** (200 / 200) / 4, rel=1e-4)  # 14 bits in 16
    assert (header["SET-TEMP"], header["OBJECT"], header["TELESCOP"]) == (-10, "M42", "80/500")
    assert (header["OBJCTRA"], header["OBJCTDEC"]) == ("05 35 16.80", "-05 23 24.0")
    # the option wins over the simulated optics; what is not given comes from them
    assert header["APTDIA"] == 80 and header["FOCALLEN"] == orxsim.optics(info.camera_id)["focal_length"]


def test_snapshot_checks_the_output_folder_before_exposing(tmp_path):
    (tmp_path / "file").write_text("")
    for folder, message in ((tmp_path / "file", f"{tmp_path / 'file'} is not a folder"),
                            (tmp_path / "file" / "sub", f"cannot create {tmp_path / 'file' / 'sub'}: ")):
        proc = run("snapshot.py", *FAST, "-o", str(folder), "-e", "600", cwd=tmp_path, ok=False)
        assert proc.returncode == 2 and "Traceback" not in proc.stderr
        last = proc.stderr.splitlines()[-1]
        assert last.startswith("snapshot.py: error: --output: ") and message in last, proc.stderr
        assert "exposing" not in proc.stderr and "exposing" not in proc.stderr and "camera library" not in proc.stdout


def interrupt(script, args, wait_for, tmp_path):
    """Runs an example until its output (stdout, then stderr) matches the
    pattern `wait_for`, then sends it Ctrl-C; (exit status, stdout, stderr)."""
    import signal

    env = dict(os.environ, PYTHONUNBUFFERED="1")
    env.pop("ORXSIM_TIME_SCALE", None)
    proc = subprocess.Popen([sys.executable, str(EXAMPLES / script), *args], cwd=tmp_path, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seen = {"out": "", "err": ""}
    stream, key = (proc.stderr, "err") if wait_for.startswith("stderr:") else (proc.stdout, "out")
    pattern = re.compile(wait_for.removeprefix("stderr:"))
    while not pattern.search(seen[key]):
        char = stream.read(1)
        assert char, seen
        seen[key] += char
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    return proc.returncode, seen["out"] + out, seen["err"] + err


@pytest.mark.parametrize("script, args, wait_for, saved", [
    ("snapshot.py", ["-c", "1", "-e", "1000", "--time-scale", "1"], r"RAW16, 1000 s", None),  # while exposing
    ("guide.py", [*FAST, "--guide", "600"], "unguided for", None),
    ("guide.py", [*FAST, "--pulse", "3000"], "calibrating", None),  # in the middle of a pulse
    ("video.py", ["-c", "1", "-e", "0.05", "-s", "600", "-o", "out"], r"stderr:video: [1-9]\d*frame",
     "out/last_frame.png"),
])
def test_ctrl_c_ends_with_one_line_saying_what_was_saved(tmp_path, script, args, wait_for, saved):
    status, out, err = interrupt(script, args, wait_for, tmp_path)
    err = err.replace("\r", "\n")  # the progress bar's updates
    assert status == 130 and "Traceback" not in err, err
    want = f"saved {saved}" if saved else "nothing saved"
    assert err.rstrip("\n").splitlines()[-1] == f"{script}: interrupted, {want}", err
    if script == "video.py":  # the summary of what was captured until then, and its last frame
        frames = int(re.search(r"^frames=(\d+) dropped=\d+", out, re.M)[1])
        assert frames >= 1
        with Image.open(tmp_path / saved) as png:
            assert png.size == (640, 480)
    if script == "guide.py":  # the guide port was let go: the mount stands still
        assert not list(tmp_path.iterdir())


# A signal whose handler runs inside a weakref's callback: its KeyboardInterrupt
# cannot leave the callback, so Python hands it to sys.unraisablehook (a
# module lock's callback in importlib is where this happens in the examples)
SIGNAL_IN_CALLBACK = r"""
import os, signal, sys, weakref
import helpers

class Thing:
    pass

def main():
    def callback(_):
        os.kill(os.getpid(), signal.SIG%s)
        for _ in range(100000):  # the handler runs here, between instructions
            pass
    thing = Thing()
    ref = weakref.ref(thing, callback)
    del thing
    assert helpers.interrupted() is not None, "the handler did not run in the callback"
    if %r:  # an unrelated failure in a callback is still reported
        weakref.ref(Thing(), lambda _: 1 / 0)

helpers.run(main)
"""


@pytest.mark.parametrize("sig, status", [("INT", 130), ("TERM", 143)])
@pytest.mark.parametrize("other_failure", [False, True])
def test_signal_in_a_callback_ends_quietly(tmp_path, sig, status, other_failure):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(EXAMPLES), *sys.path]))
    proc = subprocess.run([sys.executable, "-c", SIGNAL_IN_CALLBACK % (sig, other_failure)], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == status, proc.stderr
    assert proc.stderr.splitlines()[-1] == "-c: interrupted, nothing saved", proc.stderr
    assert ("ZeroDivisionError" in proc.stderr) == other_failure, proc.stderr
    assert ("KeyboardInterrupt" in proc.stderr) is False, proc.stderr


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
    ("video.py", ["--exposure", "3000"], "--exposure 3000: the camera takes 3.2e-05 to 2000 s"),
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
    ("guide.py", ["--pulse", "1e9"], "argument -p/--pulse: 1e9 must be at most 3600"),
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
    proc = run("video.py", *FAST, "-n", "40", "-f", "RAW8", "-e", "2", "-g", "300", "-o", str(tmp_path), cwd=tmp_path)
    out = proc.stdout
    summary = re.search(r"frames=(\d+) dropped=(\d+) seconds=([\d.]+) fps=([\d.]+)", out)
    assert summary, out
    frames, dropped, seconds, fps = int(summary[1]), int(summary[2]), float(summary[3]), float(summary[4])
    assert frames == 40 and dropped >= 0 and fps == pytest.approx(frames / seconds, rel=0.05)
    assert "fps=" in proc.stderr  # the live progress line, updated every 10 frames
    with Image.open(tmp_path / "last_frame.png") as png:
        assert png.size == (640, 480)
        preview = np.asarray(png, dtype=np.float64)
    # RAW8 frames of faint stars (the raw values span a few levels above the
    # sky) are stretched so the stars show and the sky stays dark, not noise
    assert stars_in(preview) > 5
    assert np.median(preview) < 30 and preview.max() >= 200
    assert np.count_nonzero(preview > 128) < 0.01 * preview.size


def test_video_defaults_save_a_frame_that_shows_stars(tmp_path):
    out = run("video.py", *FAST, "-n", "3", "-o", str(tmp_path), cwd=tmp_path).stdout
    assert "1 s per frame" in out
    with Image.open(tmp_path / "last_frame.png") as png:
        preview = np.asarray(png, dtype=np.float64)
    assert preview.max() >= 200 and np.median(preview) < 30
    assert not list(tmp_path.glob(".*"))


def test_video_runs_for_a_time(tmp_path):
    # how many frames come in a wall-clock time depends on the machine's load:
    # judged are the time taken and the summary's own consistency
    proc = run("video.py", *FAST, "-c", "2", "-f", "RGB24", "-e", "0.01", "-s", "1.5", cwd=tmp_path)
    frames, dropped, seconds, fps = re.search(r"frames=(\d+) dropped=(\d+) seconds=([\d.]+) fps=([\d.]+)",
                                              proc.stdout).groups()
    assert float(seconds) >= 1.5 and int(dropped) >= 0
    assert float(fps) == pytest.approx(int(frames) / float(seconds), rel=0.01, abs=0.06)  # as printed, rounded


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
    moves = re.findall(r"pulse (\w+) +([\d.]+) s: shift dx=([-+\d.]+) dy=([-+\d.]+) px", out)
    assert [m[0] for m in moves] == ["west", "north", "east", "south"]
    for name, seconds, dx, dy in moves:
        want = motion[name] * float(seconds)
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
        direction, pulse_s = max(guide_star, key=guide_star.get), 30
    elif case == "left the frame":  # just past the nearest edge: the frames still overlap by half or more
        direction = min(guide_star, key=guide_star.get)
        pulse_s = (guide_star[direction] + 20) / speed[direction]
    else:  # further than the frame is high: the two frames share no stars
        direction, pulse_s = "south", 600
    proc = run("guide.py", *FAST, "-d", direction, "--pulse", str(pulse_s), "--guide", "0", cwd=tmp_path, ok=False)
    assert "Traceback" not in proc.stderr
    if case != "followed":
        expected = {"left the frame": f"pulse {direction}: the guide star left the frame (the field moved by ",
                    "field lost": "pulse south: lost the star field, the pulse moved it out of the frame"}[case]
        assert proc.returncode == 1 and expected in proc.stderr, proc.stderr
        return
    assert proc.returncode == 0, proc.stderr
    seconds, dx, dy, rate = map(float, re.search(
        r"([\d.]+) s: shift dx=([-+\d.]+) dy=([-+\d.]+) px, rate ([\d.]+) px/s", proc.stdout).groups())
    want = motion[direction] * seconds
    unit = want / np.hypot(*want)
    along, across = np.array([dx, dy]) @ unit, np.array([dx, dy]) @ [-unit[1], unit[0]]
    assert along == pytest.approx(np.hypot(*want), rel=0.03) and along > 55
    assert abs(across) < 0.5


# A process that has imported the snapshot example forks a child per try; the
# child takes snapshots one after the other (0.5 ms exposures on the fast
# clock, so its time goes to making and writing files) until a signal comes,
# sent while it writes.
ZYGOTE = r"""
import os, signal, sys
import helpers, snapshot, orxsim
orxsim.library()  # found once, as in any process past its first snapshot (the search runs Python
                  # inside a callback from C, where a KeyboardInterrupt is printed and swallowed)
args = sys.argv[1:]
for line in sys.stdin:
    err = line.strip()
    pid = os.fork()
    if pid == 0:
        fd = os.open(err, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(fd, 2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        sys.argv = ["snapshot.py"]
        def forever():  # as a single snapshot ends when a signal came
            while helpers.interrupted() is None:
                snapshot.main(args)
        try:
            helpers.run(forever)
        finally:
            sys.stderr.flush()
    print(pid, flush=True)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status), flush=True)
"""


def whole_files(folder):
    """Every file under a final name opens whole: the FITS with all its data, the PNG to its last row."""
    names = []
    for path in sorted(folder.iterdir()):
        if path.name.startswith("."):
            continue
        names.append(path)
        if path.suffix == ".fits":
            assert path.stat().st_size % 2880 == 0, path
            with fits.open(path) as hdul:
                assert hdul[0].data.shape == (240, 320) and hdul[0].header["EXPTIME"] == 0.0005, path
        else:
            with Image.open(path) as png:
                png.load()
                assert png.size == (320, 240), path
    return names


def test_snapshots_killed_while_writing_leave_only_whole_files(tmp_path):
    import random
    import select
    import signal

    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, PYTHONUNBUFFERED="1", PYTHONPATH=os.pathsep.join([str(EXAMPLES), *sys.path]))
    env.pop("ORXSIM_TIME_SCALE", None)
    zygote = subprocess.Popen([sys.executable, "-c", ZYGOTE, "-o", str(out), "-c", "1", "--roi", "320", "240", "-e", "0.0005",
                               "--time-scale", "0.001"], cwd=tmp_path, env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    rng = random.Random(23)
    tries, written, leftovers = 50, 0, 0
    try:
        for i in range(tries):
            sig = (signal.SIGINT, signal.SIGTERM, signal.SIGKILL)[i % 3]
            err = tmp_path / f"err{i}"
            zygote.stdin.write(f"{err}\n")
            zygote.stdin.flush()
            pid = int(zygote.stdout.readline())
            # once the child is writing (a temporary file is there), or every
            # other time once it has claimed a final name, a few milliseconds
            # more: the kill falls at some point of some write
            done = (lambda: any(p.name.endswith(".part") for p in out.glob(".*"))) if i % 2 else \
                (lambda: any(not p.name.startswith(".") for p in out.iterdir()))
            while not done():
                time.sleep(0.0005)
            time.sleep(rng.uniform(0, 0.02))
            os.kill(pid, sig)
            if not select.select([zygote.stdout], [], [], 120)[0]:
                os.kill(pid, signal.SIGKILL)
                pytest.fail(f"still running 120 s after {sig!r}: {err.read_text()[-2000:]}")
            status = int(zygote.stdout.readline())
            assert status == (-9 if sig == signal.SIGKILL else 128 + sig), err.read_text()
            names = whole_files(out)
            partial = list(out.glob(".*"))
            if sig == signal.SIGKILL:
                leftovers += len(partial)
                for path in partial:  # only a kill -9 leaves its temporary file, never a final name
                    assert path.name.endswith(".part")
                    path.unlink()
            else:
                assert partial == [], partial
                lines = err.read_text().splitlines()
                assert "Traceback" not in err.read_text()
                said = re.fullmatch(r"snapshot\.py: interrupted, (nothing saved|saved (.*))", lines[-1])
                assert said, lines
                listed = said[2].split(", ") if said[2] else []
                assert sorted(listed) == sorted(map(str, names)), "the line must name exactly what was saved"
            written += len(names)
            for path in names:
                path.unlink()
    finally:
        zygote.stdin.close()
        zygote.wait(60)
    # kills fell before and after files were claimed: some left whole files, some a temporary one
    print(f"{tries} kills: {written} whole files, {leftovers} temporary files left by kill -9")
    assert written > 0 and leftovers > 0, (written, leftovers)
