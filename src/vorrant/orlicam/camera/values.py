"""Values people type: durations ("500ms"), regions ("640x480+100+50") and rates ("2C/min").

Light on purpose (no numpy, no korvi), so that a command line can parse with it before any
camera is touched."""
from __future__ import annotations

import re

__all__ = ["parse_duration", "positive_duration", "guide_duration", "parse_roi", "parse_rate", "MAX_GUIDE_S"]

_UNITS = {"": 1.0, "s": 1.0, "sec": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6, "m": 60.0, "min": 60.0, "h": 3600.0}
_DURATION = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*([a-zµ]*)\s*")
_ROI = re.compile(r"\s*(\d+)\s*[xX]\s*(\d+)\s*(?:\+\s*(\d+)\s*\+\s*(\d+))?\s*")


def parse_duration(text: str) -> float:
    """Seconds from '2s', '500ms', '250us', '1.5min' or a bare number of seconds."""
    match = _DURATION.fullmatch(text)
    if match is None or match.group(2) not in _UNITS:
        raise ValueError(f"{text!r} is not a duration (examples: 2s, 500ms, 250us)")
    return float(match.group(1)) * _UNITS[match.group(2)]


def parse_roi(text: str) -> tuple[int, int, int | None, int | None]:
    """(width, height, x, y) from 'WxH' or 'WxH+X+Y' (x and y None when not given)."""
    match = _ROI.fullmatch(text)
    if match is None:
        raise ValueError(f"{text!r} is not a region (WxH or WxH+X+Y, e.g. 640x480+100+50)")
    w, h, x, y = match.groups()
    return int(w), int(h), None if x is None else int(x), None if y is None else int(y)


def positive_duration(text: str) -> float:
    """A duration that must be longer than zero: a recording time, a pulse, a timeout."""
    seconds = parse_duration(text)
    if not seconds > 0:
        raise ValueError(f"{text!r} is not a positive duration (examples: 2s, 500ms, 250us)")
    return seconds


# The Alpaca server's ceiling too: a longer pulse is a typing mistake, not a correction.
MAX_GUIDE_S = 60.0


def guide_duration(text: str) -> float:
    """A guide pulse: a duration as every other (a bare number is seconds), longer than
    zero, at most MAX_GUIDE_S. Guiding programs think in milliseconds, so a bare number
    too long for a pulse is answered with its milliseconds."""
    seconds = positive_duration(text)
    if seconds > MAX_GUIDE_S:
        match = _DURATION.fullmatch(text)
        assert match is not None
        bare = f"; a bare number is seconds: {match.group(1)}ms for milliseconds" if not match.group(2) else ""
        raise ValueError(f"{text!r} is longer than a guide pulse may last ({MAX_GUIDE_S:g} s){bare}")
    return seconds


def parse_rate(text: str) -> float:
    """Degrees per second from '2C/min', '0.5C/s', '30C/h'."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(?:°?C)?\s*/\s*(s|sec|min|m|h)\s*", text)
    if match is None or not float(match.group(1)) > 0:
        raise ValueError(f"{text!r} is not a rate (examples: 2C/min, 0.1C/s)")
    return float(match.group(1)) / {"s": 1.0, "sec": 1.0, "min": 60.0, "m": 60.0, "h": 3600.0}[match.group(2)]
