"""Alpaca server against hostile clients, on loopback (one run, figures printed).

The server runs in a child process (so its resident memory is its own), serving the
simulated cameras. Each scenario holds HELD connections open and, meanwhile, times a
fresh client's GET (a new connection each time) and counts the connections the server
still holds (its open sockets, from /proc):

1. idle: connections that send nothing;
2. slowloris: connections that send a header line every second and never finish;
3. half-sent body: PUTs that announce 100 bytes of form and send 10;
4. non-readers: clients that ask for the full 4144x2822 16-bit frame as ImageBytes and
   never read the reply (RSS while they are held, and after they hang up);
5. JSON: whole full-frame JSON downloads, one after another (RSS after).
"""
from __future__ import annotations

import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import time
from urllib.parse import urlencode

HELD = 500
NON_READERS = 100
JSON_DOWNLOADS = 5
CAMERA = 1


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def sockets(pid: int) -> int:
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


def call(port: int, method: str, member: str, timeout: float = 10.0, **params: object) -> object:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        path = f"/api/v1/camera/{CAMERA}/{member}"
        if method == "GET":
            conn.request("GET", path + ("?" + urlencode(params) if params else ""))
        else:
            conn.request("PUT", path, body=urlencode(params), headers={"Content-Type": "application/x-www-form-urlencoded"})
        reply = json.loads(conn.getresponse().read())
        return reply.get("Value")
    finally:
        conn.close()


def fresh_client_ms(port: int, tries: int = 10) -> tuple[float, float]:
    times = []
    for _ in range(tries):
        start = time.perf_counter()
        call(port, "GET", "name")
        times.append((time.perf_counter() - start) * 1000)
        time.sleep(0.05)
    return statistics.median(times), max(times)


def open_many(port: int, first: bytes | None) -> list[socket.socket]:
    held = []
    for _ in range(HELD):
        s = socket.create_connection(("127.0.0.1", port))
        if first:
            s.sendall(first)
        held.append(s)
    return held


def closed_by_server(held: list[socket.socket]) -> int:
    closed = 0
    for s in held:
        s.setblocking(False)
        try:
            closed += s.recv(65536) == b""
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
    return closed


def scenario(pid: int, port: int, name: str, first: bytes | None, trickle: bytes | None) -> None:
    base = sockets(pid)
    held = open_many(port, first)
    time.sleep(0.5)
    holding = sockets(pid) - base
    median, worst = fresh_client_ms(port)
    # Keep trickling for a while, as a slowloris would.
    for _ in range(8):
        if trickle:
            for s in held:
                try:
                    s.sendall(trickle)
                except OSError:
                    pass
        time.sleep(1.0)
    after = sockets(pid) - base
    closed = closed_by_server(held)
    for s in held:
        s.close()
    print(f"{name:<16} held {HELD}: server had {holding:>3} open after 0.5 s, {after:>3} after 8.5 s; "
          f"{closed} closed by the server; fresh client {median:.1f} ms median, {worst:.1f} ms worst")


def main() -> None:
    port = free_port()
    child = subprocess.Popen([sys.executable, "-c",
                              f"from vorrant.orlicam.alpaca import serve; serve(port={port}, discovery=False)"])
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                call(port, "GET", "name", timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline:
                    sys.exit("the server did not start")
                time.sleep(0.2)
        pid = child.pid
        print(f"server RSS at start: {rss_mb(pid):.0f} MB")
        scenario(pid, port, "idle", None, None)
        scenario(pid, port, "slowloris", b"GET /api/v1/camera/0/name HTTP/1.1\r\nHost: x\r\n", b"X-a: b\r\n")
        scenario(pid, port, "half-sent body", b"PUT /api/v1/camera/0/gain HTTP/1.1\r\nHost: x\r\n"
                 b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 100\r\n\r\nGain=1&a=", None)
        print(f"server RSS after the held connections: {rss_mb(pid):.0f} MB")

        call(port, "PUT", "connected", Connected=True)
        call(port, "PUT", "startexposure", Duration=0.001, Light=True)
        while not call(port, "GET", "imageready"):
            time.sleep(0.02)
        before = rss_mb(pid)
        readers = []
        for _ in range(NON_READERS):
            s = socket.create_connection(("127.0.0.1", port))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(f"GET /api/v1/camera/{CAMERA}/imagearray HTTP/1.1\r\nHost: x\r\n"
                      "Accept: application/imagebytes\r\n\r\n".encode())
            readers.append(s)
        time.sleep(2.0)
        during = rss_mb(pid)
        median, worst = fresh_client_ms(port)
        for s in readers:
            s.close()
        time.sleep(1.0)
        print(f"{NON_READERS} clients not reading a {4144 * 2822 * 2 / 1e6:.0f} MB ImageBytes reply: RSS {before:.0f} MB "
              f"before, {during:.0f} MB while held, {rss_mb(pid):.0f} MB after they hung up; "
              f"fresh client {median:.1f} ms median, {worst:.1f} ms worst")
        start = time.perf_counter()
        for _ in range(JSON_DOWNLOADS):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
            conn.request("GET", f"/api/v1/camera/{CAMERA}/imagearray")
            size = len(conn.getresponse().read())
            conn.close()
        took = (time.perf_counter() - start) / JSON_DOWNLOADS
        time.sleep(1.0)
        print(f"{JSON_DOWNLOADS} full-frame JSON downloads ({size / 1e6:.0f} MB each, {took:.2f} s each): "
              f"RSS {rss_mb(pid):.0f} MB after")
    finally:
        child.terminate()
        child.wait(30)


if __name__ == "__main__":
    main()
