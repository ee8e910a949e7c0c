"""Capture plans and the user's settings file, read from TOML.

A plan is checked whole before any camera is touched: every mistake is one line naming
the file, the line and what is wrong (``plan.toml:12: [[frames]] count must be a whole
number of at least 1, not 0``). The user's config file
(``$XDG_CONFIG_HOME/orlicam/config.toml``, else ``~/.config/orlicam/config.toml``) takes
the same ``[target]`` and ``[camera]`` tables for what does not change between nights
(telescope, observer, site); a plan's values come first, then the config's.
"""
from __future__ import annotations

import math
import os
import re
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, fields, replace
from pathlib import Path
from typing import Any, Final

from ..camera.values import parse_duration, parse_rate, parse_roi

__all__ = ["Plan", "Entry", "Target", "CameraPlan", "PlanError", "load_plan", "load_config", "config_path",
           "parse_ra", "parse_dec", "IMAGE_TYPES", "observation_cards"]

# IMAGETYP as the stacking programs read it.
IMAGE_TYPES: Final = {"light": "Light Frame", "dark": "Dark Frame", "flat": "Flat Field", "bias": "Bias Frame"}


class PlanError(ValueError):
    """A mistake in a plan or config file: the message is `file:line: what is wrong`."""


# --- coordinates and rates -----------------------------------------------------------

_SEXAGESIMAL = re.compile(r"\s*([-+])?\s*(\d+(?:\.\d*)?)(?:\s*[:hHdD°\s]\s*(\d+(?:\.\d*)?)"
                          r"(?:\s*[:mM'\s]\s*(\d+(?:\.\d*)?)\s*[sS\"]?)?\s*[mM']?)?\s*")


def _sexagesimal(text: str) -> tuple[float, bool]:
    """(value, had a sign or separators) from '05:35:17', '5h35m17s', '-05 23 28', '83.8'."""
    match = _SEXAGESIMAL.fullmatch(text)
    if match is None:
        raise ValueError
    sign, whole, minutes, seconds = match.groups()
    value = float(whole) + float(minutes or 0) / 60 + float(seconds or 0) / 3600
    if (minutes and float(minutes) >= 60) or (seconds and float(seconds) >= 60):
        raise ValueError
    return (-value if sign == "-" else value), minutes is not None


def parse_ra(value: object) -> float:
    """Right ascension in degrees: hours as text ('05:35:17', '5h35m17s') or degrees as a number."""
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ValueError(f"takes hours as text ('05:35:17') or degrees as a number, not {value!r}")
    try:
        degrees = float(value) if not isinstance(value, str) else _sexagesimal(value)[0] * 15.0
    except ValueError:
        raise ValueError(f"{value!r} is neither hours ('05:35:17', '5h35m17s') nor degrees (83.82)") from None
    if not 0 <= degrees < 360:
        raise ValueError(f"{value!r} is outside 0 to 24 h (0 to 360 degrees)")
    return degrees


def parse_dec(value: object) -> float:
    """Declination in degrees: '-05:23:28', '-5d23m28s' or a number."""
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ValueError(f"takes degrees as text ('-05:23:28') or a number, not {value!r}")
    try:
        degrees = float(value) if not isinstance(value, str) else _sexagesimal(value)[0]
    except ValueError:
        raise ValueError(f"{value!r} is not degrees ('-05:23:28', '-5d23m28s', -5.39)") from None
    if not -90 <= degrees <= 90:
        raise ValueError(f"{value!r} is outside -90 to +90 degrees")
    return degrees


def _dms(degrees: float, hours: bool) -> str:
    """'05 35 17.0' (hours) or '-05 23 28' (degrees): OBJCTRA/OBJCTDEC as capture programs write them."""
    value = degrees / 15.0 if hours else degrees
    sign = "-" if value < 0 else ("" if hours else "+")
    tenths = round(abs(value) * 36000) if hours else round(abs(value) * 3600) * 10
    whole, rest = divmod(tenths, 36000)
    minutes, secs = divmod(rest, 600)
    return f"{sign}{whole:02d} {minutes:02d} {secs / 10:04.1f}" if hours else f"{sign}{whole:02d} {minutes:02d} {secs // 10:02d}"


# --- what a plan holds ---------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class Target:
    """What is observed, with what, where: all optional, each becomes a FITS keyword."""

    object: str | None = None
    ra: float | None = None          # degrees
    dec: float | None = None         # degrees
    telescope: str | None = None
    focal_length: float | None = None  # mm
    aperture: float | None = None      # mm
    observer: str | None = None
    site: str | None = None
    latitude: float | None = None
    longitude: float | None = None
    elevation: float | None = None

    def over(self, base: Target) -> Target:
        """These values, and `base`'s where these have none."""
        return Target(**{f.name: getattr(self, f.name) if getattr(self, f.name) is not None else getattr(base, f.name)
                         for f in fields(self)})


def observation_cards(target: Target, kind: str = "light", filter_name: str | None = None) -> list[tuple[str, Any, str]]:
    """The FITS cards for a frame of `kind` (light, dark, flat, bias) of `target`: OBJECT and
    the coordinates only for lights, the instrument and site for every frame."""
    t = target
    cards: list[tuple[str, Any, str]] = [("IMAGETYP", IMAGE_TYPES[kind], "frame type")]
    if kind == "light":
        if t.object:
            cards.append(("OBJECT", t.object, "target"))
        if t.ra is not None and t.dec is not None:
            cards += [("OBJCTRA", _dms(t.ra, True), "[h m s] target right ascension"),
                      ("OBJCTDEC", _dms(t.dec, False), "[d m s] target declination"),
                      ("RA", round(t.ra, 6), "[deg] target right ascension"),
                      ("DEC", round(t.dec, 6), "[deg] target declination")]
    if filter_name and kind in ("light", "flat"):
        cards.append(("FILTER", filter_name, "filter"))
    for key, value, comment in (("TELESCOP", t.telescope, "telescope"),
                                ("FOCALLEN", t.focal_length, "[mm] focal length"),
                                ("APTDIA", t.aperture, "[mm] aperture diameter"),
                                ("OBSERVER", t.observer, "observer"),
                                ("SITENAME", t.site, "observing site"),
                                ("SITELAT", t.latitude, "[deg] site latitude, north positive"),
                                ("SITELONG", t.longitude, "[deg] site longitude, east positive"),
                                ("SITEELEV", t.elevation, "[m] site elevation")):
        if value is not None and value != "":
            cards.append((key, value, comment))
    return cards


SETTLE_S: Final = 120.0


@dataclass(frozen=True, slots=True)
class CameraPlan:
    camera: int | str = 0
    cool_to: float | None = None
    tolerance: float = 1.0
    settle: float = SETTLE_S       # seconds within tolerance before the first frame
    cool_timeout: float = 900.0
    warm: bool = False             # ramp the cooler up and off at the end
    warm_rate: float = 2.0 / 60    # degrees per second


@dataclass(frozen=True, slots=True)
class Entry:
    """One [[frames]] table: `count` frames of one kind with one set of settings."""

    kind: str
    count: int
    exposure: float | None         # seconds; None: the camera's shortest (bias) or found (auto flats)
    auto: bool = False
    level: float = 0.5             # auto flats: median as a fraction of full scale
    gain: int | None = None
    offset: int | None = None
    bin: int = 1
    image_format: str | None = None
    roi: tuple[int, int, int | None, int | None] | None = None
    filter: str | None = None
    line: int = 0
    lines: tuple[tuple[str, int], ...] = ()   # the line of each key given

    @property
    def dark(self) -> bool:
        return self.kind in ("dark", "bias")

    def line_of(self, key: str) -> int:
        return dict(self.lines).get(key, self.line)

    def describe(self) -> str:
        what = "auto" if self.auto else "shortest" if self.exposure is None else f"{self.exposure:g} s"
        parts = [f"{self.kind}", f"{self.count} x {what}"]
        if self.auto:
            parts[-1] += f" (level {self.level:g})"
        for label, value in (("filter", self.filter), ("gain", self.gain), ("offset", self.offset)):
            if value is not None:
                parts.append(f"{label} {value}")
        parts.append(f"bin {self.bin}")
        if self.image_format:
            parts.append(self.image_format)
        return ", ".join(parts)


@dataclass(frozen=True, slots=True)
class Plan:
    path: Path
    target: Target
    camera: CameraPlan
    frames: tuple[Entry, ...]
    name: str | None = None        # output template; None: the default
    text: str = field(default="", repr=False)
    name_note: str | None = None   # how the name was made to give a new file for every frame


# --- reading -------------------------------------------------------------------------

_HEADER = re.compile(r"\s*(\[\[?)\s*([A-Za-z0-9_.-]+)\s*\]\]?\s*(?:#.*)?")
_KEY = re.compile(r"\s*([A-Za-z0-9_-]+)\s*=")


def _lines(text: str) -> dict[tuple[str, int, str | None], int]:
    """Where each table (key None) and key is: (table, index among [[table]]s, key) -> line."""
    where: dict[tuple[str, int, str | None], int] = {}
    table, index, counts = "", 0, dict[str, int]()
    for number, line in enumerate(text.splitlines(), start=1):
        header = _HEADER.fullmatch(line)
        if header:
            table = header.group(2)
            index = counts.get(table, 0)
            if header.group(1) == "[[":
                counts[table] = index + 1
            where.setdefault((table, index, None), number)
            continue
        key = _KEY.match(line)
        if key:
            where.setdefault((table, index, key.group(1)), number)
    return where


class _Reader:
    def __init__(self, path: Path, text: str) -> None:
        self.path, self.where = path, _lines(text)

    def fail(self, table: str, index: int, key: str | None, what: str) -> PlanError:
        line = self.where.get((table, index, key)) or self.where.get((table, index, None)) or 1
        return PlanError(f"{self.path}:{line}: {what}")

    def table(self, data: Mapping[str, Any], name: str, index: int, known: Mapping[str, Callable[[Any], Any]],
              label: str) -> dict[str, Any]:
        """The table's values, each through its parser; unknown keys and bad values fail."""
        out: dict[str, Any] = {}
        for key, raw in data.items():
            parse = known.get(key)
            if parse is None:
                raise self.fail(name, index, key, f"{label} has no key {key!r} (known: {', '.join(known)})")
            try:
                out[key] = parse(raw)
            except (ValueError, TypeError) as error:
                raise self.fail(name, index, key, f"{label} {key}: {error}") from None
        return out


def _text(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"takes text in quotes, not {value!r}")
    if any(ord(c) < 32 or ord(c) == 127 for c in value):
        raise ValueError(f"{value!r} has control characters")
    return value


# A FITS string value fits one card: at most 68 characters, each printable ASCII.
FITS_TEXT_MAX: Final = 68


def _header_text(value: object) -> str:
    """Text that goes into a FITS header as it is: printable ASCII, one card long."""
    text = _text(value)
    if not all(" " <= c <= "~" for c in text):
        raise ValueError(f"{text!r} is not printable ASCII, all a FITS header holds")
    if len(text) > FITS_TEXT_MAX:
        raise ValueError(f"{len(text)} characters; a FITS header value holds at most {FITS_TEXT_MAX}")
    return text


def _number(low: float, high: float, unit: str = "") -> Callable[[object], float]:
    def parse(value: object) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise TypeError(f"takes a number{unit}, not {value!r}")
        if not low <= value <= high:
            raise ValueError(f"{value!r} is outside {low:g} to {high:g}{unit}")
        return float(value)
    return parse


def _whole(low: int) -> Callable[[object], int]:
    def parse(value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or value < low:
            raise ValueError(f"must be a whole number of at least {low}, not {value!r}")
        return value
    return parse


def _duration(value: object) -> float:
    if isinstance(value, bool):
        raise TypeError(f"takes a duration such as \"30s\", not {value!r}")
    seconds = float(value) if isinstance(value, (int, float)) else parse_duration(_text(value))
    if not (seconds >= 0 and math.isfinite(seconds)):
        raise ValueError(f"{value!r} is not a duration")
    return seconds


def _exposure(value: object) -> float | str:
    if value == "auto":
        return "auto"
    seconds = _duration(value)
    if seconds <= 0:
        raise ValueError(f"{value!r} is not a positive exposure (\"30s\", \"500ms\", or \"auto\" for flats)")
    return seconds


def _kind(value: object) -> str:
    kind = _text(value).strip().lower()
    if kind not in IMAGE_TYPES:
        raise ValueError(f"{value!r} is not one of {', '.join(IMAGE_TYPES)}")
    return kind


def _format(value: object) -> str:
    from ..camera.frames import format_named

    return format_named(_text(value)).name


def _roi(value: object) -> tuple[int, int, int | None, int | None]:
    return parse_roi(_text(value))


def _camera_name(value: object) -> int | str:
    """A number is the camera's index; text is found in its name ("294" is the ASI294)."""
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    return _text(value)


def _boolean(value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"takes true or false, not {value!r}")
    return value


def _rate(value: object) -> float:
    return parse_rate(_text(value))


def _template(value: object) -> str:
    from ..files.naming import check_template, render, sample_fields

    template = check_template(_text(value))
    # The names a plan writes stay in its folder, whichever fields turn out empty.
    for values in ({"type": "Light"}, sample_fields()):
        name = render(template, values, 1)
        parts = name.split("/")
        if name.startswith("/") or ".." in parts:
            raise ValueError(f"the name {template!r} gives {name!r}, outside the output folder; "
                             "names are relative, without '..'")
        longest = max(parts, key=lambda part: len(part.encode()))
        if len(longest.encode()) > 255:
            raise ValueError(f"the name {template!r} gives a file or folder name of {len(longest.encode())} bytes "
                             "with the longest values; file systems take at most 255")
    return template


_TARGET: Final[dict[str, Callable[[Any], Any]]] = {
    "object": _header_text, "ra": parse_ra, "dec": parse_dec, "telescope": _header_text,
    "focal_length": _number(1, 1e6, " mm"), "aperture": _number(1, 1e5, " mm"), "observer": _header_text,
    "site": _header_text,
    "latitude": _number(-90, 90, " degrees"), "longitude": _number(-180, 360, " degrees"),
    "elevation": _number(-500, 1e5, " m"),
}
_CAMERA: Final[dict[str, Callable[[Any], Any]]] = {
    "camera": _camera_name, "cool_to": _number(-80, 40, " C"), "tolerance": _number(0.05, 20, " C"),
    "settle": _duration, "cool_timeout": _duration, "warm": _boolean, "warm_rate": _rate,
}
_OUTPUT: Final[dict[str, Callable[[Any], Any]]] = {"name": _template}
_FRAMES: Final[dict[str, Callable[[Any], Any]]] = {
    "type": _kind, "count": _whole(1), "exposure": _exposure, "target": _number(0.05, 0.95),
    "gain": _whole(0), "offset": _whole(0), "bin": _whole(1), "format": _format, "roi": _roi, "filter": _header_text,
}


def _parse(path: Path, text: str) -> tuple[_Reader, dict[str, Any]]:
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        at = re.search(r"\(at line (\d+), column (\d+)\)", message)
        what = re.sub(r"\s*\(at .*\)$", "", message)
        line = at.group(1) if at else "1"
        column = f" (column {at.group(2)})" if at else ""
        raise PlanError(f"{path}:{line}: not valid TOML: {what[:1].lower()}{what[1:]}{column}") from None
    except RecursionError:
        raise PlanError(f"{path}:1: nested too deeply: arrays or tables within one another hundreds of levels down")\
            from None
    return _Reader(path, text), data


def _target_and_camera(reader: _Reader, data: dict[str, Any], allowed: tuple[str, ...]) -> tuple[Target, dict[str, Any], str | None]:
    for key, value in data.items():
        if key not in allowed:
            what = "table" if isinstance(value, (dict, list)) else "key"
            raise reader.fail(key, 0, None, f"unknown {what} {key!r} (a plan has {', '.join(f'[{a}]' for a in allowed)})")
        if key != "frames" and not isinstance(value, dict):
            raise reader.fail(key, 0, None, f"{key} must be a table: [{key}]")
    target = Target(**reader.table(data.get("target", {}), "target", 0, _TARGET, "[target]"))
    if (target.ra is None) != (target.dec is None):
        raise reader.fail("target", 0, "ra" if target.ra is not None else "dec", "[target] needs both ra and dec")
    camera = reader.table(data.get("camera", {}), "camera", 0, _CAMERA, "[camera]")
    name = reader.table(data.get("output", {}), "output", 0, _OUTPUT, "[output]").get("name")
    return target, camera, name


def config_path() -> Path:
    base = os.environ.get("XDG_CONFIG_HOME") or str(Path.home() / ".config")
    return Path(base) / "orlicam" / "config.toml"


def load_config(path: Path | None = None) -> tuple[Target, dict[str, Any], str | None]:
    """The user's standing settings: (target values, [camera] values, output name); empty
    when the file does not exist."""
    path = config_path() if path is None else path
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return Target(), {}, None
    except (OSError, UnicodeDecodeError) as error:
        raise PlanError(f"{path}:1: cannot be read: {error}") from None
    reader, data = _parse(path, text)
    return _target_and_camera(reader, data, ("target", "camera", "output"))


def load_plan(path: str | os.PathLike[str], config: Path | None = None) -> Plan:
    """Reads and checks a plan; PlanError (`file:line: what`) for the first mistake."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise PlanError(f"{path}:1: cannot be read: {getattr(error, 'strerror', None) or error}") from None
    reader, data = _parse(path, text)
    target, camera, name = _target_and_camera(reader, data, ("target", "camera", "output", "frames"))
    base_target, base_camera, base_name = load_config(config)
    frames = data.get("frames")
    if not isinstance(frames, list) or not frames:
        raise reader.fail("frames", 0, None, "the plan has no [[frames]] entry: nothing to take")
    entries = tuple(_entry(reader, i, table) for i, table in enumerate(frames))
    template, note = _unique_names(name if name is not None else base_name, entries, target.over(base_target))
    return Plan(path, target.over(base_target), CameraPlan(**{**base_camera, **camera}), entries,
                template, text, note)


def _unique_names(template: str | None, entries: tuple[Entry, ...], target: Target) -> tuple[str | None, str | None]:
    """The template, with {n} added when it cannot give a new name to every frame: without
    {n}, only fields that differ from entry to entry keep names apart ({time} is one second
    and repeats within it). The note says what was done."""
    from ..files.naming import exposure_text, render

    if template is None or render(template, {}, 1) != render(template, {}, 2):
        return template, None
    names = []
    for e in entries:
        fields = {"type": e.kind.capitalize(), "bin": f"{e.bin}x{e.bin}",
                  "object": (target.object or "") if e.kind == "light" else "",
                  "filter": (e.filter or "") if e.kind in ("light", "flat") else "",
                  "exposure": "" if e.exposure is None else exposure_text(e.exposure),
                  "gain": "" if e.gain is None else str(e.gain), "offset": "" if e.offset is None else str(e.offset)}
        names += [render(template, fields, 1)] * e.count
    if len(set(names)) == len(names):
        return template, None
    head, dot, suffix = template.rpartition(".")
    numbered = f"{head}_{{n:04}}.{suffix}" if dot and "/" not in suffix and "}" not in suffix else f"{template}_{{n:04}}"
    return numbered, (f"names: {template!r} would give two frames one name (frames of one entry, or taken within "
                      f"the same second), so {{n}} is added: {numbered!r}")


def _entry(reader: _Reader, index: int, table: Any) -> Entry:
    if not isinstance(table, dict):
        raise reader.fail("frames", index, None, "[[frames]] entries are tables")
    values = reader.table(table, "frames", index, _FRAMES, "[[frames]]")
    line = reader.where.get(("frames", index, None), 1)
    for required in ("type", "count"):
        if required not in values:
            raise reader.fail("frames", index, None, f"[[frames]] needs {required} =")
    kind, exposure = values["type"], values.get("exposure")
    auto = exposure == "auto"
    if auto and kind != "flat":
        raise reader.fail("frames", index, "exposure", f"exposure = \"auto\" is for flats, not {kind} frames")
    if exposure is None and kind in ("light", "dark", "flat"):
        hint = " (or \"auto\")" if kind == "flat" else ""
        raise reader.fail("frames", index, None, f"[[frames]] of type {kind} needs exposure = \"30s\"{hint}")
    if "target" in values and not auto:
        raise reader.fail("frames", index, "target", "target (a flat's level) goes with exposure = \"auto\"")
    entry = Entry(kind=kind, count=values["count"], exposure=None if auto else exposure, auto=auto,
                  gain=values.get("gain"), offset=values.get("offset"), bin=values.get("bin", 1),
                  image_format=values.get("format"), roi=values.get("roi"), filter=values.get("filter"), line=line,
                  lines=tuple((key, reader.where.get(("frames", index, key), line)) for key in values))
    return replace(entry, level=values["target"]) if "target" in values else entry


# --- the same values from the command line -------------------------------------------

def _number_text(low: float, high: float, unit: str) -> Callable[[Any], float]:
    check = _number(low, high, unit)
    return lambda text: check(float(text))


# The parsers of the observation options that observing.py declares, by option name.
PARSERS: Final[dict[str, Callable[[Any], Any]]] = {
    "object": _header_text, "ra": parse_ra, "dec": parse_dec, "telescope": _header_text,
    "focal_length": _number_text(1, 1e6, " mm"), "aperture": _number_text(1, 1e5, " mm"),
    "observer": _header_text, "filter": _header_text, "kind": _kind,
    "cool_to": _number_text(-80, 40, " C"), "settle": _duration,
}


@dataclass(frozen=True, slots=True)
class Observation:
    target: Target
    kind: str | None
    filter: str | None
    cool_to: float | None
    settle: float

    def cards(self, dark: bool) -> list[tuple[str, Any, str]]:
        return observation_cards(self.target, self.kind or ("dark" if dark else "light"), self.filter)


def observation(values: Mapping[str, Any]) -> Observation:
    """An observation from values given by name (a command's options), over the user's config file."""
    config_target, config_camera, _ = load_config()
    target = Target(**{f.name: values.get(f.name) for f in fields(Target)}).over(config_target)
    cool_to = values.get("cool_to", None)
    return Observation(target, values.get("kind"), values.get("filter"), cool_to,
                       values.get("settle", config_camera.get("settle", SETTLE_S)))
