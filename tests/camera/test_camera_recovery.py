"""Faults a camera meets on a real bus: failed and hung exposures, a camera that drops off
and comes back, video that stops for a while; what the caller gets and is told."""
import pytest

from vorrant.orlicam import Camera, CameraLost, ExposureFailed, Recovery, korvi, simulator

from camera_support import NAME0, NAME1, names

FAILED, WORKING = int(korvi.ExposureStatus.ASI_EXP_FAILED), int(korvi.ExposureStatus.ASI_EXP_WORKING)


def recording(**policy):
    events = []
    return Recovery(on_event=lambda e: events.append((e.kind, e.attempt)), **policy), events


@pytest.mark.parametrize("failures, outcome", [
    (1, [("exposure-failed", 1)]),
    (3, [("exposure-failed", 1), ("exposure-failed", 2), ("exposure-failed", 3)]),
    (4, [("exposure-failed", 1), ("exposure-failed", 2), ("exposure-failed", 3), ("gave-up", 4)]),
])
def test_failed_exposures_are_taken_again_within_the_bound(cam0, log, monkeypatch, failures, outcome):
    cam0.recovery, events = recording()
    cam0.set_roi(64, 32)
    original = korvi.get_exp_status
    left = [failures]

    def status(cid):   # the SDK says "failed" once the exposure ends, `failures` times
        got = original(cid)
        if got != WORKING and left[0]:
            left[0] -= 1
            return FAILED
        return got

    monkeypatch.setattr(korvi, "get_exp_status", status)
    if failures > 3:
        with pytest.raises(ExposureFailed) as info:
            cam0.capture(0.001)
        assert str(info.value) == f"the exposure of 0.001 s failed on {NAME0} 4 times in a row"
    else:
        assert cam0.capture(0.001).data.shape == (32, 64)
    assert events == outcome
    assert names(log).count("ASIStartExposure") == min(failures, 3) + 1


def test_a_hung_exposure_is_stopped_and_taken_again(cam0, log, monkeypatch):
    cam0.recovery, events = recording(hang_after=0.2)
    cam0.set_roi(64, 32)
    original, calls = korvi.get_exp_status, []

    def status(cid):   # the first exposure never leaves "working"
        calls.append(names(log).count("ASIStartExposure"))
        return WORKING if calls[-1] == 1 else original(cid)

    monkeypatch.setattr(korvi, "get_exp_status", status)
    assert cam0.capture(0.001).data.shape == (32, 64)
    assert events == [("exposure-hung", 1)]
    sent = names(log)
    assert sent.index("ASIStopExposure") < sent.index("ASIStartExposure", sent.index("ASIStartExposure") + 1)


def test_a_camera_that_comes_back_is_reopened_with_its_settings(cam1):
    cam1.recovery, events = recording()
    cam1.gain, cam1.offset, cam1.flip = 150, 20, "both"
    cam1.set_roi(128, 64, bin=2, image_format="RAW16", x=16, y=8)
    cam1.target_temperature, cam1.cooler_on = -12, True
    cam1.capture(0.001)
    simulator.reset()   # as a replug: closed, every setting back to its default
    assert cam1.capture(0.001).data.shape == (64, 128)
    assert (cam1.lost, events) == (False, [("camera-lost", 1), ("camera-back", 1)])
    CT = korvi.ControlType
    sdk = {ct: korvi.get_control_value(1, ct)[0] for ct in (CT.ASI_GAIN, CT.ASI_OFFSET, CT.ASI_FLIP,
                                                            CT.ASI_TARGET_TEMP, CT.ASI_COOLER_ON)}
    assert sdk == {CT.ASI_GAIN: 150, CT.ASI_OFFSET: 20, CT.ASI_FLIP: 3, CT.ASI_TARGET_TEMP: -12, CT.ASI_COOLER_ON: 1}
    assert (korvi.get_roi_format(1), korvi.get_start_pos(1)) == ((128, 64, 2, korvi.ImgType.IMG_RAW16), (16, 8))


def test_a_camera_that_stays_away_is_one_typed_error_and_can_be_reconnected_later(cam1):
    cam1.recovery, events = recording(reconnect_timeout=0.3, poll_interval=0.05)
    cam1.capture(0.001)
    simulator.fail_next("ASIGetExpStatus", 5)
    simulator.fail_next("ASIOpenCamera", 5, times=10_000)
    with pytest.raises(CameraLost) as info:
        cam1.capture(0.001)
    assert str(info.value) == (f"{NAME1} was lost and is not back after 0.3 s; plug it in again, "
                               "then reconnect or open it")
    assert isinstance(info.value, korvi.ASICameraRemoved) and cam1.lost
    assert events == [("camera-lost", 1), ("gave-up", 1)]
    assert cam1.reconnect() is False
    simulator.reset()   # it is plugged in again
    assert cam1.reconnect() is True and not cam1.lost
    assert cam1.capture(0.001).meta.serial == cam1.serial


def test_a_stream_rides_out_a_loss_and_bounded_timeouts(cam0):
    cam0.recovery, events = recording(exposure_retries=2)
    cam0.set_roi(64, 32)
    with cam0.stream(0.001, timeout=0.2) as frames:
        next(frames)
        simulator.fail_next("ASIGetVideoData", 5)
        assert next(frames).data.shape == (32, 64) and frames.frames_read == 2
        assert events == [("camera-lost", 1), ("camera-back", 1)]
        simulator.fail_next("ASIGetVideoData", 11, times=1_000_000)
        with pytest.raises(korvi.ASITimeout):
            next(frames)
    assert events[2:] == [("video-timeout", 1), ("video-timeout", 2), ("gave-up", 3)]


@pytest.mark.parametrize("make, error, message", [
    (lambda: Recovery(exposure_retries=-1), ValueError, "exposure_retries is a whole number from 0, got -1"),
    (lambda: Recovery(exposure_retries=1.5), ValueError, "exposure_retries is a whole number from 0, got 1.5"),
    (lambda: Recovery(hang_after=0), ValueError, "hang_after must be positive, got 0"),
    (lambda: Recovery(reconnect_timeout=float("nan")), ValueError, "reconnect_timeout must not be negative, got nan"),
    (lambda: Recovery(poll_interval=float("inf")), ValueError, "poll_interval must be finite, got inf"),
    (lambda: Recovery(poll_interval="1s"), TypeError, "poll_interval takes a number, not str"),
    (lambda: Recovery(on_event=3), TypeError, "on_event takes a callable, not int"),
    (lambda: Camera(0, recovery=Recovery), TypeError, "recovery takes a Recovery or None, not type"),
])
def test_a_policy_that_cannot_work_is_refused_with_one_line(make, error, message):
    with pytest.raises(error) as info:
        make()
    assert str(info.value) == message
