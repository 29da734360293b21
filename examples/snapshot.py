#!/usr/bin/env python3
"""Take one exposure and save it as a FITS file and a PNG preview.

Lists the connected cameras, opens one, sets gain, offset, exposure, binning,
image type and region of interest, exposes (with a progress bar for exposures
of a second or more), fetches the frame and writes

    <output>/<camera>_<UTC time>.fits   the frame with the usual FITS headers
    <output>/<camera>_<UTC time>.png    a stretched 8-bit preview

to the second; a name already taken gets a suffix (_2, _3, ...): nothing is
ever overwritten. Each file appears whole under its name or not at all, also
when the script is interrupted (Ctrl-C ends it with one line saying what was
saved). The output folder is checked before the exposure starts.

With the simulated cameras that ship with orx it needs no arguments:

    python examples/snapshot.py
    python examples/snapshot.py --camera 1 --exposure 30 --bin 2 --time-scale 0.01
    python examples/snapshot.py --sky 83.8 -5.4 --camera 1    # the simulated mount pointed elsewhere
"""
from __future__ import annotations

import argparse
import datetime as dt
import pathlib
import re
import time

import numpy as np
from tqdm import tqdm

import orx
from helpers import (SAVED, HelpFormatter, add_sky, add_time_scale, check_bin, check_control, number, pick_camera,
                     run, sim_sky, sim_time_scale, to_array)
from helpers import stretch as stretch_8bit
from orxdevice import fits as orxfits

FORMATS = {"RAW8": orx.ImgType.IMG_RAW8, "RAW16": orx.ImgType.IMG_RAW16,
           "RGB24": orx.ImgType.IMG_RGB24, "Y8": orx.ImgType.IMG_Y8}
BYTES_PER_PIXEL = {orx.ImgType.IMG_RAW8: 1, orx.ImgType.IMG_Y8: 1, orx.ImgType.IMG_RAW16: 2, orx.ImgType.IMG_RGB24: 3}


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    p.add_argument("-c", "--camera", type=int, default=0, help="camera index (see the list printed first)")
    p.add_argument("-e", "--exposure", type=number(float, above=0), default=5.0, help="exposure time in seconds")
    p.add_argument("-g", "--gain", type=int, help="gain (default: the camera's default)")
    p.add_argument("--offset", type=int, help="offset, the black level (default: the camera's default)")
    p.add_argument("-b", "--bin", type=number(int, minimum=1), default=1, help="binning factor")
    p.add_argument("-f", "--format", choices=FORMATS, default="RAW16", help="image type")
    p.add_argument("--roi", type=number(int, minimum=1), nargs=2, metavar=("WIDTH", "HEIGHT"),
                   help="region of interest in binned pixels, centred (default: the whole sensor)")
    p.add_argument("--dark", action="store_true", help="take a dark frame (shutter closed)")
    p.add_argument("--set-temp", type=float, metavar="CELSIUS",
                   help="cooled cameras: turn the cooler on with this target (the header's SET-TEMP)")
    p.add_argument("-o", "--output", type=pathlib.Path, default=pathlib.Path("snapshots"), help="output folder")
    header = p.add_argument_group("FITS header", "what the camera cannot know (the simulated sky fills in its own "
                                  "optics and pointing)")
    header.add_argument("--object", help="target name (OBJECT)")
    header.add_argument("--telescope", help="telescope name (TELESCOP)")
    header.add_argument("--focal-length", type=number(float, above=0), metavar="MM", help="focal length (FOCALLEN)")
    header.add_argument("--aperture", type=number(float, above=0), metavar="MM", help="aperture diameter (APTDIA)")
    header.add_argument("--pointing", type=float, nargs=2, metavar=("RA", "DEC"),
                        help="where the telescope points, degrees (OBJCTRA, OBJCTDEC)")
    add_time_scale(p)
    add_sky(p)
    return p, p.parse_args(argv)


def list_cameras():
    cameras = [orx.get_camera_property(i) for i in range(orx.get_number_of_connected_cameras())]
    for i, info in enumerate(cameras):
        kind = "colour" if info.is_color_camera else "mono"
        print(f"  [{i}] {info.name}: {info.max_width}x{info.max_height} {kind}, {info.pixel_size:g} um, "
              f"{info.bit_depth}-bit, id {info.camera_id}")
    return cameras


def roi_for(info, bin_, roi):
    """Width and height in binned pixels: the given ones, or the whole sensor cut to the library's rules."""
    if roi:
        return roi
    return (info.max_width // bin_) // 8 * 8, (info.max_height // bin_) // 2 * 2


def expose(cam, exposure_s, dark, time_scale):
    """Start an exposure and wait for it, with a progress bar in camera seconds."""
    orx.start_exposure(cam, dark)
    t0 = time.monotonic()
    bar = tqdm(total=round(exposure_s, 1), unit="s", desc="exposing", disable=exposure_s < 1,
               bar_format="{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s")
    try:
        while (status := orx.get_exp_status(cam)) == orx.ExposureStatus.ORX_EXP_WORKING:
            bar.update(round(min((time.monotonic() - t0) / time_scale, exposure_s), 1) - bar.n)
            time.sleep(min(0.05, max(exposure_s * time_scale / 100, 0.0005)))
        bar.update(bar.total - bar.n)
    finally:
        bar.close()
    if status != orx.ExposureStatus.ORX_EXP_SUCCESS:
        raise RuntimeError(f"the exposure ended with status {orx.ExposureStatus(status).name}")


def stretch(image, mosaic):
    """8-bit preview: colour from a Bayer mosaic by 2x2 super-pixels, then an asinh stretch
    from the background up to the brightest stars (helpers.stretch)."""
    img = image.astype(np.float32)
    if mosaic:  # pattern name like "RGGB": the colours of the top-left 2x2 cell, row by row
        h, w = img.shape[0] // 2 * 2, img.shape[1] // 2 * 2
        cells = {(0, 0): img[0:h:2, 0:w:2], (0, 1): img[0:h:2, 1:w:2], (1, 0): img[1:h:2, 0:w:2], (1, 1): img[1:h:2, 1:w:2]}
        by_colour = {"R": [], "G": [], "B": []}
        for k, c in zip([(0, 0), (0, 1), (1, 0), (1, 1)], mosaic):
            by_colour[c].append(cells[k])
        img = np.dstack([np.mean(by_colour[c], axis=0) for c in "RGB"])
    return stretch_8bit(img)


def control(cam, ctype):
    return orx.get_control_value(cam, ctype)[0]


def main(argv=None):
    parser, args = parse_args(argv)
    time_scale = sim_time_scale(parser, args.time_scale)
    sim_sky(parser, args.sky)
    problem = orxfits.check_folder(args.output)  # before an exposure is spent
    if problem:
        parser.error(f"--output: {problem}")
    print(f"camera library {orx.get_sdk_version()}")
    cameras = list_cameras()
    info = pick_camera(parser, args.camera, len(cameras))
    check_bin(parser, info, args.bin)
    if args.set_temp is not None and not info.is_cooler_cam:
        parser.error(f"--set-temp: {info.name} has no cooler")
    cam = info.camera_id
    img_type = FORMATS[args.format]
    width, height = roi_for(info, args.bin, args.roi)

    orx.open_camera(cam)
    try:
        orx.init_camera(cam)
        exposure_us = check_control(parser, cam, "--exposure", orx.ControlType.ORX_EXPOSURE, args.exposure, 1e6, " s")
        for option, ctype, value in (("--gain", orx.ControlType.ORX_GAIN, args.gain),
                                     ("--offset", orx.ControlType.ORX_OFFSET, args.offset),
                                     ("--set-temp", orx.ControlType.ORX_TARGET_TEMP, args.set_temp)):
            if value is not None:
                check_control(parser, cam, option, ctype, value, unit=" C" if option == "--set-temp" else "")
        orx.set_roi_format(cam, width, height, args.bin, img_type)
        orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, exposure_us, False)
        if args.gain is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_GAIN, args.gain, False)
        if args.offset is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_OFFSET, args.offset, False)
        if args.set_temp is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_TARGET_TEMP, round(args.set_temp), False)
            orx.set_control_value(cam, orx.ControlType.ORX_COOLER_ON, 1, False)
        gain, offset = control(cam, orx.ControlType.ORX_GAIN), control(cam, orx.ControlType.ORX_OFFSET)
        temperature = control(cam, orx.ControlType.ORX_TEMPERATURE) / 10
        print(f"{info.name}: {width}x{height} bin {args.bin} {args.format}, {args.exposure:g} s, "
              f"gain {gain}, offset {offset}, {temperature:.1f} C")

        start = dt.datetime.now(dt.timezone.utc)
        expose(cam, args.exposure, args.dark, time_scale)
        frame = orx.get_data_after_exp(cam, width * height * BYTES_PER_PIXEL[img_type])
        facts = orxfits.camera_facts(cam)  # the settings this frame was taken with
        facts.update(orxfits.simulator_facts(cam))  # where the simulated sky put it (nothing for a real camera)
    finally:
        orx.close_camera(cam)

    image = to_array(frame, width, height, img_type)
    given = {"object_name": args.object, "telescope": args.telescope, "focal_length_mm": args.focal_length,
             "aperture_mm": args.aperture}
    if args.pointing:
        given.update(ra_deg=args.pointing[0] % 360, dec_deg=args.pointing[1])
    facts.update({k: v for k, v in given.items() if v is not None})
    header = orxfits.frame_header(date_obs=start, exposure_s=args.exposure, dark=args.dark, **facts)

    stem = f"{re.sub(r'[^A-Za-z0-9]+', '_', info.name).strip('_')}_{start:%Y%m%dT%H%M%S}"
    preview = stretch(image, facts["bayer_pattern"])
    preview.thumbnail((2048, 2048))
    paths = orxfits.write_new(args.output, stem, {".fits": orxfits.fits_writer(image, header),
                                                  ".png": lambda f: preview.save(f, format="PNG")}, SAVED)
    for path in paths:
        print(f"wrote {path}")
    return paths


if __name__ == "__main__":
    run(main)
