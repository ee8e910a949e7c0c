"""Video streaming throughput and call overhead of vorrant.orlicam.korvi, side by side
with the same ASICamera2 calls made natively.

1. korvi.get_video_data streaming at 1920x1080 RAW8 on the colour camera and at full
   frame RAW16 on the large camera, against bench/video_loop.cpp (compiled here with
   g++ and linked to the libASICamera2.so installed beside the module), alternating the
   two for several rounds and keeping each side's best. Both allocate a fresh zero-filled
   buffer per frame. The simulator's producer alone is measured too: it sets the pace.
2. Per-call time of korvi.get_dropped_frames against ASIGetDroppedFrames through ctypes
   on the same loaded library (and from C++, as the floor).

Run with `make bench`. Timings are printed, never asserted.
"""
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import ControlType, ImgType

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_DIR = os.path.dirname(os.path.abspath(korvi.__file__))
LIBRARY = os.path.join(PACKAGE_DIR, "libASICamera2.so")

ROUNDS = 3
WAIT_MS = 1000
WARMUP_FRAMES = 4  # drains the frames queued before the loop starts
CALLS = 200_000
CALL_REPEATS = 5

# (label, camera index, width, height, bin, image type, bytes per pixel, timed frames, producer window s)
STREAMS = [
    ("1920x1080 RAW8", 0, 1920, 1080, 1, ImgType.IMG_RAW8, 1, 300, 1.0),
    ("full-frame RAW16", 1, None, None, 1, ImgType.IMG_RAW16, 2, 30, 2.0),
]


def compile_loop(workdir):
    compiler = shutil.which("g++")
    if compiler is None:
        sys.exit("bench: g++ not found on PATH; it builds bench/video_loop.cpp")
    exe = os.path.join(workdir, "video_loop")
    cmd = [compiler, "-O2", "-std=c++20", "-I", os.path.join(ROOT, "src", "sdk"),
           os.path.join(ROOT, "bench", "video_loop.cpp"), "-o", exe,
           LIBRARY, f"-Wl,-rpath,{PACKAGE_DIR}", "-pthread"]
    subprocess.run(cmd, check=True)
    return exe


def build_frame_loop(workdir):
    """bench/frame_loop.cpp as a shared library loaded into this process (ctypes), linked
    to the same libASICamera2.so the module has loaded, so both share one simulator."""
    compiler = shutil.which("g++")
    if compiler is None:
        sys.exit("bench: g++ not found on PATH; it builds bench/frame_loop.cpp")
    target = os.path.join(workdir, "libframeloop.so")
    subprocess.run([compiler, "-O2", "-std=c++20", "-shared", "-fPIC", "-I", os.path.join(ROOT, "src", "sdk"),
                    os.path.join(ROOT, "bench", "frame_loop.cpp"), "-o", target, LIBRARY,
                    f"-Wl,-rpath,{PACKAGE_DIR}", "-pthread"], check=True)
    lib = ctypes.CDLL(target)
    c_int, c_long, c_double, POINTER = ctypes.c_int, ctypes.c_long, ctypes.c_double, ctypes.POINTER
    lib.frame_loop.argtypes = [c_int, c_long, c_long, c_long, c_int, POINTER(c_double), POINTER(c_double)]
    lib.frame_loop.restype = c_int
    lib.frame_threads.argtypes = [c_int, POINTER(c_int), c_long, c_double, c_int, POINTER(c_long)]
    lib.frame_threads.restype = c_int
    return lib


def run_loop(exe, *args):
    out = subprocess.run([exe, *map(str, args)], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (item.split("=") for item in out.split())}


def control_limits(cam):
    caps = {}
    for i in range(korvi.get_num_of_controls(cam)):
        c = korvi.get_control_caps(cam, i)
        caps[int(c.control_type)] = c
    return caps


def producer_tids(before):
    return sorted(set(os.listdir("/proc/self/task")) - before)


def cpu_ticks(tids):
    total = 0
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total


def producer_alone(cam, window):
    """Frames per second the simulator makes with nobody fetching (each one beyond the
    queue counts as dropped), and its producer thread's CPU time per frame."""
    before = set(os.listdir("/proc/self/task"))
    korvi.start_video_capture(cam)
    tids = producer_tids(before)
    time.sleep(0.3)  # the queue fills; from here every new frame drops one
    d0, c0, t0 = korvi.get_dropped_frames(cam), cpu_ticks(tids), time.perf_counter()
    time.sleep(window)
    d1, c1, t1 = korvi.get_dropped_frames(cam), cpu_ticks(tids), time.perf_counter()
    korvi.stop_video_capture(cam)
    frames = d1 - d0
    cpu = (c1 - c0) / os.sysconf("SC_CLK_TCK")
    return {"fps": frames / (t1 - t0), "cpu_per_frame": cpu / frames if frames else float("nan"),
            "frames": frames}


def module_stream(cam, size, frames):
    get = korvi.get_video_data
    korvi.start_video_capture(cam)
    for _ in range(WARMUP_FRAMES):
        get(cam, size, WAIT_MS)
    c0, t0 = time.thread_time(), time.perf_counter()
    for _ in range(frames):
        get(cam, size, WAIT_MS)
    elapsed = time.perf_counter() - t0
    cpu = time.thread_time() - c0
    dropped = korvi.get_dropped_frames(cam)
    korvi.stop_video_capture(cam)
    return {"frames": frames, "seconds": elapsed, "cpu_seconds": cpu, "dropped": dropped}


def summary(runs, size):
    best = min(runs, key=lambda r: r["seconds"])
    fps = best["frames"] / best["seconds"]
    return {
        "fps": fps,
        "gbps": fps * size / 1e9,
        "cpu_us": min(r["cpu_seconds"] / r["frames"] for r in runs) * 1e6,
        "fps_median": statistics.median(r["frames"] / r["seconds"] for r in runs),
        "dropped": max(int(r["dropped"]) for r in runs),
    }


def open_flat_out(cam, width, height, binning, img_type):
    """Opens the camera on the region with the shortest exposure and the fastest link;
    returns (exposure, bandwidth, high speed) for the C++ loop to set the same."""
    korvi.open_camera(cam)
    korvi.init_camera(cam)
    korvi.set_roi_format(cam, width, height, binning, img_type)
    caps = control_limits(cam)
    settings = (caps[ControlType.ASI_EXPOSURE].min_value, caps[ControlType.ASI_BANDWIDTHOVERLOAD].max_value,
                caps[ControlType.ASI_HIGH_SPEED_MODE].max_value)
    for control, value in zip((ControlType.ASI_EXPOSURE, ControlType.ASI_BANDWIDTHOVERLOAD,
                               ControlType.ASI_HIGH_SPEED_MODE), settings):
        korvi.set_control_value(cam, control, value, False)
    return settings


def bench_stream(exe, stream):
    label, index, width, height, binning, img_type, depth, frames, window = stream
    info = korvi.get_camera_property(index)
    cam = info.camera_id
    width = width or info.max_width
    height = height or info.max_height
    size = width * height * depth
    exposure, bandwidth, high_speed = open_flat_out(cam, width, height, binning, img_type)

    producer = producer_alone(cam, window)
    ours, native = [], []
    loop_args = ("stream", index, width, height, binning, int(img_type), size, exposure, bandwidth, high_speed,
                 WARMUP_FRAMES, frames, WAIT_MS)
    for r in range(ROUNDS):
        # Alternate which side goes first, so a drifting machine favours neither.
        if r % 2 == 0:
            ours.append(module_stream(cam, size, frames))
            native.append(run_loop(exe, *loop_args))
        else:
            native.append(run_loop(exe, *loop_args))
            ours.append(module_stream(cam, size, frames))
    korvi.close_camera(cam)
    return {
        "label": f"{label} cam {cam} ({width}x{height}, {size / 1e6:.1f} MB)",
        "settings": f"exposure {exposure} us, bandwidth {bandwidth}%, high speed {high_speed}",
        "size": size, "producer": producer,
        "korvi": summary(ours, size), "cpp": summary(native, size),
        "ratios": [(o["frames"] / o["seconds"]) / (n["frames"] / n["seconds"]) for o, n in zip(ours, native)],
    }


def bench_calls(exe):
    cam = korvi.get_camera_property(0).camera_id
    korvi.open_camera(cam)

    # The same loaded library: ctypes.CDLL hands back the instance the module linked.
    lib = ctypes.CDLL(LIBRARY)
    fn = lib.ASIGetDroppedFrames
    fn.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    fn.restype = ctypes.c_int
    byref, value = ctypes.byref, ctypes.c_int()
    get = korvi.get_dropped_frames

    def ours():
        for _ in range(CALLS):
            get(cam)

    def ctypes_bare():
        for _ in range(CALLS):
            fn(cam, byref(value))

    def ctypes_checked():
        for _ in range(CALLS):
            # What the module does per call too: check the code, make a Python int.
            if fn(cam, byref(value)):
                raise RuntimeError("ASIGetDroppedFrames failed")
            value.value

    loops = {"korvi": ours, "ctypes": ctypes_bare, "ctypes_checked": ctypes_checked}
    best = dict.fromkeys(loops, float("inf"))
    rounds: list[dict[str, float]] = []
    for _ in range(CALL_REPEATS):  # interleaved, so a busy moment hits every side
        took = {}
        for key, loop in loops.items():
            t0 = time.perf_counter()
            loop()
            took[key] = time.perf_counter() - t0
            best[key] = min(best[key], took[key])
        rounds.append(took)
    korvi.close_camera(cam)

    native = run_loop(exe, "calls", 0, CALLS, CALL_REPEATS)
    result = {key: seconds / CALLS * 1e9 for key, seconds in best.items()}
    result["cpp"] = native["seconds"] / native["calls"] * 1e9
    for key in ("ctypes", "ctypes_checked"):
        per_round = [took[key] / took["korvi"] for took in rounds]
        result[key + "_spread"] = (min(per_round), max(per_round))
    return result


def print_streams(results):
    print(f"\nStreaming: korvi.get_video_data vs. the C++ loop, best of {ROUNDS} alternated rounds each")
    head = f"{'':<44}{'fps':>9}{'GB/s':>8}{'median fps':>12}{'CPU us/frame':>14}{'dropped':>9}"
    print(head)
    print("-" * len(head))
    for res in results:
        print(f"{res['label']}   [{res['settings']}]")
        for key, name in (("korvi", "korvi.get_video_data"), ("cpp", "C++ ASIGetVideoData")):
            s = res[key]
            print(f"  {name:<42}{s['fps']:>9.1f}{s['gbps']:>8.3f}{s['fps_median']:>12.1f}"
                  f"{s['cpu_us']:>14.0f}{s['dropped']:>9}")
        p = res["producer"]
        print(f"  {'simulator producer, nobody fetching':<42}{p['fps']:>9.1f}{p['fps'] * res['size'] / 1e9:>8.3f}"
              f"{'':>12}{p['cpu_per_frame'] * 1e6:>14.0f}{'':>9}")
        print(f"  ratio korvi/C++ fps: {res['korvi']['fps'] / res['cpp']['fps']:.3f} best, "
              f"{res['korvi']['fps_median'] / res['cpp']['fps_median']:.3f} median, "
              f"rounds {min(res['ratios']):.3f}-{max(res['ratios']):.3f}")
    print("  (CPU us/frame: the fetching thread's CPU time per frame, or the producer thread's;"
          " the latter in 10 ms ticks)")


def print_calls(calls):
    print(f"\nPer call: get_dropped_frames on an open camera, best of {CALL_REPEATS} x {CALLS} calls")
    head = f"{'':<48}{'ns/call':>9}{'ctypes/korvi':>14}{'spread':>13}"
    print(head)
    print("-" * len(head))
    rows = (("korvi", "korvi.get_dropped_frames"), ("ctypes", "ctypes ASIGetDroppedFrames (bare call)"),
            ("ctypes_checked", "ctypes ASIGetDroppedFrames + check + .value"))
    for key, name in rows:
        ratio = f"{calls[key] / calls['korvi']:.2f}" if key != "korvi" else ""
        spread = f"{calls[key + '_spread'][0]:.2f}-{calls[key + '_spread'][1]:.2f}" if key != "korvi" else ""
        print(f"  {name:<46}{calls[key]:>9.0f}{ratio:>14}{spread:>13}")
    print(f"  {'C++ ASIGetDroppedFrames (floor)':<46}{calls['cpp']:>9.0f}")


def main():
    if not os.path.exists(LIBRARY):
        sys.exit(f"bench: no simulated libASICamera2.so beside the module ({LIBRARY})")
    started = time.perf_counter()
    simulator.reset()
    with tempfile.TemporaryDirectory(prefix="orlicam-bench-") as workdir:
        exe = compile_loop(workdir)
        results = [bench_stream(exe, stream) for stream in STREAMS]
        calls = bench_calls(exe)
    print_streams(results)
    print_calls(calls)
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"\n({os.cpu_count()} CPUs, load average {load}; whole run {time.perf_counter() - started:.1f} s)")


if __name__ == "__main__":
    main()
