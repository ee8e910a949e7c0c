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
