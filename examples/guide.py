#!/usr/bin/env python3
"""Find a guide star, pulse the guide port and measure how far the star moved.

Uses the first camera with a guide (ST4) port unless told otherwise. For each
direction it takes a frame, pulses the port, takes another frame and prints
the star's shift in pixels and the guide rate it implies. With the simulated
cameras that ship with orx it needs no arguments:

    python examples/guide.py
    python examples/guide.py --pulse 1500 --directions west east --time-scale 0.01
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import orx

DIRECTIONS = {d.name.removeprefix("ORX_GUIDE_").lower(): d for d in orx.GuideDirection}
BOX = 8  # half-size of the window a star is measured in, pixels



class HelpFormatter(argparse.RawDescriptionHelpFormatter, argparse.ArgumentDefaultsHelpFormatter):
    """The module docstring as written; defaults shown where there is one."""

    def _get_help_string(self, action):
        return action.help if action.default is None or action.default is False else super()._get_help_string(action)
def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    p.add_argument("-c", "--camera", type=int, help="camera index (default: the first with a guide port)")
    p.add_argument("-e", "--exposure", type=float, default=2.0, help="exposure per frame in seconds")
    p.add_argument("-g", "--gain", type=int, help="gain (default: the camera's default)")
    p.add_argument("-p", "--pulse", type=float, default=2000, help="length of each guide pulse in milliseconds")
    p.add_argument("-d", "--directions", nargs="+", choices=DIRECTIONS, default=["west", "north"],
                   help="directions to pulse, one after the other")
    p.add_argument("--time-scale", type=float,
                   help="simulated cameras only: wall seconds per camera second (0.01 runs 100x faster)")
    return p.parse_args(argv)


def sim_time_scale(requested):
    """Set the simulator's time scale when asked to; the scale in effect (1.0 for a real camera)."""
    try:
        import orxsim

        orxsim.library()
    except (ImportError, OSError, RuntimeError):
        if requested is not None:
            sys.exit("--time-scale needs the simulated cameras")
        return 1.0
    if requested is not None:
        orxsim.set_time_scale(requested)
    return orxsim.time_scale()


def guide_camera(index):
    cameras = [orx.get_camera_property(i) for i in range(orx.get_number_of_connected_cameras())]
    if index is not None:
        if not 0 <= index < len(cameras):
            sys.exit(f"no camera with index {index} ({len(cameras)} connected)")
        return cameras[index]
    for info in cameras:
        if info.st_4_port:
            return info
    sys.exit("no camera with a guide port is connected")


def snapshot(cam, width, height, exposure_s, time_scale):
    """One RAW16 frame as a float array (numpy views the bytes, then converts)."""
    orx.start_exposure(cam, False)
    time.sleep(exposure_s * time_scale)
    while orx.get_exp_status(cam) == orx.ExposureStatus.ORX_EXP_WORKING:
        time.sleep(0.001)
    frame = orx.get_data_after_exp(cam, width * height * 2)
    return np.frombuffer(frame, dtype="<u2").reshape(height, width).astype(np.float64)


def box_sum(img, r):
    """Sum over the (2r+1)^2 window around every pixel (edges left at 0)."""
    c = np.pad(img, ((1, 0), (1, 0))).cumsum(0).cumsum(1)
    k = 2 * r + 1
    out = np.zeros_like(img)
    out[r:-r, r:-r] = c[k:, k:] - c[:-k, k:] - c[k:, :-k] + c[:-k, :-k]
    return out


def find_star(img):
    """(x, y) of the brightest star away from the edges. A 3x3 sum over the
    background favours stars, whose light spreads over several pixels, over hot
    pixels, whose light sits in one; the brightest pixel of a candidate must also
    have a bright neighbour."""
    background = np.median(img)
    score = box_sum(img - background, 1)
    margin = 4 * BOX
    score[:margin], score[-margin:], score[:, :margin], score[:, -margin:] = 0, 0, 0, 0
    for flat in np.argsort(score, axis=None)[::-1][:50]:
        y, x = np.unravel_index(flat, score.shape)
        patch = np.sort((img[y - 1:y + 2, x - 1:x + 2] - background).ravel())
        if patch[-2] > 0.3 * patch[-1]:
            return float(x), float(y)
    sys.exit("no star found: try a longer exposure or more gain")


def centroid(img, x, y):
    """Centroid of the light above the background in the window around (x, y)."""
    xi, yi = int(round(x)), int(round(y))
    win = img[yi - BOX:yi + BOX + 1, xi - BOX:xi + BOX + 1]
    w = np.clip(win - np.median(img), 0, None)
    w[w < 0.1 * w.max()] = 0
    yy, xx = np.mgrid[-BOX:BOX + 1, -BOX:BOX + 1]
    total = w.sum()
    if total <= 0:
        raise RuntimeError("the star left the search window")
    return xi + (w * xx).sum() / total, yi + (w * yy).sum() / total


def track(img, x, y):
    """Follow a star that moved by up to a few window sizes: recentre on the
    brightest spot nearby, then measure."""
    xi, yi = int(round(x)), int(round(y))
    r = 3 * BOX
    area = box_sum(img[yi - r - BOX:yi + r + BOX + 1, xi - r - BOX:xi + r + BOX + 1] - np.median(img), 1)
    area = area[BOX:-BOX, BOX:-BOX]
    dy, dx = np.unravel_index(np.argmax(area), area.shape)
    return centroid(img, xi - r + dx, yi - r + dy)


def main(argv=None):
    args = parse_args(argv)
    time_scale = sim_time_scale(args.time_scale)
    info = guide_camera(args.camera)
    if not info.st_4_port:
        sys.exit(f"{info.name} has no guide port")
    cam = info.camera_id
    width, height = info.max_width // 8 * 8, info.max_height // 2 * 2
    results = []

    orx.open_camera(cam)
    try:
        orx.init_camera(cam)
        orx.set_roi_format(cam, width, height, 1, orx.ImgType.IMG_RAW16)
        orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, round(args.exposure * 1e6), False)
        if args.gain is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_GAIN, args.gain, False)
        img = snapshot(cam, width, height, args.exposure, time_scale)
        x, y = centroid(img, *find_star(img))
        print(f"{info.name}: guide star at x={x:.2f} y={y:.2f}")
        for name in args.directions:
            direction = DIRECTIONS[name]
            orx.pulse_guide_on(cam, direction)
            t0 = time.monotonic()
            time.sleep(args.pulse / 1000 * time_scale)
            orx.pulse_guide_off(cam, direction)
            pulse_s = (time.monotonic() - t0) / time_scale  # camera seconds the pulse lasted
            img = snapshot(cam, width, height, args.exposure, time_scale)
            nx, ny = track(img, x, y)
            dx, dy = nx - x, ny - y
            rate = np.hypot(dx, dy) / pulse_s
            print(f"pulse {name:5s} {pulse_s * 1000:7.1f} ms: shift dx={dx:+.2f} dy={dy:+.2f} px, "
                  f"rate {rate:.2f} px/s")
            results.append((name, pulse_s, dx, dy))
            x, y = nx, ny
    finally:
        orx.close_camera(cam)
    return results


if __name__ == "__main__":
    try:
        main()
    except orx.ORXError as e:  # a library status: the class names it, its docstring explains it
        sys.exit(f"{type(e).__name__}: {type(e).__doc__}")
