"""Per-frame cost of the video paths, side by side in one run.

Sides, each fetching the same stream settings:
  - korvi.get_video_data: a fresh zero-filled bytearray per frame;
  - korvi.get_video_data_gps: a fresh bytes and GpsData per frame, the lock held;
  - _frames.read_video_frame into one reused numpy array (what the camera layer's
    stream(copy=False) does per frame);
  - _frames.read_video_frame into a fresh numpy array per frame (stream()'s default);
  - the camera layer's Camera.stream(), default and copy=False, when the layer is installed;
  - the C++ loop of bench/frame_loop.cpp (a fresh zero-filled std::vector per frame),
    built as a shared library and called through ctypes in this process, on the same
    simulator, camera and settings.
Regions: 8x2 and 320x240 RAW8 and 1920x1080 RAW8 on the colour camera, full-frame RAW16 on
the large camera; shortest exposure, widest bandwidth, high-speed mode on.

Then RSS before and after FLAT_FRAMES frames at 8x2 through each Python path (it should
stay flat: nothing but the returned objects is allocated per frame).

The figures are the fetching thread's CPU time per frame (time.thread_time) and frames
per second, medians of ROUNDS interleaved rounds, with the spread (lowest to highest) of
each round's CPU ratio to the C++ loop. Unpaced when the simulator offers it
(simulator.set_pacing); otherwise the
simulator paces frames like a USB link and the fps columns show its pace, not the
caller's cost, which the CPU column still does. Run with `make bench`; never asserted.
"""
import ctypes
import os
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from video import LIBRARY, build_frame_loop, control_limits, open_flat_out  # noqa: E402

from vorrant.orlicam import _frames, korvi, simulator  # noqa: E402
from vorrant.orlicam.korvi import ControlType, ImgType  # noqa: E402

try:
    from vorrant.orlicam.camera import Camera  # the camera layer, where it is installed
except ImportError:
    Camera = None

ROUNDS = 5
FLAT_FRAMES = 100_000
WAIT_MS = 2000
WARMUP_FRAMES = 4

# (label, camera index, width, height, image type, bytes per pixel, frames per round).
# Rounds of a few tenths of a second: shorter ones measure the scheduler more than the path.
REGIONS = [
    ("8x2 RAW8", 0, 8, 2, ImgType.IMG_RAW8, 1, 20000),
    ("320x240 RAW8", 0, 320, 240, ImgType.IMG_RAW8, 1, 10000),
    ("1920x1080 RAW8", 0, 1920, 1080, ImgType.IMG_RAW8, 1, 400),
    ("full-frame RAW16", 1, None, None, ImgType.IMG_RAW16, 2, 24),
]
LAYER_SIDES = {"Camera.stream()": True, "Camera.stream(copy=False)": False} if Camera else {}
SIDES = ["korvi get_video_data", "korvi get_video_data_gps", "read_video_frame, reused array",
         "read_video_frame, fresh arrays", *LAYER_SIDES, "C++ loop"]


def unpace():
    """Turns link pacing off where the simulator can; True when frames are unpaced."""
    set_pacing = getattr(simulator, "set_pacing", None)
    if set_pacing is not None:
        set_pacing(False)
        return True
    # A simulator build that reads ORLICAM_SIM_UNPACED at load time says so itself.
    pacing = getattr(simulator.library(), "camsim_pacing", None)
    return pacing is not None and os.environ.get("ORLICAM_SIM_UNPACED") == "1" and pacing() == 0


def fetchers(cam, size, shape, dtype):
    reused = np.empty(shape, dtype)
    get, get_gps, read = korvi.get_video_data, korvi.get_video_data_gps, _frames.read_video_frame
    empty = np.empty
    return {
        "korvi get_video_data": lambda: get(cam, size, WAIT_MS),
        "korvi get_video_data_gps": lambda: get_gps(cam, size, WAIT_MS),
        "read_video_frame, reused array": lambda: read(cam, reused, WAIT_MS),
        "read_video_frame, fresh arrays": lambda: read(cam, empty(shape, dtype), WAIT_MS),
    }


def python_stream(cam, fetch, frames):
    korvi.start_video_capture(cam)
    for _ in range(WARMUP_FRAMES):
        fetch()
    c0, t0 = time.thread_time(), time.perf_counter()
    for _ in range(frames):
        fetch()
    elapsed, cpu = time.perf_counter() - t0, time.thread_time() - c0
    korvi.stop_video_capture(cam)
    return {"fps": frames / elapsed, "cpu_us": cpu / frames * 1e6}


def layer_stream(index, width, height, img_type, exposure_us, bandwidth, high_speed, frames, copy):
    """The same stream through the camera layer, which opens the camera itself."""
    with Camera(index) as cam:
        cam.set_roi(width, height, bin=1, image_format=img_type.name.removeprefix("IMG_"))
        cam.exposure = exposure_us / 1e6
        cam.bandwidth = bandwidth
        cam.high_speed_mode = bool(high_speed)
        with cam.stream(copy=copy) as stream:
            it = iter(stream)
            for _ in range(WARMUP_FRAMES):
                next(it)
            c0, t0 = time.thread_time(), time.perf_counter()
            for _ in range(frames):
                next(it)
            elapsed, cpu = time.perf_counter() - t0, time.thread_time() - c0
    return {"fps": frames / elapsed, "cpu_us": cpu / frames * 1e6}


def native_stream(lib, cam, size, frames):
    seconds, cpu = ctypes.c_double(), ctypes.c_double()
    code = lib.frame_loop(cam, size, WARMUP_FRAMES, frames, WAIT_MS, ctypes.byref(seconds), ctypes.byref(cpu))
    if code:
        raise korvi.ASI_ERROR_CODE_TO_EXCEPTION[code](f"the C++ loop failed with ASI error code {code}")
    return {"fps": frames / seconds.value, "cpu_us": cpu.value / frames * 1e6}


def bench_region(lib, region):
    label, index, width, height, img_type, depth, frames = region
    info = korvi.get_camera_property(index)
    cam = info.camera_id
    width, height = width or info.max_width, height or info.max_height
    size = width * height * depth
    shape, dtype = (height, width), (np.uint8 if depth == 1 else np.uint16)
    exposure, bandwidth, high_speed = open_flat_out(cam, width, height, 1, img_type)
    ours = fetchers(cam, size, shape, dtype)
    runs = {side: [] for side in SIDES}
    for r in range(ROUNDS):
        order = SIDES if r % 2 == 0 else SIDES[::-1]  # a drifting machine favours no side
        for side in order:
            if side == "C++ loop":
                runs[side].append(native_stream(lib, cam, size, frames))
            elif side in LAYER_SIDES:
                korvi.close_camera(cam)  # the layer opens it; settings survive a close
                runs[side].append(layer_stream(index, width, height, img_type, exposure, bandwidth, high_speed,
                                               frames, LAYER_SIDES[side]))
                korvi.open_camera(cam)
                korvi.init_camera(cam)
            else:
                runs[side].append(python_stream(cam, ours[side], frames))
    korvi.close_camera(cam)
    floor = [run["cpu_us"] for run in runs["C++ loop"]]
    return label, f"{width}x{height}, {size / 1e6:.3f} MB", {
        side: {**{key: statistics.median(run[key] for run in values) for key in ("fps", "cpu_us")},
               "ratios": [run["cpu_us"] / f for run, f in zip(values, floor)]}
        for side, values in runs.items()}


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def rss_over_many_frames():
    """RSS (KiB) before and after FLAT_FRAMES frames of 8x2 RAW8, per Python path."""
    cam = korvi.get_camera_property(0).camera_id
    korvi.open_camera(cam)
    korvi.init_camera(cam)
    korvi.set_roi_format(cam, 8, 2, 1, ImgType.IMG_RAW8)
    korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, control_limits(cam)[ControlType.ASI_EXPOSURE].min_value,
                            False)
    result = {}
    for side, fetch in fetchers(cam, 16, (2, 8), np.uint8).items():
        korvi.start_video_capture(cam)
        for _ in range(1000):  # allocator pools and caches settle first
            fetch()
        before = rss_kib()
        for _ in range(FLAT_FRAMES):
            fetch()
        result[side] = (before, rss_kib())
        korvi.stop_video_capture(cam)
    korvi.close_camera(cam)
    return result


def main():
    if not os.path.exists(LIBRARY):
        sys.exit(f"bench: no simulated libASICamera2.so beside the module ({LIBRARY})")
    simulator.reset()
    unpaced = unpace()
    with tempfile.TemporaryDirectory(prefix="orlicam-frames-") as workdir:
        lib = build_frame_loop(workdir)
        results = [bench_region(lib, region) for region in REGIONS]
    flat = rss_over_many_frames()
    pacing = "unpaced" if unpaced else "PACED (this simulator cannot go unpaced): fps is the link's pace"
    if Camera is None:
        pacing += "; the camera layer is not installed, so Camera.stream() is not measured"
    print(f"\nFrames: thread CPU us per frame and fps, medians of {ROUNDS} interleaved rounds; {pacing}")
    head = f"{'':<36}{'CPU us/frame':>14}{'fps':>10}{'CPU / C++':>11}{'spread':>13}"
    print(head)
    print("-" * len(head))
    for label, detail, sides in results:
        print(f"{label} ({detail})")
        floor = sides["C++ loop"]["cpu_us"]
        for side in SIDES:
            s = sides[side]
            spread = f"{min(s['ratios']):.2f}-{max(s['ratios']):.2f}"
            print(f"  {side:<34}{s['cpu_us']:>14.2f}{s['fps']:>10.0f}{s['cpu_us'] / floor:>11.2f}{spread:>13}")
        if "Camera.stream(copy=False)" in sides:
            added = sides["Camera.stream(copy=False)"]["cpu_us"] - sides["read_video_frame, reused array"]["cpu_us"]
            print(f"  {'layer adds per frame (copy=False)':<34}{added:>14.2f}")
    print(f"\nRSS over {FLAT_FRAMES:,} frames of 8x2 RAW8 (KiB)")
    for side, (before, after) in flat.items():
        print(f"  {side:<34}{before:>10}{after:>10}{after - before:>+8}")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"({os.cpu_count()} CPUs, load average {load})")


if __name__ == "__main__":
    main()
