"""Random sequences of korvi operations on both default cameras, checked step by step
against a small model of each camera: which exception each call raises (only korvi's
own classes), the size of every frame, the state read back after every step, and that
nothing reaches the library after an argument error.

CI runs a bounded number of examples; ORLICAM_STATE_MACHINE_EXAMPLES=n (make soak) runs n."""
import os
import time
from dataclasses import dataclass, field

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from test_reliability import deadline
from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import CameraMode, ControlType, GuideDirection, ImgType

IDLE, WORKING, SUCCESS, FAILED = 0, 1, 2, 3
BYTES = {ImgType.IMG_RAW8: 1, ImgType.IMG_Y8: 1, ImgType.IMG_RAW16: 2, ImgType.IMG_RGB24: 3}
SENSOR = {0: (1936, 1096), 1: (4144, 2822)}
FORMATS = {0: set(BYTES), 1: {ImgType.IMG_RAW8, ImgType.IMG_RAW16, ImgType.IMG_Y8}}
MODES = {0: {CameraMode.ASI_MODE_NORMAL}, 1: {m for m in CameraMode if m is not CameraMode.ASI_MODE_END}}
SOFT = {CameraMode.ASI_MODE_TRIG_SOFT_EDGE, CameraMode.ASI_MODE_TRIG_SOFT_LEVEL}
PULSED = {CameraMode.ASI_MODE_TRIG_RISE_EDGE, CameraMode.ASI_MODE_TRIG_FALL_EDGE, CameraMode.ASI_MODE_TRIG_HIGH_LEVEL}
SHORT_US, LONG_US = 100, 60_000_000  # a long exposure outlives any example

EXAMPLES = int(os.environ.get("ORLICAM_STATE_MACHINE_EXAMPLES", "0"))
settings.register_profile("orlicam-ci", max_examples=60, stateful_step_count=40, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("orlicam-soak", max_examples=max(EXAMPLES, 1), stateful_step_count=60, deadline=None,
                          database=None, suppress_health_check=[HealthCheck.too_slow])


@dataclass
class Model:
    open: bool = False
    initialised: bool = False
    roi: tuple = (64, 48, 1, ImgType.IMG_RAW8)
    video: bool = False
    exposure: int = IDLE
    exposure_bytes: int = 0
    mode: CameraMode = CameraMode.ASI_MODE_NORMAL
    gain: int = 0
    gain_range: tuple = (0, 0)
    frames: list = field(default_factory=list)

    @property
    def frame_bytes(self):
        w, h, _, t = self.roi
        return w * h * BYTES[t]


def outcome(fn, *args):
    """(None, result) or (exception type, None); only korvi's exception classes are caught."""
    try:
        return None, fn(*args)
    except korvi.ASIError as e:
        return type(e), None


cameras = st.sampled_from([0, 1])


class CameraMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        simulator.reset()
        self.m = {0: Model(), 1: Model()}

    @initialize(start=st.tuples(*[st.sampled_from(["closed", "open", "ready", "ready"])] * 2))
    def small_regions(self, start):
        # Small frames and short exposures (settings survive close); each camera closed, open or initialised.
        for cam, model in self.m.items():
            korvi.open_camera(cam)
            korvi.set_roi_format(cam, 64, 48, 1, ImgType.IMG_RAW8)
            korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, SHORT_US, False)
            model.gain = korvi.get_control_value(cam, ControlType.ASI_GAIN)[0]
            caps = [korvi.get_control_caps(cam, i) for i in range(korvi.get_num_of_controls(cam))]
            gain = next(c for c in caps if c.control_type is ControlType.ASI_GAIN)
            model.gain_range = (gain.min_value, gain.max_value)
            korvi.close_camera(cam)
            if start[cam] != "closed":
                self.open(cam)
            if start[cam] == "ready":
                self.init(cam)
        simulator.record_calls(True)

    def teardown(self):
        simulator.reset()

    def expect(self, expected, fn, *args):
        raised, result = outcome(fn, *args)
        assert raised is expected, f"{fn.__name__}{args}: raised {raised}, model expects {expected}"
        return result

    def closed_or(self, cam, expected):
        return expected if self.m[cam].open else korvi.ASICameraClosed

    # ------------------------------------------------------------------ open, init, close

    @rule(cam=cameras)
    def open(self, cam):
        self.expect(None, korvi.open_camera, cam)
        self.m[cam].open = True

    @rule(cam=cameras)
    def init(self, cam):
        self.expect(self.closed_or(cam, None), korvi.init_camera, cam)
        if self.m[cam].open:
            self.m[cam].initialised = True

    @rule(cam=cameras, now=st.integers(0, 2))
    def close(self, cam, now):
        if now:  # closing less often than other calls keeps the examples on open cameras
            return
        self.expect(None, korvi.close_camera, cam)
        m = self.m[cam]
        m.open = m.initialised = m.video = False
        m.exposure = IDLE

    # ------------------------------------------------------------------ controls, region, mode

    @rule(cam=cameras, gain=st.integers(-50, 700))
    def set_gain(self, cam, gain):
        self.expect(self.closed_or(cam, None), korvi.set_control_value, cam, ControlType.ASI_GAIN, gain, False)
        if self.m[cam].open:
            lo, hi = self.m[cam].gain_range
            self.m[cam].gain = min(max(gain, lo), hi)
            assert korvi.get_control_value(cam, ControlType.ASI_GAIN) == (self.m[cam].gain, False)

    @rule(cam=cameras, width=st.sampled_from([8, 12, 64, 120, 4200]), height=st.sampled_from([2, 3, 16, 48]),
          bin_=st.sampled_from([1, 2, 4, 5]), img_type=st.sampled_from(list(BYTES)))
    def set_roi(self, cam, width, height, bin_, img_type):
        m = self.m[cam]
        if not m.open:
            expected = korvi.ASICameraClosed
        elif m.video:
            expected = korvi.ASIInvalidSequence
        elif bin_ == 5 or img_type not in FORMATS[cam]:
            expected = korvi.ASIInvalidImageType
        elif width % 8 or height % 2 or width * bin_ > SENSOR[cam][0] or height * bin_ > SENSOR[cam][1]:
            expected = korvi.ASIInvalidSize
        else:
            expected = None
        self.expect(expected, korvi.set_roi_format, cam, width, height, bin_, img_type)
        if expected is None:
            m.roi = (width, height, bin_, img_type)

    @rule(cam=cameras, mode=st.sampled_from([m for m in CameraMode if m is not CameraMode.ASI_MODE_END]))
    def set_mode(self, cam, mode):
        m = self.m[cam]
        if not m.open:
            expected = korvi.ASICameraClosed
        elif m.video or m.exposure == WORKING:
            expected = korvi.ASIInvalidSequence
        elif mode not in MODES[cam]:
            expected = korvi.ASIInvalidMode
        else:
            expected = None
        self.expect(expected, korvi.set_camera_mode, cam, mode)
        if expected is None:
            m.mode = mode

    @rule(cam=cameras, direction=st.sampled_from(list(GuideDirection)), on=st.booleans())
    def guide(self, cam, direction, on):
        self.expect(self.closed_or(cam, None), korvi.pulse_guide_on if on else korvi.pulse_guide_off, cam, direction)

    @rule(cam=cameras, which=st.sampled_from(["own", "other", "missing"]))
    def dark(self, cam, which, tmp=None):
        path = {"own": DARKS[cam], "other": DARKS[1 - cam], "missing": DARKS[cam] + ".missing"}[which]
        expected = {"own": None, "other": korvi.ASIInvalidFileFormat, "missing": korvi.ASIInvalidPath}[which]
        self.expect(self.closed_or(cam, expected), korvi.enable_dark_subtract, cam, path)
        self.expect(self.closed_or(cam, None), korvi.disable_dark_subtract, cam)

    # ------------------------------------------------------------------ snapshots

    @rule(cam=cameras, long=st.booleans(), dark=st.booleans())
    def start_exposure(self, cam, long, dark):
        m = self.m[cam]
        if not m.open:
            expected = korvi.ASICameraClosed
        elif not m.initialised:
            expected = korvi.ASIGeneralError
        elif m.video:
            expected = korvi.ASIVideoModeActive
        elif m.exposure == WORKING:
            expected = korvi.ASIExposureInProgress
        else:
            expected = None
        if expected is None and long:  # only then: a running capture would take the long value too
            korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, LONG_US, False)
        self.expect(expected, korvi.start_exposure, cam, dark)
        if expected is None and long:  # the running shot keeps its length; frames after it are short again
            korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, SHORT_US, False)
        if expected is None:
            m.exposure_bytes = m.frame_bytes
            m.exposure = WORKING
            if not long:
                deadline = time.monotonic() + 20
                while korvi.get_exp_status(cam) == WORKING:
                    assert time.monotonic() < deadline, "a 100 us exposure never ended"
                    time.sleep(0.001)
                m.exposure = SUCCESS

    @rule(cam=cameras)
    def stop_exposure(self, cam):
        self.expect(self.closed_or(cam, None), korvi.stop_exposure, cam)
        if self.m[cam].exposure == WORKING:
            self.m[cam].exposure = FAILED

    @rule(cam=cameras, slack=st.sampled_from([-1, 0, 7]))
    def fetch_snapshot(self, cam, slack):
        m = self.m[cam]
        size = max(m.exposure_bytes, m.frame_bytes, 16) + slack
        if not m.open:
            expected = korvi.ASICameraClosed
        elif m.exposure != SUCCESS:
            expected = korvi.ASIGeneralError
        elif size < m.exposure_bytes:
            expected = korvi.ASIBufferTooSmall
        else:
            expected = None
        frame = self.expect(expected, korvi.get_data_after_exp, cam, size)
        if expected is None:
            assert (type(frame), len(frame)) == (bytes, size)
            m.exposure = IDLE

    # ------------------------------------------------------------------ video

    @rule(cam=cameras)
    def start_video(self, cam):
        m = self.m[cam]
        if not m.open:
            expected = korvi.ASICameraClosed
        elif not m.initialised:
            expected = korvi.ASIGeneralError
        elif m.exposure == WORKING:
            expected = korvi.ASIExposureInProgress
        else:
            expected = None
        self.expect(expected, korvi.start_video_capture, cam)
        if expected is None:
            m.video = True

    @rule(cam=cameras)
    def stop_video(self, cam):
        self.expect(self.closed_or(cam, None), korvi.stop_video_capture, cam)
        self.m[cam].video = False

    def video_expectation(self, cam, size):
        m = self.m[cam]
        if not m.open:
            return korvi.ASICameraClosed
        if not m.video:
            return korvi.ASIInvalidSequence
        if size < m.frame_bytes:
            return korvi.ASIBufferTooSmall
        return None

    @rule(cam=cameras, slack=st.sampled_from([-2, 0, 5]), gps=st.booleans())
    def fetch_frame(self, cam, slack, gps):
        m = self.m[cam]
        size = m.frame_bytes + slack
        expected = self.video_expectation(cam, size)
        free_running = m.mode is CameraMode.ASI_MODE_NORMAL
        if expected is None and not free_running:
            expected = korvi.ASITimeout  # nothing triggered it
        fetch = korvi.get_video_data_gps if gps else korvi.get_video_data
        got = self.expect(expected, fetch, cam, size, 3000 if free_running else 20)
        if expected is None:
            frame = got[0] if gps else got
            assert type(frame) in ((bytes, bytearray) if gps else (bytearray,)) and len(frame) == size
            if gps:
                assert type(got[1]) is korvi.GpsData

    @precondition(lambda self: any(m.open and m.video for m in self.m.values()))
    @rule(gps=st.booleans(), data=st.data())
    def fetch_streaming(self, gps, data):
        cam = data.draw(st.sampled_from([c for c, m in self.m.items() if m.open and m.video]))
        self.fetch_frame(cam, 0, gps)

    @precondition(lambda self: self.m[1].open and self.m[1].video and self.m[1].mode in SOFT | PULSED)
    @rule()
    def trigger_and_fetch(self):
        m = self.m[1]
        if m.mode in SOFT:
            self.expect(None, korvi.send_soft_trigger, 1, True)
            if m.mode is CameraMode.ASI_MODE_TRIG_SOFT_LEVEL:
                self.expect(None, korvi.send_soft_trigger, 1, False)
        else:
            simulator.trigger_input(1, True)
            simulator.trigger_input(1, False)
        frame = self.expect(None, korvi.get_video_data, 1, m.frame_bytes, 5000)
        assert len(frame) == m.frame_bytes

    @rule(cam=cameras)
    def soft_trigger(self, cam):
        m = self.m[cam]
        expected = self.closed_or(cam, None if m.mode in SOFT else korvi.ASIInvalidMode)
        self.expect(expected, korvi.send_soft_trigger, cam, False)

    @rule(cam=cameras)
    def dropped(self, cam):
        count = self.expect(self.closed_or(cam, None), korvi.get_dropped_frames, cam)
        if self.m[cam].open:
            assert type(count) is int and count >= 0

    # ------------------------------------------------------------------ argument errors

    @rule(cam=cameras, which=st.sampled_from(["negative size", "plain int mode", "str id"]))
    def argument_error(self, cam, which):
        simulator.clear_calls()
        with pytest.raises((ValueError, TypeError, AttributeError)) as info:
            if which == "negative size":
                korvi.get_video_data(cam, -1, 0)
            elif which == "plain int mode":
                korvi.set_camera_mode(cam, 1)
            else:
                korvi.open_camera(str(cam))
        assert type(info.value) is {"negative size": ValueError, "plain int mode": AttributeError,
                                    "str id": TypeError}[which]
        assert simulator.calls() == []

    # ------------------------------------------------------------------ read-back

    @invariant()
    def state_reads_back(self):
        for cam, m in self.m.items():
            if not m.open:
                assert outcome(korvi.get_roi_format, cam)[0] is korvi.ASICameraClosed
                continue
            assert korvi.get_roi_format(cam) == m.roi
            assert korvi.get_camera_mode(cam) is m.mode
            assert korvi.get_exp_status(cam) == m.exposure


DARKS: dict[int, str] = {}


@pytest.fixture(scope="module", autouse=True)
def dark_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("darks")
    simulator.reset()
    for cam in (0, 1):
        DARKS[cam] = str(folder / f"dark{cam}.bmp")
        simulator.write_dark_bmp(cam, DARKS[cam], 1000)
    yield


TestCameraMachine = CameraMachine.TestCase
TestCameraMachine.settings = settings.get_profile("orlicam-soak" if EXAMPLES else "orlicam-ci")


@pytest.fixture(autouse=True)
def hang_guard():
    # A hang inside a C call cannot be interrupted: the run ends with every thread's traceback instead.
    with deadline(max(600, 3 * EXAMPLES)):
        yield
