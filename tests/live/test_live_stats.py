"""Focus and level figures of the live view, on frames with known stars."""
import time
from concurrent.futures import ThreadPoolExecutor

import httpx
import numpy as np
import pytest

from vorrant.orlicam import simulator
from vorrant.orlicam.alpaca import Server
from vorrant.orlicam.live import stats
from vorrant.orlicam.observing import focus as observing_focus

HFR_PER_SIGMA = np.sqrt(2 * np.log(2))    # the radius holding half a 2-D Gaussian's light
FWHM_PER_SIGMA = 2 * np.sqrt(2 * np.log(2))


def star_field(sigma, shape=(500, 700), stars=30, peak_flux=2e5, seed=1, sky=1000.0, noise=10.0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:shape[0], 0:shape[1]]
    image = np.full(shape, float(sky))
    for _ in range(stars):
        x, y = rng.uniform(40, shape[1] - 40), rng.uniform(40, shape[0] - 40)
        flux = rng.uniform(0.1, 1.0) * peak_flux
        image += flux / (2 * np.pi * sigma**2) * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / (2 * sigma**2))
    image += rng.normal(0, noise, shape)
    return np.clip(image, 0, 65535).astype(np.uint16)


@pytest.mark.parametrize("sigma", [1.2, 2.0, 3.5])
def test_gaussian_stars_measure_their_hfr_and_fwhm(sigma):
    found = stats.focus(star_field(sigma), white=65535)
    assert found.stars == 30 and found.saturated_stars == 0
    assert found.hfr == pytest.approx(HFR_PER_SIGMA * sigma, rel=0.1)
    assert found.fwhm == pytest.approx(FWHM_PER_SIGMA * sigma, rel=0.1)


def shaped_field(shape, sizes, flux, rows=3, cols=4, hot=30, seed=3):
    """rows x cols stars of one `shape` on a grid, 4x supersampled, plus `hot` single hot pixels."""
    rng = np.random.default_rng(seed)
    image = rng.normal(1000, 10, (600, 800))
    fine = np.mgrid[0:200 * 4, 0:200 * 4] / 4 + 0.125 - 100     # a 200-pixel cell around each star
    for j in range(rows):
        for i in range(cols):
            r = np.hypot(*(fine - rng.uniform(-5, 5, (2, 1, 1))))
            star = np.exp(-r**2 / (2 * sizes[0] ** 2)) if shape == "gaussian" else (r >= sizes[0]) & (r <= sizes[1])
            image[200 * j:200 * j + 200, 200 * i:200 * i + 200] += (flux * star / star.sum()).reshape(200, 4, 200, 4).sum(axis=(1, 3))
    image.flat[rng.integers(0, image.size, hot)] += 8000
    return np.clip(image, 0, 65535).astype(np.uint16)


@pytest.mark.parametrize("shape, sizes, flux, true_hfr", [
    ("gaussian", (1.5,), 2e4, 1.5 * HFR_PER_SIGMA),
    ("gaussian", (7.0,), 4e4, 7.0 * HFR_PER_SIGMA),        # wide and faint: 26 counts at the peak
    ("donut", (4.0, 9.0), 4e4, np.sqrt((4**2 + 9**2) / 2)),
    ("donut", (12.0, 25.0), 1e5, np.sqrt((12**2 + 25**2) / 2)),   # 3 noise sigmas per pixel
])
def test_sharp_wide_and_donut_stars_are_each_one_star_of_their_half_flux_radius(shape, sizes, flux, true_hfr):
    found = stats.focus(shaped_field(shape, sizes, flux), white=65535)
    assert (found.stars, found.measured) == (12, 12)      # no fragments, no hot pixels
    assert found.hfr == pytest.approx(true_hfr, rel=0.1)
    if shape == "gaussian":
        assert found.fwhm == pytest.approx(FWHM_PER_SIGMA * sizes[0], rel=0.1)


def test_too_few_stars_give_no_figures_but_the_reason():
    found = stats.focus(shaped_field("gaussian", (1.5,), 2e4, rows=1, cols=2), white=65535)
    assert (found.stars, found.hfr, found.fwhm) == (2, None, None)
    assert found.reason == "2 star(s) measurable, 3 needed: lengthen the exposure, raise the gain or bin"


@pytest.mark.parametrize("frame", [np.full((300, 400), 1000, np.uint16),
                                   np.random.default_rng(2).normal(1000, 10, (300, 400)).astype(np.uint16)],
                         ids=["flat", "noise"])
def test_a_frame_without_stars_has_no_focus_figures(frame):
    assert stats.focus(frame, white=65535) is None


def test_a_star_at_the_white_level_counts_as_saturated_and_not_in_the_fwhm():
    frame = star_field(1.5, stars=20)
    burnt = star_field(4.0, stars=1, peak_flux=5e7, seed=9, sky=0, noise=0)
    found = stats.focus(np.maximum(frame, burnt), white=65535)
    assert found.saturated_stars == 1
    assert found.fwhm == pytest.approx(FWHM_PER_SIGMA * 1.5, rel=0.1)


def test_big_frames_are_measured_binned_in_frame_pixels():
    small = stats.focus(star_field(3.0), white=65535)
    big = stats.focus(np.kron(star_field(3.0), np.ones((3, 3), np.uint16)), white=65535)   # 1500 x 2100
    assert big.hfr == pytest.approx(3 * small.hfr, rel=0.1)


@pytest.mark.parametrize("dtype, values, bins", [
    (np.uint8, [0, 1, 255, 255, 128], {0: 1, 1: 1, 255: 2, 128: 1}),
    (np.uint16, [0, 255, 256, 65535, 32768], {0: 2, 1: 1, 255: 1, 128: 1}),
])
def test_histogram_has_256_bins_over_the_format_range(dtype, values, bins):
    counts = stats.histogram(np.array([values], dtype))
    assert len(counts) == 256 and counts.sum() == len(values)
    assert {i: int(c) for i, c in enumerate(counts) if c} == bins


def test_levels_count_the_samples_at_the_white_level():
    data = np.array([[10, 20, 4095 << 4], [30, 4095 << 4, 40]], np.uint16)
    figures = stats.levels(data, white=4095 << 4)
    assert figures.saturated == pytest.approx(2 / 6)
    assert figures.median == 35.0 and figures.mean == pytest.approx(data.mean())


def test_simulated_defocus_widens_the_stars(cam1):
    cam1.set_roi(1024, 1024, image_format="RAW16")
    measured = {}
    for fwhm in (0, 6):
        simulator.set_defocus(cam1.camera_id, fwhm)
        frame = cam1.capture(0.5)
        measured[fwhm] = stats.focus(frame.data, white=65535)
    # The optics' 2.7 px core, then 6 px added in quadrature: 6.6 px.
    assert measured[0].fwhm == pytest.approx(2.7, rel=0.15)
    assert measured[6].fwhm == pytest.approx(np.hypot(2.7, 6), rel=0.15)
    assert measured[6].hfr > 1.5 * measured[0].hfr


@pytest.mark.parametrize("value", [-1, 101, float("nan")])
def test_set_defocus_refuses_values_out_of_range(value):
    with pytest.raises(ValueError, match="defocus"):
        simulator.set_defocus(0, value)


TRUE_FOCUS = 0.4
POSITIONS = (-15, -5, 0, 8, 20)     # defocus 15.4, 5.4, 0.4, 7.6 and 19.6 px


def sweep_through_stats(server, camera, region, exposure, gain):
    """A focus run on the simulator's defocus, measured by /stats."""
    url = f"{server.url}/live/{camera}"
    httpx.put(f"{url}/settings", json={"exposure": exposure, "gain": gain, "roi": region}, timeout=30)
    since = [0]

    def move(position):
        simulator.set_defocus(camera, abs(position - TRUE_FOCUS))
        # Setting the exposure again starts a single exposure afresh; a stream's frames
        # exposed before may still come.
        httpx.put(f"{url}/settings", json={"exposure": exposure}, timeout=30)
        since[0] = server.live.feeds[camera].pump.index + (1 if exposure >= 1 else 3)

    def figures():
        deadline = time.monotonic() + 30
        while (f := httpx.get(f"{url}/stats", timeout=30).json())["focus_index"] < since[0]:
            assert time.monotonic() < deadline, "no fresh figures"
            time.sleep(0.05)
        assert f["hfr"] is not None, f["focus_reason"]
        return observing_focus.Focus(f["stars"], f["measured"], f["hfr"], f["fwhm"], f["saturated_stars"])

    return observing_focus.sweep(move, figures, POSITIONS)


def test_stats_follow_the_defocus_faint_and_deep_and_the_v_finds_the_focus(tmp_path):
    with Server(port=0, discovery=False, live_folder=tmp_path) as server, ThreadPoolExecutor(2) as pool:
        # Each camera racked by its own thread; a faint stream, then deeper single exposures.
        runs = {camera: pool.submit(lambda c, r: [(e, sweep_through_stats(server, c, r, e, g))
                                                  for e, g in ((0.3, 100), (1.0, 300))], camera, region)
                for camera, region in ((0, "full"), (1, [2048, 1408, 1000, 700]))}
        for camera, (exposure, run) in ((c, r) for c, future in runs.items() for r in future.result()):
            by_defocus = sorted((abs(p.position - TRUE_FOCUS), p.hfr, p.fwhm) for p in run.points)
            hfrs = [hfr for _, hfr, _ in by_defocus]
            sharp = by_defocus[0][2]
            assert hfrs == sorted(hfrs), (camera, exposure, by_defocus)                  # never falls
            assert all(0.4 < hfr / fwhm < 0.7 for _, hfr, fwhm in by_defocus), (camera, exposure, by_defocus)
            assert all(fwhm == pytest.approx(np.hypot(sharp, d), rel=0.25) for d, _, fwhm in by_defocus), \
                (camera, exposure, by_defocus)
            assert run.curve.best == pytest.approx(TRUE_FOCUS, abs=0.5), (camera, exposure, run.curve, by_defocus)
