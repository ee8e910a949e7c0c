"""The live view's routes through Starlette's test client: the socket's frames and credit,
settings reaching the camera, saves, refusals from other sites, and sharing with Alpaca."""
import json
import time
import types

import numpy as np
import pytest
import simplejpeg
from astropy.io import fits
from starlette.datastructures import Headers
from starlette.testclient import TestClient
from starlette.websockets import WebSocketDisconnect

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca.app import AlpacaApp, ServerInfo
from vorrant.orlicam.server.server import make_devices
from vorrant.orlicam.camera import cameras
from vorrant.orlicam.live import LiveApp

FOREIGN = {"Origin": "http://elsewhere.example"}


@pytest.fixture
def live(tmp_path):
    devices = make_devices(cameras())
    app = AlpacaApp(devices, ServerInfo("test", "test", "0", "")).starlette()
    view = LiveApp(devices, tmp_path)
    app.router.routes.extend(view.routes())
    try:
        with TestClient(app) as client:
            yield types.SimpleNamespace(client=client, app=view, devices=devices, folder=tmp_path)
    finally:
        view.close()
        for device in devices:
            device.close()


def updates(socket, count):
    """The next `count` frame updates (meta and decoded pictures), crediting each."""
    got = []
    while len(got) < count:
        meta = json.loads(socket.receive_text())
        pictures = [simplejpeg.decode_jpeg(socket.receive_bytes()) for _ in range(meta["parts"])]
        socket.send_text(json.dumps({"ack": meta["index"]}))
        if meta["kind"] == "frame":
            got.append((meta, pictures))
    return got


def alpaca(client, method, member, camera=0, **params):
    url = f"/api/v1/camera/{camera}/{member}"
    response = client.get(url, params=params) if method == "GET" else client.put(url, data=params)
    return response.json()


def test_each_update_is_its_figures_then_its_picture(live):
    with live.client.websocket_connect("/live/0/ws") as socket:
        (meta, (view,)), = updates(socket, 1)
    # The colour mosaic debayered to one pixel per 2x2 cell, within the 1280-pixel view.
    assert (meta["width"], meta["height"], meta["format"]) == (1936, 1096, "RAW16")   # as the camera opens
    assert view.shape == (548, 968, 3) and meta["view"] == [968, 548]
    assert len(meta["histogram"]) == 256 and sum(meta["histogram"]) == 1936 * 1096


def test_a_slow_viewer_skips_frames_and_nothing_queues(live):
    live.client.put("/live/0/settings", json={"exposure": 0.005})
    with live.client.websocket_connect("/live/0/ws") as socket:
        (first, _), = updates(socket, 1)
        meta = json.loads(socket.receive_text())   # sent, but not credited yet
        socket.receive_bytes()
        time.sleep(1.0)                              # the camera goes on meanwhile
        feed = live.app.feeds[0]
        assert feed.latest.frame.index > meta["index"] + 5
        socket.send_text("{}")
        (after, _), = updates(socket, 1)
    # The next picture is the newest, not the one after the last sent.
    assert after["index"] > meta["index"] + 5
    assert live.client.get("/live/0/stats").json()["dropped"] >= after["index"] - meta["index"] - 1


def test_settings_reach_the_camera_and_answer_what_it_took(live):
    answer = live.client.put("/live/1/settings", json={"exposure": 0.02, "gain": 150, "offset": 12,
                                                       "bin": 2, "format": "RAW16"})
    assert answer.status_code == 200, answer.text
    camera = live.app.feeds[1].camera
    assert (camera.exposure, camera.gain, camera.offset) == (0.02, 150, 12)
    assert camera.roi.bin == 2 and camera.roi.image_format == "RAW16" and camera.roi.width == 2072
    assert answer.json() == {"exposure": 0.02, "gain": 150, "offset": 12, "bin": 2,
                             "roi": [2072, 1410, 0, 0], "format": "RAW16"}
    figures = live.client.get("/live/1/stats").json()
    assert {"hfr", "fwhm", "stars", "fps", "dropped", "mean", "median", "saturated", "histogram"} <= set(figures)
    live.client.put("/live/1/settings", json={"roi": [640, 480, 100, 60]})
    assert live.client.put("/live/1/settings", json={"roi": "full"}).json()["roi"] == [2072, 1410, 0, 0]


def test_the_frame_rate_after_a_change_of_exposure_is_the_new_one(live):
    live.client.put("/live/0/settings", json={"exposure": 0.002, "roi": [320, 240, 0, 0]})
    while live.client.get("/live/0/stats").json()["index"] < 30:
        time.sleep(0.1)
    live.client.put("/live/0/settings", json={"exposure": 1.0})   # single exposures, one a second
    while (first := live.client.get("/live/0/stats").json())["exposure"] != 1.0:
        time.sleep(0.2)
    while (figures := live.client.get("/live/0/stats").json())["index"] == first["index"]:
        time.sleep(0.2)
    assert 0 < figures["fps"] <= 1.0


def test_new_settings_end_a_long_single_exposure_instead_of_waiting_for_it(live):
    assert live.client.put("/live/0/settings", json={"exposure": 60.0}).status_code == 200
    time.sleep(1.0)                                # the minute has begun
    answer = live.client.put("/live/0/settings", json={"exposure": 0.01})   # within the request's 30 s
    assert answer.status_code == 200 and answer.json()["exposure"] == 0.01
    assert live.client.get("/live/0/stats").json()["exposure"] == 0.01


def test_given_a_focal_length_the_figures_come_in_arcseconds_too(live):
    assert live.client.get("/live/1/stats").json()["hfr_arcsec"] is None
    live.client.put("/live/1/settings", json={"focal_length": 800, "bin": 2, "exposure": 0.3, "format": "RAW16"})
    while (figures := live.client.get("/live/1/stats").json())["bin"] != 2 or figures["hfr"] is None:
        time.sleep(0.2)
    scale = 206.264806 * 4.63 * 2 / 800          # arcseconds per binned pixel of the ASI294MM
    assert figures["pixel_scale"] == pytest.approx(scale, abs=1e-4)
    assert figures["hfr_arcsec"] == pytest.approx(figures["hfr"] * scale, abs=2e-3)


@pytest.mark.parametrize("body, status, message", [
    ({"gain": 5000}, 409, "gain"),
    ({"bin": 7}, 409, "bin"),
    ({"gain": "high"}, 400, "gain must be a number"),
    ({"roi": [10, 10]}, 400, "roi must be [width, height, x, y]"),
    ({"shutter": 1}, 400, "unknown setting(s): shutter"),
    ({"focal_length": -5}, 400, "focal_length must be in mm"),
    ([1, 2], 400, "JSON object"),
])
def test_bad_settings_are_refused_with_the_reason(live, body, status, message):
    answer = live.client.put("/live/0/settings", json=body)
    assert answer.status_code == status and message in answer.text


def test_save_writes_a_new_fits_file_each_time(live):
    live.client.put("/live/1/settings", json={"exposure": 0.01, "roi": [640, 480, 100, 60], "format": "RAW16"})
    names = [live.client.post("/live/1/save").json()["saved"] for _ in range(2)]
    assert len(set(names)) == 2
    for name in names:
        with fits.open(live.folder / name) as hdul:
            assert hdul[0].data.shape == (480, 640) and hdul[0].header["XORGSUBF"] == 100


def test_record_writes_a_ser_file_until_stopped(live):
    started = live.client.post("/live/0/record", json={"recording": True}).json()
    time.sleep(0.5)
    stopped = live.client.post("/live/0/record", json={"recording": False}).json()
    assert stopped["file"] == started["recording"] and stopped["recorded"] > 0
    data = (live.folder / stopped["file"]).read_bytes()
    assert data[:14] == b"LUCAM-RECORDER" and int.from_bytes(data[38:42], "little") == stopped["recorded"]


@pytest.mark.parametrize("method, path, kwargs", [
    ("PUT", "/live/0/settings", {"json": {"gain": 10}}),
    ("POST", "/live/0/save", {}),
    ("POST", "/live/0/record", {"json": {"recording": True}}),
    ("GET", "/live/0/stats", {}),     # it would start the camera
])
def test_requests_from_another_site_are_refused(live, log, method, path, kwargs):
    said = ("refused: the request comes from another site: the page's Origin 'http://elsewhere.example' is neither the "
            "Host it asked ('testserver') nor a name given with --allow-host")
    answer = live.client.request(method, path, headers=FOREIGN, **kwargs)
    assert (answer.status_code, answer.text) == (403, said)
    assert not [c for c in simulator.calls() if c[0] == "ASIOpenCamera"]
    with pytest.raises(WebSocketDisconnect) as refused, live.client.websocket_connect("/live/0/ws", headers=FOREIGN):
        pass
    assert (refused.value.status_code, refused.value.text) == (403, said)


@pytest.mark.parametrize("host, taken", [("127.0.0.1:11111", True), ("localhost", True), ("[::1]:8000", True),
                                         ("attacker.example:11111", False)])
def test_a_loopback_server_takes_changes_only_for_its_own_names(host, taken):
    from vorrant.orlicam.live.app import same_origin

    headers = Headers({"host": host, "origin": f"http://{host}"})
    assert same_origin(headers, local_only=True) is taken
    assert same_origin(headers, local_only=False) is True


@pytest.mark.parametrize("path, status", [
    ("/live/static/live.js", 200), ("/live/static/../app.py", 404), ("/live/static/%2e%2e/app.py", 404),
    ("/live/9", 404), ("/live/x/stats", 404),
])
def test_only_the_static_folder_and_known_cameras_are_served(live, path, status):
    assert live.client.get(path).status_code == status


def test_pages_forbid_foreign_scripts_and_list_the_cameras(live):
    index = live.client.get("/")
    assert "default-src 'self'" in index.headers["content-security-policy"]
    assert 'href="/live/1">ZWO ASI294MM Pro GPS Simulator</a>' in index.text
    assert '<a href="/live/1">' in live.client.get("/setup/v1/camera/1/setup").text


def test_alpaca_cannot_change_the_frame_while_the_live_view_has_the_camera(live):
    with live.client.websocket_connect("/live/0/ws") as socket:
        updates(socket, 1)
        for member, params in (("startexposure", {"Duration": 0.1, "Light": True}), ("gain", {"Gain": 10})):
            answer = alpaca(live.client, "PUT", member, **params)
            assert answer["ErrorNumber"] == 0x40B and "live view" in answer["ErrorMessage"]
        assert alpaca(live.client, "GET", "connected")["Value"] is True


def test_the_live_view_pauses_while_an_alpaca_exposure_runs(live):
    alpaca(live.client, "PUT", "connected", Connected=True)
    assert alpaca(live.client, "PUT", "startexposure", Duration=1.5, Light=True)["ErrorNumber"] == 0
    with live.client.websocket_connect("/live/0/ws") as socket:
        paused = json.loads(socket.receive_text())
        socket.send_text("{}")
        assert paused["status"] == "paused" and "exposure for an Alpaca client" in paused["message"]
        (meta, _), = updates(socket, 1)   # the exposure over, the live view takes the camera
    assert alpaca(live.client, "GET", "imageready")["Value"] is True


def test_a_server_without_the_live_view_serves_no_pages():
    import httpx

    from vorrant.orlicam.alpaca import Server

    with Server(port=0, discovery=False, live=False) as server:
        assert [httpx.get(server.url + path).status_code for path in ("/", "/live/0", "/live/static/live.js")] == [404] * 3
        assert httpx.get(server.url + "/management/apiversions").json()["Value"] == [1]
        setup = httpx.get(server.url + "/setup/v1/camera/0/setup")
        assert setup.status_code == 200 and "/live/" not in setup.text   # no link to a page that is not there
