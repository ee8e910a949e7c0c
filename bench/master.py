"""Peak memory of `orlicam master` over 100 full frames of the large simulated camera.

The frames (4144x2822 RAW16, the ASI294MM's full sensor, dark-like noise with hot pixels
and cosmic rays) are written once into a temporary folder (about 2.3 GB), then
`orlicam master dark` combines them in a child process. Printed: the child's peak resident
memory (ru_maxrss of the waited-for child), its wall time, and beside them the sizes they
compare with: one float32 frame and the float32 stack the whole-stack combination held
(which, with sigma clipping's temporaries, took about 8 times the stack). A child that
only imports the same modules gives the interpreter's and astropy's share.
Target: the master and a frame being read (about 1.5x one float32 frame), plus a fixed
band of the stack and a few kB of header per input: nowhere near the stack.
"""
from __future__ import annotations

import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

FRAMES = int(os.environ.get("ORLICAM_BENCH_FRAMES", "100"))
WIDTH, HEIGHT = 4144, 2822
ORLICAM = Path(sys.executable).with_name("orlicam")


def write_frames(folder: Path) -> list[Path]:
    from astropy.io import fits

    rng = np.random.default_rng(1)
    hot = rng.random((HEIGHT, WIDTH)) < 2e-4
    paths = []
    for i in range(FRAMES):
        data = rng.normal(1000, 12, (HEIGHT, WIDTH)).astype(np.float32)
        data[hot] += 20000
        data[rng.random((HEIGHT, WIDTH)) < 1e-5] = 65000   # cosmic rays, a different few in each
        header = fits.Header({"EXPTIME": 60.0, "GAIN": 120, "XBINNING": 1, "CCD-TEMP": -10.0,
                              "IMAGETYP": "Dark Frame"})
        path = folder / f"dark_{i:03d}.fits"
        fits.PrimaryHDU(np.clip(data, 0, 65535).astype(np.uint16), header).writeto(path)   # BZERO 32768
        paths.append(path)
    return paths


def child_peak(argv: list[str]) -> tuple[float, float]:
    """(peak resident MB, seconds) of a child process, from its own rusage."""
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:   # the child: exec the command, so that rusage is the command's alone
        os.execv(argv[0], argv)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(argv)} failed")
    return usage.ru_maxrss / 1024, seconds


def main() -> None:
    frame_mb = WIDTH * HEIGHT * 4 / 2**20
    with tempfile.TemporaryDirectory(prefix="orlicam-master-", dir=os.environ.get("ORLICAM_BENCH_TMP")) as tmp:
        folder = Path(tmp)
        began = time.perf_counter()
        paths = write_frames(folder)
        print(f"{FRAMES} frames {WIDTH}x{HEIGHT} RAW16 written in {time.perf_counter() - began:.0f} s "
              f"({sum(p.stat().st_size for p in paths) / 2**30:.2f} GB)")
        base, _ = child_peak([sys.executable, "-c", "import vorrant.orlicam.observing.calibration, "
                              "astropy.io.fits, astropy.stats, vorrant.orlicam.cli.main"])
        peak, seconds = child_peak([str(ORLICAM), "master", "dark", *map(str, paths), "-o", str(folder / "master.fits")])
    stack_gb = FRAMES * frame_mb / 1024
    print(f"orlicam master dark, {FRAMES} full frames: peak RSS {peak:.0f} MB in {seconds:.0f} s "
          f"(the interpreter and its imports alone: {base:.0f} MB)")
    print(f"one float32 frame {frame_mb:.1f} MB; peak less imports {(peak - base) / frame_mb:.1f} frames; "
          f"the float32 stack {stack_gb:.1f} GB, the whole-stack combination about 8x that ({8 * stack_gb:.0f} GB)")
    print(f"({os.cpu_count()} CPUs, load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
          f"children's max RSS {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024:.0f} MB)")


if __name__ == "__main__":
    main()
