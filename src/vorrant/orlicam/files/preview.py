"""Quick-look pictures: an automatic stretch to 8 bits and a PNG writer (pillow, the ``png`` extra).

The stretch puts the sky and its noise (up to two standard deviations above the median)
at black and the 99.99th percentile at white, with a square-root curve between, so faint
stars show without burning the bright ones. Colour raw frames are shown as colour, one pixel per 2x2 Bayer cell.
"""
from __future__ import annotations

import io
import os
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .outputs import write_new

if TYPE_CHECKING:
    from ..camera.frames import Frame

__all__ = ["stretch", "superpixel", "write_png", "preview_array"]

_CHANNEL = {"R": 0, "G": 1, "B": 2}


def stretch(data: NDArray[Any], noise_floor: float = 2.0, high_percentile: float = 99.99) -> NDArray[Any]:
    """uint8 picture of `data` (any shape): black up to `noise_floor` standard deviations of the
    sky above its median, white from the high percentile, a square-root curve between."""
    values = data.astype(np.float32)
    sky = float(np.median(values))
    sigma = 1.4826 * float(np.median(np.abs(values - np.float32(sky))))  # robust: stars do not count
    low = sky + noise_floor * sigma
    high = max(float(np.percentile(values, high_percentile)), low + 1.0)
    scaled = np.clip((values - np.float32(low)) / np.float32(high - low), 0.0, 1.0)
    picture: NDArray[Any] = (np.sqrt(scaled) * 255.0 + 0.5).astype(np.uint8)
    return picture


def superpixel(mosaic: NDArray[Any], pattern: str) -> NDArray[Any]:
    """Half-size RGB from a Bayer mosaic whose first pixel starts `pattern`: each 2x2 cell one pixel."""
    h, w = mosaic.shape[0] // 2 * 2, mosaic.shape[1] // 2 * 2
    cells = mosaic[:h, :w].astype(np.float32).reshape(h // 2, 2, w // 2, 2)
    rgb = np.zeros((h // 2, w // 2, 3), np.float32)
    for index, letter in enumerate(pattern):
        rgb[..., _CHANNEL[letter]] += cells[:, index // 2, :, index % 2] / (2.0 if letter == "G" else 1.0)
    return rgb


def preview_array(frame: Frame) -> NDArray[Any]:
    """The frame as an 8-bit picture: grey (h, w) or colour (h, w, 3), rows top-down."""
    meta = frame.meta
    data = frame.data
    if meta.bayer_pattern is not None and meta.roi.image_format in ("RAW8", "RAW16") and data.ndim == 2:
        data = superpixel(data, meta.bayer_pattern)
    return stretch(data)


def write_png(path: str | os.PathLike[str], frame: Frame, overwrite: bool = False) -> None:
    """Writes the frame's stretched preview as a PNG; an existing file is refused unless `overwrite`."""
    try:
        from PIL import Image
    except ImportError as error:
        error.add_note("writing PNG previews needs pillow: pip install 'orlicam[png]'")
        raise
    encoded = io.BytesIO()
    Image.fromarray(preview_array(frame)).save(encoded, format="PNG")
    write_new(path, encoded.getbuffer(), overwrite)
