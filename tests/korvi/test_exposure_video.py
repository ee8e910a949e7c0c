"""Snapshot exposures and video capture: status, frame buffers and their sizes,
GPS stamps, dropped frames, timeouts and the interpreter lock during waits, and
streaming from several threads."""
import threading
import time

import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import ControlType, ImgType

IDLE, WORKING, SUCCESS, FAILED = 0, 1, 2, 3


@pytest.fixture
def camera():
    """camera(cam, width, height, img_type, exposure_us) opens and initialises a camera with
    that region and exposure and returns the frame size; everything is closed afterwards."""

    def open_(cam, width=64, height=64, img_type=ImgType.IMG_RAW8, exposure_us=1000):
        korvi.open_camera(cam)
        korvi.init_camera(cam)
        korvi.set_roi_format(cam, width, height, 1, img_type)
        korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, exposure_us, False)
        return width * height * {ImgType.IMG_RAW8: 1, ImgType.IMG_RAW16: 2, ImgType.IMG_RGB24: 3}[img_type]

    yield open_
    simulator.reset()


def wait_for_exposure(cam, timeout=5.0):
    deadline = time.monotonic() + timeout
    while (status := korvi.get_exp_status(cam)) == WORKING:
        assert time.monotonic() < deadline, "the exposure never ended"
        time.sleep(0.005)
    return status


def snapshot(cam, size, is_dark=False):
    korvi.start_exposure(cam, is_dark)
    assert wait_for_exposure(cam) == SUCCESS
    return korvi.get_data_after_exp(cam, size)


# ------------------------------------------------------------------------ exposure


def test_exposure_status_cycle(camera):
    size = camera(0, exposure_us=150_000)
    statuses = [korvi.get_exp_status(0)]
    korvi.start_exposure(0, False)
    statuses.append(korvi.get_exp_status(0))
    statuses.append(wait_for_exposure(0))
    assert statuses == [IDLE, WORKING, SUCCESS]
    assert all(type(s) is int for s in statuses)
    assert len(korvi.get_data_after_exp(0, size)) == size
    assert korvi.get_exp_status(0) == IDLE


@pytest.mark.parametrize("status", [7, -1])
def test_exp_status_is_checked_against_the_enumeration(status):
    simulator.force_outputs("ASIGetExpStatus", status=status)
    with pytest.raises(ValueError):
        korvi.get_exp_status(0)


def test_dark_and_light_frames(camera, log):
    size = camera(1, 1024, 1024, ImgType.IMG_RAW16, exposure_us=100_000)
    korvi.set_control_value(1, ControlType.ASI_GAIN, 450, False)
    log.clear_calls()
    light = snapshot(1, size, is_dark=None)
    dark = snapshot(1, size, is_dark="dark")
    starts = [c for c in log.calls() if c[0] == "ASIStartExposure"]
    assert starts == [("ASIStartExposure", (1, 0)), ("ASIStartExposure", (1, 1))]
    assert type(light) is bytes and type(dark) is bytes and len(light) == len(dark) == size

    def mean(frame):
        return sum(memoryview(frame).cast("H")) / (size // 2)

    def bright(frame):  # samples of at least 4096 (16-bit, little-endian): star light or hot pixels
        return frame[1::2].translate(bytes(16) + bytes([1]) * 240).count(1)

    # The sky lifts every light pixel, stars light up many more; a dark has hot pixels only.
    assert mean(light) > mean(dark) + 20
    assert bright(light) > 3 * bright(dark)


@pytest.mark.parametrize("extra", [0, 1, 4096])
def test_data_after_exp_returns_exactly_the_buffer_size(extra, camera, log):
    size = camera(0)
    data = snapshot(0, size + extra)
    assert type(data) is bytes and len(data) == size + extra
    assert data[size:] == bytes(extra) and any(data[:size])
    assert ("ASIGetDataAfterExp", (0, size + extra)) in log.calls()


def test_data_after_exp_sizes_given_as_float_and_too_small(camera, log):
    camera(0, 640, 480)
    data = snapshot(0, 1e6)
    assert len(data) == 1_000_000
    korvi.start_exposure(0, False)
    wait_for_exposure(0)
    log.clear_calls()
    for size in (0, 640 * 480 - 1):
        with pytest.raises(korvi.ASIBufferTooSmall):
            korvi.get_data_after_exp(0, size)
    assert log.calls() == [("ASIGetDataAfterExp", (0, 0)), ("ASIGetDataAfterExp", (0, 640 * 480 - 1))]
    assert len(korvi.get_data_after_exp(0, 640 * 480)) == 640 * 480  # the frame was kept


@pytest.mark.parametrize("name", ["get_data_after_exp", "get_data_after_exp_gps"])
def test_data_after_exp_size_errors_come_first(name, monkeypatch, log):
    fetch = getattr(korvi, name)
    with pytest.raises(OverflowError):
        fetch(0, 2**63)
    monkeypatch.delattr(korvi, "handle_error_code")
    with pytest.raises(ValueError):
        fetch(0, -1)
    assert log.calls() == []


def test_no_data_before_the_exposure_ended_nor_after_a_stop(camera, log):
    size = camera(1, exposure_us=30_000_000)
    with pytest.raises(korvi.ASIGeneralError):
        korvi.get_data_after_exp(1, size)  # nothing exposed yet
    korvi.start_exposure(1, False)
    with pytest.raises(korvi.ASIGeneralError):
        korvi.get_data_after_exp(1, size)
    assert korvi.get_exp_status(1) == WORKING
    assert korvi.stop_exposure(1) is None
    status = korvi.get_exp_status(camera_id=1)
    assert type(status) is int and status == FAILED
    with pytest.raises(korvi.ASIGeneralError):
        korvi.get_data_after_exp(1, size)
    assert ("ASIStopExposure", (1,)) in log.calls()


def test_data_reaches_python_untouched():
    pattern = bytes(range(256)) * 3 + b"\x00\xff\x00end"
    simulator.force_outputs("ASIGetDataAfterExp", data=pattern)
    data = korvi.get_data_after_exp(0, 1000)
    assert data == pattern + bytes(1000 - len(pattern))
    simulator.force_outputs("ASIGetDataAfterExpGPS", data=pattern)
    data, _ = korvi.get_data_after_exp_gps(0, 700)
    assert data == pattern[:700]  # no more than the buffer holds


def test_data_after_exp_gps_on_the_gps_camera(camera, log):
    size = camera(1, 128, 64)
    simulator.set_gps_position(1, -33.8568, 151.2153, 58)
    results = []
    for _ in range(2):
        korvi.start_exposure(1, False)
        wait_for_exposure(1)
        results.append(korvi.get_data_after_exp_gps(1, size))
    (data, gps), (_, gps2) = results
    assert type(results[0]) is tuple and type(data) is bytes and len(data) == size
    assert type(gps) is korvi.GpsData and gps is not gps2
    assert gps.year >= 2024 and 1 <= gps.month <= 12 and 1 <= gps.day <= 31
    assert (gps.latitude, gps.longitude, gps.altitude, gps.satellite_num) == (-33.8568, 151.2153, 58, 9)
    assert ("ASIGetDataAfterExpGPS", (1, size)) in log.calls()


def test_data_after_exp_gps_on_a_camera_without_gps(camera):
    size = camera(0)
    korvi.start_exposure(0, False)
    wait_for_exposure(0)
    data, gps = korvi.get_data_after_exp_gps(0, size)
    assert len(data) == size and any(data)
    fields = ("year", "month", "day", "hour", "minute", "second", "m_second", "u_second")
    assert [getattr(gps, f) for f in fields] == [0] * 8
    assert (gps.latitude, gps.longitude, gps.altitude, gps.satellite_num) == (0, 0, 0, 0)


# --------------------------------------------------------------------------- video


def test_video_frames_have_the_roi_size(camera, log):
    size = camera(0, 128, 32, ImgType.IMG_RAW16)
    korvi.start_video_capture(0)
    frames = [korvi.get_video_data(0, size, 1000) for _ in range(5)]
    assert all(type(f) is bytearray and len(f) == size for f in frames)
    assert all(any(f) for f in frames)
    bigger = korvi.get_video_data(camera_id=0, buffer_size=size + 10, wait_ms=1000)
    assert type(bigger) is bytearray and len(bigger) == size + 10 and bigger[size:] == bytes(10)
    with pytest.raises(korvi.ASIBufferTooSmall):
        korvi.get_video_data(0, size - 1, 1000)
    korvi.stop_video_capture(0)
    assert ("ASIGetVideoData", (0, size, 1000)) in log.calls()


def test_video_data_gps(camera):
    size = camera(1, 64, 64)
    korvi.start_video_capture(1)
    first = korvi.get_video_data_gps(1, size, 1000)
    data, gps = first
    assert type(first) is tuple and type(data) is bytes and len(data) == size
    assert type(gps) is korvi.GpsData and gps.year >= 2024 and gps.satellite_num == 9
    assert korvi.get_video_data_gps(1, size, 1000)[1] is not gps


def test_video_wait_ms_reaches_the_sdk_unchanged(log):
    simulator.force_outputs("ASIGetVideoData", data=b"\x01\x02")
    simulator.force_outputs("ASIGetVideoDataGPS", data=b"\x03")
    assert korvi.get_video_data(0, 4, -1) == bytearray(b"\x01\x02\x00\x00")
    assert korvi.get_video_data_gps(0, 2, -7)[0] == b"\x03\x00"
    assert log.calls() == [("ASIGetVideoData", (0, 4, -1)), ("ASIGetVideoDataGPS", (0, 2, -7))]


@pytest.mark.parametrize(
    "name, size, errors",
    [
        ("get_video_data", 2**31, OverflowError),
        ("get_video_data", -1, ValueError),
        ("get_video_data_gps", 2**63, (OverflowError, MemoryError)),  # the buffer is made first
        ("get_video_data_gps", -1, ValueError),
    ],
)
def test_video_size_errors_come_before_the_sdk(name, size, errors, log):
    with pytest.raises(errors) as exc:
        getattr(korvi, name)(0, size, 0)
    if name == "get_video_data" and size > 0:
        assert str(exc.value) == "value too large to convert to int"
    assert log.calls() == []


def ticks_during(call):
    """Runs call() while another thread ticks about once a millisecond, and returns how
    many ticks fell well inside the call."""
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    try:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join(5)
    assert end - start >= 0.25
    return sum(start + 0.05 < t < end - 0.05 for t in ticks)


def test_only_the_plain_video_read_lets_other_threads_run_while_it_waits(camera):
    size = camera(0, exposure_us=30_000_000)  # no frame comes during the waits
    korvi.start_video_capture(0)

    def wait(fetch):
        with pytest.raises(korvi.ASITimeout):
            fetch(0, size, 300)

    released = ticks_during(lambda: wait(korvi.get_video_data))
    held = ticks_during(lambda: wait(korvi.get_video_data_gps))
    assert released > 40
    assert held <= 2


def test_dropped_frames(camera, log):
    size = camera(0, 32, 32, exposure_us=1000)
    assert korvi.get_dropped_frames(0) == 0
    korvi.start_video_capture(0)
    korvi.get_video_data(0, size, 1000)
    time.sleep(0.3)  # a slow consumer: the camera keeps two frames, the rest are dropped
    dropped = korvi.get_dropped_frames(0)
    assert type(dropped) is int and dropped >= 20
    assert korvi.get_dropped_frames(0) >= dropped
    korvi.stop_video_capture(0)
    assert korvi.get_dropped_frames(0) == 0
    assert ("ASIGetDroppedFrames", (0,)) in log.calls()


def test_streaming_from_many_threads_while_capture_starts_and_stops(camera):
    sizes = {0: camera(0, 128, 64, ImgType.IMG_RAW8, 1000), 1: camera(1, 64, 32, ImgType.IMG_RAW16, 2000)}
    for cam in sizes:
        korvi.start_video_capture(cam)
    deadline = time.monotonic() + 1.5
    frames = {0: 0, 1: 0}
    lengths, unexpected = set(), []

    def stream(cam, fetch):
        try:
            while time.monotonic() < deadline:
                try:
                    frame = fetch(cam, sizes[cam], 50)
                except korvi.ASIError:
                    continue
                data = frame[0] if isinstance(frame, tuple) else frame
                lengths.add((cam, len(data)))
                frames[cam] += 1
        except BaseException as e:  # reported below
            unexpected.append(e)

    def restart():
        try:
            while time.monotonic() < deadline:
                for cam in sizes:
                    korvi.stop_video_capture(cam)
                    korvi.start_video_capture(cam)
                time.sleep(0.02)
        except BaseException as e:
            unexpected.append(e)

    threads = [
        threading.Thread(target=stream, args=(cam, fetch))
        for cam in sizes
        for fetch in (korvi.get_video_data, korvi.get_video_data, korvi.get_video_data_gps)
    ] + [threading.Thread(target=restart)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=20)
    assert not any(t.is_alive() for t in threads), "a streaming thread hangs"
    assert unexpected == []
    assert lengths == {(0, sizes[0]), (1, sizes[1])}
    assert frames[0] > 10 and frames[1] > 10
    for cam in sizes:
        korvi.stop_video_capture(cam)
