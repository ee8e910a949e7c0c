"""Focus: how sharp the stars of a frame are (half-flux radius and FWHM), and the V-curve
of a run through the focus travel with the position of its minimum.

    from vorrant.orlicam.observing import focus
    figures = focus.measure(frame.data, white=65535)         # or focus.of_frame(frame)
    run = focus.sweep(move, lambda: focus.of_frame(camera.capture(2.0)), range(4000, 5001, 100))
    print(run.curve.best)

The measurement holds from sharp stars to wide, faint, even donut-shaped ones far from
focus: stars are found on a smoothed picture without splitting them into pieces, and
measured in a picture binned until they span a few pixels, where each pixel holds enough
light to see them above the noise. Single hot pixels are taken out first. Colour mosaics
are measured on 2x2 sums, where the colour filters no longer break a star up.

Needs sep (Source Extractor as a library), part of the `live` extra.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import sep
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("focus figures need sep: pip install 'orlicam[live]'") from exc

from ..camera.frames import Frame

MIN_STARS = 3             # fewer measured stars than this give no figures, but a reason
MAX_PIXELS = 3_000_000    # bigger frames are binned first, so that a full frame takes well under a second
DETECT_SIGMA = 4.0        # in units of the smoothed picture's noise (a matched filter)
MIN_AREA = 5
COMPACT_HFR = 3.5         # stars wider than this (pixels of the picture measured) are measured binned 2x2
MIN_SIDE = 96             # ... while the binned picture keeps at least this many pixels a side
HOT_RATIO = 5.0           # a pixel this many times brighter than each of its neighbours is a hot pixel
MIN_HFR = 0.55            # narrower than this (pixels): a hot pixel or a cosmic ray, not a star
MIN_SNR = 8.0             # a star's flux over the noise in its aperture
MAX_CANDIDATES = 150      # the brightest stars found are measured
MAX_ELONGATION = 2.0      # longer: two stars taken as one
MEASURE_STARS = 50        # brightest measured stars whose median is taken
FIT_STARS = 25            # ... and those the FWHM is fitted on
APERTURE_HFR = 4.0        # the aperture's radius, in half-flux radii
GROWTH_STEPS = 32
_KERNEL = np.array([[1, 2, 1], [2, 4, 2], [1, 2, 1]], np.float32)
_SIGMAS = np.geomspace(0.3, 40.0, 160)   # the Gaussian widths tried on each star, pixels
_SIGMA_STEP = float(_SIGMAS[1] / _SIGMAS[0])
_FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))


@dataclass(frozen=True, slots=True)
class Focus:
    """The focus figures of a frame, in frame pixels. `hfr` and `fwhm` are None, with the
    reason, when too few stars could be measured for them to mean anything."""

    stars: int                 # stars found
    measured: int              # stars measured: whole, unsaturated, apart from others
    hfr: float | None          # median half-flux radius
    fwhm: float | None         # median FWHM of Gaussians fitted to the brightest
    saturated_stars: int
    reason: str | None = None


def luminance(data: npt.NDArray[Any], bayer: str | None) -> tuple[npt.NDArray[np.float32], int]:
    """A mono float32 picture to look for stars in, and its pixel size in frame pixels: a
    colour mosaic is summed per 2x2 cell, RGB summed per pixel, big frames binned further."""
    scale = 1
    if data.ndim == 3:
        mono = data.astype(np.float32).sum(axis=2)
    elif bayer is not None:
        mono, scale = bin_sum(data, 2), 2
    else:
        mono = data.astype(np.float32)
    while mono.size > MAX_PIXELS:
        mono, scale = bin_sum(mono, 2), scale * 2
    return np.ascontiguousarray(mono, dtype=np.float32), scale


def bin_sum(data: npt.NDArray[Any], factor: int, dtype: type[np.floating[Any]] = np.float32) -> npt.NDArray[Any]:
    """Sums of factor x factor blocks (whole blocks only; any trailing axes kept), as
    factor^2 strided additions, several times faster than a reduction over a reshape."""
    h, w = data.shape[0] // factor, data.shape[1] // factor
    out = np.zeros((h, w, *data.shape[2:]), dtype)
    for dy in range(factor):
        for dx in range(factor):
            out += data[dy:h * factor:factor, dx:w * factor:factor]
    return out


def white_level(frame: Frame) -> int:
    """The value a saturated pixel reads: the ADC's top in the data's units."""
    if frame.data.dtype == np.uint16:
        depth = frame.meta.bit_depth
        return ((1 << depth) - 1) << (16 - depth)
    return 255


def bayer_of(frame: Frame) -> str | None:
    """The colour mosaic's pattern of a raw colour frame; None for mono or debayered data."""
    meta = frame.meta
    return meta.bayer_pattern if meta.roi.image_format in ("RAW8", "RAW16") and frame.data.ndim == 2 else None


def of_frame(frame: Frame) -> Focus | None:
    """measure() with the frame's own white level and colour mosaic."""
    return measure(frame.data, white_level(frame), bayer_of(frame))


@dataclass(slots=True)
class _Stars:
    """Stars found in one picture (pixels of that picture), and what was measured of them."""

    found: Any                         # sep's catalogue of the brightest
    hfr: npt.NDArray[np.float64]       # NaN where it could not be measured
    reach: npt.NDArray[np.float64]     # the aperture's radius
    flux: npt.NDArray[np.float64]
    good: npt.NDArray[np.bool_]        # measured, whole, isolated, round, clear of the noise
    signal: npt.NDArray[np.float32]    # the picture less its sky
    total: int                         # stars found; the brightest MAX_CANDIDATES are measured


def measure(data: npt.NDArray[Any], white: int, bayer: str | None = None) -> Focus | None:
    """Stars in the frame and their median HFR and FWHM in frame pixels; None without any star.
    `white` is the saturation level of the data; `bayer` the pattern of a colour mosaic."""
    if float(np.median(data[::4, ::4])) <= 0:
        # A sky clipped to black hides the noise and the faint part of every star.
        return Focus(0, 0, None, None, 0, "the sky reads zero: raise the offset or the gain, or use a 16-bit format")
    mono, scale = luminance(data, bayer)
    picture = _without_hot_pixels(mono)
    factor, chosen, most = 1, None, 0
    while True:
        stars = _stars(picture)
        if stars is not None:
            # Binning merges close pairs: the count is that of the finest picture that had them.
            most = max(most, stars.total)
            count = int(np.count_nonzero(stars.good))
            if chosen is None or count >= int(np.count_nonzero(chosen[1].good)):
                chosen = (factor, stars)
            wide = count > 0 and float(np.median(stars.hfr[stars.good])) > COMPACT_HFR
            if count >= MIN_STARS and not wide:
                chosen = (factor, stars)
                break
        # Too few stars, or wide ones: summing 2x2 pixels doubles a wide star's signal to noise.
        if min(picture.shape) < 2 * MIN_SIDE:
            break
        picture, factor = bin_sum(picture, 2), factor * 2
    if chosen is None:
        return None
    factor, stars = chosen
    pixel = scale * factor                       # frame pixels per pixel of the measured picture
    saturated = _saturated(data, stars, pixel, white)
    usable = stars.good & ~saturated
    total, n_saturated = most, int(np.count_nonzero(saturated))
    count = int(np.count_nonzero(usable))
    if count < MIN_STARS:
        if n_saturated and count + n_saturated >= MIN_STARS:
            reason = f"{n_saturated} of the stars are saturated: shorten the exposure or lower the gain"
        else:
            reason = (f"{count} star(s) measurable, {MIN_STARS} needed: lengthen the exposure, raise the gain "
                      "or bin")
        return Focus(total, count, None, None, n_saturated, reason)
    ranked = np.flatnonzero(usable)[np.argsort(stars.flux[usable])[::-1][:MEASURE_STARS]]
    hfr = float(np.median(stars.hfr[ranked])) * pixel
    fwhm = _fwhm(stars, ranked[:FIT_STARS])
    return Focus(total, count, hfr, None if fwhm is None else fwhm * pixel, n_saturated)


def _without_hot_pixels(picture: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """The picture with each pixel far brighter than all eight neighbours replaced by their
    median. A star's peak, even a sharp one, lights its neighbours to a fifth of it or more."""
    if min(picture.shape) < 3:
        return picture
    sample = picture[::4, ::4]
    sky = float(np.median(sample))
    spread = 1.4826 * float(np.median(np.abs(sample - sky))) or 1.0
    # Only pixels well above the sky can be hot: look at their neighbours alone.
    ys, xs = np.nonzero(picture[1:-1, 1:-1] > sky + HOT_RATIO * spread)
    if len(ys) == 0:
        return picture
    ys, xs = ys + 1, xs + 1
    around = np.stack([picture[ys + dy, xs + dx] for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx])
    hot = picture[ys, xs] - sky > HOT_RATIO * np.maximum(around.max(axis=0) - sky, spread)
    if not hot.any():
        return picture
    cleaned = picture.copy()
    cleaned[ys[hot], xs[hot]] = np.median(around[:, hot], axis=0)
    return cleaned


def _stars(picture: npt.NDArray[np.float32]) -> _Stars | None:
    picture = np.ascontiguousarray(picture)
    # Where the stars are, from a 2x2 binned copy of a big picture (four times quicker),
    # then found again with them masked: wide stars would otherwise lift the sky under them.
    coarse = 2 if picture.size > 500_000 else 1
    found, _, _ = _extract(np.ascontiguousarray(bin_sum(picture, 2)) if coarse > 1 else picture, None)
    if found is None or len(found) == 0:
        return None
    mask = np.zeros(picture.shape, np.bool_)
    sep.mask_ellipse(mask, (found["x"] + 0.5) * coarse - 0.5, (found["y"] + 0.5) * coarse - 0.5,
                     found["a"] * coarse, found["b"] * coarse, found["theta"], r=4.0)
    found, signal, rms = _extract(picture, mask)
    if found is None or len(found) == 0:
        return None
    # The brightest are measured; a deep frame's thousands of faint ones add nothing.
    candidates = np.argsort(found["flux"])[::-1][:MAX_CANDIDATES]
    x, y = found["x"][candidates], found["y"][candidates]
    # A first radius from the detection, then the aperture made to fit the star.
    hfr = np.maximum(np.sqrt(found["npix"][candidates] / np.pi) / 2.0, 1.0)
    for _ in range(2):
        hfr = np.where(np.isfinite(hfr), hfr, 1.0)
        reach = np.maximum(APERTURE_HFR * hfr, 3.0)
        hfr, flux = _growth(signal, x, y, reach)
    h, w = picture.shape
    whole = (x - reach >= 0) & (y - reach >= 0) & (x + reach < w - 1) & (y + reach < h - 1)
    clear = flux > MIN_SNR * rms * np.sqrt(np.pi) * reach
    a, b = found["a"][candidates], found["b"][candidates]
    good = (whole & clear & (a <= MAX_ELONGATION * np.maximum(b, 1e-3)) & np.isfinite(hfr) & (hfr >= MIN_HFR)
            & _isolated(x, y, reach, found["x"], found["y"]))
    return _Stars(found[candidates], hfr, reach, flux, good, signal, len(found))


def _extract(picture: npt.NDArray[np.float32], mask: npt.NDArray[np.bool_] | None
             ) -> tuple[Any, npt.NDArray[np.float32], float]:
    background = sep.Background(picture, mask=mask, bw=64, bh=64, fw=3, fh=3)
    signal = picture - background.back()
    rms = float(background.globalrms)
    if rms <= 0:
        return None, signal, rms
    try:
        # No deblending: the ring of a star far from focus is one star, not several.
        found = sep.extract(signal, DETECT_SIGMA, err=rms, minarea=MIN_AREA, filter_kernel=_KERNEL,
                            deblend_cont=1.0)
    except Exception:   # sep refuses pathological frames (too many pixels above the threshold)
        return None, signal, rms
    return found, signal, rms


def _growth(signal: npt.NDArray[np.float32], x: npt.NDArray[Any], y: npt.NDArray[Any], reach: npt.NDArray[Any]
            ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Half-flux radii from each star's growth curve within `reach`, its sky taken from an
    annulus just outside (what the sky map leaves under a wide star), and the flux."""
    outer = reach * 1.5
    ring, _, _ = sep.sum_circann(signal, x, y, reach, outer, subpix=1)
    sky = ring / (np.pi * (outer ** 2 - reach ** 2))
    steps = np.arange(GROWTH_STEPS + 1) / GROWTH_STEPS
    curve = np.zeros((len(x), GROWTH_STEPS + 1))
    for k in range(1, GROWTH_STEPS + 1):
        r = reach * steps[k]
        total, _, _ = sep.sum_circle(signal, x, y, r, subpix=5)
        curve[:, k] = total - sky * np.pi * r * r
    flux = curve[:, -1]
    # The first crossing of half the flux, between the two steps around it.
    half = 0.5 * flux[:, None]
    crossing = np.argmax(curve >= half, axis=1)
    rows = np.arange(len(x))
    lo, hi = curve[rows, np.maximum(crossing - 1, 0)], curve[rows, crossing]
    t = np.where(hi > lo, (half[:, 0] - lo) / np.where(hi > lo, hi - lo, 1.0), 0.0)
    hfr = (steps[np.maximum(crossing - 1, 0)] + t / GROWTH_STEPS) * reach
    return np.where((flux > 0) & (k > 0), hfr, np.nan), flux


def _isolated(x: npt.NDArray[Any], y: npt.NDArray[Any], reach: npt.NDArray[Any],
              all_x: npt.NDArray[Any], all_y: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """Stars (x, y) with no other star's centre (all_x, all_y) within their aperture and its
    sky annulus."""
    order = np.argsort(all_x)
    xs, ys = all_x[order], all_y[order]
    alone = np.ones(len(x), np.bool_)
    for i in range(len(x)):
        r = 1.5 * reach[i]
        lo, hi = np.searchsorted(xs, [x[i] - r, x[i] + r])
        d2 = (xs[lo:hi] - x[i]) ** 2 + (ys[lo:hi] - y[i]) ** 2
        alone[i] = np.count_nonzero(d2 < r * r) <= 1
    return alone


def _saturated(data: npt.NDArray[Any], stars: _Stars, pixel: int, white: int) -> npt.NDArray[np.bool_]:
    """Stars with a raw sample at the white level within their half-flux radius."""
    plane = data.max(axis=2) if data.ndim == 3 else data
    out = np.zeros(len(stars.found), np.bool_)
    for i, (x, y, r) in enumerate(zip(stars.found["x"], stars.found["y"], np.nan_to_num(stars.hfr, nan=1.0))):
        half = max(pixel, int(math.ceil(r * pixel)))
        cx, cy = int((x + 0.5) * pixel), int((y + 0.5) * pixel)
        box = plane[max(0, cy - half):cy + half + 1, max(0, cx - half):cx + half + 1]
        out[i] = box.size > 0 and int(box.max()) >= white
    return out


def _fwhm(stars: _Stars, chosen: npt.NDArray[np.intp]) -> float | None:
    """Median FWHM of circular Gaussians fitted by least squares to the chosen stars' pixels
    within their aperture, the centre held at the star's centroid. Least squares on the
    pixels themselves, not their logarithm, keeps faint wide stars from being widened by
    their noise."""
    widths = []
    signal = stars.signal
    for i in chosen:
        x, y, reach = stars.found["x"][i], stars.found["y"][i], stars.reach[i]
        n = int(math.ceil(reach))
        x0, y0 = int(round(x)) - n, int(round(y)) - n
        cut = signal[max(0, y0):y0 + 2 * n + 1, max(0, x0):x0 + 2 * n + 1].astype(np.float64)
        yy, xx = np.mgrid[max(0, y0):max(0, y0) + cut.shape[0], max(0, x0):max(0, x0) + cut.shape[1]]
        r2 = ((xx - x) ** 2 + (yy - y) ** 2).ravel()
        inside = r2 <= reach * reach
        values, r2 = cut.ravel()[inside], r2[inside]
        # For each width, the best height has a closed form; keep the width with least residual.
        shapes = np.exp(-r2[None, :] / (2.0 * _SIGMAS[:, None] ** 2))
        heights = shapes @ values / np.einsum("ij,ij->i", shapes, shapes)
        residual = ((values[None, :] - heights[:, None] * shapes) ** 2).sum(axis=1)
        best = int(np.argmin(residual))
        if 0 < best < len(_SIGMAS) - 1 and heights[best] > 0:
            # Between the widths tried: the vertex of the parabola through the three around the least.
            before, least, after = residual[best - 1:best + 2]
            curve = before - 2 * least + after
            shift = 0.5 * (before - after) / curve if curve > 0 else 0.0
            widths.append(_FWHM_PER_SIGMA * _SIGMAS[best] * _SIGMA_STEP ** shift)
    return float(np.median(widths)) if widths else None


# --- the V-curve ------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class Point:
    position: float
    hfr: float | None
    fwhm: float | None
    stars: int


@dataclass(frozen=True, slots=True)
class VCurve:
    """A hyperbola through HFR against focuser position: HFR^2 = hfr^2 + (slope (p - best))^2."""

    best: float      # the position of the sharpest stars
    hfr: float       # the HFR there
    slope: float     # HFR per unit of position far from focus

    def at(self, position: float) -> float:
        return math.hypot(self.hfr, self.slope * (position - self.best))


@dataclass(frozen=True, slots=True)
class Sweep:
    points: list[Point]
    curve: VCurve


def fit_v(positions: Iterable[float], hfrs: Iterable[float]) -> VCurve:
    """The hyperbola through the points: a star's image is the optics' own blur and the
    defocus blur (growing linearly with the distance from focus) added in quadrature, so
    HFR^2 is a parabola in the position. Fitted to HFR^2 with each point weighted by 1/HFR^2,
    so that the points near focus count as much as the wide ones. ValueError when the
    points do not make a V (fewer than three, or no minimum between them)."""
    p = np.asarray(list(positions), np.float64)
    h = np.asarray(list(hfrs), np.float64)
    if len(p) < 3 or len(np.unique(p)) < 3:
        raise ValueError("a V-curve needs HFRs at three positions or more")
    weight = 1.0 / h ** 2
    centre = float(np.mean(p))
    span = float(np.ptp(p)) or 1.0
    u = (p - centre) / span
    a, b, c = np.polyfit(u, h ** 2, 2, w=weight)   # polyfit's weights multiply the residuals
    if a <= 0:
        raise ValueError("the HFRs make no V: the sweep does not pass through focus")
    vertex = -b / (2 * a)
    least = c - b * b / (4 * a)
    best = centre + vertex * span
    if not p.min() <= best <= p.max():
        raise ValueError(f"the V's minimum ({best:g}) lies outside the sweep ({p.min():g} to {p.max():g})")
    return VCurve(best=best, hfr=math.sqrt(max(least, 0.0)), slope=math.sqrt(a) / span)


def sweep(move: Callable[[float], object], focus: Callable[[], Focus | None], positions: Iterable[float],
          show: Callable[[Point], None] | None = None) -> Sweep:
    """Moves the focus to each position in turn (`move` may drive a focuser, or the
    simulator's defocus), measures with `focus` (e.g. ``lambda: of_frame(camera.capture(2))``)
    and fits the V to the positions where enough stars were measured."""
    points = []
    for position in positions:
        move(position)
        figures = focus()
        point = Point(float(position), None if figures is None else figures.hfr,
                      None if figures is None else figures.fwhm, 0 if figures is None else figures.stars)
        points.append(point)
        if show is not None:
            show(point)
    measured = [q for q in points if q.hfr is not None]
    return Sweep(points, fit_v([q.position for q in measured], [q.hfr for q in measured if q.hfr is not None]))
