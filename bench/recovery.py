"""Recovery benchmark, on the simulator's fault schedule (one run, figures printed): the
time from a camera's return to the bus to the next good frame,

1. for the camera layer: a capture loop on camera 1 through 2.5-s unplugs, at the default
   poll interval (1 s) and at 0.2 s;
2. for `sequence`: a plan of short lights through a 3.5-s unplug, in process, with the
   sensor cooled again to the set point (1 s steady, the cooler 1000 times faster)
   before the next light;
3. for the Alpaca server: an ASCOM client (alpyca) exposing in a loop through a 2.5-s unplug,
   to the first ImageReady after the return;
4. for the live view: the newest frame's index in /live/1/stats, to the first frame after
   the return;
5. for `orlicam stack`: a stream at bin 4 through a 2.5-s unplug, to the next stacked frame.
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


def alpaca() -> list[float]:
    from alpaca.camera import Camera as AlpacaCamera
    from alpaca.exceptions import AlpacaRequestException, DriverException, NotConnectedException

    from vorrant.orlicam.alpaca import Server

    delays = []
    for _ in range(ROUNDS):
        simulator.reset()
        with Server(port=0, discovery=False) as server:
            client = AlpacaCamera(f"127.0.0.1:{server.port}", 1)
            client.Connected = True
            client.BinX = 4
            started = time.monotonic()
            simulator.set_faults("unplug camera=1 at=0.5 for=2.5")
            while True:
                try:
                    client.StartExposure(EXPOSURE, True)
                    while not client.ImageReady:
                        time.sleep(0.005)
                except (NotConnectedException, DriverException, AlpacaRequestException):
                    time.sleep(0.02)
                    continue
                now = time.monotonic()
                if any(what == "back" for _, _, what in simulator.fault_log()):
                    delays.append(now - back_at(started))
                    break
        simulator.clear_faults()
    return delays


def live_view() -> list[float]:
    import httpx

    from vorrant.orlicam.alpaca import Server

    delays = []
    for _ in range(ROUNDS):
        simulator.reset()
        with tempfile.TemporaryDirectory() as folder, Server(port=0, discovery=False, live_folder=Path(folder)) as server:
            url = f"{server.url}/live/1/stats"
            last = httpx.get(url, timeout=30).json()["index"]
            started = time.monotonic()
            simulator.set_faults("unplug camera=1 at=0 for=2.5")
            while True:
                reply = httpx.get(url, timeout=30)
                index = reply.json()["index"] if reply.status_code == 200 else last
                if any(what == "back" for _, _, what in simulator.fault_log()) and index > last:
                    delays.append(time.monotonic() - back_at(started))
                    break
                last = index if not any(what == "back" for _, _, what in simulator.fault_log()) else last
                time.sleep(0.01)
        simulator.clear_faults()
    return delays


def stack() -> list[float]:
    from vorrant.orlicam.observing.stacking import Stacker, stack_camera

    delays = []
    for _ in range(ROUNDS):
        simulator.reset()
        with Camera(1) as cam:
            cam.set_roi(bin=4)
            cam.exposure = 0.05
            started = time.monotonic()
            seen: list[float] = []

            def progress(outcome: object, stacker: Stacker, elapsed: float) -> None:
                seen.append(time.monotonic())

            simulator.set_faults("unplug camera=1 at=0.5 for=2.5")
            stack_camera(cam, Stacker(), progress, duration=5.0)
            back = back_at(started)
            delays.append(min(t for t in seen if t > back) - back)
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
    show("Alpaca (an alpyca client exposing in a loop)", alpaca())
    show("live view (the frame index in /stats)", live_view())
    show("orlicam stack (the next frame stacked)", stack())
