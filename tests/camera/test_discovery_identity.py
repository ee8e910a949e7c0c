"""Discovery, SDK version, camera lifecycle and identity; and the steps every
camera operation shares: the error code goes through handle_error_code, looked
up at call time, and records come from the module's own types."""
import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import CameraMode, ControlType, GuideDirection, ImgType, TrigOutput


# ------------------------------------------------------- steps shared by every operation

# name -> (SDK entry point, well-typed arguments). The three operations whose SDK call
# returns no error code (the camera count, the device check, the version text) are not here.
OPERATIONS = {
    "get_camera_property": ("ASIGetCameraProperty", (0,)),
    "get_camera_property_by_id": ("ASIGetCameraPropertyByID", (0,)),
    "open_camera": ("ASIOpenCamera", (0,)),
    "init_camera": ("ASIInitCamera", (0,)),
    "close_camera": ("ASICloseCamera", (0,)),
    "get_id": ("ASIGetID", (0,)),
    "set_id": ("ASISetID", (0, korvi.Id())),
    "get_serial_number": ("ASIGetSerialNumber", (0,)),
    "get_camera_support_mode": ("ASIGetCameraSupportMode", (0,)),
    "get_camera_mode": ("ASIGetCameraMode", (0,)),
    "set_camera_mode": ("ASISetCameraMode", (0, CameraMode.ASI_MODE_NORMAL)),
    "start_exposure": ("ASIStartExposure", (0, False)),
    "stop_exposure": ("ASIStopExposure", (0,)),
    "get_exp_status": ("ASIGetExpStatus", (0,)),
    "get_data_after_exp": ("ASIGetDataAfterExp", (0, 16)),
    "get_data_after_exp_gps": ("ASIGetDataAfterExpGPS", (0, 16)),
    "start_video_capture": ("ASIStartVideoCapture", (0,)),
    "stop_video_capture": ("ASIStopVideoCapture", (0,)),
    "get_video_data": ("ASIGetVideoData", (0, 16, 0)),
    "get_video_data_gps": ("ASIGetVideoDataGPS", (0, 16, 0)),
    "get_dropped_frames": ("ASIGetDroppedFrames", (0,)),
    "get_num_of_controls": ("ASIGetNumOfControls", (0,)),
    "get_control_caps": ("ASIGetControlCaps", (0, 0)),
    "get_control_value": ("ASIGetControlValue", (0, ControlType.ASI_GAIN)),
    "set_control_value": ("ASISetControlValue", (0, ControlType.ASI_GAIN, 1, False)),
    "set_roi_format": ("ASISetROIFormat", (0, 64, 64, 1, ImgType.IMG_RAW8)),
    "get_roi_format": ("ASIGetROIFormat", (0,)),
    "set_start_pos": ("ASISetStartPos", (0, 0, 0)),
    "get_start_pos": ("ASIGetStartPos", (0,)),
    "enable_dark_subtract": ("ASIEnableDarkSubtract", (0, "/nonexistent/dark.bmp")),
    "disable_dark_subtract": ("ASIDisableDarkSubtract", (0,)),
    "pulse_guide_on": ("ASIPulseGuideOn", (0, GuideDirection.ASI_GUIDE_NORTH)),
    "pulse_guide_off": ("ASIPulseGuideOff", (0, GuideDirection.ASI_GUIDE_NORTH)),
    "get_gain_offset": ("ASIGetGainOffset", (0,)),
    "get_lmh_gain_offset": ("ASIGetLMHGainOffset", (0,)),
    "send_soft_trigger": ("ASISendSoftTrigger", (0, True)),
    "set_trigger_output_io_conf": ("ASISetTriggerOutputIOConf", (0, TrigOutput.ASI_TRIG_OUTPUT_PINA, True, 0, 0)),
    "get_trigger_output_io_conf": ("ASIGetTriggerOutputIOConf", (0, 0)),
    "gps_get_data": ("ASIGPSGetData", (0,)),
}


# Each operation gets one of these codes, so that the set as a whole sees several.
CODES = [(2, korvi.ASIInvalidID), (11, korvi.ASITimeout), (22, korvi.ASIGPSDataInvalid), (13, korvi.ASIBufferTooSmall)]


@pytest.mark.parametrize("name", OPERATIONS)
def test_every_sdk_code_goes_through_handle_error_code(name, log):
    entry, args = OPERATIONS[name]
    code, error = CODES[list(OPERATIONS).index(name) % len(CODES)]
    simulator.fail_next(entry, code)
    with pytest.raises(error) as exc:
        getattr(korvi, name)(*args)
    assert type(exc.value) is error
    assert str(exc.value) == f"ASI error code {code}."
    assert [c[0] for c in log.calls()] == [entry]


@pytest.mark.parametrize("name", OPERATIONS)
def test_handle_error_code_is_looked_up_before_the_sdk_call(name, monkeypatch, log):
    entry, args = OPERATIONS[name]
    monkeypatch.delattr(korvi, "handle_error_code")
    with pytest.raises(NameError) as exc:
        getattr(korvi, name)(*args)
    assert str(exc.value) == "name 'handle_error_code' is not defined"
    # Only the plain video read waits in the SDK first and looks the handler up afterwards.
    assert [c[0] for c in log.calls()] == ([entry] if name == "get_video_data" else [])


def test_operations_without_an_error_code_work_without_handle_error_code(monkeypatch):
    monkeypatch.delattr(korvi, "handle_error_code")
    assert korvi.get_number_of_connected_cameras() == 2
    assert korvi.camera_check(0x03C3, 0x462B) == 1
    assert korvi.get_sdk_version() == "1.37.0 (orlicam simulator)"


# Operations returning records, with outputs forced so that no camera set-up is needed:
# (name, arguments, SDK entry point, picks the records out of the result).
RECORD_RESULTS = [
    ("get_camera_property", (0,), "ASIGetCameraProperty", lambda r: [r]),
    ("get_camera_property_by_id", (0,), "ASIGetCameraPropertyByID", lambda r: [r]),
    ("get_id", (0,), "ASIGetID", lambda r: [r]),
    ("get_serial_number", (0,), "ASIGetSerialNumber", lambda r: [r]),
    ("get_control_caps", (0, 0), "ASIGetControlCaps", lambda r: [r]),
    ("get_data_after_exp_gps", (0, 8), "ASIGetDataAfterExpGPS", lambda r: [r[1]]),
    ("get_video_data_gps", (0, 8, 0), "ASIGetVideoDataGPS", lambda r: [r[1]]),
    ("gps_get_data", (0,), "ASIGPSGetData", lambda r: list(r)),
]


@pytest.mark.parametrize("name, args, entry, records", RECORD_RESULTS, ids=[r[0] for r in RECORD_RESULTS])
def test_records_are_new_objects_of_the_modules_own_types(name, args, entry, records, monkeypatch):
    own = {n: getattr(korvi, n) for n in ("CameraInfo", "ControlCaps", "Id", "GpsData", "SupportedMode")}
    for n in own:
        monkeypatch.setattr(korvi, n, lambda *a, **k: pytest.fail("a record type was looked up by name"))
    simulator.force_outputs(entry)
    simulator.force_outputs(entry)
    first = records(getattr(korvi, name)(*args))
    second = records(getattr(korvi, name)(*args))
    for a, b in zip(first, second):
        assert type(a) in own.values() and type(b) is type(a)
        assert a is not b
    assert len({id(r) for r in first + second}) == len(first) * 2


# ------------------------------------------------------------------------- discovery


@pytest.mark.parametrize("cameras", [[], ["asi120mm_mini"], ["asi462mc", "asi585mc", "asi294mm_pro_gps"]])
def test_number_of_connected_cameras(cameras):
    saved = simulator.connected()
    try:
        simulator.configure(cameras)
        n = korvi.get_number_of_connected_cameras()
        assert type(n) is int and n == len(cameras)
    finally:
        simulator.configure(saved)


def test_number_of_cameras_is_the_sdk_answer_never_an_error():
    simulator.fail_next("ASIGetNumOfConnectedCameras", 7)
    assert korvi.get_number_of_connected_cameras() == 7


@pytest.mark.parametrize(
    "vid, pid, expected",
    [(0x03C3, 0x462B, 1), (0x03C3, 0x294E, 1), (0x03C3, 0x0001, 0), (0x03C4, 0x462B, 0), (0, 0, 0)],
)
def test_camera_check_returns_a_plain_int(vid, pid, expected):
    r = korvi.camera_check(vid, pid)
    assert type(r) is int and r == expected


def test_camera_check_arguments_and_a_nonzero_answer(log):
    simulator.fail_next("ASICameraCheck", 5)  # any non-zero answer is a yes
    r = korvi.camera_check(True, 1.9)
    assert type(r) is int and r == 1
    assert log.calls() == [("ASICameraCheck", (1, 1))]


@pytest.mark.parametrize("index", [0, 1])
def test_get_camera_property(index, log):
    info = korvi.get_camera_property(camera_index=index)
    again = korvi.get_camera_property(index)
    assert type(info) is korvi.CameraInfo and info is not again
    assert log.calls() == [("ASIGetCameraProperty", (index,))] * 2
    raw = simulator.camera_info(index)
    assert (info.name, info.camera_id, info.max_width) == (raw.Name.decode(), index, raw.MaxWidth)


@pytest.mark.parametrize("index", [2, -1, 1000])
def test_get_camera_property_bad_index(index):
    with pytest.raises(korvi.ASIInvalidIndex):
        korvi.get_camera_property(index)


def test_get_camera_property_by_id_on_a_closed_camera(log):
    info = korvi.get_camera_property_by_id(1)
    assert type(info) is korvi.CameraInfo and info.camera_id == 1 and info.max_width == 4144
    assert log.calls() == [("ASIGetCameraPropertyByID", (1,))]
    with pytest.raises(korvi.ASIInvalidID):
        korvi.get_camera_property_by_id(2)


# None: the library hands out a null pointer, read as an empty version.
@pytest.mark.parametrize("raw, expected", [(b"1, 2, 3", "1, 2, 3"), ("1.37 β-Ω".encode(), "1.37 β-Ω"), (b"", ""), (None, "")])
def test_sdk_version(raw, expected):
    simulator.set_sdk_version(raw)
    version = korvi.get_sdk_version()
    assert type(version) is str and version == expected


def test_sdk_version_that_is_not_utf8_and_a_failed_call():
    simulator.set_sdk_version(b"1.0\xff")
    with pytest.raises(UnicodeDecodeError) as exc:
        korvi.get_sdk_version()
    assert exc.value.object == b"1.0\xff" and exc.value.start == 3
    simulator.fail_next("ASIGetSDKVersion", 1)  # a failed call answers with a null pointer
    assert korvi.get_sdk_version() == ""


# ------------------------------------------------------------------------- lifecycle


def test_open_init_close_reach_the_sdk(log):
    assert korvi.open_camera(1) is None
    assert korvi.init_camera(1) is None
    assert korvi.close_camera(1) is None
    assert log.calls() == [("ASIOpenCamera", (1,)), ("ASIInitCamera", (1,)), ("ASICloseCamera", (1,))]


def test_closing_a_camera_that_was_never_opened_succeeds_every_time():
    assert korvi.close_camera(0) is None
    assert korvi.close_camera(0) is None
    korvi.open_camera(0)
    korvi.close_camera(0)
    assert korvi.close_camera(0) is None


# -------------------------------------------------------------------------- identity


def test_get_id_keyword_is_i_camera_id(opened, log):
    opened(0)
    log.clear_calls()
    assert type(korvi.get_id(i_camera_id=0)) is korvi.Id
    with pytest.raises(TypeError) as exc:
        korvi.get_id(camera_id=0)
    assert str(exc.value) == "get_id() got an unexpected keyword argument 'camera_id'"
    assert log.calls() == [("ASIGetID", (0,))]


@pytest.mark.parametrize("cam", [0, 1])
@pytest.mark.parametrize("hex_id", ["0123456789abcdef", "ff00ff00ff00ff01"])
def test_set_id_writes_eight_bytes_and_get_id_reads_them_back(cam, hex_id, opened, log):
    opened(cam)
    new = korvi.Id()
    new.id = hex_id
    log.clear_calls()
    assert korvi.set_id(cam, new) is None
    read = korvi.get_id(cam)
    assert type(read) is korvi.Id and read is not new and read.id == hex_id
    assert log.calls() == [("ASISetID", (cam, bytes.fromhex(hex_id))), ("ASIGetID", (cam,))]


def test_a_fresh_id_sends_zero_bytes_and_a_subclass_is_accepted(opened, log):
    opened(0)

    class MyId(korvi.Id):
        pass

    mine = MyId()
    mine.id = "a1a2a3a4a5a6a7a8"
    log.clear_calls()
    korvi.set_id(0, korvi.Id())
    korvi.set_id(serial_number=mine, camera_id=0)
    assert korvi.get_id(0).id == "a1a2a3a4a5a6a7a8"
    assert log.calls() == [
        ("ASISetID", (0, bytes(8))),
        ("ASISetID", (0, bytes.fromhex("a1a2a3a4a5a6a7a8"))),
        ("ASIGetID", (0,)),
    ]


def test_set_id_type_check_uses_the_modules_own_id_type(monkeypatch, opened, log):
    opened(0)
    log.clear_calls()
    with pytest.raises(TypeError) as exc:
        korvi.set_id(0, None)
    assert str(exc.value) == (
        "Argument 'serial_number' has incorrect type (expected vorrant.orlicam.korvi.Id, got NoneType)"
    )
    own = korvi.Id

    class Impostor:
        id = "0000000000000000"

    monkeypatch.setattr(korvi, "Id", Impostor)
    with pytest.raises(TypeError, match=r"expected vorrant\.orlicam\.korvi\.Id, got Impostor\)$"):
        korvi.set_id(0, Impostor())
    korvi.set_id(0, own())
    assert log.calls() == [("ASISetID", (0, bytes(8)))]


def test_serial_numbers_are_distinct_per_camera_and_stable(opened, log):
    opened(0)
    opened(1)
    first = [korvi.get_serial_number(cam) for cam in (0, 1)]
    assert all(type(s) is korvi.Id for s in first)
    assert first[0].id != first[1].id and "0000000000000000" not in (first[0].id, first[1].id)
    korvi.close_camera(0)
    korvi.open_camera(0)
    again = [korvi.get_serial_number(camera_id=cam) for cam in (0, 1)]
    assert [s.id for s in again] == [s.id for s in first]
    assert again[0] is not first[0]
    assert ("ASIGetSerialNumber", (1,)) in log.calls()


@pytest.mark.parametrize("name, args", [("get_id", ()), ("set_id", (korvi.Id(),)), ("get_serial_number", ())])
def test_identity_on_a_closed_camera(name, args):
    with pytest.raises(korvi.ASICameraClosed) as exc:
        getattr(korvi, name)(0, *args)
    assert str(exc.value) == "ASI error code 4."
