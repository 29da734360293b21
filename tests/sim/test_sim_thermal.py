"""The cooler and the sensor's temperature, measured on the simulated clock."""
import math
import time
import statistics

import pytest

from simhelp import *  # noqa: F401,F403


def cool(lib, target, fan=1):
    open_init(lib, COOLED)
    assert lib.ORXSetControlValue(COOLED, FAN_ON, fan, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, TARGET_TEMP, target, 0) == SUCCESS
    assert lib.ORXSetControlValue(COOLED, COOLER_ON, 1, 0) == SUCCESS


def settled(lib, target, fan=1, seconds=3000):
    cool(lib, target, fan)
    run_sim(lib, seconds)
    return statistics.mean(temp(lib, COOLED) for _ in range(50))


def test_cooling_is_first_order_with_a_time_constant_of_minutes(lib):
    floor = settled(lib, -40)                      # out of reach: the cooler's limit
    assert power(lib, COOLED) == 100
    lib.ORXCloseCamera(COOLED)                     # cooler off: back to ambient
    run_sim(lib, 3000)
    open_init(lib, COOLED)
    start = temp(lib, COOLED)
    cool(lib, -40)
    lib.ORXSimSetTimeScale(2e-4)
    t0 = lib.ORXSimGetTime()
    samples = []
    while (now := lib.ORXSimGetTime() - t0) < 300:
        samples.append((now, temp(lib, COOLED)))
        time.sleep(0.002)
    # full power all along: T - floor falls as exp(-t / tau)
    pts = [(t, math.log((v - floor) / (start - floor))) for t, v in samples if v - floor > 3]
    tm = statistics.mean(t for t, _ in pts)
    ym = statistics.mean(y for _, y in pts)
    slope = sum((t - tm) * (y - ym) for t, y in pts) / sum((t - tm) ** 2 for t, _ in pts)
    tau = -1 / slope
    assert 60 <= tau <= 600, tau
    residual = max(abs(ym + slope * (t - tm) - y) for t, y in pts)
    assert residual < 0.05, residual               # one exponential, not a ramp
    assert 20 <= start - floor <= 50               # a limited drop below ambient


@pytest.mark.parametrize("ambient", [20.0, 5.0, -10.0])
def test_the_drop_is_limited_and_relative_to_ambient(lib, ambient):
    assert lib.ORXSimSetAmbient(ambient) == 0
    with_fan = settled(lib, -40)
    without = settled(lib, -40, fan=0)
    drop = ambient - with_fan
    assert 20 <= drop <= 50, drop
    assert 0.2 <= (ambient - without) / drop <= 0.7   # the fan carries the heat away
    open_init(lib, GUIDE)                              # uncooled: a little above the air
    assert ambient < temp(lib, GUIDE) < ambient + 8


def test_holding_a_target_fluctuates_a_little_and_costs_power_in_proportion(lib):
    floor = settled(lib, -40)
    held = settled(lib, -5)
    lib.ORXSimSetTimeScale(0.01)
    readings = [temp(lib, COOLED) for _ in range(300)]
    powers = [power(lib, COOLED) for _ in range(300)]
    assert statistics.mean(readings) == pytest.approx(-5, abs=0.1)
    assert 0.02 <= statistics.pstdev(readings) <= 0.3
    assert held == pytest.approx(-5, abs=0.1)
    share = (20 - -5) / (20 - floor) * 100            # held drop / largest drop
    assert statistics.mean(powers) == pytest.approx(share, abs=3)
    assert len(set(powers)) > 1


@pytest.mark.parametrize("target", [25, 30])
def test_a_cooler_cannot_heat(lib, target):
    held = settled(lib, target)
    assert power(lib, COOLED) == 0
    assert held <= 20.2


def test_ambient_range(lib):
    for bad in (-60.0, 51.0, float("nan")):
        assert lib.ORXSimSetAmbient(bad) == -1
    assert lib.ORXSimSetAmbient(12.5) == 0
    assert lib.ORXSimGetAmbient() == 12.5
    lib.ORXSimReset()
    assert lib.ORXSimGetAmbient() == 20.0
