"""Alpaca error numbers, and the two ways a request can fail.

A DeviceError travels back inside the JSON envelope with HTTP 200, as Alpaca
clients expect; a BadRequest is a malformed request and becomes HTTP 400 with a
text body. Neither leaves the server.
"""
from __future__ import annotations

from enum import IntEnum

from .. import korvi


class ErrorNumber(IntEnum):
    OK = 0
    NOT_IMPLEMENTED = 0x400
    INVALID_VALUE = 0x401
    VALUE_NOT_SET = 0x402
    NOT_CONNECTED = 0x407
    INVALID_OPERATION = 0x40B
    ACTION_NOT_IMPLEMENTED = 0x40C
    DRIVER_ERROR = 0x500


class DeviceError(Exception):
    """A failure the device reports with an Alpaca error number."""

    def __init__(self, number: int, message: str) -> None:
        super().__init__(message)
        self.number = number
        self.message = message


class BadRequest(Exception):
    """A request the server cannot act on: HTTP 400, the message as the body."""


def not_implemented(member: str) -> DeviceError:
    return DeviceError(ErrorNumber.NOT_IMPLEMENTED, f"{member} is not implemented by this camera")


def sdk_error_number(exc: korvi.ASIError) -> int:
    """0x500 plus the SDK's error code, found through korvi's own code table;
    0x500 itself for an error the table does not name."""
    for code, cls in korvi.ASI_ERROR_CODE_TO_EXCEPTION.items():
        if type(exc) is cls:
            return ErrorNumber.DRIVER_ERROR + int(code)
    return ErrorNumber.DRIVER_ERROR


def describe(exc: BaseException) -> str:
    """The exception's message followed by its notes, on one line."""
    notes = getattr(exc, "__notes__", None) or []
    return "; ".join([str(exc) or type(exc).__name__, *notes])
