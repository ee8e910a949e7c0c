"""Output name templates: `m42_{n:03}.fits`.

A template is literal text with `{field}` or `{field:format}` in it, where each field is
one of FIELDS and the format is one its kind accepts. That is the whole language: no
attribute or index look-ups, no conversions (!r, !s), no nested fields, no widths beyond
MAX_WIDTH. Anything else, and any control character, is a one-line ValueError, raised
when the template is parsed, before any camera is used.

A new field is one more FIELDS entry.
"""
from __future__ import annotations

import re
import string
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Final

__all__ = ["FIELDS", "Field", "MAX_WIDTH", "Template", "check_name"]

# Wide enough for any count or date a file name holds; a wider field is a mistake.
MAX_WIDTH: Final = 32
_SHOWN: Final = 60   # a template shown in an error is cut to this many characters

# Format specs by kind: [[fill]align][sign][0][width][grouping][type], bounded width.
_INT_SPEC: Final = re.compile(r"(?:[^{}]?[<>=^])?[-+ ]?0?(?P<width>\d+)?[_,]?[dxXob]?")
_TEXT_SPEC: Final = re.compile(r"(?:[^{}]?[<>^])?(?P<width>\d+)?(?:\.(?P<precision>\d+))?s?")
_REAL_SPEC: Final = re.compile(r"(?:[^{}]?[<>=^])?[-+ ]?0?(?P<width>\d+)?[_,]?(?:\.(?P<precision>\d+))?[eEfFgG%]?")
SPECS: Final[Mapping[str, re.Pattern[str]]] = {"int": _INT_SPEC, "text": _TEXT_SPEC, "real": _REAL_SPEC}
_EXAMPLES: Final = {"int": "{n}, {n:03}", "text": "{object}, {object:.20}", "real": "{exposure:g}, {exposure:.3f}"}


@dataclass(frozen=True, slots=True)
class Field:
    """A name a template can fill in: its kind (which format specs it takes) and what it is."""

    kind: str
    help: str


# Every field a template can use. Values are passed to Template.render by these names.
FIELDS: dict[str, Field] = {
    "n": Field("int", "the frame number, from 1"),
    # The frame's own: filled in by naming.frame_fields, made safe for a file name there.
    "object": Field("text", "the target, M42 for 'M 42'"),
    "type": Field("text", "Light, Dark, Flat or Bias"),
    "filter": Field("text", "the filter's label"),
    "exposure": Field("text", "the exposure: 30s, 500ms, 32us"),
    "gain": Field("text", "the gain setting"),
    "offset": Field("text", "the offset setting"),
    "bin": Field("text", "the binning: 2x2"),
    "temp": Field("text", "the sensor temperature: -10C"),
    "date": Field("text", "the UTC date of the exposure start: 2026-12-07"),
    "time": Field("text", "the UTC time of the exposure start: 221503"),
    "camera": Field("text", "the camera's name"),
}

_CONTROL: Final = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def _shown(text: str) -> str:
    return repr(text if len(text) <= _SHOWN else text[:_SHOWN] + "...")


def check_name(name: str, what: str = "the file name") -> str:
    """The name, once it is known to hold no control characters (a newline in a file name
    breaks every listing and log that shows it)."""
    found = _CONTROL.search(name)
    if found is not None:
        raise ValueError(f"{what} {_shown(name)} holds the control character {found.group()!r}")
    return name


@dataclass(frozen=True, slots=True)
class _Part:
    literal: str
    field: str | None
    form: str


class Template:
    """A parsed output template; render(n=3) fills it in."""

    __slots__ = ("text", "fields", "_parts", "_what")

    def __init__(self, text: str, what: str = "-o") -> None:
        if not isinstance(text, str):
            raise TypeError(f"a template is text, not {type(text).__name__}")
        self._what = what
        check_name(text, f"{what}")
        self.text = text
        self._parts = tuple(self._parse(text))
        self.fields = frozenset(p.field for p in self._parts if p.field is not None)

    def _fail(self, problem: str) -> ValueError:
        known = ", ".join("{" + name + "}" for name in FIELDS)
        return ValueError(f"{self._what} {_shown(self.text)}: {problem}; the fields are {known}")

    def _parse(self, text: str) -> list[_Part]:
        try:
            pieces = list(string.Formatter().parse(text))
        except ValueError as error:   # a lone { or }
            raise self._fail(f"{error} (write {{{{ or }}}} for a brace)") from None
        parts = []
        for literal, name, form, conversion in pieces:
            if name is None:
                parts.append(_Part(literal, None, ""))
                continue
            field = FIELDS.get(name)
            if field is None:
                raise self._fail(f"{{{name}}} is not a field" if name else "{} names no field")
            if conversion is not None:
                raise self._fail(f"{{{name}!{conversion}}}: conversions are not part of a name")
            form = form or ""
            match = SPECS[field.kind].fullmatch(form)
            if match is None:
                raise self._fail(f"{{{name}:{form}}} is not a format for {name} (examples: {_EXAMPLES[field.kind]})")
            for bound in ("width", "precision"):
                size = match.groupdict().get(bound)
                if size is not None and int(size) > MAX_WIDTH:
                    raise self._fail(f"{{{name}:{form}}}: the {bound} is at most {MAX_WIDTH}")
            parts.append(_Part(literal, name, form))
        return parts

    def render(self, **values: Any) -> str:
        """The name with every field filled in; values for fields the template lacks are ignored."""
        out = []
        for part in self._parts:
            out.append(part.literal)
            if part.field is not None:
                out.append(format(_value(part.field, values), part.form))
        return check_name("".join(out))

    def __repr__(self) -> str:
        return f"Template({self.text!r})"


_CHECKS: Final[Mapping[str, Callable[[Any], bool]]] = {
    "int": lambda v: isinstance(v, int) and not isinstance(v, bool),
    "text": lambda v: isinstance(v, str),
    "real": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
}


def _value(name: str, values: Mapping[str, Any]) -> Any:
    if name not in values:
        raise ValueError(f"no value for the template field {{{name}}}")
    value = values[name]
    if not _CHECKS[FIELDS[name].kind](value):
        raise TypeError(f"the template field {{{name}}} takes {FIELDS[name].kind}, not {type(value).__name__}")
    return value
