"""One camera as the network faces share it: opened on connect, lent to one holder at a
time (the live view drives it itself while it has it), closed on disconnect.

The Alpaca device builds on this class; the live view needs only what is here.
"""
from __future__ import annotations

import logging
import threading
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from importlib.metadata import PackageNotFoundError, version

from ..camera.camera import Camera, CameraDescription
from .errors import DeviceError, ErrorNumber

__all__ = ["CameraDevice", "unique_id", "driver_version"]

# The name the server's log has always shown for these lines.
log = logging.getLogger("vorrant.orlicam.alpaca")


def driver_version() -> str:
    try:
        return version("orlicam")
    except PackageNotFoundError:
        return "unknown"


def unique_id(description: CameraDescription, serial: str | None) -> str:
    """A GUID-shaped identifier derived from the camera's model and serial, so it
    survives restarts and re-plugging; cameras without a serial fall back to their index."""
    key = f"{description.name}/{serial}" if serial else f"{description.name}/index-{description.index}"
    return str(uuid.uuid5(uuid.NAMESPACE_URL, f"orlicam:{key}"))


class CameraDevice:
    """Device number `number`: the camera `description`, opened on connect.

    One lock guards the device's state and every camera call made under it. Subclasses
    refuse what their own work forbids (`_check_free`), set themselves up on a new connection
    (`_connected`), stop their own work before a close (`_stop_work`) and drop what
    belonged to the connection (`_forget`)."""

    def __init__(self, number: int, description: CameraDescription, unique_id: str, serial: str | None = None) -> None:
        self.number = number
        self.description = description
        self.unique_id = unique_id
        self.serial = serial
        self._lock = threading.RLock()
        self._camera: Camera | None = None
        self._leased_by: str | None = None  # who else drives the camera (the live view)
        # (label, URL) of further pages about this device, listed on its setup page
        self.links: list[tuple[str, str]] = []

    # --- what subclasses add ---------------------------------------------------------

    def _check_free(self, action: str) -> None:
        """Raises DeviceError when the device's own work keeps it from `action` ("lend" or
        "disconnect") now."""

    def _connected(self, camera: Camera) -> None:
        """Called under the lock when `camera` has just been opened."""

    def _stop_work(self, wait: float) -> None:
        """Stops the device's own work on the camera (called without the lock)."""

    def _forget(self) -> None:
        """Drops what belonged to the connection being closed (called under the lock)."""

    # --- the camera ------------------------------------------------------------------

    def _open_camera(self) -> Camera:
        """The camera, or the not-connected error every member but a few gives."""
        camera = self._camera
        if camera is None:
            raise DeviceError(ErrorNumber.NOT_CONNECTED, f"camera {self.number} is not connected")
        return camera

    @contextmanager
    def lease(self, holder: str) -> Iterator[Camera]:
        """The camera, connected if it was not, for `holder` to drive itself (the live view);
        meanwhile the device refuses changes of its own. DeviceError 0x40B while the device
        is busy or another holder has it."""
        with self._lock:
            self._check_free("lend")
            if self._leased_by is not None:
                raise DeviceError(ErrorNumber.INVALID_OPERATION, f"the {self._leased_by} has camera {self.number}")
            self.connect()
            camera = self._open_camera()
            self._leased_by = holder
        try:
            yield camera
        finally:
            with self._lock:
                self._leased_by = None

    def connect(self) -> None:
        with self._lock:
            if self._camera is not None:
                return
            camera = Camera(self.description)
            camera.open()
            try:
                self._connected(camera)
            except BaseException:
                camera.close()
                raise
            self._camera = camera
            log.info("camera %d (%s) connected", self.number, self.description.name)

    def disconnect(self) -> None:
        with self._lock:
            if self._camera is None:
                return
            self._check_free("disconnect")
            if self._leased_by is not None:
                raise DeviceError(ErrorNumber.INVALID_OPERATION, f"cannot disconnect while the {self._leased_by} uses the camera")
            self._close()

    def close(self, wait: float = 5.0) -> None:
        """Stops what runs and closes the camera; for server shutdown."""
        self._stop_work(wait)
        with self._lock:
            self._close()

    def _close(self) -> None:
        camera, self._camera = self._camera, None
        self._forget()
        if camera is not None:
            camera.close()
            log.info("camera %d (%s) closed", self.number, self.description.name)
