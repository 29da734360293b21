#!/usr/bin/env python3
"""Take one exposure and save it as a FITS file and a PNG preview.

Lists the connected cameras, opens one, sets gain, offset, exposure, binning,
image type and region of interest, exposes (with a progress bar for exposures
of a second or more), fetches the frame and writes

    <output>/<camera>_<UTC time>.fits   the frame with the usual FITS headers
    <output>/<camera>_<UTC time>.png    a stretched 8-bit preview

to the second; a name already taken gets a suffix (_2, _3, ...): nothing is
ever overwritten.

With the simulated cameras that ship with orx it needs no arguments:

    python examples/snapshot.py
    python examples/snapshot.py --camera 1 --exposure 30 --bin 2 --time-scale 0.01
    python examples/snapshot.py --sky 83.8 -5.4 --camera 1    # the simulated mount pointed elsewhere
"""
from __future__ import annotations

import argparse
import datetime as dt
import itertools
import os
import pathlib
import re
import sys
import time

import numpy as np
from astropy.io import fits
from tqdm import tqdm

import orx
from helpers import (HelpFormatter, add_sky, add_time_scale, check_bin, check_control, number, pick_camera, sim_sky,
                     sim_time_scale, sim_wcs, to_array)
from helpers import stretch as stretch_8bit

FORMATS = {"RAW8": orx.ImgType.IMG_RAW8, "RAW16": orx.ImgType.IMG_RAW16,
           "RGB24": orx.ImgType.IMG_RGB24, "Y8": orx.ImgType.IMG_Y8}
BYTES_PER_PIXEL = {orx.ImgType.IMG_RAW8: 1, orx.ImgType.IMG_Y8: 1, orx.ImgType.IMG_RAW16: 2, orx.ImgType.IMG_RGB24: 3}
BAYER_NAMES = {orx.BayerPattern.BAYER_RG: "RGGB", orx.BayerPattern.BAYER_BG: "BGGR",
               orx.BayerPattern.BAYER_GR: "GRBG", orx.BayerPattern.BAYER_GB: "GBRG"}


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
    p.add_argument("-o", "--output", type=pathlib.Path, default=pathlib.Path("snapshots"), help="output folder")
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


def claim_pair(folder, stem):
    """Paths of a new <stem>.fits and <stem>.png in `folder`, created empty
    here (exclusively) so that no other snapshot takes them. Nothing is ever
    overwritten: if either name is taken (a second snapshot within the same
    second), the stem gets a suffix _2, _3, ..."""
    for n in itertools.count(1):
        fits_path, png_path = (folder / f"{stem if n == 1 else f'{stem}_{n}'}{ext}" for ext in (".fits", ".png"))
        try:
            open(fits_path, "xb").close()
        except FileExistsError:
            continue
        try:
            open(png_path, "xb").close()
            return fits_path, png_path
        except FileExistsError:
            os.remove(fits_path)


def control(cam, ctype):
    return orx.get_control_value(cam, ctype)[0]


def main(argv=None):
    parser, args = parse_args(argv)
    time_scale = sim_time_scale(parser, args.time_scale)
    sim_sky(parser, args.sky)
    print(f"camera library {orx.get_sdk_version()}")
    cameras = list_cameras()
    info = pick_camera(parser, args.camera, len(cameras))
    check_bin(parser, info, args.bin)
    cam = info.camera_id
    img_type = FORMATS[args.format]
    width, height = roi_for(info, args.bin, args.roi)

    orx.open_camera(cam)
    try:
        orx.init_camera(cam)
        exposure_us = check_control(parser, cam, "--exposure", orx.ControlType.ORX_EXPOSURE, args.exposure, 1e6, " s")
        for option, ctype, value in (("--gain", orx.ControlType.ORX_GAIN, args.gain),
                                     ("--offset", orx.ControlType.ORX_OFFSET, args.offset)):
            if value is not None:
                check_control(parser, cam, option, ctype, value)
        orx.set_roi_format(cam, width, height, args.bin, img_type)
        orx.set_control_value(cam, orx.ControlType.ORX_EXPOSURE, exposure_us, False)
        if args.gain is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_GAIN, args.gain, False)
        if args.offset is not None:
            orx.set_control_value(cam, orx.ControlType.ORX_OFFSET, args.offset, False)
        gain, offset = control(cam, orx.ControlType.ORX_GAIN), control(cam, orx.ControlType.ORX_OFFSET)
        temperature = control(cam, orx.ControlType.ORX_TEMPERATURE) / 10
        print(f"{info.name}: {width}x{height} bin {args.bin} {args.format}, {args.exposure:g} s, "
              f"gain {gain}, offset {offset}, {temperature:.1f} C")

        start = dt.datetime.now(dt.timezone.utc)
        expose(cam, args.exposure, args.dark, time_scale)
        frame = orx.get_data_after_exp(cam, width * height * BYTES_PER_PIXEL[img_type])
        world = sim_wcs(cam)  # where the simulated sky put this frame (nothing for a real camera)
    finally:
        orx.close_camera(cam)

    image = to_array(frame, width, height, img_type)
    mosaic = BAYER_NAMES[info.bayer_pattern] if info.is_color_camera and img_type in (
        orx.ImgType.IMG_RAW8, orx.ImgType.IMG_RAW16) else None

    header = fits.Header()
    header["INSTRUME"] = (info.name, "camera")
    header["DATE-OBS"] = (start.strftime("%Y-%m-%dT%H:%M:%S.%f"), "UTC start of exposure")
    header["EXPTIME"] = (args.exposure, "exposure time [s]")
    header["GAIN"] = (gain, "camera gain setting")
    header["OFFSET"] = (offset, "camera offset setting")
    header["CCD-TEMP"] = (temperature, "sensor temperature [C]")
    header["XBINNING"] = (args.bin, "binning factor, x")
    header["YBINNING"] = (args.bin, "binning factor, y")
    header["XPIXSZ"] = (info.pixel_size * args.bin, "binned pixel width [um]")
    header["YPIXSZ"] = (info.pixel_size * args.bin, "binned pixel height [um]")
    header["IMAGETYP"] = ("Dark Frame" if args.dark else "Light Frame")
    header["ROWORDER"] = ("TOP-DOWN", "first row is the top of the image")
    for key, value in world.items():
        header[key] = value
    if mosaic:
        header["BAYERPAT"] = (mosaic, "colour filter pattern of the top-left 2x2 cell")
        header["XBAYROFF"] = 0
        header["YBAYROFF"] = 0
    # FITS keeps colour as three planes (NAXIS3 = 3). Rows stay in camera order,
    # top row first, as ROWORDER tells the viewers that read it.
    data = np.moveaxis(image, 2, 0) if image.ndim == 3 else image

    args.output.mkdir(parents=True, exist_ok=True)
    stem = f"{re.sub(r'[^A-Za-z0-9]+', '_', info.name).strip('_')}_{start:%Y%m%dT%H%M%S}"
    preview = stretch(image, mosaic)
    preview.thumbnail((2048, 2048))
    fits_path, png_path = claim_pair(args.output, stem)
    fits.PrimaryHDU(data=data, header=header).writeto(fits_path, overwrite=True)  # the empty file claimed above
    preview.save(png_path)
    print(f"wrote {fits_path}")
    print(f"wrote {png_path}")
    return fits_path, png_path


if __name__ == "__main__":
    try:
        main()
    except orx.ORXError as e:  # a library status: the class names it, its docstring explains it
        sys.exit(f"{type(e).__name__}: {type(e).__doc__}")
