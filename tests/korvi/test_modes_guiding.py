"""Camera modes and triggers, ST4 guiding, dark subtraction, gain presets and GPS."""
import os
import pathlib
import struct
import tempfile
import time
import traceback

import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import CameraMode, ControlType, GuideDirection, ImgType, TrigOutput

NORMAL, SOFT_EDGE = CameraMode.ASI_MODE_NORMAL, CameraMode.ASI_MODE_TRIG_SOFT_EDGE
PINA, PINB = TrigOutput.ASI_TRIG_OUTPUT_PINA, TrigOutput.ASI_TRIG_OUTPUT_PINB


def snapshot(cam, size, is_dark=False):
    korvi.start_exposure(cam, is_dark)
    deadline = time.monotonic() + 5
    while korvi.get_exp_status(cam) == 1:
        assert time.monotonic() < deadline
        time.sleep(0.005)
    return korvi.get_data_after_exp(cam, size)


# ---------------------------------------------------------------------------- modes


@pytest.mark.parametrize("cam, modes", [(0, [NORMAL]), (1, list(CameraMode)[:7])])
def test_supported_modes_are_a_list_of_members(cam, modes, opened, log):
    opened(cam)
    log.clear_calls()
    result = korvi.get_camera_support_mode(cam)
    assert type(result) is list and result == modes
    assert all(type(m) is CameraMode for m in result)
    assert log.calls() == [("ASIGetCameraSupportMode", (cam,))]


def test_supported_modes_end_at_the_first_end_marker():
    simulator.force_outputs("ASIGetCameraSupportMode", modes=[0, 1, -1, 2])
    assert korvi.get_camera_support_mode(1) == [NORMAL, SOFT_EDGE]


def test_set_and_get_camera_mode(opened, log):
    opened(1)
    log.clear_calls()
    assert korvi.get_camera_mode(1) is NORMAL
    assert korvi.set_camera_mode(1, SOFT_EDGE) is None
    mode = korvi.get_camera_mode(camera_id=1)
    assert type(mode) is CameraMode and mode is SOFT_EDGE
    assert log.calls() == [("ASIGetCameraMode", (1,)), ("ASISetCameraMode", (1, 1)), ("ASIGetCameraMode", (1,))]


def test_get_camera_mode_builds_the_member_through_the_name_cameramode(monkeypatch):
    seen = []
    monkeypatch.setattr(korvi, "CameraMode", lambda code: seen.append(code) or ("made", code))
    simulator.force_outputs("ASIGetCameraMode", mode=5)
    assert korvi.get_camera_mode(1) == ("made", 5)
    assert seen == [5]


@pytest.mark.parametrize("cam, mode", [(0, SOFT_EDGE), (1, CameraMode.ASI_MODE_END)])
def test_unsupported_mode(cam, mode, opened):
    opened(cam)
    with pytest.raises(korvi.ASIInvalidMode):
        korvi.set_camera_mode(cam, mode)
    assert korvi.get_camera_mode(cam) is NORMAL


@pytest.mark.parametrize(
    "name, args",
    [("set_camera_mode", (1,)), ("set_trigger_output_io_conf", (0, True, 0, 100)), ("pulse_guide_on", (0,)),
     ("pulse_guide_off", (3,))],
)
def test_enumeration_parameters_refuse_plain_ints(name, args, log):
    with pytest.raises(AttributeError, match="^'int' object has no attribute 'value'$"):
        getattr(korvi, name)(1, *args)
    assert log.calls() == []


def test_send_soft_trigger_flag(opened, log):
    opened(1)
    korvi.set_camera_mode(1, SOFT_EDGE)
    log.clear_calls()
    assert [korvi.send_soft_trigger(1, start) for start in (True, 0, "", "go")] == [None] * 4
    assert log.calls() == [("ASISendSoftTrigger", (1, sent)) for sent in (1, 0, 0, 1)]


def test_soft_triggered_capture(opened):
    opened(1)
    korvi.set_roi_format(1, 64, 64, 1, ImgType.IMG_RAW16)
    korvi.set_control_value(1, ControlType.ASI_EXPOSURE, 1000, False)
    korvi.set_camera_mode(1, SOFT_EDGE)
    korvi.start_video_capture(1)
    with pytest.raises(korvi.ASITimeout):
        korvi.get_video_data(1, 8192, 200)  # no trigger, no frame
    korvi.send_soft_trigger(1, True)
    frame = korvi.get_video_data(1, 8192, 2000)
    assert type(frame) is bytearray and len(frame) == 8192 and any(frame)
    with pytest.raises(korvi.ASITimeout):
        korvi.get_video_data(1, 8192, 200)  # one trigger, one frame
    korvi.stop_video_capture(1)


# ------------------------------------------------------------------ trigger outputs


def test_trigger_output_configuration(opened, log):
    opened(1)
    log.clear_calls()
    assert korvi.set_trigger_output_io_conf(1, PINA, True, 0, 100) is None
    korvi.set_trigger_output_io_conf(1, PINB, None, 2.9, 2_000_000_000)
    a, b = korvi.get_trigger_output_io_conf(1, PINA), korvi.get_trigger_output_io_conf(1, 1)
    assert a == (True, 0, 100) and a[0] is True and [type(v) for v in a] == [bool, int, int]
    assert b == (False, 2, 2_000_000_000) and b[0] is False
    assert log.calls() == [
        ("ASISetTriggerOutputIOConf", (1, 0, 1, 0, 100)),
        ("ASISetTriggerOutputIOConf", (1, 1, 0, 2, 2_000_000_000)),
        ("ASIGetTriggerOutputIOConf", (1, 0)),
        ("ASIGetTriggerOutputIOConf", (1, 1)),
    ]


def test_get_trigger_output_reports_the_sdk_out_values():
    simulator.force_outputs("ASIGetTriggerOutputIOConf", pin_high=2, delay=2**40, duration=-3)
    result = korvi.get_trigger_output_io_conf(1, PINB)
    assert result == (True, 2**40, -3) and result[0] is True


@pytest.mark.parametrize(
    "cam, pin, delay, duration",
    [(1, PINA, 2_000_000_001, 0), (1, PINA, -1, 0), (1, PINB, 0, -1), (1, TrigOutput.ASI_TRIG_OUTPUT_NONE, 0, 0),
     (0, PINA, 0, 0)],  # camera 0 has no trigger outputs
)
def test_trigger_output_refusals(cam, pin, delay, duration, opened):
    opened(cam)
    with pytest.raises(korvi.ASIGeneralError):
        korvi.set_trigger_output_io_conf(cam, pin, True, delay, duration)
    if cam == 1:
        assert korvi.get_trigger_output_io_conf(1, 0) == (False, 0, 0)


# ------------------------------------------------------------------------- guiding


@pytest.mark.parametrize(
    "direction, code, sign",
    [
        (GuideDirection.ASI_GUIDE_NORTH, 0, (0, -1)),
        (GuideDirection.ASI_GUIDE_SOUTH, 1, (0, 1)),
        (GuideDirection.ASI_GUIDE_EAST, 2, (-1, 0)),
        (GuideDirection.ASI_GUIDE_WEST, 3, (1, 0)),
    ],
)
def test_guide_pulse_moves_the_star_field(direction, code, sign, opened, log):
    opened(0)
    log.clear_calls()
    korvi.pulse_guide_on(0, direction)
    time.sleep(0.1)
    korvi.pulse_guide_off(0, direction)
    moved = simulator.star_shift(0)
    time.sleep(0.05)
    assert simulator.star_shift(0) == moved  # off stops it
    assert log.calls() == [("ASIPulseGuideOn", (0, code)), ("ASIPulseGuideOff", (0, code))]
    assert tuple((v > 0.3) - (v < -0.3) for v in moved) == sign  # 0.1 s at about 5 pixels per second


def brightest_star(frame, width, height, threshold, near=None, reach=12):
    """Centroid (x, y) of the brightest compact blob, at least 20 pixels inside the frame,
    or searched within `reach` of `near`."""
    if near is None:
        spots = ((x, y) for y in range(20, height - 20) for x in range(20, width - 20))
    else:
        nx, ny = int(near[0]), int(near[1])
        spots = ((x, y) for y in range(ny - reach, ny + reach) for x in range(nx - reach, nx + reach))
    best = max(
        ((sum(frame[(y + j) * width + x + i] for j in range(-2, 3) for i in range(-2, 3)), x, y)
         for x, y in spots if frame[y * width + x] >= threshold),
        default=None,
    )
    assert best is not None, "no star found"
    _, x0, y0 = best
    window = [(x0 + i, y0 + j, frame[(y0 + j) * width + x0 + i]) for j in range(-5, 6) for i in range(-5, 6)]
    total = sum(v for _, _, v in window)
    return sum(x * v for x, _, v in window) / total, sum(y * v for _, y, v in window) / total


def test_a_guide_pulse_moves_the_stars_in_the_frames(opened):
    opened(1)
    simulator.set_time_scale(100_000)  # cool at once: hot pixels fade, stars stay
    korvi.set_control_value(1, ControlType.ASI_TARGET_TEMP, -40, False)
    korvi.set_control_value(1, ControlType.ASI_COOLER_ON, 1, False)
    simulator.set_focal_length(1, 4000)
    korvi.set_roi_format(1, 512, 512, 1, ImgType.IMG_RAW8)
    korvi.set_control_value(1, ControlType.ASI_GAIN, 570, False)
    korvi.set_control_value(1, ControlType.ASI_EXPOSURE, 50_000, False)
    time.sleep(0.05)
    before = snapshot(1, 512 * 512)
    threshold = max(before) // 8
    x0, y0 = brightest_star(before, 512, 512, threshold)
    start = simulator.star_shift(1)
    korvi.pulse_guide_on(1, GuideDirection.ASI_GUIDE_WEST)
    time.sleep(0.2)
    korvi.pulse_guide_off(1, GuideDirection.ASI_GUIDE_WEST)
    dx = simulator.star_shift(1)[0] - start[0]
    assert dx > 5
    x1, y1 = brightest_star(snapshot(1, 512 * 512), 512, 512, threshold, near=(x0 + dx, y0))
    assert abs(x1 - x0 - dx) < 0.6 and abs(y1 - y0) < 0.6


def test_guiding_a_camera_without_st4():
    saved = simulator.connected()
    simulator.configure(["asi585mc"])
    try:
        korvi.open_camera(0)
        assert korvi.get_camera_property(0).st_4_port is False
        with pytest.raises(korvi.ASIGeneralError):
            korvi.pulse_guide_on(0, GuideDirection.ASI_GUIDE_NORTH)
    finally:
        simulator.configure(saved)


# ---------------------------------------------------------------- dark subtraction


def grey_bmp(width, height, value=0):
    """An uncompressed 8-bit greyscale BMP, bottom-up, with a grey palette."""
    stride = (width + 3) // 4 * 4
    pixels = bytes([value]) * (stride * height)
    offset = 14 + 40 + 1024
    palette = bytes(c for g in range(256) for c in (g, g, g, 0))
    return (
        struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
        + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
        + palette
        + pixels
    )


VALID_DARK = grey_bmp(1936, 1096)  # the size of camera 0's sensor


def test_enable_dark_subtract_hands_over_the_utf8_path(tmp_path, opened, log):
    opened(0)
    dark = tmp_path / "dark ü€.bmp"
    dark.write_bytes(VALID_DARK)
    missing = str(tmp_path / "Überall.bmp")
    log.clear_calls()
    assert korvi.enable_dark_subtract(0, str(dark)) is None
    assert korvi.disable_dark_subtract(0) is None
    with pytest.raises(korvi.ASIInvalidPath):
        korvi.enable_dark_subtract(camera_id=0, bmp_path=missing)
    assert log.calls() == [
        ("ASIEnableDarkSubtract", (0, os.fsencode(dark))),
        ("ASIDisableDarkSubtract", (0,)),
        ("ASIEnableDarkSubtract", (0, missing.encode("utf-8"))),
    ]


def test_path_with_an_embedded_nul(tmp_path, log):
    (tmp_path / "dark.bmp").write_bytes(VALID_DARK)
    with pytest.raises(ValueError) as exc:
        korvi.enable_dark_subtract(0, str(tmp_path / "dark.bmp") + "\0.txt")
    assert str(exc.value) == "embedded null character"
    assert traceback.extract_tb(exc.value.__traceback__)[-1].name == "vorrant.orlicam.korvi.enable_dark_subtract"
    assert log.calls() == []


@pytest.mark.parametrize("path, got", [(None, "NoneType"), (b"/tmp/d.bmp", "bytes"), (pathlib.Path("/tmp/d.bmp"), "PosixPath")])
def test_path_must_be_a_str(path, got, log):
    with pytest.raises(TypeError) as exc:
        korvi.enable_dark_subtract(0, path)
    assert str(exc.value) == f"Argument 'bmp_path' has incorrect type (expected str, got {got})"
    assert log.calls() == []


def test_path_that_cannot_be_utf8(log):
    with pytest.raises(UnicodeEncodeError):
        korvi.enable_dark_subtract(0, "/tmp/\udcff.bmp")
    assert log.calls() == []


@pytest.mark.parametrize(
    "content",
    [
        b"",
        b"P5 1936 1096 255\n",
        VALID_DARK[:20],
        VALID_DARK[:-1],
        grey_bmp(1096, 1936),
        grey_bmp(1936, 1095),
        VALID_DARK[:14] + struct.pack("<I", 12) + VALID_DARK[18:],  # the old core header
        VALID_DARK[:28] + struct.pack("<H", 16) + VALID_DARK[30:],  # 16 bits per pixel
    ],
    ids=["empty", "not a bmp", "header only", "truncated", "transposed", "short", "core header", "16 bit"],
)
def test_malformed_dark_files(content, tmp_path, opened):
    opened(0)
    path = tmp_path / "dark.bmp"
    path.write_bytes(content)
    with pytest.raises(korvi.ASIInvalidFileFormat):
        korvi.enable_dark_subtract(0, str(path))


def test_dark_files_under_random_damage(opened):
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    opened(0)
    header = len(VALID_DARK) - 1936 * 1096

    @hypothesis.given(
        st.one_of(
            st.binary(max_size=4096).map(lambda b: ("bytes", b)),
            st.lists(st.tuples(st.integers(0, header - 1), st.integers(0, 255)), min_size=1, max_size=6).map(
                lambda edits: ("edits", edits)
            ),
            st.integers(0, len(VALID_DARK) - 1).map(lambda n: ("cut", n)),
        )
    )
    @hypothesis.settings(max_examples=60, deadline=None)
    def check(damage):
        kind, what = damage
        if kind == "bytes":
            content = what
        elif kind == "cut":
            content = VALID_DARK[:what]
        else:
            content = bytearray(VALID_DARK)
            for at, value in what:
                content[at] = value
        with tempfile.NamedTemporaryFile(suffix=".bmp") as f:
            f.write(content)
            f.flush()
            try:
                korvi.enable_dark_subtract(0, f.name)
            except korvi.ASIInvalidFileFormat:
                return
        assert kind == "edits", "a file too short for the sensor was accepted"

    check()


def test_dark_subtraction_removes_hot_pixels(tmp_path, opened):
    opened(0)
    korvi.set_control_value(0, ControlType.ASI_GAIN, 400, False)
    korvi.set_control_value(0, ControlType.ASI_EXPOSURE, 100_000, False)
    korvi.set_roi_format(0, 1936, 1096, 1, ImgType.IMG_RAW8)
    size = 1936 * 1096

    def hot(frame):  # pixels of at least 64
        return frame.translate(bytes(64) + bytes([1]) * 192).count(1)

    raw = snapshot(0, size, is_dark=True)
    assert raw.count(255) >= 10 and hot(raw) >= 15
    simulator.write_dark_bmp(0, tmp_path / "dark.bmp")
    korvi.enable_dark_subtract(0, str(tmp_path / "dark.bmp"))
    cleaned = snapshot(0, size, is_dark=True)
    assert max(cleaned) < 128 and hot(cleaned) <= 3  # what is left is the hot pixels' own noise
    korvi.disable_dark_subtract(0)
    assert snapshot(0, size, is_dark=True).count(255) >= 10


# ------------------------------------------------------------------- gain presets


@pytest.mark.parametrize(
    "name, entry, keys",
    [
        ("get_gain_offset", "ASIGetGainOffset", ["offset_highest_dr", "offset_unity_gain", "gain_lowest_rn", "offset_lowest_rn"]),
        ("get_lmh_gain_offset", "ASIGetLMHGainOffset", ["l_gain", "m_gain", "h_gain", "h_offset"]),
    ],
)
def test_gain_presets_keep_the_sdk_order(name, entry, keys, log):
    simulator.force_outputs(entry, **dict(zip(keys, [11, -22, 33, 2**31 - 1])))
    result = getattr(korvi, name)(1)
    assert type(result) is tuple and result == (11, -22, 33, 2**31 - 1)
    assert all(type(v) is int for v in result)
    assert log.calls() == [(entry, (1,))]


# ----------------------------------------------------------------------------- GPS


def test_gps_data_start_then_end(log):
    start = dict(year=2024, month=2, day=29, hour=23, minute=59, second=58, m_second=999, u_second=1, latitude=1.5)
    end = dict(year=2025, month=3, day=1, hour=0, minute=0, second=1, m_second=2, u_second=3, satellite_num=7)
    simulator.force_outputs("ASIGPSGetData", start=start, end=end)
    first, last = korvi.gps_get_data(1)
    assert type(first) is korvi.GpsData and type(last) is korvi.GpsData and first is not last
    for record, fields in ((first, start), (last, end)):
        assert {k: getattr(record, k) for k in fields} == fields
    assert log.calls() == [("ASIGPSGetData", (1,))]


def test_gps_data_from_the_gps_camera(opened, log):
    opened(1)
    simulator.set_gps_position(1, 48.2082, 16.3738, 190)
    log.clear_calls()
    start, end = korvi.gps_get_data(True)
    assert log.calls() == [("ASIGPSGetData", (1,))]
    assert start.year >= 2024 and end.year >= 2024 and start is not end
    assert (start.latitude, start.longitude, start.altitude) == (48.2082, 16.3738, 190)
    stamp = lambda g: (g.year, g.month, g.day, g.hour, g.minute, g.second, g.m_second, g.u_second)  # noqa: E731
    assert stamp(start) <= stamp(end)


def test_gps_refusals(opened):
    opened(0)
    opened(1)
    with pytest.raises(korvi.ASIGPSNotSupported):
        korvi.gps_get_data(0)
    simulator.set_gps_fix(1, False)
    with pytest.raises(korvi.ASIGPSDataInvalid) as exc:
        korvi.gps_get_data(1)
    assert str(exc.value) == "ASI error code 22."
