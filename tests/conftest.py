"""Shared fixtures: the module, the simulator's control, a ready camera."""
import os

import pytest

import orx
import orxsim


@pytest.fixture(autouse=True)
def _fresh_simulator():
    """Every test starts on the built-in cameras, all closed, with an empty log."""
    orxsim.reset()
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
