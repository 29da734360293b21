"""orxsim: what a user of the simulator's control relies on, seen through orx."""
import json
import math
import time

import pytest

import orx
import orxsim

GUIDE = 1002


def connected_names():
    return [orx.get_camera_property(i).name for i in range(orx.get_number_of_connected_cameras())]


def bright_pixels(cam, exposure_us=10_000_000, width=640, height=480):
    """Pixels of a RAW8 snapshot more than 10 ADU above the median."""
    orx.open_camera(cam)
    orx.init_camera(cam)
    orx.set_roi_format(cam, width, height, 1, orx.ImgType.IMG_RAW8)
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, exposure_us, False)
    orx.set_control_value(cam, orx.ControlType.ORX_GAIN, 100, False)
    orx.start_exposure(cam, False)
    deadline = time.monotonic() + 10
    while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
        assert time.monotonic() < deadline
        time.sleep(0.002)
    frame = orx.get_data_after_exp(cam, width * height)
    orx.close_camera(cam)
    median = sorted(frame)[len(frame) // 2]
    return sum(1 for v in frame if v > median + 10)


# ---------------------------------------------------------------- cameras --


def test_models_are_the_cameras_connected_after_reset():
    assert connected_names() == [m.name for m in orxsim.models()]
    assert orxsim.cameras() == [orx.get_camera_property(i).camera_id for i in range(3)]


@pytest.mark.parametrize("model,alias", [(m, a) for m in orxsim.models() for a in (m.name.upper(),) + m.aliases])
def test_every_model_name_and_alias_adds_that_model(model, alias):
    cam = orxsim.add_camera({"model": alias})
    assert orx.get_camera_property_by_id(cam).name == model.name


def description_forms(tmp_path):
    desc = {"model": "cooled", "name": "Wide Field", "width": 3008, "height": 2000, "pixel_size": 4.63,
            "color": False, "bins": (1, 2, 3), "formats": [orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16],
            "gps": False, "cooler": True, "st4": True}
    path = tmp_path / "wide.json"
    path.write_text(json.dumps({**desc, "bins": [1, 2, 3]}))
    return {"dict": desc, "json": json.dumps({**desc, "bins": [1, 2, 3]}), "path": path, "str path": str(path)}


@pytest.mark.parametrize("form", ["dict", "json", "path", "str path"])
def test_add_camera_from_a_description(form, tmp_path):
    before = orx.get_number_of_connected_cameras()
    cam = orxsim.add_camera(description_forms(tmp_path)[form])
    assert orx.get_number_of_connected_cameras() == before + 1
    info = orx.get_camera_property(before)  # connected last
    assert info.camera_id == cam and cam in orxsim.cameras()
    assert (info.name, info.max_width, info.max_height) == ("Wide Field", 3008, 2000)
    assert math.isclose(info.pixel_size, 4.63)
    assert not info.is_color_camera and info.st_4_port and info.is_cooler_cam
    assert info.supported_bins == [1, 2, 3]
    assert info.supported_video_formats == [orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16]
    orx.open_camera(cam)
    with pytest.raises(orx.ORXInvalidControlType):  # gps switched off: no GPS controls
        orx.get_control_value(cam, orx.ControlType.ORX_GPS_SUPPORT)
    orx.init_camera(cam)
    orx.set_roi_format(cam, 3008 // 2, 2000 // 2, 2, orx.ImgType.IMG_RAW16)


@pytest.mark.parametrize("desc,match", [
    ({"widht": 640}, "widht"),
    ({"model": "no such camera"}, "unknown model"),
    ({"width": 641}, "width"),
    ({"name": "Scope\0two"}, "NUL"),
    ({"bins": [2, 4]}, "rejected"),
    ("[1, 2]", "JSON object"),
    ("{not json", "not valid JSON"),
])
def test_bad_descriptions_are_refused_and_change_nothing(desc, match):
    with pytest.raises(ValueError, match=match):
        orxsim.add_camera(desc)
    assert orx.get_number_of_connected_cameras() == 3 and len(orxsim.cameras()) == 3


def test_names_beyond_the_basic_plane_survive():
    cam = orxsim.add_camera({"name": "Scope 🔭 \r\f\b"})  # JSON: a surrogate pair and short escapes
    assert orx.get_camera_property_by_id(cam).name == "Scope 🔭 \r\f\b"


@pytest.mark.parametrize("call,name", [
    (lambda: orxsim.unplug(2**32 + 1001), "camera_id"),
    (lambda: orxsim.remove_camera(-(2**31) - 1), "camera_id"),
    (lambda: orxsim.replug(2**40), "camera_id"),
    (lambda: orxsim.inject("ORXOpenCamera", orxsim.Status.GENERAL, count=2**31), "count"),
    (lambda: orxsim.inject("ORXOpenCamera", 2**32), "status"),
    (lambda: orxsim.set_sky(seed=2**32), "seed"),
    (lambda: orxsim.set_sky(seed=-1), "seed"),
    (lambda: orxsim.time_call("ORXGetExpStatus", 2**32 + 1001), "camera_id"),
    (lambda: orxsim.set_optics(2**32 + 1002, focal_length=700), "camera_id"),
    (lambda: orxsim.optics(2**32 + 1001), "camera_id"),
    (lambda: orxsim.wcs(-(2**32) + 1001), "camera_id"),
    (lambda: orxsim.frame_sky(2**33), "camera_id"),
    (lambda: orxsim.set_seed(-1), "seed"),
    (lambda: orxsim.set_seed(2**64), "seed"),
])
def test_out_of_range_integers_are_refused(call, name):
    sky = orxsim.sky()
    with pytest.raises((OverflowError, ValueError), match=name):
        call()
    assert orx.get_number_of_connected_cameras() == 3  # camera 1001 still plugged in
    orx.open_camera(1001)                              # nothing queued for it
    assert orxsim.sky() == sky


def test_out_of_range_camera_ids_leave_every_camera_alone():
    before = {cid: orxsim.optics(cid) for cid in (1001, 1002, 1003)}
    with pytest.raises(OverflowError):
        orxsim.set_optics(2**32 + 1002, focal_length=700)
    assert {cid: orxsim.optics(cid) for cid in (1001, 1002, 1003)} == before


def test_sky_stars_answers_within_its_bound():
    # a small query whole, in the same order whatever the room
    few = orxsim.sky_stars(150, 30, 0.5, 12)
    assert 0 < len(few) < 1000 and orxsim.sky_stars(150, 30, 0.5, 12, max_stars=len(few)) == few
    with pytest.raises(ValueError, match="more than"):
        orxsim.sky_stars(150, 30, 0.5, 12, max_stars=len(few) - 1)
    # the galactic plane to the faintest magnitude over a wide circle: refused at once,
    # without holding the billions of stars it covers
    import tracemalloc
    tracemalloc.start()
    with pytest.raises(ValueError, match="more than 100000"):
        orxsim.sky_stars(280, 0, 3, 30, max_stars=100_000)
    assert tracemalloc.get_traced_memory()[1] < 20e6
    tracemalloc.stop()


def test_missing_description_file(tmp_path):
    with pytest.raises(OSError):
        orxsim.add_camera(tmp_path / "missing.json")


def test_remove_camera():
    cam = orxsim.add_camera({"model": "guide"})
    orxsim.remove_camera(cam)
    assert cam not in orxsim.cameras() and orx.get_number_of_connected_cameras() == 3
    with pytest.raises(orx.ORXInvalidID):
        orx.open_camera(cam)
    with pytest.raises(KeyError):
        orxsim.remove_camera(cam)


def test_unplug_and_replug():
    orx.open_camera(GUIDE)
    orxsim.unplug(GUIDE)
    assert GUIDE not in [orx.get_camera_property(i).camera_id for i in range(orx.get_number_of_connected_cameras())]
    assert GUIDE in orxsim.cameras()
    with pytest.raises(orx.ORXCameraRemoved):
        orx.init_camera(GUIDE)
    orxsim.replug(GUIDE)
    assert orx.get_number_of_connected_cameras() == 3
    with pytest.raises(orx.ORXCameraClosed):  # back, but closed
        orx.init_camera(GUIDE)
    orx.open_camera(GUIDE)
    orx.init_camera(GUIDE)


@pytest.mark.parametrize("op", [orxsim.remove_camera, orxsim.unplug, orxsim.replug])
def test_unknown_camera_ids(op):
    with pytest.raises(KeyError):
        op(4242)


def test_reset_undoes_camera_changes():
    orxsim.add_camera({"model": "planetary"})
    orxsim.unplug(1001)
    orxsim.remove_camera(1003)
    orxsim.reset()
    assert connected_names() == [m.name for m in orxsim.models()]


# ------------------------------------------------------------------ time --


def test_time_scale_runs_long_exposures_fast():
    orxsim.set_time_scale(0.0005)
    assert orxsim.time_scale() == 0.0005
    t0 = time.monotonic()
    bright_pixels(GUIDE, exposure_us=60_000_000)  # one simulated minute
    assert time.monotonic() - t0 < 20


def test_sim_time_is_the_clock_exposures_run_on():
    orxsim.set_time_scale(0.001)
    t0 = orxsim.sim_time()
    bright_pixels(GUIDE, exposure_us=5_000_000)
    assert 5.0 <= orxsim.sim_time() - t0 < 1e3


def test_ambient_sets_the_sensor_temperature():
    orx.open_camera(GUIDE)
    orxsim.set_time_scale(orxsim.MIN_TIME_SCALE)
    for air in (-10.0, 30.0):
        orxsim.set_ambient(air)
        assert orxsim.ambient() == air
        settled = orxsim.sim_time() + 1500  # the sensor follows the air within minutes
        while orxsim.sim_time() < settled:
            time.sleep(0.01)
        reading = orx.get_control_value(GUIDE, orx.ControlType.ORX_TEMPERATURE)[0] / 10
        assert air < reading < air + 8  # an uncooled sensor runs a little warmer than the air
    with pytest.raises(ValueError, match="ambient"):
        orxsim.set_ambient(orxsim.MAX_AMBIENT + 1)
    assert orxsim.ambient() == 30.0
    orxsim.reset()
    assert orxsim.ambient() == 20.0


@pytest.mark.parametrize("bad", [0, -1, float("nan"), float("inf"), 1e-9, orxsim.MIN_TIME_SCALE / 2,
                                 orxsim.MAX_TIME_SCALE * 2])
def test_bad_time_scales_are_refused(bad):
    orxsim.set_time_scale(0.5)
    with pytest.raises(ValueError, match="time scale"):
        orxsim.set_time_scale(bad)
    assert orxsim.time_scale() == 0.5
    for edge in (orxsim.MIN_TIME_SCALE, orxsim.MAX_TIME_SCALE):
        orxsim.set_time_scale(edge)
        assert orxsim.time_scale() == edge


# ------------------------------------------------------------ injections --


def test_inject_answers_only_the_next_call():
    orxsim.inject("ORXOpenCamera", orxsim.Status.CAMERA_REMOVED)
    with pytest.raises(orx.ORXCameraRemoved):
        orx.open_camera(GUIDE)
    orx.open_camera(GUIDE)


def test_injections_queue_in_order_and_always_lasts_until_cleared():
    orxsim.inject("ORXOpenCamera", orxsim.Status.TIMEOUT)
    orxsim.inject("ORXOpenCamera", orxsim.Status.GENERAL, count=orxsim.ALWAYS)
    with pytest.raises(orx.ORXTimeout):
        orx.open_camera(GUIDE)
    for _ in range(3):
        with pytest.raises(orx.ORXGeneralError):
            orx.open_camera(GUIDE)
    orxsim.clear_injections()
    orx.open_camera(GUIDE)


def test_injected_block_and_out_parameters():
    orx.open_camera(GUIDE)
    with orxsim.injected("ORXGetControlValue", 0, out=orxsim.int32s(-150, 7)):
        assert orx.get_control_value(GUIDE, orx.ControlType.ORX_GAIN) == (-150, True)
        assert orx.get_control_value(GUIDE, orx.ControlType.ORX_GAIN) == (-150, True)
    assert orx.get_control_value(GUIDE, orx.ControlType.ORX_GAIN) == (50, False)  # the model's default


def test_injected_block_clears_on_error():
    with pytest.raises(orx.ORXInvalidMode):
        with orxsim.injected("ORXOpenCamera", orxsim.Status.INVALID_MODE):
            orx.open_camera(GUIDE)
    orx.open_camera(GUIDE)


@pytest.mark.parametrize("name,count", [("open_camera", 1), ("ORXOpenCamera", 0), ("ORXOpenCamera", -2)])
def test_bad_injections_are_refused(name, count):
    with pytest.raises(ValueError):
        orxsim.inject(name, orxsim.Status.GENERAL, count)
    orx.open_camera(GUIDE)


# -------------------------------------------------------------- call log --


def test_log_records_calls_with_their_arguments():
    orx.open_camera(GUIDE)
    orx.set_roi_format(GUIDE, 640, 480, 1, orx.ImgType.IMG_RAW16)
    orx.set_start_pos(GUIDE, 8, 4)
    orx.get_start_pos(GUIDE)
    assert orxsim.log()[-4:] == [
        ("ORXOpenCamera", (GUIDE,)), ("ORXSetROIFormat", (GUIDE, 640, 480, 1, 2)),
        ("ORXSetStartPos", (GUIDE, 8, 4)), ("ORXGetStartPos", (GUIDE, "*", "*"))]
    assert orxsim.log("ORXSetStartPos") == [orxsim.Call("ORXSetStartPos", (GUIDE, 8, 4))]


def test_log_shows_byte_arguments():
    orx.open_camera(GUIDE)
    ident = orx.Id()
    ident.id = "Scope\0\0\0"
    orx.set_id(GUIDE, ident)
    assert orxsim.log("ORXSetID") == [("ORXSetID", (GUIDE, b"Scope\0\0\0"))]


def test_clear_log_keeps_the_counts():
    for _ in range(3):
        orx.get_number_of_connected_cameras()
    orxsim.clear_log()
    assert orxsim.log() == []
    assert orxsim.call_count("ORXGetNumOfConnectedCameras") == 3
    with pytest.raises(ValueError):
        orxsim.call_count("get_number_of_connected_cameras")


# ------------------------------------------------------------------- sky --


def test_set_sky_changes_only_what_is_given():
    default = orxsim.sky()
    assert orxsim.set_sky(seeing=4.0) == default._replace(seeing=4.0)
    assert orxsim.set_sky(seed=7, sky=10) == default._replace(seeing=4.0, seed=7, sky=10.0)
    assert orxsim.sky().seed == 7
    orxsim.reset()
    assert orxsim.sky() == default


@pytest.mark.parametrize("bad", [dict(star_density=-1), dict(seeing=0), dict(sky=-0.5)])
def test_bad_sky_settings_are_refused(bad):
    before = orxsim.set_sky(seeing=3.0)
    with pytest.raises(ValueError):
        orxsim.set_sky(**bad)
    assert orxsim.sky() == before


@pytest.mark.still_sky
def test_star_density_and_seed_shape_the_frames():
    orxsim.set_time_scale(0.001)
    stars = bright_pixels(GUIDE)
    orxsim.set_sky(star_density=0)
    empty = bright_pixels(GUIDE)
    orxsim.set_sky(star_density=400)
    crowded = bright_pixels(GUIDE)
    assert empty * 5 < stars < crowded
