"""FITS images and cubes from camera frames, with a header built from each frame's metadata.

Rows are stored TOP-DOWN, as the sensor delivers them, and ROWORDER says so: the
astronomy programs that debayer and stack (and read ROWORDER) take the stored array
as it is, the data read back equals the frame, and BAYERPAT is the frame's own pattern
at its top-left pixel, which is also the first stored pixel (XBAYROFF and YBAYROFF 0).
This is the order most capture programs write; a plain viewer that ignores
ROWORDER shows the picture upside down.

astropy (the ``fits`` extra) is imported on first use, so the rest of the package works
without it.
"""
from __future__ import annotations

import io
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from importlib import metadata
from types import ModuleType, TracebackType
from typing import TYPE_CHECKING, Any, BinaryIO, Self

import numpy as np
from numpy.typing import NDArray

from .frames import Frame

if TYPE_CHECKING:
    from .frames import FrameMeta

__all__ = ["write_fits", "FitsCubeWriter", "header_cards", "fits_timestamp"]

ROW_ORDER = "TOP-DOWN"
_BLOCK = 2880


def _astropy_fits() -> ModuleType:
    try:
        from astropy.io import fits  # type: ignore[import-untyped]
    except ImportError as error:
        error.add_note("writing FITS files needs astropy: pip install 'orlicam[fits]'")
        raise
    module: ModuleType = fits
    return module


def _software() -> str:
    try:
        return f"orlicam {metadata.version('orlicam')}"
    except metadata.PackageNotFoundError:
        return "orlicam"


def fits_timestamp(moment: datetime) -> str:
    """ISO 8601 in UTC with milliseconds and no zone suffix, as DATE-OBS takes it."""
    if moment.tzinfo is None:
        raise ValueError("the time has no time zone")
    utc = moment.astimezone(UTC)
    return utc.strftime("%Y-%m-%dT%H:%M:%S.") + f"{utc.microsecond // 1000:03d}"


def _is_colour_raw(meta: FrameMeta) -> bool:
    return meta.bayer_pattern is not None and meta.roi.image_format in ("RAW8", "RAW16")


def header_cards(meta: FrameMeta, width: int, height: int) -> list[tuple[str, Any, str]]:
    """The descriptive keywords (everything but the structural ones) for a width x height frame."""
    roi = meta.roi
    # 2.4 um x 3 is 7.199999999999999 in binary: ten digits are more than any pixel size has.
    binned_pixel = float(f"{meta.pixel_size * roi.bin:.10g}")
    cards: list[tuple[str, Any, str]] = [
        ("DATE-OBS", fits_timestamp(meta.start_time), "exposure start, UTC" + (" (GPS)" if meta.gps else "")),
        ("TIMESYS", "UTC", "time scale of DATE-OBS"),
        ("EXPTIME", round(meta.exposure, 6), "[s] exposure time"),  # the camera counts in microseconds
        ("EXPOSURE", round(meta.exposure, 6), "[s] exposure time"),
    ]
    if meta.gain is not None:
        cards.append(("GAIN", meta.gain, "sensor gain setting"))
    if meta.offset is not None:
        cards.append(("OFFSET", meta.offset, "sensor offset setting"))
    # The SDK holds it as a 32-bit float: seven significant digits are all there is.
    cards.append(("EGAIN", float(f"{meta.e_per_adu:.7g}"), "[e-/ADU] electrons per ADU"))
    if meta.temperature is not None:
        cards.append(("CCD-TEMP", meta.temperature, "[C] sensor temperature"))
    if meta.cooled and meta.target_temperature is not None:
        cards.append(("SET-TEMP", meta.target_temperature, "[C] cooler set point"))
    cards += [
        ("XBINNING", roi.bin, "binning factor, x"),
        ("YBINNING", roi.bin, "binning factor, y"),
        ("XPIXSZ", binned_pixel, "[um] binned pixel width"),
        ("YPIXSZ", binned_pixel, "[um] binned pixel height"),
        ("XORGSUBF", roi.x, "subframe origin x, binned pixels"),
        ("YORGSUBF", roi.y, "subframe origin y, binned pixels"),
        ("INSTRUME", meta.camera_name, "camera"),
    ]
    if meta.serial is not None:
        cards.append(("CAMSER", meta.serial, "camera serial number"))
    cards.append(("IMAGETYP", "Dark Frame" if meta.dark else "Light Frame", "frame type"))
    if _is_colour_raw(meta) and meta.bayer_pattern is not None:
        # The frame's pattern starts at its top-left pixel, the first one stored.
        cards += [
            ("BAYERPAT", meta.bayer_pattern, "CFA pattern from the first stored pixel"),
            ("XBAYROFF", 0, "Bayer pattern x offset"),
            ("YBAYROFF", 0, "Bayer pattern y offset"),
        ]
    cards += [
        ("ROWORDER", ROW_ORDER, "order of the stored rows"),
        ("SWCREATE", _software(), "software that wrote the file"),
    ]
    if meta.gps is not None:
        cards += [
            ("SITELAT", meta.gps.latitude, "[deg] latitude, GPS"),
            ("SITELONG", meta.gps.longitude, "[deg] longitude, GPS"),
            ("SITEELEV", meta.gps.altitude, "[m] altitude, GPS"),
            ("GPSSATS", meta.gps.satellite_num, "GPS satellites in use"),
        ]
    return cards


def _planes(data: NDArray[Any]) -> NDArray[Any]:
    """The pixels in FITS order: colour as the slowest axis, rows as the frame has them."""
    if data.ndim == 3:
        data = np.moveaxis(data, 2, 0)
    return data


def _check_same(first: Frame, frame: Frame) -> None:
    if frame.data.shape != first.data.shape or frame.data.dtype != first.data.dtype:
        raise ValueError(
            f"every frame of a cube has the shape and type of the first: {frame.data.shape} {frame.data.dtype} "
            f"after {first.data.shape} {first.data.dtype}"
        )


Cards = Sequence[tuple[str, Any, str]]


def _header(fits: ModuleType, frame: Frame, frames: int | None, cards: Cards = ()) -> Any:
    """A primary header for one frame (frames None) or a cube of `frames` frames; `cards`
    (the target, telescope, frame type...) are added, or replace the frame's own."""
    data = frame.data
    if data.dtype not in (np.uint8, np.uint16):
        raise ValueError(f"FITS frames are uint8 or uint16, not {data.dtype}")
    shape = _planes(data[:1, :1]).shape[:-2] + data.shape[:2]  # (planes,) + (rows, columns)
    if frames is not None:
        shape = (frames, *shape)
    header = fits.Header()
    header["SIMPLE"] = (True, "conforms to FITS")
    header["BITPIX"] = (8 if data.dtype == np.uint8 else 16, "bits per stored value")
    header["NAXIS"] = len(shape)
    for axis, length in enumerate(reversed(shape), start=1):
        header[f"NAXIS{axis}"] = length
    if frames is not None:
        header["EXTEND"] = (True, "the TIMES table of frame start times follows")
    if data.dtype == np.uint16:
        header["BZERO"] = (32768, "unsigned 16-bit values")
        header["BSCALE"] = 1
    if data.ndim == 3:
        header["CTYPE3"] = ("RGB", "colour planes R, G, B")
    for key, value, comment in [*header_cards(frame.meta, data.shape[1], data.shape[0]), *cards]:
        header[key] = (value, comment)
    return header


def _stored_bytes(data: NDArray[Any]) -> bytes | memoryview:
    planes = _planes(data)
    if data.dtype == np.uint16:
        # BZERO 32768: the stored signed value is the unsigned one with its top bit flipped.
        return memoryview(np.ascontiguousarray(planes ^ np.uint16(0x8000), dtype=">u2")).cast("B")
    return memoryview(np.ascontiguousarray(planes)).cast("B")


@dataclass(slots=True)
class FitsCubeWriter:
    """Writes frames one by one into a FITS cube (NAXIS3 frames), a frame at a time.

    The header is written with the first frame and rewritten with the final count on
    close, so an interrupted recording still leaves a valid cube of the frames so far.
    Closing also appends a binary table, TIMES, with each frame's UTC start (the header's
    DATE-OBS is the first frame's). `cards` are added to the primary header.
    """

    path: str | os.PathLike[str]
    overwrite: bool = True
    cards: Cards = ()
    count: int = field(default=0, init=False)
    _starts: list[str] = field(default_factory=list, init=False, repr=False)
    _file: BinaryIO | None = field(default=None, init=False, repr=False)
    _first: Frame | None = field(default=None, init=False, repr=False)
    _end: datetime | None = field(default=None, init=False, repr=False)
    _data_start: int = field(default=0, init=False, repr=False)
    _fits: ModuleType | None = field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        self._fits = _astropy_fits()
        self._file = open(self.path, "wb" if self.overwrite else "xb")

    def write(self, frame: Frame) -> None:
        if self._file is None or self._fits is None:
            raise ValueError("the FITS file is closed")
        if self._first is None:
            self._first = frame
            self._file.write(self._header_bytes(1))
            self._data_start = self._file.tell()
        else:
            _check_same(self._first, frame)
        self._file.write(_stored_bytes(frame.data))
        self.count += 1
        self._starts.append(fits_timestamp(frame.meta.start_time))
        self._end = frame.meta.start_time + timedelta(seconds=frame.meta.exposure)

    def _header_bytes(self, frames: int) -> bytes:
        assert self._first is not None and self._fits is not None
        header = _header(self._fits, self._first, frames, self.cards)
        end = self._end or self._first.meta.start_time + timedelta(seconds=self._first.meta.exposure)
        header["DATE-END"] = (fits_timestamp(end), "end of the last exposure, UTC")
        text: str = header.tostring()  # the same length whatever the count: one card per keyword
        return text.encode("ascii")

    def _times_table(self) -> bytes:
        """The TIMES extension: frame number and UTC start of every frame in the cube."""
        assert self._fits is not None
        fits = self._fits
        starts = self._starts[: self.count]
        table = fits.BinTableHDU.from_columns([
            fits.Column(name="FRAME", format="J", array=np.arange(1, len(starts) + 1, dtype=np.int32)),
            fits.Column(name="DATE-OBS", format="23A", array=np.array(starts, dtype="S23")),
        ], name="TIMES")
        table.header["TIMESYS"] = ("UTC", "time scale of DATE-OBS")
        buffer = io.BytesIO()
        primary = fits.PrimaryHDU()
        fits.HDUList([primary, table]).writeto(buffer)
        return buffer.getvalue()[len(primary.header.tostring()):]   # the empty primary is one block

    def close(self) -> None:
        """Completes the cube; a writer that got no frame removes its empty file."""
        if self._file is None:
            return
        file, self._file = self._file, None
        if self._first is None:
            file.close()
            os.unlink(self.path)
            return
        try:
            # Whole frames only: an interrupt can land in the middle of one.
            size = self._data_start + self.count * self._first.data.nbytes
            file.flush()
            file.truncate(size)
            file.seek(size)
            file.write(b"\0" * (-size % _BLOCK))
            file.write(self._times_table())
            file.seek(0)
            file.write(self._header_bytes(self.count))
        finally:
            file.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def write_fits(path: str | os.PathLike[str], frames: Frame | Iterable[Frame], overwrite: bool = True,
               cards: Cards = ()) -> None:
    """Writes one frame as a 2-D image (3 planes for RGB24) or several as a cube; `cards`
    (key, value, comment) are added to the header, or replace the frame's own."""
    if isinstance(frames, Frame):
        header: str = _header(_astropy_fits(), frames, None, cards).tostring()  # whole blocks, END included
        data = _stored_bytes(frames.data)
        with open(path, "wb" if overwrite else "xb") as file:
            file.write(header.encode("ascii"))
            file.write(data)
            file.write(b"\0" * (-len(data) % _BLOCK))
        return
    remaining = iter(frames)
    first = next(remaining, None)
    if first is None:
        raise ValueError("no frames to write")
    with FitsCubeWriter(path, overwrite, cards) as writer:
        writer.write(first)
        for frame in remaining:
            writer.write(frame)
