"""The live view: what an open page costs the camera's stream, how many previews reach a
browser, and how soon a frame's figures are in /stats.

1. Stream rate: frames per second that the live view's pump reads with a page open in
   headless chromium, against a plain `cam.stream(copy=False)` loop over the same settings
   with nobody looking; alternating rounds, medians. Goal: ratio at least 0.9.
2. Previews delivered: frames sent to the page (each sent only after the page has drawn
   the last) per second, at 1920x1080 and at the full 4144x2822.
3. Frame to figures at full frame, 1 s exposures: the live view's own latency figure (the
   frame's arrival to its figures being ready, focus included) plus a /stats round trip.
   Goal: under the 1 s frame interval.

Needs chromium (scripts/ensure-system-deps) and Playwright (the test extra). Run with
`make bench` or `.venv/bin/python bench/live.py`. Timings are printed, never asserted.
"""
import statistics
import tempfile
import time

import httpx
from playwright.sync_api import sync_playwright

from vorrant.orlicam import Camera
from vorrant.orlicam.alpaca import Server

ROUNDS = 3
SECONDS = 4.0
WARM_UP = 2.0
# (label, camera, width, height, format, exposure)
SETTINGS = [
    ("1920x1080 RAW8, 1 ms", 0, 1920, 1080, "RAW8", 0.001),
    ("4144x2822 RAW16, 1 ms", 1, 4144, 2822, "RAW16", 0.001),
]


def plain_rate(camera, width, height, fmt, exposure):
    with Camera(camera) as cam:
        cam.set_roi(width, height, image_format=fmt)
        with cam.stream(exposure, copy=False) as frames:
            start = time.monotonic()
            for count, _ in enumerate(frames):
                if count == 0:
                    start = time.monotonic()
                elif time.monotonic() - start >= SECONDS:
                    return count / (time.monotonic() - start)
    return 0.0


def live_rate(browser, camera, width, height, fmt, exposure):
    """(camera frames per second read by the pump, previews per second sent to the page)."""
    with tempfile.TemporaryDirectory() as folder, Server(port=0, discovery=False, live_folder=folder) as server:
        httpx.put(f"{server.url}/live/{camera}/settings", timeout=60,
                  json={"exposure": exposure, "roi": [width, height, 0, 0], "format": fmt})
        page = browser.new_page()
        page.goto(f"{server.url}/live/{camera}")
        time.sleep(WARM_UP)
        feed = server.live.feeds[camera]
        read0, sent0, t0 = feed.pump.index, feed.latest.sent, time.monotonic()
        time.sleep(SECONDS)
        read1, sent1, t1 = feed.pump.index, feed.latest.sent, time.monotonic()
        page.close()
    return (read1 - read0) / (t1 - t0), (sent1 - sent0) / (t1 - t0)


def figures_latency(browser):
    """Medians of the live view's latency and of a /stats round trip, full frame, 1 s exposures."""
    with tempfile.TemporaryDirectory() as folder, Server(port=0, discovery=False, live_folder=folder) as server:
        stats = f"{server.url}/live/1/stats"
        httpx.put(f"{server.url}/live/1/settings", timeout=60, json={"exposure": 1.0, "format": "RAW16"})
        page = browser.new_page()
        page.goto(f"{server.url}/live/1")
        latencies, trips, seen = [], [], set()
        deadline = time.monotonic() + 12
        with httpx.Client(timeout=30) as client:
            while time.monotonic() < deadline:
                began = time.perf_counter()
                figures = client.get(stats).json()
                trips.append(time.perf_counter() - began)
                if figures["exposure"] == 1.0 and figures["index"] not in seen and figures["hfr"] is not None:
                    seen.add(figures["index"])
                    latencies.append(figures["latency"])
                time.sleep(0.05)
        page.close()
    return statistics.median(latencies), statistics.median(trips), len(latencies)


def main():
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"], headless=True)
        try:
            print(f"\nlive view, {ROUNDS} alternating rounds of {SECONDS:g} s, medians")
            print(f"{'settings':<24} {'no page fps':>12} {'page open fps':>14} {'ratio':>6} {'spread':>12} "
                  f"{'previews/s':>11}")
            for label, camera, width, height, fmt, exposure in SETTINGS:
                plain, live, shown = [], [], []
                for r in range(ROUNDS):
                    for side in (("plain", "live") if r % 2 == 0 else ("live", "plain")):
                        if side == "plain":
                            plain.append(plain_rate(camera, width, height, fmt, exposure))
                        else:
                            rate, sent = live_rate(browser, camera, width, height, fmt, exposure)
                            live.append(rate)
                            shown.append(sent)
                a, b = statistics.median(plain), statistics.median(live)
                ratios = [y / x for x, y in zip(plain, live)]
                print(f"{label:<24} {a:>12.1f} {b:>14.1f} {b / a:>6.3f} {min(ratios):>5.3f}-{max(ratios):<6.3f} "
                      f"{statistics.median(shown):>11.1f}")
            latency, trip, count = figures_latency(browser)
            print(f"frame to /stats figures, 4144x2822 RAW16, 1 s exposures ({count} frames): "
                  f"{latency * 1000:.0f} ms to the figures + {trip * 1000:.1f} ms per /stats request "
                  f"= {(latency + trip) * 1000:.0f} ms (frame interval 1000 ms)")
        finally:
            browser.close()


if __name__ == "__main__":
    main()
