"""The simulator under hostile use: link pacing on and off, edge triggers that come
faster than the sensor can expose, snapshots rendered on the simulator's thread, a
region change racing a stopping capture, and fork() while captures run.

Anything that could hang runs in a child process with a deadline, so a hang fails; and
every test here runs under a deadline of its own that ends the whole run, with every
thread's traceback, rather than let a hang stall it."""
import contextlib
import faulthandler
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import CameraMode, ControlType, ImgType

IDLE, WORKING, SUCCESS, FAILED = 0, 1, 2, 3
TEST_SECONDS = 300  # far beyond any test here, sanitizers included


@contextlib.contextmanager
def deadline(seconds):
    """Ends the process (exit status 1, every thread's traceback on stderr) when the block
    outlives `seconds`: a hang in a C call cannot be interrupted any other way."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture(autouse=True)
def hang_guard():
    with deadline(TEST_SECONDS):
        yield


def setup(cam, width, height, img_type=ImgType.IMG_RAW8, exposure_us=1000):
    korvi.open_camera(cam)
    korvi.init_camera(cam)
    korvi.set_roi_format(cam, width, height, 1, img_type)
    korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, exposure_us, False)
    return width * height * {ImgType.IMG_RAW8: 1, ImgType.IMG_RAW16: 2, ImgType.IMG_RGB24: 3}[img_type]


def run_python(script, timeout=90):
    """Runs a script in a fresh interpreter (same environment, sanitizers included)."""
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                              text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process hung for {timeout} s")
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr[-4000:]}"
    return done.stdout


def in_forked_child(body, timeout=30.0):
    """Forks this (multi-threaded) process, runs body() in the child and returns its result,
    or the text of the exception it raised. A child that hangs is killed and fails the test."""
    r, w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running: the point
        pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            try:
                result = ("returned", body())
            except BaseException as e:  # noqa: BLE001 - reported to the parent
                result = ("raised", f"{type(e).__name__}: {e}")
            os.write(w, pickle.dumps(result))
        finally:
            os._exit(0)
    os.close(w)
    deadline = time.monotonic() + timeout
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(r)
            pytest.fail(f"the forked child hung for {timeout} s")
        time.sleep(0.005)
    with os.fdopen(r, "rb") as pipe:
        data = pipe.read()
    assert data, "the forked child died before it reported"
    return pickle.loads(data)


def test_a_hang_past_the_deadline_ends_the_process_with_tracebacks():
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import threading, time
        from test_reliability import deadline
        from vorrant.orlicam import korvi
        korvi.open_camera(0)
        korvi.init_camera(0)
        korvi.start_video_capture(0)
        with deadline(1):
            threading.Event().wait()
        print("not reached")
    """)], capture_output=True, text=True, timeout=60, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert (done.returncode, done.stdout) == (1, "")
    assert "Timeout (0:00:01)!" in done.stderr and "in <module>" in done.stderr
    assert time.monotonic() - started < 30


# ------------------------------------------------------------------------ pacing


def test_pacing_is_on_by_default_and_reset_restores_it():
    seen = [simulator.pacing()]
    simulator.set_pacing(False)
    seen.append(simulator.pacing())
    simulator.set_pacing(True)
    seen.append(simulator.pacing())
    simulator.set_pacing(0)
    simulator.reset()
    seen.append(simulator.pacing())
    assert seen == [True, False, True, True]


@pytest.mark.parametrize(("value", "paced"), [("1", False), ("0", True), ("", True), ("yes", True)])
def test_pacing_default_from_the_environment(value, paced):
    out = run_python(f"""
        import os
        os.environ["ORLICAM_SIM_UNPACED"] = {value!r}
        from vorrant.orlicam import simulator
        first = simulator.pacing()
        simulator.set_pacing(not first)
        simulator.reset()
        print(first, simulator.pacing())
    """)
    assert out.split() == [str(paced), str(paced)]


@pytest.mark.parametrize(("paced", "drops"), [(True, True), (False, False)])
def test_unpaced_producer_waits_for_room_instead_of_dropping(paced, drops):
    size = setup(0, 32, 16, exposure_us=100)
    simulator.set_pacing(paced)
    korvi.start_video_capture(0)
    time.sleep(0.3)  # nobody fetches: a paced camera drops, an unpaced producer waits
    dropped = korvi.get_dropped_frames(0)
    frames = [korvi.get_video_data(0, size, 1000) for _ in range(50)]
    korvi.stop_video_capture(0)
    assert (dropped > 0) is drops
    assert {(type(f), len(f)) for f in frames} == {(bytearray, size)}


# ------------------------------------------------------------------------ triggers


def test_soft_edges_during_an_exposure_are_ignored():
    size = setup(1, 32, 16, exposure_us=300_000)
    korvi.set_camera_mode(1, CameraMode.ASI_MODE_TRIG_SOFT_EDGE)
    korvi.start_video_capture(1)
    for _ in range(20_000):
        korvi.send_soft_trigger(1, True)
    first = korvi.get_video_data(1, size, 3000)
    with pytest.raises(korvi.ASITimeout):
        korvi.get_video_data(1, size, 500)  # one exposure, one frame
    korvi.send_soft_trigger(1, True)  # the sensor is idle again: this edge counts
    second = korvi.get_video_data(1, size, 3000)
    dropped = korvi.get_dropped_frames(1)
    korvi.stop_video_capture(1)
    assert (len(first), len(second), dropped) == (size, size, 0)


@pytest.mark.parametrize(("mode", "edges"), [
    (CameraMode.ASI_MODE_TRIG_RISE_EDGE, 5000),
    (CameraMode.ASI_MODE_TRIG_FALL_EDGE, 5000),
])
def test_hardware_edges_during_an_exposure_are_ignored(mode, edges):
    size = setup(1, 32, 16, exposure_us=200_000)
    korvi.set_camera_mode(1, mode)
    korvi.start_video_capture(1)
    start = time.monotonic()
    for _ in range(edges):
        simulator.trigger_input(1, True)
        simulator.trigger_input(1, False)
    # Each 0.2 s exposure can take one edge; a slow (sanitized) flood spans a few of them.
    possible = 1 + int((time.monotonic() - start) / 0.2)
    frames = []
    try:
        while len(frames) <= possible:
            frames.append(korvi.get_video_data(1, size, 3000 if not frames else 500))
    except korvi.ASITimeout:
        pass
    korvi.stop_video_capture(1)
    assert 1 <= len(frames) <= possible
    assert {len(f) for f in frames} == {size}


# ------------------------------------------------------------------------ snapshots


def test_snapshot_is_working_until_its_pixels_exist():
    size = setup(1, 4144, 2822, ImgType.IMG_RAW16, exposure_us=32)
    korvi.start_exposure(1, False)
    time.sleep(0.002)  # the exposure time has passed; a full 14-bit frame takes far longer to render
    early = korvi.get_exp_status(1)
    deadline = time.monotonic() + 30
    while (status := korvi.get_exp_status(1)) == WORKING and time.monotonic() < deadline:
        time.sleep(0.005)
    frame = korvi.get_data_after_exp(1, size)
    assert (early, status, len(frame), korvi.get_exp_status(1)) == (WORKING, SUCCESS, size, IDLE)
    assert any(frame)


@pytest.mark.parametrize("stop", ["stop_exposure", "close_camera"])
def test_stopping_a_rendering_snapshot(stop):
    size = setup(1, 4144, 2822, ImgType.IMG_RAW16, exposure_us=32)
    korvi.start_exposure(1, False)
    getattr(korvi, stop)(1)
    if stop == "close_camera":
        with pytest.raises(korvi.ASICameraClosed):
            korvi.get_exp_status(1)
        setup(1, 4144, 2822, ImgType.IMG_RAW16, exposure_us=32)
        assert korvi.get_exp_status(1) == IDLE
    else:
        assert korvi.get_exp_status(1) == FAILED
        with pytest.raises(korvi.ASIGeneralError):
            korvi.get_data_after_exp(1, size)


# ------------------------------------------------------------ stop racing a region change


def test_region_changes_racing_a_stopping_capture():
    # Stop through the C entry point (no interpreter lock) while another thread changes the
    # region at once: the producer must never render the new size into the old frames.
    run_python("""
        import threading, time
        from vorrant.orlicam import korvi, simulator
        from vorrant.orlicam.korvi import ControlType, ImgType
        lib = simulator.library()
        korvi.open_camera(1); korvi.init_camera(1)
        korvi.set_control_value(1, ControlType.ASI_EXPOSURE, 50, False)
        simulator.set_pacing(False)
        end = time.monotonic() + 3
        def toggle():
            while time.monotonic() < end:
                lib.ASIStartVideoCapture(1)
                lib.ASIStopVideoCapture(1)
        def resize():
            sizes = [(32, 16), (1024, 768), (8, 2), (2048, 1400)]
            i = 0
            while time.monotonic() < end:
                w, h = sizes[i % len(sizes)]
                lib.ASISetROIFormat(1, w, h, 1, 2)
                i += 1
        threads = [threading.Thread(target=f) for f in (toggle, resize)]
        for t in threads: t.start()
        for t in threads: t.join()
        lib.ASIStopVideoCapture(1)
        korvi.close_camera(1)
        print("ok")
    """)


# ------------------------------------------------------------------------ fork


@pytest.fixture
def busy_cameras():
    """Both cameras streaming, with a thread waiting in each camera's fetch; stopped afterwards."""
    sizes = [setup(0, 64, 32), setup(1, 32, 16, ImgType.IMG_RAW16)]
    stop = threading.Event()

    def fetch(cam):
        while not stop.is_set():
            try:
                (korvi.get_video_data if cam == 0 else korvi.get_video_data_gps)(cam, sizes[cam], 50)
            except (korvi.ASITimeout, korvi.ASIInvalidSequence):
                pass

    for cam in (0, 1):
        korvi.start_video_capture(cam)
    threads = [threading.Thread(target=fetch, args=(cam,)) for cam in (0, 1)]
    for t in threads:
        t.start()
    time.sleep(0.05)
    yield sizes
    stop.set()
    for t in threads:
        t.join()
    simulator.reset()


def test_fork_during_captures_leaves_the_child_a_clean_library(busy_cameras):
    sizes = busy_cameras

    def child():
        seen = []
        for cam in (0, 1):
            korvi.stop_video_capture(cam)  # the parent's capture is forgotten, not joined
            try:
                korvi.get_video_data(cam, sizes[cam], 100)
                seen.append("frame")
            except korvi.ASIInvalidSequence:
                seen.append("no capture")
            seen.append(korvi.get_roi_format(cam)[:2])
            korvi.start_video_capture(cam)
            seen.append(len(korvi.get_video_data(cam, sizes[cam], 3000)))
            korvi.stop_video_capture(cam)
            korvi.close_camera(cam)
        return seen

    results = [in_forked_child(child) for _ in range(12)]
    expected = ["no capture", (64, 32), sizes[0], "no capture", (32, 16), sizes[1]]
    assert results == [("returned", expected)] * 12
    assert len(korvi.get_video_data(0, sizes[0], 2000)) == sizes[0]  # the parent streams on


def test_fork_while_the_child_inherits_a_running_capture_it_never_stops(busy_cameras):
    # The child only exits: nothing may wait for the parent's producer threads at exit.
    assert [in_forked_child(lambda: korvi.get_dropped_frames(0)) for _ in range(5)] == [("returned", 0)] * 5


def test_fork_during_a_snapshot_fails_it_in_the_child_only():
    size = setup(1, 32, 16, exposure_us=1_500_000)
    korvi.start_exposure(1, False)
    simulator.record_calls(True)
    simulator.clear_calls()

    def child():
        status = korvi.get_exp_status(1)
        korvi.set_control_value(1, ControlType.ASI_EXPOSURE, 1000, False)
        korvi.start_exposure(1, False)
        deadline = time.monotonic() + 10
        while korvi.get_exp_status(1) == WORKING and time.monotonic() < deadline:
            time.sleep(0.002)
        frame = korvi.get_data_after_exp(1, size)
        return status, len(frame), [name for name, _ in simulator.calls()][:2]

    assert in_forked_child(child) == ("returned", (FAILED, size, ["ASIGetExpStatus", "ASISetControlValue"]))
    assert korvi.get_exp_status(1) == WORKING
    korvi.stop_exposure(1)


def test_multiprocessing_fork_context_during_capture(busy_cameras):
    import multiprocessing

    ctx = multiprocessing.get_context("fork")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with ctx.Pool(2) as pool:
            got = pool.map_async(_count_cameras_and_snap, range(4)).get(timeout=60)
    assert got == [(2, 32 * 16 * 2)] * 4


def _count_cameras_and_snap(_):
    korvi.stop_video_capture(1)
    korvi.start_exposure(1, False)
    deadline = time.monotonic() + 10
    while korvi.get_exp_status(1) == WORKING and time.monotonic() < deadline:
        time.sleep(0.002)
    return korvi.get_number_of_connected_cameras(), len(korvi.get_data_after_exp(1, 32 * 16 * 2))
