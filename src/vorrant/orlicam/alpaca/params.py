"""Request parameters: names matched without regard to case, values parsed strictly.

A missing or unparsable parameter is a malformed request (HTTP 400), which is
not the same as a well-formed value the device refuses (an Alpaca error number).
"""
from __future__ import annotations

import math
import re
from collections.abc import Iterable

from .errors import BadRequest

_INT = re.compile(r"[+-]?[0-9]+")
_FLOAT = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")
_INT32 = (-(2**31), 2**31 - 1)
_UINT32_MAX = 2**32 - 1


class Params:
    """The parameters of one request, by lower-cased name."""

    __slots__ = ("_values",)

    def __init__(self, pairs: Iterable[tuple[str, str]]) -> None:
        self._values: dict[str, str] = {}
        for name, value in pairs:
            key = name.lower()
            if key in self._values:
                raise BadRequest(f"parameter {name} given more than once")
            self._values[key] = value

    def text(self, name: str) -> str:
        try:
            return self._values[name.lower()]
        except KeyError:
            raise BadRequest(f"missing parameter {name}") from None

    def integer(self, name: str) -> int:
        raw = self.text(name).strip()
        if not _INT.fullmatch(raw) or not _INT32[0] <= int(raw) <= _INT32[1]:
            raise BadRequest(f"parameter {name}={raw!r} is not a 32-bit integer")
        return int(raw)

    def number(self, name: str) -> float:
        raw = self.text(name).strip()
        value = float(raw) if _FLOAT.fullmatch(raw) else math.nan
        if not math.isfinite(value):
            raise BadRequest(f"parameter {name}={raw!r} is not a number")
        return value

    def flag(self, name: str) -> bool:
        raw = self.text(name).strip().lower()
        if raw not in ("true", "false"):
            raise BadRequest(f"parameter {name}={raw!r} is not True or False")
        return raw == "true"

    def transaction_id(self, name: str) -> int:
        """ClientID and ClientTransactionID are optional: a missing or invalid one reads as 0."""
        raw = self._values.get(name.lower(), "").strip()
        if _INT.fullmatch(raw) and 0 <= int(raw) <= _UINT32_MAX:
            return int(raw)
        return 0
