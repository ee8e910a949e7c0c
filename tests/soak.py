"""Soak: many threads on both simulated cameras for a set time, then memory over many calls.

Threads stream, stop, close and reopen while others wait in get_video_data, change the
region, expose and read controls. Fails (exit 1) on an exception of a type the call may
not raise, a frame whose bytes do not fit the region, or memory that keeps growing; a
thread that stops making progress for 60 s is a deadlock (tracebacks dumped, exit 3).
A crash ends the process with its signal.

    python soak.py --minutes 2 --threads 8
"""
import argparse
import collections
import faulthandler
import os
import random
import sys
import threading
import time

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import CameraMode, ControlType, ImgType

BYTES = {ImgType.IMG_RAW8: 1, ImgType.IMG_Y8: 1, ImgType.IMG_RAW16: 2, ImgType.IMG_RGB24: 3}
REGIONS = {
    0: [(64, 48, 1, ImgType.IMG_RAW8), (320, 240, 1, ImgType.IMG_RGB24), (200, 100, 2, ImgType.IMG_RAW16)],
    1: [(32, 16, 1, ImgType.IMG_RAW16), (256, 128, 2, ImgType.IMG_Y8), (640, 480, 1, ImgType.IMG_RAW8)],
}
SLACK = 64  # fetch buffers are this much larger than the frame: the SDK must leave it zero
# What each call may raise while other threads stop, close and reopen the camera.
MAY_RAISE = {
    "fetch": (korvi.ASITimeout, korvi.ASIInvalidSequence, korvi.ASICameraClosed),
    "start": (korvi.ASICameraClosed, korvi.ASIGeneralError, korvi.ASIExposureInProgress),
    "control": (korvi.ASICameraClosed,),
    "snapshot": (korvi.ASICameraClosed, korvi.ASIGeneralError, korvi.ASIVideoModeActive,
                 korvi.ASIExposureInProgress),
}


class Soak:
    def __init__(self, seconds, threads):
        self.seconds, self.threads = seconds, threads
        self.stop = threading.Event()
        self.faults = []
        self.progress = collections.Counter()
        self.raised = collections.Counter()
        self.frames = 0
        self.region_lock = {0: threading.RLock(), 1: threading.RLock()}  # region changes vs. size reads
        self.lock = threading.Lock()

    def fault(self, text):
        with self.lock:
            self.faults.append(text)
        self.stop.set()

    def call(self, kind, fn, *args):
        try:
            return fn(*args)
        except MAY_RAISE[kind] as e:
            self.raised[type(e).__name__] += 1
            return None
        except Exception as e:  # noqa: BLE001 - the finding this soak exists for
            self.fault(f"{fn.__name__}{args} raised {type(e).__name__}: {e}")
            return None

    # ------------------------------------------------------------------ workers

    def fetcher(self, name, cam, gps):
        rnd = random.Random(name)
        while not self.stop.is_set():
            with self.region_lock[cam]:
                roi = self.call("control", korvi.get_roi_format, cam)
                if roi is None:
                    self.progress[name] += 1
                    time.sleep(0.001)
                    continue
                w, h, _, t = roi
                size = w * h * BYTES[t]
                wait = rnd.choice([0, 50, 200, 200, -1])
                got = self.call("fetch", korvi.get_video_data_gps if gps else korvi.get_video_data,
                                cam, size + SLACK, wait)
            if got is not None:
                frame = got[0] if gps else got
                if len(frame) != size + SLACK or any(frame[size:]):
                    self.fault(f"camera {cam}: a {w}x{h} {t.name} frame filled {len(frame)} bytes past {size}")
                with self.lock:
                    self.frames += 1
            self.progress[name] += 1

    def controller(self, name, cam):
        # Stops and closes while the fetchers wait; changes the region only between its own
        # stop and start, so the fetchers' sizes stay right.
        rnd = random.Random(name)
        while not self.stop.is_set():
            action = rnd.choice(["stop", "stop", "close", "region", "start", "start", "pace"])
            if action == "stop":
                self.call("control", korvi.stop_video_capture, cam)
            elif action == "close":
                self.call("control", korvi.close_camera, cam)
                korvi.open_camera(cam)
                self.call("control", korvi.init_camera, cam)
            elif action == "region":
                with self.region_lock[cam]:
                    self.call("control", korvi.stop_video_capture, cam)
                    self.call("control", korvi.set_roi_format, cam, *rnd.choice(REGIONS[cam]))
            elif action == "pace":
                simulator.set_pacing(rnd.random() < 0.5)
            self.call("start", korvi.start_video_capture, cam)
            time.sleep(rnd.uniform(0.001, 0.05))
            self.progress[name] += 1

    def prober(self, name, cam):
        rnd = random.Random(name)
        while not self.stop.is_set():
            self.call("control", korvi.get_control_value, cam, ControlType.ASI_GAIN)
            self.call("control", korvi.set_control_value, cam, ControlType.ASI_GAIN, rnd.randrange(0, 400), False)
            self.call("control", korvi.get_dropped_frames, cam)
            if rnd.random() < 0.05:
                if self.call("snapshot", korvi.start_exposure, cam, False) is None:
                    pass
                self.call("snapshot", korvi.get_exp_status, cam)
                self.call("snapshot", korvi.stop_exposure, cam)
            if cam == 1 and rnd.random() < 0.01:
                self.call("control", korvi.get_camera_mode, cam)
            self.progress[name] += 1

    # ------------------------------------------------------------------ run

    def run(self):
        for cam in (0, 1):
            korvi.open_camera(cam)
            korvi.init_camera(cam)
            korvi.set_roi_format(cam, *REGIONS[cam][0])
            korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, 200, False)
            korvi.start_video_capture(cam)
        roles = []
        for cam in (0, 1):
            roles += [("fetch", cam, False), ("fetch", cam, True), ("control", cam, None), ("probe", cam, None)]
        workers = []
        for i in range(self.threads):
            role, cam, gps = roles[i % len(roles)]
            name = f"{role}{cam}-{i}"
            target = {"fetch": lambda n=name, c=cam, g=gps: self.fetcher(n, c, g),
                      "control": lambda n=name, c=cam: self.controller(n, c),
                      "probe": lambda n=name, c=cam: self.prober(n, c)}[role]
            workers.append(threading.Thread(target=target, name=name, daemon=True))
            self.progress[name] = 0
        for w in workers:
            w.start()
        self.watch(workers)
        for cam in (0, 1):  # releases any fetch still waiting forever
            self.call("control", korvi.stop_video_capture, cam)
        for w in workers:
            w.join(30)
            if w.is_alive():
                self.deadlock(f"{w.name} did not finish after the stop")
        simulator.set_pacing(True)

    def watch(self, workers):
        end = time.monotonic() + self.seconds
        last, last_change = {}, {}
        while time.monotonic() < end and not self.stop.is_set():
            time.sleep(1)
            now = time.monotonic()
            for w in workers:
                count = self.progress[w.name]
                if last.get(w.name) != count:
                    last[w.name], last_change[w.name] = count, now
                elif now - last_change[w.name] > 60:
                    self.deadlock(f"{w.name} made no progress for 60 s")
        self.stop.set()

    def deadlock(self, text):
        print(f"soak: DEADLOCK: {text}", file=sys.stderr)
        faulthandler.dump_traceback(all_threads=True)
        os._exit(3)


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def memory(phase, body, count, limit_mb):
    body(count // 10)  # warm-up: caches, pools, allocator arenas
    before = rss_mb()
    body(count)
    after = rss_mb()
    print(f"soak: {phase}: {count} -> RSS {before:.1f} MB before, {after:.1f} MB after")
    return None if after - before <= limit_mb else f"{phase}: RSS grew {after - before:.1f} MB"


def memory_checks():
    simulator.reset()
    korvi.open_camera(0)
    korvi.init_camera(0)
    korvi.open_camera(1)
    korvi.init_camera(1)

    def cheap(n):
        for _ in range(n):
            korvi.get_dropped_frames(0)

    def raising(n):
        korvi.close_camera(1)
        for _ in range(n):
            try:
                korvi.get_exp_status(1)
            except korvi.ASICameraClosed:
                pass
        korvi.open_camera(1)
        korvi.init_camera(1)

    def frames(n):
        w, h = 1936, 1096
        korvi.set_roi_format(0, w, h, 1, ImgType.IMG_RAW8)
        korvi.set_control_value(0, ControlType.ASI_EXPOSURE, 32, False)
        simulator.set_pacing(False)
        korvi.start_video_capture(0)
        for _ in range(n):
            if len(korvi.get_video_data(0, w * h, 5000)) != w * h:
                raise AssertionError("a full frame of the wrong size")
        korvi.stop_video_capture(0)
        simulator.set_pacing(True)

    def triggers(n):
        korvi.set_roi_format(1, 32, 16, 1, ImgType.IMG_RAW8)
        korvi.set_control_value(1, ControlType.ASI_EXPOSURE, 200_000, False)
        korvi.set_camera_mode(1, CameraMode.ASI_MODE_TRIG_SOFT_EDGE)
        korvi.start_video_capture(1)
        for _ in range(n):
            korvi.send_soft_trigger(1, True)
        korvi.stop_video_capture(1)
        korvi.set_camera_mode(1, CameraMode.ASI_MODE_NORMAL)

    problems = [
        memory("cheap calls", cheap, 1_000_000, 4),
        memory("raising calls", raising, 10_000, 4),
        memory("full frames 1936x1096", frames, 2_000, 16),
        memory("soft triggers during exposures", triggers, 1_000_000, 4),
    ]
    simulator.reset()
    return [p for p in problems if p]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=2.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    faulthandler.dump_traceback_later(args.minutes * 60 + 900, exit=True)  # last resort

    simulator.reset()
    soak = Soak(args.minutes * 60, args.threads)
    started = time.monotonic()
    soak.run()
    took = time.monotonic() - started
    calls = sum(soak.progress.values())
    print(f"soak: {args.threads} threads x {took / 60:.1f} min on both cameras: {calls} rounds, "
          f"{soak.frames} frames, raised {dict(soak.raised)}")
    problems = list(soak.faults)
    if not args.skip_memory:
        problems += memory_checks()
    for p in problems:
        print(f"soak: FAULT: {p}", file=sys.stderr)
    print("soak: " + ("FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
