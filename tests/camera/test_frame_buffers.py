"""vorrant.orlicam._frames: video frames written into caller-owned buffers. Buffer
checks, the sizes the region implies, korvi's exceptions, and the interpreter lock
released during the wait."""
import numpy as np
import pytest

from vorrant.orlicam import _frames, korvi, simulator
from vorrant.orlicam.korvi import ControlType, ImgType

from korvi.test_exposure_video import ticks_during

READERS = [_frames.read_video_frame, _frames.read_video_frame_gps]
IDS = ["plain", "gps"]


@pytest.fixture
def streaming():
    """streaming(cam, width, height, img_type, exposure_us) opens a camera with that region
    and starts video; everything is stopped and closed afterwards."""

    def start(cam=0, width=64, height=32, img_type=ImgType.IMG_RAW8, exposure_us=1000):
        korvi.open_camera(cam)
        korvi.init_camera(cam)
        korvi.set_roi_format(cam, width, height, 1, img_type)
        korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, exposure_us, False)
        korvi.start_video_capture(cam)

    yield start
    simulator.reset()


@pytest.mark.parametrize("read", READERS, ids=IDS)
@pytest.mark.parametrize("img_type, shape, dtype", [
    (ImgType.IMG_RAW8, (32, 64), np.uint8),
    (ImgType.IMG_Y8, (32, 64), np.uint8),
    (ImgType.IMG_RAW16, (32, 64), np.uint16),
    (ImgType.IMG_RGB24, (32, 64, 3), np.uint8),
])
def test_a_buffer_of_the_region_size_is_filled(read, img_type, shape, dtype, streaming, log):
    streaming(0, 64, 32, img_type)
    log.clear_calls()
    frame = np.full(shape, 0xAB, dtype)
    result = read(0, frame, 2000)
    assert not np.all(frame == np.full(shape, 0xAB, dtype))
    size = frame.nbytes
    sdk = "ASIGetVideoData" if read is _frames.read_video_frame else "ASIGetVideoDataGPS"
    assert log.calls() == [("ASIGetROIFormat", (0,)), (sdk, (0, size, 2000))]
    if read is _frames.read_video_frame:
        assert result is None
    else:
        assert type(result) is korvi.GpsData
        assert read(0, frame, 2000) is not result  # a new record each frame


def test_any_writable_buffer_of_the_right_size_will_do(streaming):
    streaming(0, 64, 32)
    for target in (bytearray(64 * 32), np.zeros(64 * 32 // 4, np.uint32), memoryview(bytearray(64 * 32)).cast("H")):
        _frames.read_video_frame(0, target, 2000)
        assert any(bytes(target))


def wide(shape):
    return np.zeros((shape[0], shape[1] * 2), np.uint8)[:, ::2]


def read_only(shape):
    a = np.zeros(shape, np.uint8)
    a.setflags(write=False)
    return a


@pytest.mark.parametrize("read, name", zip(READERS, ["read_video_frame", "read_video_frame_gps"]), ids=IDS)
@pytest.mark.parametrize("make, error, message", [
    (lambda: np.zeros((32, 63), np.uint8), ValueError,
     "{name}() argument 'buffer' holds 2016 bytes; camera 0's frame needs 2048"),
    (lambda: np.zeros((32, 64), np.uint16), ValueError,
     "{name}() argument 'buffer' holds 4096 bytes; camera 0's frame needs 2048"),
    (lambda: wide((32, 64)), ValueError, "{name}() argument 'buffer' is not C-contiguous"),
    (lambda: np.zeros((32, 64), np.uint8, order="F"), ValueError,
     "{name}() argument 'buffer' is not C-contiguous"),
    (lambda: read_only((32, 64)), TypeError,
     "{name}() argument 'buffer' is read-only (numpy.ndarray); the frame needs a writable one"),
    (lambda: bytes(2048), TypeError, "{name}() argument 'buffer' is read-only (bytes); the frame needs a writable one"),
    (lambda: [0] * 2048, TypeError,
     "{name}() argument 'buffer' must be a writable C-contiguous buffer such as a numpy array, not list"),
    (lambda: None, TypeError,
     "{name}() argument 'buffer' must be a writable C-contiguous buffer such as a numpy array, not NoneType"),
])
def test_unsuitable_buffers_are_refused_before_the_frame_is_read(read, name, make, error, message, streaming, log):
    streaming(0, 64, 32)
    log.clear_calls()
    with pytest.raises(error) as info:
        read(0, make(), 2000)
    assert str(info.value) == message.format(name=name)
    assert not [c for c in log.calls() if c[0].startswith("ASIGetVideoData")]


@pytest.mark.parametrize("read", READERS, ids=IDS)
@pytest.mark.parametrize("args, error, message", [
    ((0, bytearray(8)), TypeError, "{name}() takes exactly 3 positional arguments (2 given)"),
    ((0.0, bytearray(8), 5), TypeError, "{name}() argument 'camera_id' must be int, not float"),
    ((0, bytearray(8), "5"), TypeError, "{name}() argument 'wait_ms' must be int, not str"),
    ((2**31, bytearray(8), 5), OverflowError, "Python int too large to convert to C int"),
])
def test_arguments_are_checked(read, args, error, message, log):
    with pytest.raises(error) as info:
        read(*args)
    assert str(info.value) == message.format(name=read.__name__)
    assert log.calls() == []


@pytest.mark.parametrize("read", READERS, ids=IDS)
def test_sdk_failures_raise_korvi_s_exceptions(read, log):
    frame = np.zeros(16, np.uint8)
    with pytest.raises(korvi.ASICameraClosed) as info:
        read(0, frame, 5)  # the region query already fails on a closed camera
    assert str(info.value) == "ASI error code 4."
    names = []
    tb = info.value.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-1] == "vorrant.orlicam.korvi.handle_error_code"
    assert log.calls() == [("ASIGetROIFormat", (0,))]


@pytest.mark.parametrize("read, sdk", zip(READERS, ["ASIGetVideoData", "ASIGetVideoDataGPS"]), ids=IDS)
def test_the_frame_read_goes_through_korvi_s_error_table(read, sdk, streaming, monkeypatch):
    streaming(0, 64, 32)
    frame = np.zeros((32, 64), np.uint8)
    table = dict(korvi.ASI_ERROR_CODE_TO_EXCEPTION)
    table[11] = korvi.ASIInvalidMode
    monkeypatch.setattr(korvi, "ASI_ERROR_CODE_TO_EXCEPTION", table)
    simulator.fail_next(sdk, 11)
    with pytest.raises(korvi.ASIInvalidMode, match=r"^ASI error code 11\.$"):
        read(0, frame, 2000)
    seen = []
    monkeypatch.setattr(korvi, "handle_error_code", seen.append)
    simulator.fail_next(sdk, 13)
    read(0, frame, 2000)  # a handle_error_code that returns lets the failure pass
    assert seen == [0, 13]  # every code goes through it: the region query's, then the frame's


@pytest.mark.parametrize("read", READERS, ids=IDS)
def test_other_threads_run_while_a_frame_is_awaited(read, streaming):
    streaming(0, 64, 32, exposure_us=30_000_000)  # no frame comes during the wait
    frame = np.zeros((32, 64), np.uint8)

    def wait():
        with pytest.raises(korvi.ASITimeout):
            read(0, frame, 300)

    assert ticks_during(wait) > 40


@pytest.mark.parametrize("read", READERS, ids=IDS)
def test_handle_error_code_is_found_as_korvi_finds_it(read, streaming, monkeypatch):
    import builtins

    streaming(0, 64, 32)
    frame = np.zeros((32, 64), np.uint8)
    monkeypatch.delattr(korvi, "handle_error_code")
    seen = {}
    for reader in (read, lambda cam, buffer, wait: korvi.get_video_data(cam, buffer.nbytes, wait)):
        with pytest.raises(NameError) as info:
            reader(0, frame, 2000)
        seen.setdefault("missing", []).append(str(info.value))
    codes = []
    monkeypatch.setattr(builtins, "handle_error_code", codes.append, raising=False)
    read(0, frame, 2000)
    assert seen == {"missing": ["name 'handle_error_code' is not defined"] * 2}
    assert codes == [0, 0]  # the built-in one, for the region query and for the frame



class _Slotted:
    __slots__ = ("a", "b", "c")


class _WithDict:
    pass


class _WithWeakref:
    __slots__ = ("a", "__weakref__")


class _Derived(_Slotted):
    __slots__ = ("d",)


def test_copy_slots_shares_every_value_and_leaves_unset_slots_unset():
    import sys

    value = object()
    original = _Slotted()
    original.a, original.c = value, [1]
    before = sys.getrefcount(value)
    copy = _frames.copy_slots(original)
    assert type(copy) is _Slotted and copy is not original
    assert copy.a is value and copy.c is original.c
    assert sys.getrefcount(value) == before + 1
    with pytest.raises(AttributeError):
        copy.b
    del copy
    assert sys.getrefcount(value) == before


def test_a_stream_s_frame_metadata_is_its_template_with_the_frame_s_own_time_and_index():
    from dataclasses import fields, replace
    from datetime import UTC, datetime

    from vorrant.orlicam.camera.frames import FrameMeta, Roi, meta_maker

    template = FrameMeta("cam", 0, 7, "S1", 0.01, 100, 10, 21.5, None, False, Roi(0, 0, 8, 2), "RGGB",
                         12, 2.9, 0.5, datetime(2026, 1, 1, tzinfo=UTC), None, False, 0)
    start = datetime(2026, 12, 7, 1, 2, 3, tzinfo=UTC)
    made = meta_maker(template)(start, None, 41)
    assert made == replace(template, start_time=start, index=41)
    assert all(getattr(made, f.name) is getattr(template, f.name)
               for f in fields(FrameMeta) if f.name not in ("start_time", "index"))


@pytest.mark.parametrize("obj", [3, "text", _WithDict(), _WithWeakref(), _Derived(), korvi.GpsData()],
                         ids=["int", "str", "dict", "weakref", "derived", "record"])
def test_copy_slots_refuses_what_slots_alone_do_not_describe(obj):
    with pytest.raises(TypeError, match=rf"copy_slots\(\) takes an instance of a __slots__ class based on object, "
                                        rf"not .*{type(obj).__name__}"):
        _frames.copy_slots(obj)


def _template():
    from datetime import UTC, datetime

    from vorrant.orlicam.camera.frames import FrameMeta, Roi

    return FrameMeta("cam", 0, 7, "S1", 0.01, 100, 10, 21.5, None, False, Roi(0, 0, 8, 2), "RGGB",
                     12, 2.9, 0.5, datetime(2026, 1, 1, tzinfo=UTC), None, False, 0)


@pytest.mark.parametrize("native", [True, False], ids=["extension", "python"])
def test_a_stamped_frame_is_the_template_started_the_lag_before_now(native, monkeypatch):
    from dataclasses import replace
    from datetime import UTC, datetime, timedelta

    from vorrant.orlicam.camera import frames

    if not native:
        monkeypatch.setattr(frames, "_FrameStamper", None)
    template, lag = _template(), timedelta(seconds=2.5)
    stamp = frames.frame_stamper(template, lag)
    data = np.zeros((2, 8), np.uint8)
    before = datetime.now(UTC) - lag
    frame = stamp(data, 41)
    after = datetime.now(UTC) - lag
    assert type(frame) is frames.Frame and frame.data is data
    start = frame.meta.start_time
    assert start.tzinfo is UTC and before <= start <= after
    assert frame.meta == replace(template, start_time=start, index=41) and frame.meta.gps is None
    assert stamp(data, 42).meta.index == 42 and frame.meta.index == 41


def test_stamped_frames_hold_and_release_their_references():
    import sys

    from vorrant.orlicam.camera.frames import Frame

    from dataclasses import replace

    template = replace(_template(), camera_name="".join(["ca", "m"]))  # not an immortal constant
    data = np.zeros((2, 8), np.uint8)
    stamp = _frames.FrameStamper(Frame, template, 0.001)
    held = [sys.getrefcount(template.camera_name), sys.getrefcount(template.roi), sys.getrefcount(data)]
    frames = [stamp(data, i) for i in range(10)]
    assert [sys.getrefcount(template.camera_name), sys.getrefcount(template.roi),
            sys.getrefcount(data)] == [n + 10 for n in held]
    assert all(f.meta.roi is template.roi for f in frames)
    del frames
    assert [sys.getrefcount(template.camera_name), sys.getrefcount(template.roi), sys.getrefcount(data)] == held


@pytest.mark.parametrize("make, call, error, message", [
    (lambda F, t: _frames.FrameStamper(F, t, 0.0), lambda s: s(np.zeros(1)), TypeError,
     r"FrameStamper takes exactly 2 positional arguments \(data, index\), 1 given"),
    (lambda F, t: _frames.FrameStamper(F, t, 0.0), lambda s: s(np.zeros(1), 1.0), TypeError,
     "FrameStamper index must be int, not float"),
    (lambda F, t: _frames.FrameStamper(F, _Slotted(), 0.0), None, TypeError,
     "FrameStamper needs a slot 'start_time' in _Slotted"),
    (lambda F, t: _frames.FrameStamper(_Slotted, t, 0.0), None, TypeError,
     "FrameStamper needs a slot 'data' in _Slotted"),
    (lambda F, t: _frames.FrameStamper(F, _WithDict(), 0.0), None, TypeError,
     "takes a frame type and a template whose types are __slots__ classes based on object"),
    (lambda F, t: _frames.FrameStamper(F, t, float("nan")), None, ValueError, "lag must be finite seconds, not nan"),
    (lambda F, t: _frames.FrameStamper(F, t), None, TypeError, "FrameStamper"),
], ids=["arity", "index", "template slots", "frame slots", "dict", "nan", "missing lag"])
def test_frame_stamper_refuses_what_it_cannot_stamp(make, call, error, message):
    from vorrant.orlicam.camera.frames import Frame

    with pytest.raises(error, match=message):
        stamper = make(Frame, _template())
        call(stamper)


# The region the SDK reports is not trusted: sizes that are not positive, or whose bytes
# overflow, are errors with a message, never a NULL without one or arithmetic overflow.
@pytest.mark.parametrize("read", READERS, ids=IDS)
@pytest.mark.parametrize("width, height, img_type, error, message", [
    (-8, 2, 0, ValueError, "camera 0 reports a -8 x 2 region; both sizes must be positive"),
    (8, 0, 0, ValueError, "camera 0 reports a 8 x 0 region; both sizes must be positive"),
    (2**31 - 1, 2**31 - 1, 1, OverflowError,
     "camera 0 reports a 2147483647 x 2147483647 region of 3 bytes per pixel: too large"),
])
def test_region_sizes_from_the_sdk_are_checked(read, width, height, img_type, error, message, streaming):
    streaming(0)
    simulator.force_outputs("ASIGetROIFormat", width=width, height=height, bin=1, img_type=img_type)
    with pytest.raises(error) as info:
        read(0, np.empty(16, np.uint8), 10)
    assert str(info.value) == message
