import pytest

from vorrant.orlicam import simulator


@pytest.fixture(autouse=True)
def _fresh_simulator():
    simulator.reset()
    yield
