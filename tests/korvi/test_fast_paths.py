"""korvi's shortcuts against the general way the same calls go once a shortcut no
longer applies: the error check, enumeration values, record allocation, traceback
entries and frames written into the returned bytes. Same results, exception types,
messages, traceback entries and SDK calls either way."""
import contextlib
import enum
import functools
import sys

import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import CameraMode, ControlType, GuideDirection, ImgType, TrigOutput

PREFIX = "vorrant.orlicam.korvi."


def entries(exc):
    """(file, line, name) of every traceback entry, outermost first."""
    out, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append((code.co_filename, tb.tb_lineno, code.co_name))
        tb = tb.tb_next
    return out


def summary(value):
    if isinstance(value, (korvi.CameraInfo, korvi.ControlCaps, korvi.Id, korvi.GpsData)):
        return type(value), record_fields(value)
    if isinstance(value, tuple):
        return tuple(summary(v) for v in value)
    return type(value), value


def outcome(call):
    """What a caller sees of one call, and the SDK calls it made."""
    simulator.clear_calls()
    try:
        result = ("returned", summary(call()))
    except Exception as exc:  # noqa: BLE001 - every exception is part of the outcome
        result = ("raised", type(exc), str(exc), exc.args, entries(exc))
    return result, simulator.calls()


def record_fields(record):
    names = [n for n in dir(type(record)) if not n.startswith("_")]
    return {n: getattr(record, n) for n in names}


class Table(dict):
    """A code table of a dict subclass: its `get` is looked up and called."""


def general_handle(monkeypatch):
    # A C-level wrapper adds no traceback entry of its own, so the entries compare equal.
    monkeypatch.setattr(korvi, "handle_error_code", functools.partial(korvi.handle_error_code))


def general_table(monkeypatch):
    monkeypatch.setattr(korvi, "ASI_ERROR_CODE_TO_EXCEPTION", Table(korvi.ASI_ERROR_CODE_TO_EXCEPTION))


GENERAL = {"handle_error_code rebound": general_handle, "table a dict subclass": general_table}

# (operation, SDK entry point, call)
OPERATIONS = [
    ("get_dropped_frames", "ASIGetDroppedFrames", lambda: korvi.get_dropped_frames(0)),
    ("get_control_value", "ASIGetControlValue", lambda: korvi.get_control_value(0, ControlType.ASI_GAIN)),
    ("get_camera_property", "ASIGetCameraProperty", lambda: korvi.get_camera_property(0)),
    ("open_camera", "ASIOpenCamera", lambda: korvi.open_camera(0)),
    ("get_video_data", "ASIGetVideoData", lambda: korvi.get_video_data(0, 16, 5)),
    ("get_video_data_gps", "ASIGetVideoDataGPS", lambda: korvi.get_video_data_gps(0, 16, 5)),
    ("get_data_after_exp", "ASIGetDataAfterExp", lambda: korvi.get_data_after_exp(0, 16)),
    ("get_roi_format", "ASIGetROIFormat", lambda: korvi.get_roi_format(0)),
]

# code -> (exception class name or None, message)
CODES = {
    0: (None, None),
    1: ("ASIInvalidIndex", "ASI error code 1."),
    4: ("ASICameraClosed", "ASI error code 4."),
    11: ("ASITimeout", "ASI error code 11."),
    23: ("ASIErrorEnd", "ASI error code 23."),
    24: ("ASIUnknownErrorCode", "ASI error code 24 (unknown)."),
    -1: ("ASIUnknownErrorCode", "ASI error code -1 (unknown)."),
}


def run(sdk_function, code, call):
    simulator.record_calls(True)
    simulator.fail_next(sdk_function, code)
    return outcome(call)


# ------------------------------------------------------------------ the error check


@pytest.mark.parametrize("code", CODES)
@pytest.mark.parametrize("name, sdk_function, call", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_error_check_matches_the_general_path(name, sdk_function, call, code, monkeypatch):
    fast, fast_calls = run(sdk_function, code, call)
    cls, message = CODES[code]
    assert [c[0] for c in fast_calls][-1] == sdk_function
    if cls is None:
        assert fast[0] == "returned"
    else:
        assert fast[:4] == ("raised", getattr(korvi, cls), message, (message,))
        assert [e[2] for e in fast[4][-2:]] == [PREFIX + name, PREFIX + "handle_error_code"]
        assert all(e[0].startswith("src/vorrant/orlicam/korvi/") and e[1] > 0 for e in fast[4][-2:])
    for make_general in GENERAL.values():
        with monkeypatch.context() as m:
            make_general(m)
            assert run(sdk_function, code, call) == (fast, fast_calls)


class Refusing:
    def __init__(self, message):
        raise RuntimeError(f"refused {message}")


class CollidesWith24:
    """A key hashing like the code 24, whose comparison fails."""

    def __hash__(self):
        return 24

    def __eq__(self, other):
        raise LookupError("no comparison")


def edit_table(table, ns):
    return {
        "success for 4": lambda: table.__setitem__(4, ns.ASISuccess),
        "4 removed": lambda: table.__delitem__(4),
        "class that refuses": lambda: table.__setitem__(4, Refusing),
        "not an exception": lambda: table.__setitem__(4, lambda message: 42),
        "instance not class": lambda: table.__setitem__(4, lambda message: KeyError(message)),
        "colliding key": lambda: table.__setitem__(CollidesWith24(), None),
    }


HANDLE = PREFIX + "handle_error_code"
# edit -> (exception, message, innermost traceback entries)
EDITS = {
    "success for 4": ("returned", None, None),
    "4 removed": (korvi.ASIUnknownErrorCode, "ASI error code 4 (unknown).", [HANDLE]),
    "class that refuses": (RuntimeError, "refused ASI error code 4.", [HANDLE, "__init__"]),
    "not an exception": (TypeError, "raise: exception class must be a subclass of BaseException", [HANDLE]),
    "instance not class": (KeyError, "'ASI error code 4.'", [HANDLE]),
}


@pytest.mark.parametrize("edit", list(EDITS) + ["colliding key", "ASISuccess rebound"])
def test_edits_of_the_table_are_honoured_alike(edit, monkeypatch):
    def edited(table_type):
        with monkeypatch.context() as m:
            table = table_type(korvi.ASI_ERROR_CODE_TO_EXCEPTION)
            m.setattr(korvi, "ASI_ERROR_CODE_TO_EXCEPTION", table)
            code = 4
            if edit == "ASISuccess rebound":
                m.setattr(korvi, "ASISuccess", korvi.ASIError)
                code = 0
            elif edit == "colliding key":
                edit_table(table, korvi)[edit]()
                code = 24  # the look-up compares with the colliding key
            else:
                edit_table(table, korvi)[edit]()
            return run("ASIGetDroppedFrames", code, lambda: korvi.get_dropped_frames(0))

    fast, general = edited(dict), edited(Table)
    assert fast == general
    result = fast[0]
    if edit == "ASISuccess rebound":
        assert result[1:3] == (korvi.ASISuccess, "ASI error code 0.")
    elif edit == "colliding key":
        assert result[1:3] == (LookupError, "no comparison")
        assert [e[2] for e in result[4][-3:]] == [PREFIX + "get_dropped_frames", PREFIX + "handle_error_code",
                                                   "__eq__"]
    elif EDITS[edit][0] == "returned":
        assert result == ("returned", (int, 0))
    else:
        error, message, innermost = EDITS[edit]
        assert result[1:3] == (error, message)
        assert [e[2] for e in result[4][-len(innermost) - 1:]] == [PREFIX + "get_dropped_frames", *innermost]


class CollidesWith0:
    """A key hashing like the code 0, whose comparison fails while it is told to."""
    refusing = False

    def __hash__(self):
        return 0

    def __eq__(self, other):
        if self.refusing:
            raise LookupError("no comparison")
        return self is other


@contextlib.contextmanager
def colliding_key():
    # Put before 0 in the table's probe order, so that looking 0 up compares with it.
    table, key = korvi.ASI_ERROR_CODE_TO_EXCEPTION, CollidesWith0()
    original = dict(table)
    success = table.pop(0)
    table[key] = None
    table[0] = success
    key.refusing = True
    try:
        yield
    finally:
        key.refusing = False
        table.clear()
        table.update(original)


@contextlib.contextmanager
def table_edited(edit):
    """The module's own table edited in place for the block, then as it was, in its order."""
    table = korvi.ASI_ERROR_CODE_TO_EXCEPTION
    original = dict(table)
    edit(table)
    try:
        yield
    finally:
        table.clear()
        table.update(original)


@contextlib.contextmanager
def patched(edit):
    with pytest.MonkeyPatch.context() as m:
        edit(m)
        yield


# In-place edit of the module's own table or namespace, made after a successful call
# -> (exception, message) that the next success code gives, before the edit is undone.
IN_PLACE = {
    "table[0] another class": (lambda: table_edited(lambda t: t.__setitem__(0, korvi.ASIInvalidIndex)),
                               korvi.ASIInvalidIndex, "ASI error code 0."),
    "table[0] removed": (lambda: table_edited(lambda t: t.__delitem__(0)),
                         korvi.ASIUnknownErrorCode, "ASI error code 0 (unknown)."),
    "key colliding with 0": (colliding_key, LookupError, "no comparison"),
    "ASISuccess rebound": (lambda: patched(lambda m: m.setattr(korvi, "ASISuccess", korvi.ASIError)),
                           korvi.ASISuccess, "ASI error code 0."),
    "table name removed": (lambda: patched(lambda m: m.delattr(korvi, "ASI_ERROR_CODE_TO_EXCEPTION")),
                           NameError, "name 'ASI_ERROR_CODE_TO_EXCEPTION' is not defined"),
}


@pytest.mark.parametrize("edit", IN_PLACE)
@pytest.mark.parametrize("name, sdk_function, call", OPERATIONS[:3], ids=[o[0] for o in OPERATIONS[:3]])
def test_success_is_read_again_after_each_edit_and_its_undoing(name, sdk_function, call, edit, monkeypatch):
    make_edit, error, message = IN_PLACE[edit]
    assert run(sdk_function, 0, call)[0][0] == "returned"
    with make_edit():
        edited = run(sdk_function, 0, call)
        assert edited[0][1:3] == (error, message)
        with monkeypatch.context() as m:
            general_handle(m)
            assert run(sdk_function, 0, call) == edited
    assert run(sdk_function, 0, call)[0][0] == "returned"


@pytest.mark.parametrize("code, cls, message", [
    (True, korvi.ASIInvalidIndex, "ASI error code 1."),
    (-2**63, korvi.ASIUnknownErrorCode, "ASI error code -9223372036854775808 (unknown)."),
    (2**63 - 1, korvi.ASIUnknownErrorCode, "ASI error code 9223372036854775807 (unknown)."),
    (2**63, korvi.ASIUnknownErrorCode, "ASI error code 9223372036854775808 (unknown)."),
    (-10**30, korvi.ASIUnknownErrorCode, f"ASI error code -{10**30} (unknown)."),
])
def test_messages_give_the_code_in_decimal_whatever_its_size(code, cls, message):
    with pytest.raises(cls) as info:
        korvi.handle_error_code(code)
    assert info.value.args == (message,)
    assert type(info.value.args[0]) is str


def test_the_same_failure_twice_gives_equal_entries_in_fresh_frames():
    raised = []
    for _ in range(2):
        with pytest.raises(korvi.ASICameraClosed) as info:
            korvi.get_dropped_frames(0)
        raised.append(info.value)
    first, second = (entries(e) for e in raised)
    assert first[1:] == second[1:]
    frames = [e.__traceback__.tb_next.tb_frame for e in raised]
    assert frames[0] is not frames[1]
    assert all(f.f_globals is vars(korvi) for f in frames)


def test_entries_of_one_function_keep_their_own_lines():
    # One function, three failing statements: each keeps the line it failed on.
    lines = set()
    for call, exc in ((lambda: korvi.get_video_data(0, 2**31, 5), OverflowError),
                      (lambda: korvi.get_video_data(0, -1, 5), ValueError),
                      (lambda: korvi.get_video_data(0, 16, 5), korvi.ASICameraClosed)):
        for _ in range(2):
            with pytest.raises(exc) as info:
                call()
            entry = [e for e in entries(info.value) if e[2] == PREFIX + "get_video_data"]
            assert len(entry) == 1
            lines.add(entry[0][1])
    assert len(lines) == 3


# ------------------------------------------------------------ enumeration arguments


class LookAlike:
    def __init__(self, value):
        self.value = value


class OtherControls(enum.IntEnum):
    ASI_WB_R = 3


# (SDK entry point, call taking the enumeration argument, member, SDK arguments for a value)
ENUM_OPERATIONS = {
    "get_control_value": ("ASIGetControlValue", lambda v: korvi.get_control_value(0, v), ControlType.ASI_WB_R,
                          lambda v: (0, v)),
    "set_control_value": ("ASISetControlValue", lambda v: korvi.set_control_value(0, v, 5, True),
                          ControlType.ASI_WB_R, lambda v: (0, v, 5, 1)),
    "set_roi_format": ("ASISetROIFormat", lambda v: korvi.set_roi_format(0, 64, 32, 1, v), ImgType.IMG_RAW16,
                       lambda v: (0, 64, 32, 1, v)),
    "set_camera_mode": ("ASISetCameraMode", lambda v: korvi.set_camera_mode(0, v), CameraMode.ASI_MODE_END,
                        lambda v: (0, v)),
    "pulse_guide_on": ("ASIPulseGuideOn", lambda v: korvi.pulse_guide_on(0, v), GuideDirection.ASI_GUIDE_WEST,
                       lambda v: (0, v)),
    "set_trigger_output_io_conf": ("ASISetTriggerOutputIOConf",
                                   lambda v: korvi.set_trigger_output_io_conf(0, v, True, 7, 9),
                                   TrigOutput.ASI_TRIG_OUTPUT_PINB, lambda v: (0, v, 1, 7, 9)),
}


@pytest.mark.parametrize("name", ENUM_OPERATIONS)
def test_members_pass_the_same_value_as_look_alikes_and_other_enumerations(name):
    sdk_function, call, member, sdk_args = ENUM_OPERATIONS[name]
    for argument in (member, LookAlike(int(member)), LookAlike(member), LookAlike(float(member)),
                     enum.IntEnum("Other", {"X": int(member)}).X):
        result, calls = run(sdk_function, 0, lambda: call(argument))
        assert result[0] == "returned" and calls == [(sdk_function, sdk_args(int(member)))], argument


@contextlib.contextmanager
def attribute(owner, name, value):
    """owner.name = value for the block; the attribute is put back or removed after it."""
    missing = object()
    old = vars(owner).get(name, missing) if isinstance(owner, type) else getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        if old is missing:
            delattr(owner, name)
        else:
            setattr(owner, name, old)


@contextlib.contextmanager
def profiled(seen):
    sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code.co_name) if event == "call" else None)
    try:
        yield
    finally:
        sys.setprofile(None)


# What a member of the module's own class passes after each change, and after it is undone (3).
PATCHES = {
    "the member's own _value_": lambda: attribute(ControlType.ASI_WB_R, "_value_", 17),
    "value defined on the class": lambda: attribute(ControlType, "value", property(lambda self: 21)),
    "enum.Enum's value replaced": lambda: attribute(enum.Enum, "value", enum.property(lambda self: 22)),
    "enum.Enum's value getter replaced": lambda: attribute(vars(enum.Enum)["value"], "fget", lambda self: 23),
    "_value_ on the class": lambda: attribute(ControlType, "_value_", property(lambda self: 24)),
    "class name rebound": lambda: attribute(korvi, "ControlType", OtherControls),
    "enum.property's __get__ code replaced": lambda: attribute(
        enum.property.__get__, "__code__", (lambda self, instance, ownerclass=None: 25).__code__),
}
SENT = {"the member's own _value_": 17, "value defined on the class": 21, "enum.Enum's value replaced": 22,
        "enum.Enum's value getter replaced": 23, "_value_ on the class": 24, "class name rebound": 3,
        "enum.property's __get__ code replaced": 25}


def sent_control_type():
    result, calls = run("ASIGetControlValue", 0, lambda: korvi.get_control_value(0, ControlType.ASI_WB_R))
    assert result[0] == "returned", result
    return calls[0][1][1]


@pytest.mark.parametrize("patch", PATCHES)
def test_changes_to_members_and_classes_are_honoured_and_so_is_their_undoing(patch):
    assert sent_control_type() == 3
    with PATCHES[patch]():
        assert sent_control_type() == SENT[patch]
    assert sent_control_type() == 3


def test_a_profiler_sees_the_value_property_run():
    seen = []
    with profiled(seen):
        assert sent_control_type() == 3
    assert "value" in seen


MONITORING = sys.monitoring
TOOL = 4  # a tool id no debugger or profiler in this process uses


@contextlib.contextmanager
def monitored(seen, code=None):
    """PY_START events of sys.monitoring, for the whole interpreter or for one code object."""
    MONITORING.use_tool_id(TOOL, "test_fast_paths")
    MONITORING.register_callback(TOOL, MONITORING.events.PY_START, lambda c, offset: seen.append(c.co_qualname))
    if code is None:
        MONITORING.set_events(TOOL, MONITORING.events.PY_START)
    else:
        MONITORING.set_local_events(TOOL, code, MONITORING.events.PY_START)
    try:
        yield
    finally:
        if code is None:
            MONITORING.set_events(TOOL, 0)
        else:
            MONITORING.set_local_events(TOOL, code, 0)
        MONITORING.register_callback(TOOL, MONITORING.events.PY_START, None)
        MONITORING.free_tool_id(TOOL)


GET_CODE = enum.property.__get__.__code__
VALUE_CODE = vars(enum.Enum)["value"].fget.__code__


@pytest.mark.parametrize(("code", "expected"), [
    (None, ["property.__get__", "Enum.value"]),
    (GET_CODE, ["property.__get__"]),
    (VALUE_CODE, ["Enum.value"]),
], ids=["global", "__get__", "Enum.value"])
def test_a_monitoring_tool_sees_the_value_property_run_for_members_as_for_other_enumerations(code, expected):
    other = enum.IntEnum("Other", {"ASI_WB_R": 3}).ASI_WB_R
    korvi.open_camera(0)
    seen = {}
    for argument in (ControlType.ASI_WB_R, other):
        events = seen.setdefault(type(argument).__name__, [])
        with monitored(events, code):
            korvi.get_control_value(0, argument)
    assert seen["ControlType"] == seen["Other"]
    assert seen["Other"][:len(expected)] == expected


def depth():
    frame, n = sys._getframe(1), 0
    while frame is not None:
        frame, n = frame.f_back, n + 1
    return n


def near_the_recursion_limit(call, levels=range(30, 46)):
    """What call() gives at each number of levels below a recursion limit set 40 frames ahead."""
    def dive(n):
        if n:
            return dive(n - 1)
        try:
            return type(call()).__name__
        except RecursionError:
            return "RecursionError"

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(depth() + 40)
    try:
        out = []
        for n in levels:
            try:
                out.append(dive(n))
            except RecursionError:
                out.append("too deep to call")
        return out
    finally:
        sys.setrecursionlimit(old)


def test_members_at_the_recursion_limit_fail_as_other_enumerations_do():
    other = enum.IntEnum("Other", {"ASI_WB_R": 3}).ASI_WB_R
    korvi.open_camera(0)
    ours = near_the_recursion_limit(lambda: korvi.get_control_value(0, ControlType.ASI_WB_R))
    theirs = near_the_recursion_limit(lambda: korvi.get_control_value(0, other))
    assert ours == theirs
    assert {"tuple", "RecursionError"} <= set(ours)


# ----------------------------------------------------------------------- records

# (SDK entry point, call, how to read the records out of the result, record types)
RECORD_CALLS = [
    ("ASIGetCameraProperty", lambda: korvi.get_camera_property(0), lambda r: [r], [korvi.CameraInfo]),
    ("ASIGetCameraPropertyByID", lambda: korvi.get_camera_property_by_id(0), lambda r: [r], [korvi.CameraInfo]),
    ("ASIGetControlCaps", lambda: korvi.get_control_caps(0, 0), lambda r: [r], [korvi.ControlCaps]),
    ("ASIGetID", lambda: korvi.get_id(0), lambda r: [r], [korvi.Id]),
    ("ASIGetSerialNumber", lambda: korvi.get_serial_number(0), lambda r: [r], [korvi.Id]),
    ("ASIGPSGetData", lambda: korvi.gps_get_data(0), list, [korvi.GpsData, korvi.GpsData]),
    ("ASIGetVideoDataGPS", lambda: korvi.get_video_data_gps(0, 8, 5), lambda r: [r[1]], [korvi.GpsData]),
    ("ASIGetDataAfterExpGPS", lambda: korvi.get_data_after_exp_gps(0, 8), lambda r: [r[1]], [korvi.GpsData]),
]


@pytest.mark.parametrize("sdk_function, call, records, types", RECORD_CALLS, ids=[r[0] for r in RECORD_CALLS])
def test_records_the_sdk_leaves_alone_are_fresh_zero_records(sdk_function, call, records, types, monkeypatch):
    # With a handle_error_code that lets failures pass, the untouched record shows.
    monkeypatch.setattr(korvi, "handle_error_code", lambda code: None)
    simulator.fail_next(sdk_function, 4, times=2)
    first, second = records(call()), records(call())
    assert [type(r) for r in first] == types
    assert [record_fields(r) for r in first] == [record_fields(t()) for t in types]
    assert all(a is not b for a, b in zip(first, second))
    assert len({id(r) for r in first}) == len(first)


def test_supported_modes_the_sdk_leaves_alone_read_as_a_fresh_record(monkeypatch):
    monkeypatch.setattr(korvi, "handle_error_code", lambda code: None)
    simulator.fail_next("ASIGetCameraSupportMode", 4)
    assert korvi.get_camera_support_mode(0) == korvi.SupportedMode().supported_camera_mode


# ------------------------------------------------------------------------ frames

FRAME_CALLS = [
    ("ASIGetDataAfterExp", lambda n: korvi.get_data_after_exp(0, n), lambda r: r),
    ("ASIGetDataAfterExpGPS", lambda n: korvi.get_data_after_exp_gps(0, n), lambda r: r[0]),
    ("ASIGetVideoDataGPS", lambda n: korvi.get_video_data_gps(0, n, 5), lambda r: r[0]),
]


@pytest.mark.parametrize("sdk_function, call, data", FRAME_CALLS, ids=[f[0] for f in FRAME_CALLS])
@pytest.mark.parametrize("size", [0, 1, 5000])
def test_frames_the_sdk_leaves_alone_are_new_zero_bytes(sdk_function, call, data, size, monkeypatch, log):
    monkeypatch.setattr(korvi, "handle_error_code", lambda code: None)
    simulator.fail_next(sdk_function, 4, times=2)
    first, second = data(call(size)), data(call(size))
    assert type(first) is bytes and first == bytes(size)
    assert hash(first) == hash(bytes(size))
    if size:
        assert first is not second
    assert [c for c in log.calls() if c[0] == sdk_function][0][1][1] == size


@pytest.mark.parametrize("sdk_function, call, data", FRAME_CALLS, ids=[f[0] for f in FRAME_CALLS])
@pytest.mark.parametrize("size, error, message", [
    (-1, ValueError, "negative count"),
    (2**63, OverflowError, "cannot fit 'int' into an index-sized integer"),
    (2**100, OverflowError, "cannot fit 'int' into an index-sized integer"),
])
def test_frame_sizes_fail_as_bytearray_does(sdk_function, call, data, size, error, message, log):
    with pytest.raises(error) as info:
        call(size)
    with pytest.raises(error) as reference:
        bytearray(size)
    assert str(info.value) == str(reference.value) == message
    assert not [c for c in log.calls() if c[0] == sdk_function]
