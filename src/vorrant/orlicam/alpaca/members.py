"""What the Alpaca Camera interface (ICameraV4) names, as data: the states and sensor
types, the members this server does not implement, and the form of every PUT member."""
from __future__ import annotations

from enum import IntEnum

INTERFACE_VERSION = 4
MAX_PULSE_MS = 60_000
# How long AbortExposure waits for the aborted capture to let go of the camera.
ABORT_WAIT_S = 10.0


class CameraState(IntEnum):
    IDLE = 0
    WAITING = 1
    EXPOSING = 2
    READING = 3
    DOWNLOAD = 4
    ERROR = 5


class SensorType(IntEnum):
    MONOCHROME = 0
    COLOR = 1
    RGGB = 2


# Where the red pixel of the RGGB cell sits, for each Bayer pattern the cameras report.
BAYER_OFFSETS = {"RGGB": (0, 0), "GRBG": (1, 0), "GBRG": (0, 1), "BGGR": (1, 1)}
# Readout modes are the camera's output formats, the full bit depth first.
READOUT_FORMATS = ("RAW16", "RAW8", "RGB24")
# Guide directions 0-3 are North, South, East, West in both Alpaca and the SDK.
DIRECTIONS = ("north", "south", "east", "west")
NOT_IMPLEMENTED_GET = frozenset({"gains", "offsets", "heatsinktemperature", "fastreadout", "subexposureduration"})
NOT_IMPLEMENTED_PUT = frozenset({"fastreadout", "subexposureduration", "stopexposure",
                                 "commandblind", "commandbool", "commandstring"})
NOT_IMPLEMENTED = NOT_IMPLEMENTED_GET | NOT_IMPLEMENTED_PUT
# The form parameters of every PUT member, checked (present, exactly named, parsable)
# before anything else happens, the members that are not implemented included.
FORMS: dict[str, tuple[tuple[str, str], ...]] = {
    "action": (("Action", "text"), ("Parameters", "text")),
    **{name: (("Command", "text"), ("Raw", "flag")) for name in ("commandblind", "commandbool", "commandstring")},
    "connected": (("Connected", "flag"),), "cooleron": (("CoolerOn", "flag"),),
    "fastreadout": (("FastReadout", "flag"),),
    **{name.lower(): ((name, "integer"),) for name in (
        "BinX", "BinY", "Gain", "NumX", "NumY", "Offset", "ReadoutMode", "StartX", "StartY")},
    "setccdtemperature": (("SetCCDTemperature", "number"),),
    "subexposureduration": (("SubExposureDuration", "number"),),
    "pulseguide": (("Direction", "integer"), ("Duration", "integer")),
    "startexposure": (("Duration", "number"), ("Light", "flag")),
}
# The Value of an error reply to a member with a value: one of the member's type,
# as the OpenAPI schemas type every Value and allow no null.
PLACEHOLDERS = {"int": 0, "float": 0.0, "bool": False, "str": ""}
AT_LEAST_ONE = frozenset({"binx", "biny", "maxbinx", "maxbiny"})
