"""Cameras as objects: discovery, opening, controls in physical units, region of
interest, snapshots, video streams, guiding, cooling and triggers.

This is the only module of the layer that calls korvi for camera operations. Every
argument is checked before the SDK hears of it; SDK failures surface as korvi's own
exception classes with a note naming the operation and the camera.
"""
from __future__ import annotations

import importlib
import math
import operator
import os
import threading
import time
import weakref
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, replace
from datetime import UTC, datetime, timedelta
from types import TracebackType
from typing import Any, Final, Generic, Self, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import korvi
from .sensor import electrons_per_adu
from .errors import noted
from .frames import (FORMATS, FORMATS_BY_NUMBER, Format, Frame, FrameMeta, Roi, bayer_at, bayer_name, format_named,
                     bgr_to_rgb, frame_stamper, make_frame, meta_maker, to_array)
from .subframe import Subframe, plan_subframe
from .units import (BOOL, CELSIUS, CONTROL_NAMES, CONTROLS, FLIP_KIND, GUIDE, INT, MODE,
                    PERCENT, PIN, PIN_ALIASES, SECONDS_US, TENTH_CELSIUS, Control, IntKind, Kind, bool_arg,
                    enum_arg, int_arg, real_arg, seconds_arg, short_name)

__all__ = ["cameras", "Camera", "CameraDescription", "Control", "Controls", "Cooling", "Stream", "TriggerOutput"]

CT = korvi.ControlType
_CT_NAMES: Final = {m.name.lower().removeprefix("asi_"): m for m in CT}
_get_value = korvi.get_control_value
_set_value = korvi.set_control_value

# The fast frame reader is an optional companion extension; without it frames come
# through korvi.get_video_data, which allocates a fresh buffer per frame.
_fast: Any
try:
    _fast = importlib.import_module("vorrant.orlicam._frames")
except ImportError:
    _fast = None

_WORKING: Final = int(korvi.ExposureStatus.ASI_EXP_WORKING)
_FAILED: Final = int(korvi.ExposureStatus.ASI_EXP_FAILED)
_ABORTED: Final = -1   # not an SDK status: abort_exposure() woke the wait
# Longest single wait inside the SDK: Ctrl-C is seen when the call returns.
_WAIT_SLICE_MS: Final = 250
_MAX_GUIDE_S: Final = 3600.0
_MAX_TRIGGER_S: Final = 2000.0
# A stream re-reads the settings its frames carry at least this often (seconds): the
# temperature drifts, and other code may set controls through korvi directly.
_SETTINGS_REFRESH_S: Final = 0.25
_NO_TIME: Final = datetime(1970, 1, 1, tzinfo=UTC)


def _gps_time(gps: korvi.GpsData | None) -> datetime | None:
    """The time in a GPS record, None without one or without a fix (year 0)."""
    if gps is None or gps.year <= 0:
        return None
    return datetime(gps.year, gps.month, gps.day, gps.hour, gps.minute, gps.second,
                    gps.m_second * 1000 + gps.u_second, tzinfo=UTC)

G = TypeVar("G")
S = TypeVar("S")


@dataclass(frozen=True, slots=True)
class _Caps:
    member: korvi.ControlType
    name: str
    kind: Kind[Any, Any]
    sdk_name: str
    description: str
    min: int
    max: int
    default: int
    writable: bool
    auto_supported: bool


# --- discovery ------------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class CameraDescription:
    """A connected camera as the SDK describes it, before it is opened."""

    index: int
    camera_id: int
    name: str
    max_width: int
    max_height: int
    is_color: bool
    bayer_pattern: str | None
    bit_depth: int
    pixel_size: float
    e_per_adu: float
    bins: tuple[int, ...]
    formats: tuple[str, ...]
    cooled: bool
    st4: bool
    trigger: bool
    gps: bool
    usb3: bool
    mechanical_shutter: bool


# Re-entrant: a forgotten Camera may be finalised (and close itself) while this thread holds it.
_registry_lock = threading.RLock()
_registry: dict[int, weakref.ref[Camera]] = {}   # camera id -> the Camera that holds it
_gps_seen: dict[tuple[int, str], bool] = {}


def _holder(camera_id: int) -> Camera | None:
    ref = _registry.get(camera_id)
    return ref() if ref is not None else None


def _has_gps(camera_id: int, name: str) -> bool:
    """Whether the camera reports GPS support. The flag is a control, readable only while
    the camera is open: a camera closed here is opened for the question and closed again."""
    key = (camera_id, name)
    if key in _gps_seen:
        return _gps_seen[key]
    holder = _holder(camera_id)
    if holder is not None and holder.is_open:
        return holder._gps
    try:
        try:
            answer = bool(_get_value(camera_id, CT.ASI_GPS_SUPPORT)[0])
        except korvi.ASICameraClosed:
            korvi.open_camera(camera_id)
            try:
                answer = bool(_get_value(camera_id, CT.ASI_GPS_SUPPORT)[0])
            finally:
                korvi.close_camera(camera_id)
    except korvi.ASIInvalidControlType:
        answer = False   # the camera has no GPS control at all
    except korvi.ASIError:
        return False     # busy elsewhere or gone: no answer to remember
    _gps_seen[key] = answer
    return answer


def _describe(index: int, info: korvi.CameraInfo) -> CameraDescription:
    formats = tuple(FORMATS_BY_NUMBER[int(t)].name for t in info.supported_video_formats
                    if int(t) in FORMATS_BY_NUMBER)
    return CameraDescription(
        index=index, camera_id=info.camera_id, name=info.name,
        max_width=info.max_width, max_height=info.max_height, is_color=info.is_color_camera,
        bayer_pattern=bayer_name(int(info.bayer_pattern)) if info.is_color_camera else None,
        bit_depth=info.bit_depth, pixel_size=info.pixel_size, e_per_adu=info.elec_per_adu,
        bins=tuple(info.supported_bins), formats=formats, cooled=info.is_cooler_cam,
        st4=info.st_4_port, trigger=info.is_trigger_cam,
        gps=_has_gps(info.camera_id, info.name), usb3=info.is_usb3_camera,
        mechanical_shutter=info.mechanical_shutter)


def cameras() -> list[CameraDescription]:
    """One description per connected camera, in the SDK's order."""
    with _registry_lock:
        found = []
        for index in range(korvi.get_number_of_connected_cameras()):
            try:
                info = korvi.get_camera_property(index)
            except korvi.ASIError as exc:
                raise noted(exc, "reading the description", f"camera {index}")
            found.append(_describe(index, info))
        return found


def _resolve(which: object) -> CameraDescription:
    if isinstance(which, CameraDescription):
        return which
    if isinstance(which, bool) or not isinstance(which, (int, str, np.integer)):
        raise TypeError(f"Camera takes an index, a name or a CameraDescription, not {type(which).__name__}")
    found = cameras()
    listing = "; ".join(f"{d.index}: {d.name}" for d in found) or "none"
    if isinstance(which, str):
        wanted = which.strip().lower()
        exact = [d for d in found if d.name.lower() == wanted]
        matches = exact or [d for d in found if wanted and wanted in d.name.lower()]
        if len(matches) == 1:
            return matches[0]
        if not matches:
            raise ValueError(f"no connected camera's name contains {which!r}; connected: {listing}")
        raise ValueError(f"{which!r} matches {len(matches)} cameras ("
                         + "; ".join(f"{d.index}: {d.name}" for d in matches)
                         + "); give more of the name or the index")
    index = operator.index(which)
    if not 0 <= index < len(found):
        raise ValueError(f"no camera at index {index}; {len(found)} connected: {listing}")
    return found[index]


# --- the camera ------------------------------------------------------------------------

class _ControlAttr(Generic[G, S]):
    """A Camera property backed by one SDK control, in physical units."""

    __slots__ = ("member", "number", "name", "kind", "plain")

    def __init__(self, member: korvi.ControlType, kind: Kind[G, S]) -> None:
        self.member = member
        self.number = int(member)
        self.name = CONTROLS[member][0]
        self.kind = kind
        self.plain = isinstance(kind, IntKind)   # the SDK's number is the value: no conversion call

    @overload
    def __get__(self, cam: None, owner: type[Camera]) -> Self: ...
    @overload
    def __get__(self, cam: Camera, owner: type[Camera]) -> G: ...

    def __get__(self, cam: Camera | None, owner: type[Camera]) -> Self | G:
        if cam is None:
            return self
        if self.number not in cam._caps:
            raise cam._lacking(self.name, "reading")
        try:
            raw = _get_value(cam._id, self.member)[0]
        except korvi.ASIError as exc:
            raise noted(exc, f"reading {self.name}", cam._label)
        return raw if self.plain else self.kind.from_raw(raw)  # type: ignore[return-value]

    def __set__(self, cam: Camera, value: S) -> None:
        cam._write(self.number, value)


class Controls(Mapping[str, Control]):
    """`cam.controls`: keyed by each Control's name ("gain", "target_temperature"); the
    SDK's names ("Gain", "TargetTemp") and ControlType names ("ASI_TARGET_TEMP") find the
    same entries, in any case."""

    __slots__ = ("_by_name", "_aliases")

    def __init__(self, by_name: dict[str, Control], aliases: dict[str, str]) -> None:
        self._by_name = by_name
        self._aliases = aliases

    def __getitem__(self, key: str) -> Control:
        found = self._by_name.get(key)
        if found is None and isinstance(key, str):
            name = self._aliases.get(key.strip().lower().removeprefix("asi_"))
            found = None if name is None else self._by_name[name]
        if found is None:
            raise KeyError(key)
        return found

    def __iter__(self) -> Iterator[str]:
        return iter(self._by_name)

    def __len__(self) -> int:
        return len(self._by_name)

    def __repr__(self) -> str:
        return f"Controls({self._by_name!r})"


@dataclass(frozen=True, slots=True)
class Cooling:
    """One look at the sensor while cool_to waits."""

    temperature: float
    target: float
    cooler_power: int
    elapsed: float


@dataclass(frozen=True, slots=True)
class TriggerOutput:
    """A trigger output pin's setting: level when active, delay and duration in seconds."""

    pin: str
    high: bool
    delay: float
    duration: float


class Camera:
    """One ZWO camera. `with Camera(0) as cam:` opens and initialises it and closes it
    on leaving; Camera("ASI294") picks the one camera whose name contains the text."""

    __slots__ = ("_desc", "_id", "_label", "_open", "_caps", "_gps", "_serial", "_modes",
                 "_busy", "_guard", "_abort", "_capturing", "_changes", "__weakref__")

    def __init__(self, which: int | str | CameraDescription = 0) -> None:
        self._desc = _resolve(which)
        self._id = self._desc.camera_id
        self._label = f"{self._desc.name} (camera id {self._id})"
        self._open = False
        self._caps: dict[int, _Caps] = {}
        self._gps = False
        self._serial: str | None = None
        self._modes: tuple[korvi.CameraMode, ...] = ()
        self._busy = False   # a stream is running
        # A capture and abort_exposure() from another thread meet here: `_capturing` is
        # the capturing thread's id from its start_exposure until it lets go of the camera.
        self._guard = threading.Condition(threading.RLock())
        self._abort = threading.Event()
        self._capturing: int | None = None
        # Counts the layer's control writes: a stream re-reads the settings its frames
        # carry when this has moved.
        self._changes = 0

    # -- lifecycle --

    def open(self) -> None:
        """Opens and initialises the camera; refused while another Camera object of this
        process holds it (the SDK keeps one state per camera)."""
        with _registry_lock:
            if self._open:
                return
            holder = _holder(self._id)
            if holder is not None and holder is not self:
                raise noted(korvi.ASIGeneralError(
                    f"{self._label} is already open through another Camera object in this process; "
                    "use that object or close it first"), "opening", self._label)
            opened = False
            try:
                korvi.open_camera(self._id)
                opened = True
                korvi.init_camera(self._id)
                self._load()
                _registry[self._id] = weakref.ref(self)
                self._open = True
            except BaseException as exc:
                # Anything but the SDK refusing to open (Ctrl-C too, even as the open
                # returned) leaves the camera closed again, and free.
                if opened or not isinstance(exc, korvi.ASIError):
                    self._open = False
                    self._caps = {}
                    if _holder(self._id) is self:
                        del _registry[self._id]
                    try:
                        korvi.close_camera(self._id)
                    except korvi.ASIError:
                        pass   # the first failure is the one to report
                if isinstance(exc, korvi.ASIError):
                    raise noted(exc, "opening", self._label)
                raise

    def _load(self) -> None:
        caps: dict[int, _Caps] = {}
        for index in range(korvi.get_num_of_controls(self._id)):
            record = korvi.get_control_caps(self._id, index)
            try:
                member = record.control_type
            except ValueError:
                continue   # a control this SDK build has no name for
            name, kind = CONTROLS[member]
            caps[int(member)] = _Caps(member, name, kind, record.name, record.description,
                                      record.min_value, record.max_value, record.default_value,
                                      record.is_writable, record.is_auto_supported)
        self._caps = caps
        self._gps = CT.ASI_GPS_SUPPORT in caps and bool(_get_value(self._id, CT.ASI_GPS_SUPPORT)[0])
        try:
            self._serial = korvi.get_serial_number(self._id).id
        except korvi.ASIError:
            self._serial = None   # cameras without a serial number refuse the call
        self._modes = tuple(korvi.get_camera_support_mode(self._id)) if self._desc.trigger else ()

    def close(self) -> None:
        """Closes the camera; closing a closed camera does nothing."""
        with _registry_lock:
            if not self._open:
                return
            self._open = False
            self._caps = {}
            self._busy = False
            if _holder(self._id) is self:
                del _registry[self._id]
            try:
                korvi.close_camera(self._id)
            except korvi.ASIError as exc:
                raise noted(exc, "closing", self._label)

    def __enter__(self) -> Self:
        self.open()
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        try:
            self.close()
        except korvi.ASIError as close_error:
            if exc is None:
                raise
            exc.add_note(f"orlicam: closing {self._label} afterwards failed too: {close_error!r}")

    def __del__(self) -> None:
        if getattr(self, "_open", False):
            try:
                self.close()
            except Exception:
                pass

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<Camera {self._desc.index} {self._desc.name!r} id={self._id} {state}>"

    @property
    def is_open(self) -> bool:
        return self._open

    @property
    def description(self) -> CameraDescription:
        return self._desc

    @property
    def name(self) -> str:
        return self._desc.name

    @property
    def index(self) -> int:
        return self._desc.index

    @property
    def camera_id(self) -> int:
        return self._id

    @property
    def serial(self) -> str | None:
        """The serial number as hex text, None when the camera has none."""
        self._require_open("reading the serial number")
        return self._serial

    def _require_open(self, operation: str) -> None:
        if not self._open:
            raise noted(korvi.ASICameraClosed(
                f"{self._label} is closed; open it first (with Camera(...) as cam: or cam.open())"),
                operation, self._label)

    # -- controls --

    def _lacking(self, name: str, operation: str) -> BaseException:
        if not self._open:
            self._require_open(f"{operation} {name}")
        return AttributeError(f"{self._label} has no {name} control; it has: {self._control_list()}")

    def _caps_named(self, name: object, operation: str) -> _Caps:
        """The control a method argument names: as in `controls` ("gain"), as the SDK does
        ("Gain"), as a ControlType member, its name ("ASI_GAIN") or its number. A name that
        is no control, or one this camera lacks, is a bad argument: ValueError."""
        if isinstance(name, str):
            key = name.strip().lower()
            member = CONTROL_NAMES.get(key)
            if member is None:   # the SDK's own names work too ("Gain", "CoolerOn")
                member = next((c.member for c in self._caps.values() if c.sdk_name.lower() == key), None)
            if member is None:
                member = _CT_NAMES.get(key.removeprefix("asi_"))
            if member is None:
                self._require_open(f"{operation} {name}")
                raise ValueError(f"unknown control {name!r}; {self._label} has: {self._control_list()}")
        else:
            member = enum_arg(CT, name, "control", ("ASI_",))
        caps = self._caps.get(int(member))
        if caps is None:
            self._require_open(f"{operation} {CONTROLS[member][0]}")
            raise ValueError(f"{self._label} has no {CONTROLS[member][0]} control; it has: {self._control_list()}")
        return caps

    def _control_list(self) -> str:
        return ", ".join(sorted(c.name for c in self._caps.values()))

    def _checked_raw(self, caps: _Caps, value: object) -> int:
        if not caps.writable:
            raise AttributeError(f"{caps.name} is read-only on {self._label}")
        raw = caps.kind.to_raw(caps.name, value)
        if not caps.min <= raw <= caps.max:
            raise ValueError(f"{caps.name} must be between {caps.kind.show(caps.min)} and "
                             f"{caps.kind.show(caps.max)} on {self._label}, got {caps.kind.show(raw)}")
        return raw

    def _write(self, number: int, value: object) -> None:
        caps = self._caps.get(number)
        if caps is None:
            raise self._lacking(CONTROLS[number][0], "setting")
        raw = self._checked_raw(caps, value)
        self._changes += 1
        try:
            _set_value(self._id, caps.member, raw, False)
        except korvi.ASIError as exc:
            raise noted(exc, f"setting {caps.name} to {caps.kind.show(raw)}", self._label)

    def get_control(self, name: str | korvi.ControlType | int) -> Any:
        """A control's current value by name (as in `controls`), ControlType or number."""
        caps = self._caps_named(name, "reading")
        try:
            return caps.kind.from_raw(_get_value(self._id, caps.member)[0])
        except korvi.ASIError as exc:
            raise noted(exc, f"reading {caps.name}", self._label)

    def set_control(self, name: str | korvi.ControlType | int, value: Any) -> None:
        """Sets a control by name (as in `controls`), ControlType or number; checked against
        its range first. Setting a value switches the control's automatic mode off."""
        caps = self._caps_named(name, "setting")
        self._write(int(caps.member), value)

    def set_auto(self, name: str | korvi.ControlType | int, on: bool = True) -> None:
        """Switches a control's automatic mode on or off, keeping its current value."""
        caps = self._caps_named(name, "setting the automatic mode of")
        flag = bool_arg("on", on)
        if not caps.auto_supported:
            have = ", ".join(c.name for c in self._caps.values() if c.auto_supported) or "none"
            raise ValueError(f"{caps.name} has no automatic mode on {self._label}; controls with one: {have}")
        self._changes += 1
        try:
            raw = _get_value(self._id, caps.member)[0]
            _set_value(self._id, caps.member, raw, flag)
        except korvi.ASIError as exc:
            raise noted(exc, f"switching automatic {caps.name} {'on' if flag else 'off'}", self._label)

    @property
    def controls(self) -> Mapping[str, Control]:
        """Every control of the camera with its capabilities and current value."""
        self._require_open("reading the controls")
        out: dict[str, Control] = {}
        aliases: dict[str, str] = {}
        for caps in self._caps.values():
            for alias in (caps.sdk_name, caps.member.name.removeprefix("ASI_"), caps.name):
                aliases[alias.lower()] = caps.name
            try:
                raw, auto = _get_value(self._id, caps.member)
            except korvi.ASIError as exc:
                raise noted(exc, f"reading {caps.name}", self._label)
            k = caps.kind
            out[caps.name] = Control(caps.name, k.from_raw(caps.min), k.from_raw(caps.max),
                                     k.from_raw(caps.default), caps.writable, caps.auto_supported,
                                     caps.description, k.unit, k.from_raw(raw), auto)
        return Controls(out, aliases)

    exposure: _ControlAttr[float, float] = _ControlAttr(CT.ASI_EXPOSURE, SECONDS_US)
    gain: _ControlAttr[int, int] = _ControlAttr(CT.ASI_GAIN, INT)
    offset: _ControlAttr[int, int] = _ControlAttr(CT.ASI_OFFSET, INT)
    temperature: _ControlAttr[float, float] = _ControlAttr(CT.ASI_TEMPERATURE, TENTH_CELSIUS)
    target_temperature: _ControlAttr[float, float] = _ControlAttr(CT.ASI_TARGET_TEMP, CELSIUS)
    cooler_on: _ControlAttr[bool, bool] = _ControlAttr(CT.ASI_COOLER_ON, BOOL)
    cooler_power: _ControlAttr[int, int] = _ControlAttr(CT.ASI_COOLER_POWER_PERC, PERCENT)
    fan_on: _ControlAttr[bool, bool] = _ControlAttr(CT.ASI_FAN_ON, BOOL)
    anti_dew_heater: _ControlAttr[bool, bool] = _ControlAttr(CT.ASI_ANTI_DEW_HEATER, BOOL)
    bandwidth: _ControlAttr[int, int] = _ControlAttr(CT.ASI_BANDWIDTHOVERLOAD, PERCENT)
    high_speed_mode: _ControlAttr[bool, bool] = _ControlAttr(CT.ASI_HIGH_SPEED_MODE, BOOL)
    flip: _ControlAttr[korvi.FlipStatus, korvi.FlipStatus | str | int] = _ControlAttr(CT.ASI_FLIP, FLIP_KIND)
    wb_red: _ControlAttr[int, int] = _ControlAttr(CT.ASI_WB_R, INT)
    wb_blue: _ControlAttr[int, int] = _ControlAttr(CT.ASI_WB_B, INT)
    gamma: _ControlAttr[int, int] = _ControlAttr(CT.ASI_GAMMA, INT)

    # -- region of interest --

    @property
    def roi(self) -> Roi:
        """The region of interest and image format currently set."""
        self._require_open("reading the region of interest")
        try:
            width, height, binning, img_type = korvi.get_roi_format(self._id)
            x, y = korvi.get_start_pos(self._id)
        except korvi.ASIError as exc:
            raise noted(exc, "reading the region of interest", self._label)
        return Roi(x, y, width, height, binning, FORMATS_BY_NUMBER[int(img_type)].name)

    @roi.setter
    def roi(self, roi: Roi) -> None:
        if not isinstance(roi, Roi):
            raise TypeError(f"roi takes a Roi, not {type(roi).__name__}")
        self._require_open("setting the region of interest")
        self._check_roi(roi)
        self._apply_roi(roi)

    def _check_bin(self, binning: int) -> int:
        binning = int_arg("bin", binning)
        if binning not in self._desc.bins:
            raise ValueError(f"bin {binning} is not supported by {self._label}; supported: "
                             + ", ".join(map(str, self._desc.bins)))
        return binning

    def _check_format(self, value: object) -> Format:
        fmt = format_named(value)
        if fmt.name not in self._desc.formats:
            raise ValueError(f"image format {fmt.name} is not supported by {self._label}; supported: "
                             + ", ".join(self._desc.formats))
        return fmt

    def _check_geometry(self, x: int, y: int, width: int, height: int, binning: int) -> None:
        sensor_w, sensor_h = self._desc.max_width // binning, self._desc.max_height // binning
        for name, size in (("width", width), ("height", height)):
            if size <= 0:
                raise ValueError(f"the ROI {name} must be positive, got {size}")
        if width % 8:
            raise ValueError(f"the ROI width must be a multiple of 8, got {width}")
        if height % 2:
            raise ValueError(f"the ROI height must be even, got {height}")
        for name, start in (("x", x), ("y", y)):
            if start < 0:
                raise ValueError(f"the ROI {name} must not be negative, got {start}")
        if x + width > sensor_w or y + height > sensor_h:
            raise ValueError(
                f"the ROI must lie inside the sensor, which is {sensor_w} x {sensor_h} pixels at bin {binning}; "
                f"got x + width = {x + width}, y + height = {y + height}")

    def _check_roi(self, roi: Roi) -> None:
        self._check_bin(roi.bin)
        self._check_format(roi.image_format)
        self._check_geometry(roi.x, roi.y, roi.width, roi.height, roi.bin)

    def _apply_roi(self, roi: Roi) -> None:
        if self._busy:
            raise noted(korvi.ASIVideoModeActive(f"{self._label} is streaming; leave the stream first"),
                        "setting the region of interest", self._label)
        try:
            korvi.set_roi_format(self._id, roi.width, roi.height, roi.bin, FORMATS[roi.image_format].img_type)
            korvi.set_start_pos(self._id, roi.x, roi.y)
        except korvi.ASIError as exc:
            raise noted(exc, f"setting the region of interest to {roi}", self._label)

    def set_roi(self, width: int | None = None, height: int | None = None, bin: int = 1,
                image_format: str | korvi.ImgType | int | None = None,
                x: int | None = None, y: int | None = None) -> Roi:
        """Sets the region of interest (in binned pixels) and returns it. A missing size
        takes the whole sensor at that bin, a missing start centres the region, a missing
        format keeps the current one."""
        binning = self._check_bin(bin)
        fmt = None if image_format is None else self._check_format(image_format)
        sensor_w, sensor_h = self._desc.max_width // binning, self._desc.max_height // binning
        w = sensor_w - sensor_w % 8 if width is None else int_arg("width", width)
        h = sensor_h - sensor_h % 2 if height is None else int_arg("height", height)
        # Centred on an even pixel, so a colour camera's Bayer pattern stays as described.
        x0 = max(0, (sensor_w - w) // 2) & ~1 if x is None else int_arg("x", x)
        y0 = max(0, (sensor_h - h) // 2) & ~1 if y is None else int_arg("y", y)
        self._check_geometry(x0, y0, w, h, binning)
        self._require_open("setting the region of interest")
        if fmt is None:
            fmt = FORMATS[self.roi.image_format]
        roi = Roi(x0, y0, w, h, binning, fmt.name)
        self._apply_roi(roi)
        return roi

    def set_subframe(self, x: int, y: int, width: int, height: int, bin: int = 1,
                     image_format: str | korvi.ImgType | int | None = None) -> Subframe:
        """Sets the smallest region the camera accepts that covers any subframe inside the
        sensor at `bin` (start and size in binned pixels) and returns the plan; pass it to
        capture_subframe() for frames of exactly the size asked."""
        binning = self._check_bin(bin)
        fmt = None if image_format is None else self._check_format(image_format)
        self._require_open("setting a subframe")
        d = self._desc
        name = (fmt or FORMATS[self.roi.image_format]).name
        plan = plan_subframe(d.max_width, d.max_height, d.bins, int_arg("x", x), int_arg("y", y),
                             int_arg("width", width), int_arg("height", height), binning, name, d.bayer_pattern)
        self._check_roi(plan.roi)
        self._apply_roi(plan.roi)
        return plan

    def capture_subframe(self, subframe: Subframe, exposure: float | None = None, dark: bool = False,
                         timeout: float | None = None) -> Frame:
        """capture(), cropped (and binned, where the camera cannot bin that region itself)
        to the subframe set by set_subframe()."""
        frame = self.capture(exposure, dark, timeout)
        flip = self._read_raw(CT.ASI_FLIP) or 0
        return subframe.crop(frame, flip)

    @property
    def electrons_per_adu(self) -> float:
        """Electrons per unit of the frames the camera delivers now: its gain-0 figure at the
        current gain and bin, in the units of the current image format's data word."""
        self._require_open("reading the conversion factor")
        gain = int(self.gain) if CT.ASI_GAIN in self._caps else None
        roi = self.roi
        return electrons_per_adu(self._desc.e_per_adu, self._desc.bit_depth, gain, roi.image_format, roi.bin)

    # -- snapshots --

    def _read_raw(self, number: int) -> int | None:
        caps = self._caps.get(number)
        return None if caps is None else _get_value(self._id, caps.member)[0]

    def _settings_meta(self, roi: Roi, dark: bool) -> tuple[FrameMeta, float, bool]:
        """The metadata of a frame taken now with `roi`, settings read back from the camera,
        with no start time, GPS record or index yet; the exposure in seconds; and whether
        the exposure or gain is under automatic control (it then changes frame by frame)."""
        d = self._desc
        cid = self._id
        raw_exposure, live = _get_value(cid, CT.ASI_EXPOSURE)
        gain = None
        if CT.ASI_GAIN in self._caps:
            gain, gain_auto = _get_value(cid, CT.ASI_GAIN)
            live = live or gain_auto
        temperature = self._read_raw(CT.ASI_TEMPERATURE)
        target = self._read_raw(CT.ASI_TARGET_TEMP) if d.cooled else None
        pattern = None
        if d.bayer_pattern is not None and roi.image_format in ("RAW8", "RAW16"):
            flip = self._read_raw(CT.ASI_FLIP) or 0
            pattern = bayer_at(d.bayer_pattern, roi.x, roi.y, roi.width, roi.height, flip)
        exposure = raw_exposure / 1e6
        meta = FrameMeta(
            camera_name=d.name, camera_index=d.index, camera_id=cid, serial=self._serial,
            exposure=exposure, gain=gain, offset=self._read_raw(CT.ASI_OFFSET),
            temperature=None if temperature is None else temperature / 10,
            target_temperature=None if target is None else float(target), cooled=d.cooled,
            roi=roi, bayer_pattern=pattern, bit_depth=d.bit_depth, pixel_size=d.pixel_size,
            e_per_adu=d.e_per_adu, start_time=_NO_TIME, gps=None, dark=dark, index=0)
        return meta, exposure, live

    def _meta(self, roi: Roi, start: datetime, gps: korvi.GpsData | None, dark: bool, index: int) -> FrameMeta:
        """A snapshot's metadata, settings read back now; `start` is the exposure start
        unless the GPS record has a time."""
        meta = self._settings_meta(roi, dark)[0]
        gps_start = _gps_time(gps)
        return replace(meta, start_time=start if gps_start is None else gps_start,
                       gps=None if gps_start is None else gps, index=index)

    def capture(self, exposure: float | None = None, dark: bool = False,
                timeout: float | None = None) -> Frame:
        """Takes one exposure (seconds; None keeps the current one) and returns the frame.
        `timeout` bounds the wait for the exposure to end (default: twice the exposure plus
        5 s; korvi.ASITimeout after it; math.inf for no bound). Ctrl-C stops the exposure
        and leaves the camera ready for the next one; so does abort_exposure() from another
        thread, which makes this call raise korvi.ASIGeneralError ("... was aborted")."""
        raw_exposure = None
        if exposure is not None:
            self._require_open("capture")
            raw_exposure = self._checked_raw(self._caps[CT.ASI_EXPOSURE], exposure)
        dark = bool_arg("dark", dark)
        limit = None if timeout is None else seconds_arg("timeout", timeout, unlimited=True)
        self._require_open("capture")
        if self._busy:
            raise noted(korvi.ASIVideoModeActive(f"{self._label} is streaming; leave the stream first"),
                        "capture", self._label)
        cid = self._id
        with self._guard:
            if self._capturing is not None:
                raise noted(korvi.ASIExposureInProgress(
                    f"{self._label} is capturing in another thread; wait for that capture or abort it"),
                    "capture", self._label)
            self._abort.clear()
            self._capturing = threading.get_ident()
        frame: Frame | None = None
        roi: Roi | None = None
        seconds, start = 0.0, _NO_TIME
        try:
            # The guard is held until the exposure runs, so that abort_exposure() stops a
            # running exposure; an abort that came first means none is started.
            with self._guard:
                if self._abort.is_set():
                    roi = None
                else:
                    try:
                        if raw_exposure is not None:
                            _set_value(cid, CT.ASI_EXPOSURE, raw_exposure, False)
                        roi = self.roi
                        seconds = _get_value(cid, CT.ASI_EXPOSURE)[0] / 1e6
                        start = datetime.now(UTC)
                        korvi.start_exposure(cid, dark)
                    except korvi.ASIError as exc:
                        raise noted(exc, "capture", self._label)
            if roi is not None:
                frame = self._finish_capture(roi, seconds, start, dark, limit)
        except korvi.ASIError:
            raise   # the exposure never started, has ended, or was stopped where this was raised
        except BaseException:
            # Ctrl-C lands between any two steps, also just after the exposure started.
            self._stop_quietly()
            raise
        finally:
            with self._guard:
                aborted = self._abort.is_set()
                self._capturing = None
                self._guard.notify_all()
        if aborted or frame is None:
            # An abort that came during the readout discards the frame too: the caller
            # of abort_exposure() has been told this capture ends with this error.
            what = f"the exposure of {seconds:g} s" if roi is not None else "the capture, before its exposure began,"
            raise noted(korvi.ASIGeneralError(f"{what} on {self._label} was aborted"),
                        "capture (exposure aborted)", self._label)
        return frame

    def _finish_capture(self, roi: Roi, seconds: float, start: datetime, dark: bool,
                        limit: float | None) -> Frame | None:
        """Waits for the started exposure and reads the frame; None when it was aborted."""
        cid = self._id
        try:
            status = self._wait_exposure(seconds, 2 * seconds + 5.0 if limit is None else limit)
        except korvi.ASIError:
            self._stop_quietly()
            raise
        if status == _ABORTED:
            return None   # abort_exposure() has stopped it in the SDK
        try:
            if status == _FAILED:
                self._stop_quietly()   # so that the next exposure can start
                raise korvi.ASIGeneralError(f"the exposure of {seconds:g} s failed on {self._label}")
            fmt = FORMATS[roi.image_format]
            size = fmt.buffer_size(roi.width, roi.height)
            gps: korvi.GpsData | None = None
            if self._gps:
                data, gps = korvi.get_data_after_exp_gps(cid, size)
            else:
                data = korvi.get_data_after_exp(cid, size)
            meta = self._meta(roi, start, gps, dark, 0)
        except korvi.ASIError as exc:
            raise noted(exc, "capture", self._label)
        return Frame(to_array(data, fmt, roi.width, roi.height), meta)

    def _stop_quietly(self) -> None:
        try:
            korvi.stop_exposure(self._id)
        except korvi.ASIError:
            pass   # the exposure may have ended by itself meanwhile

    def _wait_exposure(self, seconds: float, limit: float) -> int:
        cid = self._id
        deadline = time.monotonic() + limit
        # Sleep through most of the exposure (an abort wakes it), then look often enough
        # to lose little time: a short exposure ends within a fraction of a millisecond of
        # when it is due, so it is looked at every 50 us from 80% of its time on.
        if seconds > 0.02:
            if self._abort.wait(min(seconds - 0.01, limit)):
                return _ABORTED
        elif seconds > 0.0005:
            time.sleep(min(0.8 * seconds, limit))
        pause = 0.00005 if seconds < 0.1 else 0.001
        while True:
            if self._abort.is_set():
                return _ABORTED
            try:
                status = korvi.get_exp_status(cid)
            except korvi.ASIError as exc:
                raise noted(exc, "capture", self._label)
            if status != _WORKING:
                return status
            if time.monotonic() >= deadline:
                raise noted(korvi.ASITimeout(
                    f"the exposure of {seconds:g} s on {self._label} did not end within {limit:g} s"),
                    "capture", self._label)
            time.sleep(pause)

    def abort_exposure(self, timeout: float = 10.0) -> bool:
        """Ends the capture() running in another thread: stops its exposure in the camera
        and makes that capture raise korvi.ASIGeneralError ("... was aborted"), also when
        the exposure had just ended and the frame was being read. Returns True once that
        capture has let go of the camera, so the next capture can start at once; False,
        with nothing sent to the camera, when no capture runs. korvi.ASITimeout when the
        capture has not let go within `timeout` seconds."""
        # Threads wait at most TIMEOUT_MAX at a time (about 292 years).
        limit = min(seconds_arg("timeout", timeout, unlimited=True), threading.TIMEOUT_MAX)
        self._require_open("aborting the exposure")
        with self._guard:
            owner = self._capturing
            if owner is None:
                return False
            self._abort.set()
            failure: korvi.ASIError | None = None
            try:
                korvi.stop_exposure(self._id)
            except korvi.ASIError as exc:
                failure = exc   # the capture still ends; report this once it has
            # From a signal handler in the capturing thread itself there is nothing to
            # wait for: the capture ends when the handler returns.
            if owner != threading.get_ident() and not self._guard.wait_for(
                    lambda: self._capturing is None, limit):
                raise noted(korvi.ASITimeout(
                    f"the aborted capture on {self._label} did not end within {limit:g} s"),
                    "aborting the exposure", self._label)
        if failure is not None:
            raise noted(failure, "aborting the exposure", self._label)
        return True

    # -- video --

    def stream(self, exposure: float | None = None, timeout: float | None = None,
               copy: bool = True) -> Stream:
        """A video stream, to use as `with cam.stream(0.01) as frames: for frame in frames:`.
        `timeout` bounds the wait for each frame (default: twice the exposure plus 1 s;
        math.inf for no bound, as when frames wait for a trigger); with copy=False frames share a small ring of buffers, so each frame's data stays
        valid only until two more frames have been read."""
        raw_exposure = None
        if exposure is not None:
            self._require_open("stream")
            raw_exposure = self._checked_raw(self._caps[CT.ASI_EXPOSURE], exposure)
        limit = None if timeout is None else seconds_arg("timeout", timeout, unlimited=True)
        copy = bool_arg("copy", copy)
        self._require_open("stream")
        return Stream(self, raw_exposure, limit, copy)

    # -- guiding, cooling, triggers, dark frames --

    def pulse_guide(self, direction: korvi.GuideDirection | str | int, seconds: float) -> None:
        """Guides through the ST4 port for `seconds` ("north", "south", "east", "west").
        The pulse always ends, also on Ctrl-C."""
        member = enum_arg(korvi.GuideDirection, direction, "direction", GUIDE)
        length = seconds_arg("seconds", seconds)
        if length > _MAX_GUIDE_S:
            raise ValueError(f"a guide pulse lasts at most {_MAX_GUIDE_S:g} s, got {length:g}")
        self._require_open("guiding")
        if not self._desc.st4:
            raise AttributeError(f"{self._label} has no ST4 guide port")
        operation = f"guiding {short_name(member, GUIDE)} for {length:g} s"
        try:
            korvi.pulse_guide_on(self._id, member)
        except korvi.ASIError as exc:
            raise noted(exc, operation, self._label)
        except BaseException:
            try:
                korvi.pulse_guide_off(self._id, member)   # Ctrl-C as the pulse began
            except korvi.ASIError:
                pass   # the interrupt is the one to report
            raise
        try:
            time.sleep(length)
        finally:
            self._guide_off(member, operation)

    def _guide_off(self, member: korvi.GuideDirection, operation: str) -> None:
        try:
            korvi.pulse_guide_off(self._id, member)
        except korvi.ASIError as exc:
            raise noted(exc, operation, self._label)

    def cool_to(self, celsius: float, timeout: float, tolerance: float = 1.0,
                progress: Callable[[Cooling], object] | None = None, interval: float = 1.0) -> float:
        """Switches the cooler on with target `celsius` and waits until the sensor is within
        `tolerance` of it; returns the temperature reached. `progress` sees each reading
        (every `interval` seconds); korvi.ASITimeout when `timeout` seconds pass first. On a
        timeout or Ctrl-C the cooler stays on at the new target."""
        limit = seconds_arg("timeout", timeout, unlimited=True)
        tol = real_arg("tolerance", tolerance)
        if tol < 0:
            raise ValueError(f"tolerance must not be negative, got {tol:g}")
        pause = seconds_arg("interval", interval)
        if progress is not None and not callable(progress):
            raise TypeError(f"progress takes a callable, not {type(progress).__name__}")
        self._require_open("cooling")
        if not self._desc.cooled:
            raise AttributeError(f"{self._label} has no cooler")
        target = self._caps[CT.ASI_TARGET_TEMP]
        raw_target = self._checked_raw(target, celsius)
        self._checked_raw(self._caps[CT.ASI_COOLER_ON], True)
        self._changes += 1
        try:
            _set_value(self._id, CT.ASI_TARGET_TEMP, raw_target, False)
            _set_value(self._id, CT.ASI_COOLER_ON, 1, False)
        except korvi.ASIError as exc:
            raise noted(exc, f"cooling to {raw_target} °C", self._label)
        began = time.monotonic()
        while True:
            temperature = self.temperature
            elapsed = time.monotonic() - began
            if progress is not None:
                progress(Cooling(temperature, float(raw_target), self.cooler_power, elapsed))
            if abs(temperature - raw_target) <= tol:
                return temperature
            if elapsed >= limit:
                raise noted(korvi.ASITimeout(
                    f"the sensor is at {temperature:g} °C after {limit:g} s, target {raw_target} ± {tol:g} °C"),
                    "cooling", self._label)
            time.sleep(min(pause, limit - elapsed))

    @property
    def supported_modes(self) -> tuple[str, ...]:
        """Names of the camera modes: "normal" and the trigger modes the camera has."""
        self._require_open("reading the camera modes")
        return tuple(short_name(m, MODE) for m in self._modes) or ("normal",)

    @property
    def mode(self) -> str:
        """The camera mode by name ("normal", "soft_edge", "rise_edge", "fall_edge",
        "soft_level", "high_level", "low_level")."""
        self._require_open("reading the camera mode")
        if not self._desc.trigger:
            return "normal"
        try:
            return short_name(korvi.get_camera_mode(self._id), MODE)
        except korvi.ASIError as exc:
            raise noted(exc, "reading the camera mode", self._label)

    @mode.setter
    def mode(self, mode: korvi.CameraMode | str | int) -> None:
        self._require_open("setting the camera mode")
        allowed = self._modes or (korvi.CameraMode.ASI_MODE_NORMAL,)
        member = enum_arg(korvi.CameraMode, mode, "camera mode", MODE, allowed=allowed)
        if not self._desc.trigger:
            return   # normal is the only mode there is
        try:
            korvi.set_camera_mode(self._id, member)
        except korvi.ASIError as exc:
            raise noted(exc, f"setting the camera mode to {short_name(member, MODE)}", self._label)

    def send_soft_trigger(self, start: bool = True) -> None:
        """Triggers an exposure in the soft trigger modes (start=False ends a soft level)."""
        flag = bool_arg("start", start)
        self._require_open("sending a soft trigger")
        if not self._desc.trigger:
            raise AttributeError(f"{self._label} has no trigger modes")
        try:
            korvi.send_soft_trigger(self._id, flag)
        except korvi.ASIError as exc:
            raise noted(exc, "sending a soft trigger", self._label)

    def _pin(self, pin: object) -> korvi.TrigOutput:
        allowed = (korvi.TrigOutput.ASI_TRIG_OUTPUT_PINA, korvi.TrigOutput.ASI_TRIG_OUTPUT_PINB)
        return enum_arg(korvi.TrigOutput, pin, "trigger output pin", PIN, allowed=allowed, aliases=PIN_ALIASES)

    def configure_trigger_output(self, pin: korvi.TrigOutput | str | int, high: bool = True,
                                 delay: float = 0.0, duration: float = 0.0) -> None:
        """Sets a trigger output pin ("A" or "B"): its active level, and the delay after
        the exposure starts and the pulse length, in seconds (µs resolution)."""
        member = self._pin(pin)
        level = bool_arg("high", high)
        times = []
        for name, value in (("delay", delay), ("duration", duration)):
            seconds = real_arg(name, value)
            if not 0 <= seconds <= _MAX_TRIGGER_S:
                raise ValueError(f"{name} must be between 0 and {_MAX_TRIGGER_S:g} s, got {seconds:g}")
            times.append(round(seconds * 1_000_000))
        self._require_open("configuring a trigger output")
        if not self._desc.trigger:
            raise AttributeError(f"{self._label} has no trigger outputs")
        try:
            korvi.set_trigger_output_io_conf(self._id, member, level, times[0], times[1])
        except korvi.ASIError as exc:
            raise noted(exc, f"configuring trigger output {short_name(member, PIN)}", self._label)

    def trigger_output(self, pin: korvi.TrigOutput | str | int) -> TriggerOutput:
        """A trigger output pin's current setting."""
        member = self._pin(pin)
        self._require_open("reading a trigger output")
        if not self._desc.trigger:
            raise AttributeError(f"{self._label} has no trigger outputs")
        try:
            high, delay, duration = korvi.get_trigger_output_io_conf(self._id, int(member))
        except korvi.ASIError as exc:
            raise noted(exc, f"reading trigger output {short_name(member, PIN)}", self._label)
        return TriggerOutput(short_name(member, PIN).upper(), high, delay / 1e6, duration / 1e6)

    def enable_dark_subtract(self, path: str | os.PathLike[str]) -> None:
        """Has the camera subtract a dark frame stored as a BMP file from every frame."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path takes a str or a path object, not {type(path).__name__}")
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError("path takes a text path, not bytes")
        if not os.path.isfile(text):
            raise FileNotFoundError(f"no dark frame file at {text!r}")
        self._require_open("enabling dark subtraction")
        try:
            korvi.enable_dark_subtract(self._id, text)
        except korvi.ASIError as exc:
            raise noted(exc, f"enabling dark subtraction from {text!r}", self._label)

    def disable_dark_subtract(self) -> None:
        self._require_open("disabling dark subtraction")
        try:
            korvi.disable_dark_subtract(self._id)
        except korvi.ASIError as exc:
            raise noted(exc, "disabling dark subtraction", self._label)


class Stream:
    """A running video capture: iterate it for Frames. The capture starts on entering the
    `with` block and stops on leaving it, however it is left."""

    def __init__(self, cam: Camera, raw_exposure: int | None, timeout: float | None, copy: bool) -> None:
        self._cam = cam
        self._raw_exposure = raw_exposure
        self._limit = timeout        # as given; None: from the exposure
        self._timeout = 1.0          # the wait for each frame in this run
        self._copy = copy
        self._running = False
        self._count = 0
        self._dropped: int | None = None   # the count when the stream stopped
        self._roi: Roi | None = None
        # Set for each run of the stream on entering it:
        self._read: Callable[[int], tuple[npt.NDArray[Any], korvi.GpsData | None]] = self._read_korvi
        self._reader: Callable[[int, Any, int], korvi.GpsData | None] | None = None
        self._slice_ms = _WAIT_SLICE_MS
        self._fmt = FORMATS["RAW8"]
        self._shape: tuple[int, ...] = ()
        self._ring: list[npt.NDArray[Any]] = []    # what the reader fills, copy=False
        self._views: list[npt.NDArray[Any]] = []   # their read-only views, handed out in frames
        self._scratch: npt.NDArray[np.uint8] | None = None
        # The settings the frames carry, re-read when the layer has written a control,
        # every _SETTINGS_REFRESH_S, or every frame while exposure or gain is automatic.
        self._make: Callable[[datetime, korvi.GpsData | None, int], FrameMeta] | None = None
        self._stamp: Callable[[npt.NDArray[Any], int], Frame] | None = None
        self._live = False
        self._seen = -1
        self._refresh_at = 0.0

    def __enter__(self) -> Self:
        cam = self._cam
        cam._require_open("starting a video stream")
        if cam._busy:
            raise noted(korvi.ASIVideoModeActive(f"{cam._label} is streaming already"),
                        "starting a video stream", cam._label)
        try:
            if self._raw_exposure is not None:
                cam._changes += 1
                _set_value(cam._id, CT.ASI_EXPOSURE, self._raw_exposure, False)
            roi = cam.roi
            self._prepare(roi)
            seconds = self._refresh(time.monotonic())
        except korvi.ASIError as exc:
            raise noted(exc, "starting a video stream", cam._label)
        try:
            korvi.start_video_capture(cam._id)
        except korvi.ASIError as exc:
            raise noted(exc, "starting a video stream", cam._label)
        except BaseException:
            # Ctrl-C as the call returned: no block will stop this capture.
            try:
                korvi.stop_video_capture(cam._id)
            except korvi.ASIError:
                pass   # it had not started
            raise
        self._timeout = 2 * seconds + 1.0 if self._limit is None else self._limit
        self._slice_ms = _slice_ms(self._timeout)
        self._dropped = None
        self._count = 0
        cam._busy = True
        self._running = True
        return self

    def _prepare(self, roi: Roi) -> None:
        """Chooses how frames are read for this region and format, and sets up the buffers."""
        cam = self._cam
        fmt = FORMATS[roi.image_format]
        shape = fmt.shape(roi.width, roi.height)
        self._roi, self._fmt, self._shape = roi, fmt, shape
        self._ring, self._views, self._scratch = [], [], None
        if _fast is None:
            self._read = self._read_korvi
            return
        self._reader = _fast.read_video_frame_gps if cam._gps else _fast.read_video_frame
        if fmt.channels == 3:
            # The reader fills one scratch buffer; reordering B, G, R copies it out anyway.
            self._scratch = np.empty(fmt.buffer_size(roi.width, roi.height), np.uint8)
            self._read = self._read_rgb
            if not self._copy:
                self._ring = [np.empty(shape, fmt.dtype) for _ in range(3)]
        elif self._copy:
            self._read = self._read_fresh
        else:
            self._ring = [np.empty(shape, fmt.dtype) for _ in range(3)]
            self._read = self._read_ring
        self._views = [_read_only(buffer) for buffer in self._ring]

    def _refresh(self, now: float) -> float:
        """Reads back the settings the frames carry; returns the exposure in seconds."""
        cam = self._cam
        assert self._roi is not None
        self._seen = cam._changes
        template, seconds, self._live = cam._settings_meta(self._roi, False)
        # Only a GPS camera's frames can carry their own time; this runs per frame while
        # exposure or gain is automatic, so nothing is built that no frame will use.
        self._make = meta_maker(template) if cam._gps else None
        self._stamp = frame_stamper(template, timedelta(seconds=seconds))
        self._refresh_at = now + _SETTINGS_REFRESH_S
        return seconds

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if not self._running:
            return
        self._running = False
        cam = self._cam
        cam._busy = False
        if not cam.is_open:
            return
        try:
            self._dropped = korvi.get_dropped_frames(cam._id)
        except korvi.ASIError:
            self._dropped = None   # `dropped` asks the camera again
        try:
            korvi.stop_video_capture(cam._id)
        except korvi.ASIError as stop_error:
            if exc is None:
                raise noted(stop_error, "stopping the video stream", cam._label)
            exc.add_note(f"orlicam: stopping the video stream on {cam._label} failed too: {stop_error!r}")

    def __iter__(self) -> Iterator[Frame]:
        return self

    def __next__(self) -> Frame:
        cam = self._cam
        if not self._running:
            raise ValueError("the stream is not running: iterate it inside `with cam.stream() as frames:`")
        if not cam._open:
            cam._require_open("reading a video frame")
        began = time.monotonic()
        try:
            data, gps = self._read(self._slice_ms)
        except korvi.ASITimeout as exc:
            data, gps = self._read_until(began + self._timeout, exc)
        except korvi.ASIError as exc:
            raise noted(exc, "reading a video frame", cam._label)
        if self._live or self._seen != cam._changes or began >= self._refresh_at:
            try:
                self._refresh(began)
            except korvi.ASIError as exc:
                raise noted(exc, "reading a video frame", cam._label)
        index = self._count
        self._count = index + 1
        start = _gps_time(gps)
        if start is None:   # timed by its arrival, less the exposure
            assert self._stamp is not None
            return self._stamp(data, index)
        assert self._make is not None
        return make_frame(data, self._make(start, gps, index))

    def _read_until(self, deadline: float, timeout: korvi.ASITimeout) -> tuple[npt.NDArray[Any], korvi.GpsData | None]:
        """Waits on in slices after the first slice brought no frame; the last ASITimeout
        once `deadline` has passed."""
        cam = self._cam
        while time.monotonic() < deadline:
            try:
                return self._read(_slice_ms(deadline - time.monotonic()))
            except korvi.ASITimeout as exc:
                timeout = exc
            except korvi.ASIError as exc:
                raise noted(exc, "reading a video frame", cam._label)
        raise noted(timeout, f"waiting {self._timeout:g} s for a video frame", cam._label)

    # One of these reads each frame, chosen by _prepare; each returns the frame's array
    # (read-only) and the GPS record of cameras that have one.

    def _read_fresh(self, wait_ms: int) -> tuple[npt.NDArray[Any], korvi.GpsData | None]:
        out = np.empty(self._shape, self._fmt.dtype)
        assert self._reader is not None
        gps = self._reader(self._cam._id, out, wait_ms)
        out.flags.writeable = False
        return out, gps

    def _read_ring(self, wait_ms: int) -> tuple[npt.NDArray[Any], korvi.GpsData | None]:
        slot = self._count % 3
        assert self._reader is not None
        gps = self._reader(self._cam._id, self._ring[slot], wait_ms)
        return self._views[slot], gps

    def _read_rgb(self, wait_ms: int) -> tuple[npt.NDArray[Any], korvi.GpsData | None]:
        scratch = self._scratch
        assert self._reader is not None and scratch is not None
        gps = self._reader(self._cam._id, scratch, wait_ms)
        bgr = scratch.reshape(self._shape)
        if self._copy:
            out = bgr_to_rgb(bgr, np.empty(self._shape, np.uint8))
            out.flags.writeable = False
            return out, gps
        slot = self._count % 3
        bgr_to_rgb(bgr, self._ring[slot])
        return self._views[slot], gps

    def _read_korvi(self, wait_ms: int) -> tuple[npt.NDArray[Any], korvi.GpsData | None]:
        roi = self._roi
        assert roi is not None
        cid, size = self._cam._id, self._fmt.buffer_size(roi.width, roi.height)
        gps: korvi.GpsData | None = None
        if self._cam._gps:
            raw, gps = korvi.get_video_data_gps(cid, size, wait_ms)
        else:
            raw = korvi.get_video_data(cid, size, wait_ms)
        return to_array(raw, self._fmt, roi.width, roi.height), gps

    @property
    def dropped(self) -> int:
        """Frames the SDK dropped since the stream started (the reader was too slow); once
        the stream has stopped, the count it had then."""
        if not self._running and self._dropped is not None:
            return self._dropped
        cam = self._cam
        cam._require_open("reading the dropped frames")
        try:
            return korvi.get_dropped_frames(cam._id)
        except korvi.ASIError as exc:
            raise noted(exc, "reading the dropped frames", cam._label)

    @property
    def frames_read(self) -> int:
        return self._count


def _slice_ms(seconds: float) -> int:
    """One wait inside the SDK, in ms: at most _WAIT_SLICE_MS so Ctrl-C is seen between waits."""
    return max(1, math.ceil(min(_WAIT_SLICE_MS, seconds * 1000)))


def _read_only(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    view = array.view()
    view.flags.writeable = False
    return view
