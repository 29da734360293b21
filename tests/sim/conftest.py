"""Fixtures for the simulator's own tests: the library through ctypes."""
import os

import pytest

# every run of the suite sees the same night (tests of run-to-run change clear this)
os.environ.setdefault("ORXSIM_SEED", "20261207")

import simhelp


@pytest.fixture(scope="session")
def _library():
    path = simhelp.library_path()
    if not path.exists():
        pytest.skip(f"simulator library not built ({path})")
    return simhelp.load()


@pytest.fixture
def lib(_library, request):
    """The simulator (ctypes.CDLL, argtypes set), reset before each test (to the
    still star field when the test is marked `still_sky`)."""
    simhelp.reset(_library, still=request.node.get_closest_marker("still_sky") is not None)
    yield _library
    _library.ORXSimClearInjections()
    _library.ORXSimReset()


@pytest.fixture
def fast(lib):
    """The simulator with simulated time running 1000x faster than wall time."""
    lib.ORXSimSetTimeScale(0.001)
    return lib
