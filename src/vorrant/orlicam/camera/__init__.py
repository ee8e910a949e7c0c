"""The camera layer: discovery, the `Camera` object and its jobs (session, controls,
capture, streaming), recovery from faults, frames, subframes, the sensor's figures and units. The only layer
that calls korvi for camera operations.

Names are exported lazily, so that listing cameras needs no numpy.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .camera import Camera, Controls, Cooling, Stream, TriggerOutput
    from .discovery import CameraDescription, cameras
    from .frames import Frame, FrameMeta, Roi
    from .recovery import CameraEvent, CameraLost, ExposureFailed, Recovery
    from .units import Control

__all__ = ["cameras", "Camera", "CameraDescription", "Control", "Controls", "Cooling", "Stream", "TriggerOutput",
           "Frame", "FrameMeta", "Roi", "Recovery", "CameraEvent", "CameraLost", "ExposureFailed"]

_HOME = {"cameras": "discovery", "CameraDescription": "discovery", "Control": "units", "Frame": "frames",
         "FrameMeta": "frames", "Roi": "frames", "Recovery": "recovery", "CameraEvent": "recovery",
         "CameraLost": "recovery", "ExposureFailed": "recovery"}


def __getattr__(name: str) -> Any:
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{_HOME.get(name, 'camera')}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
