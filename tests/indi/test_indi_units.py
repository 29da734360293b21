"""The driver's parts that need no server: reading messages out of a stream,
the FITS file, the BLOB's base64 pieces and ordered output, upload names and
the WCS of a frame the layer cropped or binned."""
from __future__ import annotations

import base64
import datetime as dt
import io
import os
import random
import socket
import threading
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from astropy.io import fits

import orx
from orxdevice import camera as layer
from orxdevice import fits as orxfits
from orxindi import image, output
from orxindi.capture import local_name
from orxindi.driver import Reader

MESSAGES = [b"<getProperties version='1.7'/>",
            b'<newNumberVector device="A b" name="CCD_EXPOSURE"><oneNumber name="CCD_EXPOSURE_VALUE">1.5'
            b"</oneNumber></newNumberVector>",
            b'<newTextVector device="A b" name="UPLOAD_SETTINGS"><oneText name="UPLOAD_PREFIX">x&amp;y</oneText>'
            b"</newTextVector>"]


def shape(e: ET.Element) -> tuple:
    return e.tag, e.attrib, [(c.tag, c.attrib, c.text) for c in e]


def test_messages_are_read_whole_whatever_the_chunks():
    stream = b"\n".join(MESSAGES * 3) + b"\n"
    rng = random.Random(1)
    for _ in range(50):
        reader, got, at = Reader(), [], 0
        while at < len(stream):
            n = rng.randint(1, 40)
            got += reader.feed(stream[at:at + n])
            at += n
        assert [shape(e) for e in got] == [shape(ET.fromstring(m)) for m in MESSAGES * 3]


@pytest.mark.parametrize("bad", [b"<oops <<< & </notopen>", b"<a></b>", b"\xff\xfe<<", b"</newNumberVector>"])
def test_malformed_xml_costs_only_itself(bad):
    reader = Reader()
    got = reader.feed(MESSAGES[0] + b"\n" + bad + b"\n" + MESSAGES[1] + b"\n")
    got += reader.feed(MESSAGES[2] + b"\n")
    assert [e.tag for e in got] == ["getProperties", "newNumberVector", "newTextVector"]


@pytest.mark.parametrize("shape, dtype", [((60, 80), np.uint16), ((60, 80), np.uint8), ((60, 80, 3), np.uint8)])
def test_fits_file_reads_back_like_the_examples_files(shape, dtype):
    rng = np.random.default_rng(0)
    pixels = rng.integers(0, np.iinfo(dtype).max + 1, shape, dtype=dtype)
    pixels.flat[:2] = (0, np.iinfo(dtype).max)
    header = orxfits.frame_header(date_obs=dt.datetime(2026, 1, 2, 3, 4, 5), exposure_s=2.5, gain=100,
                                  bayer_pattern="GRBG" if len(shape) == 2 else None)
    ours = bytes(image.fits_bytes(pixels, header))
    assert len(ours) % 2880 == 0
    reference = orxfits.fits_bytes(pixels, header)
    with fits.open(io.BytesIO(ours)) as a, fits.open(io.BytesIO(reference)) as b:
        assert np.array_equal(a[0].data, b[0].data) and a[0].data.dtype == b[0].data.dtype
        assert dict(a[0].header) == dict(b[0].header)
    assert ours == reference              # byte for byte the same file
    for ready in (False, True):           # made in shared memory, its pages mapped as written or beforehand
        assert bytes(image.fits_bytes(pixels, header, lambda n: output.SharedBuffer(n, ready))) == reference


@pytest.mark.parametrize("size", [0, 1, 2, 3, output.B64_CHUNK - 1, output.B64_CHUNK, 2 * output.B64_CHUNK + 2])
def test_base64_pieces_join_to_the_whole_text(size):
    payload = os.urandom(size)
    assert b"".join(output.base64_pieces(payload)) == base64.b64encode(payload)


def test_output_writes_messages_whole_and_in_order_from_many_threads():
    r, w = os.pipe()
    out = output.Output(w)
    received = []
    reader = threading.Thread(target=lambda: received.append(b"".join(iter(lambda: os.read(r, 1 << 16), b""))))
    reader.start()

    def writer(n):
        for i in range(50):
            out.put([b"<m n='%d' i='%d'>" % (n, i), output.base64_pieces(bytes([n]) * 5000), b"</m>\n"])
    threads = [threading.Thread(target=writer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    out.close()
    os.close(w)
    reader.join()
    lines = received[0].split(b"\n")[:-1]
    assert len(lines) == 200
    for n in range(4):
        mine = [ET.fromstring(x) for x in lines if x.startswith(b"<m n='%d'" % n)]
        assert [int(e.get("i")) for e in mine] == list(range(50))
        assert all(base64.b64decode(e.text) == bytes([n]) * 5000 for e in mine)


def test_upload_names_take_the_next_free_number(tmp_path):
    when = dt.datetime(2026, 12, 7, 21, 30, 5)
    assert local_name(str(tmp_path), "IMAGE_XXX", when) == "IMAGE_001"
    for name in ("IMAGE_001.fits", "IMAGE_041.fits", "IMAGE_x.fits", "OTHER_099.fits"):
        (tmp_path / name).touch()
    assert local_name(str(tmp_path), "IMAGE_XXX", when) == "IMAGE_042"
    assert local_name(str(tmp_path), "M31_ISO8601", when) == "M31_2026-12-07T21-30-05"


@pytest.mark.parametrize("frame, binning", [((101, 51, 301, 203), 1), ((0, 0, 6248, 4176), 2), ((13, 7, 400, 300), 3)])
def test_frame_wcs_follows_the_crop_and_the_binning_done_here(frame, binning):
    """A sky point at the centre of a read pixel is at that pixel's centre in
    the frame served, whatever the layer cropped or binned."""
    sensor = layer.Sensor(1001, 6248, 4176, (1, 2, 3, 4), True, orx.BayerPattern.BAYER_RG,
                          (orx.ImgType.IMG_RAW16,))
    x, y, w, h = frame
    plan = layer.plan_frame(sensor, binning, x // binning, y // binning, w // binning, h // binning,
                            orx.ImgType.IMG_RAW16)
    read = {"CRPIX1": 10.0, "CRPIX2": 20.0, "CD1_1": -1e-4, "CD1_2": 0.0, "CD2_1": 0.0, "CD2_2": 1e-4}
    served = image.frame_wcs(read, plan)
    b = plan.software_bin
    # read pixel (1-based) p -> served pixel (p - crop - 0.5) / b + 0.5: the reference pixel moves alike
    assert served["CRPIX1"] == pytest.approx((10.0 - plan.crop_x - 0.5) / b + 0.5)
    assert served["CRPIX2"] == pytest.approx((20.0 - plan.crop_y - 0.5) / b + 0.5)
    assert served["CD1_1"] == pytest.approx(-1e-4 * b) and served["CD2_2"] == pytest.approx(1e-4 * b)


def _shared(data: bytes) -> output.SharedBuffer:
    out = output.SharedBuffer(len(data))
    out[:] = data
    return out


@pytest.mark.parametrize("made", [bytes, _shared], ids=["bytes", "made-in-shared-memory"])
def test_images_go_as_shared_memory_on_a_unix_socket_and_as_text_elsewhere(made):
    payload = os.urandom(100_000)
    vector = ET.Element("setBLOBVector", {"device": "D", "name": "CCD1"})
    member = ET.Element("oneBLOB", {"name": "CCD1", "size": str(len(payload)), "format": ".fits"})
    ours, theirs = socket.socketpair()
    out = output.Output(ours.fileno())
    out.put(output.attached_blob_message(vector, member, made(payload))).result(10)
    text, fds, _, _ = socket.recv_fds(theirs, 1 << 16, 4)
    text += theirs.recv(1 << 16) if not text.endswith(b"\n") else b""
    assert len(fds) == 1 and b"attached=\"true\"" in text and f'len="{len(payload)}"'.encode() in text
    try:
        assert os.pread(fds[0], len(payload) + 1, 0) == payload
    finally:
        os.close(fds[0])
    out.close()
    ours.close(), theirs.close()

    r, w = os.pipe()                          # not a socket: the base64 text, as any INDI stream carries it
    payload = payload[:30_000]                # its text fits the pipe's buffer: no reader needed meanwhile
    out = output.Output(w)
    out.put(output.attached_blob_message(vector, member, made(payload))).result(10)
    out.close()
    os.close(w)
    with os.fdopen(r, "rb") as f:
        message = ET.fromstring(f.read())
    assert base64.b64decode(message[0].text) == payload and "attached" not in message[0].attrib


def test_a_camera_plugged_in_under_a_served_name_is_refused():
    # a device replaced in the driver would go unseen by clients yet never
    # stop, keeping the driver alive after indiserver has gone
    import asyncio

    from orxindi.device import CameraDevice, read_caps
    from orxindi.driver import build

    r, w = os.pipe()
    driver, pool = build([1002], "test", lambda: 1.0, output=output.Output(w))
    try:
        (name, first), = driver.cameras.items()
        twin = CameraDevice(name, 1003, pool, lambda: 1.0, "test", read_caps(1003))
        with pytest.raises(ValueError, match="already served"):
            asyncio.run(driver.add_camera(twin))
        assert driver[name] is first.device and driver.cameras == {name: first}
    finally:
        driver.output.close()
        pool.shutdown()
        os.close(r)
        os.close(w)
