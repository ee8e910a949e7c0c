"""The server through the ASCOM Initiative's own client (alpyca), on the simulated cameras."""
import dataclasses
import http.client
import json
import struct
import time
from datetime import UTC, datetime, timedelta

import numpy as np
import pytest
from alpaca.camera import Camera as AlpacaCamera
from alpaca.exceptions import DriverException, InvalidOperationException, InvalidValueException, NotImplementedException

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca import Server
from vorrant.orlicam.alpaca.device import CameraDevice
from vorrant.orlicam.camera import Camera, cameras


@pytest.fixture
def server():
    with Server(port=0, discovery=False) as running:
        yield running


@pytest.fixture
def connected(server):
    """connected(n): an alpyca client for camera n, connected."""
    def make(number):
        client = AlpacaCamera(f"127.0.0.1:{server.port}", number)
        client.Connected = True
        return client
    return make


@pytest.fixture
def captured(monkeypatch):
    """Every frame the camera layer's capture() hands back while the test runs."""
    frames = []
    original = Camera.capture

    def spy(self, *args, **kwargs):
        frame = original(self, *args, **kwargs)
        frames.append(frame)
        return frame

    monkeypatch.setattr(Camera, "capture", spy)
    return frames


def fetch(server, path, **headers):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    try:
        conn.request("GET", path, headers=headers)
        return conn.getresponse().read()
    finally:
        conn.close()


def wait_for(predicate, what, seconds=30.0):
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.02)


COMMON = {"Connected": True, "Connecting": False, "InterfaceVersion": 4, "SupportedActions": [],
          "DriverVersion": "0.1", "CanAsymmetricBin": False, "BinX": 1, "BinY": 1, "MaxBinX": 4, "MaxBinY": 4,
          "StartX": 0, "StartY": 0, "ExposureMin": 3.2e-05, "ExposureMax": 2000.0, "ExposureResolution": 1e-06,
          "ReadoutMode": 0, "HasShutter": False, "CanStopExposure": False, "CanAbortExposure": True, "CanFastReadout": False,
          "CameraState": 0, "ImageReady": False, "PercentCompleted": 0, "CanPulseGuide": True,
          "IsPulseGuiding": False, "CCDTemperature": 20.0, "GainMin": 0, "GainMax": 570,
          "OffsetMin": 0}
MEMBERS = {
    0: COMMON | {"Name": "ZWO ASI462MC Simulator", "CameraXSize": 1936, "CameraYSize": 1096, "NumX": 1936,
                 "NumY": 1096, "PixelSizeX": 2.9, "PixelSizeY": 2.9, "SensorType": 2, "BayerOffsetX": 0,
                 "BayerOffsetY": 0, "MaxADU": 4095 << 4, "SensorName": "IMX462",
                 # at gain 200 (20 dB), in 16-bit words carrying 12 sensor bits
                 "ElectronsPerADU": pytest.approx(3.06 / 10 / 16), "FullWellCapacity": pytest.approx(3.06 / 10 * 4095),
                 "Gain": 200, "Offset": 25, "OffsetMax": 80,
                 "ReadoutModes": ["RAW16", "RAW8", "RGB24"], "CanSetCCDTemperature": False,
                 "CanGetCoolerPower": False},
    1: COMMON | {"Name": "ZWO ASI294MM Pro GPS Simulator", "CameraXSize": 4144, "CameraYSize": 2822,
                 "NumX": 4144, "NumY": 2822, "PixelSizeX": 4.63, "PixelSizeY": 4.63, "SensorType": 0,
                 "MaxADU": 16383 << 2, "SensorName": "IMX492",
                 "ElectronsPerADU": pytest.approx(3.92 / 10**0.6 / 4),
                 "FullWellCapacity": pytest.approx(3.92 / 10**0.6 * 16383), "Gain": 120, "Offset": 8, "OffsetMax": 250,
                 "ReadoutModes": ["RAW16", "RAW8"], "CanSetCCDTemperature": True, "CanGetCoolerPower": True,
                 "CoolerOn": False, "CoolerPower": 0.0, "SetCCDTemperature": 0.0},
}
NOT_IMPLEMENTED = {0: ["Gains", "Offsets", "HeatSinkTemperature", "CoolerOn", "CoolerPower", "SetCCDTemperature"],
                   1: ["Gains", "Offsets", "HeatSinkTemperature", "BayerOffsetX", "BayerOffsetY"]}


@pytest.mark.parametrize("number", [0, 1])
def test_every_member_reads_through_the_standard_client(connected, number):
    client = connected(number)
    values = {name: getattr(client, name) for name in MEMBERS[number]}
    assert values == MEMBERS[number]
    assert client.Description == f"{MEMBERS[number]['Name']} (ZWO ASI camera)"
    assert "orlicam" in client.DriverInfo[0]
    for name in NOT_IMPLEMENTED[number]:
        with pytest.raises(NotImplementedException):
            getattr(client, name)


def test_device_state_lists_the_operational_members(connected):
    before = datetime.now(UTC)
    state = {item["Name"]: item["Value"] for item in connected(1).DeviceState}
    assert list(state) == ["CameraState", "CCDTemperature", "CoolerPower", "ImageReady", "IsPulseGuiding",
                           "PercentCompleted", "TimeStamp"]
    assert [state[k] for k in ("CameraState", "CCDTemperature", "ImageReady", "IsPulseGuiding")] == [0, 20.0, False, False]
    # ISO 8601 with the zone designator: without it the time reads as the client's local time.
    assert state["TimeStamp"].endswith("Z")
    stamp = datetime.fromisoformat(state["TimeStamp"])
    assert stamp.utcoffset() == timedelta(0) and before - timedelta(seconds=1) <= stamp <= datetime.now(UTC)
    assert "CoolerPower" not in {item["Name"] for item in connected(0).DeviceState}


def test_connect_disconnect_and_stopping_the_server_open_and_close_the_camera(log):
    with Server(port=0, discovery=False) as running:
        client = AlpacaCamera(f"127.0.0.1:{running.port}", 1)
        log.clear_calls()
        client.Connect()
        assert client.Connected is True
        assert [c for c in log.calls() if c[0] in ("ASIOpenCamera", "ASIInitCamera")] == [
            ("ASIOpenCamera", (1,)), ("ASIInitCamera", (1,))]
        client.Disconnect()
        assert client.Connected is False and ("ASICloseCamera", (1,)) in log.calls()
        AlpacaCamera(f"127.0.0.1:{running.port}", 0).Connected = True
        log.clear_calls()
    assert ("ASICloseCamera", (0,)) in log.calls()


def expose(client, duration, light=True):
    client.StartExposure(duration, light)
    wait_for(lambda: client.ImageReady, "the image")


def test_an_exposure_reaches_the_sdk_with_the_subframe_and_duration(connected, log):
    client = connected(1)
    client.BinX = 2
    assert client.BinY == 2
    client.StartX, client.StartY, client.NumX, client.NumY = 16, 8, 640, 480
    client.ReadoutMode = 1
    log.clear_calls()
    expose(client, 0.05, light=False)
    sent = [c for c in log.calls() if c[0] in ("ASISetROIFormat", "ASISetStartPos", "ASIStartExposure")]
    assert sent == [("ASISetROIFormat", (1, 640, 480, 2, 0)), ("ASISetStartPos", (1, 16, 8)),
                    ("ASIStartExposure", (1, 1))]
    assert ("ASISetControlValue", (1, 1, 50000, 0)) in log.calls()
    assert client.LastExposureDuration == pytest.approx(0.05)
    assert (client.CameraState, client.PercentCompleted) == (0, 100)
    client.StartExposure(0.5, True)   # the last exposure's figures stay until the next one ends
    assert (client.ImageReady, client.LastExposureDuration) == (False, pytest.approx(0.05))
    wait_for(lambda: client.ImageReady, "the second image")
    assert client.LastExposureDuration == pytest.approx(0.5)


def test_image_array_as_imagebytes_and_json_is_the_captured_frame_transposed(server, connected, captured):
    client = connected(1)
    client.BinX, client.NumX, client.NumY, client.StartX, client.StartY = 2, 1024, 700, 8, 6
    expose(client, 0.02)
    (frame,) = captured
    assert frame.data.shape == (700, 1024) and frame.data.dtype == np.uint16
    expected = frame.data.T.tolist()
    assert [list(column) for column in client.ImageArray] == expected           # ImageBytes, as alpyca asks
    assert (client.img_desc.ImageElementType, client.img_desc.TransmissionElementType) == (2, 8)
    assert (client.img_desc.Rank, client.img_desc.Dimension1, client.img_desc.Dimension2) == (2, 1024, 700)
    reply = json.loads(fetch(server, "/api/v1/camera/1/imagearray?ClientTransactionID=77"))   # no Accept: JSON
    assert (reply["Type"], reply["Rank"], reply["ErrorNumber"], reply["ClientTransactionID"]) == (2, 2, 0, 77)
    assert reply["Value"] == expected
    assert client.LastExposureStartTime == frame.meta.start_time.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]
    assert client.LastExposureDuration == frame.meta.exposure


def test_colour_frames_are_rank_3_with_planes_last(server, connected, captured):
    client = connected(0)
    client.NumX, client.NumY, client.ReadoutMode = 64, 32, 2
    expose(client, 0.01)
    (frame,) = captured
    assert frame.data.shape == (32, 64, 3)
    raw = fetch(server, "/api/v1/camera/0/imagearray", Accept="application/imagebytes")
    reply = json.loads(fetch(server, "/api/v1/camera/0/imagearray"))
    header = struct.unpack("<11i", raw[:44])
    assert header[:2] == (1, 0) and header[4:] == (44, 2, 6, 3, 64, 32, 3)
    assert np.frombuffer(raw[44:], np.uint8).reshape(64, 32, 3).tolist() == frame.data.transpose(1, 0, 2).tolist()
    assert reply["Rank"] == 3 and reply["Value"] == frame.data.transpose(1, 0, 2).tolist()


def test_polling_during_an_exposure_and_conflicting_writes(connected, log):
    client = connected(1)
    client.NumX, client.NumY = 256, 256
    client.StartExposure(3.0, True)
    assert client.CameraState == 2 and client.ImageReady is False
    assert 0 <= client.PercentCompleted < 100
    assert (client.Gain, client.CCDTemperature) == (120, 20.0)
    for write in (lambda: setattr(client, "Gain", 200), lambda: setattr(client, "BinX", 2),
                  lambda: setattr(client, "NumX", 128), lambda: setattr(client, "ReadoutMode", 1),
                  lambda: client.StartExposure(1.0, True), lambda: setattr(client, "Connected", False)):
        with pytest.raises(InvalidOperationException, match="while an exposure is in progress"):
            write()
    assert client.Gain == 120
    log.clear_calls()
    client.AbortExposure()
    assert log.calls() == [("ASIStopExposure", (1,))]
    assert (client.CameraState, client.ImageReady, client.PercentCompleted) == (0, False, 0)
    with pytest.raises(InvalidOperationException, match="no image is ready"):
        client.ImageArray
    # The camera is free at once: new geometry and the next exposure, no waiting out the 3 s.
    client.NumX = 128
    client.StartExposure(0.01, True)
    wait_for(lambda: client.ImageReady, "the next image")
    image = client.ImageArray
    assert (len(image), len(image[0])) == (128, 256) and ("ASIStartExposure", (1, 0)) in log.calls()


def test_exposures_aborted_as_soon_as_they_start_leave_the_camera_usable(connected, captured):
    client = connected(0)
    client.NumX, client.NumY = 64, 32
    for _ in range(5):   # the abort may land before, during or after the capture's start
        client.StartExposure(2.0, True)
        client.AbortExposure()
        assert (client.CameraState, client.ImageReady) == (0, False)
    assert captured == []   # no aborted exposure delivered a frame
    expose(client, 0.01)
    assert np.array_equal(np.array(client.ImageArray), captured[-1].data.T)


def test_a_failed_exposure_is_the_error_state_and_imageready_raises_the_sdk_error(connected):
    client = connected(1)
    client.NumX, client.NumY = 64, 64
    simulator.fail_next("ASIStartExposure", 15)
    client.StartExposure(0.01, True)
    wait_for(lambda: client.CameraState != 2 and client.CameraState != 3, "the failure")
    assert client.CameraState == 5
    # Clients waiting on ImageReady learn of the failure there, as ICameraV4 has it.
    for member in ("ImageReady", "PercentCompleted", "ImageArray"):
        failure = pytest.raises(DriverException, getattr, client, member).value
        assert failure.number == 0x500 + 15 and failure.message.startswith("the exposure failed: ASI error code 15.")
    state = {item["Name"]: item["Value"] for item in client.DeviceState}   # what can be read, no error
    assert list(state) == ["CameraState", "CCDTemperature", "CoolerPower", "IsPulseGuiding", "TimeStamp"]
    assert state["CameraState"] == 5
    client.AbortExposure()   # back to idle
    assert (client.CameraState, client.ImageReady, client.PercentCompleted) == (0, False, 0)
    simulator.fail_next("ASIStartExposure", 15)
    client.StartExposure(0.01, True)
    wait_for(lambda: client.CameraState == 5, "the second failure")
    expose(client, 0.01)   # the next exposure clears the failure
    assert (client.CameraState, client.PercentCompleted) == (0, 100)


def test_subframes_outside_the_sensor_are_refused_at_exposure_start(connected, log):
    client = connected(1)
    client.NumX, client.NumY = 100, 51
    expose(client, 0.01)
    assert np.asarray(client.ImageArray).shape == (100, 51)
    log.clear_calls()
    client.NumX, client.NumY = 4144, 2822
    client.StartX = 8
    with pytest.raises(InvalidValueException, match="subframe 4144x2822 at \\(8, 0\\) does not fit the 4144x2822"):
        client.StartExposure(0.01, True)
    assert "ASIStartExposure" not in [c[0] for c in log.calls()] and client.CameraState == 0


def test_pulse_guide_returns_at_once_and_guides_in_the_background(connected, log):
    client = connected(1)
    log.clear_calls()
    client.PulseGuide(3, 0)
    assert client.IsPulseGuiding is False
    client.PulseGuide(0, 300)
    assert client.IsPulseGuiding is True
    client.PulseGuide(2, 100)  # the other axis may guide at the same time
    with pytest.raises(InvalidOperationException, match="a dec guide pulse is already running"):
        client.PulseGuide(1, 100)
    with pytest.raises(InvalidOperationException, match="cannot disconnect while a guide pulse runs"):
        client.Connected = False
    wait_for(lambda: not client.IsPulseGuiding, "the pulses to end")
    guide = [c for c in log.calls() if c[0].startswith("ASIPulseGuide")]
    assert sorted(guide) == sorted([("ASIPulseGuideOn", (1, 0)), ("ASIPulseGuideOff", (1, 0)),
                                    ("ASIPulseGuideOn", (1, 2)), ("ASIPulseGuideOff", (1, 2))])
    assert guide.index(("ASIPulseGuideOn", (1, 0))) < guide.index(("ASIPulseGuideOff", (1, 0)))


def test_cooling_reaches_the_target(connected, log):
    simulator.set_time_scale(200.0)
    client = connected(1)
    log.clear_calls()
    client.SetCCDTemperature = -10.0
    client.CoolerOn = True
    assert {("ASISetControlValue", (1, 16, -10, 0)), ("ASISetControlValue", (1, 17, 1, 0))} <= set(log.calls())
    assert (client.SetCCDTemperature, client.CoolerOn) == (-10.0, True)
    wait_for(lambda: abs(client.CCDTemperature + 10.0) <= 0.5, "the sensor to cool")
    assert 0 < client.CoolerPower <= 100
    client.CoolerOn = False
    assert client.CoolerOn is False


@pytest.mark.parametrize("number, start, binning, after", [
    (0, (0, 0, 1936, 1096, 1), 2, (0, 0, 968, 548)),           # the full frame stays the full frame
    (1, (0, 0, 1381, 940, 3), 2, (0, 0, 2072, 1411)),          # ... also where the sizes do not divide
    (1, (100, 50, 400, 300, 2), 4, (50, 25, 200, 150)),        # a subframe keeps its part of the sensor
    (1, (50, 25, 200, 150, 4), 1, (200, 100, 800, 600)),
])
def test_binning_rescales_the_subframe(connected, number, start, binning, after):
    client = connected(number)
    client.BinX = start[4]
    client.StartX, client.StartY, client.NumX, client.NumY = start[:4]
    client.BinY = binning
    assert (client.BinX, client.StartX, client.StartY, client.NumX, client.NumY) == (binning, *after)


def test_a_new_connection_starts_unbinned_full_frame_in_readout_mode_0(connected):
    client = connected(0)
    client.BinX, client.ReadoutMode = 2, 1
    client.StartX, client.StartY, client.NumX, client.NumY = 8, 4, 64, 32
    client.Connected = False
    client.Connected = True
    assert (client.BinX, client.BinY, client.StartX, client.StartY, client.NumX, client.NumY,
            client.ReadoutMode) == (1, 1, 0, 0, 1936, 1096, 0)


def test_sensor_type_is_colour_when_the_readout_is_already_rgb(connected):
    client = connected(0)
    types = []
    for index in range(3):
        client.ReadoutMode = index
        types.append((client.SensorType, client.BayerOffsetX, client.BayerOffsetY))
    assert types == [(2, 0, 0), (2, 0, 0), (1, 0, 0)]      # RAW16, RAW8, RGB24


def test_a_failed_guide_pulse_is_raised_by_ispulseguiding_until_the_next_pulse(connected):
    client = connected(1)
    simulator.fail_next("ASIPulseGuideOn", 16)
    client.PulseGuide(3, 50)
    with pytest.raises(DriverException) as failure:
        wait_for(lambda: not client.IsPulseGuiding, "the failure")
    assert failure.value.number == 0x500 + 16
    assert failure.value.message.startswith("the west guide pulse failed: ASI error code 16.")
    client.PulseGuide(3, 20)
    wait_for(lambda: not client.IsPulseGuiding, "the pulse")


@pytest.mark.parametrize("pattern, offsets", [("RGGB", (0, 0)), ("GRBG", (1, 0)), ("GBRG", (0, 1)), ("BGGR", (1, 1))])
def test_bayer_offsets_place_the_red_pixel_of_each_pattern(pattern, offsets):
    description = dataclasses.replace(cameras()[0], bayer_pattern=pattern)
    device = CameraDevice(0, description, "test")
    device.connect()
    try:
        assert (device.read("sensortype"), device.read("bayeroffsetx"), device.read("bayeroffsety")) == (2, *offsets)
    finally:
        device.close()
