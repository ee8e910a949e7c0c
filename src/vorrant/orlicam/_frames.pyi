"""The camera layer's video frame path: frames written into caller-owned buffers.

Both functions wait up to ``wait_ms`` milliseconds (-1: without limit) with the
interpreter lock released, and write the next frame into ``buffer``: any writable,
C-contiguous buffer (a numpy array, a bytearray) of exactly the size the camera's
current region and format imply. Errors: TypeError for a non-int id or wait, an
object without the buffer protocol or a read-only buffer; ValueError for a
non-contiguous buffer or one of the wrong size; SDK failures as korvi's exception
classes, raised through korvi's handle_error_code.
"""
from collections.abc import Buffer

from vorrant.orlicam.korvi import GpsData

def read_video_frame(camera_id: int, buffer: Buffer, wait_ms: int, /) -> None: ...
def read_video_frame_gps(camera_id: int, buffer: Buffer, wait_ms: int, /) -> GpsData: ...
