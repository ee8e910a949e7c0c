"""FITS and SER files read back by independent readers: astropy for FITS, a struct-based
reader written from the SER description for SER."""
import os
import re
import time
from datetime import UTC, datetime, timedelta, timezone

import numpy as np
import pytest
from astropy.io import fits as afits

from files_support import START, Roi, frame, net_ticks, noise, read_ser
from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.files.fits import FitsCubeWriter, write_fits
from vorrant.orlicam.files.ser import Finished, SerWriter, finish_ser, read_ser as read_ser_back, write_ser


def as_picture(hdu):
    """The stored array with colour last (rows are stored top-down, as the frame has them)."""
    data = hdu.data
    assert hdu.header["ROWORDER"] == "TOP-DOWN"
    return np.moveaxis(data, -3, -1) if hdu.header.get("CTYPE3") == "RGB" else data


@pytest.mark.parametrize("dtype, shape, bitpix", [
    (np.uint8, (6, 10), 8), (np.uint16, (7, 12), 16), (np.uint8, (5, 4, 3), 8),
], ids=["RAW8", "RAW16", "RGB24"])
def test_fits_round_trip_is_exact(tmp_path, dtype, shape, bitpix):
    data = noise(shape, dtype)
    write_fits(tmp_path / "f.fits", frame(data))
    with afits.open(tmp_path / "f.fits") as hdul:
        assert len(hdul) == 1 and hdul[0].header["BITPIX"] == bitpix
        assert hdul[0].header["NAXIS"] == len(shape)
        back = as_picture(hdul[0])
        assert back.dtype == dtype and back.shape == shape
        np.testing.assert_array_equal(back, data)
        if dtype == np.uint16:
            assert (hdul[0].header["BZERO"], hdul[0].header["BSCALE"]) == (32768, 1)
        else:
            assert "BZERO" not in hdul[0].header


def test_fits_header_carries_the_frame_metadata(tmp_path):
    roi = Roi(10, 4, 6, 4, 2, "RAW16")
    write_fits(tmp_path / "f.fits", frame(np.zeros((4, 6), np.uint16), roi=roi, exposure=0.0125, gain=250,
                                         offset=30, temperature=-9.8, target_temperature=-10.0, cooled=True,
                                         camera_name="ZWO ASI294MM Pro GPS Simulator", serial="00aa11bb22cc33dd",
                                         e_per_adu=0.9, pixel_size=4.63, dark=True))
    header = afits.getheader(tmp_path / "f.fits")
    assert {k: header[k] for k in (
        "SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "DATE-OBS", "TIMESYS", "EXPTIME", "EXPOSURE", "GAIN",
        "OFFSET", "EGAIN", "CCD-TEMP", "SET-TEMP", "XBINNING", "YBINNING", "XPIXSZ", "YPIXSZ", "XORGSUBF",
        "YORGSUBF", "INSTRUME", "CAMSER", "IMAGETYP", "ROWORDER")} == {
        "SIMPLE": True, "BITPIX": 16, "NAXIS": 2, "NAXIS1": 6, "NAXIS2": 4, "DATE-OBS": "2026-12-07T10:50:08.123",
        "TIMESYS": "UTC", "EXPTIME": 0.0125, "EXPOSURE": 0.0125, "GAIN": 250, "OFFSET": 30,
        "EGAIN": pytest.approx(0.9 / 10**1.25 / 16 * 4, rel=1e-6),   # 25 dB, 12 bits at the top of 16, bin 2
        "CCD-TEMP": -9.8, "SET-TEMP": -10.0, "XBINNING": 2, "YBINNING": 2, "XPIXSZ": 9.26, "YPIXSZ": 9.26,
        "XORGSUBF": 10, "YORGSUBF": 4, "INSTRUME": "ZWO ASI294MM Pro GPS Simulator", "CAMSER": "00aa11bb22cc33dd",
        "IMAGETYP": "Dark Frame", "ROWORDER": "TOP-DOWN"}
    assert header["SWCREATE"].startswith("orlicam")


@pytest.mark.parametrize("pixel, bin, binned", [(2.4, 3, 7.2), (5.86, 3, 17.58), (4.63, 2, 9.26), (3.75, 4, 15.0)])
def test_fits_binned_pixel_size_is_the_decimal_product(tmp_path, pixel, bin, binned):
    write_fits(tmp_path / "f.fits", frame(np.zeros((2, 2), np.uint8), pixel_size=pixel, roi=Roi(0, 0, 2, 2, bin, "RAW8")))
    header = afits.getheader(tmp_path / "f.fits")
    assert (header["XPIXSZ"], header["YPIXSZ"], header["XBINNING"], header["YBINNING"]) == (binned, binned, bin, bin)


@pytest.mark.parametrize("shape, changes, absent", [
    ((4, 4), dict(bayer_pattern=None), {"BAYERPAT", "XBAYROFF", "YBAYROFF"}),
    ((4, 4, 3), {}, {"BAYERPAT", "XBAYROFF", "YBAYROFF"}),
    ((4, 4), dict(roi=Roi(0, 0, 4, 4, 1, "Y8")), {"BAYERPAT", "XBAYROFF", "YBAYROFF"}),
    ((4, 4), dict(cooled=False, target_temperature=None), {"SET-TEMP"}),
    ((4, 4), dict(gps=None), {"SITELAT", "SITELONG", "SITEELEV"}),
    ((4, 4), dict(gain=None, offset=None, temperature=None, serial=None), {"GAIN", "OFFSET", "CCD-TEMP", "CAMSER"}),
], ids=["mono", "rgb24", "y8", "uncooled", "no-gps", "no-readings"])
def test_fits_header_leaves_out_what_the_camera_does_not_have(tmp_path, shape, changes, absent):
    write_fits(tmp_path / "f.fits", frame(np.zeros(shape, np.uint8), **changes))
    header = afits.getheader(tmp_path / "f.fits")
    assert absent.isdisjoint(header) and header["IMAGETYP"] == "Light Frame"


# Each pixel holds its filter's colour (1 R, 2 G, 3 B); the frame's pattern is read from its
# top-left pixel. What the file states must match what the stored array's first 2x2 pixels hold.
@pytest.mark.parametrize("pattern", ["RGGB", "BGGR", "GRBG", "GBRG"])
@pytest.mark.parametrize("height", [6, 7, 2, 5])
def test_fits_bayer_pattern_describes_the_stored_array(tmp_path, pattern, height):
    code = {"R": 1, "G": 2, "B": 3}
    rows, cols = np.indices((height, 8))
    mosaic = np.array([code[c] for c in pattern], np.uint8)[(rows % 2) * 2 + cols % 2]
    write_fits(tmp_path / "f.fits", frame(mosaic, roi=Roi(0, 0, 8, height, 1, "RAW8"), bayer_pattern=pattern))
    with afits.open(tmp_path / "f.fits") as hdul:
        stored, header = hdul[0].data, hdul[0].header
        letters = "".join("_RGB"[v] for v in stored[:2, :2].ravel())
        assert (header["BAYERPAT"], header["XBAYROFF"], header["YBAYROFF"]) == (letters, 0, 0)


def test_fits_gps_position_and_time_from_the_camera(tmp_path, opened):
    opened(1)
    simulator.set_gps_fix(1, True)
    simulator.set_gps_position(1, 48.1234567, -11.5, 523)
    gps, _ = korvi.gps_get_data(1)
    write_fits(tmp_path / "f.fits", frame(np.zeros((4, 4), np.uint16), gps=gps))
    header = afits.getheader(tmp_path / "f.fits")
    assert (header["SITELAT"], header["SITELONG"], header["SITEELEV"]) == (48.1234567, -11.5, 523)
    assert header["GPSSATS"] == gps.satellite_num > 0
    assert "GPS" in header.comments["DATE-OBS"]


def test_fits_cube_round_trip_with_time_span(tmp_path):
    frames = [frame(noise((5, 6), np.uint16, seed=i), start_time=START + timedelta(seconds=i), index=i)
              for i in range(3)]
    write_fits(tmp_path / "cube.fits", frames)
    with afits.open(tmp_path / "cube.fits") as hdul:
        header = hdul[0].header
        assert (header["NAXIS"], header["NAXIS3"]) == (3, 3)
        assert header["DATE-OBS"] == "2026-12-07T10:50:08.123"
        assert header["DATE-END"] == "2026-12-07T10:50:10.373"  # last start + 0.25 s
        np.testing.assert_array_equal(as_picture(hdul[0]), np.stack([f.data for f in frames]))


def test_fits_cube_cut_short_holds_the_frames_written(tmp_path):
    frames = [frame(noise((4, 4, 3), np.uint8, seed=i)) for i in range(2)]
    with pytest.raises(KeyboardInterrupt):
        with FitsCubeWriter(tmp_path / "cube.fits") as writer:
            for f in frames:
                writer.write(f)
            raise KeyboardInterrupt
    with afits.open(tmp_path / "cube.fits") as hdul:
        assert hdul[0].data.shape == (2, 3, 4, 4)
        np.testing.assert_array_equal(as_picture(hdul[0]), np.stack([f.data for f in frames]))


def test_fits_cube_refuses_a_frame_of_another_shape(tmp_path):
    with pytest.raises(ValueError, match=r"^every frame of a cube has the shape and type of the first: "
                                         r"\(4, 5\) uint8 after \(4, 4\) uint8$"):
        write_fits(tmp_path / "c.fits", [frame(np.zeros((4, 4), np.uint8)), frame(np.zeros((4, 5), np.uint8))])


# --- SER -------------------------------------------------------------------------------

@pytest.fixture
def india_time(monkeypatch):
    """Local time 5 h 30 min ahead of UTC (no summer time), so local and UTC differ in the header."""
    monkeypatch.setenv("TZ", "IST-5:30")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize("dtype, shape, fmt, pattern, color_id, depth", [
    (np.uint8, (6, 10), "RAW8", None, 0, 8),
    (np.uint16, (4, 8), "RAW16", None, 0, 16),
    (np.uint16, (4, 8), "RAW16", "RGGB", 8, 16),
    (np.uint8, (4, 8), "RAW8", "GRBG", 9, 8),
    (np.uint8, (4, 8), "RAW8", "GBRG", 10, 8),
    (np.uint16, (4, 8), "RAW16", "BGGR", 11, 16),
    (np.uint8, (4, 8), "Y8", "RGGB", 0, 8),  # luminance of a colour camera
    (np.uint8, (3, 5, 3), "RGB24", "RGGB", 100, 8),
])
def test_ser_header_frames_and_trailer(tmp_path, india_time, dtype, shape, fmt, pattern, color_id, depth):
    frames = [frame(noise(shape, dtype, seed=i), roi=Roi(0, 0, shape[1], shape[0], 1, fmt), bayer_pattern=pattern,
                    start_time=START + timedelta(milliseconds=40 * i), index=i) for i in range(4)]
    assert write_ser(tmp_path / "v.ser", frames, observer="Ann", telescope="C8") == 4
    head, back, trailer = read_ser(tmp_path / "v.ser")
    local = START.replace(tzinfo=None) + timedelta(hours=5, minutes=30)
    assert head == {
        "file_id": b"LUCAM-RECORDER", "lu_id": 0, "color_id": color_id, "little_endian": 0, "width": shape[1],
        "height": shape[0], "depth": depth, "frame_count": 4, "observer": b"Ann".ljust(40, b"\0"),
        "instrument": b"ZWO ASI462MC Simulator".ljust(40, b"\0"), "telescope": b"C8".ljust(40, b"\0"),
        "date_time": net_ticks(local), "date_time_utc": net_ticks(START)}
    for got, f in zip(back, frames, strict=True):
        np.testing.assert_array_equal(got, f.data)
    assert trailer == [net_ticks(START + timedelta(milliseconds=40 * i)) for i in range(4)]
    assert trailer[0] == 639_322_374_081_234_560  # 2026-12-07T10:50:08.123456Z


def test_ser_cut_short_is_readable_with_the_frames_so_far(tmp_path):
    frames = [frame(noise((4, 6), np.uint16, seed=i)) for i in range(3)]
    writer = SerWriter(tmp_path / "v.ser")
    for f in frames:
        writer.write(f)
    head, back, trailer = read_ser(tmp_path / "v.ser")  # as a killed process leaves it
    assert head["frame_count"] == 3 and trailer is None
    for got, f in zip(back, frames, strict=True):
        np.testing.assert_array_equal(got, f.data)
    writer.close()
    writer.close()
    assert read_ser(tmp_path / "v.ser")[2] == [net_ticks(START)] * 3
    with pytest.raises(ValueError, match="^the SER file is closed$"):
        writer.write(frames[0])


def test_ser_text_fields_are_cut_to_40_bytes_and_frames_must_match(tmp_path):
    with SerWriter(tmp_path / "v.ser", observer="O" * 50, instrument="Ä camera") as writer:
        writer.write(frame(np.zeros((2, 2), np.uint8)))
        with pytest.raises(ValueError, match=r"^every frame of a SER file has the shape and type of the first: "
                                             r"\(2, 2\) uint16 after \(2, 2\) uint8$"):
            writer.write(frame(np.zeros((2, 2), np.uint16)))
    head, back, _ = read_ser(tmp_path / "v.ser")
    assert (head["observer"], head["instrument"][:9], head["frame_count"]) == (b"O" * 40, b"? camera\0", 1)


def scene(shape, seed=0):
    """Frames of a smooth scene with sensor noise, as 16-bit data."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[: shape[-2], : shape[-1]]
    return (1000 + 20 * x + 10 * y + rng.normal(0, 15, shape)).astype(np.uint16)


@pytest.mark.parametrize("flag, order, data", [
    (0, "<", scene((3, 6, 10))),   # ours, as the first writers and Siril have it
    (1, "<", scene((3, 6, 10))),   # the published description's reading (our earlier files)
    (1, ">", scene((3, 6, 10))),
    (0, ">", scene((3, 6, 10))),
    (0, "<", noise((3, 6, 10), np.uint16)),   # nothing to judge by: the flag as Siril reads it
])
def test_ser_reader_takes_16_bit_files_of_either_byte_order_convention(tmp_path, flag, order, data):
    write_ser(tmp_path / "v.ser", [frame(d) for d in data])
    raw = bytearray((tmp_path / "v.ser").read_bytes())
    raw[22:26] = flag.to_bytes(4, "little")
    pixels = slice(178, 178 + data.nbytes)
    raw[pixels] = data.astype(f"{order}u2").tobytes()
    (tmp_path / "v.ser").write_bytes(raw)
    video = read_ser_back(tmp_path / "v.ser")
    assert video.byte_order == order
    np.testing.assert_array_equal(video.frames, data)


@pytest.mark.parametrize("cut", ["between frames", "within a frame", "no times kept"])
def test_ser_finish_keeps_every_whole_frame_with_its_time(tmp_path, cut):
    path, side = tmp_path / "v.ser", tmp_path / "v.ser.times"
    data = scene((3, 4, 6))
    write_ser(path, [frame(d, start_time=START + timedelta(seconds=i)) for i, d in enumerate(data)])
    raw = path.read_bytes()
    # As a kill leaves it: no trailer, the times beside; within a frame, the next one's time is
    # kept and its frame only begun.
    path.write_bytes(raw[:-24] + (b"\x07" * 20 if cut == "within a frame" else b""))
    side.write_bytes(raw[-24:] + (b"\x01" * 8 if cut == "within a frame" else b""))
    if cut == "no times kept":
        side.unlink()
        with pytest.raises(ValueError, match=f"^{path}: no v.ser.times beside it: the frame times of this "
                                             "recording are lost$"):
            finish_ser(path)
        return
    assert finish_ser(path) == Finished(3, START, START + timedelta(seconds=2), already=False)
    assert path.read_bytes() == raw and not side.exists()
    assert finish_ser(path) == Finished(3, START, START + timedelta(seconds=2), already=True)


def test_ser_finish_refuses_a_recording_still_being_written(tmp_path):
    path = tmp_path / "v.ser"
    with SerWriter(path) as writer:
        writer.write(frame(scene((4, 6)), start_time=START))
        before = path.read_bytes()
        with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: still being recorded by .+ \\(pid {os.getpid()}\\): "
                                             "stop the recording first"):
            finish_ser(path)
        assert path.read_bytes() == before and (tmp_path / "v.ser.times").exists()
        writer.write(frame(scene((4, 6)), start_time=START + timedelta(seconds=1)))
    assert read_ser_back(path).utc_times() == [START, START + timedelta(seconds=1)]


def test_ser_timestamps_keep_microseconds_across_zones():
    from vorrant.orlicam.files.ser import ticks
    moment = datetime(2000, 1, 1, 12, 0, 0, 1, tzinfo=UTC)
    assert ticks(moment) == 630_823_248_000_000_010
    assert ticks(moment.astimezone(timezone(timedelta(hours=-5)))) == ticks(moment)


def test_fits_keeps_an_existing_file_unless_told_to_overwrite(tmp_path):
    (tmp_path / "f.fits").write_bytes(b"keep")
    for frames in (frame(np.zeros((2, 2), np.uint8)), [frame(np.zeros((2, 2), np.uint8))]):
        with pytest.raises(FileExistsError):
            write_fits(tmp_path / "f.fits", frames, overwrite=False)
    assert (tmp_path / "f.fits").read_bytes() == b"keep"


def test_writers_that_got_no_frame_leave_no_file(tmp_path):
    SerWriter(tmp_path / "v.ser").close()
    FitsCubeWriter(tmp_path / "c.fits").close()
    assert list(tmp_path.iterdir()) == []
