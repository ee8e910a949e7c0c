"""SER video files (the planetary-imaging sequence format), written frame by frame.

Layout: a 178-byte little-endian header, the frames as they are (rows top-down, as the
format wants: its first pixel is the upper left one), then a trailer of one 64-bit UTC
time stamp per frame. Times are .NET ticks: 100 ns units since 0001-01-01 00:00.

The LittleEndian header field: we follow the format's published description, 1 for
little-endian 16-bit data, and write 16-bit data little-endian. (Some early writers set 0
for little-endian data; readers that go by the description would then swap the bytes.)

The file stays readable if the recording is cut short: the frame count in the header
is brought up to date after every frame (the trailer is optional), and close() writes
the trailer; an interrupted process still runs close() on its way out. An existing file
is refused unless the writer is told to overwrite it; a file removed or replaced during
the recording ends it with an error; a failed write names the file.
"""
from __future__ import annotations

import os
import struct
from array import array
from collections.abc import Iterable
from datetime import UTC, datetime
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self

import numpy as np

from .outputs import OutputFile

if TYPE_CHECKING:
    from ..camera.frames import Frame

__all__ = ["SerWriter", "write_ser", "ticks", "HEADER_SIZE"]

HEADER_SIZE = 178
FILE_ID = b"LUCAM-RECORDER"
LITTLE_ENDIAN_FLAG = 1  # see the module docstring
_HEADER = struct.Struct("<14s7i40s40s40sqq")
_COUNT_OFFSET = 38  # FrameCount: after FileID, LuID, ColorID, LittleEndian, Width, Height, Depth
_TEXT = 40

_EPOCH_UTC = datetime(1, 1, 1, tzinfo=UTC)
_EPOCH = datetime(1, 1, 1)

# ColorID by image format and Bayer pattern.
MONO, RGB = 0, 100
_BAYER = {"RGGB": 8, "GRBG": 9, "GBRG": 10, "BGGR": 11}


def ticks(moment: datetime) -> int:
    """A time as .NET ticks: UTC for an aware time, wall-clock for a naive one."""
    delta = moment - (_EPOCH if moment.tzinfo is None else _EPOCH_UTC)
    return (delta.days * 86_400 + delta.seconds) * 10_000_000 + delta.microseconds * 10


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
    """

    __slots__ = ("path", "observer", "instrument", "telescope", "count",
                 "_out", "_shape", "_dtype", "_frame_bytes", "_times")

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
        out = self._out
        if out is None:
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
        out.write_at(np.ascontiguousarray(data, dtype=data.dtype.newbyteorder("<")).data,
                     HEADER_SIZE + self.count * self._frame_bytes)
        self._times.append(ticks(frame.meta.start_time))
        self.count += 1
        out.write_at(struct.pack("<i", self.count), _COUNT_OFFSET)

    def close(self) -> None:
        """Writes the trailer of time stamps and closes the file (a second call does nothing).
        A writer that got no frame removes its empty file: there is no header to give it."""
        out, self._out = self._out, None
        if out is None:
            return
        if self._shape is None:
            out.discard()
            return
        try:
            # Whole frames only: an interrupt can land in the middle of one.
            end = HEADER_SIZE + self.count * self._frame_bytes
            out.truncate(end)
            out.write_at(struct.pack("<i", self.count), _COUNT_OFFSET)
            out.write_at(np.asarray(self._times[: self.count], dtype="<i8").tobytes(), end)
        finally:
            out.close()

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
