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

    def __init__(self, pixels: np.ndarray, max_adu: int) -> None:
        self.pixels = pixels              # sensor order, see frame_to_array
        self.max_adu = max_adu
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
                self._png = preview_png(self.pixels)
            return self._png

    def json_value(self) -> bytes:
        """The JSON text of the ImageArray value."""
        with self._lock:
            if self._json is None:
                self._json = json_array(self.columns)
            return self._json


def preview_png(pixels: np.ndarray, max_side: int = 800) -> bytes:
    """A stretched 8-bit PNG of the image, at most ``max_side`` pixels wide or high."""
    step = max(1, -(-max(pixels.shape[:2]) // max_side))
    h, w = pixels.shape[0] // step, pixels.shape[1] // step
    # block means: stars survive the reduction, noise is averaged down
    blocks = pixels[:h * step, :w * step].reshape((h, step, w, step) + pixels.shape[2:])
    small = blocks.mean(axis=(1, 3), dtype=np.float32)
    lo, hi = np.percentile(small, (0.5, 99.8))
    scaled = np.clip((small - lo) * (255.0 / max(hi - lo, 1.0)), 0, 255).astype(np.uint8)
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
