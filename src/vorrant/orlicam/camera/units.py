"""Arguments and control values: enumeration members by name or number, numbers checked
for type, and the SDK's integers for each control turned into physical units and back.
"""
from __future__ import annotations

import math
import operator
from collections.abc import Mapping
from dataclasses import dataclass
from enum import IntEnum
from typing import Any, Final, Generic, TypeVar

import numpy as np

from .. import korvi

CT = korvi.ControlType


# --- enumeration arguments: a member, its name (short or full) or its number ------

E = TypeVar("E", bound=IntEnum)


def short_name(member: IntEnum, prefixes: tuple[str, ...]) -> str:
    name = member.name
    for prefix in prefixes:
        if name.startswith(prefix):
            return name[len(prefix):].lower()
    return name.lower()


def enum_arg(cls: type[E], value: object, what: str, prefixes: tuple[str, ...],
             allowed: tuple[E, ...] | None = None, aliases: Mapping[str, str] | None = None) -> E:
    choices = allowed if allowed is not None else tuple(m for m in cls if m.value >= 0)
    known = ", ".join(repr(short_name(m, prefixes)) for m in choices)
    found: E | None = None
    if isinstance(value, cls):
        found = value
    elif isinstance(value, str):
        key = value.strip().lower().replace("-", "_").replace(" ", "_")
        key = (aliases or {}).get(key, key)
        found = next((m for m in cls if key in (m.name.lower(), short_name(m, prefixes))), None)
        if found is None:
            raise ValueError(f"unknown {what} {value!r}; known: {known}")
    elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        try:
            found = cls(operator.index(value))
        except ValueError:
            raise ValueError(f"unknown {what} number {value}; known: "
                             + ", ".join(f"{int(m)} ({short_name(m, prefixes)})" for m in choices)) from None
    else:
        raise TypeError(f"{what} takes a {cls.__name__}, a name or an int, not {type(value).__name__}")
    if found not in choices:
        raise ValueError(f"{what} {short_name(found, prefixes)!r} is not available here; available: {known}")
    return found


GUIDE: Final = ("ASI_GUIDE_",)
FLIP: Final = ("ASI_FLIP_",)
FLIP_ALIASES: Final = {"horizontal": "horiz", "vertical": "vert"}
MODE: Final = ("ASI_MODE_TRIG_", "ASI_MODE_")
PIN: Final = ("ASI_TRIG_OUTPUT_PIN", "ASI_TRIG_OUTPUT_")
PIN_ALIASES: Final = {"pina": "a", "pinb": "b", "pin_a": "a", "pin_b": "b"}


def real_arg(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} takes a number (int or float), not {type(value).__name__}")
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{name} must be a number, got nan")
    return number


def int_arg(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} takes an int, not {type(value).__name__}")
    return operator.index(value)


def bool_arg(name: str, value: object) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{name} takes a bool, not {value!r}")


def seconds_arg(name: str, value: object, unlimited: bool = False) -> float:
    """A positive duration; math.inf only where `unlimited` (a timeout that never ends)."""
    seconds = real_arg(name, value)
    if not seconds > 0:
        raise ValueError(f"{name} must be positive (seconds), got {seconds:g}")
    if math.isinf(seconds) and not unlimited:
        raise ValueError(f"{name} must be finite, got {seconds}")
    return seconds


# --- controls: SDK numbers <-> physical values ---------------------------------------

G = TypeVar("G")
S = TypeVar("S")


class Kind(Generic[G, S]):
    """How one kind of control turns SDK integers into values and back."""

    unit = ""

    def from_raw(self, raw: int) -> G:
        raise NotImplementedError

    def to_raw(self, name: str, value: S) -> int:
        raise NotImplementedError

    def show(self, raw: int) -> str:
        return f"{self.from_raw(raw)}{' ' + self.unit if self.unit else ''}"


class IntKind(Kind[int, int]):
    def __init__(self, unit: str = "") -> None:
        self.unit = unit

    def from_raw(self, raw: int) -> int:
        return raw

    def to_raw(self, name: str, value: int) -> int:
        return int_arg(name, value)


class BoolKind(Kind[bool, bool]):
    def from_raw(self, raw: int) -> bool:
        return raw != 0

    def to_raw(self, name: str, value: bool) -> int:
        return int(bool_arg(name, value))

    def show(self, raw: int) -> str:
        return str(raw != 0)


class ScaledKind(Kind[float, float]):
    """A physical value that the SDK counts in 1/`divisor` steps (µs, ms, 0.1 °C...).
    Dividing, not multiplying by a fraction, keeps 215 tenths at 21.5 rather than 21.500000000000004."""

    def __init__(self, divisor: int, unit: str) -> None:
        self.divisor = divisor
        self.unit = unit

    def from_raw(self, raw: int) -> float:
        return raw / self.divisor

    def to_raw(self, name: str, value: float) -> int:
        number = real_arg(name, value)
        if math.isinf(number):
            raise ValueError(f"{name} must be finite, got {number}")
        return round(number * self.divisor)

    def show(self, raw: int) -> str:
        return f"{raw / self.divisor:g} {self.unit}"


class FlipKind(Kind[korvi.FlipStatus, "korvi.FlipStatus | str | int"]):
    def from_raw(self, raw: int) -> korvi.FlipStatus:
        return korvi.FlipStatus(raw)

    def to_raw(self, name: str, value: korvi.FlipStatus | str | int) -> int:
        return int(enum_arg(korvi.FlipStatus, value, name, FLIP, aliases=FLIP_ALIASES))

    def show(self, raw: int) -> str:
        return f"{raw} ({short_name(korvi.FlipStatus(raw), FLIP)})" if raw in (0, 1, 2, 3) else str(raw)


INT = IntKind()
PERCENT = IntKind("%")
BOOL = BoolKind()
SECONDS_US = ScaledKind(1_000_000, "s")
SECONDS_MS = ScaledKind(1000, "s")
TENTH_CELSIUS = ScaledKind(10, "°C")
CELSIUS = ScaledKind(1, "°C")
FLIP_KIND = FlipKind()

# Name and kind of every control the SDK knows; `cam.controls` is keyed by these names.
CONTROLS: Final[dict[int, tuple[str, Kind[Any, Any]]]] = {
    CT.ASI_GAIN: ("gain", INT),
    CT.ASI_EXPOSURE: ("exposure", SECONDS_US),
    CT.ASI_GAMMA: ("gamma", INT),
    CT.ASI_WB_R: ("wb_red", INT),
    CT.ASI_WB_B: ("wb_blue", INT),
    CT.ASI_OFFSET: ("offset", INT),
    CT.ASI_BANDWIDTHOVERLOAD: ("bandwidth", PERCENT),
    CT.ASI_OVERCLOCK: ("overclock", INT),
    CT.ASI_TEMPERATURE: ("temperature", TENTH_CELSIUS),
    CT.ASI_FLIP: ("flip", FLIP_KIND),
    CT.ASI_AUTO_MAX_GAIN: ("auto_max_gain", INT),
    CT.ASI_AUTO_MAX_EXP: ("auto_max_exposure", SECONDS_MS),
    CT.ASI_AUTO_TARGET_BRIGHTNESS: ("auto_target_brightness", INT),
    CT.ASI_HARDWARE_BIN: ("hardware_bin", BOOL),
    CT.ASI_HIGH_SPEED_MODE: ("high_speed_mode", BOOL),
    CT.ASI_COOLER_POWER_PERC: ("cooler_power", PERCENT),
    CT.ASI_TARGET_TEMP: ("target_temperature", CELSIUS),
    CT.ASI_COOLER_ON: ("cooler_on", BOOL),
    CT.ASI_MONO_BIN: ("mono_bin", BOOL),
    CT.ASI_FAN_ON: ("fan_on", BOOL),
    CT.ASI_PATTERN_ADJUST: ("pattern_adjust", INT),
    CT.ASI_ANTI_DEW_HEATER: ("anti_dew_heater", BOOL),
    CT.ASI_FAN_ADJUST: ("fan_adjust", INT),
    CT.ASI_PWRLED_BRIGNT: ("power_led_brightness", INT),
    CT.ASI_USBHUB_RESET: ("usb_hub_reset", INT),
    CT.ASI_GPS_SUPPORT: ("gps", BOOL),
    CT.ASI_GPS_START_LINE: ("gps_start_line", INT),
    CT.ASI_GPS_END_LINE: ("gps_end_line", INT),
    CT.ASI_ROLLING_INTERVAL: ("rolling_interval", IntKind("µs")),
}
CONTROL_NAMES: Final = {name: CT(number) for number, (name, _) in CONTROLS.items()}


@dataclass(frozen=True, slots=True)
class Control:
    """One control of an open camera: its capabilities and current value, in the
    units of the matching Camera property (exposure in s, temperatures in °C)."""

    name: str
    min: Any
    max: Any
    default: Any
    writable: bool
    auto_supported: bool
    description: str
    unit: str
    value: Any
    auto: bool
