"""A frame as Alpaca's ImageArray: the ImageBytes binary form and the JSON form.

Alpaca indexes images [x][y] (and [x][y][plane] for colour), so both forms
carry the frame transposed: `as_image_array` makes that copy once per frame.
"""
from __future__ import annotations

import functools
import struct
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

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


# --- JSON ----------------------------------------------------------------------
# Serialising millions of numbers through Python lists takes seconds, so the text is
# made with numpy: every element gets a fixed-width slot (its brackets, its digits
# right-aligned, from a table of every value's text, and a comma), and the padding
# spaces are then dropped.

_SPACE, _COMMA, _OPEN, _CLOSE = b" ,[]"
_ELEMENTS_PER_CHUNK = 1 << 20


@functools.cache
def _digits(width: int) -> npt.NDArray[np.uint8]:
    """Row v is the text of v, right-aligned in `width` characters (v < 65536)."""
    count = min(10**width, 1 << 16)
    text = "".join(f"{v:>{width}}" for v in range(count)).encode()
    return np.frombuffer(text, np.uint8).reshape(count, width)


def json_array_chunks(image: npt.NDArray[Any]) -> Iterator[bytes]:
    """The nested JSON list of an [x][y](...) array, in pieces of about a megabyte."""
    if image.size == 0:
        yield b"[]"
        return
    inner = image.shape[1:]
    digits = _digits(len(str(int(image.max()))))
    depth = len(inner)                 # brackets an element may open or close
    width = depth + digits.shape[1] + depth + 1
    # Brackets per element depend only on its position within one x column.
    index = np.indices(inner).reshape(len(inner), -1)
    at_start = np.cumprod((index == 0)[::-1], axis=0)   # innermost axis first
    at_end = np.cumprod((index == np.array(inner)[:, None] - 1)[::-1], axis=0)
    opens, closes = at_start.sum(axis=0), at_end.sum(axis=0)
    template = np.full((index.shape[1], width), _SPACE, dtype=np.uint8)
    for k in range(depth):
        template[opens > k, depth - 1 - k] = _OPEN
        template[closes > k, width - 1 - depth + k] = _CLOSE
    template[:, -1] = _COMMA
    per_column = index.shape[1]
    columns = max(1, _ELEMENTS_PER_CHUNK // per_column)
    yield b"["
    for start in range(0, image.shape[0], columns):
        values = image[start:start + columns].reshape(-1, per_column)
        text = np.empty(values.shape + (width,), dtype=np.uint8)
        text[...] = template
        text[..., depth:depth + digits.shape[1]] = digits[values]
        if start + columns >= image.shape[0]:
            text[-1, -1, -1] = _SPACE  # no comma after the last element
        flat = text.reshape(-1)
        yield flat[flat != _SPACE].tobytes()
    yield b"]"
