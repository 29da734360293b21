"""The camera layer the front ends share: Bayer phase of delivered frames,
FITS headers and files written whole under names never reused."""
import itertools
import multiprocessing
import os
import time

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")

import orx  # noqa: E402
import orxsim  # noqa: E402
from orxdevice import bayer  # noqa: E402
from orxdevice import fits as orxfits  # noqa: E402

Ctl = orx.ControlType


@pytest.fixture
def fast_clock():
    before = orxsim.time_scale()
    orxsim.set_time_scale(0.001)
    yield
    orxsim.set_time_scale(before)


@pytest.fixture
def opened(fast_clock):
    opened = []

    def open_(index):
        cam = orx.get_camera_property(index).camera_id
        orx.open_camera(cam)
        opened.append(cam)
        orx.init_camera(cam)
        return cam

    yield open_
    for cam in opened:
        orx.close_camera(cam)


def expose(cam, dark=False):
    """The frame of the current region (RAW8 or RAW16) as an array."""
    width, height, _bin, img_type = orx.get_roi_format(cam)
    orx.start_exposure(cam, dark)
    while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
        time.sleep(0.0005)
    assert orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_SUCCESS
    dtype = "<u2" if img_type == orx.ImgType.IMG_RAW16 else np.uint8
    return np.frombuffer(orx.get_data_after_exp(cam, width * height * np.dtype(dtype).itemsize),
                         dtype).reshape(height, width)


def test_bayer_phase_is_that_of_the_delivered_pixels(opened):
    """Red made far stronger than blue by the white balance, the brightest of
    the four pixels of each 2x2 cell is red and the faintest blue: read off
    the frames, the pattern must be what bayer.from_camera says, for regions
    starting on even and odd columns and rows, binned or not, flipped or not."""
    cam = opened(0)
    orx.set_control_value(cam, Ctl.ORX_WB_R, 99, False)
    orx.set_control_value(cam, Ctl.ORX_WB_B, 1, False)
    orx.set_control_value(cam, Ctl.ORX_EXPOSURE, 5_000_000, False)
    seen = set()
    for bin_, sx, sy, flip in itertools.product((1, 2), (10, 11), (10, 11), range(4)):
        orx.set_roi_format(cam, 64, 64, bin_, orx.ImgType.IMG_RAW16)
        orx.set_start_pos(cam, sx, sy)
        orx.set_control_value(cam, Ctl.ORX_FLIP, flip, False)
        img = expose(cam).astype(np.float64)
        means = [img[r::2, c::2].mean() for r in (0, 1) for c in (0, 1)]
        measured = "".join("R" if m == max(means) else "B" if m == min(means) else "G" for m in means)
        assert bayer.from_camera(cam) == measured, (bin_, sx, sy, flip)
        seen.add(measured)
    assert seen == set(bayer.NAMES)
    orx.set_roi_format(cam, 64, 64, 1, orx.ImgType.IMG_RGB24)
    assert bayer.from_camera(cam) is None  # demosaiced: no pattern
    assert bayer.from_camera(opened(1)) is None  # mono


@pytest.mark.parametrize("args, expected", [
    (("RGGB", 0, 0), "RGGB"),
    (("BGGR", 1, 0), "GBRG"),
    ((orx.BayerPattern.BAYER_GR, 3, 5), "GBRG"),
    # an odd width mirrored starts on the same column parity as the region
    (("RGGB", 0, 0, dict(width=5, height=4, flip=1)), "RGGB"),
    (("RGGB", 0, 0, dict(width=6, height=5, flip=3)), "GRBG"),
])
def test_bayer_table(args, expected):
    kw = args[3] if len(args) == 4 else {}
    assert bayer.delivered(*args[:3], **kw) == expected
    assert bayer.offsets(expected) == {"RGGB": (0, 0), "GRBG": (1, 0), "GBRG": (0, 1), "BGGR": (1, 1)}[expected]


@pytest.mark.parametrize("bad", ["RGBG", 4, -1])
def test_bayer_unknown_patterns_are_refused(bad):
    with pytest.raises(ValueError):
        bayer.name_of(bad)
    with pytest.raises(ValueError, match="width and height"):
        bayer.delivered("RGGB", flip=1)


def photon_transfer(cam):
    """Electrons per ADU measured: the signal over its shot-noise variance, both
    from two light and two dark frames (their differences cancel the fixed pattern)."""
    light = [expose(cam).astype(np.float64) for _ in range(2)]
    dark = [expose(cam, dark=True).astype(np.float64) for _ in range(2)]
    signal = (light[0] + light[1] - dark[0] - dark[1]).mean() / 2
    variance = (np.var(light[0] - light[1]) - np.var(dark[0] - dark[1])) / 2
    return signal / variance


@pytest.mark.parametrize("index, img_type, gain, bin_, seconds", [
    (1, orx.ImgType.IMG_RAW16, 0, 1, 60),
    (1, orx.ImgType.IMG_RAW8, 100, 1, 300),  # fewer bits: each ADU holds more electrons
    (1, orx.ImgType.IMG_RAW16, 60, 2, 60),  # mono binning sums
    (0, orx.ImgType.IMG_RAW16, 100, 2, 60),  # colour binning averages
])
def test_egain_matches_the_measured_photon_transfer(opened, index, img_type, gain, bin_, seconds):
    cam = opened(index)
    orxsim.set_scene(enabled=False)
    try:
        orx.set_roi_format(cam, 256, 256, bin_, img_type)
        orx.set_control_value(cam, Ctl.ORX_GAIN, gain, False)
        if index == 0:  # the white balance scales red and blue values: kept neutral
            orx.set_control_value(cam, Ctl.ORX_WB_R, 50, False)
            orx.set_control_value(cam, Ctl.ORX_WB_B, 50, False)
        orx.set_control_value(cam, Ctl.ORX_EXPOSURE, seconds * 1_000_000, False)
        measured = photon_transfer(cam)
        facts = orxfits.camera_facts(cam)
    finally:
        orxsim.reset()
    assert facts["egain"] == pytest.approx(measured, rel=0.15), facts



@pytest.mark.parametrize("degrees, hours, text", [
    (83.8, True, "05 35 12.00"),
    (359.999999, True, "00 00 00.00"),  # rounds up to a whole day
    (-15.0, True, "23 00 00.00"),
    (-5.4, False, "-05 24 00.0"),
    (-0.5, False, "-00 30 00.0"),  # the sign of a Dec above -1 degree kept
    (89.99999, False, "+90 00 00.0"),
])
def test_sexagesimal(degrees, hours, text):
    assert orxfits.sexagesimal(degrees, hours) == text


def test_header_leaves_out_what_is_not_known():
    import datetime as dt

    start = dt.datetime(2026, 12, 7, 22, 0, 1, 500000, tzinfo=dt.timezone(dt.timedelta(hours=1)))
    h = orxfits.frame_header(date_obs=start, exposure_s=2, gain=100, egain=0.25, set_temp=-10, focal_length_mm=400,
                             aperture_mm=80, ra_deg=83.8, dec_deg=-5.4, object_name="M42", telescope="80/400",
                             bayer_pattern=orx.BayerPattern.BAYER_GB, wcs={"CTYPE1": "RA---TAN"})
    assert h["DATE-OBS"] == "2026-12-07T21:00:01.500000"  # in UTC
    assert (h["EXPTIME"], h["GAIN"], h["EGAIN"], h["SET-TEMP"], h["FOCALLEN"], h["APTDIA"]) == (2.0, 100, 0.25, -10,
                                                                                                 400, 80)
    assert (h["OBJCTRA"], h["OBJCTDEC"], h["OBJECT"], h["TELESCOP"]) == ("05 35 12.00", "-05 24 00.0", "M42", "80/400")
    assert h["BAYERPAT"] == "GBRG" and h["CTYPE1"] == "RA---TAN"
    bare = orxfits.frame_header(date_obs=start, exposure_s=1)
    assert not {"GAIN", "EGAIN", "SET-TEMP", "FOCALLEN", "OBJCTRA", "OBJECT", "BAYERPAT", "CTYPE1"} & set(bare)


def whole_fits(path):
    with fits.open(path) as hdul:
        return hdul[0].data.copy()


def test_write_new_never_reuses_a_name_and_moves_files_together(tmp_path):
    image = np.arange(12, dtype=np.uint16).reshape(3, 4)
    writers = {".fits": orxfits.fits_writer(image, fits.Header()), ".txt": lambda f: f.write(b"note")}
    (tmp_path / "s.txt").write_bytes(b"old")  # a lone file of the first stem
    (tmp_path / "s_2.fits").write_bytes(b"old")
    first = orxfits.write_new(tmp_path, "s", writers)
    second = orxfits.write_new(tmp_path, "s", writers)
    assert [p.name for p in first + second] == ["s_3.fits", "s_3.txt", "s_4.fits", "s_4.txt"]
    assert (tmp_path / "s.txt").read_bytes() == (tmp_path / "s_2.fits").read_bytes() == b"old"
    assert not (tmp_path / "s.fits").exists()  # given back when its partner's name was taken
    assert np.array_equal(whole_fits(first[0]), image)
    assert not list(tmp_path.glob(".*"))  # no temporary file left


@pytest.mark.parametrize("error", [KeyboardInterrupt, OSError])
def test_write_new_interrupted_leaves_nothing(tmp_path, error):
    def fails(f):
        f.write(b"x" * 1000)
        raise error()

    with pytest.raises(error):
        orxfits.write_new(tmp_path, "s", {".fits": lambda f: f.write(b"whole"), ".png": fails})
    assert list(tmp_path.iterdir()) == []


def _write_many(folder, stem, tag, count):
    for _ in range(count):
        orxfits.write_new(folder, stem, {".a": lambda f: f.write(tag * 5000), ".b": lambda f: f.write(tag)})


def test_processes_writing_the_same_names_keep_every_file(tmp_path):
    tags = [bytes([65 + i]) for i in range(4)]
    ctx = multiprocessing.get_context("fork")
    procs = [ctx.Process(target=_write_many, args=(tmp_path, "s", tag, 10)) for tag in tags]
    for p in procs:
        p.start()
    for p in procs:
        p.join(120)
        assert p.exitcode == 0
    stems = {p.stem for p in tmp_path.iterdir()}
    assert len(stems) == 40 and len(list(tmp_path.iterdir())) == 80
    for stem in stems:  # each pair written by one process, whole
        a, b = (tmp_path / f"{stem}.a").read_bytes(), (tmp_path / f"{stem}.b").read_bytes()
        assert len(b) == 1 and a == b * 5000


def test_check_folder(tmp_path):
    (tmp_path / "file").write_text("")
    assert orxfits.check_folder(tmp_path / "new" / "deeper") is None and (tmp_path / "new" / "deeper").is_dir()
    assert orxfits.check_folder(tmp_path / "file") == f"{tmp_path / 'file'} is not a folder"
    assert orxfits.check_folder(tmp_path / "file" / "sub").startswith(f"cannot create {tmp_path / 'file' / 'sub'}: ")
    if os.geteuid() != 0:  # root writes anywhere
        (tmp_path / "ro").mkdir(mode=0o500)
        assert orxfits.check_folder(tmp_path / "ro").startswith("cannot write in ")
    assert list(tmp_path.glob("**/.*")) == []
