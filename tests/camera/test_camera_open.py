"""Discovery, choosing a camera, opening and closing, one holder per camera, and the
errors a caller meets on the way."""
import gc
import re
import subprocess
import sys
import threading

import pytest

from vorrant.orlicam import Camera, CameraDescription, cameras, korvi, simulator

from camera_support import NAME0, names, refused

COLOUR = dict(index=0, camera_id=0, name="ZWO ASI462MC Simulator", max_width=1936, max_height=1096,
              is_color=True, bayer_pattern="RGGB", bit_depth=12, pixel_size=2.9, bins=(1, 2, 3, 4),
              formats=("RAW8", "RGB24", "RAW16", "Y8"), cooled=False, st4=True, trigger=False, gps=False,
              usb3=True, mechanical_shutter=False)
MONO = dict(index=1, camera_id=1, name="ZWO ASI294MM Pro GPS Simulator", max_width=4144, max_height=2822,
            is_color=False, bayer_pattern=None, bit_depth=14, pixel_size=4.63, bins=(1, 2, 3, 4),
            formats=("RAW8", "RAW16", "Y8"), cooled=True, st4=True, trigger=True, gps=True,
            usb3=True, mechanical_shutter=False)


def test_cameras_describe_both_simulated_cameras_and_leave_them_closed(log):
    found = cameras()
    assert [type(d) for d in found] == [CameraDescription] * 2
    for description, expected in zip(found, (COLOUR, MONO)):
        assert {field: getattr(description, field) for field in expected} == expected
    # e/ADU is the SDK's 32-bit float widened, not rounded
    assert [d.e_per_adu for d in found] == [pytest.approx(3.06, abs=1e-6), pytest.approx(3.92, abs=1e-6)]
    assert names(log).count("ASIOpenCamera") == names(log).count("ASICloseCamera")
    with pytest.raises(korvi.ASICameraClosed):
        korvi.get_num_of_controls(1)


@pytest.mark.parametrize("which, index", [
    (0, 0), (1, 1), ("ASI294", 1), ("asi462mc", 0), ("ZWO ASI294MM Pro GPS Simulator", 1), ("description", 1),
])
def test_a_camera_is_chosen_by_index_unique_name_or_description(which, index):
    cam = Camera(cameras()[1] if which == "description" else which)
    assert (cam.name, cam.camera_id, cam.index, cam.description) == (
        cameras()[index].name, index, index, cameras()[index])


@pytest.mark.parametrize("which, error, message", [
    ("ZWO", ValueError, "'ZWO' matches 2 cameras (0: ZWO ASI462MC Simulator; 1: ZWO ASI294MM Pro GPS "
                        "Simulator); give more of the name or the index"),
    ("ASI2600", ValueError, "no connected camera's name contains 'ASI2600'; connected: "
                            "0: ZWO ASI462MC Simulator; 1: ZWO ASI294MM Pro GPS Simulator"),
    (2, ValueError, "no camera at index 2; 2 connected: 0: ZWO ASI462MC Simulator; 1: ZWO ASI294MM Pro GPS Simulator"),
    (-1, ValueError, "no camera at index -1; 2 connected: 0: ZWO ASI462MC Simulator; 1: ZWO ASI294MM Pro GPS Simulator"),
    (True, TypeError, "Camera takes an index, a name or a CameraDescription, not bool"),
    (1.0, TypeError, "Camera takes an index, a name or a CameraDescription, not float"),
])
def test_choosing_a_camera_that_is_not_there(which, error, message):
    with pytest.raises(error) as info:
        Camera(which)
    assert str(info.value) == message


def test_with_block_opens_initialises_and_closes_even_when_the_block_fails(log):
    with Camera(1) as cam:
        first = log.calls().index(("ASIOpenCamera", (1,)))
        assert cam.is_open and log.calls()[first + 1] == ("ASIInitCamera", (1,))
        assert cam.serial == "294e5a5722071902"
    assert not cam.is_open and log.calls()[-1] == ("ASICloseCamera", (1,))
    with pytest.raises(ZeroDivisionError):
        with Camera(0) as cam:
            1 / 0
    assert not cam.is_open and log.calls()[-1] == ("ASICloseCamera", (0,))
    with Camera(0) as again:     # and it can be opened again
        assert again.gain == 200


def test_open_twice_and_close_twice_reach_the_sdk_once(log):
    cam = Camera(0)
    cam.open()
    cam.open()
    cam.close()
    cam.close()
    assert names(log).count("ASIOpenCamera") == names(log).count("ASICloseCamera") == 1


@pytest.mark.parametrize("use", [
    lambda cam: cam.gain, lambda cam: cam.capture(0.001), lambda cam: cam.roi, lambda cam: cam.controls,
    lambda cam: setattr(cam, "exposure", 0.01), lambda cam: cam.stream(), lambda cam: cam.mode,
    lambda cam: cam.pulse_guide("north", 0.01), lambda cam: cam.serial, lambda cam: cam.abort_exposure(),
])
def test_use_after_close_names_the_camera(log, use):
    with Camera(0) as cam:
        pass
    error = refused(log, lambda: use(cam), korvi.ASICameraClosed,
                    f"{NAME0} is closed; open it first (with Camera(...) as cam: or cam.open())")
    assert re.fullmatch(f"orlicam: .+ on {re.escape(NAME0)}", error.__notes__[0])


def test_a_second_camera_object_is_refused_while_the_first_holds_the_camera(log):
    first = Camera(1)
    first.open()
    try:
        log.clear_calls()
        with pytest.raises(korvi.ASIGeneralError) as info:
            Camera(1).open()
        assert str(info.value) == ("ZWO ASI294MM Pro GPS Simulator (camera id 1) is already open through another "
                                   "Camera object in this process; use that object or close it first")
        assert not [c for c in log.calls() if c[0] in ("ASIOpenCamera", "ASICloseCamera")]
        with Camera(0):          # another camera is free
            pass
    finally:
        first.close()
    with Camera(1) as second:    # released by close
        assert second.is_open


def test_a_forgotten_camera_object_releases_its_camera(log):
    Camera(0).open()
    gc.collect()
    assert log.calls()[-1] == ("ASICloseCamera", (0,))
    with Camera(0) as cam:
        assert cam.is_open


def test_only_one_of_racing_threads_opens_the_camera():
    barrier = threading.Barrier(4)
    outcomes, holders = [], []

    def race():
        cam = Camera(1)
        barrier.wait()
        try:
            cam.open()
            holders.append(cam)
        except korvi.ASIGeneralError:
            outcomes.append("refused")

    threads = [threading.Thread(target=race) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert (len(holders), outcomes) == (1, ["refused"] * 3)
    holders[0].close()


@pytest.mark.parametrize("entry, code, error", [
    ("ASIOpenCamera", 2, korvi.ASIInvalidID),
    ("ASIInitCamera", 16, korvi.ASIGeneralError),
    ("ASIGetNumOfControls", 5, korvi.ASICameraRemoved),
])
def test_a_failed_open_closes_the_camera_again_and_says_why(log, entry, code, error):
    simulator.fail_next(entry, code)
    cam = Camera(0)
    with pytest.raises(error) as info:
        cam.open()
    assert str(info.value) == f"ASI error code {code}."
    assert info.value.__notes__[0].startswith(f"orlicam: opening on {NAME0} (hint: ")
    assert not cam.is_open
    assert names(log).count("ASICloseCamera") == (names(log).count("ASIOpenCamera") if entry != "ASIOpenCamera" else 0)
    with Camera(0) as again:     # nothing is left held
        assert again.is_open


def test_sdk_errors_keep_their_class_and_traceback_and_gain_a_hint():
    with Camera(0) as cam:
        simulator.fail_next("ASIGetControlValue", 5)
        with pytest.raises(korvi.ASICameraRemoved) as info:
            cam.gain
    assert info.value.__notes__ == [f"orlicam: reading gain on {NAME0} "
                                    "(hint: the camera was disconnected; reconnect it and open it again)"]
    assert "vorrant.orlicam.korvi.get_control_value" in [entry.name for entry in info.traceback]


def test_importing_korvi_does_not_import_numpy():
    code = ("import sys; import vorrant.orlicam.korvi; import vorrant.orlicam; "
            "assert 'numpy' not in sys.modules, 'numpy imported'; "
            "from vorrant.orlicam import Roi; assert 'numpy' in sys.modules")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr


def test_a_failed_description_names_the_camera():
    simulator.fail_next("ASIGetCameraProperty", 2)
    with pytest.raises(korvi.ASIInvalidID) as info:
        cameras()
    assert info.value.__notes__ == ["orlicam: reading the description on camera 0 (hint: the camera id is unknown; "
                                    "the camera may have been disconnected)"]
