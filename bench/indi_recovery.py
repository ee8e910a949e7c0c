"""The INDI driver's recovery from an unplugged camera: the time from the camera's return to
the next good frame a client receives.

The simulator unplugs the camera (ORLICAM_SIM_FAULTS, in the driver's environment) as its
first exposure ends, for UNPLUG seconds. A bare socket client receives that first BLOB, asks
for the next exposure at once (the driver holds it while the camera is away), and times the
BLOB that ends it. The camera's return is taken as the first BLOB's arrival plus UNPLUG: the
unplug starts a few milliseconds before that arrival, so the figure errs short by as much.
Each round runs a fresh indiserver; medians over ROUNDS. Runs itself in a private network
namespace (root needed), as bench/indi.py does. Nothing is asserted.
"""
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from indi import DRIVER, OURS, BlobReader, Server, in_private_network  # noqa: E402

ROUNDS = 5
UNPLUG = 3.0
EXPOSURE = 0.01


def one_round(home: str, port: int) -> tuple[float, float]:
    """(return to good frame, loss to good frame) in seconds."""
    server = Server(port, str(DRIVER), home, ORLICAM_SIM_CAMERAS="asi294mm_pro_gps",
                    ORLICAM_SIM_FAULTS=f"unplug camera=0 after=1 for={UNPLUG:g}")
    try:
        server.set(f"{OURS}.CONNECTION.CONNECT=On")
        time.sleep(1)
        server.set(f"{OURS}.CCD_FRAME.X;Y;WIDTH;HEIGHT=0;0;1280;1024")
        reader = BlobReader(port, OURS)
        lost_at = reader.expose(EXPOSURE)
        back = reader.expose(EXPOSURE)
        reader.close()
        return back - (lost_at + UNPLUG), back - lost_at
    finally:
        server.stop()


def main() -> None:
    if not in_private_network():
        import os
        import shutil
        if os.geteuid() != 0 or not shutil.which("unshare"):
            sys.exit("bench/indi_recovery.py: needs root and unshare for a private network namespace")
        os.execvp("unshare", ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                              sys.executable, *sys.argv])
    rows = []
    with tempfile.TemporaryDirectory() as home:
        for i in range(ROUNDS):
            rows.append(one_round(home, 7624 + i))
    back = [r[0] for r in rows]
    print(f"\nINDI driver, camera unplugged for {UNPLUG:g} s, then the next {EXPOSURE * 1e3:g} ms exposure "
          f"at 1280x1024 RAW16 ({ROUNDS} rounds)")
    print(f"{'camera return to next good frame received':<44} median {statistics.median(back) * 1e3:7.0f} ms   "
          f"min {min(back) * 1e3:5.0f}  max {max(back) * 1e3:5.0f}")
    print(f"{'loss to next good frame received':<44} median {statistics.median([r[1] for r in rows]):7.2f} s")


if __name__ == "__main__":
    main()
