"""Shared fixtures: the module, the simulator's control, a ready camera."""
import os

import pytest

# every run of the suite sees the same night (tests of run-to-run change clear this)
os.environ.setdefault("ORXSIM_SEED", "20261207")

import orx
import orxsim


def pytest_configure(config):
    config.addinivalue_line("markers", "still_sky: the test needs the still star field of orxsim.set_sky "
                                       "(the shared night sky, on by default, is turned off)")


@pytest.fixture(autouse=True)
def _fresh_simulator(request):
    """Every test starts on the built-in cameras, all closed, with an empty log,
    under the default night sky (the still field when marked `still_sky`)."""
    orxsim.reset()
    if request.node.get_closest_marker("still_sky"):
        orxsim.set_scene(enabled=False)
    orxsim.set_time_scale(float(os.environ.get("ORX_TEST_TIME_SCALE", "0.01")))
    yield
    orxsim.clear_injections()


@pytest.fixture
def sim():
    return orxsim


@pytest.fixture
def cam_ids():
    """Camera ids of the connected cameras, by index."""
    return [orx.get_camera_property(i).camera_id for i in range(orx.get_number_of_connected_cameras())]


@pytest.fixture
def cam(cam_ids):
    """The first connected camera, opened and initialised (closed afterwards)."""
    cid = cam_ids[0]
    orx.open_camera(cid)
    orx.init_camera(cid)
    yield cid
    try:
        orx.close_camera(cid)
    except orx.ORXError:
        pass


def last_call(name=None):
    """The newest logged library call (of `name`, when given)."""
    calls = [c for c in orxsim.log() if name is None or c.name == name]
    return calls[-1] if calls else None
