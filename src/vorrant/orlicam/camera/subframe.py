"""Exact subframes: any region at any bin, whatever the camera's ROI rules.

The camera only takes regions whose width is a multiple of 8 and whose height is
even, inside the sensor at that bin; imaging programs ask for any rectangle inside
CameraXSize/bin x CameraYSize/bin. So the camera exposes the smallest region it
accepts that covers the request and the frame is cropped to what was asked.

Some requests have no such cover at the requested bin: the full frame of a 4144-pixel
sensor at bin 3 is 1381 pixels wide, and the widest region the camera accepts there
is 1376. Those are exposed at a finer bin that divides the requested one and binned
the rest of the way here, averaging as the camera's own binning does (colour raw
frames stay a mosaic: each output pixel averages its block's pixels of the colour
its position calls for).
"""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import numpy.typing as npt

from .frames import Frame, FrameMeta, Roi, bayer_at

__all__ = ["WIDTH_STEP", "HEIGHT_STEP", "Subframe", "cover_axis", "plan_subframe"]

# The camera's rules for a region's size, in binned pixels.
WIDTH_STEP = 8
HEIGHT_STEP = 2

_CHANNEL = {"R": 0, "G": 1, "B": 2}


def cover_axis(start: int, length: int, size: int, step: int) -> tuple[int, int] | None:
    """The shortest run [a, a + n) with n a multiple of `step`, inside [0, size), that
    covers [start, start + length); the one starting nearest `start`. None if none fits."""
    n = -(-length // step) * step
    if n > size - size % step:
        return None
    return min(start, size - n), n


@dataclass(frozen=True, slots=True)
class Subframe:
    """What was asked (`x`, `y`, `width`, `height` at `bin`), the region the camera exposes
    for it (`roi`, at bin `roi.bin`) and the software binning `factor` on top of that."""

    x: int
    y: int
    width: int
    height: int
    bin: int
    roi: Roi
    factor: int
    bayer_pattern: str | None   # the sensor's, for software binning of colour raw frames

    @property
    def exact(self) -> bool:
        """True when the camera's frame is already the requested one."""
        r = self.roi
        return self.factor == 1 and (r.x, r.y, r.width, r.height) == (self.x, self.y, self.width, self.height)

    def crop_array(self, data: npt.NDArray[Any], flip: int = 0, bit_depth: int = 16) -> npt.NDArray[Any]:
        """The requested pixels of a frame exposed with `roi` (mirrored by `flip`, bit 0
        horizontal, bit 1 vertical, as the camera mirrors); read-only."""
        f, r = self.factor, self.roi
        # The requested region in the exposed frame's pixels, before any mirror.
        x0, y0 = self.x * f - r.x, self.y * f - r.y
        w, h = self.width * f, self.height * f
        if flip & 1:
            x0 = r.width - x0 - w
        if flip & 2:
            y0 = r.height - y0 - h
        region = data[y0:y0 + h, x0:x0 + w]
        if f > 1:
            region = self._bin(region, flip, bit_depth)
        region = region.view()
        region.flags.writeable = False
        return region

    def _bin(self, region: npt.NDArray[Any], flip: int, bit_depth: int) -> npt.NDArray[Any]:
        f, dtype = self.factor, region.dtype
        h, w = region.shape[0] // f, region.shape[1] // f
        blocks = region.reshape(h, f, w, f, *region.shape[2:]).astype(np.uint32)
        mosaic = self.bayer_pattern is not None and region.ndim == 2 and self.roi.image_format in ("RAW8", "RAW16")
        if not mosaic:
            total = blocks.sum(axis=(1, 3))
            count: npt.NDArray[Any] | int = f * f
        else:
            # Channel of every exposed pixel and of every output pixel, from their positions
            # on the sensor (in the binned pixels of each); mirrors are undone first.
            pattern = self.bayer_pattern
            assert pattern is not None
            table = np.array([[_CHANNEL[pattern[0]], _CHANNEL[pattern[1]]],
                              [_CHANNEL[pattern[2]], _CHANNEL[pattern[3]]]])
            rows: npt.NDArray[np.int64] = np.arange(self.y * f, (self.y + self.height) * f)
            cols: npt.NDArray[np.int64] = np.arange(self.x * f, (self.x + self.width) * f)
            out_rows: npt.NDArray[np.int64] = np.arange(self.y, self.y + self.height)
            out_cols: npt.NDArray[np.int64] = np.arange(self.x, self.x + self.width)
            if flip & 2:
                rows, out_rows = rows[::-1], out_rows[::-1]
            if flip & 1:
                cols, out_cols = cols[::-1], out_cols[::-1]
            channel = table[(rows & 1)[:, None], (cols & 1)[None, :]].reshape(h, f, w, f)
            wanted = table[(out_rows & 1)[:, None], (out_cols & 1)[None, :]][:, None, :, None]
            chosen = channel == wanted
            total = (blocks * chosen).sum(axis=(1, 3))
            count = chosen.sum(axis=(1, 3))
        # Rounded to the nearest ADC step: 16-bit frames keep their sensor bits left-aligned.
        unit = 1 << (16 - bit_depth) if dtype == np.uint16 else 1
        steps = (2 * total + count * unit) // (2 * count * unit)
        binned: npt.NDArray[Any] = np.minimum(steps * unit, np.iinfo(dtype).max).astype(dtype)
        return binned

    def crop(self, frame: Frame, flip: int = 0) -> Frame:
        """The frame reduced to the requested subframe; its metadata says so."""
        meta: FrameMeta = frame.meta
        if meta.roi != self.roi:
            raise ValueError(f"the frame was exposed with {meta.roi}, not with this subframe's {self.roi}")
        if self.exact:
            return frame
        data = self.crop_array(frame.data, flip, meta.bit_depth)
        roi = Roi(self.x, self.y, self.width, self.height, self.bin, self.roi.image_format)
        pattern = meta.bayer_pattern
        if pattern is not None and self.bayer_pattern is not None:
            pattern = bayer_at(self.bayer_pattern, self.x, self.y, self.width, self.height, flip)
        return Frame(data, replace(meta, roi=roi, bayer_pattern=pattern))


def plan_subframe(sensor_width: int, sensor_height: int, bins: Sequence[int], x: int, y: int,
                  width: int, height: int, bin: int, image_format: str,
                  bayer_pattern: str | None = None) -> Subframe:
    """The region to expose for the subframe `width` x `height` at (`x`, `y`), in pixels
    of `bin`. ValueError when the request is not inside the sensor at that bin."""
    if bin not in bins:
        raise ValueError(f"bin {bin} is not supported; supported: " + ", ".join(map(str, bins)))
    full_w, full_h = sensor_width // bin, sensor_height // bin
    for name, size in (("width", width), ("height", height)):
        if size <= 0:
            raise ValueError(f"the subframe {name} must be positive, got {size}")
    for name, start in (("x", x), ("y", y)):
        if start < 0:
            raise ValueError(f"the subframe {name} must not be negative, got {start}")
    if x + width > full_w or y + height > full_h:
        raise ValueError(f"the subframe {width} x {height} at ({x}, {y}) does not fit the sensor, "
                         f"which is {full_w} x {full_h} pixels at bin {bin}")
    # The requested bin first, then finer ones that divide it.
    for hardware in sorted((b for b in bins if bin % b == 0), reverse=True):
        f = bin // hardware
        across = cover_axis(x * f, width * f, sensor_width // hardware, WIDTH_STEP)
        down = cover_axis(y * f, height * f, sensor_height // hardware, HEIGHT_STEP)
        if across is not None and down is not None:
            roi = Roi(across[0], down[0], across[1], down[1], hardware, image_format)
            return Subframe(x, y, width, height, bin, roi, f, bayer_pattern)
    raise ValueError(f"no region the camera accepts covers the subframe {width} x {height} at ({x}, {y}), bin {bin}")
