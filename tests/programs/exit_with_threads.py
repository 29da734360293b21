"""A capture program that ends while daemon threads are inside orx calls.

    python tests/programs/exit_with_threads.py [SEED]

Daemon threads loop over every kind of call that gives the interpreter lock
up (frame fetches with and without a time limit, in a trigger mode that never
delivers, snapshots, dark-frame loading, opening and closing, starting and
stopping capture, identifier writes) and over calls that keep it; the main
thread returns after a short, seed-chosen moment. The interpreter must exit
with status 0 whatever the threads are doing at that moment.
"""
import os
import random
import struct
import sys
import tempfile
import threading
import time

import orx
import orxsim

rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
orxsim.set_time_scale(0.01)
W, H = 320, 240
SIZE = W * H * 2


def camera(model):
    cam = orxsim.add_camera({"model": model, "width": W, "height": H})
    orx.open_camera(cam)
    orx.init_camera(cam)
    return cam


def dark_frame():
    row = bytes([3]) * W
    palette = b"".join(bytes([i, i, i, 0]) for i in range(256))
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(row) * H, 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 8, 0, len(row) * H, 2835, 2835, 256, 0)
    fd, path = tempfile.mkstemp(suffix=".bmp")
    os.write(fd, header + info + palette + row * H)
    os.close(fd)
    return path


def forever(step):
    def run():
        while True:
            try:
                step()
            except orx.ORXError:
                pass
    return run


video, gps, trig, snap, cycle, dark = (camera(m) for m in ("guide", "cooled", "cooled", "guide", "guide", "guide"))
orx.start_video_capture(video)
orx.start_video_capture(gps)
orx.set_camera_mode(trig, orx.CameraMode.ORX_MODE_TRIG_RISE_EDGE)  # no trigger ever comes
orx.start_video_capture(trig)
path = dark_frame()


def snapshot():
    orx.start_exposure(snap, False)
    while orx.get_exp_status(snap) == orx.ExposureStatus.ORX_EXP_WORKING:
        pass
    orx.get_data_after_exp(snap, SIZE)


def reopen():
    orx.close_camera(cycle)
    orx.open_camera(cycle)
    orx.init_camera(cycle)
    orx.start_video_capture(cycle)
    orx.set_id(cycle, orx.get_id(cycle))
    orx.stop_video_capture(cycle)


steps = [
    lambda: orx.get_video_data(video, SIZE, -1),
    lambda: orx.get_video_data(video, SIZE, 50),
    lambda: orx.get_video_data_gps(gps, SIZE, 1000),
    lambda: orx.get_video_data(trig, SIZE, -1),
    lambda: orx.get_video_data_gps(trig, SIZE, 250),
    snapshot,
    reopen,
    lambda: orx.enable_dark_subtract(dark, path),
    lambda: orx.get_control_value(dark, orx.ControlType.ORX_GAIN),
]
for step in steps:
    threading.Thread(target=forever(step), daemon=True).start()
time.sleep(rng.uniform(0.02, 0.3))
os.unlink(path)
