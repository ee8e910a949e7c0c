"""Frames built by hand, and a SER reader written from the format's published layout."""
import struct
from datetime import UTC, datetime

import numpy as np

from vorrant.orlicam.camera.frames import Frame, FrameMeta, Roi

START = datetime(2026, 12, 7, 10, 50, 8, 123456, tzinfo=UTC)


def meta(**changes):
    values = dict(
        camera_name="ZWO ASI462MC Simulator", camera_index=0, camera_id=0, serial="0123456789abcdef",
        exposure=0.25, gain=120, offset=8, temperature=21.5, target_temperature=None, cooled=False,
        roi=Roi(0, 0, 8, 6, 1, "RAW16"), bayer_pattern="RGGB", bit_depth=12, pixel_size=2.9,
        e_per_adu=3.6, start_time=START, gps=None, dark=False, index=0,
    )
    values.update(changes)
    return FrameMeta(**values)


def frame(data, **changes):
    data = np.asarray(data)
    fmt = {(np.uint8, 2): "RAW8", (np.uint16, 2): "RAW16", (np.uint8, 3): "RGB24"}[(data.dtype.type, data.ndim)]
    roi = changes.pop("roi", Roi(0, 0, data.shape[1], data.shape[0], 1, fmt))
    return Frame(data, meta(roi=roi, **changes))


def noise(shape, dtype, seed=1):
    info = np.iinfo(dtype)
    return np.random.default_rng(seed).integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)


# SER: 178-byte header, little-endian fields at fixed offsets.
SER_FIELDS = [  # (name, offset, struct code)
    ("file_id", 0, "14s"), ("lu_id", 14, "<i"), ("color_id", 18, "<i"), ("little_endian", 22, "<i"),
    ("width", 26, "<i"), ("height", 30, "<i"), ("depth", 34, "<i"), ("frame_count", 38, "<i"),
    ("observer", 42, "40s"), ("instrument", 82, "40s"), ("telescope", 122, "40s"),
    ("date_time", 162, "<q"), ("date_time_utc", 170, "<q"),
]


def read_ser(path, killed=False):
    """(header dict, list of frames as arrays, list of trailer ticks or None). `killed`: the
    writer may have died in the middle of the next frame, whose bytes then follow the frames
    that FrameCount counts and are no trailer."""
    raw = open(path, "rb").read()
    head = {name: struct.unpack_from(code, raw, offset)[0] for name, offset, code in SER_FIELDS}
    planes = 3 if head["color_id"] in (100, 101) else 1
    size = 1 if head["depth"] <= 8 else 2
    # LittleEndian as the first writers and Siril read it: 0 for little-endian 16-bit data.
    dtype = np.dtype("u1") if size == 1 else np.dtype("<u2" if head["little_endian"] == 0 else ">u2")
    shape = (head["height"], head["width"]) + ((3,) if planes == 3 else ())
    frame_bytes = head["width"] * head["height"] * planes * size
    frames = [np.frombuffer(raw, dtype, count=frame_bytes // size, offset=178 + i * frame_bytes).reshape(shape)
              for i in range(head["frame_count"])]
    end = 178 + head["frame_count"] * frame_bytes
    trailer = raw[end:]
    if not trailer or killed and len(trailer) != 8 * head["frame_count"]:
        return head, frames, None
    assert len(trailer) == 8 * head["frame_count"], f"trailer of {len(trailer)} bytes"
    return head, frames, list(struct.unpack(f"<{head['frame_count']}q", trailer))


def net_ticks(moment):
    """100 ns units since 0001-01-01, counted with integer datetime arithmetic."""
    epoch = datetime(1, 1, 1, tzinfo=moment.tzinfo)
    return (moment - epoch) // (datetime(1, 1, 1, 0, 0, 0, 1) - datetime(1, 1, 1)) * 10


def read_grey_bmp(path):
    raw = open(path, "rb").read()
    magic, size, _, _, offset = struct.unpack_from("<2sIHHI", raw, 0)
    header, width, height, planes, bits, compression, _, _, _, used, _ = struct.unpack_from("<IiiHHIIiiII", raw, 14)
    assert (magic, size, header, planes, bits, compression) == (b"BM", len(raw), 40, 1, 8, 0)
    palette = np.frombuffer(raw, np.uint8, count=4 * (used or 256), offset=54).reshape(-1, 4)
    stride = (width + 3) // 4 * 4
    rows = np.frombuffer(raw, np.uint8, count=stride * abs(height), offset=offset).reshape(abs(height), stride)
    pixels = palette[rows[:, :width], 1]  # grey: any channel
    return pixels[::-1] if height > 0 else pixels, palette
