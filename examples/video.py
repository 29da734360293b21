#!/usr/bin/env python3
"""Run a camera in video mode and show frames, frame rate and dropped frames live.

Captures for a number of seconds (or frames) and prints a summary line at the
end; with --output it also writes the last frame as a stretched PNG. With the
simulated cameras that ship with orx it needs no arguments:

    python examples/video.py
    python examples/video.py --camera 2 --roi 1920 1080 --exposure 0.002 --seconds 10
    python examples/video.py --exposure 2 --gain 300 --frames 5 --output . --time-scale 0.01

The default frames of a second in RAW16 show the simulated night's brighter
stars; frames of a few milliseconds suit bright targets. Ctrl-C ends the
capture early and still prints the summary and writes --output.
"""
from __future__ import annotations

import argparse
import pathlib
import time

from tqdm import tqdm

import orx
from helpers import (SAVED, HelpFormatter, add_time_scale, check_bin, check_control, interrupted, number,
                     pick_camera, run, sim_time_scale, stretch, to_array)
from orxdevice.files import check_folder, write_replacing

FORMATS = {"RAW8": orx.ImgType.IMG_RAW8, "RAW16": orx.ImgType.IMG_RAW16,
           "RGB24": orx.ImgType.IMG_RGB24, "Y8": orx.ImgType.IMG_Y8}
BYTES_PER_PIXEL = {orx.ImgType.IMG_RAW8: 1, orx.ImgType.IMG_Y8: 1, orx.ImgType.IMG_RAW16: 2, orx.ImgType.IMG_RGB24: 3}


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    p.add_argument("-c", "--camera", type=int, default=0, help="camera index")
    p.add_argument("-e", "--exposure", type=number(float, above=0), default=1.0,
                   help="exposure per frame in seconds")
    p.add_argument("-g", "--gain", type=int, help="gain (default: the camera's default)")
    p.add_argument("-b", "--bin", type=number(int, minimum=1), default=1, help="binning factor")
    p.add_argument("-f", "--format", choices=FORMATS, default="RAW16", help="image type")
    p.add_argument("--roi", type=number(int, minimum=1), nargs=2, metavar=("WIDTH", "HEIGHT"), default=(640, 480),
                   help="region of interest in binned pixels, centred on the sensor")
    stop = p.add_mutually_exclusive_group()
    stop.add_argument("-s", "--seconds", type=number(float, above=0), default=5.0,
                      help="how long to capture (wall-clock seconds)")
    stop.add_argument("-n", "--frames", type=number(int, minimum=1),
                      help="how many frames to capture (instead of --seconds)")
    p.add_argument("-o", "--output", type=pathlib.Path, help="write the last frame to OUTPUT/last_frame.png")
    add_time_scale(p)
    return p, p.parse_args(argv)


def capture(cam, size, exposure_s, seconds, frames):
    """Fetch frames until the time or frame count is reached, or Ctrl-C;
    (frames, dropped, elapsed, last frame, the interruption or None)."""
    wait_ms = int(exposure_s * 2000 + 500)
    count, last, dropped, stopped = 0, None, 0, None
    orx.start_video_capture(cam)
    t0 = time.monotonic()
    bar = tqdm(total=frames, unit="frame", desc="video", smoothing=0.1)
    try:
        while interrupted() is None and ((count < frames) if frames is not None else (time.monotonic() - t0 < seconds)):
            try:
                last = orx.get_video_data(cam, size, wait_ms)
            except orx.ORXTimeout:
                bar.write(f"no frame within {wait_ms} ms")
                continue
            count += 1
            bar.update(1)
            if count % 10 == 0:
                elapsed = time.monotonic() - t0
                bar.set_postfix(fps=f"{count / elapsed:.1f}", dropped=orx.get_dropped_frames(cam), refresh=False)
    except KeyboardInterrupt as e:  # the frames so far still count
        stopped = e
    finally:
        elapsed = time.monotonic() - t0
        bar.close()
        try:
            dropped = orx.get_dropped_frames(cam)
        finally:
            orx.stop_video_capture(cam)
    return count, dropped, elapsed, last, stopped


def main(argv=None):
    parser, args = parse_args(argv)
    sim_time_scale(parser, args.time_scale)
    info = pick_camera(parser, args.camera, orx.get_number_of_connected_cameras())
    check_bin(parser, info, args.bin)
    cam = info.camera_id
    width, height = args.roi
    img_type = FORMATS[args.format]
    size = width * height * BYTES_PER_PIXEL[img_type]
    problem = args.output and check_folder(args.output)
    if problem:
        parser.error(f"--output: {problem}")

    orx.open_camera(cam)
    try:
        orx.init_camera(cam)
        exposure_us = check_control(parser, cam, "--exposure", orx.ControlType.ORX_EXPOSURE, args.exposure, 1e6, " s")
        if args.gain is not None:
            check_control(parser, cam, "--gain", orx.ControlType.ORX_GAIN, args.gain)
        orx.set_roi_format(cam, width, height, args.bin, img_type)
        orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, exposure_us, False)
        if args.gain is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_GAIN, args.gain, False)
        print(f"{info.name}: {width}x{height} bin {args.bin} {args.format}, {args.exposure:g} s per frame")
        frames, dropped, elapsed, last, stopped = capture(cam, size, args.exposure, args.seconds, args.frames)
    finally:
        orx.close_camera(cam)

    print(f"frames={frames} dropped={dropped} seconds={elapsed:.2f} fps={frames / max(elapsed, 1e-9):.1f}")
    if args.output and last is not None:
        preview = stretch(to_array(last, width, height, img_type))
        path = write_replacing(args.output / "last_frame.png", lambda f: preview.save(f, format="PNG"), SAVED)
        print(f"wrote {path}")
    if stopped:
        raise stopped  # ends with the line saying what was saved
    return frames, dropped


if __name__ == "__main__":
    run(main)
