"""Frames from the camera to previews: the pump thread and the picture it makes of a frame.

The pump reads every frame the camera delivers (streaming, or single exposures when
they are long), applies pending settings between frames, records and saves, and hands
the newest frame to a preview worker only when the worker is free: a frame that
arrives while the last one is still being drawn is skipped, never queued. The worker
makes the stretched JPEG views and the figures and publishes them.
"""
from __future__ import annotations

import contextlib
import json
import logging
import math
import os
import threading
import time
import weakref
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future
from dataclasses import asdict, dataclass, field, replace
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
import simplejpeg

from .. import korvi
from ..camera.camera import Camera
from ..camera.frames import Frame, bayer_at
from ..files.preview import superpixel
from ..files.ser import SerWriter
from .stats import Focus, bin_sum, focus, levels

log = logging.getLogger("vorrant.orlicam.live")
T = TypeVar("T")

VIEW_MAX = 1280            # the full view is binned to at most this many pixels across
ZOOM_SIZE = (320, 240)     # the 1:1 zoom, frame pixels
LONG_EXPOSURE = 1.0        # from this long, single exposures instead of a stream
FOCUS_INTERVAL = 0.25      # focus figures at most 4 times a second
TREND_LENGTH = 120         # focus figures kept for the V-curve: half a minute at the most
# What the live view exposes until told otherwise: enough for the stars of a deep-sky
# camera (the cameras power on at 0.01 s, noise and a handful of stars), still a stream.
PREVIEW_EXPOSURE = 0.5
TARGET_BACKGROUND = 0.25   # where the automatic stretch puts the sky's median
SHADOWS_CLIP = 2.8         # ... and its black point, in standard deviations below it
JPEG_QUALITY = 80
WORKER_NICENESS = 10


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


def mtf(midtone: float, x: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """The midtones transfer function: 0 and 1 stay, `midtone` goes to one half."""
    return ((midtone - 1) * x) / ((2 * midtone - 1) * x - midtone)


def mtf_scalar(midtone: float, x: float) -> float:
    return ((midtone - 1) * x) / ((2 * midtone - 1) * x - midtone)


@dataclass(frozen=True, slots=True)
class Stretch:
    black: float
    white: float
    midtone: float

    @staticmethod
    def auto(view: npt.NDArray[np.float32], black: float | None, white: float | None) -> Stretch:
        """From the view's median and spread (normalised median absolute deviation): black a
        few deviations below the sky, the sky's median raised to TARGET_BACKGROUND; given
        black and white points replace the computed ones."""
        step = max(1, int(math.sqrt(view.size / 50_000)))   # some 50,000 pixels tell the median well
        sample = view[::step, ::step]
        median = float(np.median(sample))
        spread = 1.4826 * float(np.median(np.abs(sample - np.float32(median))))
        low = max(0.0, median - SHADOWS_CLIP * spread) if black is None else black
        high = 1.0 if white is None else white
        high = max(high, low + 1e-4)
        level = min(max((median - low) / (high - low), 1e-6), 1.0 - 1e-6)
        # The midtone m that sends `level` to the target: mtf is its own inverse in this sense.
        midtone = mtf_scalar(TARGET_BACKGROUND, level)
        return Stretch(low, high, midtone)

    def apply(self, view: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
        scaled = np.clip((view - np.float32(self.black)) / np.float32(self.white - self.black), 0.0, 1.0)
        return (mtf(self.midtone, scaled) * np.float32(255) + np.float32(0.5)).astype(np.uint8)


def full_scale(frame: Frame) -> float:
    return 65535.0 if frame.data.dtype == np.uint16 else 255.0


def white_level(frame: Frame) -> int:
    """The value a saturated pixel reads: the ADC's top in the data's units."""
    if frame.data.dtype == np.uint16:
        depth = frame.meta.bit_depth
        return ((1 << depth) - 1) << (16 - depth)
    return 255


def picture(frame: Frame, factor: int = 1, region: tuple[int, int, int, int] | None = None
            ) -> npt.NDArray[np.float32]:
    """The frame (or `region` of it: x, y, width, height in frame pixels) as a float picture
    in fractions of full scale, colour raw debayered (one pixel per 2x2 cell), `factor` x
    `factor` picture pixels averaged into one."""
    data = frame.data
    if region is not None:
        x, y, w, h = region
        data = data[y:y + h, x:x + w]
    bayer = _bayer(frame)
    if bayer is not None:
        if region is not None:
            bayer = bayer_at(bayer, region[0], region[1], data.shape[1], data.shape[0])
        data = superpixel(data, bayer)
    scale = np.float32(1.0 / (full_scale(frame) * factor * factor))
    if factor == 1:
        return data.astype(np.float32) * scale
    return bin_sum(data, factor) * scale


def jpeg(pixels: npt.NDArray[np.uint8], quality: int = JPEG_QUALITY) -> bytes:
    if pixels.ndim == 2:
        return bytes(simplejpeg.encode_jpeg(np.ascontiguousarray(pixels[..., None]), quality, "GRAY"))
    return bytes(simplejpeg.encode_jpeg(np.ascontiguousarray(pixels), quality, "RGB"))


@dataclass(slots=True)
class ViewState:
    """The preview worker's memory between frames."""

    settings: Settings = field(default_factory=Settings)
    focus: Focus | None = None
    focus_index: int = -1
    focus_at: float = 0.0
    focus_shape: tuple[Any, ...] = ()
    # The figures of the last measurements, each with its frame and time, for the V-curve.
    history: deque[dict[str, Any]] = field(default_factory=lambda: deque(maxlen=TREND_LENGTH))


def render(frame: Frame, index: int, state: ViewState, extra: dict[str, Any], now: float) -> Preview:
    """The update for one frame: stretched full view, the zoom when asked, and the figures."""
    read_at = extra.pop("frame_read", now)
    cell = 2 if _bayer(frame) else 1
    factor = max(1, math.ceil(max(frame.width, frame.height) / cell / VIEW_MAX))
    view = picture(frame, factor)
    s = state.settings
    auto = s.auto_stretch is not False
    stretch = Stretch.auto(_luminance(view), None if auto else s.black, None if auto else s.white)
    parts = [jpeg(stretch.apply(view))]
    zoom = None
    if s.zoom is not None and not s.zoom_off:
        zoom = _zoom(frame, cell, s.zoom)
        # Its own automatic points: unbinned pixels are noisier than the binned view's.
        close = stretch if not auto else Stretch.auto(_luminance(zoom[0]), None, None)
        parts.append(jpeg(close.apply(zoom[0]), 90))
    white = white_level(frame)
    figures = levels(frame.data, white)
    # Figures of another region, binning or format do not stand for this frame: measure now.
    shape = (frame.meta.roi,)
    if now - state.focus_at >= FOCUS_INTERVAL or shape != state.focus_shape:
        state.focus_shape = shape
        state.focus, state.focus_index, state.focus_at = focus(frame.data, white, _bayer(frame)), index, now
        f = focus_figures(state)
        state.history.append({"index": index, "time": round(time.time(), 3), "hfr": f["hfr"], "fwhm": f["fwhm"],
                              "stars": f["stars"]})
    meta = frame.meta
    return Preview.of(index, {
        "kind": "frame", "width": frame.width, "height": frame.height,
        "view": [view.shape[1], view.shape[0]], "view_scale": factor * cell,
        "zoom": None if zoom is None else zoom[1],
        "exposure": meta.exposure, "gain": meta.gain, "offset": meta.offset, "bin": meta.bin,
        "roi": [meta.roi.width, meta.roi.height, meta.roi.x, meta.roi.y], "format": meta.image_format,
        "temperature": meta.temperature, "target_temperature": meta.target_temperature,
        "stretch": {"auto": auto, "black": round(stretch.black, 5), "white": round(stretch.white, 5),
                    "midtone": round(stretch.midtone, 5)},
        "mean": figures.mean, "median": figures.median, "saturated": figures.saturated,
        "histogram": figures.histogram, "white_level": white,
        **focus_figures(state),
        "trend": [h["hfr"] for h in state.history if h["hfr"] is not None],
        "history": list(state.history),
        # Single exposures follow one another: the next began as this one was read.
        "single": meta.exposure >= LONG_EXPOSURE,
        **angular(state, meta.pixel_size * meta.bin),
        **extra,
        # From the frame's arrival to its figures being ready, seconds.
        "latency": round(time.monotonic() - read_at, 4),
    }, tuple(parts))


def _luminance(view: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """What the automatic stretch measures: colour averaged over a sample of the pixels."""
    if view.ndim == 2:
        return view
    step = max(1, int(math.sqrt(view.shape[0] * view.shape[1] / 50_000)))
    sample: npt.NDArray[np.float32] = view[::step, ::step].mean(axis=2, dtype=np.float32)
    return sample


def focus_figures(state: ViewState) -> dict[str, Any]:
    """The figures of the last measurement; HFR and FWHM None with the reason when the
    stars were too few (or none) to mean anything."""
    f = state.focus
    if f is None:
        return {"stars": 0, "measured": 0, "hfr": None, "fwhm": None, "saturated_stars": 0,
                "focus_reason": "no stars found", "focus_index": state.focus_index}
    return {"stars": f.stars, "measured": f.measured, "hfr": None if f.hfr is None else round(f.hfr, 3),
            "fwhm": None if f.fwhm is None else round(f.fwhm, 3), "saturated_stars": f.saturated_stars,
            "focus_reason": f.reason,
            "focus_index": state.focus_index}


ARCSEC_UM_PER_MM = 206.264806   # 206264.8 arcseconds per radian, with the pixel in µm over the focal length in mm


def angular(state: ViewState, pixel_um: float) -> dict[str, Any]:
    """The focus figures in arcseconds, once the telescope's focal length is given."""
    focal = state.settings.focal_length
    if not focal:
        return {"focal_length": None, "pixel_scale": None, "hfr_arcsec": None, "fwhm_arcsec": None}
    scale = ARCSEC_UM_PER_MM * pixel_um / focal   # arcseconds per frame pixel
    f = state.focus
    return {"focal_length": focal, "pixel_scale": round(scale, 4),
            "hfr_arcsec": None if f is None or f.hfr is None else round(f.hfr * scale, 3),
            "fwhm_arcsec": None if f is None or f.fwhm is None else round(f.fwhm * scale, 3)}


def _bayer(frame: Frame) -> str | None:
    meta = frame.meta
    return meta.bayer_pattern if meta.roi.image_format in ("RAW8", "RAW16") and frame.data.ndim == 2 else None


def _zoom(frame: Frame, cell: int, centre: tuple[float, float]) -> tuple[npt.NDArray[np.float32], list[int]]:
    """A ZOOM_SIZE crop around `centre` (fractions of the frame), one picture pixel per frame
    pixel, and where it lies in frame pixels: [x, y, width, height]. A colour mosaic is cut
    on whole 2x2 cells and each cell's colour fills its four pixels."""
    w, h = min(ZOOM_SIZE[0], frame.width) // cell * cell, min(ZOOM_SIZE[1], frame.height) // cell * cell
    x = min(max(0, round(centre[0] * frame.width - w / 2)), frame.width - w) // cell * cell
    y = min(max(0, round(centre[1] * frame.height - h / 2)), frame.height - h) // cell * cell
    crop = picture(frame, 1, (x, y, w, h))
    if cell > 1:
        crop = crop.repeat(cell, axis=0).repeat(cell, axis=1)
    return crop, [x, y, w, h]


class Worker:
    """The preview worker: takes the newest frame when free, renders, publishes."""

    def __init__(self, publish: Callable[[Preview], None], name: str) -> None:
        self._publish = publish
        self._cv = threading.Condition()
        self._job: tuple[Frame, int, dict[str, Any]] | None = None
        self._busy = False
        self._stopping = False
        self.state = ViewState()
        self.settings_lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def offer(self, frame: Frame, index: int, extra: dict[str, Any]) -> bool:
        """Hands over a copy of the frame if the worker is free; False when it is busy."""
        with self._cv:
            if self._busy or self._job is not None:
                return False
            self._job = (Frame(np.array(frame.data), frame.meta), index, extra)
            self._cv.notify()
            return True

    def stop(self) -> None:
        with self._cv:
            self._stopping = True
            self._cv.notify()
        self._thread.join()

    def _run(self) -> None:
        # Behind the pump and the server for the processor: on a busy machine previews
        # thin out, rather than the camera's frames.
        with contextlib.suppress(OSError):
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), WORKER_NICENESS)
        while True:
            with self._cv:
                while self._job is None and not self._stopping:
                    self._cv.wait()
                if self._stopping:
                    return
                job, self._job = self._job, None
                self._busy = True
            assert job is not None
            try:
                frame, index, extra = job
                with self.settings_lock:
                    preview = render(frame, index, self.state, extra, time.monotonic())
                self._publish(preview)
            except Exception:
                log.exception("the live preview of frame %d failed", job[1])
            finally:
                with self._cv:
                    self._busy = False


def new_file(folder: Path, stem: str, suffix: str, make: Callable[[Path], T]) -> T:
    """make(path) for the first free name in `folder` after `stem` (stem, stem-1, ...); the
    writers refuse an existing file, so nothing is ever overwritten."""
    for n in range(10_000):
        try:
            return make(folder / (f"{stem}{suffix}" if n == 0 else f"{stem}-{n}{suffix}"))
        except FileExistsError:
            continue
    raise FileExistsError(f"no free file name for {stem}{suffix} in {folder}")


# Cameras the live view has shown: their exposure is the user's from then on.
_previewed: weakref.WeakSet[Camera] = weakref.WeakSet()


def _stem(camera: Camera, index: int) -> str:
    return f"orlicam-{camera.index}-{datetime.now(UTC):%Y%m%dT%H%M%S}-{index:06d}"


class Pump:
    """The one thread that drives a camera for the live view."""

    def __init__(self, camera: Camera, number: int, folder: Path, pending: Pending,
                 publish: Callable[[Preview], None], first_index: int) -> None:
        self.camera = camera
        self.number = number
        self.folder = folder
        self.pending = pending
        self._publish = publish
        self.index = first_index
        self._stop = threading.Event()
        self._worker = Worker(publish, f"live-preview-{number}")
        self._times: deque[float] = deque(maxlen=50)
        self._since = time.monotonic()   # when the first exposure of those timed began
        self._held: Request | None = None
        self._recording: SerWriter | None = None
        self._save_next: list[Future[dict[str, Any]]] = []
        self._cooling: dict[str, Any] = {}
        self._cooling_at = 0.0
        self._cut = False          # the single exposure under way was ended for new settings
        self.exposure = camera.exposure   # seconds, as last set
        self.shown = 0
        self._thread = threading.Thread(target=self._run, name=f"live-pump-{number}", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self, wait: float = 10.0) -> None:
        self._stop.set()
        with contextlib.suppress(korvi.ASIError):   # a single exposure under way ends now
            if self.camera.is_open and self.camera.exposure >= LONG_EXPOSURE:
                self.camera.abort_exposure(timeout=0.5)
        self._thread.join(wait)
        self._worker.stop()

    @property
    def fps(self) -> float | None:
        """Frames a second: from the frames' times, and from the first frame on, from the
        time it took; None before any frame."""
        times = self._times
        if len(times) >= 2 and times[-1] > times[0]:
            return (len(times) - 1) / (times[-1] - times[0])
        if len(times) == 1 and times[0] > self._since:
            return 1.0 / (times[0] - self._since)
        return None

    def _timing_from_now(self) -> None:
        self._times.clear()
        self._since = time.monotonic()

    def _run(self) -> None:
        try:
            if self.camera not in _previewed:   # the first time: an exposure that shows stars
                _previewed.add(self.camera)
                if self.camera.exposure < PREVIEW_EXPOSURE:
                    self.camera.exposure = self.exposure = PREVIEW_EXPOSURE
            self._publish(Preview.of(self._next_index(), {
                "kind": "status", "status": "waiting", "exposure": self.camera.exposure,
                "message": "waiting for the first frame"}))
            while not self._stop.is_set():
                self._settle(self._held or self.pending.take())
                self._held = None
                if self.camera.exposure >= LONG_EXPOSURE:
                    self._singles()
                else:
                    self._stream()
        except Exception as exc:
            text = f"camera {self.number}: live view stopped: {exc}"
            log.warning("%s", text)
            self._publish(Preview.of(self._next_index(), {"kind": "status", "status": "stopped", "message": text}))
            self.pending.fail_all(exc)
        finally:
            self._end_recording()
            for done in self._save_next:
                if not done.done():
                    done.set_exception(RuntimeError("the live view stopped before the next frame"))

    def _next_index(self) -> int:
        self.index += 1
        return self.index

    def _stream(self) -> None:
        exposure = self.camera.exposure
        self._timing_from_now()
        with self.camera.stream(copy=False, timeout=2 * exposure + 2.0) as frames:
            for frame in frames:
                self._frame(frame)
                if self._stop.is_set():
                    return
                request = self.pending.take()
                if request is None:
                    continue
                if request.settings.reshapes or (request.settings.exposure or 0) >= LONG_EXPOSURE:
                    self._held = request   # applied once the stream has stopped
                    return
                self._settle(request)

    def _singles(self) -> None:
        self._timing_from_now()
        while not self._stop.is_set() and self.camera.exposure >= LONG_EXPOSURE:
            try:
                frame = self.camera.capture()
            except korvi.ASIGeneralError:
                if self._stop.is_set():
                    return   # aborted on the way out
                if not self._cut:
                    raise
                self._cut = False
                self._settle(self.pending.take())   # what it was ended for
                self._timing_from_now()
                continue
            self._frame(frame)
            self._settle(self.pending.take())

    def cut_exposure(self) -> None:
        """Ends a long single exposure now, so that new camera settings need not wait for it
        (a minute's exposure would outlast the request); called from another thread."""
        if self.exposure < LONG_EXPOSURE:
            return
        self._cut = True   # before the abort: the capture raises as soon as it is ended
        try:
            cut = self.camera.abort_exposure(timeout=2.0)
        except korvi.ASIError:
            cut = False
        if not cut:
            self._cut = False

    def _frame(self, frame: Frame) -> None:
        now = time.monotonic()
        self._times.append(now)
        index = self._next_index()
        if self._recording is not None:
            try:
                self._recording.write(frame)
            except (OSError, ValueError) as exc:   # a full disk, a frame of another shape
                log.warning("camera %d: recording stopped: %s", self.number, exc)
                self._end_recording()
        saves, self._save_next = self._save_next, []
        for done in saves:
            try:
                done.set_result(self._save(frame, index))
            except Exception as exc:
                done.set_exception(exc)
        if self._worker.offer(frame, index, self._extra(now)):
            self.shown += 1

    def _extra(self, now: float) -> dict[str, Any]:
        camera = self.camera
        if camera.description.cooled and now - self._cooling_at >= 1.0:
            self._cooling_at = now
            try:
                self._cooling = {"cooler_on": bool(camera.cooler_on), "cooler_power": int(camera.cooler_power)}
            except korvi.ASIError:
                self._cooling = {}
        recording = self._recording
        fps = self.fps
        return {"fps": None if fps is None else round(fps, 2), "camera_frames": self.index, **self._cooling,
                "recording": None if recording is None else Path(recording.path).name,
                "recorded": 0 if recording is None else recording.count, "frame_read": now}

    def _save(self, frame: Frame, index: int) -> dict[str, Any]:
        def write(path: Path) -> Path:
            frame.to_fits(path)
            return path

        path = new_file(self.folder, _stem(self.camera, index), ".fits", write)
        log.info("camera %d: saved %s", self.number, path)
        return {"saved": path.name}

    def _end_recording(self) -> dict[str, Any]:
        writer, self._recording = self._recording, None
        if writer is None:
            return {"recording": None}
        writer.close()
        log.info("camera %d: recorded %d frames to %s", self.number, writer.count, writer.path)
        return {"recording": None, "recorded": writer.count, "file": Path(writer.path).name}

    def _settle(self, request: Request | None) -> None:
        """Applies a request's settings, then each caller's action; answers each caller with
        what the camera took (a save: once the next frame is written), or the error."""
        if request is None:
            return
        try:
            applied = self._apply(request.settings)
        except Exception as exc:
            for _, done in request.done:
                done.set_exception(exc)
            return
        for action, done in request.done:
            try:
                if action == "save":
                    self._save_next.append(done)
                elif action == "record":
                    done.set_result({**applied, "recording": Path(self._start_recording().path).name})
                elif action == "stop_recording":
                    done.set_result({**applied, **self._end_recording()})
                else:
                    done.set_result(applied)
            except Exception as exc:
                done.set_exception(exc)

    def _start_recording(self) -> SerWriter:
        if self._recording is None:
            self._recording = new_file(self.folder, _stem(self.camera, self.index + 1), ".ser", SerWriter)
            log.info("camera %d: recording to %s", self.number, self._recording.path)
        return self._recording

    def _apply(self, s: Settings) -> dict[str, Any]:
        camera = self.camera
        if s.reshapes or s.exposure is not None:
            self._timing_from_now()   # the rate of the frames to come, not a mix with the old ones
        if s.reshapes:
            self._end_recording()   # a file holds frames of one shape
            roi = camera.roi
            width, height, x, y = s.roi if s.roi is not None else (None, None, None, None)
            binning = s.bin if s.bin is not None else roi.bin
            if s.full_frame or (s.roi is None and binning != roi.bin):
                width, height, x, y = None, None, None, None   # the full sensor at the new binning
            camera.set_roi(width, height, bin=binning,
                           image_format=s.image_format if s.image_format is not None else roi.image_format,
                           x=x, y=y)
        if s.exposure is not None:
            camera.exposure = s.exposure
        if s.gain is not None:
            camera.gain = s.gain
        if s.offset is not None:
            camera.offset = s.offset
        if s.target_temperature is not None:
            camera.target_temperature = s.target_temperature
        if s.cooler_on is not None:
            camera.cooler_on = s.cooler_on
        display = Settings(black=s.black, white=s.white, auto_stretch=s.auto_stretch, zoom=s.zoom, zoom_off=s.zoom_off,
                           focal_length=s.focal_length)
        with self._worker.settings_lock:
            state = self._worker.state
            state.settings = state.settings.merged(display)
            if s.zoom is not None:
                state.settings = replace(state.settings, zoom_off=False)
        roi = camera.roi
        self.exposure = camera.exposure
        return {"exposure": camera.exposure, "gain": camera.gain, "offset": camera.offset,
                "bin": roi.bin, "roi": [roi.width, roi.height, roi.x, roi.y], "format": roi.image_format}
