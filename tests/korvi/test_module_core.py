"""The module object, its namespace, the function objects, argument binding and
the error model, checked from the outside as a caller sees them."""
import builtins
import enum
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import typing

import pytest

from vorrant.orlicam import korvi, simulator

# Taken at collection, before any test rebinds a name (a restored name moves to the end).
NAMESPACE_AT_IMPORT = list(vars(korvi))

# name -> parameters, as (name, annotation), and the return annotation.
FUNCTIONS = {
    "handle_error_code": ([("asi_error_code", "int")], "None"),
    "get_number_of_connected_cameras": ([], "int"),
    "camera_check": ([("i_vid", "int"), ("i_pid", "int")], "int"),
    "get_camera_property": ([("camera_index", "int")], "CameraInfo"),
    "get_sdk_version": ([], "str"),
    "get_camera_property_by_id": ([("camera_id", "int")], "CameraInfo"),
    "open_camera": ([("camera_id", "int")], "None"),
    "init_camera": ([("camera_id", "int")], "None"),
    "close_camera": ([("camera_id", "int")], "None"),
    "get_id": ([("i_camera_id", "int")], "Id"),
    "set_id": ([("camera_id", "int"), ("serial_number", "Id")], "None"),
    "get_serial_number": ([("camera_id", "int")], "Id"),
    "get_camera_support_mode": ([("camera_id", "int")], "list[CameraMode]"),
    "get_camera_mode": ([("camera_id", "int")], "CameraMode"),
    "set_camera_mode": ([("camera_id", "int"), ("mode", "CameraMode")], "None"),
    "start_exposure": ([("camera_id", "int"), ("is_dark", "bool")], "None"),
    "stop_exposure": ([("camera_id", "int")], "None"),
    "get_exp_status": ([("camera_id", "int")], "int"),
    "get_data_after_exp": ([("camera_id", "int"), ("buffer_size", "int")], "bytes"),
    "get_data_after_exp_gps": ([("camera_id", "int"), ("buffer_size", "int")], "tuple[bytes, GpsData]"),
    "start_video_capture": ([("camera_id", "int")], "None"),
    "stop_video_capture": ([("camera_id", "int")], "None"),
    "get_video_data": ([("camera_id", "int"), ("buffer_size", "int"), ("wait_ms", "int")], "bytearray"),
    "get_video_data_gps": (
        [("camera_id", "int"), ("buffer_size", "int"), ("wait_ms", "int")],
        "tuple[bytes, GpsData]",
    ),
    "get_num_of_controls": ([("camera_id", "int")], "int"),
    "get_control_caps": ([("camera_id", "int"), ("control_index", "int")], "ControlCaps"),
    "get_control_value": ([("camera_id", "int"), ("control_type", "ControlType")], "tuple[int, bool]"),
    "set_control_value": (
        [("camera_id", "int"), ("control_type", "ControlType"), ("value", "int"), ("auto_mode", "bool")],
        "None",
    ),
    "set_roi_format": (
        [("camera_id", "int"), ("width", "int"), ("height", "int"), ("bin", "int"), ("img_type", "ImgType")],
        "None",
    ),
    "get_roi_format": ([("camera_id", "int")], "tuple[int, int, int, ImgType]"),
    "set_start_pos": ([("camera_id", "int"), ("start_x", "int"), ("start_y", "int")], "None"),
    "get_start_pos": ([("camera_id", "int")], "tuple[int, int]"),
    "get_dropped_frames": ([("camera_id", "int")], "int"),
    "enable_dark_subtract": ([("camera_id", "int"), ("bmp_path", "str")], "None"),
    "disable_dark_subtract": ([("camera_id", "int")], "None"),
    "pulse_guide_on": ([("camera_id", "int"), ("direction", "GuideDirection")], "None"),
    "pulse_guide_off": ([("camera_id", "int"), ("direction", "GuideDirection")], "None"),
    "get_gain_offset": ([("camera_id", "int")], "tuple[int, int, int, int]"),
    "get_lmh_gain_offset": ([("camera_id", "int")], "tuple[int, int, int, int]"),
    "send_soft_trigger": ([("camera_id", "int"), ("start", "bool")], "None"),
    "set_trigger_output_io_conf": (
        [("camera_id", "int"), ("pin", "TrigOutput"), ("pin_high", "bool"), ("delay", "int"), ("duration", "int")],
        "None",
    ),
    "get_trigger_output_io_conf": ([("camera_id", "int"), ("pin", "int")], "tuple[bool, int, int]"),
    "gps_get_data": ([("camera_id", "int")], "tuple[GpsData, GpsData]"),
}
WITH_PARAMS = [name for name, (params, _) in FUNCTIONS.items() if params]
NO_PARAMS = [name for name, (params, _) in FUNCTIONS.items() if not params]

ERRORS = [
    ("ASIError", None, "Base exception class for all ASI errors."),
    ("ASISuccess", 0, "ASI operation completed successfully."),
    ("ASIInvalidIndex", 1, "Invalid index: No camera connected or index value out of boundary."),
    ("ASIInvalidID", 2, "Invalid camera ID provided."),
    ("ASICameraClosed", 4, "Failed to open camera: Camera is closed."),
    ("ASICameraRemoved", 5, "Camera removed: Failed to find the camera, it might have been disconnected."),
    ("ASITimeout", 11, "Operation timed out."),
    ("ASIGeneralError", 16, "General error: Value is out of valid range."),
    ("ASIInvalidControlType", 3, "Invalid control type provided."),
    ("ASIInvalidPath", 6, "Invalid file path provided."),
    ("ASIInvalidFileFormat", 7, "Invalid file format provided."),
    ("ASIInvalidSize", 8, "Invalid video format size."),
    ("ASIInvalidImageType", 9, "Unsupported image format."),
    ("ASIOutOfBoundary", 10, "The start position is out of boundary."),
    ("ASIInvalidSequence", 12, "Stop capture first: Invalid sequence of operations."),
    ("ASIBufferTooSmall", 13, "Buffer size is too small for the operation."),
    ("ASIVideoModeActive", 14, "Operation failed because video mode is currently active."),
    ("ASIExposureInProgress", 15, "Cannot perform operation while exposure is in progress."),
    ("ASIInvalidMode", 17, "The current mode is incorrect for this operation."),
    ("ASIGPSNotSupported", 18, "GPS is not supported by this camera."),
    ("ASIGPSVersionError", 19, "The FPGA GPS version is too low for the requested operation."),
    ("ASIGPSFPGAError", 20, "Failed to read or write data to FPGA for GPS."),
    (
        "ASIGPSParamOutOfRange",
        21,
        "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1.",
    ),
    ("ASIGPSDataInvalid", 22, "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."),
    ("ASIErrorEnd", 23, "End of ASI error codes."),
    ("ASIUnknownErrorCode", None, "End of ASI error codes."),
]

ENUMS = {
    "BayerPattern": [("BAYER_RG", 0), ("BAYER_BG", 1), ("BAYER_GR", 2), ("BAYER_GB", 3)],
    "ImgType": [("IMG_RAW8", 0), ("IMG_RGB24", 1), ("IMG_RAW16", 2), ("IMG_Y8", 3), ("IMG_END", -1)],
    "ControlType": list(
        zip(
            "ASI_GAIN ASI_EXPOSURE ASI_GAMMA ASI_WB_R ASI_WB_B ASI_OFFSET ASI_BANDWIDTHOVERLOAD ASI_OVERCLOCK "
            "ASI_TEMPERATURE ASI_FLIP ASI_AUTO_MAX_GAIN ASI_AUTO_MAX_EXP ASI_AUTO_TARGET_BRIGHTNESS "
            "ASI_HARDWARE_BIN ASI_HIGH_SPEED_MODE ASI_COOLER_POWER_PERC ASI_TARGET_TEMP ASI_COOLER_ON "
            "ASI_MONO_BIN ASI_FAN_ON ASI_PATTERN_ADJUST ASI_ANTI_DEW_HEATER ASI_FAN_ADJUST ASI_PWRLED_BRIGNT "
            "ASI_USBHUB_RESET ASI_GPS_SUPPORT ASI_GPS_START_LINE ASI_GPS_END_LINE ASI_ROLLING_INTERVAL".split(),
            range(29),
        )
    ),
    "CameraMode": [
        ("ASI_MODE_NORMAL", 0),
        ("ASI_MODE_TRIG_SOFT_EDGE", 1),
        ("ASI_MODE_TRIG_RISE_EDGE", 2),
        ("ASI_MODE_TRIG_FALL_EDGE", 3),
        ("ASI_MODE_TRIG_SOFT_LEVEL", 4),
        ("ASI_MODE_TRIG_HIGH_LEVEL", 5),
        ("ASI_MODE_TRIG_LOW_LEVEL", 6),
        ("ASI_MODE_END", -1),
    ],
    "GuideDirection": [("ASI_GUIDE_NORTH", 0), ("ASI_GUIDE_SOUTH", 1), ("ASI_GUIDE_EAST", 2), ("ASI_GUIDE_WEST", 3)],
    "FlipStatus": [("ASI_FLIP_NONE", 0), ("ASI_FLIP_HORIZ", 1), ("ASI_FLIP_VERT", 2), ("ASI_FLIP_BOTH", 3)],
    "TrigOutput": [("ASI_TRIG_OUTPUT_PINA", 0), ("ASI_TRIG_OUTPUT_PINB", 1), ("ASI_TRIG_OUTPUT_NONE", -1)],
    "ExposureStatus": [("ASI_EXP_IDLE", 0), ("ASI_EXP_WORKING", 1), ("ASI_EXP_SUCCESS", 2), ("ASI_EXP_FAILED", 3)],
}

COUNT = "{}() takes exactly {} positional argument{} ({} given)"


def count_message(name, given):
    n = len(FUNCTIONS[name][0])
    return COUNT.format(name, n, "" if n == 1 else "s", given)


def entries(exc):
    """The names of the traceback entries an exception carries, innermost last."""
    names, tb = [], exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


# ----------------------------------------------------------------- namespace


def test_namespace_holds_every_name_in_binding_order():
    expected = (
        ["__builtins__", "ControlCaps", "Id", "SupportedMode", "GpsData", "CameraInfo", "Optional", "IntEnum"]
        + list(ENUMS)
        + [name for name, _, _ in ERRORS]
        + ["ASI_ERROR_CODE_TO_EXCEPTION"]
        + list(FUNCTIONS)
        + ["__test__"]
    )
    interpreter_names = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert [k for k in NAMESPACE_AT_IMPORT if k not in interpreter_names] == expected


def test_module_attributes():
    assert korvi.__doc__ is None
    assert korvi.__test__ == {}
    assert korvi.Optional is typing.Optional
    assert korvi.IntEnum is enum.IntEnum
    assert korvi.__builtins__ is builtins
    assert not hasattr(korvi, "IMG_RAW8") and not hasattr(korvi, "ASI_GAIN")


def test_reimport_and_reload_keep_the_module_and_its_namespace(monkeypatch):
    monkeypatch.setattr(korvi, "marker", 1, raising=False)
    assert importlib.import_module("vorrant.orlicam.korvi") is korvi
    monkeypatch.delitem(sys.modules, "vorrant.orlicam.korvi")
    again = importlib.import_module("vorrant.orlicam.korvi")
    assert again is korvi
    assert importlib.reload(korvi) is korvi
    assert korvi.marker == 1


def test_a_second_interpreter_is_refused():
    code = textwrap.dedent(
        """
        import _interpreters
        from vorrant.orlicam import korvi
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        err = _interpreters.exec(interp, "import vorrant.orlicam.korvi")
        print(err.type.__name__, "|", err.msg)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "ImportError | Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


# ----------------------------------------------------------- function objects


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_attributes(name):
    f = getattr(korvi, name)
    params, returns = FUNCTIONS[name]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "vorrant.orlicam.korvi"
    assert f.__annotations__ == {**dict(params), "return": returns}
    assert list(f.__annotations__) == [p for p, _ in params] + ["return"]
    signature = inspect.signature(f)
    assert [(p.name, p.kind, p.annotation) for p in signature.parameters.values()] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD, a) for p, a in params
    ]
    assert signature.return_annotation == returns
    assert pickle.loads(pickle.dumps(f)) is f
    if name == "handle_error_code":
        assert f.__doc__ is None
    else:
        assert isinstance(f.__doc__, str) and f.__doc__


@pytest.mark.parametrize(
    "name, summary",
    [
        ("get_number_of_connected_cameras", "Get the count of connected ASI cameras."),
        ("camera_check", "Check if the device is ASI Camera"),
        ("get_sdk_version", "Get the SDK version of the ZWO ASI camera."),
        ("open_camera", "Open a camera for use."),
        ("get_id", "Retrieve the camera ID from the camera's flash memory."),
        ("set_roi_format", "Set the Region of Interest (ROI) format before starting capture."),
        ("get_video_data", "Get video data from the camera."),
        ("send_soft_trigger", "Send a soft trigger to the camera to start or stop exposure."),
        ("gps_get_data", "Get GPS data for the start and end lines."),
    ],
)
def test_docstring_summaries(name, summary):
    assert getattr(korvi, name).__doc__.splitlines()[0] == summary


# ------------------------------------------------------------------- binding


def call_args(name, value=0):
    return [value] * len(FUNCTIONS[name][0])


@pytest.mark.parametrize("name", WITH_PARAMS)
def test_count_messages(name, log):
    f = getattr(korvi, name)
    n = len(FUNCTIONS[name][0])
    with pytest.raises(TypeError) as too_few:
        f(*call_args(name)[:-1])
    assert str(too_few.value) == count_message(name, n - 1)
    with pytest.raises(TypeError) as too_many:
        f(*call_args(name), 0)
    assert str(too_many.value) == count_message(name, n + 1)
    assert entries(too_many.value)[-1] == f"vorrant.orlicam.korvi.{name}"
    assert log.calls() == []


@pytest.mark.parametrize("name", WITH_PARAMS)
def test_keyword_messages(name, log):
    f = getattr(korvi, name)
    first = FUNCTIONS[name][0][0][0]
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for keyword argument '{first}'$"):
        f(*call_args(name), **{first: 0})
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'cam'$"):
        f(*call_args(name)[:-1], cam=1)
    with pytest.raises(TypeError, match=r"^keywords must be strings$"):
        f(*call_args(name)[:-1], **{1: 2})
    assert log.calls() == []


def test_missing_parameter_after_keywords_counts_the_bound_ones(log):
    with pytest.raises(TypeError) as exc:
        korvi.set_roi_format(camera_id=0, width=8)
    assert str(exc.value) == count_message("set_roi_format", 2)
    with pytest.raises(TypeError) as exc:
        korvi.set_roi_format(0, height=8)
    assert str(exc.value) == count_message("set_roi_format", 1)
    assert log.calls() == []


def test_keyword_given_as_str_subclass_is_matched(log):
    class Name(str):
        pass

    korvi.handle_error_code(**{Name("asi_error_code"): 0})


@pytest.mark.parametrize("name", NO_PARAMS)
def test_no_argument_functions(name, log):
    f = getattr(korvi, name)
    with pytest.raises(TypeError) as exc:
        f(1, x=2)
    assert str(exc.value) == f"{name}() takes no keyword arguments"
    with pytest.raises(TypeError) as exc:
        f(1)
    assert str(exc.value) == f"{name}() takes no arguments (1 given)"
    assert entries(exc.value)[-1] == f"vorrant.orlicam.korvi.{name}"
    assert log.calls() == []


INT_PARAMS = [
    (name, i, p)
    for name, (params, _) in FUNCTIONS.items()
    for i, (p, annotation) in enumerate(params)
    if annotation == "int"
]


@pytest.mark.parametrize("name, index, param", INT_PARAMS)
def test_integer_parameters_refuse_non_numbers(name, index, param, log):
    args = call_args(name)
    args[index] = "3"
    with pytest.raises(TypeError) as exc:
        getattr(korvi, name)(*args)
    assert str(exc.value) == f"Argument '{param}' has incorrect type (expected int, got str)"
    assert not hasattr(exc.value, "__notes__")
    assert log.calls() == []


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (False, 0), (1.9, 1), (-1.9, -1), (korvi.ImgType.IMG_RAW16, 2), (-(2**31), -(2**31))],
)
def test_integer_coercion_reaches_the_sdk(value, expected, log):
    try:
        korvi.open_camera(value)
    except korvi.ASIError:
        pass
    assert log.calls() == [("ASIOpenCamera", (expected,))]


@pytest.mark.parametrize("value, error", [(complex(1, 2), TypeError), (float("inf"), OverflowError), (float("nan"), ValueError)])
def test_integer_coercion_errors_propagate(value, error, log):
    with pytest.raises(error):
        korvi.open_camera(value)
    assert log.calls() == []


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**40])
def test_c_int_overflow(value, log):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        korvi.open_camera(value)
    assert log.calls() == []


def test_c_long_overflow_propagates_the_interpreter_error(log):
    with pytest.raises(OverflowError, match="Python int too large to convert to C long"):
        korvi.set_control_value(0, korvi.ControlType.ASI_GAIN, 2**63, False)
    assert log.calls() == []


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    "flag, expected", [(True, 1), (False, 0), (None, 0), ("", 0), ("x", 1), ([0], 1), (2, 1), (Truth(False), 0)]
)
def test_flag_truthiness(flag, expected, log):
    try:
        korvi.start_exposure(0, flag)
    except korvi.ASIError:
        pass
    assert log.calls() == [("ASIStartExposure", (0, expected))]


def test_flag_whose_truth_test_raises(log):
    with pytest.raises(ZeroDivisionError) as exc:
        korvi.start_exposure(0, Truth(ZeroDivisionError("no")))
    assert entries(exc.value)[-2:] == ["vorrant.orlicam.korvi.start_exposure", "__bool__"]
    assert log.calls() == []


class Valued:
    def __init__(self, value):
        self.value = value


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


def test_enumeration_arguments_are_read_through_value(log):
    korvi.open_camera(0)
    log.clear_calls()
    korvi.pulse_guide_on(0, korvi.GuideDirection.ASI_GUIDE_WEST)
    korvi.pulse_guide_off(0, Valued(2))
    assert log.calls() == [("ASIPulseGuideOn", (0, 3)), ("ASIPulseGuideOff", (0, 2))]


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (0, AttributeError, "'int' object has no attribute 'value'"),
        (Valued("2"), TypeError, "an integer is required"),
        (Valued(IntLike("x")), TypeError, "__int__ returned non-int (type str)"),
        (Valued(2**31), OverflowError, "value too large to convert to int"),
    ],
)
def test_enumeration_argument_errors_come_before_the_sdk(argument, error, message, log):
    with pytest.raises(error) as exc:
        korvi.set_camera_mode(0, argument)
    assert str(exc.value) == message
    assert log.calls() == []


def test_enumeration_value_through_int_slot(log):
    with pytest.raises(korvi.ASIError):
        korvi.set_camera_mode(0, Valued(IntLike(1)))
    with pytest.deprecated_call():
        with pytest.raises(korvi.ASIError):
            korvi.set_camera_mode(0, Valued(IntLike(True)))
    assert log.calls() == [("ASISetCameraMode", (0, 1)), ("ASISetCameraMode", (0, 1))]


def test_text_parameter_type_errors_and_the_note(log):
    class Path(str):
        pass

    with pytest.raises(TypeError) as exc:
        korvi.enable_dark_subtract(0, Path("/tmp/x.bmp"))
    assert str(exc.value) == "Argument 'bmp_path' has incorrect type (expected str, got Path)"
    assert len(exc.value.__notes__) == 1 and "subclass" in exc.value.__notes__[0].lower()
    with pytest.raises(TypeError) as exc:
        korvi.enable_dark_subtract(0, b"/tmp/x.bmp")
    assert str(exc.value) == "Argument 'bmp_path' has incorrect type (expected str, got bytes)"
    assert not hasattr(exc.value, "__notes__")
    assert log.calls() == []


def test_record_parameter_type_error(log):
    with pytest.raises(TypeError) as exc:
        korvi.set_id(0, None)
    assert str(exc.value) == "Argument 'serial_number' has incorrect type (expected vorrant.orlicam.korvi.Id, got NoneType)"
    assert log.calls() == []


def test_traceback_entry_points_into_the_module_source():
    with pytest.raises(OverflowError) as exc:
        korvi.open_camera(2**31)
    tb = exc.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == "vorrant.orlicam.korvi.open_camera"
    assert tb.tb_frame.f_globals is vars(korvi)
    assert tb.tb_frame.f_code.co_filename.startswith("src/vorrant/orlicam/korvi/")
    assert tb.tb_lineno > 0


# ---------------------------------------------------------------- error model


@pytest.mark.parametrize("name, code, doc", ERRORS)
def test_error_classes(name, code, doc):
    cls = getattr(korvi, name)
    assert cls.__doc__ == doc
    assert cls.__module__ == "vorrant.orlicam.korvi" and cls.__qualname__ == name
    assert cls.__bases__ == ((Exception,) if name == "ASIError" else (korvi.ASIError,))
    if code is not None:
        assert korvi.ASI_ERROR_CODE_TO_EXCEPTION[code] is cls


def test_code_table_shape():
    table = korvi.ASI_ERROR_CODE_TO_EXCEPTION
    assert type(table) is dict and list(table) == list(range(24))


@pytest.mark.parametrize("name, code, _doc", [e for e in ERRORS if e[1] not in (None, 0)])
def test_handle_error_code_raises_the_mapped_class(name, code, _doc):
    with pytest.raises(korvi.ASIError) as exc:
        korvi.handle_error_code(code)
    assert type(exc.value) is getattr(korvi, name)
    assert exc.value.args == (f"ASI error code {code}.",)
    assert entries(exc.value)[-1] == "vorrant.orlicam.korvi.handle_error_code"


@pytest.mark.parametrize("code", [24, -1, 2**70, -(2**70)])
def test_handle_error_code_unknown_codes(code):
    with pytest.raises(korvi.ASIUnknownErrorCode) as exc:
        korvi.handle_error_code(code)
    assert str(exc.value) == f"ASI error code {code} (unknown)."


@pytest.mark.parametrize(
    "argument, raised, message",
    [
        (0, None, None),
        (True, "ASIInvalidIndex", "ASI error code 1."),
        (3.9, "ASIInvalidControlType", "ASI error code 3."),
        (korvi.ExposureStatus.ASI_EXP_SUCCESS, "ASIInvalidID", "ASI error code 2."),
    ],
)
def test_handle_error_code_coercion(argument, raised, message):
    if raised is None:
        assert korvi.handle_error_code(argument) is None
        return
    with pytest.raises(getattr(korvi, raised)) as exc:
        korvi.handle_error_code(argument)
    assert str(exc.value) == message


@pytest.mark.parametrize("argument, type_name", [("3", "str"), (None, "NoneType"), (b"1", "bytes")])
def test_handle_error_code_type_errors(argument, type_name):
    with pytest.raises(TypeError) as exc:
        korvi.handle_error_code(argument)
    assert str(exc.value) == f"Argument 'asi_error_code' has incorrect type (expected int, got {type_name})"


def test_handle_error_code_binding():
    with pytest.raises(TypeError) as exc:
        korvi.handle_error_code()
    assert str(exc.value) == "handle_error_code() takes exactly 1 positional argument (0 given)"
    with pytest.raises(korvi.ASIInvalidID):
        korvi.handle_error_code(asi_error_code=2)
    with pytest.raises(TypeError):
        korvi.handle_error_code(complex(1, 1))


def test_code_table_edits_take_effect(monkeypatch):
    monkeypatch.setitem(korvi.ASI_ERROR_CODE_TO_EXCEPTION, 5, korvi.ASISuccess)
    assert korvi.handle_error_code(5) is None
    monkeypatch.delitem(korvi.ASI_ERROR_CODE_TO_EXCEPTION, 11)
    with pytest.raises(korvi.ASIUnknownErrorCode, match=r"^ASI error code 11 \(unknown\)\.$"):
        korvi.handle_error_code(11)


def test_rebinding_the_table_and_its_removal(monkeypatch):
    class Table:
        def get(self, code):
            return ValueError

    monkeypatch.setattr(korvi, "ASI_ERROR_CODE_TO_EXCEPTION", Table())
    with pytest.raises(ValueError, match=r"^ASI error code 0\.$"):
        korvi.handle_error_code(0)
    monkeypatch.delattr(korvi, "ASI_ERROR_CODE_TO_EXCEPTION")
    with pytest.raises(NameError, match="^name 'ASI_ERROR_CODE_TO_EXCEPTION' is not defined$"):
        korvi.handle_error_code(0)


def test_rebinding_asisuccess_makes_success_raise(monkeypatch):
    success = korvi.ASISuccess
    monkeypatch.setattr(korvi, "ASISuccess", object())
    with pytest.raises(success, match=r"^ASI error code 0\.$"):
        korvi.handle_error_code(0)


@pytest.mark.parametrize(
    "mapped, raised, message",
    [
        (KeyError, KeyError, "'ASI error code 7.'"),
        (lambda message: 42, TypeError, "raise: exception class must be a subclass of BaseException"),
        (lambda message: RuntimeError, RuntimeError, ""),
    ],
)
def test_raising_what_the_table_returns(mapped, raised, message, monkeypatch):
    monkeypatch.setitem(korvi.ASI_ERROR_CODE_TO_EXCEPTION, 7, mapped)
    with pytest.raises(raised) as exc:
        korvi.handle_error_code(7)
    assert str(exc.value) == message


def test_rebinding_handle_error_code_changes_every_operation(monkeypatch, log):
    seen = []
    monkeypatch.setattr(korvi, "handle_error_code", seen.append)
    assert korvi.open_camera(99) is None
    assert seen == [2]
    monkeypatch.delattr(korvi, "handle_error_code")
    with pytest.raises(NameError, match="^name 'handle_error_code' is not defined$") as exc:
        korvi.open_camera(0)
    assert entries(exc.value)[-1] == "vorrant.orlicam.korvi.open_camera"
    assert log.calls() == [("ASIOpenCamera", (99,))]


def test_handle_error_code_found_in_builtins(monkeypatch, log):
    seen = []
    monkeypatch.delattr(korvi, "handle_error_code")
    monkeypatch.setattr(builtins, "handle_error_code", seen.append, raising=False)
    korvi.close_camera(0)
    assert seen == [0]


def test_operation_adds_its_entry_after_handle_error_code():
    with pytest.raises(korvi.ASIInvalidID) as exc:
        korvi.open_camera(99)
    assert entries(exc.value)[-2:] == ["vorrant.orlicam.korvi.open_camera", "vorrant.orlicam.korvi.handle_error_code"]


# ---------------------------------------------------------------- enumerations


@pytest.mark.parametrize("name", list(ENUMS))
def test_enumerations(name):
    cls = getattr(korvi, name)
    assert cls.__bases__ == (enum.IntEnum,)
    assert cls.__module__ == "vorrant.orlicam.korvi" and cls.__qualname__ == name
    assert [(m.name, m.value) for m in cls] == ENUMS[name]
    assert len(cls) == len(ENUMS[name])


def test_enumeration_details():
    assert korvi.ImgType(-1) is korvi.ImgType.IMG_END
    assert korvi.TrigOutput.ASI_TRIG_OUTPUT_NONE == korvi.CameraMode.ASI_MODE_END == -1
    assert korvi.TrigOutput.ASI_TRIG_OUTPUT_NONE is not korvi.CameraMode.ASI_MODE_END
    with pytest.raises(ValueError):
        korvi.ExposureStatus(7)
