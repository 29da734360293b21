"""Images as Alpaca sends them: the frame as a numpy array, the ImageBytes
encoding, the JSON ImageArray text and a small PNG preview.

Alpaca image arrays are indexed [x][y] (and [x][y][plane] for colour): on the
wire the y index changes fastest, i.e. each sensor column is contiguous.
"""
from __future__ import annotations

import struct
import threading
import zlib
from typing import Optional

import numpy as np


# ImageArrayElementTypes
INT32 = 2
BYTE = 6
UINT16 = 8

# the 44-byte ImageBytes metadata, version 1: the transaction ids are unsigned
HEADER = struct.Struct("<2i2I7i")
METADATA_VERSION = 1
TRANSPOSE_BAND = 256


def imagebytes_header(error: int, client_tid: int, server_tid: int, *, element_type: int = INT32,
                      transmission_type: int = 0, dims: tuple[int, ...] = ()) -> bytes:
    rank = len(dims)
    d = tuple(dims) + (0,) * (3 - rank)
    return HEADER.pack(METADATA_VERSION, error, client_tid & 0xFFFFFFFF, server_tid & 0xFFFFFFFF,
                       HEADER.size, element_type, transmission_type, rank, *d)


def _json_cells(dtype: np.dtype) -> np.ndarray:
    """Every value of an unsigned 8- or 16-bit type as fixed-width JSON text
    followed by a comma (JSON allows the padding spaces)."""
    n = 1 << (8 * dtype.itemsize)
    width = len(str(n - 1))
    return np.array([f"{v:>{width}},".encode() for v in range(n)])


_CELLS: dict[str, np.ndarray] = {}
_CELLS_LOCK = threading.Lock()


def json_array(a: np.ndarray) -> bytes:
    """The nested JSON array of ``a`` (unsigned 8/16-bit), in its index order."""
    key = a.dtype.str
    with _CELLS_LOCK:
        cells = _CELLS.get(key)
        if cells is None:
            cells = _CELLS[key] = _json_cells(a.dtype)
    text = np.ascontiguousarray(cells[a]).view(np.uint8).reshape(a.shape + (-1,))
    for _ in range(a.ndim):
        flat = text.reshape(text.shape[:-2] + (-1,))
        flat[..., -1] = ord("]")                 # the last element's comma closes the list
        nested = np.empty(flat.shape[:-1] + (flat.shape[-1] + 2,), np.uint8)
        nested[..., 0] = ord("[")
        nested[..., 1:-1] = flat
        nested[..., -1] = ord(",")
        text = nested
    return text.reshape(-1)[:-1].tobytes()


class Image:
    """One exposure's image: its pixels in the Alpaca order (made at once, in
    the thread that downloads the frame) and the encodings made from them on
    first use."""

    def __init__(self, pixels: np.ndarray, max_adu: int, bayer_offset: Optional[tuple[int, int]] = None) -> None:
        self.pixels = pixels              # sensor order: (y, x) or (y, x, R G B)
        self.max_adu = max_adu
        self.bayer_offset = bayer_offset  # of a mosaic
        h, w = pixels.shape[:2]
        self.dims: tuple[int, ...] = (w, h) + pixels.shape[2:]      # x, y (and planes)
        columns = np.empty(self.dims, dtype=pixels.dtype.newbyteorder("<"))
        # by bands of rows: each band's columns stay in the cache
        for y in range(0, h, TRANSPOSE_BAND):
            columns[:, y:y + TRANSPOSE_BAND] = pixels[y:y + TRANSPOSE_BAND].swapaxes(0, 1)
        self.columns = columns
        self._lock = threading.Lock()
        self._json: Optional[bytes] = None
        self._png: Optional[bytes] = None

    @property
    def rank(self) -> int:
        return self.pixels.ndim

    @property
    def transmission_type(self) -> int:
        return UINT16 if self.pixels.dtype.itemsize == 2 else BYTE

    def imagebytes_body(self) -> memoryview:
        """The pixel data of an ImageBytes answer (after the header): columns
        one after the other, little-endian."""
        return memoryview(self.columns.reshape(-1).view(np.uint8))

    def preview_png(self) -> bytes:
        with self._lock:
            if self._png is None:
                self._png = preview_png(self.pixels, self.bayer_offset)
            return self._png

    def json_value(self) -> bytes:
        """The JSON text of the ImageArray value."""
        with self._lock:
            if self._json is None:
                self._json = json_array(self.columns)
            return self._json


def debayer(mosaic: np.ndarray, offset: tuple[int, int]) -> np.ndarray:
    """A half-size R, G, B image of a Bayer mosaic whose first red pixel is at
    ``offset`` (x, y) in the 2x2 cell: one colour pixel per cell, the greens averaged."""
    rx, ry = offset
    h, w = mosaic.shape[0] // 2 * 2, mosaic.shape[1] // 2 * 2
    m = mosaic[:h, :w].astype(np.float32)
    red, blue = m[ry::2, rx::2], m[1 - ry::2, 1 - rx::2]
    green = (m[ry::2, 1 - rx::2] + m[1 - ry::2, rx::2]) / 2
    return np.stack([red, green, blue], axis=-1)


def stretch(image: np.ndarray) -> np.ndarray:
    """8 bits in which stars show whatever the image's depth: the sky (each
    colour's median, so a tinted sky turns neutral) goes to black and an asinh
    curve runs from there to the brightest stars, with at least 20 noise
    levels of headroom (a frame of faint stars is not stretched to pure noise)."""
    above = image - np.median(image, axis=(0, 1))
    grey = above.mean(axis=2) if above.ndim == 3 else above
    noise = max(1.4826 * float(np.median(np.abs(grey))), 0.5)
    hi = max(float(np.percentile(grey, 99.95)), 20 * noise)
    x = np.clip(above / hi, 0, 1)
    return (np.arcsinh(10 * x) / np.arcsinh(10) * 255 + 0.5).astype(np.uint8)


def preview_png(pixels: np.ndarray, bayer_offset: Optional[tuple[int, int]] = None, max_side: int = 800) -> bytes:
    """A stretched 8-bit PNG of the image (a mosaic in colour), at most
    ``max_side`` pixels wide or high."""
    image = debayer(pixels, bayer_offset) if bayer_offset is not None else pixels
    step = max(1, -(-max(image.shape[:2]) // max_side))
    h, w = image.shape[0] // step, image.shape[1] // step
    # block means: stars survive the reduction, noise is averaged down
    blocks = image[:h * step, :w * step].reshape((h, step, w, step) + image.shape[2:])
    scaled = stretch(blocks.mean(axis=(1, 3), dtype=np.float32))
    colour = 2 if scaled.ndim == 3 else 0
    rows = scaled.reshape(h, -1)
    raw = np.empty((h, rows.shape[1] + 1), np.uint8)
    raw[:, 0] = 0                                  # no row filter
    raw[:, 1:] = rows

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, colour, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw.tobytes(), 6))
            + chunk(b"IEND", b""))
