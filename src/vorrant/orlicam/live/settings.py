"""What passes between the page, the pump and the viewers: the settings asked for, the
one pending request they merge into, and the previews published."""
from __future__ import annotations

import json
import threading
from concurrent.futures import Future
from dataclasses import asdict, dataclass, field, replace
from typing import Any

LONG_EXPOSURE = 1.0        # from this long, single exposures instead of a stream


@dataclass(frozen=True, slots=True)
class Settings:
    """What the page asks for; None leaves a setting as it is."""

    exposure: float | None = None
    gain: int | None = None
    offset: int | None = None
    bin: int | None = None
    roi: tuple[int, int, int, int] | None = None     # width, height, x, y in binned pixels
    full_frame: bool | None = None                   # True: back to the whole sensor
    image_format: str | None = None
    target_temperature: float | None = None
    cooler_on: bool | None = None
    black: float | None = None          # stretch points, fractions of full scale;
    white: float | None = None          # both None: automatic
    auto_stretch: bool | None = None
    zoom: tuple[float, float] | None = None   # zoom centre, fractions of the frame
    zoom_off: bool | None = None
    focal_length: float | None = None   # mm, for figures in arcseconds; 0: not known
    stack: bool | None = None           # show the running stack of the frames instead of each frame

    def merged(self, later: Settings) -> Settings:
        return replace(self, **{k: v for k, v in asdict(later).items() if v is not None})

    @property
    def changes_camera(self) -> bool:
        """True when it sets something of the camera's, not only of the picture."""
        return self.reshapes or any(v is not None for v in (self.exposure, self.gain, self.offset,
                                                            self.target_temperature, self.cooler_on))

    @property
    def reshapes(self) -> bool:
        """True when the stream must be restarted for it (region, binning, format)."""
        return (self.bin is not None or self.roi is not None or self.image_format is not None
                or self.full_frame is not None)


@dataclass(frozen=True, slots=True)
class Preview:
    """One update for the viewers: its meta as JSON and the pictures that follow it."""

    index: int
    meta: dict[str, Any]
    parts: tuple[bytes, ...] = ()
    meta_json: str = ""

    @staticmethod
    def of(index: int, meta: dict[str, Any], parts: tuple[bytes, ...] = ()) -> Preview:
        meta = {"index": index, **meta, "parts": len(parts)}
        return Preview(index, meta, parts, json.dumps(meta, separators=(",", ":")))


@dataclass(slots=True)
class Request:
    settings: Settings = field(default_factory=Settings)
    # Each caller's action (None, "save", "record", "stop_recording") and its answer.
    done: list[tuple[str | None, Future[dict[str, Any]]]] = field(default_factory=list)


class Pending:
    """The one slot between the settings route and the pump: requests merge in it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._request: Request | None = None

    def put(self, settings: Settings, action: str | None = None) -> Future[dict[str, Any]]:
        done: Future[dict[str, Any]] = Future()
        with self._lock:
            request = self._request or Request()
            request.settings = request.settings.merged(settings)
            request.done.append((action, done))
            self._request = request
        return done

    def take(self) -> Request | None:
        with self._lock:
            request, self._request = self._request, None
        return request

    def fail_all(self, error: BaseException) -> None:
        request = self.take()
        for _, done in request.done if request else ():
            if not done.done():
                done.set_exception(error)
