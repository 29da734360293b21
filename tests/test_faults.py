"""Faults: a camera unplugged during an exposure, during a video wait (with a
time limit and without, from another thread) and between calls; later calls
on its id; the camera plugged back in; and every library status reaching
Python as its exception, with nothing returned."""
import threading
import time

import pytest

import orx
import orxsim
from test_calls import BY_NAME, ROWS

# a small colour camera with GPS, added for each test (ids from 1004 on)
GPS_CAMERA = {"model": "color", "name": "Faults GPS", "width": 800, "height": 600, "gps": True}
W, H = 320, 240
SIZE = W * H * 2
LONG = 2_000_000_000  # the longest exposure, in microseconds: no frame comes during a test
WAKE = 1.0  # seconds: how soon a waiting call must return once its camera is gone (its
            # waits are of 3 s or more; the margin is for a loaded machine's scheduling)


def ready(cam, exposure=1000):
    orx.open_camera(cam)
    orx.init_camera(cam)
    orx.set_roi_format(cam, W, H, 1, orx.ImgType.IMG_RAW16)
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, exposure, False)


@pytest.fixture
def new_cam():
    """The added camera, closed."""
    cid = orxsim.add_camera(GPS_CAMERA)
    yield cid
    orxsim.replug(cid)
    orx.close_camera(cid)


@pytest.fixture
def cam(new_cam):
    """The added camera, open and initialised."""
    ready(new_cam)
    return new_cam


class Waiter(threading.Thread):
    """Runs `call` once on its own thread and notes how and when it ended."""

    def __init__(self, call):
        super().__init__(daemon=True)
        self.call, self.result, self.error, self.ended = call, None, None, None

    def run(self):
        try:
            self.result = self.call()
        except BaseException as e:  # noqa: B902 - anything is reported below
            self.error = e
        self.ended = time.monotonic()


def unplug_while(cam, call, settle=0.2):
    """Starts `call` on a thread, unplugs the camera once it waits, and
    returns (waiter, seconds from the unplug to the call's return, seconds the
    unplug itself took)."""
    waiter = Waiter(call)
    start = time.monotonic()
    waiter.start()
    time.sleep(settle)
    assert waiter.is_alive(), f"returned before the unplug: {waiter.result!r} {waiter.error!r}"
    unplugged = time.monotonic()
    orxsim.unplug(cam)
    took = time.monotonic() - unplugged
    waiter.join(10)
    assert not waiter.is_alive(), "still waiting 10 s after the unplug"
    return waiter, waiter.ended - unplugged, took, waiter.ended - start


PER_CAMERA = [r for r in ROWS if r[0] != "get_camera_property"]  # everything taking a camera id


def assert_gone(cam):
    """Every per-camera call on an unplugged camera fails cleanly as removed,
    and the camera is no longer listed."""
    for name, args, lib, *_ in PER_CAMERA:
        args = (cam,) + tuple(args[1:])
        if name in ("get_data_after_exp", "get_data_after_exp_gps", "get_video_data", "get_video_data_gps"):
            args = (cam, SIZE) + tuple(args[2:])
        with pytest.raises(orx.ORXCameraRemoved):
            getattr(orx, name)(*args)
    ids = [orx.get_camera_property(i).camera_id for i in range(orx.get_number_of_connected_cameras())]
    assert cam not in ids


def captures_again(cam):
    """A replugged camera comes back closed, opens and captures."""
    with pytest.raises(orx.ORXCameraClosed):
        orx.init_camera(cam)
    ready(cam)
    orx.start_exposure(cam, False)
    deadline = time.monotonic() + 5
    while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
        assert time.monotonic() < deadline
        time.sleep(0.001)
    assert orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_SUCCESS
    assert len(orx.get_data_after_exp(cam, SIZE)) == SIZE
    orx.start_video_capture(cam)
    assert len(orx.get_video_data(cam, SIZE, 2000)) == SIZE
    orx.stop_video_capture(cam)


# ---- unplugged while something waits ------------------------------------------

@pytest.mark.parametrize("wait_ms", [3000, -1])
@pytest.mark.parametrize("fetch", [orx.get_video_data, orx.get_video_data_gps], ids=["plain", "gps"])
def test_unplug_wakes_a_video_wait(cam, wait_ms, fetch):
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, LONG, False)
    orx.start_video_capture(cam)
    waiter, after_unplug, unplug_took, total = unplug_while(cam, lambda: fetch(cam, SIZE, wait_ms))
    assert type(waiter.error) is orx.ORXCameraRemoved and waiter.result is None
    assert after_unplug < WAKE + unplug_took
    if wait_ms >= 0:
        assert total < wait_ms / 1000 + WAKE
    assert_gone(cam)
    orxsim.replug(cam)
    captures_again(cam)


def test_unplug_during_an_exposure_ends_the_polling(cam):
    """A snapshot is polled: the poll that follows the unplug reports the
    camera removed, and the frame is never handed out."""
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, LONG, False)
    orx.start_exposure(cam, False)

    def poll():
        while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
            time.sleep(0.001)
        return "ended without an error"

    waiter, after_unplug, unplug_took, _ = unplug_while(cam, poll)
    assert type(waiter.error) is orx.ORXCameraRemoved
    assert after_unplug < WAKE + unplug_took
    with pytest.raises(orx.ORXCameraRemoved):
        orx.get_data_after_exp(cam, SIZE)
    assert_gone(cam)
    orxsim.replug(cam)
    orx.open_camera(cam)
    orx.init_camera(cam)
    assert orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_IDLE  # the lost exposure is not resumed
    orx.close_camera(cam)
    captures_again(cam)


def test_unplug_while_waiting_for_a_snapshot_frame(cam):
    """A snapshot fetched while the exposure still runs is refused at once;
    after the unplug the same fetch reports the camera removed."""
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, LONG, False)
    orx.start_exposure(cam, False)
    with pytest.raises(orx.ORXExposureInProgress):
        orx.get_data_after_exp(cam, SIZE)
    orxsim.unplug(cam)
    with pytest.raises(orx.ORXCameraRemoved):
        orx.get_data_after_exp(cam, SIZE)


def test_several_waiters_all_wake(cam):
    orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, LONG, False)
    orx.start_video_capture(cam)
    waiters = [Waiter(lambda w=w: orx.get_video_data(cam, SIZE, w)) for w in (-1, -1, 3000, 60000)]
    for w in waiters:
        w.start()
    time.sleep(0.2)
    assert all(w.is_alive() for w in waiters)
    unplugged = time.monotonic()
    orxsim.unplug(cam)
    for w in waiters:
        w.join(10)
    assert not any(w.is_alive() for w in waiters)
    assert all(type(w.error) is orx.ORXCameraRemoved for w in waiters), [w.error for w in waiters]
    assert max(w.ended for w in waiters) - unplugged < 1.0


# ---- unplugged between calls ---------------------------------------------------

@pytest.mark.parametrize("state", ["open", "initialised", "video", "exposure done", "closed"])
def test_unplug_between_calls(new_cam, state):
    cam = new_cam
    if state != "closed":
        ready(cam)
        if state == "open":
            orx.close_camera(cam)
            orx.open_camera(cam)
        elif state == "video":
            orx.start_video_capture(cam)
            assert len(orx.get_video_data(cam, SIZE, 2000)) == SIZE
        elif state == "exposure done":
            orx.start_exposure(cam, False)
            while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
                time.sleep(0.001)
    count = orx.get_number_of_connected_cameras()
    orxsim.unplug(cam)
    assert orx.get_number_of_connected_cameras() == count - 1
    assert_gone(cam)
    with pytest.raises(orx.ORXCameraRemoved):
        orx.close_camera(cam)
    orxsim.replug(cam)
    assert orx.get_number_of_connected_cameras() == count
    captures_again(cam)


def test_unplug_and_replug_repeatedly_while_capturing(new_cam):
    """Night-long use: the camera comes and goes many times; each time it
    comes back it captures again."""
    cam = new_cam
    for _ in range(20):
        ready(cam)
        orx.start_video_capture(cam)
        orx.get_video_data_gps(cam, SIZE, 2000)
        orxsim.unplug(cam)
        with pytest.raises(orx.ORXCameraRemoved):
            orx.get_video_data(cam, SIZE, 100)
        orxsim.replug(cam)
    captures_again(cam)


def test_other_cameras_are_unaffected(cam):
    other = 1003
    ready(other)
    orx.start_video_capture(other)
    orxsim.unplug(cam)
    assert len(orx.get_video_data(other, SIZE, 2000)) == SIZE
    orx.stop_video_capture(other)
    orx.close_camera(other)


# ---- ids no camera has ----------------------------------------------------------

@pytest.mark.parametrize("cid", [-(2 ** 31), -(2 ** 31) + 999, -1, 0, 999, 2024, 2 ** 31 - 1])
def test_ids_no_camera_has_are_refused_by_every_function(cid):
    """Any 32-bit id reaches the library and is answered as an invalid id,
    the extremes included."""
    for name, args, lib, *_ in PER_CAMERA:
        args = (cid,) + tuple(args[1:])
        if name in ("get_data_after_exp", "get_data_after_exp_gps", "get_video_data", "get_video_data_gps"):
            args = (cid, SIZE) + tuple(args[2:])
        before = orxsim.call_count(lib)
        with pytest.raises(orx.ORXInvalidID):
            getattr(orx, name)(*args)
        assert orxsim.call_count(lib) == before + 1


@pytest.mark.parametrize("index", [-(2 ** 31), -1, 3, 2 ** 31 - 1])
def test_indexes_past_the_cameras_are_refused(index):
    with pytest.raises(orx.ORXInvalidIndex):
        orx.get_camera_property(index)


# ---- every status, as its exception ------------------------------------------

EXPECTED = {
    1: "ORXInvalidIndex", 2: "ORXInvalidID", 3: "ORXCameraClosed", 4: "ORXCameraRemoved", 5: "ORXTimeout",
    6: "ORXGeneralError", 7: "ORXInvalidIndex", 8: "ORXInvalidID", 9: "ORXInvalidControlType",
    10: "ORXCameraClosed", 11: "ORXCameraRemoved", 12: "ORXInvalidPath", 13: "ORXInvalidFileFormat",
    14: "ORXInvalidSize", 15: "ORXInvalidImageType", 16: "ORXOutOfBoundary", 17: "ORXTimeout",
    18: "ORXInvalidSequence", 19: "ORXBufferTooSmall", 20: "ORXVideoModeActive", 21: "ORXExposureInProgress",
    22: "ORXGeneralError", 23: "ORXInvalidMode", 24: "ORXGPSNotSupported", 25: "ORXGPSVersionError",
    26: "ORXGPSFPGAError", 27: "ORXGPSParamOutOfRange", 28: "ORXGPSDataInvalid", 29: "ORXErrorEnd",
}
# a frame, a record, two records, a tuple of an enumeration, nothing, a list, an int
SAMPLE = ["get_video_data_gps", "get_camera_property", "gps_get_data", "get_roi_format", "set_control_value",
          "get_camera_support_mode", "get_exp_status"]


def test_the_simulator_names_23_failure_statuses():
    named = [s for s in orxsim.Status if s != orxsim.Status.SUCCESS]
    assert len(named) == 23 and all(EXPECTED[int(s)] for s in named)


@pytest.mark.parametrize("name", SAMPLE)
@pytest.mark.parametrize("code", sorted(EXPECTED) + [-1, 30, 2 ** 31 - 1, -(2 ** 31)])
def test_every_status_raises_its_exception(name, code):
    _, args, lib, _, out, _ = BY_NAME[name]
    orxsim.inject(lib, code, 1, out)
    before = orxsim.call_count(lib)
    with pytest.raises(orx.ORXError) as info:
        getattr(orx, name)(*args)
    assert orxsim.call_count(lib) == before + 1
    if code in EXPECTED:
        assert type(info.value).__name__ == EXPECTED[code] and info.value.args == ()
    else:
        assert type(info.value) is orx.ORXUnknownErrorCode
        assert info.value.args == (f"Unknown error code {code}. Update wrapper.",)
        assert isinstance(info.value.__context__, KeyError)


@pytest.mark.parametrize("status", [s for s in orxsim.Status if s != orxsim.Status.SUCCESS], ids=lambda s: s.name)
def test_real_camera_failure_statuses_leave_it_usable(cam, status):
    """A scripted failure in the middle of capture changes nothing: the next
    call works."""
    orx.start_video_capture(cam)
    orxsim.inject("ORXGetVideoDataGPS", int(status), 1)
    with pytest.raises(orx.ORXError) as info:
        # one slice: a time-out answered before a longer wait is over is not final
        orx.get_video_data_gps(cam, SIZE, 100)
    assert type(info.value).__name__ == EXPECTED[int(status)]
    frame, gps = orx.get_video_data_gps(cam, SIZE, 2000)
    assert len(frame) == SIZE and gps.year >= 2020
    orx.stop_video_capture(cam)
