"""The standard INDI camera properties of one camera, by the names and
element names clients look for (INDI's standard properties and its CCD
device), built from what the camera reports."""
from __future__ import annotations

from typing import Any, Iterable

import indipydriver as ipd

import orx

MAIN, INFO, SETTINGS, IMAGE_INFO, OPTIONS, GUIDE, STREAM, CONTROLS = (
    "Main Control", "General Info", "Image Settings", "Image Info", "Options", "Guider Control", "Streaming",
    "Controls")

# DRIVER_INTERFACE bits
CCD_INTERFACE, GUIDER_INTERFACE = 1 << 1, 1 << 2

FORMAT_NAMES = {orx.ImgType.IMG_RAW8: "RAW8", orx.ImgType.IMG_RAW16: "RAW16",
                orx.ImgType.IMG_RGB24: "RGB24", orx.ImgType.IMG_Y8: "Y8"}
FORMAT_LABELS = {"RAW8": "RAW 8-bit", "RAW16": "RAW 16-bit", "RGB24": "RGB 24-bit colour", "Y8": "Luminance 8-bit"}
FRAME_TYPES = ("FRAME_LIGHT", "FRAME_BIAS", "FRAME_DARK", "FRAME_FLAT")
# controls a client sets through their own standard properties, or that only report
SEPARATE_CONTROLS = {orx.ControlType.ORX_EXPOSURE, orx.ControlType.ORX_TARGET_TEMP, orx.ControlType.ORX_COOLER_ON,
                     orx.ControlType.ORX_TEMPERATURE, orx.ControlType.ORX_COOLER_POWER_PERC}


def number(name: str, label: str, fmt: str, low: float, high: float, step: float, value: float) -> ipd.NumberMember:
    return ipd.NumberMember(name, label, fmt, low, high, step, value)


def switches(name: str, label: str, group: str, members: Iterable[tuple[str, str, bool]],
             rule: str = "OneOfMany", perm: str = "rw") -> ipd.SwitchVector:
    return ipd.SwitchVector(name, label, group, perm, rule, "Idle",
                            [ipd.SwitchMember(n, lab, "On" if on else "Off") for n, lab, on in members])


def numbers(name: str, label: str, group: str, members: list[ipd.NumberMember], perm: str = "rw") -> ipd.NumberVector:
    return ipd.NumberVector(name, label, group, perm, "Idle", members)


def texts(name: str, label: str, group: str, members: Iterable[tuple[str, str, str]], perm: str = "ro") -> ipd.TextVector:
    return ipd.TextVector(name, label, group, perm, "Idle", [ipd.TextMember(n, lab, v) for n, lab, v in members])


def driver_info(name: str, version: str, interface: int) -> ipd.TextVector:
    return texts("DRIVER_INFO", "Driver Info", INFO, [
        ("DRIVER_NAME", "Name", name), ("DRIVER_EXEC", "Exec", "orx-indi"),
        ("DRIVER_VERSION", "Version", version), ("DRIVER_INTERFACE", "Interface", str(interface))])


def camera_properties(info: Any, caps: dict[int, Any], upload_dir: str) -> list[Any]:
    """Every property of a connected camera (``caps``: its controls by type)."""
    w, h, px = info.max_width, info.max_height, info.pixel_size
    bins = [b for b in info.supported_bins if b > 0]
    exp = caps[int(orx.ControlType.ORX_EXPOSURE)]
    formats = [FORMAT_NAMES[t] for t in info.supported_video_formats if t in FORMAT_NAMES]
    default_format = "RAW16" if "RAW16" in formats else formats[0]
    props: list[Any] = [
        numbers("CCD_EXPOSURE", "Expose", MAIN, [number(
            "CCD_EXPOSURE_VALUE", "Duration (s)", "%5.3f", exp.min_value / 1e6, exp.max_value / 1e6, 0.001, 1.0)]),
        switches("CCD_ABORT_EXPOSURE", "Abort", MAIN, [("ABORT", "Abort", False)], rule="AtMostOne"),
        numbers("CCD_FRAME", "Frame", SETTINGS, [
            number("X", "Left", "%4.0f", 0, w - 1, 1, 0), number("Y", "Top", "%4.0f", 0, h - 1, 1, 0),
            number("WIDTH", "Width", "%4.0f", 1, w, 1, w), number("HEIGHT", "Height", "%4.0f", 1, h, 1, h)]),
        numbers("CCD_BINNING", "Binning", SETTINGS, [
            number("HOR_BIN", "X", "%2.0f", 1, max(bins), 1, 1), number("VER_BIN", "Y", "%2.0f", 1, max(bins), 1, 1)]),
        switches("CCD_FRAME_TYPE", "Type", SETTINGS, [(n, n[6:].title(), n == "FRAME_LIGHT") for n in FRAME_TYPES]),
        switches("CCD_FRAME_RESET", "Frame Values", SETTINGS, [("RESET", "Reset", False)], perm="wo"),
        switches("CCD_CAPTURE_FORMAT", "Format", SETTINGS,
                 [(f, FORMAT_LABELS[f], f == default_format) for f in formats]),
        switches("CCD_TRANSFER_FORMAT", "Encode", SETTINGS, [("FORMAT_FITS", "FITS", True)]),
        numbers("CCD_INFO", "CCD Information", IMAGE_INFO, [
            number("CCD_MAX_X", "Max. Width", "%.f", 1, 16000, 0, w),
            number("CCD_MAX_Y", "Max. Height", "%.f", 1, 16000, 0, h),
            number("CCD_PIXEL_SIZE", "Pixel size (um)", "%.2f", 1, 40, 0, px),
            number("CCD_PIXEL_SIZE_X", "Pixel size X", "%.2f", 1, 40, 0, px),
            number("CCD_PIXEL_SIZE_Y", "Pixel size Y", "%.2f", 1, 40, 0, px),
            number("CCD_BITSPERPIXEL", "Bits per pixel", "%.f", 8, 64, 0, 16 if default_format == "RAW16" else 8)],
            perm="ro"),
        ipd.BLOBVector("CCD1", "Image Data", IMAGE_INFO, "ro", "Idle", [ipd.BLOBMember("CCD1", "Image")]),
        switches("UPLOAD_MODE", "Upload", OPTIONS, [
            ("UPLOAD_CLIENT", "Client", True), ("UPLOAD_LOCAL", "Local", False), ("UPLOAD_BOTH", "Both", False)]),
        texts("UPLOAD_SETTINGS", "Upload Settings", OPTIONS,
              [("UPLOAD_DIR", "Dir", upload_dir), ("UPLOAD_PREFIX", "Prefix", "IMAGE_XXX")], perm="rw"),
        texts("CCD_FILE_PATH", "Filename", IMAGE_INFO, [("FILE_PATH", "Path", "")]),
    ]
    if info.is_color_camera:
        props.append(texts("CCD_CFA", "Bayer Info", IMAGE_INFO, [
            ("CFA_OFFSET_X", "X Offset", "0"), ("CFA_OFFSET_Y", "Y Offset", "0"), ("CFA_TYPE", "Filter", "")]))
    if int(orx.ControlType.ORX_TEMPERATURE) in caps:
        cooled = info.is_cooler_cam and int(orx.ControlType.ORX_TARGET_TEMP) in caps
        props.append(numbers("CCD_TEMPERATURE", "Temperature", MAIN, [
            number("CCD_TEMPERATURE_VALUE", "Temperature (C)", "%5.2f", -50, 50, 0, 0)],
            perm="rw" if cooled else "ro"))
    if info.is_cooler_cam and int(orx.ControlType.ORX_COOLER_ON) in caps:
        props.append(switches("CCD_COOLER", "Cooler", MAIN, [("COOLER_ON", "On", False), ("COOLER_OFF", "Off", True)]))
    if int(orx.ControlType.ORX_COOLER_POWER_PERC) in caps:
        props.append(numbers("CCD_COOLER_POWER", "Cooling Power", MAIN, [
            number("CCD_COOLER_VALUE", "Cooling Power (%)", "%3.f", 0, 100, 1, 0)], perm="ro"))
    controls = [c for t, c in sorted(caps.items()) if c.is_writable and t not in {int(s) for s in SEPARATE_CONTROLS}]
    if controls:
        props.append(numbers("CCD_CONTROLS", "Controls", CONTROLS, [
            number(c.name, c.name, "%.f", c.min_value, c.max_value, 1, c.default_value) for c in controls]))
    if info.st_4_port:
        props += [
            numbers("TELESCOPE_TIMED_GUIDE_NS", "Guide N/S", GUIDE, [
                number("TIMED_GUIDE_N", "North (ms)", "%.f", 0, 60000, 100, 0),
                number("TIMED_GUIDE_S", "South (ms)", "%.f", 0, 60000, 100, 0)]),
            numbers("TELESCOPE_TIMED_GUIDE_WE", "Guide E/W", GUIDE, [
                number("TIMED_GUIDE_W", "West (ms)", "%.f", 0, 60000, 100, 0),
                number("TIMED_GUIDE_E", "East (ms)", "%.f", 0, 60000, 100, 0)])]
    props += [
        switches("CCD_VIDEO_STREAM", "Video Stream", STREAM, [("STREAM_ON", "Stream On", False),
                                                              ("STREAM_OFF", "Stream Off", True)]),
        numbers("STREAMING_EXPOSURE", "Expose", STREAM, [
            number("STREAMING_EXPOSURE_VALUE", "Duration (s)", "%.6f", exp.min_value / 1e6, 60, 0.001, 0.01),
            number("STREAMING_DIVISOR_VALUE", "Divisor", "%.f", 1, 15, 1, 1)]),
        numbers("FPS", "FPS", STREAM, [number("EST_FPS", "Instant.", "%.2f", 0, 999, 0, 0),
                                       number("AVG_FPS", "Average (1 sec.)", "%.2f", 0, 999, 0, 0)], perm="ro"),
        switches("CCD_STREAM_ENCODER", "Encoder", STREAM, [("RAW", "RAW", True)]),
    ]
    return props
