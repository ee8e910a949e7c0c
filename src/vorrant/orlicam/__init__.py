"""orlicam: Python access to ZWO ASI cameras.

`vorrant.orlicam.korvi` is the call-by-call SDK module. The everyday layer is exported
here lazily, so importing korvi alone needs no numpy:

    from vorrant.orlicam import Camera
    with Camera(0) as cam:
        frame = cam.capture(0.01)
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .camera import Camera, CameraDescription, Control, cameras
    from .camera import Frame, FrameMeta, Roi
    from .camera import CameraEvent, CameraLost, ExposureFailed, Recovery

__all__ = ["cameras", "Camera", "CameraDescription", "Control", "Frame", "FrameMeta", "Roi",
           "Recovery", "CameraEvent", "CameraLost", "ExposureFailed"]


def __getattr__(name: str) -> Any:
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.camera"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
