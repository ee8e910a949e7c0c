"""Video streams: frames read as fast as the camera sends them."""
from __future__ import annotations

import importlib
import math
import time
from collections.abc import Callable, Iterator
from datetime import datetime, timedelta
from types import TracebackType
from typing import Any, Final, Self

import numpy as np
import numpy.typing as npt

from .. import korvi
from .capture import CameraCapture, _gps_time
from .errors import noted
from .recovery import CameraLost
from .frames import FORMATS, Frame, FrameMeta, Roi, bgr_to_rgb, frame_stamper, make_frame, meta_maker, to_array
from .units import bool_arg, seconds_arg

__all__ = ["CameraStreaming", "Stream"]

CT = korvi.ControlType
_set_value = korvi.set_control_value

# The fast frame reader is an optional companion extension; without it frames come
# through korvi.get_video_data, which allocates a fresh buffer per frame.
_fast: Any
try:
    _fast = importlib.import_module("vorrant.orlicam._frames")
except ImportError:
    _fast = None

# Longest single wait inside the SDK: Ctrl-C is seen when the call returns.
_WAIT_SLICE_MS: Final = 250
# A stream re-reads the settings its frames carry at least this often (seconds): the
# temperature drifts, and other code may set controls through korvi directly.
_SETTINGS_REFRESH_S: Final = 0.25
# A failed stop is tried again this many times in all, this far apart (seconds), before
# the stream reports that the camera may still be capturing.
_STOP_TRIES: Final = 3
_STOP_RETRY_S: Final = 0.02


class CameraStreaming(CameraCapture):
    """Camera's video streams."""

    __slots__ = ()

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


class Stream:
    """A running video capture: iterate it for Frames. The capture starts on entering the
    `with` block and stops on leaving it, however it is left."""

    def __init__(self, cam: CameraCapture, raw_exposure: int | None, timeout: float | None, copy: bool) -> None:
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
        # The per-frame work of the mono formats done in one call, while the stream runs.
        self._step: Any = None

    def __enter__(self) -> Self:
        cam = self._cam
        cam._require_open("starting a video stream")
        cam._settle_stream("starting a video stream", f"{cam._label} is streaming already")
        starting = False
        try:
            # The camera is this stream's from the first step inside the try, so that Ctrl-C
            # anywhere below lets go of it again; no block will exit a stream that failed to enter.
            cam._busy = self
            self._running = True
            self._dropped = None
            self._count = 0
            if self._raw_exposure is not None:
                cam._changes += 1
                _set_value(cam._id, CT.ASI_EXPOSURE, self._raw_exposure, False)
            if cam.recovery is not None:
                cam._remember()   # what a camera that drops out mid-stream gets back
            roi = cam.roi
            self._prepare(roi)
            seconds = self._refresh(time.monotonic())
            self._timeout = 2 * seconds + 1.0 if self._limit is None else self._limit
            self._slice_ms = _slice_ms(self._timeout)
            self._step = self._make_step()
            starting = True
            korvi.start_video_capture(cam._id)
            return self   # inside the try: no block will exit a stream whose __enter__ raised
        except BaseException as exc:
            self._running = False
            self._step = None
            if cam._busy is self:
                cam._busy = None
            if starting and not isinstance(exc, korvi.ASIError):
                # Ctrl-C as the start returned: the capture may run.
                try:
                    korvi.stop_video_capture(cam._id)
                except korvi.ASIError:
                    pass   # it had not started
            if isinstance(exc, korvi.ASIError):
                raise noted(exc, "starting a video stream", cam._label)
            raise

    def _make_step(self) -> Any:
        """The frame extension's StreamStep for the mono formats, set up for this run; None
        where frames go the general way (no extension, RGB24, the korvi fallback)."""
        make = getattr(_fast, "StreamStep", None)   # an older frame extension has none
        if make is None or self._read not in (self._read_ring, self._read_fresh):
            return None
        cam = self._cam
        step = make()
        step.cam, step.camera_id, step.wait_ms = cam, cam._id, self._slice_ms
        step.gps = cam._gps
        if self._copy:
            step.empty, step.shape, step.dtype = np.empty, self._shape, self._fmt.dtype
        else:
            step.ring, step.views = self._ring, self._views
        step.stamp, step.live, step.seen, step.refresh_at = self._stamp, self._live, self._seen, self._refresh_at
        step.count = 0
        return step

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
        step = self._step
        if step is not None:
            step.stamp, step.live, step.seen, step.refresh_at = self._stamp, self._live, self._seen, self._refresh_at
        return seconds

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        # Replaced below by the frame extension's StreamExit, which makes these marks before
        # Ctrl-C can land at this function's first instruction and leave the stream running.
        if not self._running:
            return
        self._running = False
        if self._step is not None:
            self._count = self._step.count
            self._step = None
        self._leave(exc_type, exc, tb)

    def _leave(self, exc_type: type[BaseException] | None, exc: BaseException | None,
               tb: TracebackType | None) -> None:
        """Stops the capture of a stream marked ended. Until the SDK has stopped, the camera
        counts as held by a stream that has ended: whatever comes next (Ctrl-C included)
        stops the capture before its own."""
        cam = self._cam
        if cam._busy is not self:
            return   # the camera was closed since, ending this capture; a later one is not this one's
        try:
            self._dropped = korvi.get_dropped_frames(cam._id)
        except korvi.ASIError:
            self._dropped = None   # `dropped` asks the camera again
        stop_error: korvi.ASIError | None = None
        for attempt in range(_STOP_TRIES):
            if attempt:
                time.sleep(_STOP_RETRY_S)
            try:
                korvi.stop_video_capture(cam._id)
            except korvi.ASIError as failed:
                stop_error = failed
                continue
            if cam._busy is self:
                cam._busy = None
            return
        assert stop_error is not None
        # The SDK still captures, and the camera stays held: the next capture or stream
        # tries the stop again; closing the camera ends the capture.
        what = (f"the video capture may still run: the next capture or stream on the camera stops it "
                "first, and closing the camera ends it")
        if exc is None:
            noted(stop_error, f"stopping the video stream ({_STOP_TRIES} tries)", cam._label)
            stop_error.add_note(f"orlicam: {what}")
            raise stop_error
        exc.add_note(f"orlicam: stopping the video stream on {cam._label} failed too: {stop_error!r}; {what}")

    def __iter__(self) -> Iterator[Frame]:
        return self

    def __next__(self) -> Frame:
        try:
            return self._next_frame()
        except korvi.ASIError as exc:
            return self._recover(exc)

    def _recover(self, exc: korvi.ASIError) -> Frame:
        """Under the camera's recovery policy: waits again for a frame that timed out, and
        waits for a lost camera, reopens it and starts the capture again; raises what the
        policy does not cover, or once its bounds are passed."""
        cam = self._cam
        policy = cam._recovery
        if policy is None or not self._running:
            raise exc
        timeouts = losses = 0
        while True:
            restart = False
            if isinstance(exc, korvi.ASITimeout) and not cam._lost:
                timeouts += 1
                if timeouts > policy.exposure_retries:
                    cam._report("gave-up", f"no video frame from {cam._label} in {timeouts} waits of "
                                f"{self._timeout:g} s", timeouts)
                    raise exc
                cam._report("video-timeout", f"no video frame from {cam._label} within {self._timeout:g} s "
                            f"(wait {timeouts} of at most {policy.exposure_retries + 1}); waiting again", timeouts)
            elif cam._lost or cam._is_loss(exc):
                losses += 1
                cam._mark_lost(exc, losses)
                if losses > policy.exposure_retries:
                    message = f"{cam._label} was lost {losses} times before the stream's next frame; check its cable and hub"
                    cam._report("gave-up", message, losses)
                    raise noted(CameraLost(message), "reading a video frame", cam._label) from exc
                cam._await_return(exc, "reading a video frame", losses)
                restart = True
            else:
                raise exc
            try:
                if restart:
                    self._restart()
                return self._next_frame()
            except korvi.ASIError as again:
                exc = again

    def _restart(self) -> None:
        """Starts the capture again on the reopened camera, counting frames on."""
        count = self.frames_read
        self._running = False
        self._step = None
        self.__enter__()
        self._count = count
        if self._step is not None:
            self._step.count = count

    def _next_frame(self) -> Frame:
        step = self._step
        if step is not None and self._cam._busy is self:
            try:
                out = step()
            except korvi.ASIError as exc:
                return self._after_first_slice(step, exc)
            if type(out) is tuple:
                return self._finish(*out)
            return out   # type: ignore[no-any-return]
        return self._next_general()

    def _after_first_slice(self, step: Any, exc: korvi.ASIError) -> Frame:
        """The StreamStep's first slice brought no frame: the layer's longer wait, as in
        the general way."""
        cam = self._cam
        if not isinstance(exc, korvi.ASITimeout):
            raise noted(exc, "reading a video frame", cam._label)
        began = step.began
        self._count = step.count
        data, gps = self._read_until(began + self._timeout, exc)
        return self._finish(data, gps, began, step.count)

    def _finish(self, data: npt.NDArray[Any], gps: korvi.GpsData | None, began: float, index: int) -> Frame:
        """The frame read at `began` as the general way finishes it: settings read again
        when due, then timed by its GPS record or by its arrival."""
        cam = self._cam
        if self._live or self._seen != cam._changes or began >= self._refresh_at:
            try:
                self._refresh(began)
            except korvi.ASIError as exc:
                raise noted(exc, "reading a video frame", cam._label)
        self._step.count = index + 1
        start = _gps_time(gps)
        if start is None:   # timed by its arrival, less the exposure
            assert self._stamp is not None
            return self._stamp(data, index)
        assert self._make is not None
        return make_frame(data, self._make(start, gps, index))

    def _next_general(self) -> Frame:
        cam = self._cam
        if not self._running:
            raise ValueError("the stream is not running: iterate it inside `with cam.stream() as frames:`")
        if cam._busy is not self:
            cam._require_open("reading a video frame")
            raise noted(korvi.ASIInvalidSequence(
                f"this stream ended when {cam._label} was closed; start a new one"),
                "reading a video frame", cam._label)
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
        raw: bytes | bytearray
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
        step = self._step
        return self._count if step is None else int(step.count)


if hasattr(_fast, "StreamExit"):
    setattr(Stream, "__exit__", _fast.StreamExit(Stream._leave))


def _slice_ms(seconds: float) -> int:
    """One wait inside the SDK, in ms: at most _WAIT_SLICE_MS so Ctrl-C is seen between waits."""
    return max(1, math.ceil(min(_WAIT_SLICE_MS, seconds * 1000)))


def _read_only(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    view = array.view()
    view.flags.writeable = False
    return view
