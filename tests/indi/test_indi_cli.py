"""The driver under indiserver, driven by Debian's command-line clients as a
script at the telescope would: connect, read CCD_INFO, cool, expose and fetch
the image, abort, pulse-guide."""
from __future__ import annotations

import subprocess

import numpy as np
import pytest
from astropy.io import fits

from indi_harness import GUIDE_CAM, MAIN_CAM

IDLE, OK, BUSY, ALERT = range(4)


@pytest.fixture(scope="module")
def connected(server):
    for cam in (MAIN_CAM, GUIDE_CAM):
        server.setprop(f"{cam}.CONNECTION.CONNECT=On")
        server.eval(f'"{cam}.CONNECTION._STATE"=={OK} && "{cam}.CONNECTION.CONNECT"==1')
    return server


def test_one_device_per_camera_with_its_sensor_facts(connected):
    out = connected.getprop("*.DRIVER_INFO.DRIVER_INTERFACE").stdout
    # the guide camera has an ST4 port: camera and guider interfaces; the main camera a camera's only
    assert f"{GUIDE_CAM}.DRIVER_INFO.DRIVER_INTERFACE=6" in out
    assert f"{MAIN_CAM}.DRIVER_INFO.DRIVER_INTERFACE=2" in out
    assert "ORX Sim P290MC.DRIVER_INFO" in out
    info = dict(line.split("=", 1) for line in connected.getprop(f"{MAIN_CAM}.CCD_INFO.*").stdout.splitlines())
    assert (info[f"{MAIN_CAM}.CCD_INFO.CCD_MAX_X"], info[f"{MAIN_CAM}.CCD_INFO.CCD_MAX_Y"]) == ("6248", "4176")
    assert float(info[f"{MAIN_CAM}.CCD_INFO.CCD_PIXEL_SIZE"]) == pytest.approx(3.76)
    assert connected.value(f"{MAIN_CAM}.CCD_CFA.CFA_TYPE") == "RGGB"


def test_cooling_reaches_the_set_point(connected):
    connected.setprop(f"{MAIN_CAM}.CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=-5")
    connected.eval(f'"{MAIN_CAM}.CCD_COOLER.COOLER_ON"==1')       # set once the request is handled
    # the thermal model's time constant is 2 camera minutes: seconds at the test's clock
    connected.eval(f'"{MAIN_CAM}.CCD_TEMPERATURE._STATE"=={OK} && '
                   f'abs("{MAIN_CAM}.CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE"+5)<=0.5')
    assert float(connected.value(f"{MAIN_CAM}.CCD_COOLER_POWER.CCD_COOLER_VALUE")) > 0
    connected.setprop(f"{MAIN_CAM}.CCD_COOLER.COOLER_OFF=On")
    connected.eval(f'"{MAIN_CAM}.CCD_COOLER.COOLER_OFF"==1 && "{MAIN_CAM}.CCD_TEMPERATURE._STATE"=={IDLE}')


def test_exposure_fetched_as_a_fits_blob(connected, tmp_path):
    cam = GUIDE_CAM
    connected.setprop(f"{cam}.CCD_FRAME.X=100;Y=50;WIDTH=301;HEIGHT=203")
    connected.setprop(f"{cam}.CCD_CONTROLS.Gain=80")
    # indi_getprop saves each BLOB it sees as <device>.<property>.<element><format>
    watcher = subprocess.Popen(["indi_getprop", "-p", str(connected.port), "-t", "60", "-m", f"{cam}.CCD1.CCD1"],
                               cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        connected.eval(f'"{cam}.CCD1._STATE">=0')       # the watcher's BLOB property is defined
        connected.setprop(f"{cam}.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=2")
        connected.eval(f'"{cam}.CCD_EXPOSURE._STATE"=={OK}')
        path = tmp_path / f"{cam}.CCD1.CCD1.fits"
        connected.wait(lambda: path.exists() and path.stat().st_size > 0 and len(fits.open(path)[0].data), "the file")
    finally:
        watcher.terminate()
        watcher.wait()
    with fits.open(path) as f:
        h, data = f[0].header, f[0].data
    # any subframe is served as asked, whatever the camera's own width steps
    assert data.shape == (203, 301) and data.dtype == np.uint16
    assert (h["EXPTIME"], h["GAIN"], h["XBINNING"], h["IMAGETYP"]) == (2.0, 80, 1, "Light Frame")
    assert h["INSTRUME"] == cam and "CRPIX1" in h and "DATE-OBS" in h
    connected.eval(f'"{cam}.CCD_EXPOSURE._STATE"=={OK}')
    connected.setprop(f"{cam}.CCD_FRAME_RESET.RESET=On")
    # indi_setprop returns once the request is sent: the answer may come later
    connected.eval(f'"{cam}.CCD_FRAME.WIDTH"==1280 && "{cam}.CCD_FRAME.HEIGHT"==960')


def test_abort_ends_a_running_exposure(connected):
    cam = MAIN_CAM
    connected.setprop(f"{cam}.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1000")      # 10 s at the test's clock
    connected.eval(f'"{cam}.CCD_EXPOSURE._STATE"=={BUSY}')
    connected.setprop(f"{cam}.CCD_ABORT_EXPOSURE.ABORT=On")
    connected.eval(f'"{cam}.CCD_EXPOSURE._STATE"=={IDLE} && "{cam}.CCD_ABORT_EXPOSURE._STATE"=={OK}')
    # the camera is free again: a new exposure starts and completes
    connected.setprop(f"{cam}.CCD_FRAME.WIDTH=64;HEIGHT=64")
    connected.setprop(f"{cam}.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.5")
    connected.eval(f'"{cam}.CCD_EXPOSURE._STATE"=={OK}')
    connected.setprop(f"{cam}.CCD_FRAME_RESET.RESET=On")


def test_pulse_guide_runs_and_ends(connected):
    cam = GUIDE_CAM
    connected.setprop(f"{cam}.TELESCOPE_TIMED_GUIDE_WE.TIMED_GUIDE_W=500;TIMED_GUIDE_E=0")
    connected.eval(f'"{cam}.TELESCOPE_TIMED_GUIDE_WE._STATE"=={OK} && "{cam}.TELESCOPE_TIMED_GUIDE_WE.TIMED_GUIDE_W"==0')
    # the main camera has no guide port: no guide properties
    assert connected.getprop(f"{MAIN_CAM}.TELESCOPE_TIMED_GUIDE_NS.*", check=False).returncode == 1
