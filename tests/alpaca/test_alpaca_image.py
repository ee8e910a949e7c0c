"""ImageArray encodings checked against independent readers: the json module and
a struct/numpy reading of the ImageBytes layout."""
import json
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from vorrant.orlicam.alpaca.image import as_image_array, imagebytes_header, json_array_chunks, json_array_length

frames = st.one_of(
    hnp.arrays(st.sampled_from([np.uint8, np.uint16]), hnp.array_shapes(min_dims=2, max_dims=2, max_side=9)),
    hnp.arrays(st.sampled_from([np.uint8, np.uint16]),
               st.tuples(st.integers(1, 6), st.integers(1, 6), st.just(3))),
)


@settings(max_examples=200, deadline=None)
@given(frames)
def test_json_text_is_the_frame_indexed_x_then_y(frame):
    image = as_image_array(frame)
    text = b"".join(json_array_chunks(image))
    assert json_array_length(image) == len(text)   # the Content-Length sent ahead of it
    parsed = json.loads(text)
    assert parsed == [[frame[y, x].tolist() for y in range(frame.shape[0])] for x in range(frame.shape[1])]


@pytest.mark.parametrize("dtype, code", [(np.uint8, 6), (np.uint16, 8)])
def test_imagebytes_header_and_pixels_read_back(dtype, code):
    frame = np.arange(5 * 7, dtype=dtype).reshape(5, 7) * 7
    image = as_image_array(frame)
    raw = imagebytes_header(image, 123, 456) + image.tobytes()
    assert struct.unpack("<11i", raw[:44]) == (1, 0, 123, 456, 44, 2, code, 2, 7, 5, 0)
    pixels = np.frombuffer(raw[44:], np.dtype(dtype).newbyteorder("<")).reshape(7, 5)
    assert np.array_equal(pixels, frame.T)


def test_big_endian_frames_go_out_little_endian():
    frame = np.array([[1, 258]], dtype=">u2")
    assert as_image_array(frame).tobytes() == b"\x01\x00\x02\x01"


@pytest.mark.parametrize("frame, error", [
    (np.zeros((2, 2), np.float32), "ImageArray pixels must be uint8 or uint16, not float32"),
    (np.zeros(4, np.uint8), "ImageArray needs a 2- or 3-dimensional frame, not 1"),
])
def test_other_arrays_are_refused(frame, error):
    with pytest.raises((TypeError, ValueError), match=error):
        as_image_array(frame)


@pytest.mark.parametrize("shape, dtype", [((1100, 2000), np.uint16), ((300, 400, 3), np.uint8)])
def test_large_frames_come_in_pieces_that_join_to_the_json_text(shape, dtype):
    # Values of every digit count, cycled through the frame, so each piece starts and ends on several.
    edges = [0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 65535]
    frame = np.resize(np.array([v for v in edges if v <= np.iinfo(dtype).max], dtype), shape)
    image = as_image_array(frame)
    pieces = list(json_array_chunks(image))
    assert len(pieces) > 3
    text = json.dumps(image.tolist(), separators=(",", ":")).encode()
    assert b"".join(pieces) == text and json_array_length(image) == len(text)
