"""8-bit greyscale BMP files, the form in which the camera takes a dark frame to subtract."""
from __future__ import annotations

import os
import struct
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .outputs import write_new

__all__ = ["write_grey_bmp"]

_FILE_HEADER = struct.Struct("<2sIHHI")  # "BM", file size, reserved x2, pixel data offset
_INFO_HEADER = struct.Struct("<IiiHHIIiiII")  # BITMAPINFOHEADER, 40 bytes
_PALETTE = bytes(b for level in range(256) for b in (level, level, level, 0))  # B, G, R, unused
_PIXELS_PER_METRE = 2835  # 72 dpi


def write_grey_bmp(path: str | os.PathLike[str], pixels: NDArray[Any], overwrite: bool = False) -> None:
    """Writes a (height, width) uint8 array, rows top-down, as a bottom-up 8-bit BMP with a grey
    palette; an existing file is refused unless `overwrite`."""
    if pixels.dtype != np.uint8 or pixels.ndim != 2:
        raise ValueError(f"a greyscale BMP takes a 2-D uint8 array, not {pixels.ndim}-D {pixels.dtype}")
    height, width = pixels.shape
    stride = (width + 3) // 4 * 4  # rows are padded to 4 bytes
    offset = _FILE_HEADER.size + _INFO_HEADER.size + len(_PALETTE)
    image = stride * height
    rows = np.zeros((height, stride), np.uint8)
    rows[:, :width] = pixels[::-1]  # BMP rows run bottom-up when the height is positive
    write_new(path, b"".join((_FILE_HEADER.pack(b"BM", offset + image, 0, 0, offset),
                              _INFO_HEADER.pack(_INFO_HEADER.size, width, height, 1, 8, 0, image,
                                                _PIXELS_PER_METRE, _PIXELS_PER_METRE, 256, 0),
                              _PALETTE, rows.tobytes())), overwrite)
