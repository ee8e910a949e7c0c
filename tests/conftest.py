import atexit
import os
import shutil
import tempfile

import pytest

from vorrant.orlicam import korvi, simulator

# The simulated cameras are one per machine: this session's live in a folder of its own
# (subprocesses inherit it), apart from other sessions' and programs'.
_STATE_DIR = tempfile.mkdtemp(prefix="orlicam-sim-state-")
os.environ["ORLICAM_SIM_STATE_DIR"] = _STATE_DIR
atexit.register(shutil.rmtree, _STATE_DIR, True)


@pytest.fixture(autouse=True)
def _fresh_simulator():
    simulator.reset()
    yield


@pytest.fixture
def log():
    """The simulator, recording calls (the reset before each test stops and clears it)."""
    simulator.record_calls(True)
    return simulator


@pytest.fixture
def opened():
    """opened(cam) opens and initialises a camera; every camera is closed afterwards."""
    yield lambda cam: (korvi.open_camera(cam), korvi.init_camera(cam))
    simulator.reset()


@pytest.fixture
def cam0():
    """The colour camera, opened through the camera layer and closed afterwards."""
    from vorrant.orlicam import Camera

    with Camera(0) as cam:
        yield cam


@pytest.fixture
def cam1():
    """The cooled mono GPS camera, opened through the camera layer and closed afterwards."""
    from vorrant.orlicam import Camera

    with Camera(1) as cam:
        yield cam
