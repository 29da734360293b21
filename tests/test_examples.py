"""The examples, run as a user runs them, against the simulated cameras on a fast clock.

Needs the "examples" extra (numpy, astropy, Pillow, tqdm); skipped without it.
"""
import datetime as dt
import os
import pathlib
import re
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("tqdm")

import orx  # noqa: E402

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
    "mono binned RAW8": (["-c", "1", "-b", "2", "-f", "RAW8", "-e", "2", "-g", "30"],
                         (1, (480, 640), 2.0, 2, 30, None)),
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


def test_snapshot_dark_frame_has_no_stars(tmp_path):
    run("snapshot.py", "-o", str(tmp_path), *FAST, "-c", "1", "--dark", "-e", "2", cwd=tmp_path)
    [fits_path] = tmp_path.glob("*.fits")
    with fits.open(fits_path) as hdul:
        assert hdul[0].header["IMAGETYP"] == "Dark Frame"
        assert stars_in(hdul[0].data.astype(np.float64)) < 20  # hot pixels only


@pytest.mark.parametrize("script,args,message", [
    ("snapshot.py", ["-c", "7"], "no camera with index 7"),
    ("video.py", ["-c", "-1"], "no camera with index -1"),
    ("guide.py", ["-c", "0"], "has no guide port"),
    ("snapshot.py", ["-f", "RAW12"], "invalid choice"),
    ("snapshot.py", ["-c", "1", "-f", "RGB24"], "ORXInvalidImageType: Unsupported image format."),
    ("video.py", ["--roi", "641", "480"], "ORXInvalidSize"),
])
def test_bad_arguments_fail_with_a_message(script, args, message, tmp_path):
    proc = run(script, *FAST, *args, cwd=tmp_path, ok=False)
    assert proc.returncode != 0 and message in proc.stderr


def test_video_counts_frames_and_saves_the_last(tmp_path):
    out = run("video.py", *FAST, "-n", "40", "-e", "2000", "-g", "300", "-o", str(tmp_path), cwd=tmp_path).stdout
    summary = re.search(r"frames=(\d+) dropped=(\d+) seconds=([\d.]+) fps=([\d.]+)", out)
    assert summary, out
    frames, dropped, seconds, fps = int(summary[1]), int(summary[2]), float(summary[3]), float(summary[4])
    assert frames == 40 and dropped >= 0 and fps == pytest.approx(frames / seconds, rel=0.05)
    with Image.open(tmp_path / "last_frame.png") as png:
        assert png.size == (640, 480)
        assert stars_in(np.asarray(png, dtype=np.float64)) > 5


def test_video_runs_for_a_time(tmp_path):
    proc = run("video.py", *FAST, "-c", "2", "-f", "RGB24", "-s", "0.5", cwd=tmp_path)
    frames = int(re.search(r"frames=(\d+)", proc.stdout)[1])
    assert frames > 5
    assert "fps=" in proc.stderr  # the live progress line


def test_guide_measures_the_pulses(tmp_path):
    out = run("guide.py", *FAST, "-d", "west", "north", "east", "south", cwd=tmp_path).stdout
    assert "ORX Sim G120MM Mini: guide star at" in out
    moves = re.findall(r"pulse (\w+) +([\d.]+) ms: shift dx=([-+\d.]+) dy=([-+\d.]+) px", out)
    assert [m[0] for m in moves] == ["west", "north", "east", "south"]
    # unit vector of each direction in the image (x right, y down)
    expected = {"west": (1, 0), "east": (-1, 0), "north": (0, -1), "south": (0, 1)}
    rates = []
    for name, ms, dx, dy in moves:
        ex, ey = expected[name]
        along, across = float(dx) * ex + float(dy) * ey, float(dx) * ey - float(dy) * ex
        assert along > 2 and abs(across) < 0.3, (name, dx, dy)
        rates.append(along / (float(ms) / 1000))
    # every direction moves the star at the same rate
    assert max(rates) - min(rates) < 0.1 * max(rates)
