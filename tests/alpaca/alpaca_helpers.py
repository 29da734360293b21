"""Helpers for the Alpaca server tests."""
import numpy as np

import orx


def sensor_pixels(frame, width, height, img_type):
    """A frame fetched with orx as (height, width[, 3 in R, G, B]) pixels."""
    if img_type == orx.ImgType.IMG_RAW16:
        return np.frombuffer(frame, "<u2").reshape(height, width)
    if img_type == orx.ImgType.IMG_RGB24:
        return np.frombuffer(frame, np.uint8).reshape(height, width, 3)[:, :, ::-1]
    return np.frombuffer(frame, np.uint8).reshape(height, width)
