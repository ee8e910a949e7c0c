"""A frame as Alpaca's ImageArray: the ImageBytes binary form and the JSON form.

Alpaca indexes images [x][y] (and [x][y][plane] for colour), so both forms
carry the frame transposed: `as_image_array` makes that copy once per frame.
"""
from __future__ import annotations

import struct
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from .._frames import json_columns, json_length

IMAGEBYTES = "application/imagebytes"
METADATA_VERSION = 1
HEADER = struct.Struct("<11i")

# ImageArray element type codes
UNKNOWN, INT16, INT32, DOUBLE, SINGLE, UINT64, BYTE, INT64, UINT16 = range(9)
# Alpaca images are Int32 arrays; the wire carries the smallest type that holds the pixels.
_TRANSMISSION = {1: BYTE, 2: UINT16}  # by bytes per pixel


def as_image_array(data: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The frame's pixels (rows top-down, (h, w) or (h, w, planes)) as a
    C-contiguous little-endian [x][y](...) array."""
    if data.dtype.kind != "u" or data.dtype.itemsize not in (1, 2):
        raise TypeError(f"ImageArray pixels must be uint8 or uint16, not {data.dtype}")
    if data.ndim not in (2, 3):
        raise ValueError(f"ImageArray needs a 2- or 3-dimensional frame, not {data.ndim}")
    axes = (1, 0) if data.ndim == 2 else (1, 0, 2)
    return np.ascontiguousarray(data.transpose(axes), dtype=data.dtype.newbyteorder("<"))


def imagebytes_header(image: npt.NDArray[Any], client_tid: int, server_tid: int) -> bytes:
    dims = list(image.shape) + [0] * (3 - image.ndim)
    return HEADER.pack(METADATA_VERSION, 0, client_tid, server_tid, HEADER.size,
                       INT32, _TRANSMISSION[image.itemsize], image.ndim, *dims)


# --- streaming ----------------------------------------------------------------
# Both forms go out in pieces of about CHUNK_BYTES, each written only once the previous
# one has left, so a client that reads slowly (or not at all) holds one piece, not a
# copy of the image; the image itself is one read-only buffer that every download shares.

CHUNK_BYTES = 1 << 18


def imagebytes_chunks(image: npt.NDArray[Any], header: bytes) -> Iterator[bytes | memoryview]:
    """The ImageBytes reply: the header, then views of the image's own buffer."""
    yield header
    pixels = memoryview(image).cast("B")
    for start in range(0, len(pixels), CHUNK_BYTES):
        yield pixels[start:start + CHUNK_BYTES]


def json_array_length(image: npt.NDArray[Any]) -> int:
    """The length of the text `json_array_chunks` writes, counted from the pixels without
    writing it: sent as Content-Length, it spares clients the chunked transfer encoding."""
    return json_length(image)


def json_array_chunks(image: npt.NDArray[Any]) -> Iterator[bytes]:
    """The nested JSON list of an [x][y](...) array, a few x columns per piece: the frame
    extension writes each piece's digits straight from the array, with the brackets and
    commas between the pieces, so the text is what json.dumps would give
    without spaces."""
    if image.size == 0:
        yield b"[]"
        return
    per_column = max(1, image[0].size * 6)   # at most 5 digits and a comma per element
    columns = max(1, CHUNK_BYTES // per_column)
    last = image.shape[0]
    for start in range(0, last, columns):
        yield json_columns(image, start, min(start + columns, last))
