"""What a camera really does at each gain, measured from its own frames.

The camera looks at an even, steady light (a flat panel, a white T-shirt over the
telescope at dusk). The analysis first checks the light in a few seconds: that there is
some, that it does not flicker (frame means that change by more than shot noise allows)
and that it is even across the region measured. Then, per gain, in RAW16 at bin 1 in a
region at the centre of the sensor (512 x 512 where the sensor is larger):

- e-/ADU by photon transfer: pairs of flats at rising exposure; the variance of each
  pair's difference (halved) against its mean, less the bias, is a line of slope
  1 / (e-/ADU) until the pixels fill;
- full well: the level where the flats stop rising with exposure (the pixel's well or
  the ADC's top, whichever comes first), less the bias, in electrons;
- read noise: from the difference of a pair of bias frames (the shortest exposure, dark);
- dynamic range: log2 of the full well over the read noise, in stops;
- offset: the lowest offset that holds the bias five read-noise sigmas clear of zero,
  from bias frames at two offsets.

Dark current (e-/s per pixel, hot pixels left out) comes from the difference of two darks
of different exposure over the whole sensor, at the sensor's temperature and, on a cooled
camera, at the set points asked for. Colour sensors are measured per Bayer site.

ADU here are the units of the RAW16 data word (what FITS files of the camera hold): the
sensor's bits sit at the top of the word, so one step of a 14-bit sensor's ADC is 4 ADU.
Unity gain, one electron per step of the sensor's own ADC, is given in those steps.

The results and the report written of them are in `sensor_report`.

Flats come first; bias and darks follow, after `cover` is told to have the camera
covered when it has no shutter. Progress goes to `progress`; nothing here prints.
"""
from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ..camera.camera import Camera
from ..camera.frames import Frame
from .sensor_report import (REPORT_FILES, Analysis, DarkCurrent, GainResult, LightError, PtcPoint, SiteResult, Step,
                            check_report, default_gains, write_report)

__all__ = ["Analysis", "GainResult", "SiteResult", "PtcPoint", "DarkCurrent", "Step", "LightError", "analyze",
           "default_gains", "check_report", "write_report", "REGION", "REPORT_FILES"]

REGION: Final = 512              # side of the centre region the flats and bias frames use
_NSIGMA_OFFSET: Final = 5.0      # the bias is held this many read-noise sigmas above zero
_FIT_TOP: Final = 0.7            # photon-transfer points up to this fraction of full well are fitted
_FRACTIONS: Final = (0.02, 0.05, 0.1, 0.2, 0.3, 0.45, 0.6, 0.75, 0.9, 1.0, 1.1)
_FLICKER_FRAMES: Final = 6
_FLICKER_LIMIT: Final = 0.005    # frame-to-frame level changes beyond shot noise, relative
_UNEVEN_LIMIT: Final = 0.10      # change of the level across the region, relative
_SLOWEST_FILL: Final = 30.0      # seconds to fill the pixels at the lowest gain, at most
_DARK_SHORT: Final = 1.0         # seconds
_CLIP_FRACTION: Final = 1e-4     # pixels at zero or at the top that mark a frame as clipped

Array = npt.NDArray[np.floating[Any]]


# --- statistics -------------------------------------------------------------------

def _clipped(d: Array) -> Array:
    """The values within 6 sigma (from the median absolute deviation) of the median:
    hot pixels out, Gaussian noise kept."""
    flat = d.ravel()
    med = float(np.median(flat))
    spread = 1.4826 * float(np.median(np.abs(flat - med)))
    if spread <= 0.0:
        spread = float(flat.std())
    if spread <= 0.0:
        return flat
    kept: Array = flat[np.abs(flat - med) <= 6.0 * spread]
    return kept


def _pair_variance(a: Array, b: Array) -> float:
    """Half the variance of the difference: one frame's temporal noise, fixed pattern gone."""
    return float(_clipped(a - b).var()) / 2.0


def _saturated(x: Array) -> bool:
    """Most pixels at one highest value: the pixels are full (well or ADC)."""
    return float(np.count_nonzero(x >= x.max())) > 0.5 * x.size


def _clip_fraction(x: Array, top: float) -> float:
    return float(np.count_nonzero((x <= 0.0) | (x >= top))) / x.size


@dataclass(frozen=True)
class _Site:
    name: str
    position: str
    dy: int
    dx: int


def _sites(sensor_pattern: str | None, frame_pattern: str | None) -> list[_Site]:
    """The Bayer sites of frames whose top-left 2x2 block is `frame_pattern`, named from
    the sensor's pattern: R, Gr (green on the red rows), Gb, B; one site for a mono sensor."""
    if sensor_pattern is None or frame_pattern is None:
        return [_Site("all", "every pixel", 0, 0)]

    def names(pattern: str) -> list[str]:
        red_row = 0 if "R" in pattern[0:2] else 1
        out = []
        for i, c in enumerate(pattern):
            out.append(c if c != "G" else ("Gr" if i // 2 == red_row else "Gb"))
        return out

    rows, cols = ("even", "odd"), ("even", "odd")
    sensor = names(sensor_pattern)
    frame = names(frame_pattern)
    out = []
    for i, name in enumerate(frame):
        j = sensor.index(name)
        out.append(_Site(name, f"{rows[j // 2]} rows, {cols[j % 2]} columns of the sensor", i // 2, i % 2))
    return sorted(out, key=lambda s: "R Gr Gb B".split().index(s.name))


def _site(x: Array, s: _Site, colour: bool) -> Array:
    return x[s.dy::2, s.dx::2] if colour else x


# --- the analysis -----------------------------------------------------------------

class _Run:
    def __init__(self, cam: Camera, progress: Callable[[Step], object] | None, total: int) -> None:
        self.cam = cam
        self.progress = progress
        self.done = 0
        self.total = total
        self.min_exposure = float(cam.controls["exposure"].min)
        self.max_exposure = float(cam.controls["exposure"].max)

    def say(self, text: str) -> None:
        if self.progress is not None:
            self.progress(Step(text, self.done, self.total))

    def step(self, text: str) -> None:
        self.done += 1
        self.say(text)

    def frame(self, exposure: float, dark: bool = False) -> Array:
        f: Frame = self.cam.capture(max(self.min_exposure, exposure), dark=dark)
        return np.asarray(f.data, dtype=np.float64)

    def exposure_ok(self, seconds: float) -> bool:
        return self.min_exposure <= seconds <= self.max_exposure


@dataclass
class _Flats:
    """What the flats of one gain gave, before the bias frames."""

    gain: int
    offset: int
    top: Array                  # per site: the level where the flats stop rising (ADU, bias included)
    pairs: list[tuple[float, list[float], list[float], list[bool]]]   # exposure, mean, variance, clipped per site
    rate: float                 # ADU per second (first site), for the light-leak check


def _check_light(run: _Run, gain: int, highest_gain: int, sites: list[_Site], colour: bool) -> tuple[float, float]:
    """Light present, steady and even at `gain`; returns (bias estimate, ADU/s)."""
    cam = run.cam
    cam.gain = gain
    t = 1e-3
    limit = 2.0
    while True:
        a = run.frame(t)
        b = run.frame(2 * t)
        step = float(b.mean() - a.mean())
        noise = math.sqrt(max(_pair_variance(b, run.frame(2 * t)), 1.0))
        if _saturated(a) or _saturated(b):
            if t / 10 < run.min_exposure:
                raise LightError(f"the light is too bright: even the shortest exposure "
                                 f"({run.min_exposure * 1e6:.0f} us) at gain {gain} fills the pixels; dim it or "
                                 "cover the panel with paper")
            t /= 10
            continue
        if step > 3.0 * noise or 2 * t >= limit:
            break
        t = min(t * 10, limit / 2)
    if not step > 3.0 * noise:
        raise LightError(f"no light: frames of {2 * t:g} s at gain {gain} are no brighter than frames of {t:g} s "
                         f"(by {step:.1f} ADU); switch the flat panel on, or point the camera at an even light "
                         "(a flat panel, a white T-shirt over the telescope at dusk)")
    rate = step / t
    bias = float(a.mean()) - rate * t
    fill = (65535.0 - bias) / rate
    if fill > _SLOWEST_FILL:
        raise LightError(f"the light is too dim: filling the pixels at gain {gain} would take {fill:.0f} s "
                         f"(at most {_SLOWEST_FILL:g} s); brighten the panel or use a brighter sky")
    # The highest gain multiplies the signal by 10^(dgain/200): the shortest exposure must
    # leave room for the lowest points of the photon-transfer curve.
    highest_fill = run.min_exposure * rate * 10 ** ((highest_gain - gain) / 200) / (65535.0 - bias)
    if highest_fill > 0.3:
        raise LightError(f"the light is too bright for gain {highest_gain}: the shortest exposure "
                         f"({run.min_exposure * 1e6:.0f} us) would fill {100 * highest_fill:.0f}% of the range; "
                         "dim the light or leave out the highest gains")
    run.say("checking that the light is steady and even")
    # Flicker: the frames' means against the shot noise of a mean.
    level = 0.3 * fill
    frames = [run.frame(level) for _ in range(_FLICKER_FRAMES)]
    means = np.array([f.mean() for f in frames])
    pixel_var = np.mean([_pair_variance(frames[i], frames[i + 1]) for i in range(0, len(frames) - 1, 2)])
    expected = math.sqrt(pixel_var / frames[0].size)
    scatter = float(means.std(ddof=1))
    excess = math.sqrt(max(0.0, scatter ** 2 - (3 * expected) ** 2))
    signal = float(means.mean()) - bias
    if excess > _FLICKER_LIMIT * signal:
        raise LightError(f"the light flickers: the level changes by {100 * scatter / signal:.1f}% rms from frame to "
                         f"frame, where shot noise allows {100 * expected / signal:.3f}%; use a steady light (a panel "
                         "on DC power, not dimmed by pulses; no fluorescent tube) and keep clouds out of a sky flat")
    # Evenness: a plane through 8 x 8 block means of the mean frame, per site.
    mean_frame = np.mean(frames, axis=0)
    for s in sites:
        x = _site(mean_frame, s, colour) - bias
        h, w = x.shape
        bh, bw = h // 8, w // 8
        blocks = x[:bh * 8, :bw * 8].reshape(8, bh, 8, bw).mean(axis=(1, 3))
        yy, xx = np.mgrid[0:8, 0:8]
        design = np.column_stack([np.ones(64), xx.ravel() / 7.0, yy.ravel() / 7.0])
        (c0, cx, cy), *_ = np.linalg.lstsq(design, blocks.ravel(), rcond=None)
        change = (abs(cx) + abs(cy)) / c0 if c0 > 0 else math.inf
        if change > _UNEVEN_LIMIT:
            side = ("right" if cx > 0 else "left") if abs(cx) >= abs(cy) else ("bottom" if cy > 0 else "top")
            raise LightError(f"the light is uneven: its level changes by {100 * change:.0f}% across the "
                             f"{w * (2 if colour else 1)}x{h * (2 if colour else 1)} pixels measured (brighter "
                             f"toward the {side}); diffuse it (another layer of cloth or paper) or face it squarely")
    return bias, rate


def _flats(run: _Run, gain: int, offset: int, bias: float, rate: float, sites: list[_Site],
           colour: bool) -> _Flats:
    cam = run.cam
    cam.gain = gain
    run.say(f"gain {gain}: finding the full well")
    # The level where longer exposures stop adding: twice the time to reach the ADC's top,
    # then longer until the level holds.
    t = 2 * (65535.0 - bias) / rate
    previous: list[float] | None = None
    while True:
        if t > min(run.max_exposure, 4 * _SLOWEST_FILL):
            raise LightError(f"gain {gain}: the pixels do not fill within the longest exposure; brighten the light")
        a = run.frame(t)
        level = [float(np.median(_site(a, s, colour))) for s in sites]
        if previous is not None and all(abs(x - p) <= 0.002 * max(p - bias, 1.0) for x, p in zip(level, previous)):
            break
        previous = level
        t *= 1.5
    top = np.array(level)
    # Each site's rate at this gain, from a frame at about a third of the range.
    probe_t = max(run.min_exposure, float(top.min() - bias) / 3 / rate)
    probe = run.frame(probe_t)
    rates = np.array([max((float(_site(probe, s, colour).mean()) - bias) / probe_t, 1e-9) for s in sites])
    rate = float(probe.mean() - bias) / probe_t
    fills = (top - bias) / rates
    fill, fill_fast = float(fills.max()), float(fills.min())   # seconds to fill the slowest site, the fastest
    pairs: list[tuple[float, list[float], list[float], list[bool]]] = []
    exposures = sorted({round(f * fill_fast, 9) for f in _FRACTIONS} | {round(f * fill, 9) for f in _FRACTIONS[-4:]})
    for n, t in enumerate(exposures):
        if not run.exposure_ok(t):
            continue
        run.say(f"gain {gain}: flats {n + 1} of {len(exposures)} ({t * 1e3:.3g} ms)")
        a, b = run.frame(t), run.frame(t)
        means, variances, clipped = [], [], []
        for s, lvl in zip(sites, top):
            xa, xb = _site(a, s, colour), _site(b, s, colour)
            means.append(float(xa.mean() + xb.mean()) / 2)
            variances.append(_pair_variance(xa, xb))
            clipped.append(max(_clip_fraction(xa, lvl - 0.5), _clip_fraction(xb, lvl - 0.5)) > _CLIP_FRACTION)
        pairs.append((t, means, variances, clipped))
    return _Flats(gain, offset, top, pairs, rate)


@dataclass
class _Bias:
    level: float        # at the flats' offset (from the line through the two offsets when that one clips)
    noise: list[float]  # per site, ADU
    step: float         # ADU per offset step
    recommended: int
    clipped: bool


def _bias(run: _Run, gain: int, offset: int, sites: list[_Site], colour: bool) -> _Bias:
    cam = run.cam
    cam.gain = gain
    ctl = cam.controls["offset"]
    low, high = int(ctl.min), int(ctl.max)
    delta = max(1, (high - low) // 8)
    other = offset + delta if offset + delta <= high else offset - delta

    def pair(at: int) -> tuple[Array, Array]:
        cam.offset = at
        return run.frame(0.0, dark=True), run.frame(0.0, dark=True)

    a, b = pair(offset)
    c, d = pair(other)
    cam.offset = offset
    clip_a = max(_clip_fraction(a, 65535.0), _clip_fraction(b, 65535.0)) > _CLIP_FRACTION
    clip_c = max(_clip_fraction(c, 65535.0), _clip_fraction(d, 65535.0)) > _CLIP_FRACTION
    level_a = float(a.mean() + b.mean()) / 2
    level_c = float(c.mean() + d.mean()) / 2
    step = (level_c - level_a) / (other - offset)
    # Noise from the pair that does not touch zero (the higher offset when both do).
    use_a = not clip_a or (clip_c and offset > other)
    x, y = (a, b) if use_a else (c, d)
    noise = [math.sqrt(_pair_variance(_site(x, s, colour), _site(y, s, colour))) for s in sites]
    whole = math.sqrt(_pair_variance(x, y))
    ref_offset, ref_level = (offset, level_a) if use_a else (other, level_c)
    level = level_a if not clip_a else ref_level + step * (offset - ref_offset)
    if step > 0:
        need = ref_offset + (_NSIGMA_OFFSET * whole - ref_level) / step
        recommended = min(high, max(low, math.ceil(need - 1e-9)))
        clipped = need > high
    else:
        recommended, clipped = offset, clip_a
    return _Bias(level, noise, step, recommended, clipped)


def _result(flats: _Flats, bias: _Bias, sites: list[_Site], colour: bool) -> GainResult:
    per_site: list[SiteResult] = []
    for i, s in enumerate(sites):
        pts = [(t, m[i] - bias.level, v[i]) for t, m, v, c in flats.pairs if not c[i]]
        full = float(flats.top[i]) - bias.level
        fit = [(sig, var) for _, sig, var in pts if 0 < sig <= _FIT_TOP * full]
        if len(fit) < 3:
            raise LightError(f"gain {flats.gain}: only {len(fit)} flats below {100 * _FIT_TOP:.0f}% of full well; "
                             "the light is too bright for this gain: dim it")
        sig = np.array([p[0] for p in fit])
        var = np.array([p[1] for p in fit])
        # Weighted for the variance's own scatter, which grows with it.
        slope, intercept = np.polyfit(sig, var, 1, w=1.0 / var)
        k = 1.0 / float(slope)
        rn = bias.noise[i] * k
        fw = full * k
        per_site.append(SiteResult(s.name, s.position, k, rn, fw, math.log2(fw / rn)))
    k = float(np.mean([p.electrons_per_adu for p in per_site]))
    rn = float(np.mean([p.read_noise_e for p in per_site]))
    fw = float(np.mean([p.full_well_e for p in per_site]))
    # The curve shown: the mean over the sites (variance is linear in signal, so the mean
    # of the sites' curves is a photon-transfer curve too).
    ptc = tuple(PtcPoint(t, float(np.mean(m)) - bias.level, float(np.mean(v)), any(c)) for t, m, v, c in flats.pairs)
    return GainResult(flats.gain, k, rn, fw, math.log2(fw / rn), bias.recommended, flats.offset, bias.level,
                      bias.step, bias.clipped, tuple(per_site) if colour else (), ptc)


def _dark_current(run: _Run, gain: int, k: float, exposure: float, flat_rate_e: float) -> tuple[float, float]:
    """(temperature, e-/s per pixel) from darks of two exposures over the whole sensor."""
    cam = run.cam
    cam.gain = gain
    short = run.frame(_DARK_SHORT, dark=True)
    f: Frame = cam.capture(_DARK_SHORT + exposure, dark=True)
    long = np.asarray(f.data, dtype=np.float64)
    rate = float(_clipped(long - short).mean()) / exposure * k
    if rate > max(100.0, 0.01 * flat_rate_e):
        raise LightError(f"light reaches the sensor in the dark frames ({rate:.0f} e-/s per pixel): cover the "
                         "telescope (or cap the camera) when asked; this camera has no shutter")
    temperature = f.meta.temperature if f.meta.temperature is not None else float("nan")
    return temperature, rate


def analyze(cam: Camera, gains: Sequence[int] | None = None, offset: int | None = None,
            temperatures: Sequence[float] = (), progress: Callable[[Step], object] | None = None,
            cover: Callable[[str], object] | None = None, dark_exposure: float = 10.0,
            cooling_timeout: float = 1800.0, measured: Callable[[Analysis], object] | None = None) -> Analysis:
    """Measures e-/ADU, read noise, full well, dynamic range and the offset at each gain
    (default: every 100 of the gain range) and the dark current, on the open camera `cam`
    looking at an even light. `offset` is the one the flats are taken at (default: the
    camera's). `temperatures` are cooler set points to measure the dark current at too.
    `cover(text)` is called before the bias and dark frames on a camera without a shutter.
    Every argument is checked against the camera before the first frame. LightError,
    before any long work, when the light will not do. `measured(analysis)` hears of the
    figures so far each time some are added (the dark current not measured yet is NaN),
    so that a caller keeps them when a later step fails. The camera's gain, offset,
    exposure, region and cooler are put back afterwards."""
    began = time.monotonic()
    d = cam.description
    ctl = cam.controls
    g_low, g_high = int(ctl["gain"].min), int(ctl["gain"].max)
    chosen = sorted(set(int(g) for g in (default_gains(g_low, g_high) if gains is None else gains)))
    if not chosen:
        raise ValueError("no gains to measure")
    for g in chosen:
        if not g_low <= g <= g_high:
            raise ValueError(f"gain {g} is outside {cam.name}'s range {g_low} to {g_high}")
    o_low, o_high = int(ctl["offset"].min), int(ctl["offset"].max)
    if offset is not None and not o_low <= offset <= o_high:
        raise ValueError(f"offset {offset} is outside {cam.name}'s range {o_low} to {o_high}")
    if temperatures and not d.cooled:
        raise ValueError(f"{cam.name} has no cooler: dark current at set temperatures needs a cooled camera")
    if not dark_exposure > 0:
        raise ValueError("the dark exposure is positive")
    longest = _DARK_SHORT + dark_exposure
    if longest > float(ctl["exposure"].max):
        raise ValueError(f"the dark exposure of {dark_exposure:g} s is too long: the long dark ({_DARK_SHORT:g} s "
                         f"more) would pass {cam.name}'s longest exposure, {float(ctl['exposure'].max):g} s")
    if temperatures:
        t_low, t_high = float(ctl["target_temperature"].min), float(ctl["target_temperature"].max)
        for target in temperatures:
            if not t_low <= target <= t_high:
                raise ValueError(f"set point {target:g} °C is outside {cam.name}'s range {t_low:g} to {t_high:g} °C")
    if "RAW16" not in d.formats:
        raise ValueError(f"{cam.name} gives no RAW16 frames; the analysis needs the sensor's every bit")

    saved_roi = cam.roi
    saved = {name: cam.get_control(name) for name in ("gain", "offset", "exposure")}
    saved_cooler = ({name: cam.get_control(name) for name in ("cooler_on", "target_temperature")}
                    if d.cooled and temperatures else {})
    run = _Run(cam, progress, 1 + 2 * len(chosen) + 1 + len(temperatures))
    results: list[GainResult] = []
    temperature, dark = math.nan, math.nan
    at_set_points: list[DarkCurrent] = []
    region = (0, 0)

    def so_far() -> Analysis:
        return Analysis(cam.name, temperature, d.bit_depth, d.bayer_pattern, region, tuple(results), dark,
                        tuple(at_set_points), time.monotonic() - began)

    def tell() -> None:
        if measured is not None:
            measured(so_far())

    try:
        measured_offset = int(saved["offset"]) if offset is None else offset
        cam.offset = measured_offset
        w = min(REGION, d.max_width - d.max_width % 8)
        h = min(REGION, d.max_height - d.max_height % 2)
        roi = cam.set_roi(w, h, bin=1, image_format="RAW16")
        region = (roi.width, roi.height)
        run.say(f"checking the light at gain {chosen[0]}")
        first = cam.capture(run.min_exposure)
        colour = d.bayer_pattern is not None
        sites = _sites(d.bayer_pattern, first.meta.bayer_pattern)
        bias, rate = _check_light(run, chosen[0], chosen[-1], sites, colour)
        run.step("the light is steady and even")
        all_flats = []
        for g in chosen:
            gain_rate = rate * 10 ** ((g - chosen[0]) / 200)
            all_flats.append(_flats(run, g, measured_offset, bias, gain_rate, sites, colour))
            run.step(f"gain {g}: flats done")
        if cover is not None and not d.mechanical_shutter:
            cover("Cover the telescope (or cap the camera) for the bias and dark frames.")
        for flats in all_flats:
            run.say(f"gain {flats.gain}: bias frames")
            b = _bias(run, flats.gain, measured_offset, sites, colour)
            results.append(_result(flats, b, sites, colour))
            tell()
            run.step(f"gain {flats.gain}: e-/ADU {results[-1].electrons_per_adu:.4g}, read noise "
                     f"{results[-1].read_noise_e:.3g} e-")
        # Darks at the highest gain: the finest steps in electrons and the least read noise.
        top = results[-1]
        flat_rate_e = all_flats[-1].rate * top.electrons_per_adu
        cam.set_roi(bin=1, image_format="RAW16")
        cam.offset = top.offset
        run.say(f"dark current: darks of {_DARK_SHORT:g} s and {_DARK_SHORT + dark_exposure:g} s")
        temperature, dark = _dark_current(run, top.gain, top.electrons_per_adu, dark_exposure, flat_rate_e)
        tell()
        run.step(f"dark current {dark:.3g} e-/s at {temperature:.1f} °C")
        for target in temperatures:
            run.say(f"cooling to {target:g} °C")
            cam.cool_to(target, cooling_timeout, progress=lambda c: run.say(
                f"cooling to {c.target:g} °C: {c.temperature:.1f} °C, power {c.cooler_power}%"))
            t_c, rate_c = _dark_current(run, top.gain, top.electrons_per_adu, dark_exposure, flat_rate_e)
            at_set_points.append(DarkCurrent(t_c, float(target), rate_c))
            tell()
            run.step(f"dark current {rate_c:.3g} e-/s at {t_c:.1f} °C")
        return so_far()
    finally:
        for name, value in saved_cooler.items():
            cam.set_control(name, value)
        cam.roi = saved_roi
        for name, value in saved.items():
            cam.set_control(name, value)
