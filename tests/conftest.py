import pytest

from vorrant.orlicam import korvi, simulator


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
