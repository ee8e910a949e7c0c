"""The dark-frame BMP (read back by hand and by the camera's own dark subtraction) and PNG previews."""
import time

import numpy as np
import pytest
from PIL import Image

from files_support import Roi, frame, read_grey_bmp
from vorrant.orlicam import korvi
from vorrant.orlicam.files.bmp import write_grey_bmp
from vorrant.orlicam.korvi import ControlType, ExposureStatus, ImgType
from vorrant.orlicam.files.preview import preview_array, stretch, superpixel, write_png


@pytest.mark.parametrize("shape", [(3, 5), (4, 8), (1, 1), (2, 7)])
def test_grey_bmp_reads_back_top_down_with_a_grey_palette(tmp_path, shape):
    pixels = np.random.default_rng(3).integers(0, 256, shape, dtype=np.uint8)
    write_grey_bmp(tmp_path / "d.bmp", pixels)
    back, palette = read_grey_bmp(tmp_path / "d.bmp")
    np.testing.assert_array_equal(back, pixels)
    np.testing.assert_array_equal(palette[:, :3], np.repeat(np.arange(256, dtype=np.uint8)[:, None], 3, axis=1))


def test_grey_bmp_refuses_other_arrays(tmp_path):
    with pytest.raises(ValueError, match=r"^a greyscale BMP takes a 2-D uint8 array, not 2-D uint16$"):
        write_grey_bmp(tmp_path / "d.bmp", np.zeros((2, 2), np.uint16))


def dark_raw8(cam, width, height):
    korvi.start_exposure(cam, True)
    while korvi.get_exp_status(cam) == ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.005)
    return np.frombuffer(korvi.get_data_after_exp(cam, width * height), np.uint8).reshape(height, width)


def test_camera_subtracts_our_bmp_row_for_row(tmp_path, opened):
    # A dark saturated in the top rows only: with subtraction the frame's top rows go to 0,
    # the others keep their signal; a mirrored file would blank the bottom instead.
    info = korvi.get_camera_property(0)
    width, height = info.max_width, info.max_height
    dark = np.zeros((height, width), np.uint8)
    dark[: height // 4] = 255
    write_grey_bmp(tmp_path / "dark.bmp", dark)
    opened(0)
    korvi.set_roi_format(0, width, height, 1, ImgType.IMG_RAW8)
    korvi.set_control_value(0, ControlType.ASI_GAIN, 300, False)
    korvi.set_control_value(0, ControlType.ASI_OFFSET, 80, False)
    korvi.enable_dark_subtract(0, str(tmp_path / "dark.bmp"))
    subtracted = dark_raw8(0, width, height)
    assert subtracted[: height // 4].max() == 0
    assert np.median(subtracted[height // 4:]) >= 3  # the bias (offset 80) stays


@pytest.mark.parametrize("pattern, rgb", [("RGGB", (10, 25, 40)), ("BGGR", (40, 25, 10)),
                                          ("GRBG", (20, 25, 30)), ("GBRG", (30, 25, 20))])
def test_superpixel_takes_each_colour_from_its_cell(pattern, rgb):
    mosaic = np.tile(np.array([[10, 20], [30, 40]], np.uint16), (2, 3))
    out = superpixel(mosaic, pattern)
    assert out.shape == (2, 3, 3)
    np.testing.assert_array_equal(out, np.broadcast_to(np.array(rgb, np.float32), (2, 3, 3)))


def test_stretch_blacks_out_the_sky_noise_and_keeps_stars_in_order():
    rng = np.random.default_rng(5)
    sky = rng.normal(1000, 10, (200, 200))
    stars = np.zeros_like(sky)
    stars[50, 50], stars[100, 120], stars[150, 30] = 100, 400, 1600
    stars[18:23, 178:183] = 30000  # a bright star's core, more pixels than the top 0.01 %
    out = stretch(np.clip(sky + stars, 0, 65535).astype(np.uint16))
    assert out.dtype == np.uint8 and out.shape == (200, 200)
    assert np.mean(out[stars == 0] == 0) > 0.95  # the sky is black apart from its brightest noise
    assert out[20, 180] == 255 and 0 < out[50, 50] < out[100, 120] < out[150, 30] < 255


def test_png_preview_of_colour_raw_is_half_size_rgb(tmp_path):
    mosaic = np.random.default_rng(0).integers(0, 4000, (6, 8), dtype=np.uint16)
    write_png(tmp_path / "p.png", frame(mosaic, roi=Roi(0, 0, 8, 6, 1, "RAW16")))
    with Image.open(tmp_path / "p.png") as image:
        assert (image.format, image.mode, image.size) == ("PNG", "RGB", (4, 3))
        np.testing.assert_array_equal(np.asarray(image), preview_array(frame(mosaic, roi=Roi(0, 0, 8, 6, 1, "RAW16"))))
    write_png(tmp_path / "m.png", frame(mosaic, bayer_pattern=None))
    with Image.open(tmp_path / "m.png") as image:
        assert (image.mode, image.size) == ("L", (8, 6))
