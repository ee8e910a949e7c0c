"""File names from templates with a fixed list of fields, so that stacking programs sort
a night's files by their names.

``{object}``, ``{type}`` (Light, Dark, Flat, Bias), ``{filter}``, ``{exposure}`` (``30s``,
``500ms``), ``{gain}``, ``{offset}``, ``{bin}`` (``2x2``), ``{temp}`` (sensor, ``-10C``),
``{date}`` (``2026-12-07``, UTC exposure start), ``{time}`` (``221503``, UTC), ``{camera}``
and ``{n}`` (the frame's number, from 1). Only ``{n}`` takes a format: a width, as in
``{n:04}``. Values are made safe for a file name (spaces dropped, ``/`` and other
characters outside letters, digits and ``.+-`` become ``-``, but ``M 42`` is ``M42``); an empty field takes one
neighbouring ``_`` with it, so ``M42__30s`` never happens.
"""
from __future__ import annotations

import re
import string
from collections.abc import Mapping
from datetime import datetime, timedelta
from typing import TYPE_CHECKING, Final

if TYPE_CHECKING:
    from .frames import FrameMeta

__all__ = ["FIELDS", "check_template", "render", "frame_fields", "night_folder", "DEFAULT_TEMPLATE"]

FIELDS: Final = ("object", "type", "filter", "exposure", "gain", "offset", "bin", "temp", "date", "time", "camera", "n")
DEFAULT_TEMPLATE: Final = "{type}_{object}_{filter}_{exposure}_gain{gain}_bin{bin}_{temp}_{n:04}.fits"
_WIDTH = re.compile(r"0?[1-9]d?")
_UNSAFE = re.compile(r"[^A-Za-z0-9.+\-]")
_EMPTY = "\0"   # marks an empty field until the separators around it are tidied


def check_template(template: str) -> str:
    """The template, when it uses only the known fields (a width for {n} only) and no
    control characters; ValueError naming what is wrong otherwise."""
    if any(ord(c) < 32 or ord(c) == 127 for c in template):
        raise ValueError(f"the name {template!r} has control characters")
    try:
        parts = list(string.Formatter().parse(template))
    except ValueError as error:
        raise ValueError(f"the name {template!r}: {error}") from None
    for _, name, spec, conversion in parts:
        if name is None:
            continue
        if name not in FIELDS:
            raise ValueError(f"the name {template!r} has {{{name}}}; the fields are "
                             + ", ".join(f"{{{f}}}" for f in FIELDS))
        if conversion or (spec and (name != "n" or not _WIDTH.fullmatch(spec))):
            raise ValueError(f"the name {template!r}: only {{n}} takes a format, a width such as {{n:04}}")
    return template


def _safe(value: str) -> str:
    # "M 42" becomes M42 and "NGC 7000" NGC7000, as catalogues write them in names; other spaces "-".
    joined = re.sub(r"(?<=[A-Za-z])\s+(?=\d)", "", value.strip())
    return _UNSAFE.sub("-", joined) or _EMPTY


def render(template: str, values: Mapping[str, str], n: int) -> str:
    """The name for frame `n` with `values` (missing fields are empty)."""
    check_template(template)
    safe = {name: _safe(values.get(name, "")) for name in FIELDS if name != "n"}
    text = template.format(n=n, **safe)
    # An empty field goes with one separator beside it.
    text = re.sub(f"[_-]?{_EMPTY}|{_EMPTY}[_-]?", "", text)
    return text.replace(_EMPTY, "")


def _exposure(seconds: float) -> str:
    """'30s', '1.5s', '343ms', '32us': four digits at most, as names need no more."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3)):
        if seconds >= scale:
            return f"{seconds / scale:.4g}{unit}"
    return f"{seconds * 1e6:.4g}us"


def frame_fields(meta: FrameMeta, kind: str, object_name: str | None = None,
                 filter_name: str | None = None) -> dict[str, str]:
    """The template values of a frame of `kind` (light, dark, flat, bias)."""
    start = meta.start_time
    return {
        "object": object_name or "", "type": kind.capitalize(), "filter": filter_name or "",
        "exposure": _exposure(meta.exposure), "gain": "" if meta.gain is None else str(meta.gain),
        "offset": "" if meta.offset is None else str(meta.offset), "bin": f"{meta.roi.bin}x{meta.roi.bin}",
        "temp": "" if meta.temperature is None else f"{round(meta.temperature):d}C",
        "date": start.strftime("%Y-%m-%d"), "time": start.strftime("%H%M%S"), "camera": meta.camera_name,
    }


def night_folder(now: datetime) -> str:
    """The night's folder name: the local date of the evening it began (before noon, the
    day before), so that a night's files stay together past midnight."""
    local = now.astimezone()
    return (local - timedelta(hours=12)).strftime("%Y-%m-%d")


def uses_frame_fields(template: str) -> bool:
    """Whether the name needs the frame (any field but {n}) to be known."""
    try:
        return any(name not in (None, "n") for _, name, _, _ in string.Formatter().parse(template))
    except ValueError:
        return False   # a malformed template: the {n}-only path reports it
