"""Frames as numpy arrays with their metadata, and the image-format table.

Everything that depends on an image format (bytes per pixel, numpy dtype, array
shape, how the SDK's bytes become an array) is written once, here.
"""
from __future__ import annotations

import operator
import os
from collections.abc import Callable
from dataclasses import dataclass, fields
from datetime import UTC, datetime, timedelta
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from .. import korvi
from .formatnames import LAYOUTS
from .formatnames import bayer_name as bayer_name   # where it used to live

__all__ = ["Frame", "FrameMeta", "Roi", "FORMATS", "FORMATS_BY_NUMBER", "Format", "format_named", "bayer_at"]


@dataclass(frozen=True, slots=True)
class Format:
    """One image format: its name, the SDK's number, bytes per pixel and samples per pixel."""

    name: str
    img_type: korvi.ImgType
    bytes_per_pixel: int
    channels: int
    dtype: np.dtype[Any]

    def buffer_size(self, width: int, height: int) -> int:
        return width * height * self.bytes_per_pixel

    def shape(self, width: int, height: int) -> tuple[int, ...]:
        return (height, width) if self.channels == 1 else (height, width, self.channels)


FORMATS: Final[dict[str, Format]] = {
    name: Format(name, img_type, bytes_per_pixel, channels, np.dtype(dtype))
    for name, img_type, bytes_per_pixel, channels, dtype in LAYOUTS
}
FORMATS_BY_NUMBER: Final[dict[int, Format]] = {int(f.img_type): f for f in FORMATS.values()}


def format_named(value: object) -> Format:
    """The format for a name ("RAW16", case-insensitive, "IMG_" prefix allowed), an
    ImgType member or its number; TypeError/ValueError for anything else."""
    if isinstance(value, str):
        key = value.strip().upper().removeprefix("IMG_")
        if key in FORMATS:
            return FORMATS[key]
        raise ValueError(f"unknown image format {value!r}; known: {', '.join(FORMATS)}")
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(
            f"an image format is a name ({', '.join(FORMATS)}), an ImgType or an int, "
            f"not {type(value).__name__}")
    found = FORMATS_BY_NUMBER.get(operator.index(value))
    if found is None:
        raise ValueError(f"unknown image format number {int(value)}; known: "
                         + ", ".join(f"{int(f.img_type)} ({f.name})" for f in FORMATS.values()))
    return found


def _int_field(name: str, value: object, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"Roi {name} takes an int, got {type(value).__name__}")
    number = operator.index(value)
    if number < minimum:
        raise ValueError(f"Roi {name} must be at least {minimum}, got {number}")
    return number


@dataclass(frozen=True, slots=True)
class Roi:
    """A region of interest as the SDK takes it: start and size in binned pixels,
    the binning factor and the image format's name."""

    x: int
    y: int
    width: int
    height: int
    bin: int = 1
    image_format: str = "RAW8"

    def __post_init__(self) -> None:
        # Frozen: normalise through object.__setattr__ so equal regions compare equal.
        for name, minimum in (("x", 0), ("y", 0), ("width", 1), ("height", 1), ("bin", 1)):
            object.__setattr__(self, name, _int_field(name, getattr(self, name), minimum))
        object.__setattr__(self, "image_format", format_named(self.image_format).name)

    @property
    def format(self) -> Format:
        return FORMATS[self.image_format]

    @property
    def buffer_size(self) -> int:
        """Bytes of one frame of this region."""
        return FORMATS[self.image_format].buffer_size(self.width, self.height)


def bayer_at(pattern: str, x: int, y: int, width: int, height: int, flip: int = 0) -> str:
    """The Bayer pattern of a frame's top-left 2x2 block, for a sensor with `pattern` read
    from start (x, y) and mirrored by `flip` (bit 0 horizontal, bit 1 vertical): an odd
    start or a mirror over an even width moves the colours."""
    cells = (pattern[0:2], pattern[2:4])
    out = []
    for row in (0, 1):
        j = height - 1 - row if flip & 2 else row
        for col in (0, 1):
            k = width - 1 - col if flip & 1 else col
            out.append(cells[(y + j) & 1][(x + k) & 1])
    return "".join(out)


@dataclass(frozen=True, slots=True)
class FrameMeta:
    """What is known about a frame: the camera, the settings read back from it, and when."""

    camera_name: str
    camera_index: int
    camera_id: int
    serial: str | None
    exposure: float
    gain: int | None
    offset: int | None
    temperature: float | None
    target_temperature: float | None
    cooled: bool
    roi: Roi
    bayer_pattern: str | None
    bit_depth: int
    pixel_size: float
    e_per_adu: float
    start_time: datetime
    gps: korvi.GpsData | None
    dark: bool
    index: int

    @property
    def image_format(self) -> str:
        return self.roi.image_format

    @property
    def bin(self) -> int:
        return self.roi.bin


@dataclass(frozen=True, slots=True)
class Frame:
    """One image: `data` (numpy, read-only) and `meta`. RGB24 frames are (h, w, 3) in
    R, G, B order; the others (h, w), uint16 for RAW16 and uint8 otherwise."""

    data: npt.NDArray[Any]
    meta: FrameMeta

    @property
    def width(self) -> int:
        return int(self.data.shape[1])

    @property
    def height(self) -> int:
        return int(self.data.shape[0])

    def __array__(self, dtype: npt.DTypeLike | None = None, copy: bool | None = None) -> npt.NDArray[Any]:
        if copy:
            return np.array(self.data, dtype=dtype, copy=True)
        if dtype is None or np.dtype(dtype) == self.data.dtype:
            return self.data
        if copy is False:
            raise ValueError(f"a {self.data.dtype} frame cannot become {np.dtype(dtype)} without a copy")
        return self.data.astype(dtype)

    def to_fits(self, path: str | os.PathLike[str], overwrite: bool = False) -> None:
        """Writes the frame as a FITS image with its metadata in the header (needs astropy);
        an existing file is refused unless `overwrite`."""
        from ..files.fits import write_fits

        write_fits(path, self, overwrite=overwrite)


# Per-frame construction for streams: filling the slots directly skips the frozen
# dataclass __init__'s object.__setattr__ per field, which costs twice as much.
_new = object.__new__
_SLOT: Final[dict[str, Any]] = {f.name: FrameMeta.__dict__[f.name] for f in fields(FrameMeta)}
_PER_FRAME: Final = ("start_time", "gps", "index")
_put_data = Frame.__dict__["data"].__set__
_put_meta = Frame.__dict__["meta"].__set__
# The companion extension copies a template's slots in one call, a fifth of the time,
# and makes a whole stream frame, clock read included, in another.
_copy_slots: Callable[[FrameMeta], FrameMeta] | None
_FrameStamper: Callable[[type[Frame], FrameMeta, float], Callable[[npt.NDArray[Any], int], Frame]] | None
try:
    from .._frames import FrameStamper as _FrameStamper
    from .._frames import copy_slots as _copy_slots
except ImportError:
    _copy_slots = _FrameStamper = None


def meta_maker(template: FrameMeta) -> Callable[[datetime, korvi.GpsData | None, int], FrameMeta]:
    """A function making FrameMetas equal to `template` except for the start time, GPS
    record and index it is given: what changes from one video frame to the next."""
    put_start, put_gps, put_index = (_SLOT[name].__set__ for name in _PER_FRAME)
    if _copy_slots is not None:
        copy_slots = _copy_slots

        def copied(start_time: datetime, gps: korvi.GpsData | None, index: int) -> FrameMeta:
            meta = copy_slots(template)
            put_start(meta, start_time)
            put_gps(meta, gps)
            put_index(meta, index)
            return meta

        return copied
    fixed = [(slot.__set__, getattr(template, name)) for name, slot in _SLOT.items() if name not in _PER_FRAME]

    def make(start_time: datetime, gps: korvi.GpsData | None, index: int) -> FrameMeta:
        meta: FrameMeta = _new(FrameMeta)
        for put, value in fixed:
            put(meta, value)
        put_start(meta, start_time)
        put_gps(meta, gps)
        put_index(meta, index)
        return meta

    return make


def frame_stamper(template: FrameMeta, lag: timedelta) -> Callable[[npt.NDArray[Any], int], Frame]:
    """A function making the Frame of a video frame without a GPS time from its data and
    index: the metadata is `template`'s, started `lag` (the exposure) before now, in UTC."""
    if _FrameStamper is not None:
        return _FrameStamper(Frame, template, lag.total_seconds())
    make = meta_maker(template)

    def stamp(data: npt.NDArray[Any], index: int) -> Frame:
        return make_frame(data, make(datetime.now(UTC) - lag, None, index))

    return stamp


def make_frame(data: npt.NDArray[Any], meta: FrameMeta) -> Frame:
    """Frame(data, meta) for the per-frame path, without the dataclass __init__."""
    frame: Frame = _new(Frame)
    _put_data(frame, data)
    _put_meta(frame, meta)
    return frame


def to_array(raw: bytes | bytearray | memoryview, fmt: Format, width: int, height: int) -> npt.NDArray[Any]:
    """The SDK's frame bytes as a read-only array in the format's shape; RGB24 arrives as
    B, G, R per pixel and is reordered to R, G, B (one copy), the others are not copied."""
    array = np.frombuffer(raw, dtype=fmt.dtype).reshape(fmt.shape(width, height))
    if fmt.channels == 3:
        array = bgr_to_rgb(array, np.empty_like(array))
    array.flags.writeable = False
    return array


def bgr_to_rgb(bgr: npt.NDArray[Any], out: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Writes (h, w, 3) B, G, R pixels into `out` as R, G, B and returns it. One strided
    copy per channel runs about four times faster than copying the reversed view."""
    out[..., 0] = bgr[..., 2]
    out[..., 1] = bgr[..., 1]
    out[..., 2] = bgr[..., 0]
    return out
