"""Figures of one frame: its histogram, level statistics and focus (stars, HFR, FWHM).

The focus figures are those of `observing.focus`, which a focus run measures with too:
stars found on a smoothed picture, measured binned until they span a few pixels, single
hot pixels left out, and no figure, but the reason, when too few stars can be measured.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ..observing.focus import Focus, bin_sum, luminance, measure

__all__ = ["HISTOGRAM_BINS", "Focus", "Levels", "bin_sum", "focus", "histogram", "levels", "luminance"]

HISTOGRAM_BINS = 256


@dataclass(frozen=True, slots=True)
class Levels:
    mean: float
    median: float
    saturated: float      # fraction of the samples at the white level
    histogram: list[int]  # HISTOGRAM_BINS counts over the format's whole range


def histogram(data: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
    """Counts in 256 equal bins over the dtype's range (the top 8 bits of each sample)."""
    shift = 8 * data.dtype.itemsize - 8
    top = data >> shift if shift else data
    return np.bincount(top.ravel(), minlength=HISTOGRAM_BINS)


def levels(data: npt.NDArray[Any], white: int) -> Levels:
    """Mean, median, the fraction at or above `white` and the histogram; medians of big
    frames from every fourth row and column (a 1-in-16 sample moves it by a fraction of a unit)."""
    # Big frames are counted on every second row, which keeps the shape of the histogram.
    counts = histogram(data[::2] if data.size > 4_000_000 else data)
    sample = data[::4, ::4] if data.size > 1_000_000 else data
    return Levels(mean=float(np.mean(data, dtype=np.float64)), median=float(np.median(sample)),
                  saturated=float(np.count_nonzero(data >= white)) / data.size,
                  histogram=[int(c) for c in counts])


def focus(data: npt.NDArray[Any], white: int, bayer: str | None = None) -> Focus | None:
    """Stars in the frame and their median HFR and FWHM in frame pixels; None without stars.
    `white` is the saturation level of the data; `bayer` the pattern of a colour mosaic."""
    return measure(data, white, bayer)
