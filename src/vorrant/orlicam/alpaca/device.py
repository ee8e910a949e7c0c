"""One camera as an Alpaca Camera device (ICameraV4), over the camera layer.

Every member is a `get_<member>` or `put_<member>` method; the tables at the end
of the module are made from those names, so a URL can reach nothing else.

Locking: one lock per device guards its state and every camera call except the
exposure itself, which runs in a background thread without the lock so that
clients can poll (camera state, temperature, ...) while it runs. Writes that
would change the frame being exposed are refused while an exposure runs.
"""
from __future__ import annotations

import logging
import re
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any

import numpy.typing as npt

from .. import korvi
from ..camera.camera import Camera, CameraDescription
from ..device.camera import driver_version
from .hardware import CoolerAndGuidePort
from ..camera.sensor import electrons_per_adu, sensor_name
from ..camera.subframe import Subframe
from ..device.errors import BadRequest, DeviceError, ErrorNumber, describe, not_implemented, sdk_error_number
from .image import as_image_array
from .members import (ABORT_WAIT_S, AT_LEAST_ONE, BAYER_OFFSETS, FORMS, INTERFACE_VERSION, NOT_IMPLEMENTED,
                      PLACEHOLDERS, READOUT_FORMATS, CameraState, SensorType)
from .params import Params

log = logging.getLogger("vorrant.orlicam.alpaca")

@dataclass(slots=True)
class _Exposure:
    duration: float
    light: bool
    started: float  # monotonic
    subframe: Subframe
    thread: threading.Thread | None = None
    aborted: bool = False  # its outcome, frame or error, is dropped


@dataclass(frozen=True, slots=True)
class Image:
    """A finished exposure, already in Alpaca's [x][y] order."""

    array: npt.NDArray[Any]
    duration: float
    start_time: datetime


@dataclass(slots=True)
class _Geometry:
    bin: int = 1
    start_x: int = 0
    start_y: int = 0
    num_x: int = 0
    num_y: int = 0
    readout_mode: int = 0


class CameraDevice(CoolerAndGuidePort):
    """Alpaca device number `number`: the camera `description`, opened on connect."""

    def __init__(self, number: int, description: CameraDescription, unique_id: str, serial: str | None = None) -> None:
        super().__init__(number, description, unique_id, serial)
        self._geometry = _Geometry(num_x=description.max_width, num_y=description.max_height)
        self._modes = [f for f in READOUT_FORMATS if f in description.formats]
        self._exposure: _Exposure | None = None
        self._image: Image | None = None   # the last finished exposure
        self._ready = False                  # ... and it is the answer to the current one
        self._failure: DeviceError | None = None
        self._ranges: dict[str, tuple[Any, Any]] = {}

    # --- dispatch ----------------------------------------------------------------

    def read(self, member: str) -> Any:
        return self._call(GETTERS, member, None)

    def read_now(self, member: str) -> Any:
        """read(member) in the calling thread (the server's event loop) for the members that
        only look at the device's state, when the device lock is free at once; NOT_NOW when
        the read must go to a worker thread instead (a camera call, or the lock held)."""
        if member not in STATE_READS or not self._lock.acquire(blocking=False):
            return NOT_NOW
        try:
            return self.read(member)
        finally:
            self._lock.release()

    def write(self, member: str, params: Params) -> None:
        for name, kind in FORMS.get(member, ()):
            getattr(params, kind)(name)
        params.check(["ClientID", "ClientTransactionID"])
        self._call(SETTERS, member, params)

    def _call(self, table: dict[str, Callable[..., Any]], member: str, params: Params | None) -> Any:
        if member in NOT_IMPLEMENTED:
            raise not_implemented(member)
        method = table[member]
        args = () if params is None else (params,)
        try:
            return method(self, *args)
        except (DeviceError, BadRequest):
            raise
        except korvi.ASIError as exc:
            if self.is_loss(exc):
                self.camera_lost(exc)
                raise self.lost_error() from exc
            raise DeviceError(sdk_error_number(exc), describe(exc)) from exc
        except ValueError as exc:  # the camera layer's range and rule checks
            raise DeviceError(ErrorNumber.INVALID_VALUE, describe(exc)) from exc
        except Exception as exc:
            log.exception("camera %d: %s failed", self.number, member)
            raise DeviceError(ErrorNumber.DRIVER_ERROR, describe(exc)) from exc

    @contextmanager
    def _idle(self, what: str) -> Iterator[Camera]:
        """The lock, held for a change that must not happen during an exposure."""
        with self._lock:
            camera = self._open_camera()
            if self._exposure is not None:
                raise DeviceError(ErrorNumber.INVALID_OPERATION, f"cannot {what} while an exposure is in progress")
            if self._leased_by is not None:
                raise DeviceError(ErrorNumber.INVALID_OPERATION, f"cannot {what} while the {self._leased_by} uses the camera")
            yield camera

    # --- common members ----------------------------------------------------------

    def get_connected(self) -> bool:
        return self._camera is not None

    def put_connected(self, params: Params) -> None:
        if params.flag("Connected"):
            self.connect()
        else:
            self.disconnect()

    def put_connect(self, params: Params) -> None:
        self.connect()

    def put_disconnect(self, params: Params) -> None:
        self.disconnect()

    def get_connecting(self) -> bool:
        return False  # connecting completes within the request

    # --- the shared device's hooks ---------------------------------------------------

    def _check_free(self, action: str) -> None:
        if self._exposure is not None:
            raise DeviceError(ErrorNumber.INVALID_OPERATION,
                              f"camera {self.number} is taking an exposure for an Alpaca client" if action == "lend"
                              else f"cannot {action} while an exposure is in progress")
        if action != "lend" and any(t.is_alive() for t in self._guides.values()):
            raise DeviceError(ErrorNumber.INVALID_OPERATION, f"cannot {action} while a guide pulse runs")

    def _connected(self, camera: Camera) -> None:
        # Ranges do not change while the camera is open; read them once.
        self._ranges = {name: (c.min, c.max) for name, c in camera.controls.items()}
        # Every connection starts unbinned, full frame, in readout mode 0.
        self._geometry = _Geometry(num_x=self.description.max_width, num_y=self.description.max_height)

    def _stop_work(self, wait: float) -> None:
        with self._lock:
            exposure, camera = self._exposure, self._camera
            if exposure is not None:
                exposure.aborted = True
        if exposure is not None and camera is not None:
            self._abort(exposure, camera, wait)
        for thread in self._guides.values():
            thread.join(wait)

    def _returned(self, camera: Camera) -> None:
        # The exposure the loss failed is not the answer any more: idle, ready for the next.
        self._failure = None

    def _forget(self) -> None:
        # An image belongs to the connection that took it.
        self._image, self._ready, self._failure, self._guide_failure = None, False, None, None

    def get_description(self) -> str:
        return f"{self.description.name} (ZWO ASI camera)"

    def get_driverinfo(self) -> str:
        return "orlicam Alpaca camera server for ZWO ASI cameras"

    def get_driverversion(self) -> str:
        # ASCOM wants "major.minor" here, a number clients parse; the full version is the
        # management API's ManufacturerVersion.
        parts = re.findall(r"[0-9]+", driver_version())[:2]
        return ".".join(parts + ["0"] * (2 - len(parts)))

    def get_interfaceversion(self) -> int:
        return INTERFACE_VERSION

    def get_name(self) -> str:
        return self.description.name

    def get_supportedactions(self) -> list[str]:
        return []

    def put_action(self, params: Params) -> None:
        raise DeviceError(ErrorNumber.ACTION_NOT_IMPLEMENTED, f"action {params.text('Action')!r} is not supported")

    def get_devicestate(self) -> list[dict[str, Any]]:
        """The operational members in one answer. A member that cannot be read now
        (a failed exposure, an SDK error) is left out rather than failing the whole list."""
        self._open_camera()
        readers: dict[str, Callable[[CameraDevice], Any]] = {
            "CameraState": CameraDevice.get_camerastate, "CCDTemperature": CameraDevice.get_ccdtemperature,
            "CoolerPower": CameraDevice.get_coolerpower, "ImageReady": CameraDevice.get_imageready,
            "IsPulseGuiding": CameraDevice.get_ispulseguiding, "PercentCompleted": CameraDevice.get_percentcompleted,
        }
        state = []
        for name, read in readers.items():
            try:
                state.append({"Name": name, "Value": read(self)})
            except (DeviceError, korvi.ASIError, ValueError):
                continue
        if state:
            # Without a zone designator the time would read as the client's local time.
            state.append({"Name": "TimeStamp", "Value": _timestamp(datetime.now(UTC)) + "Z"})
        return state

    # --- sensor ------------------------------------------------------------------

    def get_cameraxsize(self) -> int:
        self._open_camera()
        return self.description.max_width

    def get_cameraysize(self) -> int:
        self._open_camera()
        return self.description.max_height

    def get_pixelsizex(self) -> float:
        self._open_camera()
        return self.description.pixel_size

    get_pixelsizey = get_pixelsizex

    def get_sensortype(self) -> int:
        self._open_camera()
        if not self.description.is_color:
            return SensorType.MONOCHROME
        # Raw output is a Bayer mosaic (its pattern in BayerOffsetX/Y); RGB24 is demosaiced already.
        return SensorType.COLOR if self._format() == "RGB24" else SensorType.RGGB

    def _bayer_offset(self) -> tuple[int, int]:
        self._open_camera()
        if not self.description.is_color or self.description.bayer_pattern is None:
            raise not_implemented("bayer offsets of a monochrome sensor")
        return BAYER_OFFSETS[self.description.bayer_pattern]

    def get_bayeroffsetx(self) -> int:
        return self._bayer_offset()[0]

    def get_bayeroffsety(self) -> int:
        return self._bayer_offset()[1]

    def _format(self) -> str:
        return self._modes[self._geometry.readout_mode]

    def get_maxadu(self) -> int:
        """The largest value in delivered units: 16-bit output carries the sensor's
        bits at the top of the word."""
        self._open_camera()
        depth = self.description.bit_depth
        if self._format() == "RAW16":
            return ((1 << depth) - 1) << (16 - depth)
        return 255

    def get_electronsperadu(self) -> float:
        """Per unit of the delivered data at the current gain, binning and readout mode."""
        with self._lock:
            d = self.description
            gain = int(self._open_camera().gain) if "gain" in self._ranges else None
            return electrons_per_adu(d.e_per_adu, d.bit_depth, gain, self._format(), self._geometry.bin)

    def get_fullwellcapacity(self) -> float:
        """The electrons that fill the output's range at the current settings."""
        return self.get_electronsperadu() * self.get_maxadu()

    def get_sensorname(self) -> str:
        self._open_camera()
        name = sensor_name(self.description.name)
        if name is None:
            raise not_implemented("sensorname for this camera model")
        return name

    # --- binning and subframe ----------------------------------------------------

    def get_binx(self) -> int:
        self._open_camera()
        return self._geometry.bin

    get_biny = get_binx

    def _put_bin(self, value: int) -> None:
        with self._idle("change binning"):
            if value not in self.description.bins:
                raise DeviceError(ErrorNumber.INVALID_VALUE,
                                  f"binning {value} is not supported; the camera bins {list(self.description.bins)}")
            self._rebin(value)

    def _rebin(self, value: int) -> None:
        """Keeps the subframe on the same part of the sensor in the new binned pixels;
        the full frame stays the full frame (clients that only change binning expect that)."""
        g, d = self._geometry, self.description
        old = g.bin
        if value == old:
            return
        if (g.start_x, g.start_y, g.num_x, g.num_y) == (0, 0, d.max_width // old, d.max_height // old):
            g.num_x, g.num_y = d.max_width // value, d.max_height // value
        else:
            g.start_x, g.start_y = g.start_x * old // value, g.start_y * old // value
            g.num_x, g.num_y = max(1, g.num_x * old // value), max(1, g.num_y * old // value)
        g.bin = value

    def put_binx(self, params: Params) -> None:
        self._put_bin(params.integer("BinX"))

    def put_biny(self, params: Params) -> None:
        self._put_bin(params.integer("BinY"))

    def get_maxbinx(self) -> int:
        self._open_camera()
        return max(self.description.bins)

    get_maxbiny = get_maxbinx

    def get_canasymmetricbin(self) -> bool:
        self._open_camera()
        return False

    def _put_geometry(self, params: Params, name: str, attribute: str, least: int) -> None:
        value = params.integer(name)
        with self._idle(f"change {name}"):
            if value < least:
                raise DeviceError(ErrorNumber.INVALID_VALUE, f"{name} must be at least {least}, not {value}")
            setattr(self._geometry, attribute, value)

    def get_startx(self) -> int:
        self._open_camera()
        return self._geometry.start_x

    def get_starty(self) -> int:
        self._open_camera()
        return self._geometry.start_y

    def get_numx(self) -> int:
        self._open_camera()
        return self._geometry.num_x

    def get_numy(self) -> int:
        self._open_camera()
        return self._geometry.num_y

    def put_startx(self, params: Params) -> None:
        self._put_geometry(params, "StartX", "start_x", 0)

    def put_starty(self, params: Params) -> None:
        self._put_geometry(params, "StartY", "start_y", 0)

    def put_numx(self, params: Params) -> None:
        self._put_geometry(params, "NumX", "num_x", 1)

    def put_numy(self, params: Params) -> None:
        self._put_geometry(params, "NumY", "num_y", 1)

    # --- gain and offset ---------------------------------------------------------

    def _limits(self, control: str) -> tuple[Any, Any]:
        self._open_camera()
        return self._ranges[control]

    def get_gain(self) -> int:
        with self._lock:
            return int(self._open_camera().gain)

    def put_gain(self, params: Params) -> None:
        value = params.integer("Gain")
        with self._idle("change the gain") as camera:
            camera.gain = value

    def get_gainmin(self) -> int:
        return int(self._limits("gain")[0])

    def get_gainmax(self) -> int:
        return int(self._limits("gain")[1])

    def get_offset(self) -> int:
        with self._lock:
            return int(self._open_camera().offset)

    def put_offset(self, params: Params) -> None:
        value = params.integer("Offset")
        with self._idle("change the offset") as camera:
            camera.offset = value

    def get_offsetmin(self) -> int:
        return int(self._limits("offset")[0])

    def get_offsetmax(self) -> int:
        return int(self._limits("offset")[1])

    # --- exposure ----------------------------------------------------------------

    def get_exposuremin(self) -> float:
        return float(self._limits("exposure")[0])

    def get_exposuremax(self) -> float:
        return float(self._limits("exposure")[1])

    def get_exposureresolution(self) -> float:
        self._open_camera()
        return 1e-6  # the SDK takes exposures in microseconds

    def get_readoutmodes(self) -> list[str]:
        self._open_camera()
        return list(self._modes)

    def get_readoutmode(self) -> int:
        self._open_camera()
        return self._geometry.readout_mode

    def put_readoutmode(self, params: Params) -> None:
        value = params.integer("ReadoutMode")
        with self._idle("change the readout mode"):
            if not 0 <= value < len(self._modes):
                raise DeviceError(ErrorNumber.INVALID_VALUE,
                                  f"readout mode {value} does not exist; modes are 0 to {len(self._modes) - 1}")
            self._geometry.readout_mode = value

    def get_hasshutter(self) -> bool:
        self._open_camera()
        return self.description.mechanical_shutter

    def get_canfastreadout(self) -> bool:
        self._open_camera()
        return False  # the readout modes choose the output instead

    def get_canstopexposure(self) -> bool:
        self._open_camera()
        return False

    def get_canabortexposure(self) -> bool:
        self._open_camera()
        return True

    def put_startexposure(self, params: Params) -> None:
        duration, light = params.number("Duration"), params.flag("Light")
        with self._idle("start an exposure") as camera:
            low, high = self.get_exposuremin(), self.get_exposuremax()
            if duration == 0 and not light:
                duration = low   # a bias frame: the camera's shortest exposure
            if not low <= duration <= high:
                raise DeviceError(ErrorNumber.INVALID_VALUE,
                                  f"Duration {duration} s is outside the camera's range {low} to {high} s")
            subframe = self._apply_geometry(camera)
            exposure = _Exposure(duration, light, time.monotonic(), subframe)
            exposure.thread = threading.Thread(target=self._expose, args=(camera, exposure),
                                               name=f"alpaca-exposure-{self.number}", daemon=True)
            self._exposure, self._ready, self._failure = exposure, False, None
            exposure.thread.start()
        log.info("camera %d: %s exposure of %g s started", self.number, "light" if light else "dark", duration)

    def _apply_geometry(self, camera: Camera) -> Subframe:
        g = self._geometry
        width, height = self.description.max_width // g.bin, self.description.max_height // g.bin
        if g.start_x + g.num_x > width or g.start_y + g.num_y > height:
            raise DeviceError(ErrorNumber.INVALID_VALUE,
                              f"subframe {g.num_x}x{g.num_y} at ({g.start_x}, {g.start_y}) does not fit "
                              f"the {width}x{height} sensor at binning {g.bin}")
        return camera.set_subframe(g.start_x, g.start_y, g.num_x, g.num_y, g.bin, self._format())

    def _expose(self, camera: Camera, exposure: _Exposure) -> None:
        image: Image | None = None
        failure: DeviceError | None = None
        try:
            if not exposure.aborted:   # an abort can come before the capture has begun
                frame = camera.capture_subframe(exposure.subframe, exposure=exposure.duration,
                                                dark=not exposure.light)
                array = as_image_array(frame.data)
                array.flags.writeable = False   # one buffer, shared by every download
                image = Image(array, frame.meta.exposure, frame.meta.start_time)
                del frame   # the camera's buffer goes now; only the image's own copy stays
        except Exception as exc:
            if self.is_loss(exc):
                self.camera_lost(exc)
                failure = self.lost_error()
            else:
                number = sdk_error_number(exc) if isinstance(exc, korvi.ASIError) else ErrorNumber.DRIVER_ERROR
                failure = DeviceError(number, f"the exposure failed: {describe(exc)}")
        with self._lock:
            if self._exposure is exposure:
                self._exposure = None
            if exposure.aborted:
                return
            if failure is not None:
                self._failure = failure
                log.warning("camera %d: %s", self.number, failure.message)
            elif image is not None:
                self._image, self._ready = image, True
                log.info("camera %d: exposure finished", self.number)

    def put_abortexposure(self, params: Params) -> None:
        with self._lock:
            camera = self._open_camera()
            self._failure = None   # back to idle, out of the error state too
            exposure = self._exposure
            if exposure is None:
                return
            exposure.aborted = True
        self._abort(exposure, camera, ABORT_WAIT_S, strict=True)

    def _abort(self, exposure: _Exposure, camera: Camera, wait: float, strict: bool = False) -> None:
        """Ends the exposure's capture and waits for its thread, so that the camera is free
        for the next exposure on return. Called without the lock, which the thread takes
        to finish; clients see the camera idle meanwhile, as the exposure is marked aborted."""
        exposure.aborted = True
        thread = exposure.thread
        deadline = time.monotonic() + wait
        while thread is not None and thread.is_alive():
            left = deadline - time.monotonic()
            if left <= 0:
                log.warning("camera %d: the aborted exposure's thread did not end within %g s", self.number, wait)
                if strict:
                    raise DeviceError(ErrorNumber.DRIVER_ERROR, f"the exposure did not stop within {wait:g} s")
                return
            try:
                # False while the capture has not begun yet (or is already over): look again.
                camera.abort_exposure(timeout=left)
            except korvi.ASIError as exc:
                log.warning("camera %d: aborting the exposure: %s", self.number, describe(exc))
                if strict:
                    raise DeviceError(sdk_error_number(exc), f"the exposure could not be stopped: {describe(exc)}") from exc
                thread.join(max(0.0, deadline - time.monotonic()))
                return
            thread.join(0.01)

    def get_camerastate(self) -> int:
        with self._lock:
            if self.lost is not None and self._camera is not None:
                return CameraState.ERROR   # connected still, and back without a new Connected cycle
            self._open_camera()
            exposure = self._exposure
            if exposure is not None and not exposure.aborted:
                elapsed = time.monotonic() - exposure.started
                return CameraState.EXPOSING if elapsed < exposure.duration else CameraState.READING
            return CameraState.ERROR if self._failure is not None else CameraState.IDLE

    def get_imageready(self) -> bool:
        # A failed exposure is reported here, where clients waiting for the image look.
        with self._lock:
            self._open_camera()
            if self._failure is not None:
                raise self._failure
            return self._ready

    def get_percentcompleted(self) -> int:
        with self._lock:
            self._open_camera()
            if self._failure is not None:
                raise self._failure
            exposure = self._exposure
            if exposure is None or exposure.aborted:
                return 100 if self._ready else 0
            elapsed = time.monotonic() - exposure.started
            return min(100, int(100 * elapsed / exposure.duration)) if exposure.duration > 0 else 100

    def _last(self) -> Image:
        with self._lock:
            self._open_camera()
            if self._image is None:
                raise DeviceError(ErrorNumber.VALUE_NOT_SET, "no exposure has finished yet")
            return self._image

    def get_lastexposureduration(self) -> float:
        return self._last().duration

    def get_lastexposurestarttime(self) -> str:
        return _timestamp(self._last().start_time)

    def image(self) -> npt.NDArray[Any]:
        """The last image in [x][y] order; for the image-array routes."""
        with self._lock:
            self._open_camera()
            if self._ready and self._image is not None:
                return self._image.array
            if self._failure is not None:
                raise self._failure
            raise DeviceError(ErrorNumber.INVALID_OPERATION, "no image is ready")


def _timestamp(moment: datetime) -> str:
    """FITS-style UTC time with milliseconds, as Alpaca time stamps are written."""
    return moment.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}"


def _table(prefix: str) -> dict[str, Callable[..., Any]]:
    found: dict[str, Callable[..., Any]] = {}
    for klass in reversed(CameraDevice.__mro__):   # the cooler's and guide port's members too
        found.update({name.removeprefix(prefix): fn for name, fn in vars(klass).items()
                      if name.startswith(prefix) and callable(fn)})
    return found


GETTERS = _table("get_")

# Members whose getters make no camera call: they read the device's own state under its
# lock, held for microseconds, so a request for one needs no hop to a worker thread.
STATE_READS = frozenset({
    "connected", "connecting", "description", "driverinfo", "driverversion", "interfaceversion", "name",
    "supportedactions", "cameraxsize", "cameraysize", "binx", "biny", "startx", "starty", "numx", "numy",
    "readoutmode", "exposureresolution", "canstopexposure", "canabortexposure", "canpulseguide",
    "camerastate", "imageready", "percentcompleted", "ispulseguiding", "lastexposureduration",
    "lastexposurestarttime",
})
NOT_NOW: Any = object()   # read_now(): ask a worker thread
SETTERS = _table("put_")


def _placeholder(member: str, annotation: str) -> Any:
    if annotation.startswith("list"):
        return []
    return 1 if member in AT_LEAST_ONE else PLACEHOLDERS[annotation]


# member -> the Value an error reply to a GET carries
ERROR_VALUES: dict[str, Any] = {
    **{name: _placeholder(name, fn.__annotations__["return"]) for name, fn in GETTERS.items()},
    "gains": [], "offsets": [], "heatsinktemperature": 0.0, "fastreadout": False, "subexposureduration": 0.0,
}
# PUT members whose replies carry a Value, and its type
PUT_VALUES: dict[str, Any] = {"action": "", "commandbool": False, "commandstring": ""}
