"""Region of interest and snapshots: the ROI rules, what reaches the SDK, frames as numpy
arrays for every format, their metadata, and the timeout, failure and Ctrl-C paths."""
import math
import threading
from datetime import UTC, datetime

import numpy as np
import pytest

from vorrant.orlicam import Camera, Frame, Roi, korvi, simulator
from vorrant.orlicam.korvi import ImgType

from camera_support import FORMATS, NAME0, NAME1, cams, interrupted, names, refused, wait_for_call  # noqa: F401

FAILED = korvi.ExposureStatus.ASI_EXP_FAILED
ABORTED = f"the exposure of 5 s on {NAME0} was aborted"


# --- region of interest ----------------------------------------------------------------

@pytest.mark.parametrize("cam_index, set_roi, sdk_calls, roi", [
    # The format stays the one the camera opened in: its deepest raw one.
    (0, dict(width=640, height=480), [(0, 640, 480, 1, 2), (0, 648, 308)], Roi(648, 308, 640, 480, 1, "RAW16")),
    (0, dict(bin=2, image_format="raw16"), [(0, 968, 548, 2, 2), (0, 0, 0)], Roi(0, 0, 968, 548, 2, "RAW16")),
    (0, dict(width=8, height=2, bin=4, image_format=ImgType.IMG_RGB24, x=3, y=5), [(0, 8, 2, 4, 1), (0, 3, 5)],
     Roi(3, 5, 8, 2, 4, "RGB24")),
    (0, dict(width=96, height=94, image_format=3), [(0, 96, 94, 1, 3), (0, 920, 500)], Roi(920, 500, 96, 94, 1, "Y8")),
    (1, Roi(x=100, y=50, width=512, height=256, bin=2, image_format="Y8"), [(1, 512, 256, 2, 3), (1, 100, 50)],
     Roi(100, 50, 512, 256, 2, "Y8")),     # the roi property
])
def test_a_roi_sends_size_then_start_and_reads_back(cams, log, cam_index, set_roi, sdk_calls, roi):
    cam = cams[cam_index]
    log.clear_calls()
    if isinstance(set_roi, Roi):
        cam.roi = set_roi
    else:
        assert cam.set_roi(**set_roi) == roi
    assert [c for c in log.calls() if c[0].startswith("ASISet")] == list(zip(["ASISetROIFormat", "ASISetStartPos"],
                                                                              sdk_calls))
    assert cam.roi == roi


# camera, set_roi arguments, a Roi or a tuple for the roi property, or an action; error, message
REFUSALS = [
    (0, dict(width=100), ValueError, "the ROI width must be a multiple of 8, got 100"),
    (0, dict(height=101), ValueError, "the ROI height must be even, got 101"),
    (0, dict(width=0), ValueError, "the ROI width must be positive, got 0"),
    (0, dict(width=1944), ValueError, "the ROI must lie inside the sensor, which is 1936 x 1096 pixels at bin 1; "
                                      "got x + width = 1944, y + height = 1096"),
    (0, dict(width=488, bin=4), ValueError, "the ROI must lie inside the sensor, which is 484 x 274 pixels at bin 4; "
                                            "got x + width = 488, y + height = 274"),
    (0, dict(width=64, height=64, x=1880), ValueError, "the ROI must lie inside the sensor, which is 1936 x 1096 "
                                                      "pixels at bin 1; got x + width = 1944, y + height = 580"),
    (0, dict(x=-2, width=64), ValueError, "the ROI x must not be negative, got -2"),
    (0, dict(bin=5), ValueError, f"bin 5 is not supported by {NAME0}; supported: 1, 2, 3, 4"),
    (1, dict(image_format="RGB24"), ValueError, f"image format RGB24 is not supported by {NAME1}; "
                                                "supported: RAW8, RAW16, Y8"),
    (1, dict(image_format=ImgType.IMG_RGB24), ValueError, f"image format RGB24 is not supported by {NAME1}; "
                                                          "supported: RAW8, RAW16, Y8"),
    (0, dict(image_format="RAW12"), ValueError, "unknown image format 'RAW12'; known: RAW8, RGB24, RAW16, Y8"),
    (0, dict(image_format=7), ValueError, "unknown image format number 7; known: 0 (RAW8), 1 (RGB24), 2 (RAW16), 3 (Y8)"),
    (0, dict(image_format=1.0), TypeError, "an image format is a name (RAW8, RGB24, RAW16, Y8), an ImgType or an int, "
                                           "not float"),
    (0, dict(width=64.0), TypeError, "width takes an int, not float"),
    (0, dict(bin="2"), TypeError, "bin takes an int, not str"),
    (0, Roi(0, 0, 12, 2), ValueError, "the ROI width must be a multiple of 8, got 12"),     # the roi property
    (0, (0, 0, 8, 2), TypeError, "roi takes a Roi, not tuple"),
    (0, lambda c: Roi(-1, 0, 8, 2), ValueError, "Roi x must be at least 0, got -1"),
    (0, lambda c: Roi(0, 0, 8, 2, bin=0), ValueError, "Roi bin must be at least 1, got 0"),
    (0, lambda c: Roi(0, 0, "8", 2), TypeError, "Roi width takes an int, got str"),
    (0, lambda c: Roi(0, 0, 8, 2, image_format="RAW12"), ValueError,
     "unknown image format 'RAW12'; known: RAW8, RGB24, RAW16, Y8"),
    (0, lambda c: c.capture(-1), ValueError, f"exposure must be between 3.2e-05 s and 2000 s on {NAME0}, got -1 s"),
    (0, lambda c: c.capture("fast"), TypeError, "exposure takes a number (int or float), not str"),
    (0, lambda c: c.capture(dark="yes"), TypeError, "dark takes a bool, not 'yes'"),
    (0, lambda c: c.capture(timeout=0), ValueError, "timeout must be positive (seconds), got 0"),
    (0, lambda c: c.capture(None, None, None), TypeError, "dark takes a bool, not None"),
    (0, lambda c: c.abort_exposure(0), ValueError, "timeout must be positive (seconds), got 0"),
    (0, lambda c: c.abort_exposure("1"), TypeError, "timeout takes a number (int or float), not str"),
]


@pytest.mark.parametrize("cam_index, action, error, message", REFUSALS)
def test_roi_rules_and_capture_arguments_are_checked_before_the_sdk(cams, log, cam_index, action, error, message):
    cam = cams[cam_index]
    if type(action) is dict:
        refused(log, lambda: cam.set_roi(**action), error, message)
    else:
        refused(log, lambda: action(cam) if callable(action) else setattr(cam, "roi", action), error, message)


def test_a_roi_keeps_the_format_by_name():
    assert Roi(0, 0, 8, 2, 1, ImgType.IMG_RAW16) == Roi(0, 0, 8, 2, 1, "raw16") == Roi(0, 0, 8, 2, 1, 2)
    assert Roi(0, 0, 8, 2, 1, 2).image_format == "RAW16" and Roi(0, 0, 8, 2, 1, 2).buffer_size == 32
    from_numpy = Roi(np.int64(0), np.int32(4), np.uint16(8), np.int64(2), np.int8(1), np.int64(2))
    assert from_numpy == Roi(0, 4, 8, 2, 1, "RAW16")
    assert [type(v) for v in (from_numpy.x, from_numpy.y, from_numpy.width, from_numpy.height, from_numpy.bin)] == [int] * 5


# --- frames --------------------------------------------------------------------------------

@pytest.mark.parametrize("cam_index, fmt, dtype, extra", FORMATS)
def test_every_format_gives_its_dtype_and_shape(cams, cam_index, fmt, dtype, extra):
    cams[cam_index].set_roi(64, 32, bin=2, image_format=fmt)
    frame = cams[cam_index].capture(0.001)
    assert type(frame) is Frame and (frame.width, frame.height) == (64, 32)
    assert frame.data.dtype == np.dtype(dtype) and frame.data.shape == (32, 64) + extra
    assert np.asarray(frame) is frame.data and not frame.data.flags.writeable
    assert frame.meta.roi.image_format == fmt and frame.meta.roi.bin == 2
    assert frame.meta.bayer_pattern == ("RGGB" if (cam_index, fmt[:3]) == (0, "RAW") else None)


@pytest.mark.parametrize("fmt, raw, expected", [
    # RGB24 arrives as B,G,R and is reordered; RAW16 keeps the native 16-bit words
    ("RGB24", bytes(range(48)), np.arange(48, dtype=np.uint8).reshape(2, 8, 3)[..., ::-1]),
    ("RAW16", (np.arange(16, dtype=np.uint16) * 4099).tobytes(), (np.arange(16, dtype="=u2") * 4099).reshape(2, 8)),
])
def test_the_sdk_bytes_become_the_frame(cam0, fmt, raw, expected):
    cam0.set_roi(8, 2, image_format=fmt, x=0, y=0)
    simulator.force_outputs("ASIGetDataAfterExp", data=raw)
    frame = cam0.capture(0.001)
    assert frame.data.dtype == expected.dtype and frame.data.tolist() == expected.tolist()
    assert frame.data.flags.c_contiguous


def test_numpy_sees_the_frame_as_its_data(cam0):
    cam0.set_roi(16, 8, image_format="RAW16")
    frame = cam0.capture(0.001)
    copied = np.array(frame)
    assert copied.flags.writeable and not np.shares_memory(copied, frame.data)
    as_float = np.asarray(frame, dtype=np.float64)
    assert as_float.dtype == np.float64 and np.array_equal(as_float, frame.data)
    with pytest.raises(ValueError, match="a uint16 frame cannot become float32 without a copy"):
        np.asarray(frame, dtype=np.float32, copy=False)


def test_capture_sends_the_exposure_and_the_dark_flag_or_keeps_the_exposure(cam0, log):
    log.clear_calls()
    frame = cam0.capture(0.002, dark=True)
    assert ("ASISetControlValue", (0, 1, 2000, 0)) in log.calls() and ("ASIStartExposure", (0, 1)) in log.calls()
    assert names(log).index("ASIStartExposure") < names(log).index("ASIGetDataAfterExp")
    assert frame.meta.dark is True and frame.meta.exposure == pytest.approx(0.002)
    cam0.exposure = 0.003
    log.clear_calls()
    assert cam0.capture().meta.exposure == pytest.approx(0.003)
    assert "ASISetControlValue" not in names(log)


def test_frame_metadata_reads_the_camera_back(cam1):
    assert cam1.capture(0.001).data.shape == (2822, 4144)     # the full frame at first
    cam1.gain, cam1.offset, cam1.target_temperature = 150, 30, -10
    cam1.set_roi(128, 64, bin=2, image_format="RAW16", x=10, y=20)
    simulator.set_gps_fix(1, False)
    before = datetime.now(UTC)
    meta = cam1.capture(0.001).meta
    assert (meta.camera_name, meta.camera_index, meta.camera_id, meta.serial) == (
        "ZWO ASI294MM Pro GPS Simulator", 1, 1, "294e5a5722071902")
    assert (meta.gain, meta.offset, meta.target_temperature, meta.cooled) == (150, 30, -10.0, True)
    assert (meta.temperature, meta.e_per_adu) == (pytest.approx(simulator.sensor_temperature(1), abs=0.1),
                                                   pytest.approx(3.92, abs=1e-6))
    assert (meta.roi, meta.bayer_pattern, meta.bit_depth, meta.pixel_size, meta.index, meta.gps) == (
        Roi(10, 20, 128, 64, 2, "RAW16"), None, 14, 4.63, 0, None)
    assert before <= meta.start_time <= datetime.now(UTC) and meta.start_time.tzinfo is UTC
    # with a GPS record, the start time is the record's
    stamp = dict(year=2025, month=3, day=4, hour=5, minute=6, second=7, m_second=890, u_second=123,
                 latitude=51.5, longitude=-0.1, altitude=30, satellite_num=9)
    simulator.force_outputs("ASIGetDataAfterExpGPS", data=bytes(128 * 64 * 2), gps=stamp)
    meta = cam1.capture(0.001).meta
    assert meta.start_time == datetime(2025, 3, 4, 5, 6, 7, 890123, tzinfo=UTC)
    assert (meta.gps.latitude, meta.gps.longitude, meta.gps.satellite_num) == (51.5, -0.1, 9)


@pytest.mark.parametrize("x, y, flip, pattern", [
    (0, 0, 0, "RGGB"), (1, 0, 0, "GRBG"), (0, 1, 0, "GBRG"), (1, 1, 0, "BGGR"),
    (0, 0, 1, "GRBG"), (0, 0, 2, "GBRG"), (0, 0, 3, "BGGR"), (1, 0, 1, "RGGB"),
])
def test_the_bayer_pattern_follows_start_and_flip(cam0, x, y, flip, pattern):
    # Raw data carries no white balance: under the simulator's reddish sky the red sites
    # are the brightest, blue the darkest (medians: a star is not the sky).
    cam0.gain = 300
    cam0.set_roi(64, 64, image_format="RAW16", x=x, y=y)
    cam0.flip = flip
    frame = cam0.capture(0.3)
    assert frame.meta.bayer_pattern == pattern
    sites = [np.median(frame.data[i::2, j::2]) for i in (0, 1) for j in (0, 1)]
    assert pattern[int(np.argmax(sites))] == "R" and pattern[int(np.argmin(sites))] == "B"


def test_a_capture_that_outlasts_its_timeout_or_meets_ctrl_c_is_stopped(cam0, log):
    cam0.set_roi(64, 32)
    with pytest.raises(korvi.ASITimeout) as info:
        cam0.capture(3.0, timeout=0.2)
    assert str(info.value) == f"the exposure of 3 s on {NAME0} did not end within 0.2 s"
    assert info.value.__notes__ == [f"orlicam: capture on {NAME0}"]
    assert log.calls()[-1] == ("ASIStopExposure", (0,)) and korvi.get_exp_status(0) == FAILED  # cut short
    assert cam0.capture(0.001).data.shape == (32, 64)
    log.clear_calls()
    interrupted(lambda: cam0.capture(5.0))
    assert log.calls()[-1] == ("ASIStopExposure", (0,)) and korvi.get_exp_status(0) == FAILED
    assert cam0.capture(0.001).data.shape == (32, 64)      # still usable


def test_a_failed_exposure_raises_and_fetches_nothing_without_recovery(cam0, log):
    cam0.recovery = None
    cam0.set_roi(64, 32)
    simulator.force_outputs("ASIGetExpStatus", status=int(FAILED))
    log.clear_calls()
    with pytest.raises(korvi.ASIGeneralError) as info:
        cam0.capture(0.001)
    assert str(info.value) == f"the exposure of 0.001 s failed on {NAME0}" and "ASIGetDataAfterExp" not in names(log)
    assert cam0.capture(0.001).data.shape == (32, 64)


def abort_from_another_thread(cam, after_calls=("ASIStartExposure",), timeout=2.0):
    """Calls cam.abort_exposure() in a thread once the call log holds `after_calls`
    (in order); returns the thread and a list that receives its result."""
    result = []

    def run():
        for name in after_calls:
            wait_for_call(name)
        result.append(cam.abort_exposure(timeout=timeout))

    thread = threading.Thread(target=run)
    thread.start()
    return thread, result


def test_abort_from_another_thread_ends_the_capture_and_frees_the_camera(cam0, log):
    cam0.set_roi(64, 32)
    log.clear_calls()
    thread, result = abort_from_another_thread(cam0, timeout=math.inf)
    with pytest.raises(korvi.ASIGeneralError) as info:
        cam0.capture(5.0)
    thread.join()
    assert (result, str(info.value)) == ([True], ABORTED)
    assert info.value.__notes__ == [f"orlicam: capture (exposure aborted) on {NAME0}"]
    assert ("ASIStopExposure", (0,)) in log.calls() and "ASIGetDataAfterExp" not in names(log)
    assert korvi.get_exp_status(0) == FAILED   # cut short, not waited out
    log.clear_calls()
    assert cam0.capture(0.001, timeout=math.inf).data.shape == (32, 64)       # at once, no leftover exposure
    assert [c for c in log.calls() if c[0] in ("ASIStartExposure", "ASIStopExposure")] == [("ASIStartExposure", (0, 0))]
    log.clear_calls()
    assert cam0.abort_exposure() is False                   # nothing runs: nothing reaches the SDK
    assert log.calls() == []


def test_an_abort_during_the_readout_discards_the_frame(cam1, log, monkeypatch):
    cam1.set_roi(64, 32)
    read = korvi.get_data_after_exp_gps
    aborts = []

    def readout_meeting_an_abort(*args):
        # The exposure has ended; an abort arrives before the frame is read.
        aborts.append(abort_from_another_thread(cam1, after_calls=()))
        while ("ASIStopExposure", (1,)) not in simulator.calls():
            threading.Event().wait(0.005)
        return read(*args)

    monkeypatch.setattr(korvi, "get_data_after_exp_gps", readout_meeting_an_abort)
    with pytest.raises(korvi.ASIGeneralError) as info:
        cam1.capture(0.05)
    (thread, result), = aborts
    thread.join()
    assert (str(info.value), result) == (f"the exposure of 0.05 s on {NAME1} was aborted", [True])
    monkeypatch.undo()
    assert cam1.capture(0.001).data.shape == (32, 64)


def test_a_second_capture_or_a_bad_abort_is_refused(cam0, log):
    cam0.set_roi(64, 32)
    outcome = []
    runner = threading.Thread(target=lambda: outcome.append(pytest.raises(korvi.ASIGeneralError, cam0.capture, 5.0)))
    runner.start()
    wait_for_call("ASIStartExposure")
    with pytest.raises(korvi.ASIExposureInProgress) as info:
        cam0.capture(0.001)
    assert str(info.value) == f"{NAME0} is capturing in another thread; wait for that capture or abort it"
    assert cam0.abort_exposure() is True
    runner.join()
    assert str(outcome[0].value) == ABORTED and names(log).count("ASIStartExposure") == 1


def test_sdk_failures_inside_capture_are_noted_once_by_the_step_that_failed(cam0):
    cam0.recovery = None
    for entry, code, error, note in [
        ("ASIStartExposure", 15, korvi.ASIExposureInProgress,
         f"orlicam: capture on {NAME0} (hint: an exposure is running: wait for it or stop it first)"),
        ("ASIGetROIFormat", 4, korvi.ASICameraClosed,
         f"orlicam: reading the region of interest on {NAME0} (hint: the camera is not open)"),
        ("ASIGetExpStatus", 5, korvi.ASICameraRemoved,
         f"orlicam: capture on {NAME0} (hint: the camera was disconnected; reconnect it and open it again)"),
    ]:
        simulator.fail_next(entry, code)
        with pytest.raises(error) as info:
            cam0.capture(0.001)
        assert info.value.__notes__ == [note]
