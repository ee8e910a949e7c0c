"""The steps a night is made of, shared by plans and by `snap` and `stream`: exposures
with their elapsed and remaining time, cooling and settling, warming up slowly, and
finding the exposure of a flat."""
from __future__ import annotations

import math
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Final

import numpy as np

if TYPE_CHECKING:
    from ..camera.camera import Camera
    from ..camera.frames import Frame

__all__ = ["capture_with_progress", "settle", "warm_up", "frame_level", "find_flat_exposure", "Show"]

FLAT_START_S: Final = 0.1
FLAT_MAX_S: Final = 60.0
FLAT_PROBE_S: Final = 10.0   # the test after one that showed no light
FLAT_CLOSE: Final = 0.03     # a test frame this close to the level (relative) is close enough

Show = Callable[[str], None]


def capture_with_progress(cam: Camera, show: Show, label: str, dark: bool = False,
                          exposure: float | None = None) -> Frame:
    """cam.capture(), showing `label` with the elapsed and remaining time of the exposure
    every half second (exposures over a second)."""
    seconds = cam.exposure if exposure is None else exposure
    if seconds <= 1.0:
        return cam.capture(exposure, dark=dark)
    done = threading.Event()
    began = time.monotonic()

    def tick() -> None:
        while not done.wait(0.5):
            elapsed = time.monotonic() - began
            show(f"{label}: {min(elapsed, seconds):.0f} of {seconds:g} s, {max(0.0, seconds - elapsed):.0f} s left")

    ticker = threading.Thread(target=tick, name="orlicam-exposure-progress", daemon=True)
    ticker.start()
    try:
        return cam.capture(exposure, dark=dark)
    finally:
        done.set()
        ticker.join()


def settle(cam: Camera, target: float, tolerance: float, settle_s: float, timeout: float, show: Show) -> float:
    """Cools to `target` and waits until the sensor has stayed within `tolerance` for
    `settle_s` seconds (a reading outside starts the count again); TimeoutError after
    `timeout` seconds in all. Returns the temperature."""
    from .. import korvi

    if not cam.description.cooled:
        raise ValueError(f"{cam.name} has no cooler: it cannot cool to {target:g} C")
    began = time.monotonic()
    try:
        cam.cool_to(target, timeout, tolerance=tolerance, progress=lambda s: show(
            f"cooling to {target:g} C: {s.temperature:.1f} C, cooler {s.cooler_power} %, {s.elapsed:.0f} s"))
    except korvi.ASITimeout as error:
        raise TimeoutError(f"{cam.name}: {error}") from None
    steady_since = time.monotonic()
    while True:
        now = time.monotonic()
        temperature = cam.temperature
        if abs(temperature - target) > tolerance:
            steady_since = now
        held = now - steady_since
        show(f"settling at {target:g} C: {temperature:.1f} C, steady {held:.0f} of {settle_s:g} s")
        if held >= settle_s:
            return temperature
        if now - began >= timeout:
            raise TimeoutError(f"{cam.name}: the sensor did not stay within {tolerance:g} C of {target:g} C "
                               f"for {settle_s:g} s within {timeout:g} s")
        time.sleep(max(0.05, min(1.0, settle_s - held)))


def warm_up(cam: Camera, rate: float, show: Show, interval: float = 1.0) -> float:
    """Raises the cooler's set point by `rate` degrees per second until the cooler no
    longer works (the sensor is at ambient) or the set point is at its top, then switches
    the cooler off; returns the temperature then. Warming slowly spares the sensor the
    thermal shock of switching off at once."""
    if not cam.description.cooled:
        raise ValueError(f"{cam.name} has no cooler")
    if not cam.cooler_on:
        cam.cooler_on = False
        return cam.temperature
    top = cam.controls["target_temperature"].max
    start, began = cam.temperature, time.monotonic()
    while True:
        goal = min(top, math.floor(start + rate * (time.monotonic() - began)))
        cam.target_temperature = goal
        temperature, power = cam.temperature, cam.cooler_power
        show(f"warming at {rate * 60:g} C/min: set point {goal:g} C, sensor {temperature:.1f} C, cooler {power} %")
        if power == 0 or goal >= top:
            break
        time.sleep(interval)
    cam.cooler_on = False
    return cam.temperature


# --- flats ---------------------------------------------------------------------------

def frame_level(frame: Frame) -> float:
    """The frame's median as a fraction of full scale (16-bit words or 8-bit bytes)."""
    data = frame.data
    full = float(np.iinfo(data.dtype).max)
    return float(np.median(data[::2, ::2] if data.size > 4_000_000 else data)) / full


def find_flat_exposure(cam: Camera, level: float, show: Show, start: float = FLAT_START_S,
                       longest: float = FLAT_MAX_S) -> tuple[float, float]:
    """The exposure (and the level it gave) putting a flat's median at `level` of full
    scale, from test frames: the response is taken as linear above the bias level. Light
    that cannot give the level (none, or too faint or bright for the exposure range) is a
    ValueError naming the likely cause, after at most two test frames."""
    control = cam.controls["exposure"]
    shortest, longest = control.min, min(longest, control.max)
    bias = frame_level(cam.capture(shortest, dark=True))
    seconds = min(max(start, shortest), longest)
    probe = min(FLAT_PROBE_S, longest)
    for _ in range(12):
        got = frame_level(cam.capture(seconds))
        show(f"flat exposure: {seconds:g} s gives {got:.3f} of full scale (target {level:g})")
        if abs(got - level) <= FLAT_CLOSE * level:
            return seconds, got
        if got >= 0.97:
            wanted = seconds / 4   # saturated: the level says nothing about how far over
        elif got - bias <= 0.002:
            if seconds >= probe:
                raise ValueError(f"flats: no light: {seconds:g} s gives {got:.4f} of full scale, no more than a dark "
                                 f"({bias:.4f}); is the flat panel on and the telescope's cap off?")
            wanted = probe   # one long test rather than many growing ones: light shows at once
        else:
            wanted = seconds * (level - bias) / (got - bias)
            reach = bias + (got - bias) * longest / seconds
            if wanted > longest and level - reach > FLAT_CLOSE * level:
                raise ValueError(f"flats: the light is too faint for a level of {level:g}: {seconds:g} s gives "
                                 f"{got:.3f}, the longest flat ({longest:g} s) about {reach:.3f}; "
                                 "turn the panel up or raise the gain")
        wanted = min(max(wanted, shortest), longest)
        if wanted == seconds:
            side, fix = ("bright", "dim the panel or add a diffuser") if got > level else (
                "faint", "turn the panel up or raise the gain")
            raise ValueError(f"flats: the light is too {side} for a level of {level:g}: {seconds:g} s gives "
                             f"{got:.3f}; {fix}")
        seconds = wanted
    raise ValueError(f"flats: no exposure found for a level of {level:g} (last {seconds:g} s gave {got:.3f}); "
                     "is the light steady?")
