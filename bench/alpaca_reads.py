"""Small Alpaca reads against a bare app on the same stack (loopback, figures printed).

The orlicam Alpaca server (camera 1 connected) and a bare Starlette app served the same
way (uvicorn with the server's HTTP protocol class and settings) whose one route answers
GET /api/v1/camera/{n}/camerastate with the same JSON envelope, each in its own child
process. wrk (from the distribution's package) drives 8 and then 32 keep-alive
connections for DURATION seconds per run; the two servers alternate for ROUNDS rounds
(which goes first alternates too). Printed: requests/s and p99 latency of each (medians
over rounds), the ratio orlicam/bare and its spread. Without wrk the script says so.
"""
from __future__ import annotations

import http.client
import os
import re
import shutil
import statistics
import subprocess
import sys

ROUNDS = 3
DURATION = 3
CLIENTS = [8, 32]
CAMERA = 1

SERVE = r"""
import socket, sys, itertools, http.client
kind = sys.argv[1]
if kind == "orlicam":
    from vorrant.orlicam.alpaca import Server
    with Server(port=0, discovery=False) as server:
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        conn.request("PUT", "/api/v1/camera/%d/connected" % int(sys.argv[2]), body="Connected=True",
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        conn.getresponse().read()
        print(server.port, flush=True)
        sys.stdin.read()
else:
    import uvicorn
    from starlette.applications import Starlette
    from starlette.routing import Route
    from vorrant.orlicam.alpaca import app as alpaca_app, server as alpaca_server
    tids = itertools.count(1)

    async def camerastate(request):
        return alpaca_app._json({"Value": 0, **alpaca_app._envelope(0, next(tids))})

    app = Starlette(routes=[Route("/api/v1/camera/{n}/camerastate", camerastate)])
    # As the server makes its socket: asyncio sets TCP_NODELAY only on sockets whose protocol is TCP.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(alpaca_server.BACKLOG)
    config = uvicorn.Config(app, log_config=None, access_log=False, lifespan="off", http=alpaca_server._Protocol,
                            ws="none", timeout_keep_alive=int(alpaca_server.IDLE_TIMEOUT),
                            limit_concurrency=alpaca_server.MAX_CONNECTIONS, backlog=alpaca_server.BACKLOG,
                            h11_max_incomplete_event_size=alpaca_server.MAX_HEADER_BYTES)
    print(sock.getsockname()[1], flush=True)
    uvicorn.Server(config).run(sockets=[sock])
"""

RATE = re.compile(r"Requests/sec:\s+([0-9.]+)")
P99 = re.compile(r"99%\s+([0-9.]+)(us|ms|s)")


def start(kind: str) -> tuple[subprocess.Popen[str], int]:
    proc = subprocess.Popen([sys.executable, "-c", SERVE, kind, str(CAMERA)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    return proc, int(proc.stdout.readline())


def check(port: int) -> bytes:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request("GET", f"/api/v1/camera/{CAMERA}/camerastate")
    body = conn.getresponse().read()
    conn.close()
    return body


def load(wrk: str, port: int, clients: int) -> tuple[float, float]:
    out = subprocess.run([wrk, "-t", "2", "-c", str(clients), "-d", f"{DURATION}s", "--latency",
                          f"http://127.0.0.1:{port}/api/v1/camera/{CAMERA}/camerastate"],
                         check=True, capture_output=True, text=True).stdout
    rate, p99 = RATE.search(out), P99.search(out)
    if rate is None or p99 is None:
        raise RuntimeError(f"unexpected wrk output: {out!r}")
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}[p99.group(2)]
    return float(rate.group(1)), float(p99.group(1)) * scale


def main() -> None:
    wrk = shutil.which("wrk")
    if wrk is None:
        print("alpaca_reads: wrk is not installed (apt-get install wrk); small reads not measured")
        return
    servers = {kind: start(kind) for kind in ("orlicam", "bare")}
    try:
        bodies = {kind: check(port) for kind, (_, port) in servers.items()}
        print(f"small reads, GET camerastate; orlicam answers {bodies['orlicam'][:60]!r}...,"
              f" the bare app {bodies['bare'][:60]!r}...")
        print(f"{'clients':<8}{'orlicam req/s':>14}{'p99 ms':>8}{'bare req/s':>12}{'p99 ms':>8}{'ratio':>7}{'spread':>13}")
        for clients in CLIENTS:
            runs: dict[str, list[tuple[float, float]]] = {"orlicam": [], "bare": []}
            for r in range(ROUNDS):
                for kind in (("orlicam", "bare") if r % 2 == 0 else ("bare", "orlicam")):
                    runs[kind].append(load(wrk, servers[kind][1], clients))
            ours = [rate for rate, _ in runs["orlicam"]]
            bare = [rate for rate, _ in runs["bare"]]
            ratios = [a / b for a, b in zip(ours, bare)]
            o, b = statistics.median(ours), statistics.median(bare)
            op99 = statistics.median(p for _, p in runs["orlicam"])
            bp99 = statistics.median(p for _, p in runs["bare"])
            print(f"{clients:<8}{o:>14.0f}{op99:>8.2f}{b:>12.0f}{bp99:>8.2f}{o / b:>7.2f}"
                  f"{min(ratios):>7.2f}-{max(ratios):.2f}")
        print("target: orlicam >= 0.8x the bare app")
        load_avg = " ".join(f"{x:.2f}" for x in os.getloadavg())
        print(f"({os.cpu_count()} CPUs, load average {load_avg})")
    finally:
        for proc, _ in servers.values():
            assert proc.stdin is not None
            proc.stdin.close()
            proc.terminate()
            proc.wait(timeout=10)


if __name__ == "__main__":
    main()
