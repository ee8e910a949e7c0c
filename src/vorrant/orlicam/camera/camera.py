"""Cameras as objects: discovery, opening, controls in physical units, region of
interest, snapshots, video streams, guiding, cooling and triggers.

Camera is assembled from one module per job: discovery (cameras() and their
descriptions), session (opening and closing), controls (controls and the region of
interest), capture (snapshots), streaming (video); guiding, cooling, trigger modes and
dark subtraction live here. Only these modules call korvi for camera operations. Every
argument is checked before the SDK hears of it; SDK failures surface as korvi's own
exception classes with a note naming the operation and the camera.
"""
from __future__ import annotations

import os
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final

from .. import korvi
from .controls import Controls
from .discovery import CameraDescription, cameras
from .errors import noted, unknown_value
from .streaming import CameraStreaming, Stream
from .units import (GUIDE, MODE, PIN, PIN_ALIASES, Control, bool_arg, enum_arg, real_arg, seconds_arg,
                    short_name)

__all__ = ["cameras", "Camera", "CameraDescription", "Control", "Controls", "Cooling", "Stream", "TriggerOutput"]

CT = korvi.ControlType
_set_value = korvi.set_control_value

_MAX_GUIDE_S: Final = 3600.0
_MAX_TRIGGER_S: Final = 2000.0


@dataclass(frozen=True, slots=True)
class Cooling:
    """One look at the sensor while cool_to waits."""

    temperature: float
    target: float
    cooler_power: int
    elapsed: float


@dataclass(frozen=True, slots=True)
class TriggerOutput:
    """A trigger output pin's setting: level when active, delay and duration in seconds."""

    pin: str
    high: bool
    delay: float
    duration: float


class Camera(CameraStreaming):
    """One ZWO camera. `with Camera(0) as cam:` opens and initialises it and closes it
    on leaving; Camera("ASI294") picks the one camera whose name contains the text.
    `recovery` is the policy for faults (failed and hung exposures, a camera lost from
    the bus): Recovery() by default, None to have every fault raised at once."""

    __slots__ = ()

    # -- guiding, cooling, triggers, dark frames --

    def pulse_guide(self, direction: korvi.GuideDirection | str | int, seconds: float) -> None:
        """Guides through the ST4 port for `seconds` ("north", "south", "east", "west").
        The pulse always ends, also on Ctrl-C."""
        member = enum_arg(korvi.GuideDirection, direction, "direction", GUIDE)
        length = seconds_arg("seconds", seconds)
        if length > _MAX_GUIDE_S:
            raise ValueError(f"a guide pulse lasts at most {_MAX_GUIDE_S:g} s, got {length:g}")
        self._require_open("guiding")
        if not self._desc.st4:
            raise AttributeError(f"{self._label} has no ST4 guide port")
        operation = f"guiding {short_name(member, GUIDE)} for {length:g} s"
        try:
            korvi.pulse_guide_on(self._id, member)
        except korvi.ASIError as exc:
            raise noted(exc, operation, self._label)
        except BaseException:
            try:
                korvi.pulse_guide_off(self._id, member)   # Ctrl-C as the pulse began
            except korvi.ASIError:
                pass   # the interrupt is the one to report
            raise
        try:
            time.sleep(length)
        finally:
            self._guide_off(member, operation)

    def _guide_off(self, member: korvi.GuideDirection, operation: str) -> None:
        try:
            korvi.pulse_guide_off(self._id, member)
        except korvi.ASIError as exc:
            raise noted(exc, operation, self._label)

    def cool_to(self, celsius: float, timeout: float, tolerance: float = 1.0,
                progress: Callable[[Cooling], object] | None = None, interval: float = 1.0) -> float:
        """Switches the cooler on with target `celsius` and waits until the sensor is within
        `tolerance` of it; returns the temperature reached. `progress` sees each reading
        (every `interval` seconds); korvi.ASITimeout when `timeout` seconds pass first. On a
        timeout or Ctrl-C the cooler stays on at the new target."""
        limit = seconds_arg("timeout", timeout, unlimited=True)
        tol = real_arg("tolerance", tolerance)
        if tol < 0:
            raise ValueError(f"tolerance must not be negative, got {tol:g}")
        pause = seconds_arg("interval", interval)
        if progress is not None and not callable(progress):
            raise TypeError(f"progress takes a callable, not {type(progress).__name__}")
        self._require_open("cooling")
        if not self._desc.cooled:
            raise AttributeError(f"{self._label} has no cooler")
        target = self._caps[CT.ASI_TARGET_TEMP]
        raw_target = self._checked_raw(target, celsius)
        self._checked_raw(self._caps[CT.ASI_COOLER_ON], True)
        self._changes += 1
        try:
            _set_value(self._id, CT.ASI_TARGET_TEMP, raw_target, False)
            _set_value(self._id, CT.ASI_COOLER_ON, 1, False)
        except korvi.ASIError as exc:
            raise noted(exc, f"cooling to {raw_target} °C", self._label)
        began = time.monotonic()
        while True:
            temperature = self.temperature
            elapsed = time.monotonic() - began
            if progress is not None:
                progress(Cooling(temperature, float(raw_target), self.cooler_power, elapsed))
            if abs(temperature - raw_target) <= tol:
                return temperature
            if elapsed >= limit:
                raise noted(korvi.ASITimeout(
                    f"the sensor is at {temperature:g} °C after {limit:g} s, target {raw_target} ± {tol:g} °C"),
                    "cooling", self._label)
            time.sleep(min(pause, limit - elapsed))

    @property
    def supported_modes(self) -> tuple[str, ...]:
        """Names of the camera modes: "normal" and the trigger modes the camera has."""
        self._require_open("reading the camera modes")
        return tuple(short_name(m, MODE) for m in self._modes) or ("normal",)

    @property
    def mode(self) -> str:
        """The camera mode by name ("normal", "soft_edge", "rise_edge", "fall_edge",
        "soft_level", "high_level", "low_level")."""
        self._require_open("reading the camera mode")
        if not self._desc.trigger:
            return "normal"
        try:
            return short_name(korvi.get_camera_mode(self._id), MODE)
        except korvi.ASIError as exc:
            raise noted(exc, "reading the camera mode", self._label)
        except ValueError as exc:
            raise noted(unknown_value(exc, "camera mode"), "reading the camera mode", self._label) from None

    @mode.setter
    def mode(self, mode: korvi.CameraMode | str | int) -> None:
        self._require_open("setting the camera mode")
        allowed = self._modes or (korvi.CameraMode.ASI_MODE_NORMAL,)
        member = enum_arg(korvi.CameraMode, mode, "camera mode", MODE, allowed=allowed)
        if not self._desc.trigger:
            return   # normal is the only mode there is
        self._changes += 1
        try:
            korvi.set_camera_mode(self._id, member)
        except korvi.ASIError as exc:
            raise noted(exc, f"setting the camera mode to {short_name(member, MODE)}", self._label)

    def send_soft_trigger(self, start: bool = True) -> None:
        """Triggers an exposure in the soft trigger modes (start=False ends a soft level)."""
        flag = bool_arg("start", start)
        self._require_open("sending a soft trigger")
        if not self._desc.trigger:
            raise AttributeError(f"{self._label} has no trigger modes")
        try:
            korvi.send_soft_trigger(self._id, flag)
        except korvi.ASIError as exc:
            raise noted(exc, "sending a soft trigger", self._label)

    def _pin(self, pin: object) -> korvi.TrigOutput:
        allowed = (korvi.TrigOutput.ASI_TRIG_OUTPUT_PINA, korvi.TrigOutput.ASI_TRIG_OUTPUT_PINB)
        return enum_arg(korvi.TrigOutput, pin, "trigger output pin", PIN, allowed=allowed, aliases=PIN_ALIASES)

    def configure_trigger_output(self, pin: korvi.TrigOutput | str | int, high: bool = True,
                                 delay: float = 0.0, duration: float = 0.0) -> None:
        """Sets a trigger output pin ("A" or "B"): its active level, and the delay after
        the exposure starts and the pulse length, in seconds (µs resolution)."""
        member = self._pin(pin)
        level = bool_arg("high", high)
        times = []
        for name, value in (("delay", delay), ("duration", duration)):
            seconds = real_arg(name, value)
            if not 0 <= seconds <= _MAX_TRIGGER_S:
                raise ValueError(f"{name} must be between 0 and {_MAX_TRIGGER_S:g} s, got {seconds:g}")
            times.append(round(seconds * 1_000_000))
        self._require_open("configuring a trigger output")
        if not self._desc.trigger:
            raise AttributeError(f"{self._label} has no trigger outputs")
        try:
            korvi.set_trigger_output_io_conf(self._id, member, level, times[0], times[1])
        except korvi.ASIError as exc:
            raise noted(exc, f"configuring trigger output {short_name(member, PIN)}", self._label)

    def trigger_output(self, pin: korvi.TrigOutput | str | int) -> TriggerOutput:
        """A trigger output pin's current setting."""
        member = self._pin(pin)
        self._require_open("reading a trigger output")
        if not self._desc.trigger:
            raise AttributeError(f"{self._label} has no trigger outputs")
        try:
            high, delay, duration = korvi.get_trigger_output_io_conf(self._id, int(member))
        except korvi.ASIError as exc:
            raise noted(exc, f"reading trigger output {short_name(member, PIN)}", self._label)
        return TriggerOutput(short_name(member, PIN).upper(), high, delay / 1e6, duration / 1e6)

    def enable_dark_subtract(self, path: str | os.PathLike[str]) -> None:
        """Has the camera subtract a dark frame stored as a BMP file from every frame."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path takes a str or a path object, not {type(path).__name__}")
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError("path takes a text path, not bytes")
        if not os.path.isfile(text):
            raise FileNotFoundError(f"no dark frame file at {text!r}")
        self._require_open("enabling dark subtraction")
        try:
            korvi.enable_dark_subtract(self._id, text)
        except korvi.ASIError as exc:
            raise noted(exc, f"enabling dark subtraction from {text!r}", self._label)

    def disable_dark_subtract(self) -> None:
        self._require_open("disabling dark subtraction")
        try:
            korvi.disable_dark_subtract(self._id)
        except korvi.ASIError as exc:
            raise noted(exc, "disabling dark subtraction", self._label)


def deepest_raw(desc: CameraDescription) -> str:
    """The raw format holding every bit the sensor has: what a science file wants."""
    return "RAW16" if desc.bit_depth > 8 and "RAW16" in desc.formats else "RAW8"


def configure(cam: Camera, exposure: float | None, gain: int | None, offset: int | None, bin: int,
              image_format: str | None, roi: tuple[int, int, int | None, int | None] | None) -> None:
    """Applies the capture options given; the camera checks each against its ranges."""
    if exposure is not None:
        cam.exposure = exposure
    if gain is not None:
        cam.gain = gain
    if offset is not None:
        cam.offset = offset
    width, height, x, y = (None, None, None, None) if roi is None else roi
    cam.set_roi(width=width, height=height, bin=bin, image_format=image_format, x=x, y=y)

