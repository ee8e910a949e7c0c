"""Exposures through INDI, read back with astropy: shapes, headers, pixels, frames, binning, abort."""
import contextlib
import io
import time
from datetime import datetime, timezone

import numpy as np
import pytest
from astropy.io import fits

from indi_support import COLOUR, MONO, Client
from vorrant.orlicam import Camera

SENSOR = {COLOUR: (1936, 1096), MONO: (4144, 2822)}


@contextlib.contextmanager
def here(client: Client, device: str, index: int):
    """The device's camera opened in this process: the driver lets go of it meanwhile, as
    one program at a time has a camera."""
    assert client.set_and_wait(device, "CONNECTION", states=("Idle", "Ok"), CONNECT="Off", DISCONNECT="On") != "Alert"
    try:
        with Camera(index) as cam:
            yield cam
    finally:
        client.connect(device)


def frame(client: Client, device: str, binning: int, x: int, y: int, w: int, h: int, seconds: float = 0.01):
    assert client.set_and_wait(device, "CCD_BINNING", HOR_BIN=binning, VER_BIN=binning) == "Ok"
    assert client.set_and_wait(device, "CCD_FRAME", X=x, Y=y, WIDTH=w, HEIGHT=h) == "Ok"
    with fits.open(io.BytesIO(client.expose(device, seconds))) as hdus:
        assert len(hdus) == 1
        return hdus[0].header, hdus[0].data.copy()


@pytest.mark.parametrize("device,index", [(COLOUR, 0), (MONO, 1)])
def test_full_frame_is_16_bit_2d_with_the_field_keywords_and_the_camera_layers_pixels(cams, device, index):
    header, data = frame(cams, device, 1, 0, 0, *SENSOR[device], seconds=0.05)
    with here(cams, device, index) as cam:
        cam.set_roi(image_format="RAW16")
        reference = cam.capture(0.05).data
        gain, offset = cam.gain, cam.offset
    assert (header["BITPIX"], header["NAXIS"], data.shape, data.dtype) == (16, 2, reference.shape, np.uint16)
    assert header["EXPTIME"] == pytest.approx(0.05)
    assert (header["XBINNING"], header["YBINNING"], header["GAIN"], header["OFFSET"]) == (1, 1, gain, offset)
    assert header["PIXSIZE1"] == pytest.approx(2.9 if index == 0 else 4.63, abs=1e-4)
    assert header["INSTRUME"] == device and header["IMAGETYP"] == "Light Frame" and header["ROWORDER"] == "TOP-DOWN"
    assert -30 < header["CCD-TEMP"] < 60 and header["DATE-OBS"].startswith(time.strftime("%Y-"))
    assert len(header["CAMSER"]) == 16
    if device == COLOUR:
        assert (header["BAYERPAT"], header["XBAYROFF"], header["YBAYROFF"]) == ("RGGB", 0, 0)
    else:
        assert "BAYERPAT" not in header
    # The same settings through the camera layer: the same sky, bias and noise level.
    assert data.mean() == pytest.approx(reference.mean(), rel=0.03)
    assert data.std() == pytest.approx(reference.std(), rel=0.15)


def best_shift(sub: np.ndarray, full: np.ndarray, x: int, y: int) -> tuple[int, int]:
    """The offset (dx, dy) within two pixels at which the full frame best matches the subframe."""
    h, w = sub.shape
    scores = {}
    for dy in range(-2, 3):
        for dx in range(-2, 3):
            if y + dy < 0 or x + dx < 0 or y + dy + h > full.shape[0] or x + dx + w > full.shape[1]:
                continue
            region = full[y + dy:y + dy + h, x + dx:x + dx + w].astype(float)
            scores[(dx, dy)] = np.corrcoef(region.ravel(), sub.astype(float).ravel())[0, 1]
    return max(scores, key=scores.get)


# (device, bin, asked x, y, width, height (unbinned), frame shown after, image shape)
FRAMES = [
    (COLOUR, 1, 101, 51, 203, 99, (101, 51, 203, 99), (99, 203)),            # odd: covered, cropped
    (COLOUR, 3, 0, 0, 1936, 1096, (0, 0, 1935, 1095), (365, 645)),          # 645 x 365: read at bin 1
    (MONO, 2, 0, 0, 4144, 2822, (0, 0, 4144, 2822), (1411, 2072)),          # 1411 rows: read at bin 1
    (MONO, 4, 400, 300, 1000, 600, (400, 300, 1000, 600), (150, 250)),
]


@pytest.mark.parametrize("device,binning,x,y,w,h,shown,shape", FRAMES)
def test_subframes_and_bins_the_camera_refuses_are_covered_and_cropped(cams, device, binning, x, y, w, h, shown,
                                                                      shape):
    header, sub = frame(cams, device, binning, x, y, w, h, seconds=0.3)      # stars well above the noise
    frame_now = cams.ipy[device]["CCD_FRAME"]
    assert tuple(int(frame_now[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")) == shown
    assert sub.shape == shape and (header["XBINNING"], header["YBINNING"]) == (binning, binning)
    if device == COLOUR:
        assert (header["XBAYROFF"], header["YBAYROFF"]) == ((x // binning) & 1, (y // binning) & 1)
    # Against a full frame at the same bin: the crop sits exactly where it was asked for.
    _, full = frame(cams, device, binning, 0, 0, *SENSOR[device], seconds=0.3)
    assert best_shift(sub, full, shown[0] // binning, shown[1] // binning) == (0, 0)


def test_rows_the_camera_cannot_bin_are_binned_as_it_bins(cams):
    # 2822 rows are 1411 at bin 2, an odd height the camera refuses: read at bin 1 and binned
    # here; 2820 rows it bins itself. The shared rows agree in level and in stars.
    _, here = frame(cams, MONO, 2, 0, 0, 4144, 2822, seconds=0.3)
    _, camera = frame(cams, MONO, 2, 0, 0, 4144, 2820, seconds=0.3)
    assert (here.shape, camera.shape) == ((1411, 2072), (1410, 2072))
    assert here[:1410].mean() == pytest.approx(camera.mean(), rel=0.02)
    assert np.corrcoef(here[:1410].ravel().astype(float), camera.ravel().astype(float))[0, 1] > 0.5


# (device, camera index, gain, bin, capture format)
EGAIN = [(MONO, 1, 120, 1, "RAW16"), (COLOUR, 0, 300, 2, "RAW8")]


@pytest.mark.parametrize("device,index,gain,binning,fmt", EGAIN)
def test_egain_is_the_electrons_per_adu_of_the_files_data(cams, device, index, gain, binning, fmt):
    other = "RAW8" if fmt == "RAW16" else "RAW16"
    assert cams.set_and_wait(device, "CCD_GAIN", GAIN=gain) == "Ok"
    assert cams.set_and_wait(device, "CCD_CAPTURE_FORMAT", **{fmt: "On", other: "Off"}) == "Ok"
    try:
        header, _ = frame(cams, device, binning, 0, 0, 512, 512)
    finally:
        cams.set_and_wait(device, "CCD_CAPTURE_FORMAT", RAW16="On", RAW8="Off")
        cams.set_and_wait(device, "CCD_GAIN", GAIN=0)
    with here(cams, device, index) as cam:
        cam.gain = gain
        cam.set_roi(bin=binning, image_format=fmt)
        expected = cam.electrons_per_adu
    assert header["GAIN"] == gain and header["EGAIN"] == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("during", ["exposure", "stream"])
def test_frame_and_binning_changed_meanwhile_wait_for_the_next_image(cams, during):
    frame(cams, MONO, 1, 1000, 800, 64, 64)
    if during == "exposure":
        cams.send(MONO, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=2)
        cams.wait_for(lambda: cams.ipy[MONO]["CCD_EXPOSURE"].state == "Busy", 5, "Busy")
    else:
        cams.send(MONO, "STREAMING_EXPOSURE", STREAMING_EXPOSURE_VALUE=0.02, STREAMING_DIVISOR_VALUE=1)
        assert cams.set_and_wait(MONO, "CCD_VIDEO_STREAM", states=("Busy", "Ok"), STREAM_ON="On",
                                 STREAM_OFF="Off") != "Alert"
    said_before = len(cams.messages)
    assert cams.set_and_wait(MONO, "CCD_BINNING", states=("Busy",), HOR_BIN=2, VER_BIN=2) == "Busy"
    assert cams.set_and_wait(MONO, "CCD_FRAME", states=("Busy",), X=0, Y=0, WIDTH=4144, HEIGHT=2822) == "Busy"
    # What was running keeps its own frame to the end: the exposure's image, five stream frames.
    images: list[bytes] = []
    deadline = time.monotonic() + 15
    while len(images) < (1 if during == "exposure" else 5):
        event = cams.next_event(deadline)
        assert event is not None, f"{len(images)} images; {cams.messages[-3:]}"
        if getattr(event, "devicename", None) == MONO and getattr(event, "eventtype", None) == "SetBLOB":
            images.append(event["CCD1"])
    if during == "stream":
        assert cams.set_and_wait(MONO, "CCD_VIDEO_STREAM", states=("Idle", "Ok"), STREAM_ON="Off",
                                 STREAM_OFF="On") != "Alert"
        assert {len(image) for image in images} == {64 * 64}        # 8-bit stream frames
    else:
        assert fits.open(io.BytesIO(images[0]))[0].data.shape == (64, 64)
    cams.wait_for(lambda: cams.ipy[MONO]["CCD_FRAME"].state == "Ok", 5, "the frame applied")
    assert not [text for _, text in cams.messages[said_before:] if "[ERROR]" in text]
    assert fits.open(io.BytesIO(cams.expose(MONO, 0.01)))[0].data.shape == (1411, 2072)
    frame(cams, MONO, 1, 0, 0, 4144, 2822)


@pytest.mark.parametrize("element,imagetyp", [
    ("FRAME_BIAS", "Bias Frame"), ("FRAME_DARK", "Dark Frame"), ("FRAME_FLAT", "Flat Frame"),
    ("FRAME_LIGHT", "Light Frame")])
def test_frame_type_labels_the_image(cams, element, imagetyp):
    members = {e: ("On" if e == element else "Off") for e in ("FRAME_LIGHT", "FRAME_BIAS", "FRAME_DARK", "FRAME_FLAT")}
    assert cams.set_and_wait(MONO, "CCD_FRAME_TYPE", **members) == "Ok"
    header, data = frame(cams, MONO, 4, 0, 0, 4144, 2822, seconds=0.02)
    assert header["IMAGETYP"] == imagetyp
    # A bias is the shortest exposure the camera takes; the rest as asked.
    assert header["EXPTIME"] == pytest.approx(0.000032 if element == "FRAME_BIAS" else 0.02)


def test_abort_ends_the_exposure_without_an_image_and_the_next_one_works(cams):
    frame(cams, MONO, 1, 0, 0, *SENSOR[MONO])
    cams.send(MONO, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=5)
    cams.wait_for(lambda: cams.ipy[MONO]["CCD_EXPOSURE"].state == "Busy", 5, "Busy")
    cams.send(MONO, "CCD_ABORT_EXPOSURE", ABORT="On")
    cams.wait_for(lambda: cams.ipy[MONO]["CCD_EXPOSURE"].state == "Idle", 5, "Idle after abort")
    deadline = time.monotonic() + 6
    while (event := cams.next_event(deadline)) is not None:
        assert getattr(event, "eventtype", None) != "SetBLOB", "an aborted exposure sent an image"
    assert fits.open(io.BytesIO(cams.expose(MONO, 0.01)))[0].data.shape == (2822, 4144)


# (device, property, members, what the client is told)
REFUSED = [
    (COLOUR, "CCD_GAIN", {"GAIN": float("nan")}, "CCD_GAIN refused: GAIN is nan, not a finite number"),
    (MONO, "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": float("nan")},
     "CCD_EXPOSURE refused: CCD_EXPOSURE_VALUE is nan, not a finite number"),
    (MONO, "CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE": float("inf")},
     "CCD_TEMPERATURE refused: CCD_TEMPERATURE_VALUE is inf, not a finite number"),
    (COLOUR, "CCD_GAIN", {"GAIN": 1000}, "GAIN 1000 refused: the range is 0 to 570"),
    (MONO, "CCD_OFFSET", {"OFFSET": -1}, "OFFSET -1 refused: the range is 0 to 250"),
    (COLOUR, "CCD_CONTROLS", {"Gamma": 101}, "Gamma 101 refused: the range is 1 to 100"),
    (MONO, "CCD_BINNING", {"HOR_BIN": 2, "VER_BIN": 1}, "binning 2x1 refused: the camera bins both axes alike"),
    (MONO, "CCD_FRAME", {"X": 4000, "Y": 0, "WIDTH": 400, "HEIGHT": 100},
     "frame (4000,0) 400x100 refused: it must lie inside the 4144x2822 sensor"),
    (MONO, "CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE": -45}, "Bad temperature value! Range is [-40.0, 30.0]"),
    # libindi 1.9.9 crashed echoing a text of ~64 KB back through indiserver.
    (COLOUR, "FITS_HEADER", {"FITS_OBJECT": "M" * 70000},
     "FITS_HEADER refused: FITS_OBJECT is 70000 characters long; the limit is 4096"),
]


@pytest.mark.parametrize("device,name,members,told", REFUSED, ids=[r[1] for r in REFUSED])
def test_bad_values_are_refused_by_the_property(cams, device, name, members, told):
    before = dict(cams.ipy[device][name])
    assert cams.set_and_wait(device, name, **members) == "Alert"
    cams.wait_for(lambda: told in cams.said(device) or told in str(cams.ipy[device][name].message), 5, told)
    if name not in ("CCD_BINNING",):
        assert dict(cams.ipy[device][name]) == before


@pytest.mark.parametrize("fix,source", [("FIX_ON", "camera GPS"), ("FIX_OFF", None)])
def test_date_obs_comes_from_the_gps_when_it_has_a_fix(cams, fix, source):
    members = {"FIX_ON": "On" if fix == "FIX_ON" else "Off", "FIX_OFF": "On" if fix == "FIX_OFF" else "Off"}
    assert cams.set_and_wait(MONO, "SIM_GPS_FIX", **members) == "Ok"
    asked = time.time()
    header, _ = frame(cams, MONO, 4, 0, 0, *SENSOR[MONO], seconds=0.01)
    start = datetime.fromisoformat(header["DATE-OBS"]).replace(tzinfo=timezone.utc).timestamp()
    assert abs(start - asked) < 2
    comment = header.comments["DATE-OBS"]
    assert (source in comment) if source else ("GPS" not in comment), (header["DATE-OBS"], comment)
