"""Live stacking: each new frame aligned on the stars of the first, resampled onto its
grid and added to a running mean that rejects outliers.

Registration matches stars, not pixels: the brightest stars of a frame and of the
reference form triangles whose side lengths do not change under a shift or a rotation
(an alt-az mount's field turns), matched triangles vote for star pairs, and the pairs
give the rigid transform by least squares (sub-pixel: every matched star takes part).
Hot pixels are left out of the star lists: they stay put while the field moves and
would pull the fit towards no motion. A frame whose stars do not match (clouds, a bump:
too few pairs, or a residual over a pixel) is rejected and counted, never smeared in.

Frames are resampled by Lanczos-4, clamped from below to the four nearest samples so
that hot pixels and bright stars do not ring into dark halos. Each pixel keeps a running mean and variance: the
first START_FRAMES frames begin it from their median, and from then on a value more than
KAPPA standard deviations from the mean (a hot pixel passing by, a satellite, a plane)
is left out. Memory is that state, the first frames and the reference stars, whatever
the number of frames.

Colour raw frames are made RGB by superpixel (each 2x2 Bayer cell one pixel) before they
are registered on their luminance and added channel by channel.
"""
from __future__ import annotations

import io
import math
import os
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from itertools import combinations
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt
import sep

from .._frames import lanczos_warp, robust_start, running_update
from ..files.fits import _astropy_fits, header_cards
from ..files.outputs import write_new
from ..files.preview import stretch, superpixel
from .calibration import TEMPERATURE_TOLERANCE

if TYPE_CHECKING:
    from ..camera import Camera, FrameMeta

__all__ = ["Stacker", "Outcome", "Transform", "Master", "Shot", "find_stars", "match", "warp", "read_master",
           "master_mismatch", "stack_camera", "write_stack", "write_stack_png"]

MIN_STARS: Final = 6          # matched pairs a frame needs to be trusted
MAX_RESIDUAL_PX: Final = 1.0  # RMS distance of matched stars after the transform
MATCH_STARS: Final = 18       # brightest stars that form triangles
DETECT_PIXELS: Final = 4_000_000  # larger frames are searched for stars binned 2x2
SIDE_TOLERANCE_PX: Final = 1.5
PAIR_RADIUS_PX: Final = 2.0   # a transformed star this close to a reference star is its pair
DETECT_SIGMA: Final = 5.0
HOT_NEIGHBOURS: Final = 0.15  # a detection whose four neighbours average under this share of
                              # its peak is one pixel wide: a hot pixel, not a star
KAPPA: Final = 3.0            # a value this many standard deviations from its pixel's mean is an outlier
START_FRAMES: Final = 5       # frames whose median begins the running mean
MAX_TURN: Final = math.radians(60)   # the resampling's two passes hold up to this rotation

Floats = npt.NDArray[np.float64]


@dataclass(frozen=True, slots=True)
class Transform:
    """Frame coordinates to reference coordinates: rotate by `angle` (radians,
    counter-clockwise in x right, y down) about the origin, then shift by (dx, dy)."""

    angle: float = 0.0
    dx: float = 0.0
    dy: float = 0.0

    def apply(self, xy: Floats) -> Floats:
        c, s = math.cos(self.angle), math.sin(self.angle)
        return np.column_stack((c * xy[:, 0] - s * xy[:, 1] + self.dx, s * xy[:, 0] + c * xy[:, 1] + self.dy))


@dataclass(frozen=True, slots=True)
class Outcome:
    """What became of one frame."""

    accepted: bool
    reason: str               # "reference", "stacked" or why it was rejected
    stars: int                # detected in the frame
    matched: int = 0
    residual_px: float = 0.0  # RMS of the matched stars after the transform
    transform: Transform = Transform()
    outliers: int = 0         # pixel values of the frame left out of the mean


def find_stars(image: npt.NDArray[Any], limit: int = 200) -> Floats:
    """(x, y, flux) of the stars in `image`, brightest first: sep's extraction on the
    background-subtracted image, hot pixels left out, positions refined by windowed
    centroids. A large frame is searched binned 2x2, four times quicker, its stars still
    placed to a fraction of a pixel."""
    image = np.asarray(image, np.float32)   # integer frames would overflow in the binned sums
    if image.shape[0] * image.shape[1] > DETECT_PIXELS:
        h, w = image.shape[0] // 2 * 2, image.shape[1] // 2 * 2
        quarter = image[0:h:2, 0:w:2] + image[1:h:2, 0:w:2]
        quarter += image[0:h:2, 1:w:2]
        quarter += image[1:h:2, 1:w:2]
        stars = find_stars(quarter, limit)
        stars[:, :2] = stars[:, :2] * 2 + 0.5   # a binned pixel's centre is between four
        return stars
    data = np.ascontiguousarray(image, dtype=np.float32)
    background = sep.Background(data)
    signal = data - background.back()
    rms = float(background.globalrms)
    if not rms > 0:
        return np.zeros((0, 3))
    try:
        found = sep.extract(signal, DETECT_SIGMA, err=rms, minarea=5)
    except Exception:   # sep refuses pathological frames (everything above the threshold)
        return np.zeros((0, 3))
    found = found[(found["flag"] & sep.OBJ_TRUNC) == 0] if len(found) else found
    if len(found):
        found = found[~_hot(signal, found)]
    if len(found) == 0:
        return np.zeros((0, 3))
    found = found[np.argsort(found["flux"])[::-1][:limit]]
    sigma = np.clip(2.0 / 2.355 * np.sqrt(found["npix"] / np.pi), 0.5, 10.0)
    x, y, flags = sep.winpos(signal, found["x"], found["y"], sigma)
    good = (flags == 0) & np.isfinite(x) & np.isfinite(y)
    x, y = np.where(good, x, found["x"]), np.where(good, y, found["y"])
    return np.column_stack((x, y, found["flux"])).astype(np.float64)


def _hot(signal: npt.NDArray[np.float32], found: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """Which detections are one pixel wide. The sharpest star, centred on a pixel, still
    puts about 40% of its peak into each of the four neighbours; a hot pixel none."""
    h, w = signal.shape
    x, y = found["xpeak"].astype(np.intp), found["ypeak"].astype(np.intp)
    peak = signal[y, x]
    around = (signal[y, np.maximum(x - 1, 0)] + signal[y, np.minimum(x + 1, w - 1)]
              + signal[np.maximum(y - 1, 0), x] + signal[np.minimum(y + 1, h - 1), x]) / 4
    hot: npt.NDArray[np.bool_] = around < HOT_NEIGHBOURS * peak
    return hot


def _triangles(xy: Floats) -> tuple[Floats, npt.NDArray[np.intp]]:
    """Side lengths (shortest first) and vertices of every triangle of the points; each
    triangle's vertices are listed opposite its shortest, middle and longest side."""
    index = np.array(list(combinations(range(len(xy)), 3)), dtype=np.intp).reshape(-1, 3)
    p = xy[index]                                                   # (n, 3, 2)
    opposite = np.stack([np.hypot(*(p[:, (k + 1) % 3] - p[:, (k + 2) % 3]).T) for k in range(3)], axis=1)
    order = np.argsort(opposite, axis=1)
    return np.take_along_axis(opposite, order, axis=1), np.take_along_axis(index, order, axis=1)


def _rigid(src: Floats, dst: Floats) -> Transform:
    """The rotation and shift that best take `src` onto `dst` (least squares)."""
    cs, cd = src.mean(axis=0), dst.mean(axis=0)
    a, b = src - cs, dst - cd
    angle = math.atan2(float(np.sum(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])), float(np.sum(a * b)))
    c, s = math.cos(angle), math.sin(angle)
    return Transform(angle, float(cd[0] - (c * cs[0] - s * cs[1])), float(cd[1] - (s * cs[0] + c * cs[1])))


def _pairs(transform: Transform, stars: Floats, reference: Floats) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """Each transformed star's nearest reference star within PAIR_RADIUS_PX, one to one."""
    moved = transform.apply(stars[:, :2])
    distance = np.hypot(moved[:, None, 0] - reference[None, :, 0], moved[:, None, 1] - reference[None, :, 1])
    nearest = np.argmin(distance, axis=1)
    close = distance[np.arange(len(moved)), nearest] < PAIR_RADIUS_PX
    # one to one: a reference star claimed twice keeps the closer claim
    back = np.argmin(distance, axis=0)
    mutual = back[nearest] == np.arange(len(moved))
    chosen = np.flatnonzero(close & mutual)
    return chosen, nearest[chosen]


def match(stars: Floats, reference: Floats) -> tuple[Transform, int, float] | None:
    """The transform taking `stars` onto `reference`, the number of matched stars and
    their RMS residual; None when the triangles agree on too few stars."""
    if len(stars) < 3 or len(reference) < 3:
        return None
    own, ref = stars[:MATCH_STARS, :2], reference[:MATCH_STARS, :2]
    own_sides, own_vertices = _triangles(own)
    ref_sides, ref_vertices = _triangles(ref)
    votes = np.zeros((len(own), len(ref)), np.int32)
    # Triangles whose three sides agree, in blocks to bound the memory of the comparison.
    for start in range(0, len(own_sides), 512):
        block = own_sides[start:start + 512]
        close = np.all(np.abs(block[:, None, :] - ref_sides[None, :, :]) < SIDE_TOLERANCE_PX, axis=2)
        # Tiny triangles fit anything: only those with a real size vote.
        close &= (block[:, 2] > 10 * SIDE_TOLERANCE_PX)[:, None]
        i, j = np.nonzero(close)
        for k in range(3):
            np.add.at(votes, (own_vertices[start + i, k], ref_vertices[j, k]), 1)
    if not votes.any():
        return None
    best = np.argmax(votes, axis=1)
    strong = votes[np.arange(len(own)), best]
    keep = np.flatnonzero(strong >= max(2, 0.3 * strong.max()))
    if len(keep) < 3:
        return None
    src, dst = own[keep], ref[best[keep]]
    transform = _rigid(src, dst)
    for _ in range(3):   # drop the pairs the transform disowns, fit again
        residual = np.hypot(*(transform.apply(src) - dst).T)
        inliers = residual < 3.0
        if inliers.sum() < 3:
            return None
        src, dst = src[inliers], dst[inliers]
        transform = _rigid(src, dst)
    # Every detected star now takes part, for a sub-pixel fit.
    for _ in range(2):
        i, j = _pairs(transform, stars, reference)
        if len(i) < 3:
            return None
        transform = _rigid(stars[i, :2], reference[j, :2])
    i, j = _pairs(transform, stars, reference)
    if len(i) < 3:
        return None
    residual = np.hypot(*(transform.apply(stars[i, :2]) - reference[j, :2]).T)
    return transform, len(i), float(np.sqrt(np.mean(residual ** 2)))


def warp(image: npt.NDArray[Any], transform: Transform, shape: tuple[int, int]) -> npt.NDArray[np.float32]:
    """The 2-D `image` resampled onto the reference grid of `shape` by Lanczos-4, NaN
    where the frame does not reach.

    Lanczos-4 rather than the nearest pixel, which misplaces each frame by up to half a
    pixel and so blurs the stack (10% on 1.55 px stars), or bilinear, which blurs every
    frame by its sub-pixel shift; Lanczos-3 still widened such stars by 6%, Lanczos-4 by
    4%. The value is clamped from below to the four nearest samples, so that a hot pixel
    or a bright star does not ring into a dark halo; a star's peak between samples may
    still rise above them."""
    out = np.empty(shape, np.float32)
    lanczos_warp(np.ascontiguousarray(image, np.float32), math.cos(transform.angle), math.sin(transform.angle),
                 transform.dx, transform.dy, out)
    return out


class Stacker:
    """A running, registered mean of frames that leaves outliers out.

    `dark` is subtracted and `flat` divided (normalised to its median; pixels that are not
    finite and positive are left undivided) before registration; `bayer` names the
    mosaic of colour raw frames, which are stacked as RGB. `kappa` (None: no rejection)
    is how many standard deviations from its pixel's mean a value may lie."""

    def __init__(self, dark: npt.NDArray[Any] | None = None, flat: npt.NDArray[Any] | None = None,
                 bayer: str | None = None, min_stars: int = MIN_STARS, max_residual: float = MAX_RESIDUAL_PX,
                 kappa: float | None = KAPPA) -> None:
        self.dark = None if dark is None else np.asarray(dark, np.float32)
        self.flat = None if flat is None else _normalised(np.asarray(flat, np.float32))
        self.bayer = bayer
        self.min_stars = min_stars
        self.max_residual = max_residual
        self.kappa = kappa
        self.reset()

    def reset(self) -> None:
        # Per plane (one, or three for colour), row by row: mean, summed squared deviations, values.
        self._mean: npt.NDArray[np.float32] | None = None
        self._m2: npt.NDArray[np.float32] | None = None
        self._count: npt.NDArray[np.uint32] | None = None
        self._first: npt.NDArray[np.float32] | None = None   # the first frames, resampled
        self._floor: npt.NDArray[np.float32] = np.zeros(0, np.float32)   # per plane: the least variance judged by
        self._reference: Floats | None = None
        self.frames = 0
        self.rejected = 0
        self.outliers = 0   # pixel values left out of the mean
        self.glitched = 0   # of the rejected: frames that came through the USB damaged
        self.exposure = 0.0
        self.last: Outcome | None = None
        self.meta: FrameMeta | None = None   # the reference frame's, for the file's header

    def prepare(self, data: npt.NDArray[Any], bayer: str | None = None) -> npt.NDArray[np.float32]:
        """The frame calibrated, and RGB for a colour mosaic (`bayer`, else the stacker's)."""
        image = np.asarray(data, np.float32)
        if self.dark is not None:
            _check_shape("dark", self.dark, image)
            image = image - self.dark
        if self.flat is not None:
            _check_shape("flat", self.flat, image)
            image = image / self.flat
        bayer = bayer or self.bayer
        if bayer is not None and image.ndim == 2:
            image = superpixel(image, bayer)
        return image

    def add(self, data: npt.NDArray[Any], exposure: float = 0.0, meta: FrameMeta | None = None) -> Outcome:
        """Registers the frame on the reference (the first frame with enough stars) and adds
        it; `meta` (the frame's) names its Bayer pattern when it is a colour raw frame."""
        raw_colour = meta is not None and meta.bayer_pattern is not None and meta.roi.image_format in ("RAW8", "RAW16")
        image = self.prepare(data, meta.bayer_pattern if raw_colour and meta is not None else None)
        luminance = image.sum(axis=2) if image.ndim == 3 else image
        stars = find_stars(luminance)
        if self._reference is None:
            if len(stars) < self.min_stars:
                return self._reject(f"too few stars for a reference ({len(stars)})", len(stars))
            self._begin(image, stars, meta)
            return self._added(image, Transform(), Outcome(True, "reference", len(stars), len(stars)), exposure)
        if len(stars) < self.min_stars:
            return self._reject(f"too few stars ({len(stars)})", len(stars))
        found = match(stars, self._reference)
        if found is None:
            return self._reject("the stars do not match the first frame's", len(stars))
        transform, matched, residual = found
        if matched < self.min_stars:
            return self._reject(f"too few matched stars ({matched})", len(stars), matched, residual, transform)
        if residual > self.max_residual:
            return self._reject(f"residual {residual:.2f} px over {self.max_residual:g} px", len(stars), matched,
                                residual, transform)
        if abs(transform.angle) > MAX_TURN:   # a camera turned on its mount, not a field that turns
            return self._reject(f"turned {math.degrees(transform.angle):.0f} degrees from the first frame", len(stars),
                                matched, residual, transform)
        return self._added(image, transform, Outcome(True, "stacked", len(stars), matched, residual, transform),
                           exposure)

    def _begin(self, image: npt.NDArray[np.float32], stars: Floats, meta: FrameMeta | None) -> None:
        planes = _planes(image)
        shape = (len(planes), *image.shape[:2])
        self._reference, self.meta = stars, meta
        self._mean, self._m2 = np.zeros(shape, np.float32), np.zeros(shape, np.float32)
        self._count = np.zeros(shape, np.uint32)
        self._first = np.empty((START_FRAMES, *shape), np.float32) if self.kappa is not None else None
        # A raw frame's background variance: no pixel is judged by less, as a few frames'
        # spread alone often says far less (resampling smooths the noise a little, not more).
        self._floor = np.array([sep.Background(np.ascontiguousarray(p)).globalrms ** 2 for p in planes], np.float32)

    def _added(self, image: npt.NDArray[np.float32], transform: Transform, outcome: Outcome,
               exposure: float) -> Outcome:
        assert self._mean is not None and self._m2 is not None and self._count is not None
        planes = _planes(image)
        h, w = self._mean.shape[1:]
        outliers = 0
        if self._first is not None and self.frames < START_FRAMES:
            for k, plane in enumerate(planes):
                self._first[self.frames, k] = warp(plane, transform, (h, w))
                # Meanwhile a plain mean, for the picture of a stack under way.
                running_update(self._first[self.frames, k], self._mean[k], self._m2[k], self._count[k], -1.0, 0.0)
            if self.frames + 1 == START_FRAMES:
                outliers = self._start(self._mean, self._m2, self._count, START_FRAMES)
                self._first = None   # from now on the running state judges each value
        else:
            kappa = -1.0 if self.kappa is None else self.kappa
            for k, plane in enumerate(planes):
                outliers += running_update(warp(plane, transform, (h, w)), self._mean[k], self._m2[k], self._count[k],
                                           kappa, float(self._floor[k]))
        self.frames += 1
        self.exposure += exposure
        self.outliers += outliers
        self.last = replace(outcome, outliers=outliers)
        return self.last

    def _start(self, mean: npt.NDArray[np.float32], m2: npt.NDArray[np.float32], count: npt.NDArray[np.uint32],
               frames: int) -> int:
        """The running state begun from the first `frames` frames; the values left out."""
        assert self._first is not None and self.kappa is not None
        left_out = 0
        for k in range(mean.shape[0]):
            left_out += robust_start(np.ascontiguousarray(self._first[:frames, k]), mean[k], m2[k], count[k],
                                     self.kappa, float(self._floor[k]))
        return left_out

    def _reject(self, reason: str, stars: int, matched: int = 0, residual: float = 0.0,
                transform: Transform = Transform()) -> Outcome:
        self.rejected += 1
        self.last = Outcome(False, reason, stars, matched, residual, transform)
        return self.last

    @property
    def image(self) -> npt.NDArray[np.float32] | None:
        """The mean so far (float32, rows x columns, or x 3 for colour; NaN where no frame
        covered a pixel), or None before the first frame. Until START_FRAMES frames are in,
        a plain mean: the picture of the live view while the stack begins."""
        if self._mean is None or self._count is None or self._m2 is None:
            return None
        # Among the first frames this is their plain mean: outliers are left out from then on.
        result = np.where(self._count > 0, self._mean, np.float32(np.nan)).astype(np.float32, copy=False)
        return np.moveaxis(result, 0, 2) if result.shape[0] == 3 else result[0]


def _planes(image: npt.NDArray[np.float32]) -> list[npt.NDArray[np.float32]]:
    return [np.ascontiguousarray(image[..., k]) for k in range(image.shape[2])] if image.ndim == 3 else [image]


def _normalised(flat: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    good = np.isfinite(flat) & (flat > 0)
    if not good.any():
        raise ValueError("the flat has no positive pixels")
    return np.where(good, flat / np.float32(np.median(flat[good])), np.float32(1.0)).astype(np.float32)


def _check_shape(what: str, master: npt.NDArray[Any], image: npt.NDArray[Any]) -> None:
    if master.shape != image.shape:
        raise ValueError(f"the master {what} is {master.shape[1]}x{master.shape[0]}, "
                         f"the frames {image.shape[1]}x{image.shape[0]}: take it at the same size and binning")


Progress = Callable[[Outcome, Stacker, float], None]


def stack_camera(cam: Camera, stacker: Stacker, progress: Progress, frames: int | None = None,
                 duration: float | None = None) -> None:
    """Streams from the camera into `stacker` until `frames` frames were stacked or
    `duration` seconds passed, or, with neither, until Ctrl-C (which ends it in any case:
    what is stacked stays in `stacker`); `progress` hears of every frame with the seconds
    since the start. Glitched frames are rejected and counted; a camera that drops off the
    bus is waited for by the camera layer's recovery, and the stream goes on when it is back."""
    from .glitch import glitch

    began = time.monotonic()
    with cam.stream() as video:
        for frame in video:
            damage = glitch(frame.data)
            if damage is not None:
                stacker.glitched += 1
                outcome = stacker._reject(f"glitched frame ({damage})", 0)
            else:
                outcome = stacker.add(frame.data, frame.meta.exposure, frame.meta)
            elapsed = time.monotonic() - began
            progress(outcome, stacker, elapsed)
            if frames is not None and stacker.frames >= frames or duration is not None and elapsed >= duration:
                return


@dataclass(frozen=True, slots=True)
class Master:
    """A master dark or flat: its file, its image (float32) and the header's settings."""

    path: str
    data: npt.NDArray[np.float32]
    header: dict[str, Any]


@dataclass(frozen=True, slots=True)
class Shot:
    """The settings the frames will be taken with, as a master is checked against them."""

    width: int
    height: int
    bin: int
    exposure: float
    gain: int
    offset: int
    temperature: float | None   # the sensor's, C


def read_master(path: str | os.PathLike[str]) -> Master:
    """A master dark or flat (`orlicam master`'s output): its primary image as float32."""
    fits = _astropy_fits()
    try:
        with fits.open(path) as hdus:
            data = hdus[0].data
            if data is None or data.ndim != 2:
                raise ValueError(f"{os.fspath(path)}: not a 2-D image; a master is one")
            header = {key: hdus[0].header[key] for key in ("EXPTIME", "GAIN", "OFFSET", "XBINNING", "CCD-TEMP")
                      if key in hdus[0].header}
            return Master(os.fspath(path), np.asarray(data, np.float32), header)
    except (OSError, TypeError, IndexError) as error:
        raise ValueError(f"{os.fspath(path)}: not a readable FITS image ({error})") from None


def master_mismatch(kind: str, master: Master, shot: Shot) -> str | None:
    """How the master differs from the frames to come, with the rule it breaks; None when
    it matches. A dark must match their size, binning, exposure, gain, offset and sensor
    temperature (within TEMPERATURE_TOLERANCE); a flat their size and binning (it is
    normalised, so exposure and gain do not matter). Settings the header lacks are not held
    against it."""
    rule = ("size, binning, exposure, gain, offset and temperature (within "
            f"{TEMPERATURE_TOLERANCE:g} C)" if kind == "dark" else "size and binning")
    h, w = master.data.shape
    header = master.header
    why = None
    if (w, h) != (shot.width, shot.height):
        why = f"it is {w}x{h}, the frames {shot.width}x{shot.height}"
    checks: list[tuple[str, str, Any, str]] = [("XBINNING", "binning", shot.bin, "")]
    if kind == "dark":
        checks += [("EXPTIME", "exposure", shot.exposure, " s"), ("GAIN", "gain", shot.gain, ""),
                   ("OFFSET", "offset", shot.offset, "")]
    for key, label, want, unit in checks:
        have = header.get(key)
        if why is None and have is not None and not math.isclose(float(have), float(want), rel_tol=1e-6):
            why = f"{label} {have:g}{unit}, the frames {want:g}{unit}"
    have_t = header.get("CCD-TEMP")
    if why is None and kind == "dark" and have_t is not None and shot.temperature is not None \
            and abs(float(have_t) - shot.temperature) > TEMPERATURE_TOLERANCE:
        why = f"temperature {float(have_t):g} C, the sensor {shot.temperature:g} C"
    if why is None:
        return None
    return f"the master {kind} {os.path.basename(master.path)} does not match the frames: {why} (a {kind} must " \
           f"match their {rule})"


def write_stack(path: str | os.PathLike[str], stacker: Stacker, masters: Sequence[tuple[str, str]] = (),
                overwrite: bool = False) -> None:
    """The running mean as float32 FITS: the reference frame's camera keywords, EXPTIME the
    total exposure, NCOMBINE the frames in it, the masters used in HISTORY. An RGB stack
    is three planes (NAXIS3 = 3), as FITS viewers and stackers read colour."""
    image = stacker.image
    if image is None or stacker.meta is None:
        raise ValueError("nothing stacked yet: no frame had enough stars")
    fits = _astropy_fits()
    height, width = image.shape[:2]
    colour = image.ndim == 3
    header = fits.Header()
    scale = 2 if colour else 1   # a superpixel is a 2x2 cell of the sensor
    for key, value, comment in header_cards(stacker.meta, width, height):
        if colour and key in ("BAYERPAT", "XBAYROFF", "YBAYROFF"):
            continue
        if key in ("XBINNING", "YBINNING", "XPIXSZ", "YPIXSZ"):
            value = value * scale
        if key in ("EXPTIME", "EXPOSURE"):
            value, comment = round(stacker.exposure, 6), "[s] total exposure of the stacked frames"
        header[key] = (value, comment)
    header["LIVETIME"] = (round(stacker.exposure, 6), "[s] total exposure of the stacked frames")
    header["NCOMBINE"] = (stacker.frames, "frames in the stack")
    header["IMAGETYP"] = ("Light Frame", "frame type")
    header.add_history(f"orlicam stack: registered mean of {stacker.frames} frames on their stars, "
                       f"{stacker.rejected} rejected")
    if colour:
        header.add_history("colour: each 2x2 Bayer cell one RGB pixel (superpixel)")
    for kind, name in masters:
        header.add_history(f"master {kind}: {name}")
    data = np.moveaxis(image, 2, 0) if colour else image
    buffer = io.BytesIO()
    fits.PrimaryHDU(np.ascontiguousarray(data, dtype=np.float32), header=header).writeto(buffer)
    write_new(path, buffer.getbuffer(), overwrite=overwrite)


def write_stack_png(path: str | os.PathLike[str], stacker: Stacker, overwrite: bool = False) -> None:
    """The running mean stretched for the eye, as PNG (needs Pillow)."""
    from PIL import Image

    image = stacker.image
    if image is None:
        raise ValueError("nothing stacked yet: no frame had enough stars")
    finite = np.nan_to_num(image, nan=float(np.nanmedian(image)))
    encoded = io.BytesIO()
    Image.fromarray(stretch(finite)).save(encoded, format="PNG")
    write_new(path, encoded.getbuffer(), overwrite=overwrite)
