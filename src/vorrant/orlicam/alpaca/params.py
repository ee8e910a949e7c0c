"""Request parameters: names matched as the API Reference says, values parsed strictly.

Query names (GET) match without regard to case; form names (PUT) must be written
exactly, and a form name in other casing is refused rather than ignored, so a client
with a casing bug learns of it. A missing or unparsable parameter is a malformed
request (HTTP 400), which is not the same as a well-formed value the device refuses
(an Alpaca error number).
"""
from __future__ import annotations

import math
import re
from collections.abc import Iterable

from ..device.errors import BadRequest

_INT = re.compile(r"[+-]?[0-9]{1,20}")
_UINT = re.compile(r"[0-9]{1,20}")
_FLOAT = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")
_INT32 = (-(2**31), 2**31 - 1)
_UINT32_MAX = 2**32 - 1
# Longest value shown back in a message: a hostile value must not fill the log.
_SHOWN = 40


def _shown(raw: str) -> str:
    return repr(raw if len(raw) <= _SHOWN else raw[:_SHOWN] + "...")


class Params:
    """The parameters of one request; `exact` for PUT forms, whose names are case-sensitive."""

    __slots__ = ("_values", "_names", "_exact")

    def __init__(self, pairs: Iterable[tuple[str, str]], exact: bool = False) -> None:
        self._values: dict[str, str] = {}
        self._names: dict[str, str] = {}   # lower-cased name -> the name as sent
        self._exact = exact
        for name, value in pairs:
            key = name.lower()
            if key in self._names:
                raise BadRequest(f"parameter {name[:_SHOWN]} given more than once")
            self._names[key] = name
            self._values[name] = value

    def get(self, name: str) -> str | None:
        """The value of `name`, None when it is not given; BadRequest for a form name in other casing."""
        sent = self._names.get(name.lower())
        if sent is None:
            return None
        if self._exact and sent != name:
            raise BadRequest(f"parameter {sent} must be written {name}: form parameter names are case-sensitive")
        return self._values[sent]

    def text(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise BadRequest(f"missing parameter {name}")
        return value

    def integer(self, name: str) -> int:
        raw = self.text(name).strip()
        if not _INT.fullmatch(raw) or not _INT32[0] <= int(raw) <= _INT32[1]:
            raise BadRequest(f"parameter {name}={_shown(raw)} is not a 32-bit integer")
        return int(raw)

    def number(self, name: str) -> float:
        raw = self.text(name).strip()
        value = float(raw) if len(raw) <= 400 and _FLOAT.fullmatch(raw) else math.nan
        if not math.isfinite(value):
            raise BadRequest(f"parameter {name}={_shown(raw)} is not a number")
        return value

    def flag(self, name: str) -> bool:
        raw = self.text(name).strip().lower()
        if raw not in ("true", "false"):
            raise BadRequest(f"parameter {name}={_shown(raw)} is not True or False")
        return raw == "true"

    def transaction_id(self, name: str) -> int:
        """ClientID and ClientTransactionID: optional (0 when missing), else an unsigned
        32-bit integer."""
        raw = self.get(name)
        if raw is None:
            return 0
        raw = raw.strip()
        if not _UINT.fullmatch(raw) or int(raw) > _UINT32_MAX:
            raise BadRequest(f"parameter {name}={_shown(raw)} is not an unsigned 32-bit integer")
        return int(raw)

    def check(self, names: Iterable[str]) -> None:
        """Refuses form names that match one of `names` in other casing."""
        for name in names:
            self.get(name)
