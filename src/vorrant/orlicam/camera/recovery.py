"""What a camera does when the hardware misbehaves: an exposure that fails or never ends is
taken again, and a camera that drops off the bus is waited for, found again by its serial
number (it may come back at another index, under another camera id), reopened and given
back its settings. Each bound is a count or a time, so nothing waits for ever; every fault
and every recovery goes to the policy's callback and to the `vorrant.orlicam.camera` log.
"""
from __future__ import annotations

import logging
import math
import time
import weakref
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final

from .. import korvi
from .discovery import CameraDescription, _holder, _registry, _registry_lock, cameras
from .errors import noted
from .frames import FORMATS, FORMATS_BY_NUMBER, Roi
from .session import CameraSession

__all__ = ["Recovery", "CameraEvent", "CameraLost", "ExposureFailed", "CameraRecovery", "EVENT_KINDS"]

log = logging.getLogger("vorrant.orlicam.camera")
log.addHandler(logging.NullHandler())   # a program that configures no logging hears of faults through on_event

CT = korvi.ControlType
EVENT_KINDS: Final = ("exposure-failed", "exposure-hung", "video-timeout", "camera-lost", "camera-back", "gave-up")


class CameraLost(korvi.ASICameraRemoved):
    """The camera went away and did not come back within the policy's bound."""


class ExposureFailed(korvi.ASIError):
    """An exposure failed, or hung, once more than the policy allows in a row."""


@dataclass(frozen=True, slots=True)
class CameraEvent:
    """One fault or recovery: `kind` is one of EVENT_KINDS; `attempt` counts the faults of
    that kind in the operation so far (1 for the first)."""

    kind: str
    camera: str
    serial: str | None
    message: str
    attempt: int


def _bound(name: str, value: object, infinite: bool) -> float:
    """A number of seconds (or a count) that must not be negative; math.inf where `infinite`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} takes a number, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number) or number < 0:
        raise ValueError(f"{name} must not be negative, got {value!r}")
    if math.isinf(number) and not infinite:
        raise ValueError(f"{name} must be finite, got {value!r}")
    return number


@dataclass(frozen=True, slots=True)
class Recovery:
    """How a Camera rides out faults.

    `exposure_retries`: a failed or hung exposure is taken again this many times; the next
    failure in a row raises ExposureFailed. A video stream waits this many more times for a
    frame that timed out. A camera lost this many times within one capture, without a frame
    between, gives up too.

    `hang_after`: seconds past its end after which an exposure still "working" counts as
    hung: it is stopped and taken again (capture() without an explicit timeout).

    `reconnect_timeout`: seconds to wait for a lost camera to come back before CameraLost;
    0 looks once (a face that must answer at once waits by calling reconnect()).

    `poll_interval`: seconds between looks for the lost camera.

    `on_event`: called with a CameraEvent for each fault and recovery, in the thread that
    met it.
    """

    exposure_retries: int = 3
    hang_after: float = 10.0
    reconnect_timeout: float = 600.0
    poll_interval: float = 1.0
    on_event: Callable[[CameraEvent], object] | None = None

    def __post_init__(self) -> None:
        retries = self.exposure_retries
        if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
            raise ValueError(f"exposure_retries is a whole number from 0, got {retries!r}")
        if _bound("hang_after", self.hang_after, True) == 0:
            raise ValueError(f"hang_after must be positive, got {self.hang_after!r}")
        _bound("reconnect_timeout", self.reconnect_timeout, True)
        if _bound("poll_interval", self.poll_interval, False) == 0:
            raise ValueError(f"poll_interval must be positive, got {self.poll_interval!r}")
        if self.on_event is not None and not callable(self.on_event):
            raise TypeError(f"on_event takes a callable, not {type(self.on_event).__name__}")


_DEFAULT: Final = Recovery()


def _duration(seconds: float) -> str:
    if math.isinf(seconds):
        return "for ever"
    return f"{seconds / 60:g} min" if seconds >= 120 else f"{seconds:g} s"


class CameraRecovery(CameraSession):
    """Camera's recovery: the policy, the settings kept to give back to a camera that
    returns, and the reconnection."""

    __slots__ = ("_recovery", "_lost", "_kept", "_kept_at", "_lost_at")

    def __init__(self, which: int | str | CameraDescription = 0, recovery: Recovery | None = _DEFAULT) -> None:
        super().__init__(which)
        self._recovery = self._checked_policy(recovery)
        self._lost = False
        self._lost_at = 0.0
        # Raw control values with their auto flags, the region (as a Roi) and the camera
        # mode, read back when the layer's writes have moved `_changes` past `_kept_at`.
        self._kept: tuple[dict[int, tuple[int, bool]], Roi | None, int | None] = ({}, None, None)
        self._kept_at = -1

    @staticmethod
    def _checked_policy(recovery: object) -> Recovery | None:
        if recovery is not None and not isinstance(recovery, Recovery):
            raise TypeError(f"recovery takes a Recovery or None, not {type(recovery).__name__}")
        return recovery

    @property
    def recovery(self) -> Recovery | None:
        """The policy for faults (None: every fault is raised at once)."""
        return self._recovery

    @recovery.setter
    def recovery(self, recovery: Recovery | None) -> None:
        self._recovery = self._checked_policy(recovery)

    @property
    def lost(self) -> bool:
        """True from the moment the camera was found gone until it is reopened."""
        return self._lost

    def close(self) -> None:
        """Closes the camera; a camera that has gone is closed without complaint."""
        try:
            super().close()
        except korvi.ASIError as exc:
            if not (self._lost or isinstance(exc, (korvi.ASICameraRemoved, korvi.ASIInvalidID))):
                raise
        finally:
            self._lost = False

    # -- faults --

    def _is_loss(self, exc: BaseException) -> bool:
        """Whether an SDK error says the camera has gone: removed, its id unknown, or closed
        under an open Camera (it came back and must be opened again)."""
        if isinstance(exc, CameraLost) or not str(exc).startswith("ASI error code "):
            return False
        return isinstance(exc, (korvi.ASICameraRemoved, korvi.ASIInvalidID)) or (
            isinstance(exc, korvi.ASICameraClosed) and self._open)

    def _report(self, kind: str, message: str, attempt: int, level: int = logging.WARNING) -> None:
        log.log(level, "%s: %s", kind, message)
        policy = self._recovery
        if policy is not None and policy.on_event is not None:
            policy.on_event(CameraEvent(kind, self._desc.name, self._serial, message, attempt))

    def _mark_lost(self, cause: BaseException, attempt: int = 1) -> None:
        if self._lost:
            return
        self._lost = True
        self._lost_at = time.monotonic()
        self._busy = None   # a video capture ends with the camera
        try:
            korvi.close_camera(self._id)   # the SDK's handle of the camera that went
        except korvi.ASIError:
            pass
        policy = self._recovery
        wait = f"up to {_duration(policy.reconnect_timeout)}" if policy is not None else "as long as reconnect() is asked"
        self._report("camera-lost", f"{self._label} was lost ({cause}); waiting for it ({wait})", attempt)

    def _await_return(self, cause: BaseException | None, operation: str, attempt: int = 1) -> None:
        """Waits for the lost camera within the policy's bound; CameraLost after it."""
        policy = self._recovery or Recovery(reconnect_timeout=0)
        if self.reconnect(policy.reconnect_timeout):
            return
        message = (f"{self._label} was lost and is not back after {_duration(policy.reconnect_timeout)}; "
                   "plug it in again, then reconnect or open it")
        self._report("gave-up", message, attempt, logging.ERROR)
        raise noted(CameraLost(message), operation, self._label) from cause

    # -- settings kept for a camera that returns --

    def _remember(self) -> None:
        """Reads back the settings to restore after a reconnection, when the layer has
        changed any since the last look (cheap otherwise)."""
        if self._kept_at == self._changes:
            return
        seen = self._changes
        values: dict[int, tuple[int, bool]] = {}
        for number, caps in self._caps.items():
            if caps.writable:
                raw, auto = korvi.get_control_value(self._id, caps.member)
                values[number] = (raw, bool(auto))
        width, height, binning, image_type = korvi.get_roi_format(self._id)
        x, y = korvi.get_start_pos(self._id)
        roi = Roi(x, y, width, height, binning, FORMATS_BY_NUMBER[int(image_type)].name)
        mode = int(korvi.get_camera_mode(self._id)) if self._desc.trigger else None
        self._kept = (values, roi, mode)
        self._kept_at = seen

    def _restore(self) -> None:
        """Gives the reopened camera the settings kept: controls, the cooler's set point
        before the cooler itself, the region and format, the camera mode."""
        values, roi, mode = self._kept
        cooler = values.get(int(CT.ASI_COOLER_ON))
        for number, (raw, auto) in values.items():
            caps = self._caps.get(number)
            if caps is None or number == int(CT.ASI_COOLER_ON):
                continue
            self._restore_one(f"{caps.name} {raw}", lambda: korvi.set_control_value(self._id, caps.member, raw, auto))
        if roi is None:
            self._deepest_raw()
        else:
            self._restore_one(f"the region {roi}", lambda: self._put_roi(roi))
        if mode is not None:
            self._restore_one("the camera mode", lambda: korvi.set_camera_mode(self._id, korvi.CameraMode(mode)))
        if cooler is not None:
            self._restore_one("the cooler", lambda: korvi.set_control_value(self._id, CT.ASI_COOLER_ON, *cooler))
        self._changes += 1

    def _put_roi(self, roi: Roi) -> None:
        korvi.set_roi_format(self._id, roi.width, roi.height, roi.bin, FORMATS[roi.image_format].img_type)
        korvi.set_start_pos(self._id, roi.x, roi.y)

    def _restore_one(self, what: str, call: Callable[[], object]) -> None:
        try:
            call()
        except korvi.ASIError as exc:
            if self._is_loss(exc):
                raise
            log.warning("%s: %s not restored after the reconnection: %s", self._label, what, exc)

    # -- reconnection --

    def reconnect(self, timeout: float = 0.0) -> bool:
        """Finds the camera again by its serial number (by its name and id when it has
        none), reopens it and restores the settings made through this object (gain,
        offset, format, region and bin, flips, cooler and set point, the other controls,
        the camera mode); waits up to `timeout` seconds for it to come back. True once it
        is open again (at once when it never went), False when it is not back."""
        limit = _bound("timeout", timeout, True)
        self._require_open("reconnecting")
        if not self._lost:
            try:
                korvi.get_roi_format(self._id)
                return True
            except korvi.ASIError as exc:
                if not self._is_loss(exc):
                    raise noted(exc, "reconnecting", self._label)
                self._mark_lost(exc)
        pause = (self._recovery or _DEFAULT).poll_interval
        deadline = time.monotonic() + limit
        while True:
            if self._reopen():
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            time.sleep(min(pause, left))

    def _reopen(self) -> bool:
        with _registry_lock:
            found = self._find_again()
            if found is None:
                return False
            old = self._id
            if _holder(old) is self:
                del _registry[old]
            self._desc, self._id = found, found.camera_id
            self._label = f"{found.name} (camera id {found.camera_id})"
            _registry[self._id] = weakref.ref(self)
            try:
                korvi.init_camera(self._id)
                self._load()
                self._restore()
            except korvi.ASIError as exc:
                if not self._is_loss(exc):
                    raise noted(exc, "reopening after a reconnection", self._label)
                try:
                    korvi.close_camera(self._id)
                except korvi.ASIError:
                    pass
                return False   # gone again: looked for at the next poll
            self._lost = False
            self._busy = None
        away = time.monotonic() - self._lost_at
        self._report("camera-back", f"{self._label} is back after {away:.1f} s: reopened, settings restored", 1,
                     logging.INFO)
        return True

    def _find_again(self) -> CameraDescription | None:
        """The connected camera that is this one, opened (not yet initialised); None when
        it is not connected. Cameras of the model that another Camera object here or another
        program holds are not asked."""
        try:
            found = cameras()
        except korvi.ASIError:
            return None   # the bus is changing under the listing: look again later
        candidates = sorted((d for d in found if d.name == self._desc.name), key=lambda d: d.camera_id != self._id)
        for desc in candidates:
            holder = _holder(desc.camera_id)
            if holder is not None and holder is not self:
                continue
            try:
                korvi.open_camera(desc.camera_id)
            except korvi.ASIError:
                continue
            if self._serial is None:
                return desc
            try:
                serial: str | None = korvi.get_serial_number(desc.camera_id).id
            except korvi.ASIError:
                serial = None
            if serial == self._serial:
                return desc
            try:
                korvi.close_camera(desc.camera_id)
            except korvi.ASIError:
                pass
        return None
