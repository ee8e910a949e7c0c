"""Alpaca server benchmark, on the simulated cameras (one run, figures printed).

1. A full 4144x2822 16-bit frame fetched as ImageBytes, against the same number
   of bytes sent over a plain loopback TCP socket; then the same frame as JSON.
2. Eight clients polling camerastate during an exposure: requests per second,
   and the frame compared with one exposed while nobody polls.
"""
from __future__ import annotations

import http.client
import json
import socket
import statistics
import sys
import threading
import time
from urllib.parse import urlencode

import numpy as np

from vorrant.orlicam.alpaca import Server

CAMERA = 1          # the 4144x2822 14-bit camera
ROUNDS = 5
POLLERS = 8
POLL_EXPOSURE = 3.0


def put(conn: http.client.HTTPConnection, member: str, **params: object) -> None:
    conn.request("PUT", f"/api/v1/camera/{CAMERA}/{member}", body=urlencode(params),
                 headers={"Content-Type": "application/x-www-form-urlencoded"})
    reply = json.loads(conn.getresponse().read())
    if reply["ErrorNumber"]:
        sys.exit(f"{member}: {reply['ErrorMessage']}")


def get(conn: http.client.HTTPConnection, member: str) -> object:
    conn.request("GET", f"/api/v1/camera/{CAMERA}/{member}")
    return json.loads(conn.getresponse().read())["Value"]


def expose(conn: http.client.HTTPConnection, seconds: float) -> float:
    """Exposes and waits for the image; the time from the request to ImageReady."""
    start = time.perf_counter()
    put(conn, "startexposure", Duration=seconds, Light=True)
    while not get(conn, "imageready"):
        time.sleep(0.005)
    return time.perf_counter() - start


def fetch(conn: http.client.HTTPConnection, accept: str | None) -> tuple[float, bytes]:
    start = time.perf_counter()
    conn.request("GET", f"/api/v1/camera/{CAMERA}/imagearray", headers={"Accept": accept} if accept else {})
    body = conn.getresponse().read()
    return time.perf_counter() - start, body


class PlainSender:
    """A loopback TCP peer that answers each one-byte request with `payload`."""

    def __init__(self, payload: bytes) -> None:
        self.payload = payload
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        self.client = socket.create_connection(self.listener.getsockname())
        self.buffer = bytearray(len(payload))

    def _serve(self) -> None:
        conn, _ = self.listener.accept()
        with conn:
            while conn.recv(1):
                conn.sendall(self.payload)

    def fetch(self) -> float:
        start = time.perf_counter()
        self.client.sendall(b"x")
        view, got = memoryview(self.buffer), 0
        while got < len(self.buffer):
            got += self.client.recv_into(view[got:])
        return time.perf_counter() - start

    def close(self) -> None:
        self.client.close()
        self.listener.close()


def poll(port: int, stop: threading.Event, counts: list[int], index: int) -> None:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    while not stop.is_set():
        get(conn, "camerastate")
        counts[index] += 1
    conn.close()


def frame_stats(body: bytes) -> tuple[int, int, float, float]:
    """Width and height from the ImageBytes header, then the pixels' mean and spread."""
    width, height = np.frombuffer(body, "<i4", count=11)[8:10]
    pixels = np.frombuffer(body, "<u2", offset=44)
    return int(width), int(height), float(pixels.mean()), float(pixels.std())


def main() -> None:
    with Server(port=0, discovery=False) as server:
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=120)
        put(conn, "connected", Connected=True)
        put(conn, "readoutmode", ReadoutMode=0)
        expose(conn, 0.001)

        _, imagebytes = fetch(conn, "application/imagebytes")
        assert len(imagebytes) == 44 + 4144 * 2822 * 2, len(imagebytes)
        plain = PlainSender(imagebytes)
        http_times, plain_times, json_times = [], [], []
        for _ in range(ROUNDS):   # interleaved, so that load on the machine falls on all three alike
            http_times.append(fetch(conn, "application/imagebytes")[0])
            plain_times.append(plain.fetch())
            seconds, text = fetch(conn, None)
            json_times.append(seconds)
        plain.close()
        json_mb = len(text) / 1e6
        ratios = [j / i for j, i in zip(json_times, http_times)]

        ib, pl, js = (statistics.median(t) for t in (http_times, plain_times, json_times))
        mb = len(imagebytes) / 1e6
        print(f"full frame 4144x2822 RAW16, {mb:.1f} MB, median of {ROUNDS} interleaved rounds")
        print(f"  plain loopback socket   {pl * 1e3:8.1f} ms  {mb / pl:7.0f} MB/s")
        print(f"  ImageBytes over HTTP    {ib * 1e3:8.1f} ms  {mb / ib:7.0f} MB/s   ratio to socket {ib / pl:5.2f}")
        print(f"  JSON over HTTP          {js * 1e3:8.1f} ms  ({json_mb:.0f} MB of text)  ratio to ImageBytes "
              f"{js / ib:5.1f} (per round {min(ratios):.1f}-{max(ratios):.1f}; goal <= 5)")

        quiet_latency = expose(conn, POLL_EXPOSURE)
        quiet = frame_stats(fetch(conn, "application/imagebytes")[1])

        stop, counts = threading.Event(), [0] * POLLERS
        pollers = [threading.Thread(target=poll, args=(server.port, stop, counts, i)) for i in range(POLLERS)]
        for thread in pollers:
            thread.start()
        time.sleep(0.2)
        before = sum(counts)
        start = time.perf_counter()
        busy_latency = expose(conn, POLL_EXPOSURE)
        rate = (sum(counts) - before) / (time.perf_counter() - start)
        stop.set()
        for thread in pollers:
            thread.join()
        duration = get(conn, "lastexposureduration")
        busy = frame_stats(fetch(conn, "application/imagebytes")[1])
        conn.close()

    print(f"{POLLERS} clients polling camerastate during a {POLL_EXPOSURE:g} s full-frame exposure")
    print(f"  {rate:8.0f} requests/s in total")
    print(f"  start to ImageReady: {quiet_latency:.3f} s alone, {busy_latency:.3f} s while polled")
    print(f"  LastExposureDuration while polled: {duration} s")
    print(f"  frame {quiet[0]}x{quiet[1]} mean/std {quiet[2]:.1f}/{quiet[3]:.1f} alone, "
          f"{busy[0]}x{busy[1]} {busy[2]:.1f}/{busy[3]:.1f} while polled")
    # Same size, the requested exposure, and the same level within the simulated noise.
    unaffected = (busy[:2] == quiet[:2] == (4144, 2822) and duration == POLL_EXPOSURE
                  and abs(busy[2] - quiet[2]) <= 0.01 * quiet[2])
    print(f"  frame unaffected by the polling: {'yes' if unaffected else 'NO'}")
    if not unaffected:
        sys.exit(1)


if __name__ == "__main__":
    main()
