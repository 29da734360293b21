"""Auto exposure and auto gain in video: frame by frame toward the target
brightness, within their caps."""
import ctypes

import pytest

from simhelp import *  # noqa: F401,F403

# an even field of known brightness: the still star field's background
pytestmark = pytest.mark.still_sky

W, H = 320, 240


def run(lib, frames, **controls):
    """Video on the planetary camera with `controls` (name: (value, auto)); the mean
    8-bit brightness of each fetched frame and the final exposure and gain."""
    open_init(lib, PLANETARY)
    assert lib.ORXSetROIFormat(PLANETARY, W, H, 1, RAW8) == SUCCESS
    for ctl, (value, auto) in controls.items():
        assert lib.ORXSetControlValue(PLANETARY, globals()[ctl], value, auto) == SUCCESS
    lib.ORXSimSetTimeScale(0.01)
    buf = ctypes.create_string_buffer(W * H)
    means = []
    assert lib.ORXStartVideoCapture(PLANETARY) == SUCCESS
    for _ in range(frames):
        assert lib.ORXGetVideoData(PLANETARY, buf, len(buf), 5000) == SUCCESS
        means.append(sum(buf.raw) / len(buf.raw))
    lib.ORXStopVideoCapture(PLANETARY)
    return means, get_ctl(lib, PLANETARY, EXPOSURE)[1], get_ctl(lib, PLANETARY, GAIN)[1]


@pytest.mark.parametrize("target,start_us,gain", [(100, 1000, 100), (60, 2_000_000, 100), (140, 50_000, 250)])
def test_auto_exposure_converges_on_the_target(lib, target, start_us, gain):
    lib.ORXSimSetSky(0.0, 2.5, 2000.0, 1)  # an even, bright field
    fixed, _, _ = run(lib, 2, EXPOSURE=(start_us, 0), GAIN=(gain, 0))
    assert abs(fixed[-1] - target) > 0.2 * target          # it has somewhere to go
    means, exposure, _ = run(lib, 30, EXPOSURE=(start_us, 1), GAIN=(gain, 0), AUTO_TARGET_BRIGHTNESS=(target, 0))
    settled = next(i for i, m in enumerate(means) if abs(m - target) <= 0.08 * target)
    assert settled <= 12, means
    assert all(abs(m - target) <= 0.1 * target for m in means[settled:]), means
    assert exposure != start_us


def test_auto_gain_takes_over_at_the_exposure_cap_and_stops_at_its_own(lib):
    # (a colour photosite gets a third of it) 20 ms and 25 dB are not enough for 120
    lib.ORXSimSetSky(0.0, 2.5, 15000.0, 1)
    fixed, _, _ = run(lib, 2, EXPOSURE=(1000, 0), GAIN=(0, 0))
    means, exposure, gain = run(lib, 30, EXPOSURE=(1000, 1), GAIN=(0, 1), AUTO_MAX_EXP=(20, 0),
                                AUTO_MAX_GAIN=(250, 0), AUTO_TARGET_BRIGHTNESS=(120, 0))
    assert exposure == 20_000 and gain == 250                # both at their caps
    assert 2 * fixed[-1] < means[-1] < 120                   # as bright as the caps allow


def test_darkening_lowers_the_gain_before_the_exposure(lib):
    lib.ORXSimSetSky(0.0, 2.5, 2000.0, 1)
    means, exposure, gain = run(lib, 30, EXPOSURE=(500_000, 1), GAIN=(400, 1), AUTO_TARGET_BRIGHTNESS=(80, 0))
    assert abs(means[-1] - 80) <= 8
    assert gain < 300 and abs(exposure - 500_000) < 50_000    # the gain came down, the exposure stayed


def test_without_auto_nothing_moves(lib):
    lib.ORXSimSetSky(0.0, 2.5, 2000.0, 1)
    means, exposure, gain = run(lib, 5, EXPOSURE=(1000, 0), GAIN=(100, 0))
    assert (exposure, gain) == (1000, 100)
    assert max(means) - min(means) < 2
