"""The live page in a real browser: Debian's chromium, headless, driven by Playwright,
against a server started here on a free loopback port."""
import os
import re
import shutil
import time

import httpx
import pytest
from astropy.io import fits

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca import Server

playwright = pytest.importorskip("playwright.sync_api")
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"


@pytest.fixture(scope="module")
def browser():
    if not shutil.which(CHROMIUM):
        pytest.skip("chromium is not installed (scripts/ensure-system-deps installs it)")
    # Under `make sanitize` the sanitizer runtimes are preloaded into this process; the
    # browser and Playwright's driver are started without them.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        driver = playwright.sync_playwright().start()
        launched = driver.chromium.launch(executable_path=CHROMIUM, headless=True, args=[
            "--no-sandbox", "--host-resolver-rules=MAP scope.example 127.0.0.1, MAP camera.localhost 127.0.0.1"])
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    yield launched
    launched.close()
    driver.stop()


@pytest.fixture
def server(tmp_path):
    with Server(port=0, discovery=False, live_folder=tmp_path) as running:
        yield running


@pytest.fixture
def page(browser, server):
    """The page of camera 0, with every console error and every request it made."""
    context = browser.new_context(viewport={"width": 1400, "height": 1000})
    opened = context.new_page()
    opened.errors, opened.requests = [], []
    opened.on("console", lambda m: opened.errors.append(m.text) if m.type == "error" else None)
    opened.on("pageerror", lambda e: opened.errors.append(str(e)))
    opened.on("request", lambda r: opened.requests.append(r.url))
    yield opened
    context.close()


def until(check, timeout=30.0, what="the condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        assert time.monotonic() < deadline, f"{what} did not happen in {timeout} s"
        time.sleep(0.1)


def number(page, selector):
    text = page.text_content(selector)
    return None if text in ("–", "") else float(text)


def test_the_page_streams_pictures_with_figures_and_no_errors(page, server):
    page.goto(f"{server.url}/live/0")
    until(lambda: number(page, "#frame") is not None, what="a first frame")
    first_frame, first_picture = number(page, "#frame"), page.locator("#view").screenshot()
    until(lambda: number(page, "#frame") > first_frame + 3, what="three more frames")
    assert page.locator("#view").screenshot() != first_picture       # the noise differs frame to frame
    assert number(page, "#stars") > 0 and number(page, "#hfr") > 0 and number(page, "#fwhm") > 0
    drawn = "(id) => document.getElementById(id).getContext('2d').getImageData(0, 0, 300, 110).data.some((v) => v > 0)"
    assert page.evaluate(drawn, "histogram")   # not blank
    page.fill("#focal", "500")
    page.press("#focal", "Tab")
    read = "() => [document.getElementById('hfr').textContent, document.getElementById('hfr-arcsec').textContent]"
    pixels, arcsec = until(lambda: (both := page.evaluate(read))[1] and both, what="HFR in arcseconds")   # one frame's
    assert float(arcsec.removesuffix("″")) == pytest.approx(float(pixels) * 206.265 * 2.9 / 500, rel=0.01)   # 2.9 µm
    assert page.errors == []
    assert all(url.startswith((server.url, server.url.replace("http", "ws"))) for url in page.requests), page.requests


def test_exposure_and_gain_set_in_the_page_reach_the_camera(page, server):
    page.goto(f"{server.url}/live/0")
    until(lambda: number(page, "#frame") is not None, what="a first frame")
    page.fill("#exposure", "0.04")
    page.fill("#gain", "222")
    page.click("#apply")
    until(lambda: "applied" in page.text_content("#message"), what="the settings")
    camera = server.live.feeds[0].camera
    assert (camera.exposure, camera.gain) == (0.04, 222)
    # The form shows what the frames carry once the change is through.
    until(lambda: page.input_value("#gain") == "222" and page.input_value("#exposure") == "0.04",
          what="the frames' settings")
    for region, size in (("320x240+16+8", (320, 240)), ("full", (1936, 1096))):   # and back to the whole sensor
        page.fill("#roi", region)
        page.click("#apply")
        until(lambda: (camera.roi.width, camera.roi.height) == size, what=f"the region {region}")
        until(lambda: page.text_content("#size").startswith(f"{size[0]}×{size[1]}"), what="a frame of that size")
    assert page.errors == []


@pytest.mark.parametrize("name, allowed", [("scope.example", ["scope.example"]), ("camera.localhost", [])])
def test_the_page_streams_and_controls_the_camera_under_a_name_the_server_answers_to(browser, tmp_path, name, allowed):
    with Server(port=0, discovery=False, live_folder=tmp_path, allowed_hosts=allowed) as server:
        context = browser.new_context()
        page = context.new_page()
        page.goto(f"http://{name}:{server.port}/live/0")
        until(lambda: number(page, "#frame") is not None, what="a first frame")
        page.fill("#gain", "123")
        page.click("#apply")
        until(lambda: "applied" in page.text_content("#message"), what="the settings")
        assert server.live.feeds[0].camera.gain == 123
        context.close()


def test_hfr_in_focus_is_clearly_below_hfr_out_of_focus_in_page_and_stats(page, server):
    stats = f"{server.url}/live/1/stats"
    httpx.put(f"{server.url}/live/1/settings", timeout=30,
              json={"exposure": 0.3, "gain": 100, "roi": [1024, 1024, 1000, 800], "format": "RAW16"})
    page.goto(f"{server.url}/live/1")
    measured = {}
    for fwhm in (0, 6):
        simulator.set_defocus(1, fwhm)
        # Frames exposed before the change may still be queued, read or being drawn.
        since = server.live.feeds[1].pump.index + 3
        figures = until(lambda: (f := httpx.get(stats, timeout=30).json())["focus_index"] > since and f,
                        what=f"figures with defocus {fwhm}")
        shown = until(lambda: number(page, "#frame") > figures["index"] and number(page, "#hfr"))
        measured[fwhm] = (figures["hfr"], shown)
    assert measured[6][0] > 1.5 * measured[0][0] and measured[6][1] > 1.5 * measured[0][1], measured
    assert page.errors == []


def test_the_page_says_what_it_is_doing(page, server):
    page.goto(f"{server.url}/live/1")
    assert page.is_visible("#overlay") and page.text_content("#overlay").startswith("Waiting for the first frame")
    until(lambda: number(page, "#frame") is not None, what="a first frame")
    assert number(page, "#fps") > 0 and not page.is_visible("#overlay")      # a rate from the first frame on
    assert server.live.feeds[1].camera.exposure == 0.5                       # a preview that shows stars
    assert not page.is_visible("#zoom-box")
    page.click("#view")
    until(lambda: page.is_visible("#zoom-box") and server.live.feeds[1].latest.frame.meta["zoom"], what="the zoom")
    read = "() => [document.getElementById('frame').textContent, document.getElementById('trend-text').textContent]"
    frame, trend = until(lambda: "least" in (both := page.evaluate(read))[1] and both, what="the HFR trend")
    history = httpx.get(f"{server.url}/live/1/stats", timeout=30).json()["history"]   # the page's, and newer
    least = min(h["hfr"] for h in history if h["hfr"] is not None and h["index"] <= int(frame))
    assert f"least {least:.2f} px" in trend
    for exposure, shown in ((0.0001, r"No focus figures: (no stars found|\d star\(s\) measurable, 3 needed)"),
                            (1.5, r"exposing \d\.\d of 1\.5 s")):
        page.fill("#exposure", str(exposure))
        page.click("#apply")
        until(lambda: re.search(shown, page.text_content("#focus-reason") + page.text_content("#status")),
              what=f"the page's words at {exposure} s")
    assert page.errors == []


def test_the_save_button_writes_a_fits_file(page, server, tmp_path):
    page.goto(f"{server.url}/live/0")
    until(lambda: number(page, "#frame") is not None, what="a first frame")
    page.click("#save")
    message = until(lambda: (t := page.text_content("#message")).startswith("saved ") and t, what="the save")
    with fits.open(tmp_path / message.removeprefix("saved ")) as hdul:
        assert hdul[0].data.shape == (1096, 1936) and hdul[0].header["BAYERPAT"] == "RGGB"


def test_the_stack_switch_stacks_resets_and_saves(page, server, tmp_path):
    simulator.set_drift(1, 3.0, -2.0)   # the field moves: frames are aligned before they add up
    httpx.put(f"{server.url}/live/1/settings", timeout=30, json={"exposure": 0.3, "bin": 2, "format": "RAW16"})
    page.goto(f"{server.url}/live/1")
    until(lambda: number(page, "#frame") is not None, what="a first frame")
    assert page.is_disabled("#stack-save")
    page.check("#stack")
    until(lambda: (number(page, "#stack-frames") or 0) >= 3, what="three stacked frames")
    stats = httpx.get(f"{server.url}/live/1/stats", timeout=30).json()["stack"]
    assert stats["frames"] >= 3 and stats["rejected"] == 0
    page.click("#stack-save")
    message = until(lambda: (t := page.text_content("#message")).startswith("saved ") and t, what="the save")
    with fits.open(tmp_path / message.removeprefix("saved ").split(" (")[0]) as hdul:
        assert hdul[0].header["NCOMBINE"] >= 3 and hdul[0].header["BITPIX"] == -32
        assert hdul[0].data.shape == (1410, 2072)
    page.click("#stack-reset")
    until(lambda: number(page, "#stack-frames") is not None and number(page, "#stack-frames") < stats["frames"],
          what="a fresh stack")
    page.uncheck("#stack")
    until(lambda: httpx.get(f"{server.url}/live/1/stats", timeout=30).json()["stack"] is None, what="the stack off")
    assert page.errors == []


def test_a_lost_camera_is_said_and_its_frames_come_back_by_themselves(page, server):
    page.goto(f"{server.url}/live/0")
    until(lambda: number(page, "#frame") is not None, what="a first frame")
    simulator.set_faults("unplug camera=0 at=0 for=3")
    until(lambda: page.text_content("#status") == "camera lost, waiting for it", what="the loss said")
    lost_at = number(page, "#frame")
    until(lambda: (number(page, "#frame") or 0) > lost_at + 1, timeout=3 + 5 + 2, what="frames after the return")
    assert page.text_content("#status").startswith("live")
