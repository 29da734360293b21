"""How the simulator's night sky moves a camera's stars, from what orxsim reports."""
import math

import numpy as np

import orxsim

SIDEREAL = 15.041  # arc-seconds per second


def pulse_motion(wcs):
    """Pixels per camera second by which a guide pulse in each direction moves
    the stars of a frame with the FITS WCS keywords `wcs`, at the scene's guide
    rate. The stars move opposite to the mount: a west pulse moves them east."""
    scene = orxsim.scene()
    dec = scene["guide_rate"] * SIDEREAL / 3600  # degrees per second
    ra = dec * math.cos(math.radians(scene["dec"]))  # an RA axis rate, on the sky
    cd = [[wcs["CD1_1"], wcs["CD1_2"]], [wcs["CD2_1"], wcs["CD2_2"]]]
    on_sky = {"west": (ra, 0.0), "east": (-ra, 0.0), "north": (0.0, -dec), "south": (0.0, dec)}
    return {d: np.linalg.solve(cd, move) for d, move in on_sky.items()}


def astropy_offline():
    """astropy's Earth orientation from its own tables, never downloaded: the night's
    dates lie ahead of any table, and sidereal time and altitude need no better than
    its predictions."""
    from astropy.utils import iers

    iers.conf.auto_download = False
    iers.conf.auto_max_age = None
    if hasattr(iers.conf, "iers_degraded_accuracy"):
        iers.conf.iers_degraded_accuracy = "warn"
