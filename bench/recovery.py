"""Recovery benchmark, on the simulator's fault schedule (one run, figures printed): the
time from a camera's return to the bus to the next good frame,

1. for the camera layer: a capture loop on camera 1 through 2.5-s unplugs, at the default
   poll interval (1 s) and at 0.2 s;
2. for `sequence`: a plan of short lights through a 3.5-s unplug, in process, with the
   sensor cooled again to the set point (1 s steady, the cooler 1000 times faster)
   before the next light.
"""
from __future__ import annotations

import statistics
import tempfile
import time
from pathlib import Path

from vorrant.orlicam import Camera, Recovery, simulator

ROUNDS = 3
EXPOSURE = 0.01


def back_at(started: float) -> float:
    """When the schedule's camera came back, on the monotonic clock."""
    return started + next(seconds for seconds, _, what in simulator.fault_log() if what == "back")


def camera_layer(poll: float) -> list[float]:
    delays = []
    for _ in range(ROUNDS):
        simulator.reset()   # exposure counts start again
        with Camera(1, recovery=Recovery(poll_interval=poll)) as cam:
            cam.set_roi(bin=4)
            started = time.monotonic()
            simulator.set_faults("unplug camera=1 after=2 for=2.5")
            while True:
                cam.capture(EXPOSURE)
                now = time.monotonic()
                if any(what == "back" for _, _, what in simulator.fault_log()):
                    delays.append(now - back_at(started))
                    break
        simulator.clear_faults()
    return delays


PLAN = """\
[camera]
camera = "294"
cool_to = -10
settle = "1s"

[[frames]]
type = "light"
count = 8
exposure = "{exposure}s"
bin = 4
"""


def sequence() -> list[float]:
    from vorrant.orlicam.observing.plan import load_plan
    from vorrant.orlicam.observing.sequence import run_plan

    delays = []
    for _ in range(ROUNDS):
        simulator.reset()
        simulator.set_time_scale(1000)
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "plan.toml"
            path.write_text(PLAN.format(exposure=EXPOSURE))
            written: list[float] = []

            def say(line: str) -> None:
                if line.startswith("Light_"):
                    written.append(time.monotonic())

            started = time.monotonic()
            simulator.set_faults("unplug camera=1 after=3 for=3.5")
            run_plan(load_plan(path), Path(folder) / "out", False, lambda line: None, say)
            back = back_at(started)
            delays.append(min(t for t in written if t > back) - back)
        simulator.clear_faults()
    return delays


def show(what: str, delays: list[float]) -> None:
    print(f"{what}: median {statistics.median(delays):.2f} s, worst {max(delays):.2f} s "
          f"({', '.join(f'{d:.2f}' for d in delays)})")


if __name__ == "__main__":
    print(f"from the camera's return to the next good frame ({EXPOSURE * 1000:g} ms exposures, {ROUNDS} rounds):")
    show("camera layer, poll every 1 s (default)", camera_layer(1.0))
    show("camera layer, poll every 0.2 s", camera_layer(0.2))
    show("sequence (reopen, cool again, 1 s steady, then the light)", sequence())
