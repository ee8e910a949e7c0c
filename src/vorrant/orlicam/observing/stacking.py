"""Live stacking: each new frame aligned on the stars of the first and added to a running mean.

Registration matches stars, not pixels: the brightest stars of a frame and of the
reference form triangles whose side lengths do not change under a shift or a rotation
(an alt-az mount's field turns), matched triangles vote for star pairs, and the pairs
give the rigid transform by least squares (sub-pixel: every matched star takes part).
A frame whose stars do not match (clouds, a bump: too few pairs, or a residual over a
pixel) is rejected and counted, never smeared in. Memory is the running sum, its
coverage count and the reference stars, whatever the number of frames.

Colour raw frames are made RGB by superpixel (each 2x2 Bayer cell one pixel) before they
are registered on their luminance and added channel by channel.
"""
from __future__ import annotations

import io
import math
import os
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from itertools import combinations
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt
import sep

from ..files.fits import _astropy_fits, header_cards
from ..files.outputs import write_new
from ..files.preview import stretch, superpixel

if TYPE_CHECKING:
    from ..camera import Camera, FrameMeta

__all__ = ["Stacker", "Outcome", "Transform", "find_stars", "match", "warp", "read_master", "stack_camera",
           "write_stack", "write_stack_png"]

MIN_STARS: Final = 6          # matched pairs a frame needs to be trusted
MAX_RESIDUAL_PX: Final = 1.0  # RMS distance of matched stars after the transform
MATCH_STARS: Final = 18       # brightest stars that form triangles
DETECT_PIXELS: Final = 4_000_000  # larger frames are searched for stars binned 2x2
SIDE_TOLERANCE_PX: Final = 1.5
PAIR_RADIUS_PX: Final = 2.0   # a transformed star this close to a reference star is its pair
DETECT_SIGMA: Final = 5.0

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


def find_stars(image: npt.NDArray[Any], limit: int = 200) -> Floats:
    """(x, y, flux) of the stars in `image`, brightest first: sep's extraction on the
    background-subtracted image, positions refined by windowed centroids. A large frame is
    searched binned 2x2, four times quicker, its stars still placed to a fraction of a pixel."""
    if image.shape[0] * image.shape[1] > DETECT_PIXELS:
        h, w = image.shape[0] // 2 * 2, image.shape[1] // 2 * 2
        quarter = image[0:h:2, 0:w:2] + image[1:h:2, 0:w:2] + image[0:h:2, 1:w:2] + image[1:h:2, 1:w:2]
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
    if len(found) == 0:
        return np.zeros((0, 3))
    found = found[np.argsort(found["flux"])[::-1][:limit]]
    sigma = np.clip(2.0 / 2.355 * np.sqrt(found["npix"] / np.pi), 0.5, 10.0)
    x, y, flags = sep.winpos(signal, found["x"], found["y"], sigma)
    good = (flags == 0) & np.isfinite(x) & np.isfinite(y)
    x, y = np.where(good, x, found["x"]), np.where(good, y, found["y"])
    return np.column_stack((x, y, found["flux"])).astype(np.float64)


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


BLOCK_ROWS: Final = 128   # rows resampled at a time: the block's arrays stay in the cache


def warp(image: npt.NDArray[Any], transform: Transform, shape: tuple[int, int], rows: tuple[int, int] | None = None
         ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
    """Rows `rows` (all by default) of `image` moved onto the reference grid of `shape`,
    and where it covers them: each reference pixel takes the frame pixel nearest the
    inverse transform of its centre.

    Nearest pixels rather than interpolated values: interpolation blurs every frame by
    its sub-pixel shift (bilinear widens a 1.7 px star by 15%), while the rounding of
    nearest pixels varies from frame to frame and averages out in the stack."""
    h, w = shape
    y0, y1 = rows if rows is not None else (0, h)
    c, s = np.float32(math.cos(transform.angle)), np.float32(math.sin(transform.angle))
    # reference (x, y) -> frame: take the shift off, then rotate back by the angle
    ys = np.arange(y0, y1, dtype=np.float32)[:, None] - np.float32(transform.dy)
    xs = np.arange(w, dtype=np.float32)[None, :] - np.float32(transform.dx)
    sx = np.rint(c * xs + s * ys).astype(np.int32)
    sy = np.rint(c * ys - s * xs).astype(np.int32)
    src_h, src_w = image.shape[:2]
    inside = (sx >= 0) & (sx < src_w)
    inside &= (sy >= 0) & (sy < src_h)
    np.clip(sx, 0, src_w - 1, out=sx)
    np.clip(sy, 0, src_h - 1, out=sy)
    sy *= src_w
    sy += sx
    out = image.reshape(src_h * src_w, *image.shape[2:])[sy]
    return out.astype(np.float32, copy=False), inside


class Stacker:
    """A running, registered mean of frames.

    `dark` is subtracted and `flat` divided (normalised to its median; pixels that are not
    finite and positive are left undivided) before registration; `bayer` names the
    mosaic of colour raw frames, which are stacked as RGB."""

    def __init__(self, dark: npt.NDArray[Any] | None = None, flat: npt.NDArray[Any] | None = None,
                 bayer: str | None = None, min_stars: int = MIN_STARS, max_residual: float = MAX_RESIDUAL_PX) -> None:
        self.dark = None if dark is None else np.asarray(dark, np.float32)
        self.flat = None if flat is None else _normalised(np.asarray(flat, np.float32))
        self.bayer = bayer
        self.min_stars = min_stars
        self.max_residual = max_residual
        self.reset()

    def reset(self) -> None:
        self._sum: npt.NDArray[np.float32] | None = None
        self._count: npt.NDArray[np.uint32] | None = None
        self._reference: Floats | None = None
        self.frames = 0
        self.rejected = 0
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
            self._reference = stars
            self.meta = meta
            self._sum = np.zeros(image.shape, np.float32)
            self._count = np.zeros(image.shape[:2], np.uint32)
            outcome = Outcome(True, "reference", len(stars), len(stars))
            self._accumulate(image, np.ones(image.shape[:2], bool), exposure)
            self.last = outcome
            return outcome
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
        assert self._sum is not None and self._count is not None
        h, w = self._sum.shape[:2]
        for y0 in range(0, h, BLOCK_ROWS):
            y1 = min(h, y0 + BLOCK_ROWS)
            warped, inside = warp(image, transform, (h, w), (y0, y1))
            _add_into(self._sum[y0:y1], self._count[y0:y1], warped, inside)
        self._counted(exposure)
        self.last = Outcome(True, "stacked", len(stars), matched, residual, transform)
        return self.last

    def _accumulate(self, image: npt.NDArray[np.float32], inside: npt.NDArray[np.bool_], exposure: float) -> None:
        assert self._sum is not None and self._count is not None
        _add_into(self._sum, self._count, image, inside)
        self._counted(exposure)

    def _counted(self, exposure: float) -> None:
        self.frames += 1
        self.exposure += exposure

    def _reject(self, reason: str, stars: int, matched: int = 0, residual: float = 0.0,
                transform: Transform = Transform()) -> Outcome:
        self.rejected += 1
        self.last = Outcome(False, reason, stars, matched, residual, transform)
        return self.last

    @property
    def image(self) -> npt.NDArray[np.float32] | None:
        """The mean so far (float32; NaN where no frame covered a pixel), or None before the first frame."""
        if self._sum is None or self._count is None:
            return None
        count = self._count[..., None] if self._sum.ndim == 3 else self._count
        with np.errstate(invalid="ignore", divide="ignore"):
            return (self._sum / count).astype(np.float32)


def _add_into(total: npt.NDArray[np.float32], count: npt.NDArray[np.uint32], image: npt.NDArray[np.float32],
              inside: npt.NDArray[np.bool_]) -> None:
    np.add(total, image, out=total, where=inside[..., None] if image.ndim == 3 else inside)
    np.add(count, 1, out=count, where=inside)


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
    `duration` seconds passed (Ctrl-C ends it too: what is stacked stays in `stacker`);
    `progress` hears of every frame with the seconds since the start. Glitched frames are
    rejected and counted; a camera that drops off the bus is waited for by the camera
    layer's recovery, and the stream goes on when it is back."""
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


def read_master(path: str | os.PathLike[str]) -> npt.NDArray[np.float32]:
    """A master dark or flat (`orlicam master`'s output): its primary image as float32."""
    fits = _astropy_fits()
    try:
        with fits.open(path) as hdus:
            data = hdus[0].data
            if data is None or data.ndim != 2:
                raise ValueError(f"{os.fspath(path)}: not a 2-D image; a master is one")
            return np.asarray(data, np.float32)
    except (OSError, TypeError, IndexError) as error:
        raise ValueError(f"{os.fspath(path)}: not a readable FITS image ({error})") from None


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
