"""Frames from the camera to previews: the pump thread.

The pump reads every frame the camera delivers (streaming, or single exposures when
they are long), applies pending settings between frames, records and saves, and hands
the newest frame to the preview worker only when the worker is free: a frame that
arrives while the last one is still being drawn is skipped, never queued.
"""
from __future__ import annotations

import contextlib
import logging
import threading
import time
import weakref
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future
from dataclasses import replace
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, TypeVar

from .. import korvi
from ..camera import CameraLost
from ..camera.camera import Camera
from ..camera.frames import Frame
from ..files.ser import SerWriter
from ..observing.stacking import Stacker, write_stack
from .render import Worker
from .settings import LONG_EXPOSURE, Pending, Preview, Request, Settings

log = logging.getLogger("vorrant.orlicam.live")
T = TypeVar("T")

# What the live view exposes until told otherwise: enough for the stars of a deep-sky
# camera (the cameras power on at 0.01 s, noise and a handful of stars), still a stream.
PREVIEW_EXPOSURE = 0.5

# How often a lost camera is looked for: the view shows frames again within this and the
# first exposure of the camera's return.
RETURN_POLL_S = 0.5
LOST_MESSAGE = "camera lost, waiting for it"


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
                try:
                    self._settle(self._held or self.pending.take())
                    self._held = None
                    if self.camera.exposure >= LONG_EXPOSURE:
                        self._singles()
                    else:
                        self._stream()
                except korvi.ASIError as exc:
                    if not self._is_loss(exc):
                        raise
                    self._wait_for_camera(exc)
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

    def _is_loss(self, exc: korvi.ASIError) -> bool:
        return isinstance(exc, (CameraLost, korvi.ASICameraRemoved)) or self.camera.lost

    def _wait_for_camera(self, exc: korvi.ASIError) -> None:
        """Says the camera is lost and looks for it until it is back (reopened with its
        settings by the camera layer) or the view stops; a recording ends, valid, at the loss."""
        log.warning("camera %d: %s (%s)", self.number, LOST_MESSAGE, str(exc).splitlines()[0] if str(exc) else exc)
        self._end_recording()
        self._publish(Preview.of(self._next_index(), {"kind": "status", "status": "lost", "message": LOST_MESSAGE}))
        lost_at = time.monotonic()
        while not self._stop.wait(RETURN_POLL_S):
            try:
                if self.camera.reconnect():
                    break
            except korvi.ASIError as error:
                log.debug("camera %d: not back yet: %s", self.number, error)
        else:
            return
        log.info("camera %d is back after %.1f s", self.number, time.monotonic() - lost_at)
        self._publish(Preview.of(self._next_index(), {
            "kind": "status", "status": "waiting", "exposure": self.camera.exposure,
            "message": "the camera is back; waiting for its first frame"}))

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
                elif action == "stack_reset":
                    done.set_result({**applied, **self._reset_stack()})
                elif action == "stack_save":
                    done.set_result({**applied, **self._save_stack()})
                else:
                    done.set_result(applied)
            except Exception as exc:
                done.set_exception(exc)

    def _reset_stack(self) -> dict[str, Any]:
        with self._worker.settings_lock:
            stacker = self._worker.state.stacker
            if stacker is not None:
                stacker.reset()
        return {"stack_frames": 0}

    def _save_stack(self) -> dict[str, Any]:
        with self._worker.settings_lock:
            stacker = self._worker.state.stacker
            if stacker is None or stacker.frames == 0:
                raise ValueError("nothing stacked yet: turn Stack on and wait for frames with stars")
            frames = stacker.frames

            def write(path: Path) -> Path:
                write_stack(path, stacker)
                return path

            path = new_file(self.folder, _stem(self.camera, self.index) + "-stack", ".fits", write)
        log.info("camera %d: saved the stack of %d frames to %s", self.number, frames, path)
        return {"saved": path.name, "stack_frames": frames}

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
                           focal_length=s.focal_length, stack=s.stack)
        with self._worker.settings_lock:
            state = self._worker.state
            state.settings = state.settings.merged(display)
            if s.stack:
                state.stacker = state.stacker or Stacker()
            elif s.stack is False:
                state.stacker = None
            if state.stacker is not None and (s.reshapes or s.exposure is not None or s.gain is not None):
                state.stacker.reset()   # frames of other settings do not add up with these
            if s.zoom is not None:
                state.settings = replace(state.settings, zoom_off=False)
        roi = camera.roi
        self.exposure = camera.exposure
        return {"exposure": camera.exposure, "gain": camera.gain, "offset": camera.offset,
                "bin": roi.bin, "roi": [roi.width, roi.height, roi.x, roi.y], "format": roi.image_format}
