"""Exact subframes from the camera layer, and electrons per ADU checked by photon transfer.

The cover-and-crop is checked on frames whose pixels carry their own sensor position,
so a wrong offset, mirror or bin cannot hide; the camera runs take real frames."""
import numpy as np
import pytest
from astropy.io import fits as afits

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.camera.frames import Roi
from vorrant.orlicam.camera.sensor import electrons_per_adu, sensor_name
from vorrant.orlicam.camera.subframe import cover_axis, plan_subframe

# sensor size, bins, request (x, y, w, h, bin) -> region exposed (x, y, w, h, bin), software bin
PLANS = [
    ((4144, 2822), (1, 2, 3, 4), (0, 0, 4144, 2822, 1), (0, 0, 4144, 2822, 1), 1),
    ((4144, 2822), (1, 2, 3, 4), (0, 0, 2072, 1411, 2), (0, 0, 4144, 2822, 1), 2),   # 1411 rows: odd
    ((4144, 2822), (1, 2, 3, 4), (0, 0, 1381, 940, 3), (0, 0, 4144, 2820, 1), 3),    # 1381: no cover of 8s at bin 3
    ((4144, 2822), (1, 2, 3, 4), (0, 0, 1036, 705, 4), (0, 0, 2072, 1410, 2), 2),
    ((4144, 2822), (1, 2, 3, 4), (10, 20, 100, 50, 2), (10, 20, 104, 50, 2), 1),
    ((1936, 1096), (1, 2, 3, 4), (3, 5, 1001, 7, 1), (3, 5, 1008, 8, 1), 1),
    ((1936, 1096), (1, 2, 3, 4), (1930, 1095, 6, 1, 1), (1928, 1094, 8, 2, 1), 1),   # pushed back from the edge
    ((1936, 1096), (1, 2, 3, 4), (0, 0, 645, 365, 3), (0, 0, 1936, 1096, 1), 3),
    ((1280, 960), (1, 2), (1, 1, 638, 479, 2), (0, 0, 640, 480, 2), 1),
]


@pytest.mark.parametrize("sensor, bins, request_, exposed, factor", PLANS)
def test_the_smallest_accepted_region_covers_the_request(sensor, bins, request_, exposed, factor):
    x, y, w, h, b = request_
    plan = plan_subframe(*sensor, bins, x, y, w, h, b, "RAW16")
    assert (plan.roi, plan.factor) == (Roi(*exposed, "RAW16"), factor)


@pytest.mark.parametrize("request_, message", [
    ((0, 0, 4145, 10, 1), "the subframe 4145 x 10 at (0, 0) does not fit the sensor, which is 4144 x 2822 pixels at bin 1"),
    ((1, 0, 1381, 10, 3), "the subframe 1381 x 10 at (1, 0) does not fit the sensor, which is 1381 x 940 pixels at bin 3"),
    ((0, 0, 0, 10, 1), "the subframe width must be positive, got 0"),
    ((0, -1, 8, 10, 1), "the subframe y must not be negative, got -1"),
    ((0, 0, 8, 10, 5), "bin 5 is not supported; supported: 1, 2, 3, 4"),
])
def test_requests_outside_the_sensor_are_refused(request_, message):
    with pytest.raises(ValueError) as info:
        plan_subframe(4144, 2822, (1, 2, 3, 4), *request_, "RAW8")
    assert str(info.value) == message


def test_cover_axis_is_none_when_no_run_of_whole_steps_fits():
    assert [cover_axis(0, 645, 645, 8), cover_axis(0, 640, 645, 8), cover_axis(600, 40, 645, 8)] == [
        None, (0, 640), (600, 40)]


def sensor_frame(roi, shape, flip):
    """What the camera delivers for `roi`: pixel value = sensor row * 4096 + column
    (in the region's binned pixels), mirrored as `flip` says."""
    rows = np.arange(roi.y, roi.y + roi.height)[:, None]
    cols = np.arange(roi.x, roi.x + roi.width)[None, :]
    data = (rows * 4096 + cols).astype(np.uint32)
    if flip & 1:
        data = data[:, ::-1]
    if flip & 2:
        data = data[::-1]
    return data.reshape(data.shape + (1,) * (len(shape) - 2))


@pytest.mark.parametrize("flip", [0, 1, 2, 3])
@pytest.mark.parametrize("request_", [(3, 5, 1001, 7, 1), (1930, 1095, 6, 1, 1), (7, 3, 11, 13, 2)])
def test_the_crop_is_the_requested_pixels_whatever_the_mirror(flip, request_):
    x, y, w, h, b = request_
    plan = plan_subframe(1936, 1096, (1, 2, 3, 4), x, y, w, h, b, "RAW16")
    crop = plan.crop_array(sensor_frame(plan.roi, (0, 0), flip), flip)
    expected = sensor_frame(Roi(x, y, w, h, b), (0, 0), flip)
    assert np.array_equal(crop, expected)


def test_software_binning_averages_blocks_to_the_adc_step_and_keeps_the_mosaic():
    # A 33 x 18 sensor is 11 pixels wide at bin 3, too narrow for a 16-pixel region:
    # a request 10 wide is exposed at bin 1 and binned here.
    rng = np.random.default_rng(5)
    sensor = (rng.integers(0, 16384, (18, 33)) << 2).astype(np.uint16)
    mono = plan_subframe(33, 18, (1, 3), 0, 1, 10, 5, 3, "RAW16")
    r = mono.roi
    assert (r.bin, mono.factor) == (1, 3)
    got = mono.crop_array(sensor[r.y:r.y + r.height, r.x:r.x + r.width], bit_depth=14)
    block = sensor[3:18, 0:30].reshape(5, 3, 10, 3).astype(np.float64).mean(axis=(1, 3))
    assert np.array_equal(got, (np.floor(block / 4 + 0.5) * 4).astype(np.uint16))
    # Colour raw: an output pixel averages the pixels of its own colour in its block (RGGB).
    colour = plan_subframe(33, 18, (1, 3), 0, 0, 10, 2, 3, "RAW8", "RGGB")
    data = np.zeros((colour.roi.height, colour.roi.width), np.uint8)
    data[0::2, 0::2], data[1::2, 1::2] = 200, 10           # red sites, blue sites; green stays 0
    assert colour.crop_array(data).tolist() == [[200, 0] * 5, [0, 10] * 5]


@pytest.fixture
def only(request):
    """only(model): that simulated model as the one camera; the default pair again afterwards."""
    request.addfinalizer(simulator.configure)
    return lambda model: simulator.configure([model])


@pytest.mark.parametrize("model", ["asi462mc", "asi294mm_pro_gps", "asi120mm_mini", "asi585mc"])
def test_every_bin_gives_the_full_frame_and_any_odd_subframe_on_every_model(only, model):
    assert sorted(simulator.models()) == ["asi120mm_mini", "asi294mm_pro_gps", "asi462mc", "asi585mc"]
    only(model)
    with Camera(0) as cam:
        d = cam.description
        for b in d.bins:
            for x, y, w, h in [(0, 0, d.max_width // b, d.max_height // b), (1, 3, 5, 3)]:
                plan = cam.set_subframe(x, y, w, h, b, "RAW16")
                frame = cam.capture_subframe(plan, exposure=0.001)
                assert (frame.data.shape, frame.meta.roi) == ((h, w), Roi(x, y, w, h, b, "RAW16"))
                assert not np.any(frame.data & ((1 << (16 - d.bit_depth)) - 1))   # still left-aligned
                if d.is_color:   # an RGGB sensor read from an odd column and row starts with blue
                    assert frame.meta.bayer_pattern == ("RGGB" if x == 0 else "BGGR")


# --- electrons per ADU ---------------------------------------------------------------

@pytest.mark.parametrize("gain, image_format, bin, expected", [
    (0, "RAW16", 1, 3.92 / 4), (0, "RAW8", 1, 3.92 * 64), (200, "RAW16", 1, 0.392 / 4),
    (570, "RAW8", 1, 3.92 * 64 / 10**2.85), (None, "Y8", 1, 3.92 * 64), (200, "RAW16", 3, 0.392 / 4 * 9),
])
def test_electrons_per_adu_follows_gain_word_and_bin(gain, image_format, bin, expected):
    assert electrons_per_adu(3.92, 14, gain, image_format, bin) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("model, sensor", [
    ("ZWO ASI294MM Pro GPS Simulator", "IMX492"), ("ZWO ASI462MC Simulator", "IMX462"),
    ("ZWO ASI120MM Mini Simulator", "AR0130CS"), ("ZWO ASI585MC Simulator", "IMX585"), ("ZWO ASI1600MM", None)])
def test_sensor_names_of_known_models(model, sensor):
    assert sensor_name(model) == sensor


@pytest.mark.parametrize("image_format", ["RAW8", "RAW16"])
def test_fits_egain_is_the_factor_of_the_file(tmp_path, cam1, image_format):
    cam1.gain = 300
    cam1.set_roi(64, 32, image_format=image_format)
    cam1.capture(exposure=0.001).to_fits(tmp_path / "f.fits")
    assert afits.getheader(tmp_path / "f.fits")["EGAIN"] == pytest.approx(cam1.electrons_per_adu, rel=1e-6)
    assert cam1.electrons_per_adu == pytest.approx(3.92 / 10**1.5 * (64 if image_format == "RAW8" else 0.25))


def _flat_stats(a, b):
    """Mean and half the variance of the difference of a frame pair, over pixels whose
    sum is near the median (the stars left out; the selection does not bias the difference)."""
    a, b = a.astype(np.float64), b.astype(np.float64)
    total = a + b
    spread = 1.4826 * np.median(np.abs(total - np.median(total)))
    keep = np.abs(total - np.median(total)) < 4 * spread
    return total[keep].mean() / 2, np.var((a - b)[keep]) / 2


# Gains high enough that the sky of a 1 s exposure (3 e-) spans several ADC steps.
@pytest.mark.parametrize("image_format, gain, bin", [
    ("RAW16", 250, 1), ("RAW16", 400, 1), ("RAW16", 570, 1), ("RAW8", 430, 1), ("RAW8", 500, 1), ("RAW8", 570, 1),
    ("RAW16", 570, 2),
])
def test_photon_transfer_agrees_with_the_reported_electrons_per_adu(cam1, image_format, gain, bin):
    cam1.offset = 250   # bias well clear of zero, so no sample clips
    cam1.gain = gain
    cam1.set_roi(1024 // bin, 1024 // bin, bin=bin, image_format=image_format, x=0, y=0)
    flat = _flat_stats(*(cam1.capture(exposure=1.0).data for _ in range(2)))
    bias = _flat_stats(*(cam1.capture(exposure=32e-6, dark=True).data for _ in range(2)))
    measured = (flat[0] - bias[0]) / (flat[1] - bias[1])
    assert measured == pytest.approx(cam1.electrons_per_adu, rel=0.10)
