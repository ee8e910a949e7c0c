"""The camera layer under interrupts, failed stops, stale streams and records it cannot
read: the camera stays usable, and the layer's idea of it stays the SDK's."""
import ast
import inspect
import random
import signal
import sys
import textwrap

import pytest

from vorrant.orlicam import Camera, cameras, korvi, simulator
from vorrant.orlicam.camera.streaming import Stream

from camera_support import NAME0, names


def test_an_interrupt_storm_over_captures_and_streams_leaves_the_camera_usable(cam0):
    cam0.set_roi(64, 32)
    armed = [False]
    rng = random.Random(17)

    def interrupt(signum, frame):
        # One interrupt per arming: the loop's own bookkeeping is never hit.
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    def stream_two():
        with cam0.stream(0.0005) as frames:
            next(frames)
            next(frames)

    before = signal.signal(signal.SIGALRM, interrupt)
    hits = 0
    try:
        for round_ in range(300):
            action = (lambda: cam0.capture(0.0005)) if round_ % 2 else stream_two
            signal.setitimer(signal.ITIMER_REAL, rng.uniform(0.001, 0.007))
            armed[0] = True
            try:
                for _ in range(50):   # until the timer fires, at a random step
                    try:
                        action()
                    except korvi.ASIError:
                        pass   # refused after an earlier interrupt: the fault sought
                armed[0] = False
            except KeyboardInterrupt:
                hits += 1
    finally:
        armed[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)
    assert hits >= 30   # the storm hit (how often depends on the load: 250+ on an idle machine)
    assert cam0.capture(0.001).data.shape == (32, 64)
    with cam0.stream(0.001) as frames:
        assert next(frames).data.shape == (32, 64)


# ASI_ERROR_GENERAL_ERROR from ASIStopVideoCapture once, or for the stream's three tries
# and the next capture's first.
@pytest.mark.parametrize("failures", [1, 4])
def test_a_failed_stop_is_retried_then_keeps_the_camera_held_until_stopped(cam0, log, failures):
    cam0.set_roi(64, 32)
    simulator.fail_next("ASIStopVideoCapture", 16, failures)
    log.clear_calls()
    if failures == 1:
        with cam0.stream(0.001) as frames:
            next(frames)
        assert names(log).count("ASIStopVideoCapture") == 2
        assert cam0.capture(0.001).data.shape == (32, 64)
        return
    with pytest.raises(korvi.ASIGeneralError) as info:
        with cam0.stream(0.001) as frames:
            next(frames)
    assert names(log).count("ASIStopVideoCapture") == 3
    assert "the video capture may still run" in info.value.__notes__[-1]
    # The SDK still captures, and the layer says so; once the stop works, so does capture.
    with pytest.raises(korvi.ASIVideoModeActive) as info:
        cam0.capture(0.001)
    assert str(info.value) == (f"the video capture on {NAME0} could not be stopped after its stream ended "
                               "(ASI error code 16.); closing the camera ends it")
    log.clear_calls()
    assert cam0.capture(0.001).data.shape == (32, 64)
    assert names(log)[0] == "ASIStopVideoCapture"


def test_a_stream_from_before_a_reopen_cannot_touch_the_later_one(cam0, log):
    cam0.set_roi(64, 32)
    old = cam0.stream(0.001)
    old.__enter__()
    next(old)
    cam0.close()
    cam0.open()
    with cam0.stream(0.001) as frames:
        log.clear_calls()
        with pytest.raises(korvi.ASIInvalidSequence, match="this stream ended when .* was closed; start a new one"):
            next(old)
        old.__exit__(None, None, None)
        assert "ASIStopVideoCapture" not in names(log)
        assert next(frames).data.shape == (32, 64)


# Values outside korvi's enumerations: one odd camera record, one odd answer.
@pytest.mark.parametrize("patch, check", [
    ({"name": b"Bad\xff\xfeName"}, lambda found: found[0].name == "camera 0 (unreadable name)"),
    ({"bayer_pattern": 9}, lambda found: found[0].bayer_pattern is None and found[0].is_color),
])
def test_cameras_describes_a_camera_with_a_bad_record_and_lists_the_others(patch, check):
    simulator.patch_camera_info(0, **patch)
    with pytest.warns(RuntimeWarning, match=rf"^camera 0 .*: unreadable {next(iter(patch))} "):
        found = cameras()
    assert check(found) and len(found) == 2 and found[1].name == "ZWO ASI294MM Pro GPS Simulator"


@pytest.mark.parametrize("function, outputs, action, message", [
    ("ASIGetExpStatus", {"status": 7}, lambda cam: cam.capture(0.001), "exposure status"),
    ("ASIGetROIFormat", {"width": 64, "height": 32, "bin": 1, "img_type": 9}, lambda cam: cam.roi, "image format"),
])
def test_unknown_sdk_values_raise_korvi_errors(cam0, function, outputs, action, message):
    simulator.force_outputs(function, **outputs)
    with pytest.raises(korvi.ASIGeneralError, match=f"^the camera reported an unknown {message} "):
        action(cam0)
    assert cam0.capture(0.001).data.ndim == 2


def _normal_path_lines(function):
    """The first lines of the statements of `function` that are not cleanup (except and
    finally blocks): where Ctrl-C may land on the way in. A `try:` line is left out: it is a
    no-op outside every handler, where a tracer can raise but no signal is looked at."""
    tree = ast.parse(textwrap.dedent(inspect.getsource(function)))
    cleanup = set()
    for node in ast.walk(tree):
        for block in [h.body for h in getattr(node, "handlers", [])] + [getattr(node, "finalbody", [])]:
            cleanup.update(n.lineno for s in block for n in ast.walk(s) if isinstance(n, ast.stmt))
    first = function.__code__.co_firstlineno - 1
    return {first + n.lineno for n in ast.walk(tree.body[0])
            if isinstance(n, ast.stmt) and not isinstance(n, (ast.Try, ast.FunctionDef))
            and n.lineno not in cleanup}


def _interrupted(action, code, lines, k):
    """Runs `action` with KeyboardInterrupt raised at the k-th line of `code` in `lines`
    it reaches; the line it was raised at, None when `action` ended first."""
    seen = [0]

    def local(frame, event, arg):
        if event == "line" and frame.f_lineno in lines:
            seen[0] += 1
            if seen[0] == k:
                seen.append(frame.f_lineno)
                raise KeyboardInterrupt   # the tracer unsets itself
        return local

    sys.settrace(lambda frame, event, arg: local if frame.f_code is code else None)
    try:
        action()
    except KeyboardInterrupt:
        return seen[1]
    finally:
        sys.settrace(None)
    return None


def _first_python_of_leaving():
    """The first Python code leaving a stream's block runs: where a Ctrl-C pending as the
    block ends is raised."""
    leave = Stream.__exit__
    return leave if inspect.isfunction(leave) else Stream._leave


# Ctrl-C at each step of capture(), of entering a stream and of leaving one, one at a time:
# the camera still captures and streams after each.
@pytest.mark.parametrize("target", ["capture", "stream", "leave"])
def test_ctrl_c_at_each_step_of_starting_leaves_the_camera_usable(cam0, target):
    cam0.set_roi(64, 32)
    function = {"capture": Camera.capture, "stream": Stream.__enter__, "leave": _first_python_of_leaving()}[target]

    def action():
        if target == "capture":
            cam0.capture(0.0005)
        else:
            with cam0.stream(0.0005) as frames:
                next(frames)

    lines = _normal_path_lines(function)
    wedged = []
    k = 1
    while (line := _interrupted(action, function.__code__, lines, k)) is not None:
        try:
            assert cam0.capture(0.0005).data.shape == (32, 64)
            with cam0.stream(0.0005) as frames:
                assert next(frames).data.shape == (32, 64)
        except korvi.ASIError as exc:
            wedged.append((line, str(exc)))
            break
        k += 1
    assert wedged == [] and k > 3
