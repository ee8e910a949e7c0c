"""Several cameras streaming at once, one thread each: total frames per second.

1, 2, 4 and 8 simulated cameras (ORLICAM_SIM_CAMERAS, set here before the simulator
loads) stream 640x480 RAW8 at the shortest exposure, unpaced, each from its own thread
for WINDOW seconds after every camera's first frame:
  - korvi: korvi.get_video_data into a fresh bytearray per frame;
  - stream(): the camera layer, `for frame in cam.stream()` (a fresh array per frame);
  - stream(copy=False): the same over the layer's ring of buffers;
  - C++ threads: bench/frame_loop.cpp loaded into this process with ctypes, one
    std::thread per camera fetching into a fresh std::vector per frame.
The sides interleave in ROUNDS rounds (the order reversed every other round); the table
shows the median total frames/s of each and its ratio to the C++ threads, with the
spread (lowest to highest) of the per-round ratio. With 2 cores, more threads than cores
measure how the GIL and the scheduler share them as much as the per-frame cost.
Run with `make bench`; timings are printed, never asserted.
"""
import os
import sys

CAMERAS = 8
os.environ["ORLICAM_SIM_CAMERAS"] = ",".join(["asi462mc"] * CAMERAS)

import ctypes  # noqa: E402
import statistics  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from video import LIBRARY, build_frame_loop, open_flat_out  # noqa: E402

from vorrant.orlicam import Camera, korvi, simulator  # noqa: E402
from vorrant.orlicam.korvi import ImgType  # noqa: E402

COUNTS = [1, 2, 4, 8]
ROUNDS = 3
WINDOW = 1.0
WIDTH, HEIGHT = 640, 480
SIZE = WIDTH * HEIGHT
WAIT_MS = 2000
SIDES = ["korvi", "stream()", "stream(copy=False)", "C++ threads"]


def run_threads(bodies):
    """Runs each body(start_event, deadline_box) in a thread; returns the total frames."""
    ready = threading.Barrier(len(bodies) + 1)
    box = {}
    counts = [0] * len(bodies)

    def worker(i, body):
        counts[i] = body(ready, box)

    threads = [threading.Thread(target=worker, args=(i, b)) for i, b in enumerate(bodies)]
    for t in threads:
        t.start()
    ready.wait()          # every camera has its first frame
    box["deadline"] = time.perf_counter() + WINDOW
    ready.wait()          # go
    for t in threads:
        t.join()
    return sum(counts)


def korvi_side(ids):
    for cam in ids:
        korvi.start_video_capture(cam)

    def body_for(cam):
        def body(ready, box):
            get = korvi.get_video_data
            get(cam, SIZE, WAIT_MS)
            ready.wait()
            ready.wait()
            deadline, count, now = box["deadline"], 0, time.perf_counter
            while now() < deadline:
                get(cam, SIZE, WAIT_MS)
                count += 1
            return count
        return body

    try:
        return run_threads([body_for(cam) for cam in ids])
    finally:
        for cam in ids:
            korvi.stop_video_capture(cam)


def layer_side(n, copy):
    cams = []
    try:
        for index in range(n):
            cid = korvi.get_camera_property(index).camera_id
            exposure, bandwidth, high_speed = open_flat_out(cid, WIDTH, HEIGHT, 1, ImgType.IMG_RAW8)
            korvi.close_camera(cid)
            cam = Camera(index)
            cam.open()
            cams.append(cam)
            cam.set_roi(WIDTH, HEIGHT, bin=1, image_format="RAW8")
            cam.exposure = exposure / 1e6
            cam.bandwidth = bandwidth
            cam.high_speed_mode = bool(high_speed)

        def body_for(cam):
            def body(ready, box):
                with cam.stream(copy=copy) as frames:
                    it = iter(frames)
                    next(it)
                    ready.wait()
                    ready.wait()
                    deadline, count, now = box["deadline"], 0, time.perf_counter
                    while now() < deadline:
                        next(it)
                        count += 1
                    return count
            return body

        return run_threads([body_for(cam) for cam in cams])
    finally:
        for cam in cams:
            cam.close()


def native_side(lib, ids):
    array = (ctypes.c_int * len(ids))(*ids)
    counts = (ctypes.c_long * len(ids))()
    code = lib.frame_threads(len(ids), array, SIZE, WINDOW, WAIT_MS, counts)
    if code:
        raise korvi.ASI_ERROR_CODE_TO_EXCEPTION[code](f"the C++ threads failed with ASI error code {code}")
    return sum(counts)


def measure(lib, n, side):
    if side in ("stream()", "stream(copy=False)"):
        return layer_side(n, side == "stream()") / WINDOW
    ids = [korvi.get_camera_property(i).camera_id for i in range(n)]
    for cam in ids:
        open_flat_out(cam, WIDTH, HEIGHT, 1, ImgType.IMG_RAW8)
    try:
        return (korvi_side(ids) if side == "korvi" else native_side(lib, ids)) / WINDOW
    finally:
        for cam in ids:
            korvi.close_camera(cam)


def main():
    if not os.path.exists(LIBRARY):
        sys.exit(f"bench: no simulated libASICamera2.so beside the module ({LIBRARY})")
    simulator.reset()
    if korvi.get_number_of_connected_cameras() < CAMERAS:
        sys.exit("bench: the simulator did not connect the cameras ORLICAM_SIM_CAMERAS asked for")
    simulator.set_pacing(False)
    with tempfile.TemporaryDirectory(prefix="orlicam-cameras-") as workdir:
        lib = build_frame_loop(workdir)
    print(f"\nCameras streaming at once, {WIDTH}x{HEIGHT} RAW8, unpaced: total frames/s, "
          f"medians of {ROUNDS} interleaved rounds of {WINDOW:g} s; ratio to the C++ threads (spread)")
    head = f"{'cameras':<8}" + "".join(f"{side:>27}" for side in SIDES)
    print(head)
    print("-" * len(head))
    for n in COUNTS:
        runs = {side: [] for side in SIDES}
        for r in range(ROUNDS):
            for side in (SIDES if r % 2 == 0 else SIDES[::-1]):
                runs[side].append(measure(lib, n, side))
        native = runs["C++ threads"]
        cells = []
        for side in SIDES:
            rate = statistics.median(runs[side])
            ratios = [a / b for a, b in zip(runs[side], native)]
            cells.append(f"{rate:>9.0f} {rate / statistics.median(native):>5.2f} "
                         f"({min(ratios):.2f}-{max(ratios):.2f})")
        print(f"{n:<8}" + "".join(f"{cell:>27}" for cell in cells))
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"({os.cpu_count()} CPUs, load average {load})")


if __name__ == "__main__":
    main()
