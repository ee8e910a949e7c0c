"""Several camera hosts behind one indiserver through INDI's own chaining (`indiserver @host:port`).

Two camera hosts (indiserver with indi_orlicam_ccd, each with its own simulated cameras) and a
hub that chains both. One client on the hub starts an exposure on every camera at once and
reads until every camera's BLOB has arrived. The same rounds run first with one client on each
host directly, before the hub starts (a hub is a client of its hosts and takes their BLOBs
too). Printed: BLOBs received of those expected, megabytes per round, and the median time from
the end of the exposures to the last byte of the last BLOB, hub against direct.

The receiving side is a bare socket that counts closing tags, so that the figures are the
servers' and the driver's, not a Python XML parser's. indiserver listens on every interface,
so the script runs itself inside a private network namespace (root needed). Nothing is asserted.
"""
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from indi import drain  # noqa: E402  (bench/indi.py, beside this file)

DRIVER = Path(sys.executable).with_name("indi_orlicam_ccd")
# Every camera a different model: device names must differ across the chained hosts (the hub
# would merge two devices of one name).
HOSTS = {7625: "asi294mm_pro_gps,asi462mc", 7626: "asi585mc,asi120mm_mini"}
HUB = 7624
EXPOSURE = 0.5
ROUNDS = 5
DEVICE = re.compile(rb'<defSwitchVector\s+device="([^"]+)"\s+name="CONNECTION"')
SIZE = re.compile(rb'<oneBLOB\s+name="CCD1"\s+size="(\d+)"')


def in_private_network() -> bool:
    return [name for _, name in socket.if_nameindex()] == ["lo"]


def start_server(port: int, args: list[str], env: dict[str, str]) -> subprocess.Popen:
    process = subprocess.Popen(["indiserver", "-r", "0", "-p", str(port), "-u", f"/tmp/indiserver-chain-{port}", *args],
                               env={**os.environ, **env}, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"indiserver on port {port} did not start")


class Client:
    """A socket that learns the cameras of its server, connects them and takes their BLOBs."""

    def __init__(self, port: int, cameras: int):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.sendall(b'<getProperties version="1.7"/>')
        seen, deadline = b"", time.monotonic() + 20
        self.sock.settimeout(1)
        while len(set(DEVICE.findall(seen))) < cameras:      # every camera defined, before CONNECT
            if time.monotonic() > deadline:
                raise RuntimeError(f"port {port}: {len(set(DEVICE.findall(seen)))} of {cameras} cameras")
            try:
                seen += self.sock.recv(1 << 20)
            except TimeoutError:
                pass
        self.sock.settimeout(None)
        self.devices = sorted({name.decode() for name in DEVICE.findall(seen)})
        for device in self.devices:
            self.sock.sendall(f'<newSwitchVector device="{device}" name="CONNECTION"><oneSwitch name="CONNECT">On'
                              f'</oneSwitch></newSwitchVector><enableBLOB device="{device}">Only</enableBLOB>'.encode())
        time.sleep(2)
        self._drain()

    def _drain(self) -> None:
        drain(self.sock)

    def expose_all(self) -> tuple[int, int]:
        """Exposes every camera at once; (BLOBs received, bytes) once each has sent one."""
        for device in self.devices:
            self.sock.sendall(f'<newNumberVector device="{device}" name="CCD_EXPOSURE"><oneNumber '
                              f'name="CCD_EXPOSURE_VALUE">{EXPOSURE}</oneNumber></newNumberVector>'.encode())
        received, size, tail = 0, 0, b""
        self.sock.settimeout(60)
        while received < len(self.devices):
            try:
                chunk = self.sock.recv(1 << 22)
            except TimeoutError:
                raise RuntimeError(f"{received} of {len(self.devices)} BLOBs in 60 s") from None
            if not chunk:
                raise RuntimeError("the server closed the connection")
            window = tail + chunk
            received += window.count(b"</setBLOBVector>") - tail.count(b"</setBLOBVector>")
            size += sum(int(n) for n in SIZE.findall(window)) - sum(int(n) for n in SIZE.findall(tail))
            tail = window[-200:]
        return received, size

    def close(self) -> None:
        self.sock.close()


def through_hub(hub: Client) -> tuple[float, int, int]:
    start = time.perf_counter()
    received, size = hub.expose_all()
    return time.perf_counter() - start - EXPOSURE, received, size


def direct(clients: list[Client]) -> tuple[float, int, int]:
    results: list[tuple[int, int]] = []
    threads = [threading.Thread(target=lambda c=c: results.append(c.expose_all())) for c in clients]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start - EXPOSURE, sum(r[0] for r in results), sum(r[1] for r in results)


def main() -> None:
    if not in_private_network():
        if os.geteuid() != 0 or not shutil.which("unshare"):
            sys.exit("bench/indi_chain.py: needs root and unshare for a private network namespace")
        os.execvp("unshare", ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                              sys.executable, *sys.argv])
    servers = []
    with tempfile.TemporaryDirectory() as home:
        try:
            for port, cameras in HOSTS.items():
                servers.append(start_server(port, [str(DRIVER)], {"HOME": home, "ORLICAM_SIM_CAMERAS": cameras}))
            hosts = [Client(port, cameras.count(",") + 1) for port, cameras in HOSTS.items()]
            expected = sum(len(c.devices) for c in hosts)
            rows: dict[str, list[tuple[float, int, int]]] = {"hub": [], "direct": []}
            direct(hosts)                                        # one unmeasured round
            rows["direct"] = [direct(hosts) for _ in range(ROUNDS)]
            for client in hosts:
                client.close()
            servers.append(start_server(HUB, [f"@127.0.0.1:{port}" for port in HOSTS], {"HOME": home}))
            time.sleep(1)
            hub = Client(HUB, expected)
            print(f"{len(HOSTS)} camera hosts chained into one indiserver; {len(hub.devices)} cameras: "
                  + ", ".join(hub.devices))
            through_hub(hub)
            rows["hub"] = [through_hub(hub) for _ in range(ROUNDS)]
            hub.close()
            print(f"every camera exposed at once ({EXPOSURE} s), {ROUNDS} rounds; "
                  "exposure end to the last BLOB's last byte")
            for name, label in (("hub", "one client on the chaining hub"), ("direct", "one client per host")):
                times = [r[0] for r in rows[name]]
                blobs, size = sum(r[1] for r in rows[name]), rows[name][-1][2]
                print(f"{label:<32} {statistics.median(times) * 1e3:>8.0f} ms median "
                      f"({min(times) * 1e3:.0f}-{max(times) * 1e3:.0f})  BLOBs {blobs}/{expected * ROUNDS}  "
                      f"{size / 1e6:.1f} MB a round")
        finally:
            for server in reversed(servers):
                server.terminate()
                server.wait(timeout=10)


if __name__ == "__main__":
    main()
