"""Cooling, guiding, streaming to SER, and SDK failures injected in the driver's process."""
import io
import struct
import time

import numpy as np
import pytest
from astropy.io import fits

from indi_support import COLOUR, MONO, SPARE_PORT, Client, eval_until, send_xml


def image(client: Client, device: str, seconds: float) -> np.ndarray:
    with fits.open(io.BytesIO(client.expose(device, seconds))) as hdus:
        return hdus[0].data.astype(float)


def region(client: Client, device: str, x: int, y: int, w: int, h: int) -> None:
    assert client.set_and_wait(device, "CCD_BINNING", HOR_BIN=1, VER_BIN=1) == "Ok"
    assert client.set_and_wait(device, "CCD_FRAME", X=x, Y=y, WIDTH=w, HEIGHT=h) == "Ok"


def test_cooling_reaches_the_set_point_and_reports_power(cams, server):
    # The driver runs with ORLICAM_SIM_TIME_SCALE=1000: the simulated cooler takes seconds.
    assert cams.set_and_wait(MONO, "CCD_TEMPERATURE", states=("Busy",), CCD_TEMPERATURE_VALUE=-5) == "Busy"
    assert eval_until(f'"{MONO}.CCD_TEMPERATURE._STATE"==1', timeout=60), "the set point was not reached"
    cams.wait_for(lambda: cams.ipy[MONO]["CCD_TEMPERATURE"].state == "Ok", 10, "Ok")
    assert float(cams.ipy[MONO]["CCD_TEMPERATURE"]["CCD_TEMPERATURE_VALUE"]) == pytest.approx(-5, abs=0.25)
    assert cams.ipy[MONO]["CCD_COOLER"]["COOLER_ON"] == "On"
    cams.wait_for(lambda: float(cams.ipy[MONO]["CCD_COOLER_POWER"]["CCD_COOLER_VALUE"]) > 0, 5, "cooler power")
    header = fits.getheader(io.BytesIO(cams.expose(MONO, 0.01)))
    assert header["CCD-TEMP"] == pytest.approx(-5, abs=0.25)


def shift_between(before: np.ndarray, after: np.ndarray) -> tuple[float, float]:
    """(dx, dy) of the star field, to the nearest pixel: the peak of the frames' cross-correlation,
    which the bright stars dominate (the fixed pattern of the sensor stays put and peaks at zero)."""
    f = np.fft.fft2(before - np.median(before)).conj() * np.fft.fft2(after - np.median(after))
    peak = np.unravel_index(np.argmax(np.fft.ifft2(f).real), before.shape)
    dy, dx = (p if p <= n // 2 else p - n for p, n in zip(peak, before.shape))
    return dx, dy


@pytest.mark.parametrize("vector,element,expected", [
    ("TELESCOPE_TIMED_GUIDE_NS", "TIMED_GUIDE_N", (0, -10)),     # 5.03 px/s at 400 mm, 2.9 um
    ("TELESCOPE_TIMED_GUIDE_WE", "TIMED_GUIDE_W", (10, 0)),
])
def test_a_guide_pulse_moves_the_stars(cams, vector, element, expected):
    region(cams, COLOUR, 480, 300, 512, 512)
    before = image(cams, COLOUR, 0.3)
    other = {"TIMED_GUIDE_N": "TIMED_GUIDE_S", "TIMED_GUIDE_W": "TIMED_GUIDE_E"}[element]
    assert cams.set_and_wait(COLOUR, vector, states=("Busy",), **{element: 2000, other: 0}) == "Busy"
    cams.wait_for(lambda: cams.ipy[COLOUR][vector].state in ("Ok", "Idle"), 10, "the pulse's end")
    after = image(cams, COLOUR, 0.3)
    dx, dy = shift_between(before, after)
    assert abs(dx - expected[0]) <= 1 and abs(dy - expected[1]) <= 1, (dx, dy)


def test_a_stream_is_recorded_to_ser(cams, tmp_path):
    region(cams, MONO, 1000, 800, 640, 480)
    cams.send(MONO, "RECORD_FILE", RECORD_FILE_DIR=str(tmp_path), RECORD_FILE_NAME="clip")
    cams.send(MONO, "RECORD_OPTIONS", RECORD_DURATION=60, RECORD_FRAME_TOTAL=12)
    cams.send(MONO, "STREAMING_EXPOSURE", STREAMING_EXPOSURE_VALUE=0.02, STREAMING_DIVISOR_VALUE=1)
    cams.set_and_wait(MONO, "RECORD_STREAM", states=("Busy",), RECORD_ON="Off", RECORD_DURATION_ON="Off",
                      RECORD_FRAME_ON="On", RECORD_OFF="Off")
    cams.wait_for(lambda: cams.ipy[MONO]["RECORD_STREAM"]["RECORD_OFF"] == "On", 30, "the recording's end")
    cams.wait_for(lambda: cams.ipy[MONO]["CCD_VIDEO_STREAM"]["STREAM_OFF"] == "On", 10, "the stream's end")
    (path,) = tmp_path.glob("*.ser")
    raw = path.read_bytes()
    assert raw[:14] in (b"LUCAM-RECORDER", b"INDI-RECORDER\0")     # libindi's writer signs its own files
    color, little_endian, width, height, depth, count = struct.unpack_from("<7i", raw, 14)[1:]
    assert (color, width, height, depth) == (0, 640, 480, 16)
    # libindi's recorder stops at the asked total, give or take the frame in flight when it stops;
    # the header counts exactly the frames the file holds, each with its time stamp after them.
    assert count in (11, 12) and len(raw) == 178 + count * (width * height * 2 + 8)
    frames = np.frombuffer(raw, "<u2", count * width * height, 178).reshape(count, height, width)
    assert frames.std() > 0 and len(set(frames[:, 240, 320].tolist())) > 1     # moving noise, not one frame
    # Exposures work again once the stream has ended.
    assert image(cams, MONO, 0.01).shape == (480, 640)


# (device, SDK function made to fail, code, the line in the log)
FAILURES = [
    (MONO, "ASIGetExpStatus", "ASI_ERROR_TIMEOUT",
     "exposure status not read: ASI_ERROR_TIMEOUT (the frame did not arrive in time)"),
    (COLOUR, "ASIGetDataAfterExp", "ASI_ERROR_GENERAL_ERROR",
     "image not read: ASI_ERROR_GENERAL_ERROR (the camera refused the request)"),
    (COLOUR, "ASIStartExposure", "ASI_ERROR_INVALID_SEQUENCE",
     "exposure not started: ASI_ERROR_INVALID_SEQUENCE (the call does not fit the camera's state)"),
]


@pytest.mark.parametrize("device,function,code,line", FAILURES, ids=[f[1] for f in FAILURES])
def test_an_sdk_failure_is_an_alert_and_the_device_stays_usable(cams, device, function, code, line):
    region(cams, device, 0, 0, 640, 480)
    assert cams.set_and_wait(device, "SIM_FAIL_NEXT", FUNCTION=function, CODE=code, TIMES="1") == "Ok"
    cams.send(device, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.01)
    cams.wait_for(lambda: cams.ipy[device]["CCD_EXPOSURE"].state == "Alert", 10, "Alert")
    cams.wait_for(lambda: line in cams.said(device), 5, line)
    assert image(cams, device, 0.01).shape == (480, 640)


def test_a_camera_that_disappears_stays_a_device_and_is_reopened_with_its_settings(fresh_server):
    server = fresh_server()
    c = Client(port=SPARE_PORT)
    try:
        c.connect(MONO)
        c.connect(COLOUR)
        assert c.set_and_wait(MONO, "CCD_GAIN", GAIN=321) == "Ok"
        c.set_and_wait(MONO, "SIM_FAIL_NEXT", FUNCTION="ASIGetExpStatus", CODE="ASI_ERROR_CAMERA_REMOVED",
                       TIMES="1")
        c.send(MONO, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.01)
        # CONNECTION's message says it, in Alert; still there, the device finds its camera
        # again by itself (at once here: it never left), with the gain it had.
        gone = f"{MONO} is lost (ASI_ERROR_CAMERA_REMOVED"
        c.wait_for(lambda: gone in c.said(MONO), 10, gone)
        c.wait_for(lambda: f"{MONO} is back" in c.said(MONO), 10, "its return")
        c.wait_for(lambda: c.ipy[MONO]["CONNECTION"].state == "Ok", 5, "CONNECTION Ok")
        assert c.ipy[MONO]["CONNECTION"]["CONNECT"] == "On"
        assert fits.getheader(io.BytesIO(c.expose(MONO, 0.01)))["GAIN"] == 321
        assert image(c, COLOUR, 0.01).ndim == 2 and server.process.poll() is None
    finally:
        c.close()


def test_an_unplugged_camera_comes_back_by_itself_with_its_settings(fresh_server):
    # Camera 1 (the mono one) leaves the bus once its first exposure has ended, for 3 s, and
    # comes back closed, its cooler off.
    server = fresh_server(ORLICAM_SIM_FAULTS="unplug camera=1 after=1 for=3")
    c = Client(port=SPARE_PORT)
    try:
        c.connect(MONO)
        c.connect(COLOUR)
        region(c, MONO, 0, 0, 640, 480)
        assert c.set_and_wait(MONO, "CCD_GAIN", GAIN=321) == "Ok"
        c.set_and_wait(MONO, "CCD_TEMPERATURE", states=("Busy", "Ok"), CCD_TEMPERATURE_VALUE=-5)
        assert image(c, MONO, 0.01).shape == (480, 640)
        c.wait_for(lambda: c.ipy[MONO]["CONNECTION"].state == "Alert", 10, "the loss")
        assert f"{MONO} is lost (ASI_ERROR_CAMERA_REMOVED" in c.said(MONO)
        assert image(c, COLOUR, 0.01).ndim == 2               # the other camera carries on
        # Asked for while it is away, the exposure waits for it and is taken with the same gain.
        header = fits.getheader(io.BytesIO(c.expose(MONO, 0.01)))
        assert header["GAIN"] == 321 and f"{MONO} is back" in c.said(MONO)
        assert c.ipy[MONO]["CONNECTION"].state == "Ok" and c.ipy[MONO]["CONNECTION"]["CONNECT"] == "On"
        # Its cooler, off on its return, holds the set point again.
        c.wait_for(lambda: abs(float(c.ipy[MONO]["CCD_TEMPERATURE"]["CCD_TEMPERATURE_VALUE"]) + 5) < 0.5, 30,
                   "the set point")
        assert server.process.poll() is None
    finally:
        c.close()


def test_a_disconnected_camera_refuses_its_properties(fresh_server):
    fresh_server()
    c = Client(port=SPARE_PORT)
    try:
        c.connect(MONO)
        c.connect(COLOUR)
        assert c.set_and_wait(MONO, "CONNECTION", states=("Idle", "Ok"), CONNECT="Off", DISCONNECT="On") != "Alert"
        # Clients may still send what the camera had: libindi routes it to the driver.
        frame = "".join(f'<oneNumber name="{k}">{v}</oneNumber>' for k, v in (("X", 0), ("Y", 0), ("WIDTH", 64),
                                                                            ("HEIGHT", 64)))
        for _ in range(3):
            send_xml(f'<newNumberVector device="{MONO}" name="CCD_FRAME">{frame}</newNumberVector>', SPARE_PORT)
        send_xml(f'<newNumberVector device="{MONO}" name="CCD_GAIN"><oneNumber name="GAIN">200</oneNumber>'
                 '</newNumberVector>', SPARE_PORT)
        for name in ("CCD_FRAME", "CCD_GAIN"):
            told = f"{name} refused: {MONO} is not connected"
            c.wait_for(lambda: told in c.said(MONO), 10, told)
        # The driver lives on: the other camera works and this one connects again as it was.
        assert image(c, COLOUR, 0.01).ndim == 2
        c.connect(MONO)
        assert float(c.ipy[MONO]["CCD_GAIN"]["GAIN"]) != 200
        assert image(c, MONO, 0.01).shape == (2822, 4144)
    finally:
        c.close()


def pulse_and_wait(client: Client, device: str, north_ms: int, south_ms: int = 0) -> None:
    client.set_and_wait(device, "TELESCOPE_TIMED_GUIDE_NS", states=("Busy",), TIMED_GUIDE_N=north_ms,
                        TIMED_GUIDE_S=south_ms)


# A pulse still running when its camera goes: the driver once ended its pulse on a camera
# whose properties were gone, and crashed with every camera.
@pytest.mark.parametrize("ending", ["disconnect", "camera lost"])
def test_a_pulse_outlived_by_its_camera_ends_with_it(fresh_server, ending):
    server = fresh_server()
    c = Client(port=SPARE_PORT)
    try:
        c.connect(COLOUR)                       # alone: a failure armed is the next call's of any camera
        pulse_and_wait(c, COLOUR, 2000)
        if ending == "disconnect":
            c.set_and_wait(COLOUR, "CONNECTION", states=("Idle", "Ok"), CONNECT="Off", DISCONNECT="On")
        else:         # the next poll of the camera finds it gone
            c.send(COLOUR, "SIM_FAIL_NEXT", FUNCTION="ASIGetControlValue", CODE="ASI_ERROR_CAMERA_REMOVED",
                   TIMES="1")
        time.sleep(3)                           # past the pulse's end
        assert "Terminated after" not in server.log() and server.process.poll() is None, server.log()[-2000:]
        c.connect(MONO)
        assert image(c, MONO, 0.01).ndim == 2
        c.connect(COLOUR)
        assert image(c, COLOUR, 0.01).ndim == 2
    finally:
        c.close()


def test_an_opposite_pulse_ends_the_running_one(cams):
    region(cams, COLOUR, 480, 300, 512, 512)
    before = image(cams, COLOUR, 0.3)
    pulse_and_wait(cams, COLOUR, 2000)
    time.sleep(0.05)
    cams.send(COLOUR, "TELESCOPE_TIMED_GUIDE_NS", TIMED_GUIDE_N=0, TIMED_GUIDE_S=100)
    cams.wait_for(lambda: cams.ipy[COLOUR]["TELESCOPE_TIMED_GUIDE_NS"].state in ("Ok", "Idle"), 10, "the pulse's end")
    time.sleep(1.5)                             # a relay left on shows as 7 px more
    # 50 ms north then 100 ms south: a quarter pixel, which rounds to none.
    assert shift_between(before, image(cams, COLOUR, 0.3)) == (0, 0)


def test_a_stream_stopping_on_one_camera_leaves_the_others_pulse_its_length(cams):
    region(cams, COLOUR, 480, 300, 512, 512)
    region(cams, MONO, 0, 0, 640, 480)
    before = image(cams, COLOUR, 0.3)
    cams.send(MONO, "STREAMING_EXPOSURE", STREAMING_EXPOSURE_VALUE=4, STREAMING_DIVISOR_VALUE=1)
    assert cams.set_and_wait(MONO, "CCD_VIDEO_STREAM", states=("Busy", "Ok"), STREAM_ON="On",
                             STREAM_OFF="Off") != "Alert"
    time.sleep(1)                               # the first frame is 3 s away
    pulse_and_wait(cams, COLOUR, 300)
    cams.send(MONO, "CCD_VIDEO_STREAM", STREAM_ON="Off", STREAM_OFF="On")
    cams.wait_for(lambda: cams.ipy[COLOUR]["TELESCOPE_TIMED_GUIDE_NS"].state in ("Ok", "Idle"), 10, "the pulse's end")
    cams.wait_for(lambda: cams.ipy[MONO]["CCD_VIDEO_STREAM"]["STREAM_OFF"] == "On", 10, "the stream's end")
    # 300 ms north at 5.03 px/s: 1.5 px, where the stalled driver's 3 s made 15.
    assert shift_between(before, image(cams, COLOUR, 0.3)) in ((0, -1), (0, -2))
