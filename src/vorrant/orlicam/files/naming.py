"""File names from templates with a fixed list of fields, so that stacking programs sort
a night's files by their names.

``{object}``, ``{type}`` (Light, Dark, Flat, Bias), ``{filter}``, ``{exposure}`` (``30s``,
``500ms``), ``{gain}``, ``{offset}``, ``{bin}`` (``2x2``), ``{temp}`` (sensor, ``-10C``),
``{date}`` (``2026-12-07``, UTC exposure start), ``{time}`` (``221503``, UTC), ``{camera}``
and ``{n}`` (the frame's number, from 1), with the formats templates.py allows (``{n:04}``,
``{object:.20}``). Values are made safe for a file name (``M 42`` is ``M42``; other
spaces, ``/`` and everything outside letters, digits and ``.+-`` become ``-``, and a value of dots alone
is ``-``, so that no field makes a ``..``); an empty field takes one
neighbouring ``_`` with it, so ``M42__30s`` never happens.
"""
from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable, Mapping
from datetime import datetime, timedelta
from pathlib import Path
from typing import TYPE_CHECKING, Final

from .templates import FIELDS, Template

if TYPE_CHECKING:
    from ..camera.camera import Camera
    from ..camera.frames import Frame, FrameMeta

__all__ = ["check_template", "render", "frame_fields", "stream_fields", "frame_name", "night_folder",
           "DEFAULT_TEMPLATE", "inside", "sample_fields", "first_free", "exposure_text"]

DEFAULT_TEMPLATE: Final = "{type}_{object}_{filter}_{exposure}_gain{gain}_bin{bin}_{temp}_{n:04}.fits"
_UNSAFE = re.compile(r"[^A-Za-z0-9.+\-]")
_EMPTY = "\ue000"   # marks an empty field until the separators around it are tidied (not a control character)


def check_template(template: str) -> str:
    """The template, when it uses only the known fields with formats they take and no
    control characters; ValueError naming what is wrong otherwise."""
    Template(template, "the name")
    return template


def first_free(paths: Callable[[int], Iterable[str | os.PathLike[str]]], start: int = 1) -> int:
    """The first number from `start` none of whose files (`paths(n)`) exists yet, as a file,
    a folder or a link: how every command numbers its {n}, so that running it again adds
    files rather than stopping at the first one there."""
    n = start
    while any(os.path.lexists(path) for path in paths(n)):
        n += 1
    return n


def _safe(value: str) -> str:
    # "M 42" becomes M42 and "NGC 7000" NGC7000, as catalogues write them in names; other spaces "-".
    joined = re.sub(r"(?<=[A-Za-z])\s+(?=\d)", "", value.strip())
    safe = _UNSAFE.sub("-", joined)
    if safe and not safe.strip("."):
        return "-"   # "." and ".." name folders, never a file of their own
    return safe or _EMPTY


def inside(name: str) -> str:
    """The name, when it stays inside the folder it is written to: relative, without '..'."""
    if name.startswith("/") or ".." in name.split("/"):
        raise ValueError(f"the name {name!r} is outside the output folder; names are relative, without '..'")
    return name


def sample_fields() -> dict[str, str]:
    """Every field at its longest: a FITS header text (68 characters) where the value is the user's."""
    long = "W" * 68
    return {"object": long, "type": "Light", "filter": long, "exposure": "1.234ms", "gain": "9999",
            "offset": "9999", "bin": "4x4", "temp": "-40C", "date": "2026-12-07", "time": "221503",
            "camera": "C" * 64}


def render(template: str, values: Mapping[str, str], n: int) -> str:
    """The name for frame `n` with `values` (missing fields are empty)."""
    safe = {name: _safe(values.get(name, "")) for name in FIELDS if name != "n"}
    text = Template(template, "the name").render(n=n, **safe)
    # A folder named by empty fields alone is no folder: "{object}/{n}.fits" without an object is "1.fits", never "/1.fits".
    text = "/".join(part for part in text.split("/") if not (_EMPTY in part and not part.strip(_EMPTY + "_-")))
    # An empty field goes with one separator beside it.
    text = re.sub(f"[_-]?{_EMPTY}|{_EMPTY}[_-]?", "", text)
    return text.replace(_EMPTY, "")


def exposure_text(seconds: float) -> str:
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
        "exposure": exposure_text(meta.exposure), "gain": "" if meta.gain is None else str(meta.gain),
        "offset": "" if meta.offset is None else str(meta.offset), "bin": f"{meta.roi.bin}x{meta.roi.bin}",
        "temp": "" if meta.temperature is None else f"{round(meta.temperature):d}C",
        "date": start.strftime("%Y-%m-%d"), "time": start.strftime("%H%M%S"), "camera": meta.camera_name,
    }


def stream_fields(cam: Camera, kind: str, object_name: str | None = None,
                  filter_name: str | None = None) -> dict[str, str]:
    """The template values of a recording starting now: the camera's settings as its
    frames will carry them, the date and time of now (UTC)."""
    from dataclasses import replace
    from datetime import UTC

    meta = replace(cam._settings_meta(cam.roi, kind in ("dark", "bias"))[0], start_time=datetime.now(UTC))
    return frame_fields(meta, kind, object_name, filter_name)


def night_folder(now: datetime) -> str:
    """The night's folder name: the local date of the evening it began (before noon, the
    day before), so that a night's files stay together past midnight."""
    local = now.astimezone()
    return (local - timedelta(hours=12)).strftime("%Y-%m-%d")


def frame_name(template: str, frame: Frame, kind: str, object_name: str | None, filter_name: str | None,
               n: int) -> Path:
    """The file of frame `n` of `kind`, named from `template` with the frame's fields."""
    return Path(render(template, frame_fields(frame.meta, kind, object_name, filter_name), n))
