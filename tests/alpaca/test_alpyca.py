"""The official Alpaca client against the server: discovery, management, the
exposure cycle, cooling, guiding, two clients at once."""
import threading
import time

import numpy as np
import pytest

alpaca_discovery = pytest.importorskip("alpaca.discovery")
from alpaca import management  # noqa: E402
from alpaca.camera import Camera, CameraStates, GuideDirections  # noqa: E402
from alpaca.exceptions import InvalidOperationException, InvalidValueException, NotConnectedException  # noqa: E402

import orx  # noqa: E402
import orxsim  # noqa: E402
from orxalpaca import Server, ServerThread  # noqa: E402

from alpaca_helpers import sensor_pixels  # noqa: E402
from skyhelp import pulse_motion  # noqa: E402


def address(server):
    return f"127.0.0.1:{server.server.port}"


def camera(server, number):
    cam = Camera(address(server), number)
    cam.Connected = True
    return cam


def expose(cam, duration, light=True, timeout=60):
    cam.StartExposure(duration, light)
    deadline = time.monotonic() + timeout
    while not cam.ImageReady:
        assert cam.CameraState != CameraStates.cameraError
        assert time.monotonic() < deadline, "no image"
        time.sleep(0.01)
    return np.array(cam.ImageArray)


def test_discovery_finds_the_server(server, monkeypatch):
    port = server.server.discovery_transport.get_extra_info("sockname")[1]
    monkeypatch.setattr(alpaca_discovery, "port", port)
    found = alpaca_discovery.search_ipv4(numquery=1, timeout=0.5)
    assert address(server) in found


def test_discovery_port_in_use_leaves_the_server_running():
    first = ServerThread(Server(port=0, discovery_port=0)).start()
    taken = first.server.discovery_transport.get_extra_info("sockname")[1]
    second = ServerThread(Server(port=0, discovery_port=taken)).start()
    try:
        assert second.server.discovery_transport is None
        assert management.apiversions(address(second)) == [1]
    finally:
        second.stop()
        first.stop()


def test_management_lists_every_camera_with_stable_unique_ids(server):
    devices = management.configureddevices(address(server))
    infos = [orx.get_camera_property(i) for i in range(orx.get_number_of_connected_cameras())]
    assert [(d["DeviceNumber"], d["DeviceName"], d["DeviceType"]) for d in devices] == \
        [(i, info.name, "Camera") for i, info in enumerate(infos)]
    ids = [d["UniqueID"] for d in devices]
    assert len(set(ids)) == len(ids)
    again = ServerThread(Server(port=0, discovery_port=None)).start()
    try:
        assert [d["UniqueID"] for d in management.configureddevices(address(again))] == ids
    finally:
        again.stop()
    assert management.apiversions(address(server)) == [1]
    assert management.description(address(server))["ServerName"]


@pytest.mark.parametrize("number, mode, bin_", [
    (0, "RAW16", 2),     # cooled colour camera, Bayer mosaic
    (2, "RGB24", 1),     # colour planes
    (1, "RAW8", 1),
])
def test_image_equals_the_frame_fetched_with_orx(server, frames, number, mode, bin_):
    cam = camera(server, number)
    cam.ReadoutMode = cam.ReadoutModes.index(mode)
    cam.BinX = bin_
    # a subframe whose width the camera cannot read as it is: read wider, cropped
    cam.StartX, cam.StartY, cam.NumX, cam.NumY = 3, 5, 203, 101
    image = expose(cam, 0.05)
    info = cam.ImageArrayInfo
    assert (info.Dimension1, info.Dimension2) == (203, 101)
    if info.Rank == 3:
        # the client's nested lists repeat the first column for colour images;
        # its flat array is right
        assert info.Dimension3 == 3
        image = np.array(cam.ImageArrayRaw).reshape(203, 101, 3)
    width = 208
    assert len(frames) == 1 and len(frames[0]) % (width * 102) == 0
    pixels = sensor_pixels(frames[0], width, 102, orx.ImgType[f"IMG_{mode}"])
    x0, y0 = 3 - orx.get_start_pos(cam_id(number))[0], 5 - orx.get_start_pos(cam_id(number))[1]
    expected = pixels[y0:y0 + 101, x0:x0 + 203].swapaxes(0, 1)
    assert image.shape == expected.shape
    assert np.array_equal(image, expected)


def cam_id(number):
    return orx.get_camera_property(number).camera_id


def test_cooling(server):
    cam = camera(server, 0)
    assert cam.CanSetCCDTemperature and cam.CanGetCoolerPower
    start = cam.CCDTemperature
    cam.SetCCDTemperature = start - 10
    cam.CoolerOn = True
    assert cam.CoolerOn and cam.SetCCDTemperature == round(start - 10)
    deadline = time.monotonic() + 30
    while cam.CCDTemperature > start - 1:
        assert time.monotonic() < deadline, "the sensor did not cool"
        time.sleep(0.05)
    assert cam.CoolerPower > 0
    with pytest.raises(InvalidValueException):
        cam.SetCCDTemperature = -100


def star_shift(before, after):
    """Shift (dx, dy) of `after` against `before`, by phase correlation of the
    light well above each frame's background (its noise would peak at no shift)."""
    a, b = (np.fft.fft2(np.clip(f - np.median(f) - 5 * f.std(), 0, None)) for f in (before, after))
    r = np.fft.ifft2(b * np.conj(a) / (np.abs(b * np.conj(a)) + 1e-9)).real
    dy, dx = np.unravel_index(np.argmax(r), r.shape)
    h, w = r.shape
    return (dx if dx <= w // 2 else dx - w), (dy if dy <= h // 2 else dy - h)


def test_guide_pulse_moves_the_star(server):
    orxsim.set_time_scale(0.1)                # the 5 s pulse lasts 0.5 s: long enough to be seen running
    cam = camera(server, 1)                   # the guide camera
    assert cam.CanPulseGuide
    # hot pixels and amplifier glow stay put: a dark frame takes them out
    dark = expose(cam, 1.0, light=False).astype(float).T
    before = expose(cam, 1.0).astype(float).T - dark
    # where 5 s of camera time west moves the stars, through the frame's own WCS
    want = 5 * pulse_motion(orxsim.wcs(1002))["west"]
    cam.PulseGuide(GuideDirections.guideWest, 5000)
    assert cam.IsPulseGuiding
    deadline = time.monotonic() + 30
    while cam.IsPulseGuiding:
        assert time.monotonic() < deadline
        time.sleep(0.005)
    after = expose(cam, 1.0).astype(float).T - dark
    shift = np.array(star_shift(before, after))
    unit = want / np.hypot(*want)
    along, across = shift @ unit, shift @ [-unit[1], unit[0]]
    # the pulse is timed by the server's clock: allow for a late wake-up
    assert 0.9 * np.hypot(*want) - 1 <= along <= 2 * np.hypot(*want) and abs(across) <= 1.5, (shift, want)


def test_two_clients_at_once(server, frames):
    first, second = camera(server, 0), camera(server, 2)
    watcher = Camera(address(server), 0)      # a third client only polls the first camera
    for cam in (first, second):
        cam.ReadoutMode = cam.ReadoutModes.index("RAW8")
        cam.NumX, cam.NumY = 640, 480
    images, polls, errors = {}, [], []

    def run(name, cam):
        try:
            images[name] = expose(cam, 0.2)
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(n, c)) for n, c in (("first", first), ("second", second))]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        polls.append(watcher.CameraState)
    for t in threads:
        t.join()
    assert not errors
    assert len(polls) > 0
    assert images["first"].shape == images["second"].shape == (640, 480)
    fetched = {len(f) for f in frames}
    assert fetched == {640 * 480}
    got = sorted(images.values(), key=lambda a: a.tobytes())
    want = sorted((sensor_pixels(f, 640, 480, orx.ImgType.IMG_RAW8).T for f in frames), key=lambda a: a.tobytes())
    assert all(np.array_equal(g, w) for g, w in zip(got, want))


def test_wrong_state_errors_reach_the_client(server):
    cam = Camera(address(server), 1)
    with pytest.raises(NotConnectedException):
        cam.Gain
    cam.Connected = True
    with pytest.raises(InvalidOperationException):
        cam.ImageArray
    cam.StartExposure(100, True)
    with pytest.raises(InvalidOperationException):
        cam.StartExposure(1, True)
    cam.AbortExposure()
    assert cam.CameraState == CameraStates.cameraIdle and not cam.ImageReady
