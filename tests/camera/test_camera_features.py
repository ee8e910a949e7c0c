"""Guiding, cooling, camera modes, soft triggers, trigger outputs and dark subtraction."""
import os
import re

import numpy as np
import pytest

from vorrant.orlicam import Camera, korvi, simulator
from vorrant.orlicam.camera import Cooling, TriggerOutput
from vorrant.orlicam.korvi import CameraMode, GuideDirection, TrigOutput

from camera_support import NAME0, NAME1, cams, interrupted, names, refused  # noqa: F401


# --- guiding -----------------------------------------------------------------------------

@pytest.mark.parametrize("direction, number", [
    ("north", 0), ("South", 1), (GuideDirection.ASI_GUIDE_EAST, 2), (3, 3), ("ASI_GUIDE_WEST", 3), (np.int64(1), 1),
])
def test_a_guide_pulse_is_switched_on_then_off(cam0, log, direction, number):
    log.clear_calls()
    cam0.pulse_guide(direction, 0.02)
    assert log.calls() == [("ASIPulseGuideOn", (0, number)), ("ASIPulseGuideOff", (0, number))]


@pytest.mark.parametrize("direction, axis, sign", [("north", 1, -1), ("south", 1, 1), ("east", 0, -1), ("west", 0, 1)])
def test_a_guide_pulse_moves_the_stars_along_its_axis(cam0, direction, axis, sign):
    cam0.pulse_guide(direction, 0.1)
    shift = simulator.star_shift(0)
    assert shift[axis] * sign > 0 and shift[1 - axis] == 0


def test_ctrl_c_during_a_guide_pulse_still_ends_it(cam0, log):
    log.clear_calls()
    interrupted(lambda: cam0.pulse_guide("west", 10))
    assert log.calls() == [("ASIPulseGuideOn", (0, 3)), ("ASIPulseGuideOff", (0, 3))]


def test_a_camera_without_st4_refuses_to_guide(log):
    simulator.patch_camera_info(0, st_4_port=0)
    with Camera(0) as cam:
        refused(log, lambda: cam.pulse_guide("north", 0.1), AttributeError, f"{NAME0} has no ST4 guide port")


# --- cooling -----------------------------------------------------------------------------

def test_cool_to_waits_for_the_target_and_reports_progress(cam1, log):
    simulator.set_time_scale(3000)
    seen = []
    reached = cam1.cool_to(-5, timeout=30, tolerance=0.5, progress=seen.append, interval=0.02)
    assert abs(reached + 5) <= 0.5
    assert {("ASISetControlValue", (1, 16, -5, 0)), ("ASISetControlValue", (1, 17, 1, 0))} <= set(log.calls())
    assert len(seen) >= 2 and all(type(s) is Cooling and s.target == -5.0 for s in seen)
    assert seen[0].temperature > seen[-1].temperature == reached
    assert cam1.cooler_on is True and cam1.target_temperature == -5.0


def test_cool_to_gives_up_after_its_timeout_or_on_ctrl_c_and_leaves_the_camera_usable(cam1):
    with pytest.raises(korvi.ASITimeout) as info:
        cam1.cool_to(-30, timeout=0.2, interval=0.05)
    assert re.fullmatch(r"the sensor is at -?\d+(\.\d+)? °C after 0\.2 s, target -30 ± 1 °C", str(info.value))
    assert info.value.__notes__ == [f"orlicam: cooling on {NAME1}"]
    interrupted(lambda: cam1.cool_to(-30, timeout=60, interval=0.05))
    assert cam1.cooler_on is True
    assert cam1.capture(0.001).meta.target_temperature == -30.0


# --- modes and triggers ----------------------------------------------------------------------

@pytest.mark.parametrize("mode, number, name", [
    ("soft_edge", 1, "soft_edge"), ("RISE-EDGE", 2, "rise_edge"), (CameraMode.ASI_MODE_TRIG_FALL_EDGE, 3, "fall_edge"),
    (4, 4, "soft_level"), ("ASI_MODE_TRIG_HIGH_LEVEL", 5, "high_level"), ("normal", 0, "normal"),
    (np.int32(6), 6, "low_level"),
])
def test_modes_by_name_enum_or_number(cam1, log, mode, number, name):
    log.clear_calls()
    cam1.mode = mode
    assert cam1.mode == name
    assert log.calls() == [("ASISetCameraMode", (1, number)), ("ASIGetCameraMode", (1,))]


def test_supported_modes_by_name(cam0, cam1, log):
    log.clear_calls()
    cam0.mode = "normal"         # the only mode of a camera without triggers: nothing to tell the SDK
    assert (cam0.mode, log.calls()) == ("normal", [])
    assert cam0.supported_modes == ("normal",)
    assert cam1.supported_modes == ("normal", "soft_edge", "rise_edge", "fall_edge", "soft_level",
                                    "high_level", "low_level")


def test_soft_triggers_need_a_soft_trigger_mode(cam1, log):
    with pytest.raises(korvi.ASIInvalidMode) as info:
        cam1.send_soft_trigger()
    assert info.value.__notes__ == [f"orlicam: sending a soft trigger on {NAME1} (hint: this needs another camera "
                                    "mode (soft triggers need a soft trigger mode))"]
    cam1.mode = "soft_level"
    log.clear_calls()
    cam1.send_soft_trigger(True)
    cam1.send_soft_trigger(False)
    assert log.calls() == [("ASISendSoftTrigger", (1, 1)), ("ASISendSoftTrigger", (1, 0))]


@pytest.mark.parametrize("pin, number, label", [("A", 0, "A"), ("pinb", 1, "B"), (TrigOutput.ASI_TRIG_OUTPUT_PINA, 0, "A"),
                                                (1, 1, "B"), (np.uint8(1), 1, "B")])
def test_trigger_outputs_in_seconds(cam1, log, pin, number, label):
    log.clear_calls()
    cam1.configure_trigger_output(pin, high=False, delay=0.0015, duration=2.5)
    assert cam1.trigger_output(pin) == TriggerOutput(label, False, 0.0015, 2.5)
    assert log.calls() == [("ASISetTriggerOutputIOConf", (1, number, 0, 1500, 2_500_000)),
                           ("ASIGetTriggerOutputIOConf", (1, number))]


# --- dark subtraction ---------------------------------------------------------------------------

def test_dark_subtraction_from_a_bmp_file(cam1, log, tmp_path):
    dark = tmp_path / "dark.bmp"
    simulator.write_dark_bmp(1, str(dark))
    log.clear_calls()
    cam1.enable_dark_subtract(dark)
    cam1.disable_dark_subtract()
    assert log.calls() == [("ASIEnableDarkSubtract", (1, os.fsencode(dark))), ("ASIDisableDarkSubtract", (1,))]


def test_a_file_the_sdk_refuses_is_reported_with_its_path(cam1, tmp_path):
    junk = tmp_path / "junk.bmp"
    junk.write_bytes(b"not a bitmap")
    with pytest.raises(korvi.ASIError) as info:
        cam1.enable_dark_subtract(str(junk))
    assert info.value.__notes__[0].startswith(f"orlicam: enabling dark subtraction from {str(junk)!r} on {NAME1}")

# --- refusals made before the SDK hears of them ------------------------------------------

@pytest.mark.parametrize("cam_index, action, error, message", [
    (0, lambda c: c.pulse_guide("up", 1), ValueError, "unknown direction 'up'; known: 'north', 'south', 'east', 'west'"),
    (0, lambda c: c.pulse_guide(4, 1), ValueError,
     "unknown direction number 4; known: 0 (north), 1 (south), 2 (east), 3 (west)"),
    (0, lambda c: c.pulse_guide(None, 1), TypeError, "direction takes a GuideDirection, a name or an int, not NoneType"),
    (0, lambda c: c.pulse_guide("north", 0), ValueError, "seconds must be positive (seconds), got 0"),
    (0, lambda c: c.pulse_guide("north", 3601), ValueError, "a guide pulse lasts at most 3600 s, got 3601"),
    (0, lambda c: c.pulse_guide("north", float("inf")), ValueError, "seconds must be finite, got inf"),
    (0, lambda c: c.pulse_guide("north", float("nan")), ValueError, "seconds must be a number, got nan"),
    (0, lambda c: c.pulse_guide("north", "1"), TypeError, "seconds takes a number (int or float), not str"),
    (1, lambda c: c.cool_to(-41, timeout=1), ValueError,
     f"target_temperature must be between -40 °C and 30 °C on {NAME1}, got -41 °C"),
    (1, lambda c: c.cool_to(-10, timeout=0), ValueError, "timeout must be positive (seconds), got 0"),
    (1, lambda c: c.cool_to(-10, timeout=1, tolerance=-1), ValueError, "tolerance must not be negative, got -1"),
    (1, lambda c: c.cool_to(-10, timeout=1, progress=5), TypeError, "progress takes a callable, not int"),
    (1, lambda c: c.cool_to("cold", timeout=1), TypeError, "target_temperature takes a number (int or float), not str"),
    (1, lambda c: c.cool_to(-10, timeout=float("inf"), interval=float("inf")), ValueError,
     "interval must be finite, got inf"),
    (0, lambda c: c.cool_to(-10, timeout=1), AttributeError, f"{NAME0} has no cooler"),
    (0, lambda c: setattr(c, "mode", "soft_edge"), ValueError,
     "camera mode 'soft_edge' is not available here; available: 'normal'"),
    (0, lambda c: setattr(c, "mode", "turbo"), ValueError, "unknown camera mode 'turbo'; known: 'normal'"),
    (0, lambda c: setattr(c, "mode", -1), ValueError, "camera mode 'end' is not available here; available: 'normal'"),
    (0, lambda c: setattr(c, "mode", 1.5), TypeError, "camera mode takes a CameraMode, a name or an int, not float"),
    (0, lambda c: c.send_soft_trigger(), AttributeError, f"{NAME0} has no trigger modes"),
    (1, lambda c: c.configure_trigger_output("C"), ValueError, "unknown trigger output pin 'C'; known: 'a', 'b'"),
    (1, lambda c: c.configure_trigger_output(-1), ValueError,
     "trigger output pin 'none' is not available here; available: 'a', 'b'"),
    (1, lambda c: c.configure_trigger_output("A", delay=-0.1), ValueError, "delay must be between 0 and 2000 s, got -0.1"),
    (1, lambda c: c.configure_trigger_output("A", duration=2001), ValueError,
     "duration must be between 0 and 2000 s, got 2001"),
    (1, lambda c: c.configure_trigger_output("A", high="low"), TypeError, "high takes a bool, not 'low'"),
    (0, lambda c: c.configure_trigger_output("A"), AttributeError, f"{NAME0} has no trigger outputs"),
    (0, lambda c: c.trigger_output("B"), AttributeError, f"{NAME0} has no trigger outputs"),
    (1, lambda c: c.enable_dark_subtract("/nonexistent/dark.bmp"), FileNotFoundError,
     "no dark frame file at '/nonexistent/dark.bmp'"),
    (1, lambda c: c.enable_dark_subtract(b"/tmp/dark.bmp"), TypeError, "path takes a str or a path object, not bytes"),
    (1, lambda c: c.enable_dark_subtract(None), TypeError, "path takes a str or a path object, not NoneType"),
])
def test_bad_arguments_and_missing_features_are_refused_first(cams, log, cam_index, action, error, message):
    refused(log, lambda: action(cams[cam_index]), error, message)


# --- Ctrl-C as an SDK call returns ---------------------------------------------------------
# Python runs a pending signal handler the moment a call returns, so Ctrl-C can surface
# from a call whose work is done: an open camera, a running exposure, stream or pulse.

def run_stream(cam):
    with cam.stream(0.001):
        pass


@pytest.mark.parametrize("function, action, tail", [
    ("open_camera", lambda cam: Camera(1).open(), ["ASIOpenCamera", "ASICloseCamera"]),
    ("start_exposure", lambda cam: cam.capture(5.0), ["ASIStartExposure", "ASIStopExposure"]),
    ("start_video_capture", run_stream, ["ASIStartVideoCapture", "ASIStopVideoCapture"]),
    ("pulse_guide_on", lambda cam: cam.pulse_guide("north", 5.0), ["ASIPulseGuideOn", "ASIPulseGuideOff"]),
])
def test_ctrl_c_as_a_call_returns_leaves_nothing_running(cam0, log, monkeypatch, function, action, tail):
    cam0.set_roi(64, 32)
    done = getattr(korvi, function)

    def done_then_interrupted(*args):
        done(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(korvi, function, done_then_interrupted)
    with pytest.raises(KeyboardInterrupt):
        action(cam0)
    monkeypatch.undo()
    assert names(log)[-2:] == tail
    assert cam0.capture(0.001).data.shape == (32, 64)
    with cam0.stream(0.001) as frames:
        assert next(frames).meta.index == 0
    with Camera(1) as cam1:      # neither open nor held
        assert cam1.is_open
