#!/usr/bin/env python3
"""Calibrate a guide camera's pulses, then guide.

Uses the first camera with a guide (ST4) port unless told otherwise. For each
direction it takes a frame, pulses the port, takes another frame and prints
the star's shift in pixels and the guide rate it implies. Those shifts are
its calibration (west and north must be among the directions): it then
watches the star drift unguided for --guide camera seconds, guides for as
long (a correcting pulse after every frame) and prints the star's RMS
distance from where it started, unguided and guided. With the simulated
cameras that ship with orx it needs no arguments (the simulated mount's
periodic error is what it guides out):

    python examples/guide.py --time-scale 0.01
    python examples/guide.py --pulse 1.5 --directions west east --guide 0 --time-scale 0.01   # pulses only
    python examples/guide.py --sky 100 40 --guide 300 --time-scale 0.01

It says what it is doing as it goes, and Ctrl-C stops it cleanly (the guide
port released). Pulses are timed and measured on the camera's clock; on a fast
simulated clock a short pulse runs with the clock slowed so that it lasts at
least 50 ms (a busy machine waking this process late then hardly lengthens
it).
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import orx
from helpers import (CameraClock, HelpFormatter, add_sky, add_time_scale, check_control, interrupted, number,
                     pick_camera, run, sim_sky, sim_time_scale, sim_wcs)

DIRECTIONS = {d.name.removeprefix("ORX_GUIDE_").lower(): d for d in orx.GuideDirection}
BOX = 8  # half-size of the window a star is measured in, pixels


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    p.add_argument("-c", "--camera", type=int, help="camera index (default: the first with a guide port)")
    p.add_argument("-e", "--exposure", type=number(float, above=0), default=2.0, help="exposure per frame in seconds")
    p.add_argument("-g", "--gain", type=int, help="gain (default: the camera's default)")
    p.add_argument("-p", "--pulse", type=number(float, above=0, maximum=3600), default=2.0,
                   help="length of each calibration pulse in seconds")
    p.add_argument("-d", "--directions", nargs="+", choices=DIRECTIONS, default=["west", "north"],
                   help="directions to pulse, one after the other")
    p.add_argument("--guide", type=number(float, minimum=0, maximum=86400), default=120, metavar="SECONDS",
                   help="after calibrating, watch the star this long unguided, then guide it as long "
                        "(0: only measure the pulses)")
    p.add_argument("--aggressiveness", type=number(float, above=0, maximum=1.5), default=0.7,
                   help="share of each measured error a guide pulse corrects")
    add_time_scale(p)
    add_sky(p)
    return p, p.parse_args(argv)


def guide_camera(parser, index):
    count = orx.get_number_of_connected_cameras()
    if index is not None:
        return pick_camera(parser, index, count)
    for i in range(count):
        info = orx.get_camera_property(i)
        if info.st_4_port:
            return info
    sys.exit("no camera with a guide port is connected")


def snapshot(cam, width, height, exposure_s, clock):
    """One RAW16 frame as a float array (numpy views the bytes, then converts)."""
    orx.start_exposure(cam, False)
    clock.sleep(exposure_s)
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


MARGIN = 4 * BOX  # stars are looked for this far from the edges


def find_stars(img, count=30):
    """(x, y) of up to `count` stars away from the edges, brightest first. A
    3x3 sum over the background favours stars, whose light spreads over
    several pixels, over hot pixels, whose light sits in one; the brightest
    pixel of a candidate must also have a bright neighbour."""
    background = np.median(img)
    score = box_sum(img - background, 1)
    score[:MARGIN], score[-MARGIN:], score[:, :MARGIN], score[:, -MARGIN:] = 0, 0, 0, 0
    found = []
    for flat in np.argsort(score, axis=None)[::-1][:count * 20]:
        y, x = np.unravel_index(flat, score.shape)
        if score[y, x] <= 0 or len(found) == count:
            break
        if any(abs(x - fx) <= BOX and abs(y - fy) <= BOX for fx, fy in found):
            continue  # the same star again
        patch = np.sort((img[y - 1:y + 2, x - 1:x + 2] - background).ravel())
        if patch[-2] > 0.3 * patch[-1]:
            found.append((float(x), float(y)))
    return found


def field_shift(before, after):
    """How far the star field moved between two lists of stars: the offset
    that most pairs of stars agree on (within 2 px), or None when fewer than
    three stars agree (the frames show different parts of the sky)."""
    if not before or not after:
        return None
    diffs = np.array([(ax - bx, ay - by) for bx, by in before for ax, ay in after])
    cells, counts = np.unique(np.round(diffs / 2).astype(int), axis=0, return_counts=True)
    if counts.max() < 3:
        return None
    agree = np.all(np.abs(diffs - 2 * cells[counts.argmax()]) <= 2, axis=1)
    return diffs[agree].mean(axis=0)


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


def calibration(results):
    """Pixels per second of west and north pulses, as the columns of a 2x2 matrix."""
    rate = {name: np.array([dx, dy]) / pulse_s for name, pulse_s, dx, dy in results}
    return np.column_stack([rate["west"], rate["north"]])


def pulse(cam, direction, seconds, clock):
    """A guide pulse of `seconds` camera seconds; how long it lasted on the camera's clock."""
    return clock.timed(seconds, lambda: orx.pulse_guide_on(cam, direction), lambda: orx.pulse_guide_off(cam, direction))


PROGRESS_EVERY = 30  # camera seconds between progress lines


def follow(cam, width, height, args, clock, x0, y0, cal=None):
    """Frames for args.guide camera seconds, the star's offset from (x0, y0)
    after each; with a calibration, a correcting pulse after each frame."""
    phase = "guiding" if cal is not None else "unguided"
    print(f"{phase} for {args.guide:g} s ...", flush=True)
    offsets, x, y = [], x0, y0
    t0 = clock.now()
    next_report = PROGRESS_EVERY
    while (elapsed := clock.now() - t0) < args.guide and interrupted() is None:
        if elapsed >= next_report:
            print(f"  {phase} {elapsed:.0f}/{args.guide:g} s, {len(offsets)} frames, RMS {rms(np.array(offsets)):.2f} px",
                  flush=True)
            next_report += PROGRESS_EVERY
        img = snapshot(cam, width, height, args.exposure, clock)
        x, y = track(img, x, y)
        err = np.array([x - x0, y - y0])
        offsets.append(err)
        if cal is not None:
            # the pulse lengths (west, north) that would have made this error, undone
            west, north = np.linalg.solve(cal, err) * args.aggressiveness
            for seconds, plus, minus in ((west, "east", "west"), (north, "south", "north")):
                if abs(seconds) * 1000 >= 5:  # shorter pulses are lost in the noise
                    pulse(cam, DIRECTIONS[plus if seconds > 0 else minus], min(abs(seconds), args.exposure), clock)
    return np.array(offsets)


def rms(offsets):
    return float(np.sqrt(np.mean(np.sum(offsets ** 2, axis=1)))) if len(offsets) else float("nan")


def main(argv=None):
    parser, args = parse_args(argv)
    sim_time_scale(parser, args.time_scale)
    clock = CameraClock()
    sim_sky(parser, args.sky)
    if args.guide and not {"west", "north"} <= set(args.directions):
        parser.error("--guide: the calibration needs west and north among --directions "
                     "(--guide 0 only measures the pulses)")
    info = guide_camera(parser, args.camera)
    if not info.st_4_port:
        parser.error(f"--camera: {info.name} has no guide port")
    cam = info.camera_id
    width, height = info.max_width // 8 * 8, info.max_height // 2 * 2
    results = []

    orx.open_camera(cam)
    try:
        orx.init_camera(cam)
        exposure_us = check_control(parser, cam, "--exposure", orx.ControlType.ORX_EXPOSURE, args.exposure, 1e6, " s")
        if args.gain is not None:
            check_control(parser, cam, "--gain", orx.ControlType.ORX_GAIN, args.gain)
            orx.set_control_value(cam, orx.ControlType.ORX_GAIN, args.gain, False)
        orx.set_roi_format(cam, width, height, 1, orx.ImgType.IMG_RAW16)
        orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, exposure_us, False)
        img = snapshot(cam, width, height, args.exposure, clock)
        stars = find_stars(img)
        if not stars:
            sys.exit("no star found: try a longer exposure or more gain")
        x, y = centroid(img, *stars[0])
        print(f"{info.name}: guide star at x={x:.2f} y={y:.2f}")
        print(f"calibrating: {len(args.directions)} pulses of {args.pulse:g} s ...", flush=True)
        for name in args.directions:
            # frames just before and just after the pulse, measured only then:
            # what the sky did meanwhile (a mount's drift) does not count as
            # the pulse's, however long the measuring takes
            img = snapshot(cam, width, height, args.exposure, clock)
            pulse_s = pulse(cam, DIRECTIONS[name], args.pulse, clock)  # camera seconds it lasted
            after = snapshot(cam, width, height, args.exposure, clock)
            x, y = track(img, x, y)
            # The star field moves as a whole: its shift tells where the guide
            # star went, however far, as long as the frames overlap.
            shift = field_shift(find_stars(img), find_stars(after))
            if shift is None:
                sys.exit(f"pulse {name}: lost the star field, the pulse moved it out of the frame; "
                         "use shorter pulses")
            px, py = x + shift[0], y + shift[1]
            if not (MARGIN <= px < width - MARGIN and MARGIN <= py < height - MARGIN):
                sys.exit(f"pulse {name}: the guide star left the frame (the field moved by "
                         f"{shift[0]:+.0f}, {shift[1]:+.0f} px); use shorter pulses")
            nx, ny = track(after, px, py)
            dx, dy = nx - x, ny - y
            rate = np.hypot(dx, dy) / pulse_s
            print(f"pulse {name:5s} {pulse_s:7.3f} s: shift dx={dx:+.2f} dy={dy:+.2f} px, "
                  f"rate {rate:.2f} px/s", flush=True)
            results.append((name, pulse_s, dx, dy))
            x, y = nx, ny
        if args.guide:
            cal = calibration(results)
            scale = sim_wcs(cam)
            arcsec = 3600 * np.sqrt(abs(scale["CD1_1"] * scale["CD2_2"] - scale["CD1_2"] * scale["CD2_1"])) \
                if scale else None
            unit = lambda v: f"{v:.2f} px" + (f" ({v * arcsec:.2f}\")" if arcsec else "")
            before = follow(cam, width, height, args, clock, x, y)
            print(f"unguided: {len(before)} frames, RMS {unit(rms(before))}")
            if interrupted() is None:
                x, y = x + before[-1][0], y + before[-1][1]
                after = follow(cam, width, height, args, clock, x, y, cal)
                print(f"guided:   {len(after)} frames, RMS {unit(rms(after))}")
                results.append(("rms", rms(before), rms(after), arcsec))
    finally:
        orx.close_camera(cam)
    return results


if __name__ == "__main__":
    run(main)
