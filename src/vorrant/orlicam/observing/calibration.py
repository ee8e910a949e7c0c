"""Master calibration frames and their use on lights.

Masters combine frames with a sigma-clipped median (astropy's ``sigma_clip``: 3 sigma
about the median, up to 5 rounds, then the median of what is left), a band of rows at a
time read from every frame, so that a hundred full frames need no more memory than the
master and one band of the stack; before that they check that
the frames belong together: the same size and binning and gain, the same exposure for
darks, and sensor temperatures within a tolerance. A master flat is normalised to a
median of 1 after its bias (or flat dark) is taken off. Calibration subtracts the dark
(scaled by exposure when a bias is given and the exposures differ), divides by the
flat, and writes float32 FITS with HISTORY cards naming the masters. Flat pixels that
cannot divide (not finite, or under 0.05 of the flat's median: dead) are left undivided,
counted in FLATSKIP and the HISTORY.

A dark library is a set of master darks (files, or folders of them): each light gets
the one matching its exposure, gain, binning and temperature.
"""
from __future__ import annotations

import math
import os
import warnings
from collections.abc import Iterable, Sequence
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ..files.fits import _astropy_fits, _software, fits_timestamp
from .plan import IMAGE_TYPES

__all__ = ["Image", "read_image", "check_matching", "combine", "make_master", "calibrate", "DarkLibrary",
           "TEMPERATURE_TOLERANCE"]

TEMPERATURE_TOLERANCE: Final = 1.0   # degrees C
_SIGMA: Final = 3.0
_ROUNDS: Final = 5
# The float32 stack rows combined at a time: sigma clipping takes about ten times this.
_BLOCK_BYTES: Final = 8 * 2**20
_DEAD_FLAT: Final = 0.05   # flat pixels under this fraction of its median are dead: left undivided
# Descriptive keywords a master keeps from its first frame.
_KEEP: Final = ("EXPTIME", "EXPOSURE", "GAIN", "OFFSET", "EGAIN", "XBINNING", "YBINNING", "XPIXSZ", "YPIXSZ",
                "XORGSUBF", "YORGSUBF", "INSTRUME", "CAMSER", "SET-TEMP", "BAYERPAT", "XBAYROFF", "YBAYROFF",
                "ROWORDER", "TELESCOP", "FOCALLEN", "APTDIA", "FILTER", "OBSERVER", "SITELAT", "SITELONG")


class _Described:
    """What the header and size say of a frame."""

    path: Path
    header: Any

    @property
    def shape(self) -> tuple[int, ...]:
        raise NotImplementedError

    def value(self, key: str) -> Any:
        return self.header.get(key)

    @property
    def exposure(self) -> float | None:
        value = self.value("EXPTIME")
        return None if value is None else float(value)

    @property
    def temperature(self) -> float | None:
        value = self.value("CCD-TEMP")
        return None if value is None else float(value)

    def settings(self) -> str:
        parts = [f"{self.shape[1]}x{self.shape[0]}"]
        for key, label, unit in (("EXPTIME", "exposure", " s"), ("GAIN", "gain", ""), ("XBINNING", "bin", ""),
                                 ("CCD-TEMP", "", " C")):
            value = self.value(key)
            if value is not None:
                parts.append(f"{label} {value:g}{unit}".strip())
        return ", ".join(parts)


@dataclass(frozen=True)
class Image(_Described):
    path: Path
    data: npt.NDArray[np.float32]
    header: Any

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(self.data.shape)


@dataclass(frozen=True)
class _Source(_Described):
    """A frame on disk, open: its header, and its rows read when wanted."""

    path: Path
    header: Any
    hdu: Any

    @property
    def shape(self) -> tuple[int, ...]:
        return (int(self.header["NAXIS2"]), int(self.header["NAXIS1"]))

    def rows(self, top: int, bottom: int) -> npt.NDArray[np.float32]:
        return np.asarray(self.hdu.section[top:bottom, :], dtype=np.float32)


def _open(path: str | os.PathLike[str], files: ExitStack) -> _Source:
    """The primary image of a FITS file, open in `files`; ValueError naming the file when it
    is no FITS file, holds no 2-D image or is cut short."""
    fits = _astropy_fits()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")   # astropy's "may have been truncated": said below, with the file's name
            hdus = files.enter_context(fits.open(path, memmap=False))   # mapped pages would count as memory
            hdu = hdus[0]
            header = hdu.header
            where = hdu.fileinfo()["datLoc"]
    except (OSError, ValueError, TypeError, IndexError, KeyError) as error:
        what = str(error).split(". ")[0].split("\n")[0]
        raise ValueError(f"{path}: not a FITS file that can be read ({what})") from None
    if header.get("NAXIS") != 2:
        shape = "no image" if not header.get("NAXIS") else f"{header.get('NAXIS')}-D data"
        raise ValueError(f"{path}: {shape}; calibration takes 2-D images (mono or raw colour)")
    need = where + abs(int(header["BITPIX"])) // 8 * int(header["NAXIS1"]) * int(header["NAXIS2"])
    size = os.path.getsize(path)
    if size < need:
        raise ValueError(f"{path}: cut short: {size} bytes, where its header needs {need}")
    return _Source(Path(path), header, hdu)


def read_image(path: str | os.PathLike[str]) -> Image:
    """The primary image of a FITS file as float32, with its header."""
    with ExitStack() as files:
        source = _open(path, files)
        return Image(source.path, source.rows(0, source.shape[0]), source.header.copy())


def _differs(kind: str, first: _Described, other: _Described, tolerance: float) -> str | None:
    """What makes `other` unfit to combine with `first` (None when nothing does)."""
    if other.shape != first.shape:
        return f"size {other.shape[1]}x{other.shape[0]}, not {first.shape[1]}x{first.shape[0]}"
    checks = [("XBINNING", "binning"), ("GAIN", "gain")]
    if kind == "dark":
        checks.append(("EXPTIME", "exposure"))
    if kind == "flat":
        checks.append(("FILTER", "filter"))
    for key, label in checks:
        a, b = first.value(key), other.value(key)
        if a != b and not (isinstance(a, float) and isinstance(b, float) and abs(a - b) <= 1e-6 * max(abs(a), 1)):
            return f"{label} {b}, not {a}"
    if kind != "flat" and first.temperature is not None and other.temperature is not None \
            and abs(first.temperature - other.temperature) > tolerance:
        return f"temperature {other.temperature:g} C, more than {tolerance:g} C from {first.temperature:g} C"
    return None


def check_matching(kind: str, images: Sequence[_Described], tolerance: float = TEMPERATURE_TOLERANCE) -> None:
    """ValueError naming the first frame that does not match the first one, and how."""
    for other in images[1:]:
        why = _differs(kind, images[0], other, tolerance)
        if why is not None:
            raise ValueError(f"{other.path} does not match {images[0].path}: {why}")


def combine(stack: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """Sigma-clipped median along the first axis (frames)."""
    from astropy.stats import sigma_clip  # type: ignore[import-untyped]

    clipped = sigma_clip(stack, sigma=_SIGMA, maxiters=_ROUNDS, cenfunc="median", stdfunc="std", axis=0,
                         masked=True, copy=False)
    kept = np.where(np.broadcast_to(clipped.mask, stack.shape), np.float32(np.nan), stack)
    everywhere = np.all(np.isnan(kept), axis=0)
    # A pixel every frame disagrees on (clipped everywhere) takes the plain median.
    kept[:, everywhere] = stack[:, everywhere]
    return np.asarray(np.nanmedian(kept, axis=0), dtype=np.float32)


def _subtract(image: _Described, data: npt.NDArray[np.float32], bias: Image | None, dark: Image | None,
              rows: slice = slice(None)) -> tuple[npt.NDArray[np.float32], list[str]]:
    """The image's `data` (its `rows`) less its dark (scaled to its exposure when a bias
    allows it) or bias."""
    history = []
    if dark is not None:
        _check_master(image, dark, "dark", exposure=bias is None)
        if bias is not None and dark.exposure and image.exposure is not None and dark.exposure != image.exposure:
            _check_master(image, bias, "bias", exposure=False)
            scale = image.exposure / dark.exposure
            data = data - bias.data[rows] - (dark.data[rows] - bias.data[rows]) * np.float32(scale)
            history += [f"bias subtracted: {bias.path.name}", f"dark subtracted: {dark.path.name} x {scale:.6g}"]
        else:
            data = data - dark.data[rows]
            history.append(f"dark subtracted: {dark.path.name}")
    elif bias is not None:
        _check_master(image, bias, "bias", exposure=False)
        data = data - bias.data[rows]
        history.append(f"bias subtracted: {bias.path.name}")
    return np.asarray(data, dtype=np.float32), history


def _check_master(image: _Described, master: Image, what: str, exposure: bool) -> None:
    why = _differs("dark" if exposure else "bias", master, image, TEMPERATURE_TOLERANCE)
    if why is not None:
        raise ValueError(f"{image.path} does not match the master {what} {master.path}: {why}")


def make_master(kind: str, paths: Sequence[str | os.PathLike[str]], output: str | os.PathLike[str],
                bias: str | os.PathLike[str] | None = None, dark: str | os.PathLike[str] | None = None,
                tolerance: float = TEMPERATURE_TOLERANCE) -> Image:
    """Combines `paths` into a master `kind` (bias, dark, flat) written to `output` (never
    over an existing file). Flats have `bias` or `dark` (a flat dark) taken off first."""
    if kind not in ("bias", "dark", "flat"):
        raise ValueError(f"a master is bias, dark or flat, not {kind!r}")
    if not paths:
        raise ValueError(f"no {kind} frames given")
    _refuse_repeats(paths)
    if os.path.lexists(output):   # said before the frames are combined, not after
        raise FileExistsError(f"{output} exists already: not overwritten")
    with ExitStack() as files:
        images = [_open(p, files) for p in paths]
        check_matching(kind, images, tolerance)
        master_bias = None if bias is None else read_image(bias)
        master_dark = None if dark is None else read_image(dark)
        history = [f"{kind} frame: {image.path.name}" for image in images]
        height, width = images[0].shape
        levels = []
        if kind == "flat":
            for image in images:   # one frame in memory at a time
                data, done = _subtract(image, image.rows(0, height), master_bias, master_dark)
                level = float(np.median(data, overwrite_input=True))
                if not level > 0:
                    raise ValueError(f"{image.path}: no light above the bias (median {level:g})")
                levels.append(np.float32(level))
            history += done
        data = np.empty((height, width), np.float32)
        step = max(1, _BLOCK_BYTES // (4 * width * len(images)))
        for top in range(0, height, step):
            rows = slice(top, min(height, top + step))
            block = np.empty((len(images), rows.stop - top, width), np.float32)
            for i, image in enumerate(images):
                block[i] = image.rows(rows.start, rows.stop)
                if kind == "flat":
                    block[i] = _subtract(image, block[i], master_bias, master_dark, rows)[0] / levels[i]
            data[rows] = combine(block)
            del block
    if kind == "flat":
        data /= np.float32(np.median(data))
    header = _master_header(kind, images, history)
    _write_float(output, data, header)
    return Image(Path(output), data, header)


def _refuse_repeats(paths: Sequence[str | os.PathLike[str]]) -> None:
    """ValueError for a file given twice (by any path): it would count twice in the master."""
    seen: dict[tuple[int, int], str | os.PathLike[str]] = {}
    for path in paths:
        try:
            st = os.stat(path)
        except OSError as error:
            raise ValueError(f"{path}: {error.strerror}") from None
        first = seen.setdefault((st.st_dev, st.st_ino), path)
        if first is not path:
            raise ValueError(f"{path} is {first} given again: each frame counts once in a master")


def _master_header(kind: str, images: Sequence[_Described], history: Iterable[str]) -> Any:
    fits = _astropy_fits()
    first = images[0].header
    header = fits.Header()
    for key in _KEEP:
        if key in first:
            header[key] = (first[key], first.comments[key])
    temperatures = [t for t in (image.temperature for image in images) if t is not None]
    if temperatures:
        header["CCD-TEMP"] = (round(float(np.mean(temperatures)), 2), "[C] mean sensor temperature of the frames")
    header.update(_span(images))
    header["IMAGETYP"] = (IMAGE_TYPES[kind], "frame type (master)")
    header["NCOMBINE"] = (len(images), "frames combined")
    header["COMBINE"] = ("sigma-clipped median", f"{_SIGMA:g} sigma about the median, {_ROUNDS} rounds")
    header["SWCREATE"] = (_software(), "software that wrote the file")
    for line in history:
        header.add_history(line)
    return header


def _span(images: Sequence[_Described]) -> dict[str, tuple[str, str]]:
    """DATE-OBS and DATE-END of a master: the first frame's start, the last one's end (UTC)."""
    from datetime import UTC, datetime, timedelta

    spans = []
    for image in images:
        try:
            begin = datetime.fromisoformat(image.value("DATE-OBS")).replace(tzinfo=UTC)
        except (TypeError, ValueError):
            continue   # no time, or one in a form of its own: the master goes without it
        spans.append((begin, begin + timedelta(seconds=image.exposure or 0.0)))
    if not spans:
        return {}
    return {"DATE-OBS": (fits_timestamp(min(s for s, _ in spans)), "start of the first frame, UTC"),
            "DATE-END": (fits_timestamp(max(e for _, e in spans)), "end of the last frame, UTC"),
            "TIMESYS": ("UTC", "time scale of DATE-OBS and DATE-END")}


def _write_float(path: str | os.PathLike[str], data: npt.NDArray[np.float32], header: Any) -> None:
    """Writes float32 FITS, a band of rows at a time (no second copy of the image), under a
    temporary name linked into place: never over an existing file, never half a file."""
    fits = _astropy_fits()
    clean = header.copy()
    for key in ("BZERO", "BSCALE", "SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND"):
        clean.remove(key, ignore_missing=True, remove_all=True)
    height, width = data.shape
    full = fits.Header([("SIMPLE", True, "conforms to FITS"), ("BITPIX", -32, "32-bit floats"), ("NAXIS", 2),
                        ("NAXIS1", width), ("NAXIS2", height)])
    full.extend(clean, unique=False)
    target = Path(path)
    if os.path.lexists(target):
        raise FileExistsError(f"{target} exists already: not overwritten")
    part = target.with_name(f".{target.name}.part")
    try:
        with open(part, "wb") as file:
            file.write(full.tostring().encode("ascii"))
            step = max(1, _BLOCK_BYTES // (4 * width))
            for top in range(0, height, step):
                file.write(np.asarray(data[top:top + step], dtype=">f4").tobytes())
            file.write(bytes(-(4 * width * height) % 2880))
        try:
            os.link(part, target)
        except FileExistsError:
            raise FileExistsError(f"{target} exists already: not overwritten") from None
        except OSError:
            # File systems without hard links (FAT on a USB disk): a check, then a rename.
            if os.path.lexists(target):
                raise FileExistsError(f"{target} exists already: not overwritten") from None
            os.rename(part, target)
    finally:
        part.unlink(missing_ok=True)


class DarkLibrary:
    """Master darks from files and folders; `pick(light)` the one matching its exposure,
    gain, binning and size, closest in temperature and within `tolerance`."""

    def __init__(self, sources: Iterable[str | os.PathLike[str]], tolerance: float = TEMPERATURE_TOLERANCE) -> None:
        self.tolerance = tolerance
        self.darks: list[Image] = []
        for source in sources:
            path = Path(source)
            files = sorted(p for p in path.iterdir() if p.suffix.lower() in (".fits", ".fit", ".fts")) \
                if path.is_dir() else [path]
            self.darks += [read_image(p) for p in files]
        if not self.darks:
            raise ValueError("the dark library is empty")

    def pick(self, light: Image) -> Image:
        fits_ = [dark for dark in self.darks if _differs("dark", dark, light, self.tolerance) is None]
        if not fits_:
            have = "; ".join(f"{d.path.name} ({d.settings()})" for d in self.darks)
            raise ValueError(f"no master dark matches {light.path} ({light.settings()}); have: {have}")
        return min(fits_, key=lambda d: abs((d.temperature or 0.0) - (light.temperature or 0.0)))


def calibrate(lights: Sequence[str | os.PathLike[str]], darks: DarkLibrary | None, flat: str | os.PathLike[str] | None,
              bias: str | os.PathLike[str] | None, folder: str | os.PathLike[str] | None = None) -> list[Path]:
    """Writes each light, dark-subtracted and flat-divided, as float32 `NAME_cal.fits` in
    `folder` (default: beside the light); returns the paths."""
    if darks is None and flat is None and bias is None:
        raise ValueError("nothing to calibrate with: give a dark, a flat or a bias")
    master_bias = None if bias is None else read_image(bias)
    master_flat = None if flat is None else read_image(flat)
    flat_data, skipped = None, 0
    if master_flat is not None:
        finite = np.isfinite(master_flat.data)
        level = float(np.median(master_flat.data[finite])) if finite.any() else math.nan
        if not level > 0:
            raise ValueError(f"{master_flat.path}: not a flat: its median is {level:g}")
        flat_data = master_flat.data / np.float32(level)
        # Pixels it cannot divide (not finite, dead) keep the light's value, and are counted.
        usable = finite & (flat_data > _DEAD_FLAT)
        skipped = int(usable.size - np.count_nonzero(usable))
        flat_data = np.where(usable, flat_data, np.float32(1.0))
    out: list[Path] = []
    for path in lights:
        light = read_image(path)
        dark = None if darks is None else darks.pick(light)
        data, history = _subtract(light, light.data, master_bias, dark)
        if master_flat is not None and flat_data is not None:
            if master_flat.data.shape != light.data.shape:
                raise ValueError(f"{light.path} ({light.settings()}) does not match the master flat "
                                 f"{master_flat.path} ({master_flat.settings()})")
            data = data / flat_data
            history.append(f"flat divided: {master_flat.path.name}")
            if skipped:
                history.append(f"{skipped} pixels not flat-divided: the flat not finite or < {_DEAD_FLAT:g} x median")
        header = light.header.copy()
        header["CALSTAT"] = ("".join(c for c, on in (("B", master_bias is not None), ("D", dark is not None),
                                                   ("F", master_flat is not None)) if on), "calibration applied")
        if master_flat is not None:
            header["FLATSKIP"] = (skipped, "pixels left undivided: flat not finite or dead")
        for line in history:
            header.add_history(line)
        target = Path(folder) if folder is not None else light.path.parent
        name = target / f"{light.path.stem}_cal.fits"
        _write_float(name, data, header)
        out.append(name)
    return out
