"""The driver through indiserver with a Python INDI client: the image's pixels
against the same exposure taken with orx, guiding against the sky's WCS, two
clients at once, uploads to files, a camera unplugged and plugged back, and
library errors as alerts."""
from __future__ import annotations

import io
import os
import subprocess
import sys

import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS

from indi_harness import GUIDE_CAM, MAIN_CAM, Client, Server

COLOUR_CAM = "ORX Sim P290MC"


pytestmark = pytest.mark.filterwarnings("ignore::astropy.wcs.FITSFixedWarning")


def image_of(blob: bytes) -> fits.PrimaryHDU:
    with fits.open(io.BytesIO(blob)) as f:
        return fits.PrimaryHDU(f[0].data.copy(), f[0].header.copy())


def expose(client: Client, device: str, seconds: float) -> fits.PrimaryHDU:
    mark = client.set(device, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": seconds})
    blob = client.blob(mark, device)
    assert client.after(mark, device, "CCD_EXPOSURE").state == "Ok"
    return image_of(blob)


REFERENCE = """
import sys, time, orx, orxsim
orxsim.set_time_scale(0.01)
orxsim.set_scene(enabled=False)
cam = 1003
orx.open_camera(cam)
orx.init_camera(cam)
orx.set_roi_format(cam, 1920, 1080, 1, orx.ImgType.IMG_RAW16)
orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, 500000, False)
orx.start_exposure(cam, False)
while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
    time.sleep(0.002)
sys.stdout.buffer.write(orx.get_data_after_exp(cam, 1920 * 1080 * 2))
"""


def test_blob_pixels_equal_the_same_exposure_taken_with_orx(tmp_path):
    # the simulator's noise never repeats within a process, but a fresh
    # process's first frame of the still field is always the same: the
    # driver's first frame against a fresh process's, taken with orx alone
    srv = Server(tmp_path, setup="orxsim.set_scene(enabled=False)")
    client = Client(srv.port)
    try:
        client.connect(COLOUR_CAM)
        hdu = expose(client, COLOUR_CAM, 0.5)
    finally:
        client.close()
        srv.stop()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    raw = subprocess.run([sys.executable, "-c", REFERENCE], capture_output=True, check=True, env=env).stdout
    frame = np.frombuffer(raw, "<u2").reshape(1080, 1920)
    assert hdu.data.shape == frame.shape
    assert np.array_equal(hdu.data, frame)
    assert hdu.header["BAYERPAT"] == "RGGB" and hdu.header["EXPTIME"] == 0.5


def _box_mean(x: np.ndarray, r: int) -> np.ndarray:
    c = np.cumsum(np.cumsum(np.pad(x, ((r + 1, r), (r + 1, r)), mode="edge"), 0), 1)
    n = 2 * r + 1
    return (c[n:, n:] - c[:-n, n:] - c[n:, :-n] + c[:-n, :-n]) / n**2


def _stars(img: np.ndarray) -> np.ndarray:
    """What stands out of the background: a 3x3 median takes out hot pixels
    and cosmic rays (they do not move with the sky), a 31-pixel mean the sky
    background and vignetting; then only what is 5 noise levels up counts."""
    x = img.astype(np.float64)
    h, w = x.shape
    x = np.median([x[1 + dy:h - 1 + dy, 1 + dx:w - 1 + dx] for dy in (-1, 0, 1) for dx in (-1, 0, 1)], axis=0)
    x -= _box_mean(x, 15)
    noise = 1.4826 * np.median(np.abs(x - np.median(x)))
    return np.where(x > 5 * noise, x, 0.0)


def shift_between(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """(dx, dy) that moves the stars of ``a`` onto those of ``b``: the peak of
    their cross-correlation, refined to a fraction of a pixel."""
    sa, sb = _stars(a), _stars(b)
    corr = np.fft.irfft2(np.fft.rfft2(sb) * np.conj(np.fft.rfft2(sa)), s=sa.shape)
    iy, ix = np.unravel_index(np.argmax(corr), corr.shape)
    h, w = corr.shape

    def refine(c_minus: float, c0: float, c_plus: float) -> float:
        return 0.5 * (c_minus - c_plus) / (c_minus - 2 * c0 + c_plus)
    dy = iy + refine(corr[iy - 1, ix], corr[iy, ix], corr[(iy + 1) % h, ix])
    dx = ix + refine(corr[iy, ix - 1], corr[iy, ix], corr[iy, (ix + 1) % w])
    return np.array([(dx + w / 2) % w - w / 2, (dy + h / 2) % h - h / 2])


def test_guide_pulse_moves_the_stars_as_the_sky_wcs_says(server, client):
    cam = GUIDE_CAM
    client.connect(cam)
    client.set(cam, "CCD_CONTROLS", {"Gain": 100})
    before = expose(client, cam, 2.0)
    mark = client.set(cam, "TELESCOPE_TIMED_GUIDE_WE", {"TIMED_GUIDE_W": 3000, "TIMED_GUIDE_E": 0})
    assert client.after(mark, cam, "TELESCOPE_TIMED_GUIDE_WE").state == "Ok"
    after = expose(client, cam, 2.0)

    measured = shift_between(before.data, after.data)
    # where the sky at the first frame's centre lies in the second frame, by the two frames' WCS
    cx, cy = before.data.shape[1] / 2, before.data.shape[0] / 2
    ra, dec = WCS(before.header).pixel_to_world_values(cx, cy)
    predicted = np.array(WCS(after.header).world_to_pixel_values(ra, dec)) - (cx, cy)
    assert np.hypot(*(measured - predicted)) < 0.5, (measured, predicted)
    # west moves the stars east (-x): at least the pulse's own 3 s at half the sidereal rate
    # (1.55"/px, Dec 30); the mount's drift between the frames may add to it
    nominal = 0.5 * 15.041 * np.cos(np.radians(30)) * 3.0 / 1.55
    assert predicted[0] < -0.8 * nominal and abs(predicted[1]) < 0.2 * nominal


def test_connection_is_ok_once_every_property_is_defined(server, client):
    # a client may set a property as soon as it sees the connection made
    cam = MAIN_CAM
    mark = client.set(cam, "CONNECTION", {"CONNECT": "On", "DISCONNECT": "Off"})
    try:
        client.after(mark, cam, "CONNECTION", ("Ok",))
        events = [e for e in client.events[mark:] if getattr(e, "devicename", None) == cam]
        ok = next(i for i, e in enumerate(events) if e.vectorname == "CONNECTION" and e.state == "Ok")
        defined = {e.vectorname for e in events[:ok] if e.eventtype.startswith("Define")}
        assert {"CCD_EXPOSURE", "CCD_FRAME", "CCD1", "CCD_VIDEO_STREAM", "STREAMING_EXPOSURE", "FPS",
                "CCD_STREAM_ENCODER", "CCD_TEMPERATURE"} <= defined
    finally:
        mark = client.set(cam, "CONNECTION", {"CONNECT": "Off", "DISCONNECT": "On"})
        client.after(mark, cam, "CONNECTION", ("Ok", "Idle"))


def test_two_clients_see_the_same_device(server, client):
    other = Client(server.port)
    try:
        client.connect(GUIDE_CAM)
        other.vector(GUIDE_CAM, "CCD_EXPOSURE")
        mark_other = len(other.events)
        client.set(GUIDE_CAM, "CCD_CONTROLS", {"Gain": 77})
        gain = other.after(mark_other, GUIDE_CAM, "CCD_CONTROLS")
        assert float(gain.vector["Gain"]) == 77
        mark_other = len(other.events)
        mark = client.set(GUIDE_CAM, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 0.2})
        assert client.blob(mark, GUIDE_CAM) == other.blob(mark_other, GUIDE_CAM)
    finally:
        other.close()


def test_each_image_is_whole_when_its_size_changes_between_exposures(server, client):
    # the shared memory of an image is made ready while the camera exposes,
    # sized by the last image of the same frame: another frame, a header that
    # grows or shrinks (the sky and its WCS switched off and on), or the same
    # again must change nothing in what arrives
    cam = GUIDE_CAM
    client.connect(cam)
    full, crop = (0, 0, 1280, 960), (100, 50, 640, 480)
    steps = [(full, 1, ""), (full, 1, ""), (crop, 1, ""), (crop, 1, ""), (full, 2, ""),
             (full, 1, "orxsim.set_scene(enabled=False)"), (full, 1, ""), (full, 1, "orxsim.set_scene(enabled=True)")]
    images, wcs = [], []
    try:
        for (x, y, w, h), b, control in steps:
            if control:
                server.control(control)
            client.set(cam, "CCD_BINNING", {"HOR_BIN": b, "VER_BIN": b})
            client.set(cam, "CCD_FRAME", {"X": x, "Y": y, "WIDTH": w, "HEIGHT": h})
            mark = client.set(cam, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 0.1})
            blob = client.blob(mark, cam)
            hdu = image_of(blob)
            assert hdu.data.shape == (h // b, w // b) and hdu.data.dtype == np.uint16
            assert (hdu.header["XBINNING"], hdu.header["EXPTIME"]) == (b, 0.1)
            data_size = hdu.data.nbytes + (-hdu.data.nbytes) % 2880
            assert len(blob) == len(hdu.header.tostring()) + data_size      # nothing after the data's last block
            images.append(hdu.data.astype(float))
            wcs.append("CRPIX1" in hdu.header)
    finally:
        server.control("orxsim.set_scene(enabled=True)")
    assert wcs == [True] * 5 + [False, False, True]
    # every image is the sky's background, not blank or shifted memory: the
    # same level everywhere, and the region of the crop is the full frame's
    level = np.median(images[0])
    assert all(abs(np.median(img) - level) < 0.05 * level and img.std() > 0 for img in images)
    assert abs(np.median(images[2]) - np.median(images[1][50:530, 100:740])) < 0.02 * level
    client.set(cam, "CCD_FRAME_RESET", {"RESET": "On"})


def test_uploads_to_files_keep_every_frame(server, client, tmp_path):
    cam = GUIDE_CAM
    client.connect(cam)
    client.set(cam, "UPLOAD_SETTINGS", {"UPLOAD_DIR": str(tmp_path), "UPLOAD_PREFIX": "M42_XXX"})
    client.set(cam, "UPLOAD_MODE", {"UPLOAD_CLIENT": "Off", "UPLOAD_LOCAL": "On", "UPLOAD_BOTH": "Off"})
    (tmp_path / "M42_007.fits").write_bytes(b"someone else's")       # never overwritten, numbering goes on
    paths = []
    for _ in range(2):
        mark = client.set(cam, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 0.1})
        assert client.after(mark, cam, "CCD_EXPOSURE").state == "Ok"
        paths.append(client.vector(cam, "CCD_FILE_PATH")["FILE_PATH"])
        assert not [e for e in client.events[mark:] if getattr(e, "vectorname", None) == "CCD1"]
    assert [p.rsplit("/", 1)[1] for p in paths] == ["M42_008.fits", "M42_009.fits"]
    assert (tmp_path / "M42_007.fits").read_bytes() == b"someone else's"
    assert fits.getdata(paths[1]).shape == (960, 1280)
    client.set(cam, "UPLOAD_MODE", {"UPLOAD_CLIENT": "Off", "UPLOAD_LOCAL": "Off", "UPLOAD_BOTH": "On"})
    hdu = expose(client, cam, 0.1)
    assert np.array_equal(fits.getdata(tmp_path / "M42_010.fits"), hdu.data)
    client.set(cam, "UPLOAD_MODE", {"UPLOAD_CLIENT": "On", "UPLOAD_LOCAL": "Off", "UPLOAD_BOTH": "Off"})


def test_cameras_plugged_in_later_get_devices_of_their_own(server, client):
    # one with a name of its own, one named like a device already served
    server.control("orxsim.add_camera({'name': 'Late Arrival', 'width': 640, 'height': 480})")
    server.control(f"orxsim.add_camera({{'name': {GUIDE_CAM!r}, 'width': 320, 'height': 240}})")
    late = "Late Arrival"
    twin = client.wait(lambda: next((d for d in client.client if d.startswith(GUIDE_CAM + " ")), None),
                       "the second camera's device")
    assert twin[len(GUIDE_CAM) + 1:].isdigit()              # the camera id added to the name
    for cam, shape in ((late, (480, 640)), (twin, (240, 320))):
        assert client.vector(cam, "DRIVER_INFO")["DRIVER_NAME"] == cam
        client.connect(cam)
        assert expose(client, cam, 0.1).data.shape == shape
    client.connect(GUIDE_CAM)                                 # the first of the name is still itself
    assert expose(client, GUIDE_CAM, 0.1).data.shape == (960, 1280)


def test_unplugged_camera_alerts_and_comes_back(server, client):
    cam = GUIDE_CAM
    client.connect(cam)
    mark = client.set(cam, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 100})      # 1 s at the test's clock
    server.control("orxsim.unplug(1002)")
    assert client.after(mark, cam, "CCD_EXPOSURE", ("Alert",))
    assert client.after(mark, cam, "CONNECTION", ("Alert",))
    assert any("unplugged" in m for m in client.messages(mark, cam))
    mark = len(client.events)
    server.control("orxsim.replug(1002)")
    assert client.after(mark, cam, "CONNECTION", ("Ok",))
    expose(client, cam, 0.1)                         # settings and captures work again


@pytest.mark.parametrize("function, status, exception", [
    ("ORXStartExposure", "GENERAL", "ORXGeneralError"),
    ("ORXGetDataAfterExp", "TIMEOUT", "ORXTimeout"),
])
def test_library_errors_reach_the_client_as_alerts(server, client, function, status, exception):
    cam = GUIDE_CAM
    client.connect(cam)
    server.control(f"orxsim.inject({function!r}, orxsim.Status.{status})")
    mark = client.set(cam, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 0.1})
    assert client.after(mark, cam, "CCD_EXPOSURE", ("Alert",))
    assert any(exception in m for m in client.messages(mark, cam)), client.messages(mark, cam)
    expose(client, cam, 0.1)                         # the next exposure is fine


def test_video_streams_raw_frames_and_stops(server, client):
    cam = GUIDE_CAM
    client.connect(cam)
    client.set(cam, "CCD_FRAME", {"X": 0, "Y": 0, "WIDTH": 640, "HEIGHT": 480})
    client.set(cam, "CCD_BINNING", {"HOR_BIN": 2, "VER_BIN": 2})
    mark = client.set(cam, "CCD_VIDEO_STREAM", {"STREAM_ON": "On", "STREAM_OFF": "Off"})

    def frames():
        return [e for e in client.events[mark:] if getattr(e, "eventtype", "") == "SetBLOB"]
    client.wait(lambda: len(frames()) >= 5, "five video frames")
    for e in frames()[:5]:
        assert e.sizeformat["CCD1"][1] == ".stream"
        assert len(e["CCD1"]) == e.sizeformat["CCD1"][0] == 320 * 240 * 2     # binned RAW16 pixels
    # the stream is the frame asked for: the frames' pixels are the camera's 2x2-binned sky, not blank
    assert np.frombuffer(frames()[0]["CCD1"], "<u2").std() > 0
    assert client.state(cam, "CCD_VIDEO_STREAM") == "Busy"
    mark = client.set(cam, "CCD_VIDEO_STREAM", {"STREAM_ON": "Off", "STREAM_OFF": "On"})
    assert client.after(mark, cam, "CCD_VIDEO_STREAM", ("Idle",))
    client.set(cam, "CCD_FRAME_RESET", {"RESET": "On"})
    expose(client, cam, 0.1)                        # snapshots work again
