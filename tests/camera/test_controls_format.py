"""Camera controls (capabilities, values, clamping, cooling) and the image format:
region of interest, binning, output type and start position."""
import time

import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import ControlType, ImgType

SENSOR = {0: (1936, 1096), 1: (4144, 2822)}


# ---------------------------------------------------------------------- capabilities


@pytest.mark.parametrize("cam, count", [(0, 15), (1, 20)])
def test_number_of_controls_and_their_caps(cam, count, opened, log):
    opened(cam)
    log.clear_calls()
    n = korvi.get_num_of_controls(cam)
    assert type(n) is int and n == count
    caps = [korvi.get_control_caps(cam, i) for i in range(n)]
    assert all(type(c) is korvi.ControlCaps for c in caps)
    assert log.calls()[:2] == [("ASIGetNumOfControls", (cam,)), ("ASIGetControlCaps", (cam, 0))]
    with pytest.raises(korvi.ASIInvalidIndex):
        korvi.get_control_caps(cam, n)
    by_type = {c.control_type: c for c in caps}
    assert len(by_type) == n and all(type(t) is ControlType for t in by_type)
    gain, exposure = by_type[ControlType.ASI_GAIN], by_type[ControlType.ASI_EXPOSURE]
    assert (gain.name, gain.min_value, gain.max_value, gain.is_auto_supported) == ("Gain", 0, 570, True)
    assert (exposure.name, exposure.description) == ("Exposure", "Exposure Time(us)")
    assert (exposure.min_value, exposure.max_value) == (32, 2_000_000_000)
    assert by_type[ControlType.ASI_TEMPERATURE].is_writable is False
    assert (ControlType.ASI_COOLER_ON in by_type) == (cam == 1)
    assert (ControlType.ASI_WB_R in by_type) == (cam == 0)


# ---------------------------------------------------------------------------- values


def test_get_control_value(opened, log):
    opened(0)
    log.clear_calls()
    value = korvi.get_control_value(0, ControlType.ASI_GAIN)
    assert type(value) is tuple and value == (200, False)
    assert type(value[0]) is int and value[1] is False
    assert log.calls() == [("ASIGetControlValue", (0, 0))]


@pytest.mark.parametrize("value, auto, expected", [(-5, 7, (-5, True)), (2**40, 0, (2**40, False))])
def test_get_control_value_reports_the_sdk_out_values(value, auto, expected):
    simulator.force_outputs("ASIGetControlValue", value=value, auto=auto)
    result = korvi.get_control_value(1, ControlType.ASI_EXPOSURE)
    assert result == expected and result[1] is expected[1]


def test_set_control_value_reaches_the_sdk(opened, log):
    opened(1)
    log.clear_calls()
    assert korvi.set_control_value(1, ControlType.ASI_EXPOSURE, 10000, False) is None
    korvi.set_control_value(camera_id=1, control_type=ControlType.ASI_GAIN, value=300, auto_mode=True)
    assert log.calls() == [("ASISetControlValue", (1, 1, 10000, 0)), ("ASISetControlValue", (1, 0, 300, 1))]
    assert korvi.get_control_value(1, ControlType.ASI_EXPOSURE) == (10000, False)
    gain = korvi.get_control_value(1, ControlType.ASI_GAIN)
    assert gain == (300, True) and gain[1] is True


@pytest.mark.parametrize(
    "value, auto_mode, sent",
    [(12.7, False, (12, 0)), (True, 1, (1, 1)), (2**40, "x", (2**40, 1)), (-(2**40), None, (-(2**40), 0))],
)
def test_set_control_value_argument_conversion(value, auto_mode, sent, log):
    simulator.force_outputs("ASISetControlValue")
    korvi.set_control_value(0, ControlType.ASI_GAIN, value, auto_mode)
    assert log.calls() == [("ASISetControlValue", (0, 0) + sent)]


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((ControlType.ASI_GAIN, "x", False), TypeError, "Argument 'value' has incorrect type (expected int, got str)"),
        ((0, 1, False), AttributeError, "'int' object has no attribute 'value'"),
    ],
)
def test_set_control_value_argument_errors_come_before_the_sdk(args, error, message, log):
    with pytest.raises(error) as exc:
        korvi.set_control_value(0, *args)
    assert str(exc.value) == message
    with pytest.raises(AttributeError):
        korvi.get_control_value(0, 0)
    assert log.calls() == []


@pytest.mark.parametrize(
    "control, value, read_back",
    [
        (ControlType.ASI_GAIN, 10_000, 570),
        (ControlType.ASI_GAIN, -5, 0),
        (ControlType.ASI_EXPOSURE, 2**40, 2_000_000_000),
    ],
)
def test_values_are_clamped_to_the_control_range(control, value, read_back, opened):
    opened(1)
    korvi.set_control_value(1, control, value, False)
    assert korvi.get_control_value(1, control) == (read_back, False)


@pytest.mark.parametrize(
    "cam, control", [(0, ControlType.ASI_TARGET_TEMP), (1, ControlType.ASI_WB_R), (1, ControlType.ASI_OVERCLOCK)]
)
def test_control_the_camera_does_not_have(cam, control, opened):
    opened(cam)
    with pytest.raises(korvi.ASIInvalidControlType):
        korvi.get_control_value(cam, control)
    with pytest.raises(korvi.ASIInvalidControlType):
        korvi.set_control_value(cam, control, 0, False)


@pytest.mark.parametrize(
    "control", [ControlType.ASI_TEMPERATURE, ControlType.ASI_COOLER_POWER_PERC, ControlType.ASI_GPS_SUPPORT]
)
def test_writing_a_read_only_control(control, opened):
    opened(1)
    before = korvi.get_control_value(1, control)
    with pytest.raises(korvi.ASIGeneralError):
        korvi.set_control_value(1, control, 1, False)
    assert korvi.get_control_value(1, control) == before


def test_cooler_pulls_the_sensor_temperature_down(opened):
    opened(1)
    simulator.set_time_scale(200)  # about 10 degrees per real second with the cooler on
    temperature = ControlType.ASI_TEMPERATURE
    idle = [korvi.get_control_value(1, temperature)[0] for _ in range(3)]
    assert idle == [200, 200, 200]  # tenths of a degree: ambient, cooler off
    korvi.set_control_value(1, ControlType.ASI_TARGET_TEMP, -10, False)
    korvi.set_control_value(1, ControlType.ASI_COOLER_ON, 1, False)
    readings = []
    for _ in range(4):
        time.sleep(0.05)
        readings.append(korvi.get_control_value(1, temperature)[0])
    assert all(type(r) is int for r in readings)
    assert readings == sorted(readings, reverse=True) and len(set(readings)) == 4
    assert -100 <= readings[-1] < 190
    assert korvi.get_control_value(1, ControlType.ASI_COOLER_POWER_PERC)[0] > 0


# ---------------------------------------------------------------- region of interest


@pytest.mark.parametrize(
    "img_type, code", [(ImgType.IMG_RAW8, 0), (ImgType.IMG_RGB24, 1), (ImgType.IMG_RAW16, 2), (ImgType.IMG_Y8, 3)]
)
def test_set_roi_format_reaches_the_sdk_and_reads_back(img_type, code, opened, log):
    opened(0)
    log.clear_calls()
    assert korvi.set_roi_format(0, 640, 480, 1, img_type) is None
    roi = korvi.get_roi_format(0)
    assert log.calls() == [("ASISetROIFormat", (0, 640, 480, 1, code)), ("ASIGetROIFormat", (0,))]
    assert roi == (640, 480, 1, img_type)
    assert type(roi) is tuple and [type(v) for v in roi] == [int, int, int, ImgType] and roi[3] is img_type


def test_get_roi_format_defaults_and_bin_given_as_bool(opened, log):
    opened(1)
    assert korvi.get_roi_format(1) == (4144, 2822, 1, ImgType.IMG_RAW8)
    log.clear_calls()
    korvi.set_roi_format(camera_id=1, width=512.9, height=256, bin=True, img_type=ImgType.IMG_RAW16)
    assert log.calls() == [("ASISetROIFormat", (1, 512, 256, 1, 2))]
    assert korvi.get_roi_format(1) == (512, 256, 1, ImgType.IMG_RAW16)


def test_get_roi_format_builds_the_type_through_the_name_imgtype(monkeypatch, opened):
    opened(0)
    korvi.set_roi_format(0, 64, 64, 2, ImgType.IMG_Y8)
    seen = []
    monkeypatch.setattr(korvi, "ImgType", lambda code: seen.append(code) or ("made", code))
    assert korvi.get_roi_format(0) == (64, 64, 2, ("made", 3))
    assert seen == [3]


def test_get_roi_format_refuses_a_code_outside_imgtype():
    simulator.force_outputs("ASIGetROIFormat", width=8, height=2, bin=1, img_type=9)
    with pytest.raises(ValueError):
        korvi.get_roi_format(0)


def test_img_type_must_be_an_enumeration_member(log):
    with pytest.raises(AttributeError) as exc:
        korvi.set_roi_format(0, 640, 480, 1, 0)
    assert str(exc.value) == "'int' object has no attribute 'value'"
    assert log.calls() == []


@pytest.mark.parametrize(
    "cam, width, height, bin, img_type, error",
    [
        (0, 641, 480, 1, ImgType.IMG_RAW8, korvi.ASIInvalidSize),
        (0, 1944, 1096, 1, ImgType.IMG_RAW8, korvi.ASIInvalidSize),
        (0, 1000, 600, 2, ImgType.IMG_RAW8, korvi.ASIInvalidSize),
        (0, 640, 480, 5, ImgType.IMG_RAW8, korvi.ASIInvalidImageType),
        (1, 640, 480, 1, ImgType.IMG_RGB24, korvi.ASIInvalidImageType),
        (0, 640, 480, 1, ImgType.IMG_END, korvi.ASIInvalidImageType),
    ],
)
def test_set_roi_format_refusals(cam, width, height, bin, img_type, error, opened, log):
    opened(cam)
    before = korvi.get_roi_format(cam)
    log.clear_calls()
    with pytest.raises(error):
        korvi.set_roi_format(cam, width, height, bin, img_type)
    assert log.calls() == [("ASISetROIFormat", (cam, width, height, bin, img_type.value))]
    assert korvi.get_roi_format(cam) == before


@pytest.mark.parametrize(
    "cam, width, height, bin", [(0, 640, 480, 1), (0, 320, 200, 2), (1, 1024, 768, 2), (1, 8, 2, 4)]
)
def test_start_position_is_centred_after_a_new_roi(cam, width, height, bin, opened):
    opened(cam)
    korvi.set_roi_format(cam, width, height, bin, ImgType.IMG_RAW8)
    sw, sh = SENSOR[cam]
    pos = korvi.get_start_pos(cam)
    assert type(pos) is tuple and all(type(v) is int for v in pos)
    assert pos == ((sw // bin - width) // 2, (sh // bin - height) // 2)


def test_set_start_pos(opened, log):
    opened(0)
    korvi.set_roi_format(0, 640, 480, 1, ImgType.IMG_RAW8)
    log.clear_calls()
    assert korvi.set_start_pos(0, start_x=0, start_y=0) is None
    assert korvi.get_start_pos(0) == (0, 0)
    korvi.set_start_pos(0, 1936 - 640, 1096 - 480)
    assert korvi.get_start_pos(camera_id=0) == (1296, 616)
    assert log.calls()[0] == ("ASISetStartPos", (0, 0, 0))


@pytest.mark.parametrize("x, y", [(-1, 0), (1297, 0), (0, 617), (2**31 - 1, 2**31 - 1)])
def test_start_position_out_of_boundary(x, y, opened):
    opened(0)
    korvi.set_roi_format(0, 640, 480, 1, ImgType.IMG_RAW8)
    with pytest.raises(korvi.ASIOutOfBoundary):
        korvi.set_start_pos(0, x, y)
    assert korvi.get_start_pos(0) == (648, 308)


