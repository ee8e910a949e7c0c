"""The note every error of the camera layer carries: the operation, the camera, and for
SDK codes what usually lies behind them."""
from __future__ import annotations

from typing import Final

from .. import korvi

# What usually lies behind the SDK codes that users meet.
HINTS: Final[dict[type[korvi.ASIError], str]] = {
    korvi.ASIInvalidSize: "the region of interest breaks a rule: width a multiple of 8, height even, "
                          "and inside the sensor at that bin",
    korvi.ASIInvalidImageType: "the camera does not offer that image format or bin",
    korvi.ASIOutOfBoundary: "the start position puts the region outside the sensor",
    korvi.ASIGeneralError: "usually a value the camera refuses, a read-only control, or a capture "
                           "started before the camera was initialised",
    korvi.ASITimeout: "no frame arrived in time: check the exposure, the trigger mode and the USB link",
    korvi.ASICameraClosed: "the camera is not open",
    korvi.ASICameraRemoved: "the camera was disconnected; reconnect it and open it again",
    korvi.ASIInvalidID: "the camera id is unknown; the camera may have been disconnected",
    korvi.ASIInvalidSequence: "stop the running capture first",
    korvi.ASIVideoModeActive: "a video stream is running: leave the stream first",
    korvi.ASIExposureInProgress: "an exposure is running: wait for it or stop it first",
    korvi.ASIInvalidMode: "this needs another camera mode (soft triggers need a soft trigger mode)",
    korvi.ASIInvalidPath: "the file path is not usable",
    korvi.ASIInvalidFileFormat: "the dark frame must be a BMP of the full sensor",
}


def noted(exc: BaseException, operation: str, label: str) -> BaseException:
    """Adds the note naming operation and camera, unless a step inside the operation has
    already named itself (the innermost note is the most precise); errors that came from
    an SDK code (korvi's message "ASI error code N.") also get the hint for that code."""
    if any(note.startswith("orlicam: ") for note in getattr(exc, "__notes__", ())):
        return exc
    note = f"orlicam: {operation} on {label}"
    hint = None
    if isinstance(exc, korvi.ASIError) and str(exc).startswith("ASI error code "):
        hint = HINTS.get(type(exc))
    exc.add_note(f"{note} (hint: {hint})" if hint else note)
    return exc


def unknown_value(error: ValueError, what: str) -> korvi.ASIError:
    """An SDK answer outside the values korvi knows (a newer SDK, a faulty camera), as an
    error of the SDK's own kind rather than a bare ValueError from the enumeration."""
    return korvi.ASIGeneralError(f"the camera reported an unknown {what} ({error})")
