"""The image formats' names, SDK numbers and pixel layouts, and the Bayer patterns' names,
without numpy: describing a camera needs them, handling its pixels is `frames`' part."""
from __future__ import annotations

from typing import Final

from .. import korvi

# (name, SDK number, bytes per pixel, samples per pixel, numpy dtype name), in the order
# `frames.FORMATS` lists them. RAW16 is the SDK's 16-bit words in the machine's byte order.
LAYOUTS: Final[tuple[tuple[str, korvi.ImgType, int, int, str], ...]] = (
    ("RAW8", korvi.ImgType.IMG_RAW8, 1, 1, "uint8"),
    ("RGB24", korvi.ImgType.IMG_RGB24, 3, 3, "uint8"),
    ("RAW16", korvi.ImgType.IMG_RAW16, 2, 1, "uint16"),
    ("Y8", korvi.ImgType.IMG_Y8, 1, 1, "uint8"),
)
NAMES_BY_NUMBER: Final[dict[int, str]] = {int(number): name for name, number, *_ in LAYOUTS}

BAYER_NAMES: Final = ("RGGB", "BGGR", "GRBG", "GBRG")


def bayer_name(pattern: int) -> str:
    return BAYER_NAMES[pattern]
