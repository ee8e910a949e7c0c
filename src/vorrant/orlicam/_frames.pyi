"""The camera layer's video frame path: frames written into caller-owned buffers.

read_video_frame and read_video_frame_gps wait up to ``wait_ms`` milliseconds (-1:
without limit) with the interpreter lock released, and write the next frame into ``buffer``: any writable,
C-contiguous buffer (a numpy array, a bytearray) of exactly the size the camera's
current region and format imply. Errors: TypeError for a non-int id or wait, an
object without the buffer protocol or a read-only buffer; ValueError for a
non-contiguous buffer or one of the wrong size; SDK failures as korvi's exception
classes, raised through korvi's handle_error_code.

copy_slots makes each frame's metadata from the stream's template in one call,
FrameStamper a stream's whole frame, StreamStep a whole step of a mono stream, and
StreamExit a stream's __exit__ that marks the stream ended before Ctrl-C can land.

lanczos_warp, running_update and robust_start are the live stacker's per-pixel work:
resampling a frame onto the reference grid, and the running mean that leaves outliers out.
"""
from collections.abc import Buffer
from typing import Any, TypeVar, final

import numpy.typing as npt

from vorrant.orlicam.camera.frames import Frame, FrameMeta
from vorrant.orlicam.korvi import GpsData

_T = TypeVar("_T")

def read_video_frame(camera_id: int, buffer: Buffer, wait_ms: int, /) -> None: ...
def read_video_frame_gps(camera_id: int, buffer: Buffer, wait_ms: int, /) -> GpsData: ...
def copy_slots(obj: _T, /) -> _T: ...

@final
class FrameStamper:
    def __new__(cls, frame_type: type[Frame], template: FrameMeta, lag_seconds: float, /) -> FrameStamper: ...
    def __call__(self, data: npt.NDArray[Any], index: int, /) -> Frame: ...

@final
class StreamStep:
    cam: Any
    camera_id: int
    wait_ms: int
    ring: list[npt.NDArray[Any]]
    views: list[npt.NDArray[Any]]
    empty: Any
    shape: tuple[int, ...]
    dtype: Any
    stamp: FrameStamper | Any
    gps: bool
    live: bool
    seen: int
    refresh_at: float
    count: int
    @property
    def began(self) -> float: ...
    def __call__(self) -> Frame | tuple[npt.NDArray[Any], GpsData | None, float, int]: ...

@final
class StreamExit:
    def __new__(cls, leave: Any, /) -> StreamExit: ...
    def __call__(self, stream: Any, exc_type: Any, exc: Any, tb: Any, /) -> Any: ...
    def __get__(self, obj: Any, owner: Any = None, /) -> Any: ...

def json_columns(image: Buffer, start: int, stop: int, /) -> bytes: ...
def json_length(image: Buffer, /) -> int: ...

def lanczos_warp(image: Buffer, cos: float, sin: float, dx: float, dy: float, out: Buffer, /) -> None: ...
def running_update(values: Buffer, mean: Buffer, m2: Buffer, count: Buffer, kappa: float, floor_var: float, /) -> int: ...
def robust_start(buffer: Buffer, mean: Buffer, m2: Buffer, count: Buffer, kappa: float, floor_var: float, /) -> int: ...
