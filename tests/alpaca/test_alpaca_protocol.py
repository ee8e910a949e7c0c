"""The Alpaca protocol as raw HTTP sees it: envelopes, transaction ids, parameter
handling, and which failures are HTTP 400 and which are Alpaca error numbers."""
import http.client
import json
from urllib.parse import urlencode

import pytest

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca import Server

from camera_support import NAME1


@pytest.fixture
def server():
    with Server(port=0, discovery=False) as running:
        yield running


def request(server, method, path, params=None, headers=None, body=None):
    """(status, content type, body bytes) of one request on a fresh connection."""
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        headers = dict(headers or {})
        if method == "GET" and params:
            path += "?" + urlencode(params)
        elif method == "PUT" and body is None:
            body = urlencode(params or {})
            headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
        conn.request(method, path, body=body, headers=headers)
        response = conn.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        conn.close()


def alpaca(server, method, member, params=None, camera=1):
    status, kind, body = request(server, method, f"/api/v1/camera/{camera}/{member}", params)
    assert (status, kind) == (200, "application/json"), body
    return json.loads(body)


def connect(server, camera=1):
    assert alpaca(server, "PUT", "connected", {"Connected": "True"}, camera)["ErrorNumber"] == 0


def test_management_api(server):
    def get(path):
        status, _, body = request(server, "GET", path, {"ClientTransactionID": 7})
        reply = json.loads(body)
        assert (status, reply["ClientTransactionID"], reply["ErrorNumber"]) == (200, 7, 0)
        return reply["Value"]

    assert get("/management/apiversions") == [1]
    description = get("/management/v1/description")
    assert set(description) == {"ServerName", "Manufacturer", "ManufacturerVersion", "Location"}
    assert description["ManufacturerVersion"] == "0.1.0"
    devices = get("/management/v1/configureddevices")
    assert [(d["DeviceName"], d["DeviceType"], d["DeviceNumber"]) for d in devices] == [
        ("ZWO ASI462MC Simulator", "Camera", 0), ("ZWO ASI294MM Pro GPS Simulator", "Camera", 1)]
    assert len({d["UniqueID"] for d in devices}) == 2


def test_unique_ids_survive_a_restart_and_follow_the_serial():
    def ids():
        with Server(port=0, discovery=False) as other:
            status, _, body = request(other, "GET", "/management/v1/configureddevices")
            return [d["UniqueID"] for d in json.loads(body)["Value"]]

    first = ids()
    assert ids() == first
    simulator.force_outputs("ASIGetSerialNumber", id=b"\x01\x02\x03\x04\x05\x06\x07\x08")
    other_serial = ids()
    assert other_serial[0] != first[0] and other_serial[1] == first[1]


@pytest.mark.parametrize("path", ["/management/apiversions", "/management/v1/description",
                                  "/management/v1/configureddevices"])
def test_a_repeated_parameter_on_the_management_api_is_http_400(server, path):
    status, kind, body = request(server, "GET", path + "?ClientTransactionID=5&clienttransactionid=6")
    assert (status, kind.split(";")[0], body) == (400, "text/plain", b"parameter clienttransactionid given more than once")


def test_envelope_echoes_the_client_transaction_and_counts_the_server_ones(server):
    replies = [alpaca(server, "GET", "name", {"ClientID": 3, "ClientTransactionID": n}) for n in (5, 6, 4_294_967_295)]
    assert [r["ClientTransactionID"] for r in replies] == [5, 6, 4_294_967_295]
    server_ids = [r["ServerTransactionID"] for r in replies]
    assert server_ids == sorted(server_ids) and len(set(server_ids)) == 3
    assert replies[0] == {"Value": "ZWO ASI294MM Pro GPS Simulator", "ErrorNumber": 0, "ErrorMessage": "",
                          "ClientTransactionID": 5, "ServerTransactionID": server_ids[0]}


def test_a_missing_client_transaction_id_reads_as_zero(server):
    assert alpaca(server, "GET", "name")["ClientTransactionID"] == 0


def test_query_names_ignore_case_and_form_names_do_not(server):
    assert alpaca(server, "GET", "name", {"clienttransactionid": 9})["ClientTransactionID"] == 9
    reply = alpaca(server, "PUT", "connected", {"Connected": "true", "ClientTransactionID": 12})
    assert (reply["ErrorNumber"], reply["ClientTransactionID"], "Value" in reply) == (0, 12, False)
    status, _, body = request(server, "PUT", "/api/v1/camera/1/gain", {"gAiN": "200"})
    assert (status, body) == (400, b"parameter gAiN must be written Gain: form parameter names are case-sensitive")
    assert alpaca(server, "GET", "gain")["Value"] != 200


@pytest.mark.parametrize("method, path, params, message", [
    ("GET", "/api/v1/camera/2/name", {}, "no camera with device number '2'; there are 2"),
    ("GET", "/api/v1/camera/x/name", {}, "no camera with device number 'x'; there are 2"),
    ("GET", "/api/v1/camera/%C2%B2/name", {}, "no camera with device number '²'; there are 2"),
    ("GET", "/api/v1/telescope/0/name", {}, "no such device type 'telescope': this server has cameras only"),
    ("GET", "/api/v1/camera/0/Name", {}, "unknown member 'Name' (members are lower case)"),
    ("GET", "/api/v1/camera/0/focus", {}, "unknown member 'focus' (members are lower case)"),
    ("PUT", "/api/v1/camera/0/connected", {}, "missing parameter Connected"),
    ("PUT", "/api/v1/camera/0/connected", {"Connected": "yes"}, "parameter Connected='yes' is not True or False"),
    ("PUT", "/api/v1/camera/0/binx", {"BinX": "2.0"}, "parameter BinX='2.0' is not a 32-bit integer"),
    ("PUT", "/api/v1/camera/0/binx", {"BinX": "4294967297"}, "parameter BinX='4294967297' is not a 32-bit integer"),
    ("PUT", "/api/v1/camera/0/startexposure", {"Duration": "nan", "Light": "true"},
     "parameter Duration='nan' is not a number"),
    ("PUT", "/api/v1/camera/0/startexposure", {"Duration": "1"}, "missing parameter Light"),
    ("PUT", "/api/v1/camera/0/gain", [("Gain", "1"), ("GAIN", "2")], "parameter GAIN given more than once"),
])
def test_malformed_requests_are_http_400_with_a_message(server, method, path, params, message):
    if method == "PUT":
        connect(server, 0)
    status, kind, reply = request(server, method, path, params)
    assert (status, kind.split(";")[0], reply.decode()) == (400, "text/plain", message)


@pytest.mark.parametrize("headers, body, message", [
    ({"Content-Type": "application/x-www-form-urlencoded"}, b"Gain=1&" + b"x" * 20000,
     "request body larger than 16384 bytes"),
    ({"Content-Type": "multipart/form-data; boundary=b"}, b"--b\r\n\r\n--b--\r\n",
     "PUT parameters must be sent as application/x-www-form-urlencoded"),
    ({"Content-Type": "application/x-www-form-urlencoded"}, b"Gain=\xff", "the form body is not UTF-8 text"),
    ({"Content-Type": "application/x-www-form-urlencoded"}, "&".join(f"p{i}=1" for i in range(40)).encode(),
     "more than 32 parameters"),
])
def test_oversized_and_foreign_bodies_are_refused(server, headers, body, message, log):
    connect(server)
    log.clear_calls()
    status, _, reply = request(server, "PUT", "/api/v1/camera/1/gain", headers=headers, body=body)
    assert (status, reply.decode()) == (400, message)
    assert log.calls() == []


def test_a_chunked_body_past_the_limit_is_refused(server):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    conn.request("PUT", "/api/v1/camera/1/gain", body=iter([b"Gain=1&", b"y" * 9000, b"z" * 9000]),
                 headers={"Content-Type": "application/x-www-form-urlencoded"}, encode_chunked=True)
    response = conn.getresponse()
    assert (response.status, response.read()) == (400, b"request body larger than 16384 bytes")
    conn.close()


@pytest.mark.parametrize("method, member, params", [
    *[("GET", member, {}) for member in ("cameraxsize", "sensortype", "binx", "gain", "camerastate", "ccdtemperature",
                                         "imageready", "devicestate", "lastexposureduration", "canpulseguide")],
    ("PUT", "gain", {"Gain": 100}), ("PUT", "binx", {"BinX": 2}), ("PUT", "cooleron", {"CoolerOn": "true"}),
    ("PUT", "startexposure", {"Duration": 1, "Light": "true"}), ("PUT", "pulseguide", {"Direction": 0, "Duration": 10}),
])
def test_use_while_disconnected_is_error_0x407_and_reaches_no_camera(server, log, method, member, params):
    log.clear_calls()
    reply = alpaca(server, method, member, params)
    assert (reply["ErrorNumber"], reply["ErrorMessage"]) == (0x407, "camera 1 is not connected")
    assert log.calls() == []


@pytest.mark.parametrize("member, reads", [
    ("name", "ZWO ASI294MM Pro GPS Simulator"), ("interfaceversion", 4), ("supportedactions", []),
    ("connected", False), ("connecting", False), ("driverversion", "0.1"),
])
def test_identity_members_answer_while_disconnected(server, member, reads):
    assert alpaca(server, "GET", member)["Value"] == reads


@pytest.mark.parametrize("method, member, params, number", [
    ("GET", "gains", {}, 0x400), ("GET", "offsets", {}, 0x400), ("GET", "heatsinktemperature", {}, 0x400),
    ("PUT", "stopexposure", {}, 0x400), ("PUT", "commandblind", {"Command": "x", "Raw": "true"}, 0x400),
    ("PUT", "action", {"Action": "reboot", "Parameters": ""}, 0x40C),
    ("GET", "lastexposureduration", {}, 0x402), ("GET", "lastexposurestarttime", {}, 0x402),
    ("GET", "imagearray", {}, 0x40B),
])
def test_unsupported_and_unset_members_have_their_error_numbers(server, method, member, params, number):
    connect(server)
    reply = alpaca(server, method, member, params)
    assert reply["ErrorNumber"] == number and reply["ErrorMessage"]


@pytest.mark.parametrize("member, params, message", [
    ("binx", {"BinX": 5}, "binning 5 is not supported; the camera bins [1, 2, 3, 4]"),
    ("readoutmode", {"ReadoutMode": 2}, "readout mode 2 does not exist; modes are 0 to 1"),
    ("numx", {"NumX": 0}, "NumX must be at least 1, not 0"),
    ("startx", {"StartX": -8}, "StartX must be at least 0, not -8"),
    ("startexposure", {"Duration": -1, "Light": "true"}, "Duration -1.0 s is outside the camera's range 3.2e-05 to 2000.0 s"),
    ("pulseguide", {"Direction": 4, "Duration": 10}, "Direction must be 0 to 3, not 4"),
    ("pulseguide", {"Direction": 0, "Duration": -5}, "Duration must be 0 to 60000 ms, not -5"),
    ("gain", {"Gain": 571}, f"gain must be between 0 and 570 on {NAME1}, got 571"),
    ("gain", {"Gain": -1}, f"gain must be between 0 and 570 on {NAME1}, got -1"),
    ("offset", {"Offset": 251}, f"offset must be between 0 and 250 on {NAME1}, got 251"),
    ("setccdtemperature", {"SetCCDTemperature": -60.0},
     f"target_temperature must be between -40 °C and 30 °C on {NAME1}, got -60 °C"),
])
def test_invalid_values_are_error_0x401_before_the_sdk(server, member, params, message, log):
    connect(server)
    log.clear_calls()
    reply = alpaca(server, "PUT", member, params)
    assert (reply["ErrorNumber"], reply["ErrorMessage"]) == (0x401, message)
    assert [c for c in log.calls() if not c[0].startswith("ASIGet")] == []


def test_sdk_failures_are_0x500_plus_the_code_with_the_sdk_message(server, log):
    connect(server)
    simulator.fail_next("ASIGetControlValue", 11)   # (code 5, the camera removed, is NotConnected)
    reply = alpaca(server, "GET", "gain")
    assert reply["ErrorNumber"] == 0x50B and reply["ErrorMessage"].startswith("ASI error code 11.")
