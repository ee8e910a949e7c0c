"""Figures of one frame: its histogram, level statistics and focus (stars, HFR, FWHM).

Stars are found and measured by sep (Source Extractor as a library): background map,
extraction above the noise, half-flux radius of the brightest unsaturated stars. FWHM comes from a Gaussian fitted to the
brightest unsaturated stars (log intensity against squared radius, weighted by the
intensity squared, which is the least-squares Gaussian fit for bright stars).
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import sep

HISTOGRAM_BINS = 256
# Focus figures come from a binned copy of frames larger than this, so that a full
# 4144 x 2822 frame is measured in well under a second.
FOCUS_MAX_PIXELS = 3_000_000
DETECT_SIGMA = 5.0
MIN_AREA = 5
MEASURE_STARS = 50        # brightest unsaturated stars whose HFR is taken,
MEASURE_FLOOR = 0.05      # ... down to this fraction of the brightest one's flux
FIT_STARS = 25            # brightest unsaturated stars that the FWHM is fitted on
FIT_FLOOR = 0.1           # pixels below this fraction of a star's peak are left out of its fit
_FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * np.log(2.0))


@dataclass(frozen=True, slots=True)
class Levels:
    mean: float
    median: float
    saturated: float      # fraction of the samples at the white level
    histogram: list[int]  # HISTOGRAM_BINS counts over the format's whole range


@dataclass(frozen=True, slots=True)
class Focus:
    stars: int
    hfr: float            # median half-flux radius, frame pixels
    fwhm: float | None    # median FWHM of the fitted stars; None when none could be fitted
    saturated_stars: int


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


def luminance(data: npt.NDArray[Any], bayer: str | None) -> tuple[npt.NDArray[np.float32], int]:
    """A mono float32 picture to look for stars in, and its pixel size in frame pixels: a
    colour mosaic is summed per 2x2 cell, RGB summed per pixel, big frames binned further."""
    scale = 1
    if data.ndim == 3:
        mono = data.astype(np.float32).sum(axis=2)
    elif bayer is not None:
        mono, scale = _bin(data, 2), 2
    else:
        mono = data.astype(np.float32)
    while mono.size > FOCUS_MAX_PIXELS:
        mono, scale = _bin(mono, 2), scale * 2
    return np.ascontiguousarray(mono, dtype=np.float32), scale


def _bin(data: npt.NDArray[Any], factor: int) -> npt.NDArray[np.float32]:
    return bin_sum(data, factor, np.float32)


def bin_sum(data: npt.NDArray[Any], factor: int, dtype: type[np.floating[Any]] = np.float32) -> npt.NDArray[Any]:
    """Sums of factor x factor blocks (whole blocks only; any trailing axes kept), as
    factor^2 strided additions, several times faster than a reduction over a reshape."""
    h, w = data.shape[0] // factor, data.shape[1] // factor
    out = np.zeros((h, w, *data.shape[2:]), dtype)
    for dy in range(factor):
        for dx in range(factor):
            out += data[dy:h * factor:factor, dx:w * factor:factor]
    return out


def focus(data: npt.NDArray[Any], white: int, bayer: str | None = None) -> Focus | None:
    """Stars in the frame and their median HFR and FWHM in frame pixels; None without stars.
    `white` is the saturation level of the data; `bayer` the pattern of a colour mosaic."""
    mono, scale = luminance(data, bayer)
    saturated_mask = None
    background = sep.Background(mono)
    signal = mono - background.back()
    try:
        found = sep.extract(signal, DETECT_SIGMA, err=background.globalrms, minarea=MIN_AREA)
    except Exception:   # sep refuses pathological frames (too many pixels above the threshold)
        return None
    # Whole stars only: ones cut by the frame's edge measure too small.
    found = found[(found["flag"] & sep.OBJ_TRUNC) == 0] if len(found) else found
    if len(found) == 0 or background.globalrms <= 0:
        return None
    # Half of the light within a generous aperture: the isophotal flux would miss the
    # wings of a wide star and make its radius small.
    reach = np.maximum(6.0 * found["a"], np.maximum(8.0, 2.5 * np.sqrt(found["npix"] / np.pi)))
    radius, flags = sep.flux_radius(signal, found["x"], found["y"], reach, 0.5, subpix=5)
    # A star with a sample at the white level (before any binning) is saturated.
    peaks = _peaks(data, found, scale)
    saturated_mask = peaks >= white
    good = (flags == 0) & np.isfinite(radius) & (radius > 0)
    usable = good & ~saturated_mask
    chosen = usable if usable.any() else good
    if not chosen.any():
        return None
    # The brightest measure best: faint detections (a few counts above a flat sky, or
    # specks of quantisation noise in 8-bit data) give radii of the noise, not the optics.
    ranked = np.flatnonzero(chosen)[np.argsort(found["flux"][chosen])[::-1][:MEASURE_STARS]]
    ranked = ranked[found["flux"][ranked] >= MEASURE_FLOOR * found["flux"][ranked[0]]]
    hfr = float(np.median(radius[ranked])) * scale
    fwhm = _fwhm(signal, found[usable], radius[usable])
    return Focus(stars=len(found), hfr=hfr, fwhm=None if fwhm is None else fwhm * scale,
                 saturated_stars=int(np.count_nonzero(saturated_mask)))


def _peaks(data: npt.NDArray[Any], found: Any, scale: int) -> npt.NDArray[Any]:
    """The highest raw sample in each star's peak block (scale x scale frame pixels)."""
    plane = data.max(axis=2) if data.ndim == 3 else data
    ys = found["ycpeak"].astype(np.intp) * scale
    xs = found["xcpeak"].astype(np.intp) * scale
    best: npt.NDArray[Any] = np.zeros(len(found), dtype=np.int64)
    for dy in range(scale):
        for dx in range(scale):
            y = np.minimum(ys + dy, plane.shape[0] - 1)
            x = np.minimum(xs + dx, plane.shape[1] - 1)
            best = np.maximum(best, plane[y, x])
    return best


def _fwhm(signal: npt.NDArray[np.float32], stars: Any, hfr: npt.NDArray[Any]) -> float | None:
    """Median FWHM of circular Gaussians fitted to the brightest of `stars`."""
    widths = []
    for index in np.argsort(stars["flux"])[::-1][:FIT_STARS]:
        x, y, reach = stars["x"][index], stars["y"][index], max(3, int(np.ceil(3 * hfr[index])))
        x0, y0 = int(round(x)) - reach, int(round(y)) - reach
        if x0 < 0 or y0 < 0 or x0 + 2 * reach >= signal.shape[1] or y0 + 2 * reach >= signal.shape[0]:
            continue
        cut = signal[y0:y0 + 2 * reach + 1, x0:x0 + 2 * reach + 1].astype(np.float64)
        yy, xx = np.mgrid[y0:y0 + 2 * reach + 1, x0:x0 + 2 * reach + 1]
        r2 = (xx - x) ** 2 + (yy - y) ** 2
        keep = (cut > FIT_FLOOR * cut.max()) & (r2 <= reach * reach)
        if np.count_nonzero(keep) < 5:
            continue
        weight = cut[keep]
        # ln I = ln A - r^2 / (2 sigma^2), weighted least squares on the kept pixels.
        slope, _ = np.polyfit(r2[keep], np.log(cut[keep]), 1, w=weight)
        if slope < 0:
            widths.append(_FWHM_PER_SIGMA * np.sqrt(-0.5 / slope))
    return float(np.median(widths)) if widths else None
