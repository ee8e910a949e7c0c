import abc
import copy
import ctypes
import pickle
import struct
import types

import pytest

from vorrant.orlicam import korvi

HEADER = 16  # object header before the record on this 64-bit build
PREFIX = "vorrant.orlicam.korvi."

# type, pickled member, record size
RECORDS = [
    (korvi.CameraInfo, "c_info", 248),
    (korvi.ControlCaps, "control_caps", 264),
    (korvi.Id, "c_id", 8),
    (korvi.SupportedMode, "c_supported_mode", 64),
    (korvi.GpsData, "c_gps_data", 184),
]
TYPES = [r[0] for r in RECORDS]

CAMERA_INFO = "64siqqii16i8idiiiiifii"  # native layout up to Unused
CONTROL_CAPS = "64s128sqqqiii"
GPS_DATA = "8i64sddii"


def poke(obj, offset, data):
    ctypes.memmove(id(obj) + HEADER + offset, data, len(data))


def raw(obj, size):
    return ctypes.string_at(id(obj) + HEADER, size)


def entries(excinfo):
    tb, found = excinfo.value.__traceback__, []
    while tb:
        found.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return [n for n in found if n.startswith(PREFIX)]


def camera(name=b"ZWO ASI294MC Pro", bins=(1, 2, 3, 4), formats=(0, 1, 2, 3) + (-1,) * 4, bayer=0, elec=0.1):
    info = korvi.CameraInfo()
    bins = tuple(bins) + (0,) * (16 - len(bins))
    poke(info, 0, struct.pack(CAMERA_INFO, name, 3, 2822, 4144, 1, bayer, *bins, *formats,
                              4.63, 0, 1, 2, -1, 1, elec, 14, 0))
    return info


def caps(name=b"Gain", description=b"Gain", control_type=0, max_value=570):
    c = korvi.ControlCaps()
    poke(c, 0, struct.pack(CONTROL_CAPS, name, description, max_value, 0, 200, 1, 0, control_type))
    return c


def modes(*codes):
    m = korvi.SupportedMode()
    poke(m, 0, struct.pack("16i", *codes, *[0] * (16 - len(codes))))
    return m


@pytest.mark.parametrize("cls, member, size", RECORDS)
def test_type_shape_zeroing_and_init(cls, member, size):
    assert (cls.__module__, cls.__doc__, cls.__qualname__) == ("vorrant.orlicam.korvi", None, cls.__name__)
    obj = cls()
    assert raw(obj, size) == bytes(size)
    poke(obj, 0, b"\xa5" * size)
    assert obj.__init__() is None and raw(obj, size) == bytes(size)
    assert type(cls.__new__(cls, 1, x=2)) is cls
    with pytest.raises(AttributeError):
        obj.other = 1
    assert obj == obj and obj != cls() and {obj: 1}[obj] == 1


@pytest.mark.parametrize("cls", TYPES)
@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "__init__() takes exactly 0 positional arguments (1 given)"),
    ((1, 2), {}, "__init__() takes exactly 0 positional arguments (2 given)"),
    ((), {"k": 1}, "__init__() got an unexpected keyword argument 'k'"),
])
def test_init_refuses_arguments(cls, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message
    assert entries(e) == [f"{PREFIX}{cls.__name__}.__init__"]
    assert e.value.__traceback__.tb_next.tb_frame.f_globals is korvi.__dict__


@pytest.mark.parametrize("cls, member, size", RECORDS)
@pytest.mark.parametrize("how, method", [
    (pickle.dumps, "__reduce__"),
    (copy.copy, "__reduce__"),
    (copy.deepcopy, "__reduce__"),
    (lambda o: o.__setstate__(state=None), "__setstate__"),
])
def test_pickling_is_refused(cls, member, size, how, method):
    with pytest.raises(TypeError) as e:
        how(cls())
    assert str(e.value) == (f"Pickling of struct members such as self.{member} "
                            "must be explicitly requested with @auto_pickle(True)")
    assert entries(e) == [f"{PREFIX}{cls.__name__}.{method}"]


@pytest.mark.parametrize("cls", TYPES)
@pytest.mark.parametrize("call, message", [
    (lambda o: o.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda o: o.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda o: o.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)"),
])
def test_pickling_methods_bind_their_arguments(cls, call, message):
    with pytest.raises(TypeError) as e:
        call(cls())
    assert str(e.value) == message
    assert entries(e) == [f"{PREFIX}{cls.__name__}.{message.split('(')[0]}"]


@pytest.mark.parametrize("cls, props", [
    (korvi.CameraInfo, ["name", "camera_id", "max_height", "max_width", "is_color_camera", "bayer_pattern",
                        "supported_bins", "supported_video_formats", "pixel_size", "mechanical_shutter",
                        "st_4_port", "is_cooler_cam", "is_usb3_host", "is_usb3_camera", "elec_per_adu",
                        "bit_depth", "is_trigger_cam"]),
    (korvi.ControlCaps, ["name", "description", "max_value", "min_value", "default_value",
                         "is_auto_supported", "is_writable", "control_type"]),
    (korvi.Id, ["id"]),
    (korvi.SupportedMode, ["supported_camera_mode"]),
    (korvi.GpsData, ["latitude", "longitude", "altitude", "satellite_num", "year", "month", "day", "hour",
                     "minute", "second", "m_second", "u_second"]),
])
def test_properties_and_read_only_ones(cls, props):
    assert [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)] == props
    obj = cls()
    for prop in [p for p in props if (cls, p) not in {(korvi.CameraInfo, "name"), (korvi.Id, "id")}]:
        with pytest.raises(AttributeError) as e:
            setattr(obj, prop, getattr(obj, prop))
        assert str(e.value) == f"attribute '{prop}' of '{PREFIX}{cls.__name__}' objects is not writable"
        with pytest.raises(AttributeError):
            delattr(obj, prop)


def test_subclasses():
    class Abstract(korvi.Id, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def f(self): ...

    class Named(korvi.CameraInfo):
        name = "override"

    with pytest.raises(TypeError, match="^Can't instantiate abstract class Abstract"):
        Abstract()
    sub = Named()
    assert isinstance(sub, korvi.CameraInfo) and sub.camera_id == 0
    assert repr(sub) == "CameraInfo(Name=override, CameraID=0, MaxHeight=0, MaxWidth=0)"


# ----------------------------------------------------------------- CameraInfo

def test_camera_info_reads_a_realistic_record():
    info = camera()
    assert (info.name, info.camera_id, info.max_height, info.max_width) == ("ZWO ASI294MC Pro", 3, 2822, 4144)
    assert info.bayer_pattern is korvi.BayerPattern.BAYER_RG
    assert info.supported_bins == [1, 2, 3, 4] and info.supported_bins is not info.supported_bins
    assert info.supported_video_formats == [korvi.ImgType(i) for i in range(4)]
    assert (info.pixel_size, info.elec_per_adu, info.bit_depth) == (4.63, 0.10000000149011612, 14)
    flags = [info.is_color_camera, info.mechanical_shutter, info.st_4_port, info.is_cooler_cam,
             info.is_usb3_host, info.is_usb3_camera, info.is_trigger_cam]
    assert flags == [True, False, True, True, True, True, False] and all(type(f) is bool for f in flags)
    assert repr(info) == str(info) == "CameraInfo(Name=ZWO ASI294MC Pro, CameraID=3, MaxHeight=2822, MaxWidth=4144)"


@pytest.mark.parametrize("kwargs, prop, expected", [
    ({"bins": (1, 2, 0, 4, -3)}, "supported_bins", [1, 2, 4]),
    ({"formats": (0, -1, 2) + (-1,) * 5}, "supported_video_formats", [korvi.ImgType(0), korvi.ImgType(2)]),
    ({"name": b"x" * 64}, "name", "x" * 64),
    ({"name": b""}, "name", ""),
])
def test_camera_info_edge_records(kwargs, prop, expected):
    assert getattr(camera(**kwargs), prop) == expected


def test_zero_camera_info():
    info = korvi.CameraInfo()
    assert info.supported_video_formats == [korvi.ImgType.IMG_RAW8] * 8 and info.supported_bins == []
    assert repr(info) == "CameraInfo(Name=, CameraID=0, MaxHeight=0, MaxWidth=0)"


@pytest.mark.parametrize("make, prop, exc, message", [
    (lambda: camera(bayer=7), "bayer_pattern", ValueError, "7 is not a valid BayerPattern"),
    (lambda: camera(formats=(0, 9) + (-1,) * 6), "supported_video_formats", ValueError, "9 is not a valid ImgType"),
    (lambda: camera(name=b"ab\xffc"), "name", UnicodeDecodeError, None),
    (lambda: caps(control_type=99), "control_type", ValueError, "99 is not a valid ControlType"),
    (lambda: modes(0, 7), "supported_camera_mode", ValueError, "7 is not a valid CameraMode"),
])
def test_getter_failures(make, prop, exc, message):
    record = make()
    with pytest.raises(exc) as e:
        getattr(record, prop)
    assert message is None or str(e.value) == message
    assert entries(e) == [f"{PREFIX}{type(record).__name__}.{prop}.__get__"]


def test_repr_failure():
    with pytest.raises(UnicodeDecodeError) as e:
        repr(camera(name=b"ab\xffc"))
    assert entries(e) == [f"{PREFIX}CameraInfo.__repr__", f"{PREFIX}CameraInfo.name.__get__"]


class Encodes:
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        return self.result


@pytest.mark.parametrize("value, expected", [
    ("q" * 64, "q" * 64),
    ("abc" + "\0" * 61, "abc"),
    (Encodes([ord("z")] * 64), "z" * 64),
    (Encodes(iter([ord("y")] * 64)), "y" * 64),
])
def test_camera_name_assignment(value, expected):
    info = korvi.CameraInfo()
    info.name = value
    assert info.name == expected


def failing_iter():
    yield 1
    raise RuntimeError("boom")


class BadLength(list):
    def __len__(self):
        raise ValueError("no length")


NOT_ENOUGH = "not enough values found during array assignment, expected 64, got {}"
TOO_MANY = "too many values found during array assignment, expected 64"


@pytest.mark.parametrize("value, exc, message, converting", [
    ("abc", IndexError, NOT_ENOUGH.format(3), True),
    ("a" * 65, IndexError, TOO_MANY, True),
    ("\u00e9" * 32, OverflowError, "value too large to convert to char", True),
    (Encodes([1] * 63 + [128]), OverflowError, "value too large to convert to char", True),
    (Encodes(iter([1] * 3)), IndexError, NOT_ENOUGH.format(3), True),
    (Encodes(iter([])), IndexError, NOT_ENOUGH.format(0), True),
    (Encodes(iter([1] * 64 + [999])), IndexError, TOO_MANY, True),
    (Encodes(failing_iter()), RuntimeError, "boom", True),
    (Encodes(BadLength([1] * 64)), ValueError, "no length", True),
    (Encodes(5), TypeError, "'int' object is not iterable", True),
    (42, AttributeError, "'int' object has no attribute 'encode'", False),
])
def test_camera_name_assignment_failures_leave_the_record(value, exc, message, converting):
    info = camera()
    with pytest.raises(exc) as e:
        info.name = value
    assert str(e.value) == message and info.name == "ZWO ASI294MC Pro"
    assert entries(e) == [f"{PREFIX}CameraInfo.name.__set__"] + [f"{PREFIX}carray_from_py_char"] * converting


@pytest.mark.parametrize("cls, prop", [(korvi.CameraInfo, "name"), (korvi.Id, "id")])
def test_deleting_assignable_properties(cls, prop):
    with pytest.raises(NotImplementedError) as e:
        delattr(cls(), prop)
    assert e.value.args == ("__del__",) and entries(e) == [f"{PREFIX}{cls.__name__}.{prop}.__set__"]


# ---------------------------------------------------------------- ControlCaps

def test_control_caps_reads_a_realistic_record():
    c = caps()
    assert (c.name, c.description, c.max_value, c.min_value, c.default_value) == ("Gain", "Gain", 570, 0, 200)
    assert (c.is_auto_supported, c.is_writable, c.control_type) == (True, False, korvi.ControlType(0))


@pytest.mark.parametrize("kwargs, prop, expected", [
    ({"name": b"\x47\xff\x61"}, "name", "G\ufffda"),
    ({"name": b"n" * 64, "description": b"after"}, "name", "n" * 64),
    ({"description": b"d" * 128, "max_value": 0x41}, "description", "d" * 128),
    ({"description": b"\xc3"}, "description", "\ufffd"),
])
def test_control_caps_text_fields(kwargs, prop, expected):
    assert getattr(caps(**kwargs), prop) == expected


# ------------------------------------------------------------------------ Id

@pytest.mark.parametrize("text, expected", [
    ("0011223344556677", "0011223344556677"),
    ("AABBCCDDEEFF0A0B", "aabbccddeeff0a0b"),
    ("00 11 22 33 44 55 66 77", "0011223344556677"),
    ("00 01 ab cd ef 10 99 ff", "0001abcdef1099ff"),
])
def test_id_assignment(text, expected):
    i = korvi.Id()
    i.id = text
    assert i.id == expected and raw(i, 8) == bytes.fromhex(expected)


class Text(str):
    pass


@pytest.mark.parametrize("value, exc, message", [
    ("434D", ValueError, "ASI_ID must be exactly 8 bytes (16 hex characters)."),
    ("001122334455667788", ValueError, "ASI_ID must be exactly 8 bytes (16 hex characters)."),
    ("zz", ValueError, "non-hexadecimal number found in fromhex() arg at position 0"),
    (b"0011223344556677", TypeError, "Argument 'identifier' has incorrect type (expected str, got bytes)"),
    (Text("0011223344556677"), TypeError, "Argument 'identifier' has incorrect type (expected str, got Text)"),
])
def test_id_assignment_failures(value, exc, message):
    i = korvi.Id()
    i.id = "0102030405060708"
    with pytest.raises(exc) as e:
        i.id = value
    assert str(e.value) == message and i.id == "0102030405060708"
    assert entries(e) == [f"{PREFIX}Id.id.__set__"]
    assert bool(getattr(e.value, "__notes__", None)) == isinstance(value, Text)


# ----------------------------------------------------- SupportedMode, GpsData

@pytest.mark.parametrize("codes, expected", [
    ((), [0] * 16),
    ((0, 1, -1, 2, -1), [0, 1]),
    ((-1,), []),
    ((6,) * 16, [6] * 16),
])
def test_supported_camera_mode(codes, expected):
    got = modes(*codes).supported_camera_mode
    assert got == [korvi.CameraMode(c) for c in expected] and all(type(m) is korvi.CameraMode for m in got)


def test_gps_data_fields():
    g = korvi.GpsData()
    poke(g, 0, struct.pack(GPS_DATA, 2024, 6, 21, 23, 59, 58, 999, 123456, b"", 51.4779, -0.0015, 46, 9))
    assert [getattr(g, p) for p in ("year", "month", "day", "hour", "minute", "second", "m_second", "u_second",
                                    "latitude", "longitude", "altitude", "satellite_num")] == \
        [2024, 6, 21, 23, 59, 58, 999, 123456, 51.4779, -0.0015, 46, 9]


# ------------------------------------------------- enumerations found by name

def fake(tag, **attrs):
    f = lambda v: (tag, v)  # noqa: E731
    f.__dict__.update(attrs)
    return f


def test_rebound_enumerations_are_used(monkeypatch):
    monkeypatch.setattr(korvi, "ImgType", fake("img", IMG_END=2))
    monkeypatch.setattr(korvi, "BayerPattern", fake("bayer"))
    monkeypatch.setattr(korvi, "ControlType", fake("control"))
    monkeypatch.setattr(korvi, "CameraMode", fake("mode", ASI_MODE_END=types.SimpleNamespace(value=1)))
    info = camera(formats=(0, 2, 3, -1, 2, 2, 2, 2), bayer=3)
    assert info.supported_video_formats == [("img", 0), ("img", 3), ("img", -1)]
    assert info.bayer_pattern == ("bayer", 3) and caps(control_type=5).control_type == ("control", 5)
    assert modes(0, 2, 1, 3).supported_camera_mode == [("mode", 0), ("mode", 2)]


@pytest.mark.parametrize("name, cls, prop", [
    ("ImgType", korvi.CameraInfo, "supported_video_formats"),
    ("BayerPattern", korvi.CameraInfo, "bayer_pattern"),
    ("ControlType", korvi.ControlCaps, "control_type"),
    ("CameraMode", korvi.SupportedMode, "supported_camera_mode"),
])
def test_missing_enumerations(monkeypatch, name, cls, prop):
    monkeypatch.delattr(korvi, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$") as e:
        getattr(cls(), prop)
    assert entries(e) == [f"{PREFIX}{cls.__name__}.{prop}.__get__"]
