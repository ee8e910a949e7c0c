"""Takes docs/live-view.png, the README's picture of the live page: the large simulated
camera, a slightly defocused star field, a 1:1 zoom on a star. Needs chromium and Playwright.

    .venv/bin/python scripts/live-screenshot.py
"""
import sys
import tempfile
import time
from pathlib import Path

import httpx
from playwright.sync_api import sync_playwright

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca import Server

OUT = Path(__file__).resolve().parents[1] / "docs" / "live-view.png"


def main() -> None:
    simulator.set_defocus(1, 2.0)
    with tempfile.TemporaryDirectory() as folder, Server(port=0, discovery=False, live_folder=folder) as server:
        httpx.put(f"{server.url}/live/1/settings", timeout=60,
                  json={"exposure": 0.8, "gain": 250, "format": "RAW16", "bin": 1})
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"], headless=True)
            page = browser.new_page(viewport={"width": 1500, "height": 1000})
            page.goto(f"{server.url}/live/1")
            page.fill("#focal", "800")
            page.dispatch_event("#focal", "change")
            page.click("#view", position={"x": 380, "y": 300})
            time.sleep(8)   # a trend of HFR figures, and the zoom
            page.locator("header").scroll_into_view_if_needed()
            page.screenshot(path=str(OUT))
            browser.close()
    print(OUT, file=sys.stderr)


if __name__ == "__main__":
    main()
