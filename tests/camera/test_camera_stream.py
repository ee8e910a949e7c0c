"""Video streams: frames and their order, start and stop around the block however it is
left, bounded waits, timeouts, Ctrl-C, dropped frames and the reused buffers."""
import math
import threading
import time
from datetime import UTC, datetime, timedelta

import numpy as np
import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.camera import streaming as camera_module

from camera_support import FORMATS, NAME0, NAME1, interrupted, names, refused


@pytest.fixture(autouse=True)
def small_frames(cam0, cam1):     # keep the streams quick
    cam0.set_roi(64, 32)
    cam1.set_roi(64, 32)


def test_frames_come_in_order_between_start_and_stop(cam0, log):
    log.clear_calls()
    with cam0.stream(0.001) as frames:
        taken = [frame for _, frame in zip(range(4), frames)]
    assert [f.meta.index for f in taken] == [0, 1, 2, 3]
    calls = names(log)
    assert calls.index("ASIStartVideoCapture") < calls.index("ASIGetVideoData")
    assert calls[-1] == "ASIStopVideoCapture" and calls.count("ASIStopVideoCapture") == 1
    assert {("ASISetControlValue", (0, 1, 1000, 0)), ("ASIGetDroppedFrames", (0,))} <= set(log.calls())
    assert cam0.capture(0.001).data.shape == (32, 64)     # back to snapshots


@pytest.mark.parametrize("reader", ["fast", "korvi"])
@pytest.mark.parametrize("copy", [True, False])
@pytest.mark.parametrize("cam_index, fmt, dtype, extra", FORMATS)
def test_stream_frames_for_every_format(cam0, cam1, monkeypatch, reader, copy, cam_index, fmt, dtype, extra):
    if reader == "korvi":
        monkeypatch.setattr(camera_module, "_fast", None)
    cam = (cam0, cam1)[cam_index]
    cam.set_roi(64, 32, bin=2, image_format=fmt)
    with cam.stream(0.001, copy=copy) as frames:
        taken = [next(frames), next(frames)]
    for index, frame in enumerate(taken):
        assert frame.data.dtype == np.dtype(dtype) and frame.data.shape == (32, 64) + extra
        assert not frame.data.flags.writeable and frame.data.flags.c_contiguous
        assert (frame.meta.roi.image_format, frame.meta.bin, frame.meta.index) == (fmt, 2, index)
    assert [f.meta.gps is not None for f in taken] == [cam_index == 1] * 2     # the GPS camera's records


@pytest.mark.parametrize("reader, copy", [(None, True), ("filling", True), ("filling", False)])
def test_stream_rgb24_is_reordered_to_rgb(cam0, monkeypatch, reader, copy):
    if reader:
        monkeypatch.setattr(camera_module, "_fast", FillingReader())
    cam0.set_roi(8, 2, image_format="RGB24", x=0, y=0)
    raw = bytes(range(48))
    with cam0.stream(0.001, copy=copy) as frames:
        simulator.force_outputs("ASIGetVideoData", data=raw)
        frame = next(frames)
    assert frame.data.tolist() == np.frombuffer(raw, np.uint8).reshape(2, 8, 3)[..., ::-1].tolist()


def test_video_frames_are_timed_from_their_arrival_or_by_their_gps_record(cam0, cam1, log):
    with cam0.stream(0.2) as frames:
        frame = next(frames)
        after = datetime.now(UTC)
    assert after - timedelta(seconds=0.2) - timedelta(seconds=1) < frame.meta.start_time <= after - timedelta(seconds=0.2)
    assert frame.meta.gps is None
    log.clear_calls()
    stamp = dict(year=2026, month=1, day=2, hour=3, minute=4, second=5, m_second=6, u_second=7, satellite_num=5)
    with cam1.stream(0.001) as frames:
        simulator.force_outputs("ASIGetVideoDataGPS", data=bytes(2048), gps=stamp)
        frame = next(frames)
    assert (frame.meta.start_time, frame.meta.gps.satellite_num) == (datetime(2026, 1, 2, 3, 4, 5, 6007, tzinfo=UTC), 5)
    assert "ASIGetVideoDataGPS" in names(log) and "ASIGetVideoData" not in names(log)


def test_leaving_the_loop_early_or_on_an_error_stops_the_capture(cam0, log):
    with cam0.stream(0.001) as frames:
        for frame in frames:
            break
    with pytest.raises(RuntimeError, match="the consumer failed"):
        with cam0.stream(0.001) as frames:
            next(frames)
            raise RuntimeError("the consumer failed")
    assert names(log).count("ASIStartVideoCapture") == names(log).count("ASIStopVideoCapture") == 2
    assert cam0.capture(0.001).data.shape == (32, 64)


def next_frame(cam, timeout):
    with cam.stream(0.001, timeout=timeout) as frames:
        return next(frames)


def test_waits_for_a_frame_are_short_slices_ended_by_the_timeout_ctrl_c_or_a_trigger(cam1, log):
    def waits():
        return [args[2] for name, args in log.calls() if name == "ASIGetVideoDataGPS"]

    cam1.mode = "soft_edge"                       # no trigger, no frame
    log.clear_calls()
    with pytest.raises(korvi.ASITimeout) as info:
        next_frame(cam1, 0.6)
    assert info.value.__notes__ == [f"orlicam: waiting 0.6 s for a video frame on {NAME1} (hint: no frame "
                                    "arrived in time: check the exposure, the trigger mode and the USB link)"]
    assert len(waits()) >= 3 and all(0 < w <= 250 for w in waits()) and names(log)[-1] == "ASIStopVideoCapture"
    log.clear_calls()
    interrupted(lambda: next_frame(cam1, 60))
    # each wait inside the SDK was short, so the interrupt was seen within one of them
    assert all(0 < w <= 250 for w in waits()) and names(log)[-1] == "ASIStopVideoCapture"
    log.clear_calls()
    timer = threading.Timer(0.6, cam1.send_soft_trigger)
    timer.start()
    assert next_frame(cam1, math.inf).data.shape == (32, 64)
    timer.join()
    assert len(waits()) >= 3 and all(w == 250 for w in waits())     # no timeout, still short waits
    cam1.mode = "normal"
    assert cam1.capture(0.001).data.shape == (32, 64)


def test_a_capture_inside_a_stream_is_refused(cam0, log):
    with cam0.stream(0.001) as frames:
        next(frames)
        log.clear_calls()
        with pytest.raises(korvi.ASIVideoModeActive) as info:
            cam0.capture(0.001)
        assert str(info.value) == f"{NAME0} is streaming; leave the stream first"
        with pytest.raises(korvi.ASIVideoModeActive):
            with cam0.stream():
                pass
        for change in (lambda: cam0.set_roi(32, 16, image_format="RAW8"), lambda: setattr(cam0, "roi", cam0.roi)):
            with pytest.raises(korvi.ASIVideoModeActive) as info:
                change()
            assert (str(info.value), info.value.__notes__) == (f"{NAME0} is streaming; leave the stream first",
                                                               [f"orlicam: setting the region of interest on {NAME0}"])
        assert not [c for c in log.calls() if c[0].startswith("ASISet")]
        assert next(frames).data.shape == (32, 64)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(exposure=0), ValueError, f"exposure must be between 3.2e-05 s and 2000 s on {NAME0}, got 0 s"),
    (dict(timeout=-1), ValueError, "timeout must be positive (seconds), got -1"),
    (dict(timeout="1"), TypeError, "timeout takes a number (int or float), not str"),
    (dict(copy="no"), TypeError, "copy takes a bool, not 'no'"),
])
def test_stream_arguments_are_checked_first(cam0, log, kwargs, error, message):
    refused(log, lambda: cam0.stream(**kwargs), error, message)


class FillingReader:
    """Stands in for the companion frame reader: fills the caller's buffer."""

    def __init__(self):
        self.buffers = []

    def read_video_frame(self, camera_id, buffer, wait_ms):
        self.buffers.append(buffer)
        memoryview(buffer).cast("B")[:] = korvi.get_video_data(camera_id, buffer.nbytes, wait_ms)

    def read_video_frame_gps(self, camera_id, buffer, wait_ms):
        self.buffers.append(buffer)
        data, gps = korvi.get_video_data_gps(camera_id, buffer.nbytes, wait_ms)
        memoryview(buffer).cast("B")[:] = data
        return gps


# format, frame shape, distinct buffers the reader fills with copy=True and copy=False:
# RGB24 is read into one scratch buffer and reordered into the frame's own array.
@pytest.mark.parametrize("fmt, shape, filled", [("RAW8", (32, 64), (6, 3)), ("RGB24", (32, 64, 3), (1, 1))])
@pytest.mark.parametrize("copy", [True, False])
def test_the_frame_reader_fills_fresh_or_ring_buffers(cam0, monkeypatch, copy, fmt, shape, filled):
    reader = FillingReader()
    monkeypatch.setattr(camera_module, "_fast", reader)
    cam0.set_roi(64, 32, image_format=fmt)
    with cam0.stream(0.001, copy=copy) as frames:
        taken = [f for _, f in zip(range(6), frames)]
    assert len({id(b) for b in reader.buffers}) == filled[0 if copy else 1]
    assert np.shares_memory(taken[0].data, taken[3].data) is (not copy)
    assert not any(np.shares_memory(a.data, b.data) for a, b in zip(taken, taken[1:]))
    assert not any(np.shares_memory(f.data, b) for f in taken for b in reader.buffers if fmt == "RGB24")
    assert all(not f.data.flags.writeable and f.data.shape == shape for f in taken)


def test_the_dropped_count_outlives_the_stream(cam0):
    with cam0.stream(0.001) as frames:
        next(frames)
        time.sleep(0.3)          # the reader falls behind
        next(frames)
        inside = frames.dropped
    assert type(inside) is int and 0 < inside <= frames.dropped   # the count when the stream stopped, not the idle camera's 0
    cam0.close()
    assert frames.dropped >= inside


def test_stream_frames_carry_the_settings_without_reading_them_per_frame(cam1, log):
    cam1.gain, cam1.offset = 100, 20
    with cam1.stream(0.001) as frames:
        first = next(frames)
        log.clear_calls()
        steady = [next(frames) for _ in range(10)]
        reads = [args[1] for name, args in log.calls() if name == "ASIGetControlValue"]
        cam1.gain = 200
        cam1.exposure = 0.002
        changed = next(frames)
        cam1.set_auto("gain", True)
        log.clear_calls()
        automatic = [next(frames) for _ in range(3)]
        auto_reads = [args[1] for name, args in log.calls() if name == "ASIGetControlValue"]
    assert [(f.meta.gain, f.meta.offset, f.meta.exposure) for f in [first, *steady]] == [(100, 20, 0.001)] * 11
    assert [f.meta.index for f in steady] == list(range(1, 11))
    # no reads per frame (fifty here); at most a periodic re-read of the five settings
    assert len(reads) <= 10
    assert (changed.meta.gain, changed.meta.exposure) == (200, 0.002)
    # while gain is automatic, it is read back with every frame
    assert auto_reads.count(int(korvi.ControlType.ASI_GAIN)) == len(automatic) == 3


def test_a_stream_is_iterated_inside_its_block_and_runs_again_from_frame_zero(cam0, log):
    stream = cam0.stream(0.001)
    with pytest.raises(ValueError, match="the stream is not running"):
        next(stream)
    for _ in range(2):
        with stream as frames:
            assert [next(frames).meta.index for _ in range(2)] == [0, 1]
    assert names(log).count("ASIStartVideoCapture") == names(log).count("ASIStopVideoCapture") == 2
