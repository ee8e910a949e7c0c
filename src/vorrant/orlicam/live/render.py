"""The picture the live view makes of a frame (or of the running stack): the stretched
views, the 1:1 zoom, the levels and the focus figures; and the preview worker that makes
them off the pump's thread."""
from __future__ import annotations

import contextlib
import logging
import math
import os
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import simplejpeg

from ..camera.frames import Frame, bayer_at
from ..files.preview import superpixel
from ..observing.stacking import Stacker
from .settings import LONG_EXPOSURE, Preview, Settings
from .stats import Focus, bin_sum, focus, levels

log = logging.getLogger("vorrant.orlicam.live")

VIEW_MAX = 1280            # the full view is binned to at most this many pixels across
ZOOM_SIZE = (320, 240)     # the 1:1 zoom, frame pixels
FOCUS_INTERVAL = 0.25      # focus figures at most 4 times a second
TREND_LENGTH = 120         # focus figures kept for the V-curve: half a minute at the most
TARGET_BACKGROUND = 0.25   # where the automatic stretch puts the sky's median
SHADOWS_CLIP = 2.8         # ... and its black point, in standard deviations below it
JPEG_QUALITY = 80
WORKER_NICENESS = 10


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
    # The running stack while the page asks for it (the pump resets and saves it).
    stacker: Stacker | None = None


def render(frame: Frame, index: int, state: ViewState, extra: dict[str, Any], now: float) -> Preview:
    """The update for one frame: stretched full view, the zoom when asked, and the figures."""
    read_at = extra.pop("frame_read", now)
    cell = 2 if _bayer(frame) else 1
    factor = max(1, math.ceil(max(frame.width, frame.height) / cell / VIEW_MAX))
    s = state.settings
    stacked = _stack(frame, state)
    if stacked is None:
        view = picture(frame, factor)
    else:
        factor = max(1, math.ceil(max(stacked.shape[0], stacked.shape[1]) / VIEW_MAX))
        view = stack_picture(stacked, full_scale(frame), factor)
        cell = 1 if stacked.ndim == 2 or not _bayer(frame) else 2
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
        "stack": stack_figures(state),
        **extra,
        # From the frame's arrival to its figures being ready, seconds.
        "latency": round(time.monotonic() - read_at, 4),
    }, tuple(parts))


def _stack(frame: Frame, state: ViewState) -> npt.NDArray[np.float32] | None:
    """Adds the frame to the running stack when the page asks for one; the stack's mean."""
    stacker = state.stacker
    if not state.settings.stack or stacker is None:
        return None
    stacker.add(frame.data, frame.meta.exposure, frame.meta)
    return stacker.image


def stack_picture(image: npt.NDArray[np.float32], scale: float, factor: int) -> npt.NDArray[np.float32]:
    """The stack's mean as a picture in fractions of full scale, `factor` x `factor` binned;
    pixels no frame covered take the median."""
    finite = np.nan_to_num(image, nan=float(np.nanmedian(image))) if np.isnan(image).any() else image
    return bin_sum(finite, factor) * np.float32(1.0 / (scale * factor * factor))


def stack_figures(state: ViewState) -> dict[str, Any] | None:
    stacker = state.stacker
    if not state.settings.stack or stacker is None:
        return None
    last = stacker.last
    return {"frames": stacker.frames, "rejected": stacker.rejected, "exposure": round(stacker.exposure, 3),
            "last": None if last is None else last.reason}


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
