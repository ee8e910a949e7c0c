"""Finding cameras: what the SDK says of each connected camera before it is opened,
and which Camera object of this process holds each one."""
from __future__ import annotations

import operator
import sys
import threading
import warnings
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, SupportsIndex, cast

from .. import korvi
from .errors import noted
from .formatnames import NAMES_BY_NUMBER, bayer_name

if TYPE_CHECKING:
    from .session import CameraSession

__all__ = ["CameraDescription", "cameras"]

CT = korvi.ControlType
_get_value = korvi.get_control_value


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
_registry: dict[int, weakref.ref[CameraSession]] = {}   # camera id -> the Camera that holds it
_gps_seen: dict[tuple[int, str], bool] = {}


def _holder(camera_id: int) -> CameraSession | None:
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
    """The description; a field the SDK's record holds in a form korvi cannot read (a name
    that is not UTF-8, a Bayer code it does not know) is left at a neutral value, with a
    warning, so that one odd camera does not hide the others."""
    unreadable: list[str] = []

    def read(field: str, fallback: Any) -> Any:
        try:
            return getattr(info, field)
        except ValueError as error:   # UnicodeDecodeError too
            unreadable.append(f"{field} ({error})")
            return fallback

    name = read("name", f"camera {index} (unreadable name)")
    is_color = bool(read("is_color_camera", False))
    pattern = read("bayer_pattern", None) if is_color else None
    formats = tuple(NAMES_BY_NUMBER[int(t)] for t in read("supported_video_formats", ())
                    if int(t) in NAMES_BY_NUMBER)
    camera_id = info.camera_id
    if unreadable:
        warnings.warn(f"camera {index} ({name}): unreadable {'; '.join(unreadable)}; described without it",
                      RuntimeWarning, stacklevel=3)
    return CameraDescription(
        index=index, camera_id=camera_id, name=name,
        max_width=info.max_width, max_height=info.max_height, is_color=is_color,
        bayer_pattern=None if pattern is None else bayer_name(int(pattern)),
        bit_depth=info.bit_depth, pixel_size=info.pixel_size, e_per_adu=info.elec_per_adu,
        bins=tuple(info.supported_bins), formats=formats, cooled=info.is_cooler_cam,
        st4=info.st_4_port, trigger=info.is_trigger_cam,
        gps=_has_gps(camera_id, name), usb3=info.is_usb3_camera,
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


def _numpy_integer(value: object) -> bool:
    # A numpy integer exists only once numpy is imported: listing cameras imports none.
    np = sys.modules.get("numpy")
    return np is not None and isinstance(value, np.integer)


def _resolve(which: object) -> CameraDescription:
    if isinstance(which, CameraDescription):
        return which
    if isinstance(which, bool) or not isinstance(which, (int, str)) and not _numpy_integer(which):
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
    index = operator.index(cast("SupportsIndex", which))   # an int or a numpy integer, checked above
    if not 0 <= index < len(found):
        raise ValueError(f"no camera at index {index}; {len(found)} connected: {listing}")
    return found[index]

