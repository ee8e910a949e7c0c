"""`orlicam stream` to a SER file against a plain korvi.get_video_data loop, same settings.

1. Rate: the command line (a subprocess: `python -m vorrant.orlicam stream ... -o x.ser`, its own fps figure)
   and a korvi loop in a fresh subprocess (start_video_capture, then get_video_data into a
   new buffer per frame, each frame written to a file in the same folder, with a 178-byte
   header before and 8 bytes of timestamp per frame after, as many bytes as the SER file
   gets), alternating for a few rounds (which goes first alternates too); the median of
   each and the spread of the per-round ratio; also with the simulator unpaced when it
   offers that, so that the consumer sets the pace.
2. Memory: `orlicam stream` over 10,000 frames at a small region, its resident set size
   sampled from /proc while it runs: the figure after the first 1,000 frames against the last.

Run with `make bench` (after bench/video.py) or `.venv/bin/python bench/stream.py`.
Timings are printed, never asserted.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ORLICAM = [sys.executable, "-m", "vorrant.orlicam"]
ROUNDS = 3
# (label, camera, width, height, format, bytes per pixel, frames)
SETTINGS = [
    ("320x240 RAW8, 1 ms", 0, 320, 240, "RAW8", 1, 1000),
    ("640x480 RAW8, 1 ms", 0, 640, 480, "RAW8", 1, 600),
    ("1920x1080 RAW8, 1 ms", 0, 1920, 1080, "RAW8", 1, 300),
    ("1920x1080 RAW16, 1 ms", 0, 1920, 1080, "RAW16", 2, 150),
]
MEMORY_FRAMES = 10_000

KORVI_LOOP = r"""
import sys, time
from vorrant.orlicam import korvi
from vorrant.orlicam.korvi import ControlType, ImgType
cam, w, h, fmt, bpp, n = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5]), int(sys.argv[6])
path = sys.argv[7]
korvi.open_camera(cam); korvi.init_camera(cam)
korvi.set_roi_format(cam, w, h, 1, getattr(ImgType, "IMG_" + fmt))
korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, 1000, False)
korvi.start_video_capture(cam)
start = time.perf_counter()
with open(path, "wb") as out:
    out.write(bytes(178))
    write, get, size = out.write, korvi.get_video_data, w * h * bpp
    for _ in range(n):
        write(get(cam, size, 1000))
    out.write(bytes(8 * n))
elapsed = time.perf_counter() - start
dropped = korvi.get_dropped_frames(cam)
korvi.stop_video_capture(cam); korvi.close_camera(cam)
print(f"{n / elapsed:.3f} {dropped}")
"""

FPS = re.compile(r": (\d+) frames, ([0-9.]+) fps, ([0-9.]+) MB/s, (\d+) dropped")


def korvi_rate(folder, cam, w, h, fmt, bpp, n, env=None):
    path = os.path.join(folder, "reference.raw")
    out = subprocess.run([sys.executable, "-c", KORVI_LOOP, str(cam), str(w), str(h), fmt, str(bpp), str(n), path],
                         check=True, capture_output=True, text=True, env=env).stdout.split()
    os.remove(path)
    return float(out[0]), int(out[1])


def cli_rate(folder, cam, w, h, fmt, n, env=None):
    path = os.path.join(folder, "bench.ser")
    result = subprocess.run([*ORLICAM, "stream", str(cam), "--exposure", "1ms", "--roi", f"{w}x{h}", "--format", fmt,
                             "--frames", str(n), "-o", path], check=True, capture_output=True, text=True, env=env)
    match = FPS.search(result.stdout.strip().splitlines()[-1])
    if match is None:
        raise RuntimeError(f"unexpected output: {result.stdout!r}")
    os.remove(path)
    return float(match.group(2)), int(match.group(4))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory(folder):
    path = os.path.join(folder, "memory.ser")
    proc = subprocess.Popen([*ORLICAM, "stream", "0", "--exposure", "1ms", "--roi", "128x96", "--format", "RAW8",
                             "--frames", str(MEMORY_FRAMES), "-o", path], stdout=subprocess.PIPE, text=True)
    samples = []  # (frames written so far, RSS KiB)
    frame_bytes = 128 * 96
    while proc.poll() is None:
        time.sleep(0.05)
        try:
            size = os.path.getsize(path)
            kib = rss_kib(proc.pid)
        except (FileNotFoundError, ProcessLookupError):
            continue
        if kib:  # a process that has ended but not been reaped yet has no resident set to report
            samples.append(((size - 178) // frame_bytes, kib))
    last_line = proc.stdout.read().strip().splitlines()[-1]
    os.remove(path)
    settled = [kib for frames, kib in samples if frames >= 1000]
    return settled[0] if settled else None, settled[-1] if settled else None, len(samples), last_line


def main():
    folder = tempfile.mkdtemp(prefix="orlicam-bench-")
    from vorrant.orlicam import simulator

    runs = [("paced like a USB link", None)]
    if hasattr(simulator, "set_pacing"):  # the simulator can also deliver frames as fast as asked
        runs.append(("unpaced", {**os.environ, "ORLICAM_SIM_UNPACED": "1"}))
    try:
        for title, env in runs:
            print(f"\nframes {title}")
            print(f"{'settings':<24} {'korvi loop fps':>15} {'orlicam stream fps':>19} {'ratio':>7} "
                  f"{'spread':>12} {'dropped k/o':>12}")
            for label, cam, w, h, fmt, bpp, n in SETTINGS:
                korvi_rates, cli_rates = [], []
                drops = [0, 0]
                for r in range(ROUNDS):
                    for side in ((0, 1) if r % 2 == 0 else (1, 0)):
                        if side == 0:
                            rate, dropped = korvi_rate(folder, cam, w, h, fmt, bpp, n, env)
                            korvi_rates.append(rate)
                        else:
                            rate, dropped = cli_rate(folder, cam, w, h, fmt, n, env)
                            cli_rates.append(rate)
                        drops[side] += dropped
                k, c = statistics.median(korvi_rates), statistics.median(cli_rates)
                ratios = [b / a for a, b in zip(korvi_rates, cli_rates)]
                print(f"{label:<24} {k:>15.1f} {c:>19.1f} {c / k:>7.3f} "
                      f"{min(ratios):>5.3f}-{max(ratios):<6.3f} {drops[0]:>5}/{drops[1]:<5}")
        first, last, count, line = memory(folder)
        print(f"memory over {MEMORY_FRAMES} frames at 128x96 RAW8: RSS {first} KiB after 1,000 frames, "
              f"{last} KiB at the end ({count} samples); {line}")
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
        print(f"({os.cpu_count()} CPUs, load average {load})")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
