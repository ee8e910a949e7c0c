"""Opening and closing a camera, and the state a Camera object keeps while it is open."""
from __future__ import annotations

import threading
import weakref
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self

from .. import korvi
from .discovery import CameraDescription, _holder, _registry, _registry_lock, _resolve
from .errors import noted
from .units import CONTROLS, Kind

if TYPE_CHECKING:
    from .streaming import Stream

CT = korvi.ControlType
_get_value = korvi.get_control_value


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


class _AbortFlag:
    """An Event's set/clear/is_set/wait, for abort_exposure() to wake a capture. An Event
    takes its own lock in Python code, where Ctrl-C can land between the acquire and the
    release: every later capture would then wait on that lock for ever. Here each step is
    one call of a C lock, held while no abort is pending."""

    __slots__ = ("_lock",)

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lock.acquire()

    def clear(self) -> None:
        self._lock.acquire(False)

    def set(self) -> None:
        try:
            self._lock.release()
        except RuntimeError:
            pass   # set already

    def is_set(self) -> bool:
        return not self._lock.locked()

    def wait(self, timeout: float) -> bool:
        if self._lock.acquire(True, timeout):
            self._lock.release()
            return True
        return False


class _Claim:
    """One capture's hold on the camera: which thread, and which call of it (a signal
    handler's capture in the same thread is another call)."""

    __slots__ = ("thread", "aborted")

    def __init__(self) -> None:
        self.thread = threading.get_ident()
        self.aborted = False   # abort_exposure() has ended this capture


def _in_use(exc: korvi.ASIError, desc: CameraDescription) -> korvi.ASIError:
    """The SDK refuses to open a camera that another program has open; the simulator can
    say which program, so the error names it."""
    if not isinstance(exc, korvi.ASICameraClosed):
        return exc
    try:
        from .. import simulator
        held = simulator.holder(desc.camera_id)
    except (RuntimeError, OSError, ValueError):
        return exc   # a vendor SDK, or a camera the simulator does not know
    if held is None:
        return exc
    pid, program = held
    named = korvi.ASICameraClosed(f"camera {desc.index} is in use by {program} (pid {pid})")
    named.__cause__ = exc
    return named


class CameraSession:
    """The open/close life of one camera and the state the other layers of Camera share."""

    __slots__ = ("_desc", "_id", "_label", "_open", "_caps", "_gps", "_serial", "_modes",
                 "_busy", "_hold", "_guard", "_abort", "_capturing", "_changes", "__weakref__")


    def __init__(self, which: int | str | CameraDescription = 0) -> None:
        self._desc = _resolve(which)
        self._id = self._desc.camera_id
        self._label = f"{self._desc.name} (camera id {self._id})"
        self._open = False
        self._caps: dict[int, _Caps] = {}
        self._gps = False
        self._serial: str | None = None
        self._modes: tuple[korvi.CameraMode, ...] = ()
        # The Stream whose video capture runs in the SDK (also one whose stop failed, so
        # that the layer's idea of the camera stays the SDK's); None when none runs.
        self._busy: Stream | None = None
        # A capture and abort_exposure() from another thread meet here: `_capturing` is
        # the capturing thread's id from its start_exposure until it lets go of the camera.
        # `with` takes `_hold` itself, not the Condition: the lock's own __exit__ is C, so
        # Ctrl-C cannot land before the release and leave the lock held for good.
        self._hold = threading.RLock()
        self._guard = threading.Condition(self._hold)
        self._abort = _AbortFlag()
        self._capturing: _Claim | None = None
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
                self._deepest_raw()
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
                    if not opened:
                        raise noted(_in_use(exc, self._desc), "opening", self._label)
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

    def _deepest_raw(self) -> None:
        """Frames in the format that holds every bit the sensor has (RAW16 on a sensor of
        more than 8 bits that offers it; the SDK starts in RAW8), so that science frames are
        not cut to 8 bits unless asked."""
        if self._desc.bit_depth > 8 and "RAW16" in self._desc.formats:
            width, height, bin, image_type = korvi.get_roi_format(self._id)
            if image_type != korvi.ImgType.IMG_RAW16:
                korvi.set_roi_format(self._id, width, height, bin, korvi.ImgType.IMG_RAW16)

    def close(self) -> None:
        """Closes the camera; closing a closed camera does nothing."""
        with _registry_lock:
            if not self._open:
                return
            self._open = False
            self._caps = {}
            self._busy = None   # closing the camera ends its video capture
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

    def _settle_stream(self, operation: str, busy: str) -> None:
        """Refuses (with the message `busy`) while a stream runs. A stream that has been
        left but whose capture could not be stopped still holds the camera: the capture is
        stopped now, or the error says so and what ends it."""
        owner = self._busy
        if owner is None:
            return
        if owner._running:
            raise noted(korvi.ASIVideoModeActive(busy), operation, self._label)
        try:
            korvi.stop_video_capture(self._id)
        except korvi.ASIError as exc:
            raise noted(korvi.ASIVideoModeActive(
                f"the video capture on {self._label} could not be stopped after its stream ended ({exc}); "
                "closing the camera ends it"), operation, self._label) from exc
        if self._busy is owner:
            self._busy = None

    def _require_open(self, operation: str) -> None:
        if not self._open:
            raise noted(korvi.ASICameraClosed(
                f"{self._label} is closed; open it first (with Camera(...) as cam: or cam.open())"),
                operation, self._label)
