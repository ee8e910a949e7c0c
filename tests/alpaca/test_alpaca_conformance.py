"""Conformance with the Alpaca API Reference and the OpenAPI description of the device
API, in the spirit of ASCOM's camera conformance checker: parameter casing, transaction
ids, status codes, error numbers, the type of every member's Value, full frames at every
bin compared pixel by pixel with the camera layer, bias frames and the setup pages."""
import http.client
import json
import struct
import time
from html.parser import HTMLParser
from urllib.parse import urlencode

import numpy as np
import pytest

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.alpaca import Server


@pytest.fixture
def server():
    with Server(port=0, discovery=False) as running:
        yield running


def request(server, method, path, params=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        body, headers = None, dict(headers or {})
        if method == "GET" and params:
            path += "?" + urlencode(params)
        elif method != "GET":
            body = urlencode(params or {})
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        conn.request(method, path, body=body, headers=headers)
        response = conn.getresponse()
        return response.status, response.headers, response.read()
    finally:
        conn.close()


def alpaca(server, method, member, params=None, camera=1):
    status, headers, body = request(server, method, f"/api/v1/camera/{camera}/{member}", params)
    assert (status, headers["Content-Type"]) == (200, "application/json"), body
    return json.loads(body)


def connect(server, camera=1):
    assert alpaca(server, "PUT", "connected", {"Connected": "True"}, camera)["ErrorNumber"] == 0


# Every PUT member of ICameraV4 with a well-formed form, as the OpenAPI description names its fields.
PUT_FORMS = {
    "action": {"Action": "x", "Parameters": ""}, "commandblind": {"Command": "x", "Raw": "false"},
    "commandbool": {"Command": "x", "Raw": "false"}, "commandstring": {"Command": "x", "Raw": "false"},
    "connected": {"Connected": "false"}, "binx": {"BinX": "1"}, "biny": {"BinY": "1"},
    "cooleron": {"CoolerOn": "false"}, "fastreadout": {"FastReadout": "false"}, "gain": {"Gain": "100"},
    "numx": {"NumX": "8"}, "numy": {"NumY": "8"}, "offset": {"Offset": "10"}, "readoutmode": {"ReadoutMode": "0"},
    "setccdtemperature": {"SetCCDTemperature": "0"}, "startx": {"StartX": "0"}, "starty": {"StartY": "0"},
    "subexposureduration": {"SubExposureDuration": "1"}, "pulseguide": {"Direction": "0", "Duration": "0"},
    "startexposure": {"Duration": "0.001", "Light": "true"},
}
CASING = [(member, name) for member, form in PUT_FORMS.items() for name in form] + [
    ("gain", "ClientTransactionID"), ("gain", "ClientID")]


@pytest.mark.parametrize("member, name", CASING)
def test_form_names_in_other_casing_are_http_400_on_every_put_member(server, member, name, log):
    connect(server)
    form = {**PUT_FORMS[member], "ClientID": "1", "ClientTransactionID": "2"}
    form[name.lower()] = form.pop(name)
    log.clear_calls()
    status, _, body = request(server, "PUT", f"/api/v1/camera/1/{member}", form)
    assert (status, body.decode()) == (
        400, f"parameter {name.lower()} must be written {name}: form parameter names are case-sensitive")
    assert [c for c in log.calls() if not c[0].startswith("ASIGet")] == []


@pytest.mark.parametrize("value, shown", [
    ("4294967296", "'4294967296'"), ("-5", "'-5'"), ("abc", "'abc'"), ("1.5", "'1.5'"), ("", "''"),
    ("9" * 5000, repr("9" * 40 + "...")),
])
@pytest.mark.parametrize("name", ["ClientTransactionID", "ClientID"])
@pytest.mark.parametrize("method, path", [("GET", "/api/v1/camera/1/name"), ("PUT", "/api/v1/camera/1/gain"),
                                          ("GET", "/management/v1/description")])
def test_ids_that_are_not_unsigned_32_bit_integers_are_http_400(server, method, path, name, value, shown):
    status, _, body = request(server, method, path, {name: value, **({"Gain": "1"} if method == "PUT" else {})})
    assert (status, body.decode()) == (400, f"parameter {name}={shown} is not an unsigned 32-bit integer")


def test_the_extreme_ids_are_echoed(server):
    for tid in (0, 4_294_967_295):
        assert alpaca(server, "GET", "name", {"ClientID": 4_294_967_295, "ClientTransactionID": tid})[
            "ClientTransactionID"] == tid


@pytest.mark.parametrize("method, member, allow", [
    ("GET", "startexposure", "PUT"), ("GET", "abortexposure", "PUT"), ("PUT", "cameraxsize", "GET"),
    ("PUT", "imagearray", "GET"), ("POST", "gain", "GET, PUT"), ("DELETE", "fastreadout", "GET, PUT"),
])
def test_a_method_a_member_does_not_take_is_405_with_its_own_allow(server, method, member, allow):
    status, headers, _ = request(server, method, f"/api/v1/camera/1/{member}")
    assert (status, headers["Allow"]) == (405, allow)


@pytest.mark.parametrize("member, form, missing", [
    ("fastreadout", {}, "FastReadout"), ("subexposureduration", {}, "SubExposureDuration"),
    ("commandblind", {"Command": "x"}, "Raw"), ("action", {"Parameters": ""}, "Action"),
])
def test_a_missing_parameter_is_http_400_before_not_implemented(server, member, form, missing):
    connect(server)
    status, _, body = request(server, "PUT", f"/api/v1/camera/1/{member}", form)
    assert (status, body.decode()) == (400, f"missing parameter {missing}")


# The JSON type of each GET member's Value (OpenAPI: IntResponse, DoubleResponse, ...).
TYPES = {
    int: "bayeroffsetx bayeroffsety binx biny camerastate cameraxsize cameraysize gain gainmax gainmin "
         "interfaceversion maxadu maxbinx maxbiny numx numy offset offsetmax offsetmin percentcompleted "
         "readoutmode sensortype startx starty",
    float: "ccdtemperature coolerpower electronsperadu exposuremax exposuremin exposureresolution "
           "fullwellcapacity heatsinktemperature lastexposureduration pixelsizex pixelsizey setccdtemperature "
           "subexposureduration",
    bool: "canabortexposure canasymmetricbin canfastreadout cangetcoolerpower canpulseguide cansetccdtemperature "
          "canstopexposure connected connecting cooleron fastreadout hasshutter imageready ispulseguiding",
    str: "description driverinfo driverversion lastexposurestarttime name sensorname",
    list: "devicestate gains offsets readoutmodes supportedactions imagearray imagearrayvariant",
}
MEMBER_TYPES = [(member, kind) for kind, names in TYPES.items() for member in names.split()]


@pytest.mark.parametrize("connected", [False, True])
def test_every_value_has_its_members_type_even_in_an_error_reply(server, connected):
    if connected:
        connect(server, 0)   # the colour camera: bayer offsets exist, the cooler members do not
    for member, kind in MEMBER_TYPES:
        reply = alpaca(server, "GET", member, camera=0)
        assert type(reply["Value"]) is kind, (member, reply)
        if member in ("binx", "biny", "maxbinx", "maxbiny"):
            assert reply["Value"] >= 1
    assert alpaca(server, "GET", "sensorname", camera=0)["Value"] == ("IMX462" if connected else "")


def test_put_errors_carry_a_value_only_where_the_member_returns_one(server):
    connect(server)
    replies = {m: alpaca(server, "PUT", m, PUT_FORMS[m]) for m in ("action", "commandbool", "commandstring",
                                                                   "commandblind", "fastreadout")}
    assert {m: (r["ErrorNumber"], r.get("Value")) for m, r in replies.items()} == {
        "action": (0x40C, ""), "commandbool": (0x400, False), "commandstring": (0x400, ""),
        "commandblind": (0x400, None), "fastreadout": (0x400, None)}


def wait_ready(server, camera):
    deadline = time.monotonic() + 30
    while not alpaca(server, "GET", "imageready", camera=camera)["Value"]:
        assert time.monotonic() < deadline, "no image"
        time.sleep(0.02)


def image(server, camera):
    status, headers, body = request(server, "GET", f"/api/v1/camera/{camera}/imagearray",
                                    headers={"Accept": "application/imagebytes"})
    fields = struct.unpack_from("<11i", body)
    assert (status, fields[1]) == (200, 0), body[:200]
    dtype = {6: np.uint8, 8: np.uint16}[fields[6]]
    return np.frombuffer(body, dtype, offset=fields[4]).reshape(fields[8:8 + fields[7]])


# camera -> the subframes (StartX, StartY, NumX, NumY, bin) taken in turn: full frames at every bin, odd ones
SEQUENCES = {index: [(0, 0, w // b, h // b, b) for b in (1, 2, 3, 4)] + [(1, 3, 5, 3, 1), (7, 1, 601, 77, 3)]
             for index, (w, h) in ((0, (1936, 1096)), (1, (4144, 2822)))}


@pytest.mark.parametrize("index", [0, 1])
def test_every_bin_and_odd_subframes_are_the_camera_layers_frames_pixel_for_pixel(index):
    simulator.set_seed(11)
    served = []
    with Server(port=0, discovery=False) as running:
        connect(running, index)
        for x, y, w, h, b in SEQUENCES[index]:
            for name, value in (("BinX", b), ("BinY", b), ("StartX", x), ("StartY", y), ("NumX", w), ("NumY", h)):
                assert alpaca(running, "PUT", name.lower(), {name: value}, index)["ErrorNumber"] == 0
            assert alpaca(running, "PUT", "startexposure", {"Duration": "0.001", "Light": "true"}, index)[
                "ErrorNumber"] == 0
            wait_ready(running, index)
            served.append(image(running, index))
    simulator.reset()   # the same seed and frame count again, for the camera layer
    simulator.set_seed(11)
    with Camera(index) as cam:
        for (x, y, w, h, b), got in zip(SEQUENCES[index], served, strict=True):
            frame = cam.capture_subframe(cam.set_subframe(x, y, w, h, b, "RAW16"), exposure=0.001)
            assert got.shape == (w, h) and np.array_equal(got, frame.data.T), (x, y, w, h, b)


@pytest.mark.parametrize("light, number", [("false", 0), ("true", 0x401)])
def test_a_zero_second_exposure_is_a_bias_frame_when_dark(server, light, number):
    connect(server)
    reply = alpaca(server, "PUT", "startexposure", {"Duration": "0", "Light": light})
    assert reply["ErrorNumber"] == number
    if number == 0:
        wait_ready(server, 1)
        assert alpaca(server, "GET", "lastexposureduration")["Value"] == alpaca(server, "GET", "exposuremin")["Value"]


def test_a_failed_stop_makes_abortexposure_an_error(server):
    connect(server)
    alpaca(server, "PUT", "startexposure", {"Duration": "5", "Light": "true"})
    time.sleep(0.2)
    simulator.fail_next("ASIStopExposure", 5)
    reply = alpaca(server, "PUT", "abortexposure")
    assert reply["ErrorNumber"] == 0x505 and "could not be stopped" in reply["ErrorMessage"]


class Tables(HTMLParser):
    """The th/td pairs and the links of a page."""

    def __init__(self, text):
        super().__init__()
        self.rows, self.links, self._cell, self._key = {}, [], None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        if tag in ("th", "td"):
            self._cell = tag
        if tag == "a":
            self.links.append(dict(attrs)["href"])

    def handle_data(self, data):
        if self._cell == "th":
            self._key = data
        elif self._cell == "td" and self._key is not None:
            self.rows[self._key] = data
            self._key = None
        self._cell = None


def test_setup_pages_show_the_cameras_and_their_settings(server):
    status, headers, body = request(server, "GET", "/setup")
    page = Tables(body.decode())
    assert (status, headers["Content-Type"]) == (200, "text/html; charset=utf-8")
    assert page.links == ["/setup/v1/camera/0/setup", "/setup/v1/camera/1/setup"]
    connect(server)
    alpaca(server, "PUT", "gain", {"Gain": "300"})
    status, _, body = request(server, "GET", "/setup/v1/camera/1/setup")
    rows = Tables(body.decode()).rows
    assert status == 200 and rows["Model"] == simulator.camera_info(1).Name.decode()
    assert {k: rows[k] for k in ("Sensor", "State", "Gain", "Readout mode", "Subframe size")} == {
        "Sensor": "IMX492", "State": "idle", "Gain": "300", "Readout mode": "RAW16", "Subframe size": "4144 x 2822"}
    assert int(rows["Serial"], 16) > 0 and request(server, "GET", "/setup/v1/camera/2/setup")[0] == 404


@pytest.mark.parametrize("gain, mode, bin, expected", [
    (0, 0, 1, 3.92 / 4), (570, 0, 1, 3.92 / 4 / 10**2.85), (0, 1, 1, 3.92 * 64), (570, 1, 2, 3.92 * 64 / 10**2.85 * 4),
])
def test_electrons_per_adu_follows_gain_readout_mode_and_bin(server, gain, mode, bin, expected):
    connect(server)
    for name, value in (("Gain", gain), ("ReadoutMode", mode), ("BinX", bin)):
        assert alpaca(server, "PUT", name.lower(), {name: value})["ErrorNumber"] == 0
    assert alpaca(server, "GET", "electronsperadu")["Value"] == pytest.approx(expected, rel=1e-6)
