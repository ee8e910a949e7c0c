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
from datetime import UTC, datetime, timedelta
from importlib import metadata
from types import ModuleType, TracebackType
from typing import TYPE_CHECKING, Any, Self

import numpy as np
from numpy.typing import NDArray

from ..camera.sensor import electrons_per_adu
from ..camera.frames import Frame
from .outputs import OutputFile

if TYPE_CHECKING:
    from ..camera.frames import FrameMeta

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
    egain = electrons_per_adu(meta.e_per_adu, meta.bit_depth, meta.gain, meta.image_format, roi.bin)
    cards.append(("EGAIN", float(f"{egain:.7g}"), "[e-/ADU] electrons per ADU of this image"))
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


class FitsCubeWriter:
    """Writes frames one by one into a FITS cube (NAXIS3 frames, NAXIS4 for RGB).

    The file is a valid cube after every frame: each frame is written, the data padded
    to a whole block, and only then the header's frame count and DATE-END brought up to
    date, so a killed process or a full disk leaves every complete frame readable. A
    failed write names the file and leaves the frames before it as they were. An
    existing file is refused unless `overwrite`; a file removed or replaced during the
    recording ends it with an error. Closing appends a binary table, TIMES, with each
    frame's UTC start (column DATE_OBS; the header's DATE-OBS is the first frame's).
    `cards` go into the primary header.
    """

    __slots__ = ("path", "overwrite", "count", "cards", "_out", "_fits", "_first", "_frame_bytes", "_data_start",
                 "_count_card", "_end_card", "_count_at", "_end_at", "_stop", "_starts")

    def __init__(self, path: str | os.PathLike[str], overwrite: bool = False, cards: Cards = ()) -> None:
        self.path = path
        self.overwrite = overwrite
        self.cards = cards
        self.count = 0
        self._starts: list[str] = []
        self._fits = _astropy_fits()
        self._first: Frame | None = None
        self._frame_bytes = 0
        self._data_start = 0
        self._count_card = ""   # the keyword that counts the frames: NAXIS3, or NAXIS4 for RGB
        self._count_at = self._end_at = 0   # where the count and DATE-END cards are in the file
        self._end_card: Any = None
        self._stop: datetime | None = None   # the end of the last exposure written
        self._out: OutputFile | None = OutputFile(path, overwrite)

    def __repr__(self) -> str:
        return f"FitsCubeWriter({self.path!r}, count={self.count})"

    def write(self, frame: Frame) -> None:
        out = self._out
        if out is None:
            raise ValueError("the FITS file is closed")
        out.verify()
        if self._first is None:
            self._begin(frame)
        else:
            assert self._first is not None
            _check_same(self._first, frame)
        offset = self._data_start + self.count * self._frame_bytes
        end = offset + self._frame_bytes
        try:
            out.write_at(_stored_bytes(frame.data), offset)
            out.truncate(end + (-end % _BLOCK))   # zero padding to a whole block
        except BaseException:
            self._restore()
            raise
        stop = frame.meta.start_time + timedelta(seconds=frame.meta.exposure)
        out.write_at(self._card(self._end_card, fits_timestamp(stop)), self._end_at)
        out.write_at(self._card(self._count_card, self.count + 1), self._count_at)
        self._stop = stop
        self.count += 1
        self._starts[self.count - 1:] = [fits_timestamp(frame.meta.start_time)]

    def _begin(self, frame: Frame) -> None:
        """Lays out the header for this frame's shape; the data follows it."""
        header = _header(self._fits, frame, 0, self.cards)
        stop = frame.meta.start_time + timedelta(seconds=frame.meta.exposure)
        header["DATE-END"] = (fits_timestamp(stop), "end of the last exposure, UTC")
        self._count_card = f"NAXIS{header['NAXIS']}"
        keys = list(header.keys())
        self._count_at = keys.index(self._count_card) * 80
        self._end_at = keys.index("DATE-END") * 80
        self._end_card = header.cards["DATE-END"]
        text: str = header.tostring()   # whole blocks, END included
        assert self._out is not None
        self._out.write_at(text.encode("ascii"), 0)
        self._first, self._frame_bytes, self._data_start = frame, frame.data.nbytes, len(text)
        self._stop = stop

    def _card(self, like: Any, value: object) -> bytes:
        if isinstance(like, str):
            image: str = self._fits.Card(like, value).image
        else:
            image = self._fits.Card(like.keyword, value, like.comment).image
        return image.encode("ascii")

    def _restore(self) -> None:
        """After a failed write: the file back to the frames the header counts."""
        if self._out is None:
            return
        end = self._data_start + self.count * self._frame_bytes
        try:
            self._out.truncate(end)
            self._out.truncate(end + (-end % _BLOCK))
        except OSError:
            pass   # the first failure is the one to report

    def _times_table(self) -> bytes:
        """The TIMES extension: the number and UTC start of every frame in the cube."""
        fits = self._fits
        starts = self._starts[: self.count]
        table = fits.BinTableHDU.from_columns([
            fits.Column(name="FRAME", format="J", array=np.arange(1, len(starts) + 1, dtype=np.int32)),
            # Column names take letters, digits and "_" only: DATE_OBS, not the keyword's DATE-OBS.
            fits.Column(name="DATE_OBS", format="23A", array=np.array(starts, dtype="S23")),
        ], name="TIMES")
        table.header["TIMESYS"] = ("UTC", "time scale of DATE_OBS")
        buffer = io.BytesIO()
        primary = fits.PrimaryHDU()
        fits.HDUList([primary, table]).writeto(buffer)
        return buffer.getvalue()[len(primary.header.tostring()):]   # past the empty primary's one block

    def close(self) -> None:
        """Closes the file, a cube of the frames written; a writer that got no frame
        removes its file, which has no header to make it FITS."""
        out, self._out = self._out, None
        if out is None:
            return
        if self._first is None:
            out.discard()
            return
        self._out = out
        try:
            # An interrupt can land between a frame and its count: whole counted frames only.
            self._restore()
            assert self._stop is not None
            out.write_at(self._card(self._end_card, fits_timestamp(self._stop)), self._end_at)
            out.write_at(self._card(self._count_card, self.count), self._count_at)
            end = self._data_start + self.count * self._frame_bytes
            out.write_at(self._times_table(), end + (-end % _BLOCK))
        finally:
            self._out = None
            out.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def write_fits(path: str | os.PathLike[str], frames: Frame | Iterable[Frame], overwrite: bool = False,
               cards: Cards = ()) -> None:
    """Writes one frame as a 2-D image (3 planes for RGB24) or several as a cube. An
    existing file is refused unless `overwrite`. `cards` (key, value, comment) are added
    to the header, or replace the frame's own."""
    if isinstance(frames, Frame):
        header: str = _header(_astropy_fits(), frames, None, cards).tostring()  # whole blocks, END included
        data = _stored_bytes(frames.data)
        out = OutputFile(path, overwrite)
        try:
            out.write_at(header.encode("ascii"), 0)
            out.write_at(data, len(header))
            out.truncate(len(header) + len(data) + (-len(data) % _BLOCK))
        except BaseException:
            out.discard()   # half an image is no FITS file
            raise
        out.close()
        return
    remaining = iter(frames)
    first = next(remaining, None)
    if first is None:
        raise ValueError("no frames to write")
    with FitsCubeWriter(path, overwrite, cards) as writer:
        writer.write(first)
        for frame in remaining:
            writer.write(frame)
