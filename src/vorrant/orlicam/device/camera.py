"""One camera as the network faces share it: opened on connect, lent to one holder at a
time (the live view drives it itself while it has it), closed on disconnect.

The Alpaca device builds on this class; the live view needs only what is here.
"""
from __future__ import annotations

import logging
import threading
import time
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from importlib.metadata import PackageNotFoundError, version

from .. import korvi
from ..camera import CameraLost, Recovery
from ..camera.camera import Camera, CameraDescription
from .errors import DeviceError, ErrorNumber, describe

__all__ = ["CameraDevice", "unique_id", "driver_version", "RETURN_POLL_S"]

# How often a lost camera is looked for: its return is noticed within this.
RETURN_POLL_S = 0.5

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
        # Why the camera went away (unplugged, a USB reset), while it is away; the device stays
        # connected and a watcher reopens the camera when its serial comes back.
        self._lost: str | None = None
        self._watching = threading.Event()   # set: the watcher is to stop

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

    def _returned(self, camera: Camera) -> None:
        """Called under the lock when the lost camera has been reopened with its settings."""

    # --- the camera ------------------------------------------------------------------

    def _open_camera(self) -> Camera:
        """The camera, or the not-connected error every member but a few gives."""
        camera = self._camera
        if camera is None:
            raise DeviceError(ErrorNumber.NOT_CONNECTED, f"camera {self.number} is not connected")
        if self._lost is not None:
            raise self.lost_error()
        return camera

    # --- a camera that goes away and comes back ---------------------------------------

    @property
    def lost(self) -> str | None:
        """Why the camera is away, while it is; None while it answers."""
        return self._lost

    def lost_error(self) -> DeviceError:
        return DeviceError(ErrorNumber.NOT_CONNECTED,
                           f"camera {self.number} ({self.description.name}) was lost ({self._lost}); "
                           "waiting for it to come back")

    def is_loss(self, exc: BaseException) -> bool:
        """Whether `exc` means the camera has gone away (rather than refused one call)."""
        if isinstance(exc, (CameraLost, korvi.ASICameraRemoved)):
            return True
        camera = self._camera
        return isinstance(exc, korvi.ASIError) and camera is not None and camera.lost

    def camera_lost(self, exc: BaseException) -> None:
        """Marks the camera lost after `exc`; from then on the device answers NOT_CONNECTED
        (its state: Error) until a watcher has found the camera's serial again and reopened it."""
        with self._lock:
            if self._camera is None or self._lost is not None:
                return
            self._lost = "unplugged, or its USB link was reset"
            log.warning("camera %d (%s) lost: %s; waiting for it to come back", self.number,
                        self.description.name, describe(exc))
            self._watching.clear()
            threading.Thread(target=self._watch, name=f"camera-{self.number}-return", daemon=True).start()

    def _watch(self) -> None:
        lost_at = time.monotonic()
        while not self._watching.wait(RETURN_POLL_S):
            with self._lock:
                camera = self._camera
                if camera is None or self._lost is None:
                    return
                if self._leased_by is not None:
                    continue   # the holder brings it back itself
                try:
                    back = camera.reconnect()
                except korvi.ASIError as exc:
                    log.debug("camera %d: not back yet: %s", self.number, describe(exc))
                    continue
                if not back:
                    continue
                self._lost = None
                self._returned(camera)
                log.info("camera %d (%s) is back after %.1f s, reopened with its settings", self.number,
                         self.description.name, time.monotonic() - lost_at)
                return

    def camera_returned(self) -> None:
        """For a holder that reopened the lost camera itself (the live view)."""
        with self._lock:
            if self._lost is not None and self._camera is not None:
                self._lost = None
                self._returned(self._camera)

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
            camera = self._camera
            assert camera is not None
            self._leased_by = holder   # a lost camera too: the holder waits for it
        try:
            yield camera
        finally:
            with self._lock:
                self._leased_by = None

    def connect(self) -> None:
        with self._lock:
            if self._camera is not None:
                return
            # No waiting inside a call: a request is answered at once, and the watcher brings a
            # lost camera back.
            camera = Camera(self.description, recovery=Recovery(reconnect_timeout=0.0))
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
        lost, self._lost = self._lost, None
        self._watching.set()
        self._forget()
        if camera is not None:
            try:
                camera.close()
            except korvi.ASIError:
                if lost is None:
                    raise   # a camera that is away cannot be closed, and needs not be
            log.info("camera %d (%s) closed", self.number, self.description.name)
