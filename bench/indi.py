"""The INDI driver against INDI's own CCD simulator, side by side in one run.

1. From the end of an exposure to the BLOB fully received by a client: indi_orlicam_ccd
   (the mono camera, RAW16) and indi_simulator_ccd (16-bit) at 1280x1024 and at the full
   4144x2822, exposures of 0.5 s, interleaved rounds, medians. "End of the exposure" is
   the time the request was sent plus the exposure time, for both.
2. Round trips of 1 ms exposures through INDI (request, then the whole BLOB) in frames per
   second, against the camera layer's capture(0.001) at the same region and format.

The receiving side is a bare socket that asks for BLOBs only and reads until the closing
tag, so that the figures are the server's and the driver's, not a Python XML parser's;
requests go through indi_setprop's format. indiserver listens on every interface, so the
script runs itself inside a private network namespace (root needed). Nothing is asserted.
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

OURS, THEIRS = "Orlicam ZWO ASI294MM Pro GPS Simulator", "CCD Simulator"
DRIVER = Path(sys.executable).with_name("indi_orlicam_ccd")
ROUNDS = 5
EXPOSURE = 0.5
SHORT_FRAMES = 40


def in_private_network() -> bool:
    return [name for _, name in socket.if_nameindex()] == ["lo"]



def drain(sock: socket.socket) -> None:
    """Reads and drops whatever the server has sent so far."""
    sock.setblocking(False)
    try:
        while sock.recv(1 << 20):
            pass
    except BlockingIOError:
        pass
    sock.setblocking(True)

class Server:
    def __init__(self, port: int, driver: str, home: str, **env: str):
        self.port = port
        self.process = subprocess.Popen(
            ["indiserver", "-r", "0", "-p", str(port), "-u", f"/tmp/indiserver-bench-{port}", driver],
            env={**os.environ, "HOME": home, **env}, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"indiserver on port {port} did not start")

    def set(self, *assignments: str) -> None:
        subprocess.run(["indi_setprop", "-p", str(self.port), *assignments], check=True, timeout=20)

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)


class BlobReader:
    """A socket that receives the device's BLOBs only; requests go out on the same socket."""

    def __init__(self, port: int, device: str):
        self.device = device
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.sendall(f'<getProperties version="1.7" device="{device}"/>'
                          f'<enableBLOB device="{device}">Only</enableBLOB>'.encode())
        time.sleep(0.5)
        self._drain()

    def _drain(self) -> None:
        drain(self.sock)

    def expose(self, seconds: float) -> float:
        """Sends the request; returns the time the BLOB's last byte arrived."""
        self.sock.sendall(f'<newNumberVector device="{self.device}" name="CCD_EXPOSURE">'
                          f'<oneNumber name="CCD_EXPOSURE_VALUE">{seconds}</oneNumber></newNumberVector>'.encode())
        tail = b""
        while True:
            chunk = self.sock.recv(1 << 22)
            if not chunk:
                raise RuntimeError("the server closed the connection")
            if b"</setBLOBVector>" in tail + chunk:
                return time.perf_counter()
            tail = chunk[-32:]

    def close(self) -> None:
        self.sock.close()


def transfer_rows(ours: Server, theirs: Server) -> None:
    print(f"\nexposure end to BLOB received ({EXPOSURE} s exposures, median of {ROUNDS} interleaved rounds)")
    print(f"{'frame':<22} {'indi_orlicam_ccd':>17} {'indi_simulator_ccd':>19} {'ratio':>7} {'spread':>11}")
    for width, height in ((1280, 1024), (4144, 2822)):
        ours.set(f"{OURS}.CCD_FRAME.X;Y;WIDTH;HEIGHT=0;0;{width};{height}")
        theirs.set(f"{THEIRS}.SIMULATOR_SETTINGS.SIM_XRES;SIM_YRES={width};{height}")
        readers = {"ours": BlobReader(ours.port, OURS), "theirs": BlobReader(theirs.port, THEIRS)}
        times: dict[str, list[float]] = {"ours": [], "theirs": []}
        for side in ("ours", "theirs"):                     # one unmeasured frame each
            readers[side].expose(EXPOSURE)
        for _ in range(ROUNDS):
            for side, reader in readers.items():
                start = time.perf_counter()
                times[side].append(reader.expose(EXPOSURE) - start - EXPOSURE)
        a, b = statistics.median(times["ours"]), statistics.median(times["theirs"])
        ratios = [x / y for x, y in zip(times["ours"], times["theirs"])]
        print(f"{width}x{height} 16-bit {'':<6} {a * 1e3:>14.1f} ms {b * 1e3:>16.1f} ms {a / b:>7.2f} "
              f"{min(ratios):>5.2f}-{max(ratios):<5.2f}")
        for reader in readers.values():
            reader.close()


def short_exposures(ours: Server) -> None:
    from vorrant.orlicam import Camera

    ours.set(f"{OURS}.CCD_FRAME.X;Y;WIDTH;HEIGHT=1432;899;1280;1024")
    reader = BlobReader(ours.port, OURS)
    reader.expose(0.001)
    start = time.perf_counter()
    for _ in range(SHORT_FRAMES):
        reader.expose(0.001)
    indi_fps = SHORT_FRAMES / (time.perf_counter() - start)
    reader.close()
    with Camera(1) as cam:
        cam.set_roi(1280, 1024, image_format="RAW16", x=1432, y=899)
        cam.capture(0.001)
        start = time.perf_counter()
        for _ in range(SHORT_FRAMES):
            cam.capture(0.001)
        layer_fps = SHORT_FRAMES / (time.perf_counter() - start)
    print(f"\n1 ms exposures, 1280x1024 RAW16, {SHORT_FRAMES} in a row")
    print(f"{'through INDI (request to whole BLOB)':<40} {indi_fps:>7.1f} fps  {1e3 / indi_fps:>7.1f} ms each")
    print(f"{'camera layer capture(0.001)':<40} {layer_fps:>7.1f} fps  {1e3 / layer_fps:>7.1f} ms each")


def main() -> None:
    if not in_private_network():
        if os.geteuid() != 0 or not shutil.which("unshare"):
            sys.exit("bench/indi.py: needs root and unshare for a private network namespace")
        os.execvp("unshare", ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                              sys.executable, *sys.argv])
    with tempfile.TemporaryDirectory() as home:
        ours = Server(7624, str(DRIVER), home, ORLICAM_SIM_CAMERAS="asi294mm_pro_gps")
        theirs = Server(7625, "indi_simulator_ccd", home)
        try:
            ours.set(f"{OURS}.CONNECTION.CONNECT=On")
            theirs.set(f"{THEIRS}.CONNECTION.CONNECT=On")
            time.sleep(1)
            transfer_rows(ours, theirs)
            short_exposures(ours)
        finally:
            ours.stop()
            theirs.stop()


if __name__ == "__main__":
    main()
