"""Cost of the camera layer over the raw korvi calls it makes, measured side by side.

1. cam.capture(0.001) against the raw sequence a script would write with korvi alone:
   set the exposure, start it, wait for it the way the layer does (sleep through most
   of it, then look at the status often), fetch the data and view it as a numpy
   array. Full-frame RAW8 on the colour camera (index 0). A reference that busy-polled
   would fight the simulator's producer thread for the CPU and measure the scheduler.
2. Reading cam.gain against korvi.get_control_value(cam, ASI_GAIN).
3. The calling thread's CPU time during a 0.5 s capture, both sides sleeping through it.

The two sides alternate in rounds (which goes first alternates too); each round's median
per call is kept and the table shows the median over rounds and the spread (lowest to
highest) of the per-round ratio layer/raw. Run with `make bench`; nothing here is asserted.
"""
import os
import statistics
import sys
import time

import numpy as np

from vorrant.orlicam import Camera, korvi, simulator
from vorrant.orlicam.korvi import ControlType

ROUNDS = 15
CAPTURES = 10          # per side and round
READS = 5_000          # per side and round
WORKING = int(korvi.ExposureStatus.ASI_EXP_WORKING)


def raw_capture(cid, size, shape, exposure_us=1000):
    korvi.set_control_value(cid, ControlType.ASI_EXPOSURE, exposure_us, False)
    korvi.start_exposure(cid, False)
    # The layer's waiting policy: sleep through most of the exposure, then look at the
    # status every 50 us (every 1 ms from 0.1 s on).
    seconds = exposure_us / 1e6
    if seconds > 0.02:
        time.sleep(seconds - 0.01)
    elif seconds > 0.0005:
        time.sleep(0.8 * seconds)
    pause = 0.00005 if seconds < 0.1 else 0.001
    while korvi.get_exp_status(cid) == WORKING:
        time.sleep(pause)
    return np.frombuffer(korvi.get_data_after_exp(cid, size), np.uint8).reshape(shape)


def timed_each(fn, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def timed_loop(fn, count):
    start = time.perf_counter()
    for _ in range(count):
        fn()
    return (time.perf_counter() - start) / count


def compare(label, layer, raw, count, timer, unit, scale):
    ours, theirs = [], []
    for r in range(ROUNDS):
        if r % 2:
            theirs.append(timer(raw, count))
            ours.append(timer(layer, count))
        else:
            ours.append(timer(layer, count))
            theirs.append(timer(raw, count))
    a, b = statistics.median(ours), statistics.median(theirs)
    ratios = [x / y for x, y in zip(ours, theirs)]
    spread = f"{min(ratios):.2f}-{max(ratios):.2f}"
    print(f"{label:<36} {a * scale:>10.2f} {b * scale:>10.2f} {unit:<3} {a / b:>6.2f}x {spread:>11}")
    return a / b


def main():
    simulator.reset()
    with Camera(0) as cam:
        roi = cam.set_roi(image_format="RAW8")
        cid, size, shape = cam.camera_id, roi.buffer_size, (roi.height, roi.width)
        cam.exposure = 0.001
        for _ in range(3):   # the first frames build the simulator's caches
            cam.capture()
            raw_capture(cid, size, shape)
        print(f"{'':<36} {'layer':>10} {'raw korvi':>10}     {'ratio':>6} {'spread':>11}")
        compare(f"capture 1 ms, {roi.width}x{roi.height} RAW8", lambda: cam.capture(0.001),
                lambda: raw_capture(cid, size, shape), CAPTURES, timed_each, "ms", 1e3)
        # The raw side with the function and the member bound locally: its fastest form.
        get, gain = korvi.get_control_value, ControlType.ASI_GAIN
        compare("cam.gain vs get_control_value", lambda: cam.gain,
                lambda: get(cid, gain), READS, timed_loop, "µs", 1e6)
        cpu = []
        for fn in (lambda: cam.capture(0.5), lambda: raw_capture(cid, size, shape, 500_000)):
            start = time.thread_time()
            fn()
            cpu.append(time.thread_time() - start)
        print(f"{'CPU time during a 0.5 s capture':<36} {cpu[0] * 1e3:>10.2f} {cpu[1] * 1e3:>10.2f} ms")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"({os.cpu_count()} CPUs, load average {load})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
