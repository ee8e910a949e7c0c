"""Controls as properties in physical units: what reaches the SDK, what comes back, and
every refusal made before the SDK is called."""
import numpy as np
import pytest

from vorrant.orlicam import Camera, Control, korvi, simulator
from vorrant.orlicam.korvi import ControlType as CT, FlipStatus

from camera_support import NAME0, NAME1, cams, refused  # noqa: F401

HAS0 = ("auto_max_exposure, auto_max_gain, auto_target_brightness, bandwidth, exposure, flip, gain, gamma, "
        "hardware_bin, high_speed_mode, mono_bin, offset, temperature, wb_blue, wb_red")


# property, value set, control type, number the SDK receives, value read back
WRITES = [
    ("exposure", 0.25, CT.ASI_EXPOSURE, 250_000, 0.25), ("exposure", 1, CT.ASI_EXPOSURE, 1_000_000, 1.0),
    ("exposure", 0.001, CT.ASI_EXPOSURE, 1000, 0.001), ("exposure", 2000, CT.ASI_EXPOSURE, 2_000_000_000, 2000.0),
    ("gain", 300, CT.ASI_GAIN, 300, 300), ("offset", 40, CT.ASI_OFFSET, 40, 40), ("gamma", 70, CT.ASI_GAMMA, 70, 70),
    ("target_temperature", -10, CT.ASI_TARGET_TEMP, -10, -10.0), ("target_temperature", -5.4, CT.ASI_TARGET_TEMP, -5, -5.0),
    ("cooler_on", True, CT.ASI_COOLER_ON, 1, True), ("fan_on", False, CT.ASI_FAN_ON, 0, False),
    ("anti_dew_heater", 1, CT.ASI_ANTI_DEW_HEATER, 1, True), ("bandwidth", 80, CT.ASI_BANDWIDTHOVERLOAD, 80, 80),
    ("high_speed_mode", True, CT.ASI_HIGH_SPEED_MODE, 1, True), ("flip", "both", CT.ASI_FLIP, 3, FlipStatus.ASI_FLIP_BOTH),
    ("flip", "Horizontal", CT.ASI_FLIP, 1, FlipStatus.ASI_FLIP_HORIZ), ("flip", 0, CT.ASI_FLIP, 0, FlipStatus.ASI_FLIP_NONE),
    ("flip", FlipStatus.ASI_FLIP_VERT, CT.ASI_FLIP, 2, FlipStatus.ASI_FLIP_VERT),
    ("flip", np.int64(2), CT.ASI_FLIP, 2, FlipStatus.ASI_FLIP_VERT),
]


@pytest.mark.parametrize("prop, value, ctype, raw, back", WRITES)
def test_a_property_write_reaches_the_sdk_in_its_units(cams, log, prop, value, ctype, raw, back):
    cam = cams[1] if prop in ("target_temperature", "cooler_on", "fan_on", "anti_dew_heater") else cams[0]
    log.clear_calls()
    setattr(cam, prop, value)
    assert log.calls() == [("ASISetControlValue", (cam.camera_id, int(ctype), raw, 0))]
    assert (getattr(cam, prop), type(getattr(cam, prop))) == (back, type(back))


@pytest.mark.parametrize("cam_index, prop, ctype, raw, expected", [
    (0, "temperature", CT.ASI_TEMPERATURE, 215, 21.5), (1, "temperature", CT.ASI_TEMPERATURE, -153, -15.3),
    (1, "cooler_power", CT.ASI_COOLER_POWER_PERC, 42, 42), (0, "wb_red", CT.ASI_WB_R, 61, 61),
    (0, "wb_blue", CT.ASI_WB_B, 7, 7), (0, "exposure", CT.ASI_EXPOSURE, 32, 32e-6),
])
def test_a_property_read_converts_what_the_sdk_reports(cams, log, cam_index, prop, ctype, raw, expected):
    simulator.force_outputs("ASIGetControlValue", value=raw, auto=0)
    log.clear_calls()
    got = getattr(cams[cam_index], prop)
    assert got == pytest.approx(expected) and type(got) is type(expected)
    assert log.calls() == [("ASIGetControlValue", (cam_index, int(ctype)))]


# camera, property, value, error, message: refused before the SDK hears of it
REFUSALS = [
    (0, "gain", 571, ValueError, f"gain must be between 0 and 570 on {NAME0}, got 571"),
    (0, "gain", -1, ValueError, f"gain must be between 0 and 570 on {NAME0}, got -1"),
    (0, "exposure", 0.00001, ValueError, f"exposure must be between 3.2e-05 s and 2000 s on {NAME0}, got 1e-05 s"),
    (0, "exposure", 2001, ValueError, f"exposure must be between 3.2e-05 s and 2000 s on {NAME0}, got 2001 s"),
    (0, "exposure", float("inf"), ValueError, "exposure must be finite, got inf"),
    (0, "exposure", float("nan"), ValueError, "exposure must be a number, got nan"),
    (0, "exposure", "1s", TypeError, "exposure takes a number (int or float), not str"),
    (0, "exposure", True, TypeError, "exposure takes a number (int or float), not bool"),
    (0, "offset", 81, ValueError, f"offset must be between 0 and 80 on {NAME0}, got 81"),
    (1, "offset", 251, ValueError, f"offset must be between 0 and 250 on {NAME1}, got 251"),
    (0, "gain", 100.0, TypeError, "gain takes an int, not float"),
    (0, "gain", "100", TypeError, "gain takes an int, not str"),
    (0, "bandwidth", 39, ValueError, f"bandwidth must be between 40 % and 100 % on {NAME0}, got 39 %"),
    (1, "target_temperature", -41, ValueError, f"target_temperature must be between -40 °C and 30 °C on {NAME1}, got -41 °C"),
    (1, "cooler_on", "yes", TypeError, "cooler_on takes a bool, not 'yes'"),
    (1, "fan_on", 2, TypeError, "fan_on takes a bool, not 2"),
    (0, "flip", "diagonal", ValueError, "unknown flip 'diagonal'; known: 'none', 'horiz', 'vert', 'both'"),
    (0, "flip", 4, ValueError, "unknown flip number 4; known: 0 (none), 1 (horiz), 2 (vert), 3 (both)"),
    (0, "flip", 1.0, TypeError, "flip takes a FlipStatus, a name or an int, not float"),
    (0, "temperature", 10.0, AttributeError, f"temperature is read-only on {NAME0}"),
    (1, "cooler_power", 50, AttributeError, f"cooler_power is read-only on {NAME1}"),
]


@pytest.mark.parametrize("cam_index, prop, value, error, message", REFUSALS)
def test_bad_values_are_refused_before_the_sdk_is_called(cams, log, cam_index, prop, value, error, message):
    refused(log, lambda: setattr(cams[cam_index], prop, value), error, message)


@pytest.mark.parametrize("prop", ["cooler_on", "target_temperature", "cooler_power", "fan_on", "anti_dew_heater"])
def test_a_control_the_camera_lacks_lists_the_ones_it_has(cams, log, prop):
    for action in (lambda: getattr(cams[0], prop), lambda: setattr(cams[0], prop, 1)):
        refused(log, action, AttributeError, f"{NAME0} has no {prop} control; it has: {HAS0}")
    assert not hasattr(cams[0], prop) and hasattr(cams[1], prop)


def test_a_control_reported_read_only_refuses_writes(log):
    simulator.patch_control_caps(0, 0, is_writable=0)     # the gain, for this camera
    with Camera(0) as cam:
        refused(log, lambda: setattr(cam, "gain", 10), AttributeError, f"gain is read-only on {NAME0}")
        assert cam.controls["gain"].writable is False


def test_controls_list_caps_and_values_in_property_units(cams):
    cams[1].exposure = 0.5
    cams[1].set_auto("gain", True)
    controls = cams[1].controls
    assert list(controls)[:3] == ["gain", "exposure", "offset"]
    assert controls["exposure"] == Control(name="exposure", min=32e-6, max=2000.0, default=0.01, writable=True,
                                           auto_supported=True, description="Exposure Time(us)", unit="s",
                                           value=0.5, auto=False)
    assert controls["gain"].auto is True and controls["gain"].value == 120
    assert controls["temperature"].unit == "°C" and controls["temperature"].max == 100.0
    assert controls["target_temperature"].min == -40.0 and controls["target_temperature"].writable
    assert controls["auto_max_exposure"].unit == "s" and controls["auto_max_exposure"].default == pytest.approx(0.1)
    assert controls["gps"].value is True and controls["gps"].writable is False
    assert type(controls["flip"].value) is FlipStatus
    # the SDK's names and the ControlType names find the same entries
    for alias, name in [("Gain", "gain"), ("TargetTemp", "target_temperature"), ("ASI_TARGET_TEMP", "target_temperature"),
                        ("ASI_OFFSET", "offset"), ("BandWidth", "bandwidth"), ("cooleron", "cooler_on")]:
        assert alias in controls and controls[alias] == controls[name]
    for missing in ("focus", "", "Gain2"):
        assert missing not in controls and pytest.raises(KeyError, controls.__getitem__, missing)
    assert len(controls) == len(list(controls)) == len(dict(controls))


def test_set_auto_keeps_the_value_and_a_write_ends_auto(cams, log):
    cam = cams[0]
    cam.gain = 250
    log.clear_calls()
    cam.set_auto("gain")
    cam.set_auto(CT.ASI_EXPOSURE, True)
    assert log.calls() == [("ASIGetControlValue", (0, 0)), ("ASISetControlValue", (0, 0, 250, 1)),
                           ("ASIGetControlValue", (0, 1)), ("ASISetControlValue", (0, 1, 10000, 1))]
    assert cam.controls["gain"].auto is True
    cam.gain = 260
    assert cam.controls["gain"].auto is False and cam.controls["exposure"].auto is True


@pytest.mark.parametrize("name, on, error, message", [
    ("offset", True, ValueError, f"offset has no automatic mode on {NAME0}; controls with one: "
                                 "gain, exposure, bandwidth, wb_red, wb_blue"),
    ("gain", "on", TypeError, "on takes a bool, not 'on'"),
    ("cooler_on", True, ValueError, f"{NAME0} has no cooler_on control; it has: {HAS0}"),
    (CT.ASI_FAN_ON, True, ValueError, f"{NAME0} has no fan_on control; it has: {HAS0}"),
    ("focus", True, ValueError, f"unknown control 'focus'; {NAME0} has: {HAS0}"),
    (99, True, ValueError, "unknown control number 99; known: " + ", ".join(f"{int(m)} ({m.name[4:].lower()})"
                                                                           for m in CT if m >= 0)),
    (1.0, True, TypeError, "control takes a ControlType, a name or an int, not float"),
])
def test_set_auto_refusals(cams, log, name, on, error, message):
    refused(log, lambda: cams[0].set_auto(name, on), error, message)


@pytest.mark.parametrize("name", ["auto_max_gain", "AutoExpMaxGain", CT.ASI_AUTO_MAX_GAIN, 10, "ASI_AUTO_MAX_GAIN",
                                  "Auto_Max_Gain", np.int64(10)])
def test_any_control_by_name_type_or_number(cams, log, name):
    log.clear_calls()
    cams[0].set_control(name, 400)
    assert cams[0].get_control(name) == 400
    assert log.calls() == [("ASISetControlValue", (0, 10, 400, 0)), ("ASIGetControlValue", (0, 10))]


def test_an_sdk_refusal_of_a_write_carries_the_value_in_its_note(cams):
    simulator.fail_next("ASISetControlValue", 16)
    with pytest.raises(korvi.ASIGeneralError) as info:
        cams[0].exposure = 0.5
    assert info.value.__notes__[0].startswith(f"orlicam: setting exposure to 0.5 s on {NAME0} (hint: usually")
