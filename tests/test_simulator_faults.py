"""Faults the simulator plays (ORLICAM_SIM_FAULTS, simulator.set_faults), seen through
korvi as a program sees a camera that misbehaves."""
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from vorrant.orlicam import korvi, simulator

CT, ES = korvi.ControlType, korvi.ExposureStatus
W, H = 64, 48


def ready(cam, exposure_us=1000, img_type=korvi.ImgType.IMG_RAW8):
    korvi.open_camera(cam)
    korvi.init_camera(cam)
    korvi.set_roi_format(cam, W, H, 1, img_type)
    korvi.set_control_value(cam, CT.ASI_EXPOSURE, exposure_us, False)


def expose(cam, patience=5.0, size=W * H):
    """Starts an exposure and returns the status it settles on (WORKING if it has not
    within `patience` seconds) and the frame when it succeeded."""
    korvi.start_exposure(cam, False)
    deadline = time.monotonic() + patience
    while (status := korvi.get_exp_status(cam)) == ES.ASI_EXP_WORKING and time.monotonic() < deadline:
        time.sleep(0.005)
    frame = korvi.get_data_after_exp(cam, size) if status == ES.ASI_EXP_SUCCESS else None
    return status, frame


OK, FAIL = ES.ASI_EXP_SUCCESS, ES.ASI_EXP_FAILED


@pytest.mark.parametrize("schedule, statuses", [
    ("fail camera=1 every=2", [OK, FAIL, OK, FAIL]),
    ("fail camera=1 exposure=1,3", [FAIL, OK, FAIL, OK]),
    ("fail camera=1 p=1", [FAIL] * 4),
    ("fail camera=1 p=0", [OK] * 4),
    ("fail camera=0 every=1", [OK] * 4),          # another camera's faults
    ("hang camera=1 exposure=2 for=0.3", [OK] * 4),  # late, but it comes
])
def test_exposure_faults_end_as_scheduled(schedule, statuses):
    ready(1)
    simulator.set_faults(schedule)
    assert [expose(1)[0] for _ in statuses] == statuses


def test_failed_exposure_has_no_frame():
    ready(1)
    simulator.set_faults("fail camera=1 exposure=1")
    assert expose(1)[0] == FAIL
    with pytest.raises(korvi.ASIGeneralError):
        korvi.get_data_after_exp(1, W * H)


@pytest.mark.parametrize("hang, still_working_after, ends", [
    ("for=0.4", 0.2, OK),
    ("", 1.0, None),
])
def test_hung_exposure_stays_working(hang, still_working_after, ends):
    ready(1)
    simulator.set_faults(f"hang camera=1 exposure=1 {hang}")
    korvi.start_exposure(1, False)
    time.sleep(still_working_after)
    assert korvi.get_exp_status(1) == ES.ASI_EXP_WORKING
    if ends is None:   # hangs until stopped
        korvi.stop_exposure(1)
        assert korvi.get_exp_status(1) == FAIL
    else:
        time.sleep(0.5)
        assert korvi.get_exp_status(1) == ends


def serial(cam):
    korvi.open_camera(cam)
    return korvi.get_serial_number(cam).id


def test_unplugged_camera_leaves_the_list_and_comes_back_last():
    serials = [serial(0), serial(1)]
    ready(0)
    korvi.set_control_value(1, CT.ASI_GAIN, 200, False)
    korvi.set_control_value(1, CT.ASI_TARGET_TEMP, -10, False)
    korvi.set_control_value(1, CT.ASI_COOLER_ON, 1, False)
    simulator.set_faults("unplug camera=0 at=0 for=0.4")
    for call in (korvi.get_exp_status, korvi.open_camera, korvi.get_camera_property_by_id, korvi.close_camera):
        with pytest.raises(korvi.ASICameraRemoved):
            call(0)
    assert korvi.get_number_of_connected_cameras() == 1
    assert korvi.get_camera_property(0).camera_id == 1   # the other moved up
    with pytest.raises(korvi.ASIInvalidIndex):
        korvi.get_camera_property(1)
    assert korvi.get_control_value(1, CT.ASI_GAIN)[0] == 200   # the other is untouched
    time.sleep(0.5)
    assert korvi.get_number_of_connected_cameras() == 2
    assert [korvi.get_camera_property(i).camera_id for i in range(2)] == [1, 0]
    with pytest.raises(korvi.ASICameraClosed):
        korvi.get_exp_status(0)
    assert serial(0) == serials[0]
    with pytest.raises(korvi.ASIGeneralError):   # opened, not initialised
        korvi.start_exposure(0, False)
    assert [t for t, c, what in simulator.fault_log()] == [0.0, 0.4]


def test_cooled_camera_comes_back_warming_with_power_up_settings():
    simulator.set_time_scale(1000)
    ready(1)
    korvi.set_control_value(1, CT.ASI_GAIN, 200, False)
    korvi.set_control_value(1, CT.ASI_TARGET_TEMP, -10, False)
    korvi.set_control_value(1, CT.ASI_COOLER_ON, 1, False)
    time.sleep(0.6)
    cold = simulator.sensor_temperature(1)
    simulator.set_faults("unplug camera=1 after=1 for=0.2")
    assert expose(1)[0] == OK
    with pytest.raises(korvi.ASICameraRemoved):
        korvi.get_exp_status(1)
    time.sleep(0.3)
    korvi.open_camera(1)
    values = {c: korvi.get_control_value(1, c)[0] for c in (CT.ASI_COOLER_ON, CT.ASI_GAIN, CT.ASI_TARGET_TEMP)}
    caps = {korvi.get_control_caps(1, i).control_type: korvi.get_control_caps(1, i).default_value
            for i in range(korvi.get_num_of_controls(1))}
    assert values == {CT.ASI_COOLER_ON: 0, CT.ASI_GAIN: caps[CT.ASI_GAIN], CT.ASI_TARGET_TEMP: caps[CT.ASI_TARGET_TEMP]}
    assert korvi.get_roi_format(1)[:3] == (4144, 2822, 1)
    assert cold < simulator.sensor_temperature(1) < 20
    assert [what for _, _, what in simulator.fault_log()] == ["unplugged for 0.2 s", "back"]


def test_video_frames_time_out_for_the_window():
    ready(0)
    simulator.set_faults("video-timeout camera=0 after=2 for=0.5")
    korvi.start_video_capture(0)
    for _ in range(2):
        korvi.get_video_data(0, W * H, 1000)
    start = time.monotonic()
    while time.monotonic() - start < 0.3:
        with pytest.raises(korvi.ASITimeout):
            korvi.get_video_data(0, W * H, 50)
    korvi.get_video_data(0, W * H, 1000)   # comes once the window has passed
    assert time.monotonic() - start >= 0.5
    assert [(c, what) for _, c, what in simulator.fault_log()] == [(0, "video frames time out for 0.5 s")]


@pytest.mark.parametrize("kind", ["zero", "shift"])
def test_glitched_frame_has_a_band_of_damaged_rows(kind):
    def first_frame(schedule):
        simulator.reset()
        ready(1, img_type=korvi.ImgType.IMG_RAW16)
        korvi.set_control_value(1, CT.ASI_OFFSET, 40, False)
        simulator.set_faults(schedule)
        status, frame = expose(1, size=2 * W * H)
        assert status == OK
        return np.frombuffer(frame, np.uint16).reshape(H, W)

    clean = first_frame("")
    glitched = first_frame(f"seed=5; glitch camera=1 exposure=1 kind={kind}")
    (what,) = [w for _, _, w in simulator.fault_log()]
    first, last = map(int, what.split("rows ")[1].split(" ")[0].split("-"))
    assert what == f"exposure 1 glitched: rows {first}-{last} {'zeroed' if kind == 'zero' else 'shifted'}"
    band = slice(first, last + 1)
    expected = clean.copy()
    expected[band] = 0 if kind == "zero" else np.roll(clean[band], W // 3 & ~1, axis=1)
    assert clean.min() > 0 and last - first + 1 == max(2, H // 16)
    np.testing.assert_array_equal(glitched, expected)


def failures(schedule, n=16):
    simulator.reset()
    ready(1, exposure_us=32)
    simulator.set_faults(schedule)
    return [i + 1 for i in range(n) if expose(1)[0] == FAIL]


def test_seed_reproduces_the_schedule():
    runs = [failures(f"seed={s}; fail camera=1 p=0.5") for s in (7, 7, 8)]
    assert runs[0] == runs[1] and runs[0] != runs[2] and 0 < len(runs[0]) < 16


@pytest.mark.parametrize("text, message", [
    ("fail camera=1 evry=3", "item 1 'fail camera=1 evry=3': 'evry=3' is not a word fail takes "
                             "(camera=, exposure= or every= or p=)"),
    ("seed=1; unplug camera=2 at=1", "item 2 'unplug camera=2 at=1': camera=2 is not connected (2 cameras)"),
    ("hang camera=1 every=2 p=0.1", "item 1 'hang camera=1 every=2 p=0.1': hang takes one of exposure=N,M,..., "
                                    "every=N or p=PROBABILITY"),
    ("unplug camera=0 for=3", "item 1 'unplug camera=0 for=3': unplug takes one of at=SECONDS or after=COUNT"),
    ("fail camera=0 p=1.5", "item 1 'fail camera=0 p=1.5': p=1.5 is not a probability (0 to 1)"),
    ("glitch camera=0 every=2 kind=wavy", "item 1 'glitch camera=0 every=2 kind=wavy': kind=wavy is not shift or zero"),
    ("unplug", "item 1 'unplug': unplug needs camera=N"),
    ("reboot camera=0", "item 1 'reboot camera=0': unknown fault 'reboot' "
                        "(faults: unplug, fail, hang, video-timeout, glitch; or seed=N)"),
])
def test_bad_schedule_is_refused_naming_the_item(text, message):
    with pytest.raises(ValueError) as info:
        simulator.set_faults(text)
    assert str(info.value) == f"fault schedule: {message}"


def test_schedule_from_the_environment_and_a_bad_one_said_once():
    code = ("from vorrant.orlicam import korvi, simulator\n"
            "simulator.reset()\n"
            "print(korvi.get_number_of_connected_cameras())")
    run = lambda faults: subprocess.run(  # noqa: E731
        [sys.executable, "-c", code], env={**os.environ, "ORLICAM_SIM_FAULTS": faults},
        capture_output=True, text=True, timeout=60)
    good = run("unplug camera=1 at=0  # gone from the start\nseed=3")
    bad = run("unplug camera=1 at=soon")
    assert (good.stdout, good.stderr) == ("1\n", "")
    assert (bad.stdout, bad.stderr) == ("2\n", "orlicam simulator: ORLICAM_SIM_FAULTS: item 1 'unplug camera=1 at=soon': "
                                               "at=soon is not a number of seconds; playing no faults\n")
