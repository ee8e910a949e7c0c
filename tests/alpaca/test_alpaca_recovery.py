"""A camera that drops off the USB bus and comes back, through the ASCOM client: the device
stays connected, answers NotConnected with CameraState Error while the camera is away, and
works again on its return without a new Connected cycle."""
import time

import pytest
from alpaca.camera import Camera as AlpacaCamera
from alpaca.exceptions import NotConnectedException

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca import Server

ERROR, IDLE = 5, 0


@pytest.fixture
def client():
    with Server(port=0, discovery=False) as running:
        camera = AlpacaCamera(f"127.0.0.1:{running.port}", 1)
        camera.Connected = True
        yield camera


def expose(camera, seconds=0.05):
    camera.StartExposure(seconds, True)
    deadline = time.monotonic() + 30
    while not camera.ImageReady:
        assert time.monotonic() < deadline, "no image in 30 s"
        time.sleep(0.05)
    return camera.ImageArray


def until(check, seconds, what):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, f"{what} did not happen in {seconds} s"
        time.sleep(0.1)


def test_the_device_errs_while_the_camera_is_away_and_works_on_its_return(client):
    client.Gain = 300
    assert len(expose(client)) == 4144
    simulator.set_faults("unplug camera=1 at=0 for=3")
    lost = r"camera 1 \(.*\) was lost \(unplugged, or its USB link was reset\); waiting for it to come back"
    with pytest.raises(NotConnectedException, match=lost):
        client.StartExposure(0.05, True)
    assert client.CameraState == ERROR and client.Connected
    with pytest.raises(NotConnectedException):
        client.Gain
    until(lambda: client.CameraState == IDLE, 3 + 5, "the camera's return")
    assert client.Connected and client.Gain == 300   # its settings restored
    assert len(expose(client)) == 4144
