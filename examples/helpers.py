"""What the examples share: option checks, the simulated cameras' clock and
the preview stretch. Keep this file beside an example you copy."""
from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import time

import numpy as np

import orx


class HelpFormatter(argparse.RawDescriptionHelpFormatter, argparse.ArgumentDefaultsHelpFormatter):
    """The module docstring as written; defaults shown where there is one."""

    def _get_help_string(self, action):
        return action.help if action.default is None or action.default is False else super()._get_help_string(action)


def number(kind, minimum=None, maximum=None, above=None):
    """An argparse type: `kind` (int or float) that is finite, >= minimum, <= maximum, > above."""

    def convert(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {'an integer' if kind is int else 'a number'}")
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
        if above is not None and not value > above:
            raise argparse.ArgumentTypeError(f"{text} must be greater than {above:g}")
        if minimum is not None and value < minimum:
            raise argparse.ArgumentTypeError(f"{text} must be at least {minimum:g}")
        if maximum is not None and value > maximum:
            raise argparse.ArgumentTypeError(f"{text} must be at most {maximum:g}")
        return value

    convert.__name__ = kind.__name__  # argparse names the type in its messages
    return convert


def add_time_scale(parser):
    parser.add_argument("--time-scale", type=number(float, above=0),
                        help="simulated cameras only: wall seconds per camera second (0.01 runs 100x faster)")


def sim_time_scale(parser, requested):
    """Sets the simulated cameras' clock when asked to; the scale in effect
    (1.0 for a real camera). A bad request is a usage error."""
    try:
        import orxsim

        orxsim.library()
    except (ImportError, OSError, RuntimeError):
        if requested is not None:
            parser.error("--time-scale needs the simulated cameras")
        return 1.0
    if requested is not None:
        try:
            orxsim.set_time_scale(requested)
        except ValueError as e:
            parser.error(f"--time-scale: {e}")
    return orxsim.time_scale()


class CameraClock:
    """The cameras' clock: the simulator's (camera seconds, whatever the time
    scale and however late this process runs) or, for a real camera, the wall
    clock."""

    MIN_WALL = 0.05  # wall seconds a timed interval lasts at least

    def __init__(self):
        try:
            import orxsim

            orxsim.library()
            self._sim = orxsim
        except (ImportError, OSError, RuntimeError):
            self._sim = None

    def now(self):
        return self._sim.sim_time() if self._sim else time.monotonic()

    def scale(self):
        return self._sim.time_scale() if self._sim else 1.0

    def sleep(self, seconds):
        """Sleep `seconds` of camera time."""
        end = self.now() + seconds
        while (left := end - self.now()) > 0:
            time.sleep(max(left * self.scale(), 0.0002))

    def timed(self, seconds, start, stop):
        """start(), `seconds` of camera time, stop(); how long it lasted on the
        camera's clock. On a fast simulated clock an interval shorter than
        MIN_WALL of wall time runs with the clock slowed to last that long,
        so that this process waking late hardly lengthens it; and start() and
        stop() run with the clock all but stopped, so that the time measured
        is the interval's however late this process runs around them."""
        sim = self._sim
        scale = self.scale()
        run = scale
        if sim is not None and 0 < seconds * scale < self.MIN_WALL:
            run = min(self.MIN_WALL / seconds, sim.MAX_TIME_SCALE)
        try:
            if sim is not None:
                sim.set_time_scale(sim.MAX_TIME_SCALE)
            t0 = self.now()
            start()
            try:
                if sim is not None:
                    sim.set_time_scale(run)
                self.sleep(seconds)
            finally:
                if sim is not None:
                    sim.set_time_scale(sim.MAX_TIME_SCALE)
                stop()
            return self.now() - t0
        finally:
            if sim is not None:
                sim.set_time_scale(scale)


def add_sky(parser):
    parser.add_argument("--sky", type=float, nargs=2, metavar=("RA", "DEC"),
                        help="simulated cameras only: point the simulated mount at RA DEC (degrees)")


def sim_sky(parser, pointing):
    """Points the simulated mount at (ra, dec) degrees, under the night sky, when asked to."""
    if pointing is None:
        return
    try:
        import orxsim

        orxsim.set_scene(enabled=True, ra=pointing[0] % 360, dec=pointing[1])
    except (ImportError, OSError, RuntimeError):
        parser.error("--sky needs the simulated cameras")
    except ValueError as e:
        parser.error(f"--sky: {e}")


def sim_wcs(camera_id):
    """FITS WCS keywords of the camera's newest frame when a simulated night sky
    made it, else an empty dict."""
    try:
        import orxsim

        return orxsim.wcs(camera_id)
    except (ImportError, OSError, RuntimeError, LookupError):
        return {}


def pick_camera(parser, index, count):
    if not 0 <= index < count:
        parser.error(f"--camera: no camera with index {index} ({count} connected)")
    return orx.get_camera_property(index)


def check_bin(parser, info, bin_):
    bins = [b for b in info.supported_bins if b > 0]
    if bin_ not in bins:
        parser.error(f"--bin {bin_}: {info.name} bins by {', '.join(map(str, bins))}")


def check_control(parser, cam, option, ctype, value, per_unit=1, unit=""):
    """`value` (in the option's unit, `per_unit` library units each) within the
    range the camera gives for the control; returns it in library units."""
    caps = next(c for c in map(lambda i: orx.get_control_caps(cam, i), range(orx.get_num_of_controls(cam)))
                if c.control_type == ctype)
    raw = round(value * per_unit)
    if not caps.min_value <= raw <= caps.max_value:
        parser.error(f"{option} {value:g}: the camera takes {caps.min_value / per_unit:g} to "
                     f"{caps.max_value / per_unit:g}{unit}")
    return raw


def to_array(frame, width, height, img_type):
    """A numpy view of the frame bytes (no copy, read-only): (h, w) for RAW8,
    RAW16 and Y8, (h, w, 3) in R, G, B order for RGB24 (stored B, G, R)."""
    if img_type == orx.ImgType.IMG_RAW16:
        return np.frombuffer(frame, dtype="<u2").reshape(height, width)
    if img_type == orx.ImgType.IMG_RGB24:
        return np.frombuffer(frame, dtype=np.uint8).reshape(height, width, 3)[:, :, ::-1]
    return np.frombuffer(frame, dtype=np.uint8).reshape(height, width)


def stretch(image):
    """An 8-bit preview in which stars show whatever the image's depth: the
    sky background (median) goes to black, and an asinh curve runs from there
    to the brightest stars, with at least 20 noise levels of headroom so a
    frame of faint stars in 8 bits is not stretched to pure noise."""
    from PIL import Image

    img = image.astype(np.float32)
    grey = img.mean(axis=2) if img.ndim == 3 else img
    lo = float(np.median(grey))
    noise = max(1.4826 * float(np.median(np.abs(grey - lo))), 0.5)
    hi = max(float(np.percentile(grey, 99.95)), lo + 20 * noise)
    x = np.clip((img - lo) / (hi - lo), 0, 1)
    x = np.arcsinh(10 * x) / np.arcsinh(10)
    return Image.fromarray((x * 255 + 0.5).astype(np.uint8))


SAVED = []  # files the example wrote, for the line it ends with when interrupted
_signal = []  # the Ctrl-C or termination signal received, if any


def interrupted():
    """The signal that asked the example to stop (also one whose
    KeyboardInterrupt was swallowed where Python ignores exceptions, such as
    a callback from C), or None."""
    return _signal[0] if _signal else None


def run(main):
    """Runs an example's main() as a command: a library status ends with its
    name and explanation (status 1); Ctrl-C or a termination signal ends with
    one line saying what was saved (status 130, or 128 + the signal)."""
    def stop(signum, frame):
        _signal.append(signum)
        raise KeyboardInterrupt(signum)

    def unraisable(hook, default=sys.unraisablehook):
        # the KeyboardInterrupt of a signal that came while Python ran a
        # callback it cannot pass exceptions on from (a weakref's, one from
        # C) is already remembered by interrupted(): no traceback for it
        if isinstance(hook.exc_value, KeyboardInterrupt) and interrupted() is not None:
            return
        default(hook)

    sys.unraisablehook = unraisable
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    name = os.path.basename(sys.argv[0])
    try:
        main()
        if interrupted() is None:
            return
    except KeyboardInterrupt:
        pass
    except orx.ORXError as e:  # a library status: the class names it, its docstring explains it
        sys.exit(f"{type(e).__name__}: {type(e).__doc__}")
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C does not cut the message short
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    saved = f"saved {', '.join(map(str, SAVED))}" if SAVED else "nothing saved"
    print(f"{name}: interrupted, {saved}", file=sys.stderr)
    sys.exit(128 + (interrupted() or signal.SIGINT))
