"""SER video files (the planetary-imaging sequence format): written frame by frame, read back.

Layout: a 178-byte little-endian header, the frames as they are (rows top-down, as the
format wants: its first pixel is the upper left one), then a trailer of one 64-bit UTC
time stamp per frame. Times are .NET ticks: 100 ns units since 0001-01-01 00:00.

16-bit data is written little-endian with the header's LittleEndian field at 0. The
format's published description says 1 for little-endian data, but the first SER writers
set 0 for it, and the programs people stack with (Siril among them) read the field their
way: a file written by the description comes out byte-swapped there. The reader here takes
both: it looks at the pixels (see `byte_order`).

A recording survives a killed process: the frame count in the header is brought up to
date after every frame, and each frame's time goes to NAME.ser.times (little-endian int64
ticks, one per frame) before the frame itself, so every whole frame has its time on disk.
close() writes the trailer and removes NAME.ser.times; after a kill, finish_ser() (the
`orlicam ser-finish` command) does the same from what was kept. The writer holds the lock
of NAME.ser.times while it records (the system lets it go when the writer ends, however
it ends), so a recording still going is never finished under it. An existing file is
refused unless the writer is told to overwrite it; a file removed or replaced during the
recording ends it with an error; a failed write names the file.
"""
from __future__ import annotations

import errno
import os
import struct
from array import array
from collections.abc import Iterable
from datetime import UTC, datetime, timedelta
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple, Self

import numpy as np
from numpy.typing import NDArray

from .locks import hold, holder
from .outputs import OutputFile

if TYPE_CHECKING:
    from ..camera.frames import Frame

__all__ = ["SerWriter", "write_ser", "ticks", "from_ticks", "HEADER_SIZE", "SerVideo", "read_ser", "byte_order",
           "times_path", "finish_ser", "Finished", "StillRecording"]

HEADER_SIZE = 178
FILE_ID = b"LUCAM-RECORDER"
LITTLE_ENDIAN_FLAG = 0  # little-endian 16-bit data, as the first writers and Siril have it (module docstring)
_HEADER = struct.Struct("<14s7i40s40s40sqq")
_COUNT_OFFSET = 38  # FrameCount: after FileID, LuID, ColorID, LittleEndian, Width, Height, Depth
_TEXT = 40
TIMES_SUFFIX = ".times"

_EPOCH_UTC = datetime(1, 1, 1, tzinfo=UTC)
_EPOCH = datetime(1, 1, 1)

# ColorID by image format and Bayer pattern.
MONO, RGB, BGR = 0, 100, 101
_BAYER = {"RGGB": 8, "GRBG": 9, "GBRG": 10, "BGGR": 11}


def ticks(moment: datetime) -> int:
    """A time as .NET ticks: UTC for an aware time, wall-clock for a naive one."""
    delta = moment - (_EPOCH if moment.tzinfo is None else _EPOCH_UTC)
    return (delta.days * 86_400 + delta.seconds) * 10_000_000 + delta.microseconds * 10


def from_ticks(value: int) -> datetime:
    """The UTC time of .NET ticks (to the microsecond)."""
    return _EPOCH_UTC + timedelta(microseconds=value // 10)


def times_path(path: str | os.PathLike[str]) -> Path:
    """NAME.ser.times: the frame times of a recording still going (or killed)."""
    path = Path(path)
    return path.with_name(path.name + TIMES_SUFFIX)


def _colour_id(frame: Frame) -> int:
    meta = frame.meta
    if frame.data.ndim == 3:
        return RGB
    if meta.bayer_pattern is not None and meta.roi.image_format in ("RAW8", "RAW16"):
        return _BAYER[meta.bayer_pattern]  # the pattern from the frame's first pixel, as SER wants it
    return MONO


def _text(value: str) -> bytes:
    return value.encode("ascii", "replace")[:_TEXT]


class SerWriter:
    """Streams frames into a SER file: `with SerWriter(path) as ser: ser.write(frame)`.

    Every frame must have the shape and type of the first. observer, instrument (the
    camera's name by default) and telescope go into the header's 40-byte text fields.
    NAME.ser.times holds the frame times until close() puts them in the trailer.
    """

    __slots__ = ("path", "observer", "instrument", "telescope", "count",
                 "_out", "_times_out", "_shape", "_dtype", "_frame_bytes", "_times")

    def __init__(self, path: str | os.PathLike[str], observer: str = "", instrument: str | None = None,
                 telescope: str = "", overwrite: bool = False) -> None:
        self.path = path
        self.observer = observer
        self.instrument = instrument
        self.telescope = telescope
        self.count = 0
        self._shape: tuple[int, ...] | None = None
        self._dtype: np.dtype[Any] | None = None
        self._frame_bytes = 0
        self._times = array("q")
        self._out: OutputFile | None = OutputFile(path, overwrite)
        try:
            self._times_out: OutputFile | None = OutputFile(times_path(path), overwrite)
            if self._times_out.fd is not None:
                hold(self._times_out.fd)   # a new file, so the lock is ours: ser-finish sees it taken
        except BaseException:
            self._out.discard()
            raise

    def _header(self, frame: Frame) -> bytes:
        data, meta = frame.data, frame.meta
        start = meta.start_time
        return _HEADER.pack(
            FILE_ID, 0, _colour_id(frame), LITTLE_ENDIAN_FLAG, data.shape[1], data.shape[0],
            8 * data.dtype.itemsize, 0,
            _text(self.observer), _text(meta.camera_name if self.instrument is None else self.instrument),
            _text(self.telescope), ticks(start.astimezone().replace(tzinfo=None)), ticks(start),
        )

    def write(self, frame: Frame) -> None:
        out, times = self._out, self._times_out
        if out is None or times is None:
            raise ValueError("the SER file is closed")
        out.verify()
        data = frame.data
        if self._shape is None:
            if data.dtype not in (np.uint8, np.uint16) or data.shape[2:] not in ((), (3,)):
                raise ValueError(f"SER frames are 2-D uint8/uint16 or RGB, not {data.ndim}-D {data.dtype}")
            out.write_at(self._header(frame), 0)
            self._shape, self._dtype, self._frame_bytes = data.shape, data.dtype, data.nbytes
        elif data.shape != self._shape or data.dtype != self._dtype:
            raise ValueError(f"every frame of a SER file has the shape and type of the first: "
                             f"{data.shape} {data.dtype} after {self._shape} {self._dtype}")
        stamp = ticks(frame.meta.start_time)
        # The time before the frame: a kill at any moment leaves no whole frame without its time.
        times.write_at(struct.pack("<q", stamp), 8 * self.count)
        out.write_at(np.ascontiguousarray(data, dtype=data.dtype.newbyteorder("<")).data,
                     HEADER_SIZE + self.count * self._frame_bytes)
        self._times.append(stamp)
        self.count += 1
        out.write_at(struct.pack("<i", self.count), _COUNT_OFFSET)

    def close(self) -> None:
        """Writes the trailer of time stamps and closes the file (a second call does nothing).
        A writer that got no frame removes its empty file: there is no header to give it.
        NAME.ser.times goes once the trailer is written, and stays when that fails."""
        out, self._out = self._out, None
        times, self._times_out = self._times_out, None
        if out is None or times is None:
            return
        if self._shape is None:
            out.discard()
            times.discard()
            return
        try:
            # Whole frames only: an interrupt can land in the middle of one.
            times.truncate(8 * self.count)
            end = HEADER_SIZE + self.count * self._frame_bytes
            out.truncate(end)
            out.write_at(struct.pack("<i", self.count), _COUNT_OFFSET)
            out.write_at(np.asarray(self._times[: self.count], dtype="<i8").tobytes(), end)
        except BaseException:
            times.close()
            raise
        finally:
            out.close()
        times.discard()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def write_ser(path: str | os.PathLike[str], frames: Iterable[Frame], observer: str = "",
              instrument: str | None = None, telescope: str = "", overwrite: bool = False) -> int:
    """Writes the frames to a SER file; returns how many were written. An existing file is
    refused unless `overwrite`."""
    with SerWriter(path, observer, instrument, telescope, overwrite) as writer:
        for frame in frames:
            writer.write(frame)
        return writer.count


# --- reading ---------------------------------------------------------------------------

class _Header(NamedTuple):
    file_id: bytes
    lu_id: int
    color_id: int
    little_endian: int
    width: int
    height: int
    depth: int
    frame_count: int
    observer: bytes
    instrument: bytes
    telescope: bytes
    date_time: int
    date_time_utc: int

    @property
    def planes(self) -> int:
        return 3 if self.color_id in (RGB, BGR) else 1

    @property
    def frame_bytes(self) -> int:
        return self.width * self.height * self.planes * (2 if self.depth > 8 else 1)


def _read_header(path: str | os.PathLike[str], raw: bytes) -> _Header:
    if len(raw) < HEADER_SIZE:
        raise ValueError(f"{os.fspath(path)}: not a SER file ({len(raw)} bytes, shorter than its header)")
    head = _Header(*_HEADER.unpack_from(raw))
    if not 1 <= head.depth <= 16 or head.width <= 0 or head.height <= 0:
        raise ValueError(f"{os.fspath(path)}: not a SER file (frames of {head.width}x{head.height}, "
                         f"{head.depth} bits)")
    return head


def _roughness(frame: NDArray[np.uint16]) -> float:
    """How much a pixel differs from the next one of its colour along a row (two columns on)."""
    rows = frame[:: max(1, frame.shape[0] // 64)].astype(np.int32)
    return float(np.abs(rows[:, 2:] - rows[:, :-2]).mean()) if rows.shape[1] > 2 else 0.0


def byte_order(flag: int, first: NDArray[np.uint16]) -> str:
    """'<' or '>': the byte order of 16-bit frames, `first` being a frame read little-endian.

    Writers disagree on what the LittleEndian flag means, so the pixels decide: a picture
    changes little from one pixel to the next of its colour, and read with the wrong byte
    order its noisy low byte lands on top. When the pixels cannot tell (a blank or a pure
    noise frame), the flag is read as the first writers and Siril read it: 0 little-endian."""
    straight, swapped = _roughness(first), _roughness(first.byteswap())
    if straight < swapped / 2:
        return "<"
    if swapped < straight / 2:
        return ">"
    return "<" if flag == 0 else ">"


class SerVideo(NamedTuple):
    """A SER file read back: the header, the frames (count, height, width[, 3]) in native
    byte order, and the trailer's ticks (None when the file has no trailer)."""
    header: _Header
    frames: NDArray[Any]
    times: NDArray[np.int64] | None
    byte_order: str

    def utc_times(self) -> list[datetime] | None:
        return None if self.times is None else [from_ticks(int(t)) for t in self.times]


def read_ser(path: str | os.PathLike[str]) -> SerVideo:
    """Reads a SER file: the frames its header counts, and its trailer when it has one."""
    raw = Path(path).read_bytes()
    head = _read_header(path, raw)
    size = 2 if head.depth > 8 else 1
    shape = (head.height, head.width) + ((3,) if head.planes == 3 else ())
    available = (len(raw) - HEADER_SIZE) // head.frame_bytes
    count = min(head.frame_count, available)
    data = np.frombuffer(raw, np.dtype(f"<u{size}"), count=count * head.frame_bytes // size,
                         offset=HEADER_SIZE).reshape((count, *shape))
    order = "<"
    if size == 2 and count:
        order = byte_order(head.little_endian, data[0])
        if order == ">":
            data = data.byteswap()
    frames = np.array(data, dtype=f"=u{size}")
    end = HEADER_SIZE + count * head.frame_bytes
    times = None
    if count == head.frame_count and len(raw) - end == 8 * count and count:
        times = np.frombuffer(raw, "<i8", count=count, offset=end).astype(np.int64)
    return SerVideo(head, frames, times, order)


class Finished(NamedTuple):
    frames: int          # frames in the finished file
    first: datetime | None
    last: datetime | None
    already: bool        # the file had its trailer: nothing was changed
    estimated: int = 0   # frames whose time was not kept, estimated
    estimated_from: str = ""   # how: "the frames around them" or "the file's dates"


class StillRecording(ValueError):
    """The recording is still being written: finishing it now would take its times away."""


def finish_ser(path: str | os.PathLike[str]) -> Finished:
    """Finishes a recording that was killed: sets the header's frame count and writes the
    trailer from NAME.ser.times, then removes that file. Every whole frame is kept: frames
    whose time was not kept get one estimated from the recorded ones (their spacing), or
    from the file's dates (the header's start, the last write) when fewer than two were
    kept. The times are completed and checked before the file is changed; each step leaves
    a readable file, so a second run after an interruption finishes the job. A recording
    still being written (its times file locked by the writer) is refused."""
    path = Path(path)
    side = times_path(path)
    try:
        file = open(path, "r+b")
    except OSError as error:
        raise OSError(error.errno, error.strerror, os.fspath(path)) from None
    with file:
        fd = file.fileno()
        info = os.fstat(fd)
        size = info.st_size
        head = _read_header(path, os.pread(fd, HEADER_SIZE, 0))
        fb = head.frame_bytes
        try:
            times_fd = os.open(side, os.O_RDWR | os.O_CLOEXEC)
        except FileNotFoundError:
            trailer_end = HEADER_SIZE + head.frame_count * (fb + 8)
            if size == trailer_end:
                stamps = np.frombuffer(os.pread(fd, 8 * head.frame_count, trailer_end - 8 * head.frame_count), "<i8")
                return Finished(head.frame_count, *_ends(stamps), already=True)
            raise ValueError(f"{path}: no {side.name} beside it: the frame times of this recording are lost") \
                from None
        except OSError as error:
            raise OSError(error.errno, error.strerror, os.fspath(side)) from None
        try:
            if not hold(times_fd):
                raise StillRecording(f"{path}: still being recorded by {holder(times_fd)}: stop the recording "
                                     "first (it finishes the file itself when it stops)")
            kept = _read_all(times_fd)
            stamps = np.frombuffer(kept, "<i8", count=len(kept) // 8).astype(np.int64)
            whole = (size - HEADER_SIZE) // fb
            count = min(len(stamps), whole)
            rest = size - HEADER_SIZE - count * fb
            if len(stamps) <= whole and rest <= 8 * len(stamps) \
                    and stamps.tobytes().startswith(os.pread(fd, rest, HEADER_SIZE + count * fb)):
                # The frames and nothing after them but (part of) the trailer of these times:
                # a finish cut short, or all frames with their times.
                times, estimated, how = stamps, 0, ""
            else:
                count = whole
                times, how = _complete(stamps[:count], count, head.date_time_utc, info.st_mtime_ns)
                estimated = count - min(len(stamps), count)
            if estimated:
                # Kept with the recorded ones, so that a finish cut short resumes with the same times.
                os.pwrite(times_fd, times.astype("<i8").tobytes(), 0)
                os.ftruncate(times_fd, 8 * count)
                os.fsync(times_fd)
            end = HEADER_SIZE + count * fb
            os.ftruncate(fd, end)
            os.pwrite(fd, struct.pack("<i", count), _COUNT_OFFSET)
            os.fsync(fd)
            os.pwrite(fd, times.astype("<i8").tobytes(), end)
            os.fsync(fd)
            if os.fstat(fd).st_size != end + 8 * count or os.pread(fd, 8 * count, end) != times.astype("<i8").tobytes() \
                    or struct.unpack("<i", os.pread(fd, 4, _COUNT_OFFSET))[0] != count:
                raise OSError(errno.EIO, f"the finished file does not read back as written; {side.name} is kept",
                              os.fspath(path))
        except OSError as error:
            raise OSError(error.errno, error.strerror, error.filename or os.fspath(path)) from None
        finally:
            os.close(times_fd)
    side.unlink()
    return Finished(count, *_ends(times), already=False, estimated=estimated, estimated_from=how)


def _read_all(fd: int) -> bytes:
    chunks = []
    offset = 0
    while chunk := os.pread(fd, 1 << 20, offset):
        chunks.append(chunk)
        offset += len(chunk)
    return b"".join(chunks)


def _complete(kept: NDArray[np.int64], count: int, start: int, mtime_ns: int) -> tuple[NDArray[np.int64], str]:
    """`count` times: the kept ones, then the rest estimated. With two kept or more, the
    rest follow at the median spacing of the kept ones; else they are spread evenly from
    the first kept time (or the header's start) to the file's last write."""
    times = np.empty(count, np.int64)
    times[: len(kept)] = kept
    if len(kept) == count:
        return times, ""
    after = np.arange(1, count - len(kept) + 1, dtype=np.int64)
    if len(kept) >= 2:
        step = max(0, int(np.median(np.diff(kept))))
        times[len(kept):] = kept[-1] + after * step
        return times, "the frames around them"
    last_write = ticks(datetime(1970, 1, 1, tzinfo=UTC) + timedelta(microseconds=mtime_ns // 1000))
    base = int(kept[0]) if len(kept) else start
    if base <= 0 or base > last_write:
        base = last_write
    step = (last_write - base) // count
    times[len(kept):] = base + (np.arange(len(kept), count, dtype=np.int64)) * step
    return times, "the file's dates"


def _ends(stamps: NDArray[Any]) -> tuple[datetime | None, datetime | None]:
    if not len(stamps):
        return None, None
    return from_ticks(int(stamps[0])), from_ticks(int(stamps[-1]))
