"""The camera's cooler and ST4 guide port as Alpaca members: the part of the Alpaca
camera that is the camera's hardware rather than its exposures."""
from __future__ import annotations

import logging
import threading

from .. import korvi
from ..camera.camera import Camera, CameraDescription
from ..device.camera import CameraDevice as SharedDevice
from ..device.errors import DeviceError, ErrorNumber, describe, not_implemented, sdk_error_number
from .members import DIRECTIONS, MAX_PULSE_MS
from .params import Params

log = logging.getLogger("vorrant.orlicam.alpaca")


class CoolerAndGuidePort(SharedDevice):
    """The cooling and guiding members of an Alpaca camera device."""

    def __init__(self, number: int, description: CameraDescription, unique_id: str, serial: str | None = None) -> None:
        super().__init__(number, description, unique_id, serial)
        self._guides: dict[str, threading.Thread] = {}
        self._guide_failure: DeviceError | None = None

    # --- cooling -----------------------------------------------------------------

    def _cooled(self, member: str) -> Camera:
        camera = self._open_camera()
        if not self.description.cooled:
            raise not_implemented(f"{member} on a camera without a cooler")
        return camera

    def get_cansetccdtemperature(self) -> bool:
        self._open_camera()
        return self.description.cooled

    get_cangetcoolerpower = get_cansetccdtemperature

    def get_ccdtemperature(self) -> float:
        with self._lock:
            return float(self._open_camera().temperature)

    def get_setccdtemperature(self) -> float:
        with self._lock:
            return float(self._cooled("setccdtemperature").target_temperature)

    def put_setccdtemperature(self, params: Params) -> None:
        value = params.number("SetCCDTemperature")
        with self._lock:
            self._cooled("setccdtemperature").target_temperature = value

    def get_cooleron(self) -> bool:
        with self._lock:
            return bool(self._cooled("cooleron").cooler_on)

    def put_cooleron(self, params: Params) -> None:
        value = params.flag("CoolerOn")
        with self._lock:
            self._cooled("cooleron").cooler_on = value

    def get_coolerpower(self) -> float:
        with self._lock:
            return float(self._cooled("coolerpower").cooler_power)

    # --- guiding -----------------------------------------------------------------

    def get_canpulseguide(self) -> bool:
        self._open_camera()
        return self.description.st4

    def get_ispulseguiding(self) -> bool:
        # A pulse that failed in the background is reported here, until the next pulse.
        with self._lock:
            self._open_camera()
            if self._guide_failure is not None:
                raise self._guide_failure
            return any(t.is_alive() for t in self._guides.values())

    def put_pulseguide(self, params: Params) -> None:
        direction, duration = params.integer("Direction"), params.integer("Duration")
        with self._lock:
            camera = self._open_camera()
            if not self.description.st4:
                raise not_implemented("pulseguide on a camera without a guide port")
            if not 0 <= direction < len(DIRECTIONS):
                raise DeviceError(ErrorNumber.INVALID_VALUE, f"Direction must be 0 to 3, not {direction}")
            if not 0 <= duration <= MAX_PULSE_MS:
                raise DeviceError(ErrorNumber.INVALID_VALUE, f"Duration must be 0 to {MAX_PULSE_MS} ms, not {duration}")
            self._guide_failure = None
            if duration == 0:
                return
            # North/south and east/west are separate axes; each takes one pulse at a time.
            axis = "dec" if direction < 2 else "ra"
            running = self._guides.get(axis)
            if running is not None and running.is_alive():
                raise DeviceError(ErrorNumber.INVALID_OPERATION, f"a {axis} guide pulse is already running")
            thread = threading.Thread(target=self._guide, args=(camera, DIRECTIONS[direction], duration / 1000),
                                      name=f"alpaca-guide-{self.number}-{axis}", daemon=True)
            self._guides[axis] = thread
            thread.start()

    def _guide(self, camera: Camera, direction: str, seconds: float) -> None:
        try:
            camera.pulse_guide(direction, seconds)
        except Exception as exc:
            log.warning("camera %d: guide pulse %s failed: %s", self.number, direction, describe(exc))
            number = sdk_error_number(exc) if isinstance(exc, korvi.ASIError) else ErrorNumber.DRIVER_ERROR
            with self._lock:
                self._guide_failure = DeviceError(number, f"the {direction} guide pulse failed: {describe(exc)}")
