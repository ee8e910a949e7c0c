"""Master calibration frames and their use on lights.

Masters combine frames with a sigma-clipped mean (astropy's ``sigma_clip``: 3 sigma
about the median, up to 5 rounds, then the mean of what is left), a band of rows at a
time read from every frame, so that a hundred full frames need no more memory than the
master and one band of the stack, and a thousand frames no more open files than one;
before that they check that the frames belong together (`mismatches`): the same size,
binning, gain, offset and data word (RAW8 or RAW16), the same exposure for darks, and
sensor temperatures within a tolerance. The frames that do not match the most of them
are named. A master flat is normalised to a median of 1 after its bias (or flat dark) is
taken off. Calibration subtracts the dark (scaled by exposure when a bias is given and
the exposures differ), divides by the flat, and writes float32 FITS with HISTORY cards
naming the masters. Flat pixels that cannot divide (not finite, or under 0.05 of the
flat's median: dead) are left undivided, counted in FLATSKIP and the HISTORY.

A dark library is a set of master darks (files, or folders of them; a folder gives only
the files whose IMAGETYP says dark): each light gets the one matching its exposure, gain,
offset, data word, binning and temperature.
"""
from __future__ import annotations

import errno
import math
import os
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ..files.fits import _astropy_fits, _software, fits_timestamp
from .plan import IMAGE_TYPES

__all__ = ["Image", "read_image", "mismatches", "check_matching", "combine", "make_master", "calibrate",
           "DarkLibrary", "TEMPERATURE_TOLERANCE", "DATA_BITS"]

TEMPERATURE_TOLERANCE: Final = 1.0   # degrees C
# The card of a master (float32) that keeps its frames' data word: 8 for RAW8, 16 for RAW16.
DATA_BITS: Final = "DATABITS"
_SIGMA: Final = 3.0
_ROUNDS: Final = 5
# The float32 stack rows combined at a time: sigma clipping takes about ten times this.
_BLOCK_BYTES: Final = 8 * 2**20
_DEAD_FLAT: Final = 0.05   # flat pixels under this fraction of its median are dead: left undivided
# Descriptive keywords a master keeps from its first frame.
_KEEP: Final = ("EXPTIME", "EXPOSURE", "GAIN", "OFFSET", "EGAIN", "XBINNING", "YBINNING", "XPIXSZ", "YPIXSZ",
                "XORGSUBF", "YORGSUBF", "INSTRUME", "CAMSER", "SET-TEMP", "BAYERPAT", "XBAYROFF", "YBAYROFF",
                "ROWORDER", "TELESCOP", "FOCALLEN", "APTDIA", "FILTER", "OBSERVER", "SITELAT", "SITELONG")
_DTYPES: Final = {8: ">u1", 16: ">i2", 32: ">i4", 64: ">i8", -32: ">f4", -64: ">f8"}


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
        for key, label, unit in (("EXPTIME", "exposure", " s"), ("GAIN", "gain", ""), ("OFFSET", "offset", ""),
                                 ("XBINNING", "bin", ""), ("CCD-TEMP", "", " C")):
            value = self.value(key)
            if isinstance(value, (int, float)):
                parts.append(f"{label} {value:g}{unit}".strip())
        bits = _data_bits(self.header)
        if bits is not None:
            parts.append(f"RAW{bits}")
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
    """A frame on disk: its header, and its rows read when wanted. The file is opened for
    each read, so that a master of more frames than the process may hold open can be made."""

    path: Path
    header: Any
    start: int          # where the data begins
    dtype: np.dtype[Any]
    scale: float
    zero: float

    @property
    def shape(self) -> tuple[int, ...]:
        return (int(self.header["NAXIS2"]), int(self.header["NAXIS1"]))

    def rows(self, top: int, bottom: int) -> npt.NDArray[np.float32]:
        width = self.shape[1]
        size = (bottom - top) * width * self.dtype.itemsize
        try:
            fd = os.open(self.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
            try:
                raw = os.pread(fd, size, self.start + top * width * self.dtype.itemsize)
            finally:
                os.close(fd)
        except OSError as error:
            raise OSError(error.errno, error.strerror, str(self.path)) from None
        if len(raw) < size:
            raise ValueError(f"{self.path}: cut short while it was being read")
        data = np.frombuffer(raw, self.dtype).reshape(bottom - top, width)
        if self.scale == 1.0 and self.zero == 0.0:
            return data.astype(np.float32)
        return (data * np.float64(self.scale) + np.float64(self.zero)).astype(np.float32)


def _open(path: str | os.PathLike[str]) -> _Source:
    """The primary image of a FITS file, its header read; ValueError naming the file when it
    is no FITS file, holds no 2-D image or is cut short, OSError naming it when the system
    refuses it (no such file, no permission, too many open files)."""
    fits = _astropy_fits()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")   # astropy's "may have been truncated": said below, with the file's name
            with fits.open(path, memmap=False) as hdus:   # mapped pages would count as memory
                hdu = hdus[0]
                header = hdu.header.copy()
                where = int(hdu.fileinfo()["datLoc"])
    except OSError as error:
        if error.errno is not None:   # the system's refusal, not the file's content
            raise OSError(error.errno, error.strerror or os.strerror(error.errno), os.fspath(path)) from None
        raise ValueError(f"{path}: not a FITS file that can be read ({_first_line(error)})") from None
    except (ValueError, TypeError, IndexError, KeyError) as error:
        raise ValueError(f"{path}: not a FITS file that can be read ({_first_line(error)})") from None
    if header.get("NAXIS") != 2:
        shape = "no image" if not header.get("NAXIS") else f"{header.get('NAXIS')}-D data"
        raise ValueError(f"{path}: {shape}; calibration takes 2-D images (mono or raw colour)")
    bitpix = header.get("BITPIX")
    if bitpix not in _DTYPES:
        raise ValueError(f"{path}: BITPIX {bitpix!r} is no FITS data type")
    need = where + abs(int(bitpix)) // 8 * int(header["NAXIS1"]) * int(header["NAXIS2"])
    size = os.path.getsize(path)
    if size < need:
        raise ValueError(f"{path}: cut short: {size} bytes, where its header needs {need}")
    scale, zero = header.get("BSCALE", 1.0), header.get("BZERO", 0.0)
    if not isinstance(scale, (int, float)) or not isinstance(zero, (int, float)):
        raise ValueError(f"{path}: BSCALE and BZERO are no numbers")
    return _Source(Path(path), header, where, np.dtype(_DTYPES[bitpix]), float(scale), float(zero))


def _first_line(error: BaseException) -> str:
    return str(error).split(". ")[0].split("\n")[0]


def read_image(path: str | os.PathLike[str]) -> Image:
    """The primary image of a FITS file as float32, with its header."""
    source = _open(path)
    return Image(source.path, source.rows(0, source.shape[0]), source.header)


def _data_bits(header: Mapping[str, Any]) -> int | None:
    """The data word of a frame (8: RAW8, 16: RAW16): its BITPIX, or a master's card;
    None when neither says (float data from elsewhere)."""
    bits = header.get(DATA_BITS)
    if bits is None and header.get("BITPIX") in (8, 16):
        bits = header.get("BITPIX")
    return bits if isinstance(bits, int) else None


def _size(header: Mapping[str, Any]) -> tuple[Any, Any]:
    return header.get("NAXIS1"), header.get("NAXIS2")


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return abs(a - b) <= 1e-6 * max(abs(a), abs(b), 1)
    return bool(a == b)


def mismatches(header_a: Mapping[str, Any], header_b: Mapping[str, Any], kind: str,
               tolerance: float = TEMPERATURE_TOLERANCE) -> list[str]:
    """How frame `b` differs from frame `a` where frames of `kind` must agree, each as
    "offset 200, not 8" (b's value, then a's); empty when they may be combined, or one
    calibrate the other. `kind`: "bias" (size, binning, gain, offset, data word,
    temperature), "dark" (the same and exposure), "flat" (size, binning, gain, offset,
    data word, filter). Only what both headers say is compared: NAXIS1 and NAXIS2,
    XBINNING, GAIN, OFFSET, BITPIX (8, 16) or DATABITS, EXPTIME, CCD-TEMP, FILTER."""
    if kind not in ("bias", "dark", "flat"):
        raise ValueError(f"a master is bias, dark or flat, not {kind!r}")
    out = []
    size_a, size_b = _size(header_a), _size(header_b)
    if None not in size_a and None not in size_b and size_a != size_b:
        out.append(f"size {size_b[0]}x{size_b[1]}, not {size_a[0]}x{size_a[1]}")
    checks = [("XBINNING", "binning"), ("GAIN", "gain"), ("OFFSET", "offset")]
    checks += [("EXPTIME", "exposure")] if kind == "dark" else [("FILTER", "filter")] if kind == "flat" else []
    for key, label in checks:
        a, b = header_a.get(key), header_b.get(key)
        if a is not None and b is not None and not _same(a, b):
            out.append(f"{label} {b}, not {a}")
    bits_a, bits_b = _data_bits(header_a), _data_bits(header_b)
    if bits_a is not None and bits_b is not None and bits_a != bits_b:
        out.append(f"RAW{bits_b}, not RAW{bits_a}")
    t_a, t_b = header_a.get("CCD-TEMP"), header_b.get("CCD-TEMP")
    if kind != "flat" and isinstance(t_a, (int, float)) and isinstance(t_b, (int, float)) \
            and abs(t_a - t_b) > tolerance:
        out.append(f"temperature {t_b:g} C, more than {tolerance:g} C from {t_a:g} C")
    return out


def _header(image: _Described) -> Mapping[str, Any]:
    """The header, with the frame's size where it has none (a master made here)."""
    if "NAXIS1" in image.header and "NAXIS2" in image.header:
        return image.header   # type: ignore[no-any-return]
    header = dict(image.header)
    header["NAXIS1"], header["NAXIS2"] = image.shape[1], image.shape[0]
    return header


def _differs(kind: str, first: _Described, other: _Described, tolerance: float) -> str | None:
    """What makes `other` unfit to go with `first` (None when nothing does)."""
    why = mismatches(_header(first), _header(other), kind, tolerance)
    return ", ".join(why) if why else None


def check_matching(kind: str, images: Sequence[_Described], tolerance: float = TEMPERATURE_TOLERANCE) -> None:
    """ValueError naming the frames that do not match the most of them, and how."""
    groups: list[list[_Described]] = []
    for image in images:
        home = next((g for g in groups if _differs(kind, g[0], image, tolerance) is None), None)
        if home is None:
            groups.append([image])
        else:
            home.append(image)
    if len(groups) < 2:
        return
    main = max(groups, key=len)   # the first of the largest: ties keep the order given
    first = main[0]
    kept = {id(image) for image in main}
    odd = [(image, _differs(kind, first, image, tolerance)) for image in images if id(image) not in kept]
    like = {1: "", 2: " and the other like it"}.get(len(main), f" and the {len(main) - 1} others like it")
    if len(odd) == 1:
        raise ValueError(f"{odd[0][0].path} does not match {first.path}{like}: {odd[0][1]}")
    shown = "; ".join(f"{image.path}: {why}" for image, why in odd[:10])
    more = f"; and {len(odd) - 10} more" if len(odd) > 10 else ""
    raise ValueError(f"{len(odd)} of {len(images)} frames do not match {first.path}{like} "
                     f"({first.settings()}): {shown}{more}")


def combine(stack: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """Sigma-clipped mean along the first axis (frames): clipped about the median, then the
    mean of what is left. Not the median of it: frames hold the ADC's steps (16 ADU on a
    12-bit sensor), and the median of a few stepped values leans toward a step, by up to
    half an ADU on a master dark; under a faint sky on the weakest colour that shows as
    brighter or darker corners once the flat divides. The mean of the stepped values keeps
    the level."""
    from astropy.stats import sigma_clip  # type: ignore[import-untyped]

    clipped = sigma_clip(stack, sigma=_SIGMA, maxiters=_ROUNDS, cenfunc="median", stdfunc="std", axis=0,
                         masked=True, copy=False)
    kept = np.where(np.broadcast_to(clipped.mask, stack.shape), np.float32(np.nan), stack)
    everywhere = np.all(np.isnan(kept), axis=0)
    # A pixel every frame disagrees on (clipped everywhere) takes the plain mean.
    kept[:, everywhere] = stack[:, everywhere]
    return np.asarray(np.nanmean(kept, axis=0), dtype=np.float32)


def _subtract(image: _Described, data: npt.NDArray[np.float32], bias: Image | None, dark: Image | None,
              rows: slice = slice(None), check: bool = True) -> tuple[npt.NDArray[np.float32], list[str]]:
    """The image's `data` (its `rows`) less its dark (scaled to its exposure when a bias
    allows it) or bias; the masters are checked against the image unless `check` is off
    (checked already)."""
    history = []
    if dark is not None:
        if check:
            _check_master(image, dark, "dark", exposure=bias is None)
        if bias is not None and dark.exposure and image.exposure is not None and dark.exposure != image.exposure:
            if check:
                _check_master(image, bias, "bias", exposure=False)
            scale = image.exposure / dark.exposure
            data = data - bias.data[rows] - (dark.data[rows] - bias.data[rows]) * np.float32(scale)
            history += [f"bias subtracted: {bias.path.name}", f"dark subtracted: {dark.path.name} x {scale:.6g}"]
        else:
            data = data - dark.data[rows]
            history.append(f"dark subtracted: {dark.path.name}")
    elif bias is not None:
        if check:
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
    images = [_open(p) for p in paths]   # headers only: the rows are read band by band below
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
                block[i] = _subtract(image, block[i], master_bias, master_dark, rows, check=False)[0] / levels[i]
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
    bits = _data_bits(first)
    if bits is not None:
        header[DATA_BITS] = (bits, f"[bit] data word of the frames: {bits} (RAW{bits})")
    header["IMAGETYP"] = (IMAGE_TYPES[kind], "frame type (master)")
    header["NCOMBINE"] = (len(images), "frames combined")
    header["COMBINE"] = ("sigma-clipped mean", f"{_SIGMA:g} sigma about the median, {_ROUNDS} rounds")
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
    except OSError as error:
        if error.errno is None:
            raise
        # A full disk, a folder without write permission: said of the file asked for, not the temporary one.
        raise OSError(error.errno, error.strerror or os.strerror(error.errno), str(target)) from None
    finally:
        part.unlink(missing_ok=True)


def _says_dark(header: Mapping[str, Any]) -> bool | None:
    """Whether IMAGETYP says dark ("Dark Frame", "Master Dark", "DARK"; a flat dark is for
    flats, not lights); None without IMAGETYP."""
    kind = header.get("IMAGETYP")
    if not isinstance(kind, str):
        return None
    words = kind.lower()
    return "dark" in words and "flat" not in words


class DarkLibrary:
    """Master darks from files and folders; `pick(light)` the one matching its exposure,
    gain, offset, data word, binning and size, closest in temperature and within
    `tolerance`. A folder gives only its files whose IMAGETYP says dark: the others (a
    night's lights, flats, calibrated frames) are left out and listed in `skipped`, as
    (file, its IMAGETYP or None). A file named on its own that says it is no dark is
    refused; one without IMAGETYP is taken."""

    def __init__(self, sources: Iterable[str | os.PathLike[str]], tolerance: float = TEMPERATURE_TOLERANCE) -> None:
        self.tolerance = tolerance
        self.darks: list[_Described] = []
        self.skipped: list[tuple[Path, str | None]] = []
        self._loaded: Image | None = None
        for source in sources:
            path = Path(source)
            if not path.is_dir():
                frame = _open(path)
                if _says_dark(frame.header) is False:
                    raise ValueError(f"{path} is a {frame.value('IMAGETYP')!r} by its IMAGETYP, not a dark")
                self.darks.append(frame)
                continue
            for file in sorted(p for p in path.iterdir() if p.suffix.lower() in (".fits", ".fit", ".fts")):
                frame = _open(file)
                if _says_dark(frame.header):
                    self.darks.append(frame)
                else:
                    kind = frame.value("IMAGETYP")
                    self.skipped.append((file, kind if isinstance(kind, str) else None))
        if not self.darks:
            raise ValueError(f"the dark library is empty{self._left_out(': ')}")

    def _left_out(self, lead: str) -> str:
        if not self.skipped:
            return ""
        counts: dict[str, int] = {}
        for _, kind in self.skipped:
            label = "no IMAGETYP" if kind is None else repr(kind)
            counts[label] = counts.get(label, 0) + 1
        folders = sorted({str(p.parent) for p, _ in self.skipped})
        kinds = ", ".join(f"{n} {label}" for label, n in counts.items())
        return f"{lead}{len(self.skipped)} files of {', '.join(folders)} left out, not darks by their IMAGETYP ({kinds})"

    def report(self) -> str | None:
        """One line saying what the folders held that is no dark; None when nothing was left out."""
        return self._left_out("") or None

    def pick(self, light: _Described) -> Image:
        fits_ = [dark for dark in self.darks if _differs("dark", dark, light, self.tolerance) is None]
        if not fits_:
            have = "; ".join(f"{d.path.name} ({d.settings()})" for d in self.darks)
            raise ValueError(f"no master dark matches {light.path} ({light.settings()}); have: {have}")
        best = min(fits_, key=lambda d: abs((d.temperature or 0.0) - (light.temperature or 0.0)))
        # One master in memory: a night's lights mostly take the same one.
        if self._loaded is None or self._loaded.path != best.path:
            self._loaded = None
            self._loaded = read_image(best.path)
        return self._loaded


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
