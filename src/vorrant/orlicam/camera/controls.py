"""Controls in physical units and the region of interest of an open camera."""
from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any, Final, Generic, Self, TypeVar, overload

from .. import korvi
from .errors import noted, unknown_value
from .frames import FORMATS, FORMATS_BY_NUMBER, Format, Roi, format_named
from .recovery import CameraRecovery
from .session import _Caps
from .units import (BOOL, CELSIUS, CONTROL_NAMES, CONTROLS, FLIP_KIND, INT, PERCENT, SECONDS_US,
                    TENTH_CELSIUS, Control, IntKind, Kind, bool_arg, enum_arg, int_arg)

__all__ = ["CameraControls", "Controls"]

CT = korvi.ControlType
_CT_NAMES: Final = {m.name.lower().removeprefix("asi_"): m for m in CT}
_get_value = korvi.get_control_value
_set_value = korvi.set_control_value

G = TypeVar("G")
S = TypeVar("S")


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
    def __get__(self, cam: None, owner: type[CameraControls]) -> Self: ...
    @overload
    def __get__(self, cam: CameraControls, owner: type[CameraControls]) -> G: ...

    def __get__(self, cam: CameraControls | None, owner: type[CameraControls]) -> Self | G:
        if cam is None:
            return self
        if self.number not in cam._caps:
            raise cam._lacking(self.name, "reading")
        try:
            raw = _get_value(cam._id, self.member)[0]
        except korvi.ASIError as exc:
            raise noted(exc, f"reading {self.name}", cam._label)
        return raw if self.plain else self.kind.from_raw(raw)  # type: ignore[return-value]

    def __set__(self, cam: CameraControls, value: S) -> None:
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


class CameraControls(CameraRecovery):
    """Camera's controls, control properties and region of interest."""

    __slots__ = ()

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
        except ValueError as exc:
            raise noted(unknown_value(exc, "image format"), "reading the region of interest", self._label) from None
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
        self._settle_stream("setting the region of interest", f"{self._label} is streaming; leave the stream first")
        self._changes += 1
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
