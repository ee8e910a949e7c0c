"""Live stacking: sub-pixel resampling, outliers left out, hot pixels out of the star lists,
masters checked, on the simulator an alt-az field that drifts and turns, clouds, no rings,
and Ctrl-C."""
import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import sep
from astropy.io import fits

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam._frames import lanczos_warp, robust_start, running_update
from vorrant.orlicam.observing.stacking import (START_FRAMES, Master, Shot, Stacker, Transform, find_stars,
                                                master_mismatch)

ORLICAM = os.path.join(os.path.dirname(sys.executable), "orlicam")


def star_figures(image, corners=False):
    """Median FWHM (from the second moments) of the well-detected stars, their number, and
    the background noise; `corners` keeps only stars in the outer fifth of both axes."""
    data = np.ascontiguousarray(np.nan_to_num(image), np.float32)
    background = sep.Background(data)
    found = sep.extract(data - background.back(), 10, err=background.globalrms, minarea=5)
    found = found[found["flag"] == 0]
    if corners:
        h, w = data.shape
        outer_x = (found["x"] < 0.2 * w) | (found["x"] > 0.8 * w)
        outer_y = (found["y"] < 0.2 * h) | (found["y"] > 0.8 * h)
        found = found[outer_x & outer_y]
    h, w = data.shape
    centre = np.ascontiguousarray(data[h // 4:3 * h // 4, w // 4:3 * w // 4])
    return float(np.median(2.3548 * np.sqrt(found["a"] * found["b"]))), len(found), sep.Background(centre).globalrms


def predicted(pose0, pose, points, binning, centre):
    """Where the simulator's own field transforms put frame points (binned) in the first frame."""
    out = []
    for u, v in points:
        x, y = u * binning + (binning - 1) / 2, v * binning + (binning - 1) / 2
        dx, dy, deg = pose
        a = -math.radians(deg)   # back to the field
        fx = centre[0] + math.cos(a) * (x - dx - centre[0]) - math.sin(a) * (y - dy - centre[1])
        fy = centre[1] + math.sin(a) * (x - dx - centre[0]) + math.cos(a) * (y - dy - centre[1])
        dx0, dy0, deg0 = pose0
        a0 = math.radians(deg0)
        x0 = centre[0] + math.cos(a0) * (fx - centre[0]) - math.sin(a0) * (fy - centre[1]) + dx0
        y0 = centre[1] + math.sin(a0) * (fx - centre[0]) + math.cos(a0) * (fy - centre[1]) + dy0
        out.append(((x0 - (binning - 1) / 2) / binning, (y0 - (binning - 1) / 2) / binning))
    return np.array(out)


def sixteen_frames(cloud_after=None):
    """Camera 1 at 1 s, gain 200, bin 2, its field drifting (1.5, -1.0) px/s and turning
    0.05 deg/s, stacked until 16 frames are in: the stacker, the first frame, the largest
    registration error of each frame at the corners against the simulator's own field
    transforms, and what became of a frame with the light cut after `cloud_after` frames."""
    simulator.set_drift(1, 1.5, -1.0)
    simulator.set_rotation(1, 0.05)
    stacker, errors, cut = Stacker(), [], None
    with Camera(1) as cam:
        cam.gain, cam.exposure = 200, 1.0
        cam.set_roi(bin=2, image_format="RAW16")
        h, w = cam.roi.height, cam.roi.width
        corners = [(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)]
        centre = ((cam.description.max_width - 1) / 2, (cam.description.max_height - 1) / 2)
        while stacker.frames < 16:
            frame = cam.capture()
            pose = simulator.field_transform(1, last_frame=True)
            outcome = stacker.add(frame.data, frame.meta.exposure, frame.meta)
            assert outcome.accepted, outcome
            if outcome.reason == "reference":
                single, pose0 = frame.data.astype(np.float32), pose
            else:
                ours = outcome.transform.apply(np.array(corners, float))
                errors.append(float(np.max(np.hypot(*(ours - predicted(pose0, pose, corners, 2, centre)).T))))
            if stacker.frames == cloud_after:   # a cloud: the light cut for one frame
                simulator.set_transparency(1, 0.0)
                cut = stacker.add(cam.capture().data)
                simulator.set_transparency(1, 1.0)
    return stacker, single, errors, cut


def test_sixteen_drifting_turning_frames_stack_deeper_and_as_sharp_clouds_rejected():
    stacker, single, errors, cut = sixteen_frames(cloud_after=8)
    assert not cut.accepted and stacker.rejected == 1
    fwhm1, stars1, noise1 = star_figures(single)
    fwhm16, stars16, noise16 = star_figures(stacker.image)
    corner1, _, _ = star_figures(single, corners=True)
    corner16, _, _ = star_figures(stacker.image, corners=True)
    assert max(errors) < 0.05                    # sub-pixel, corners included: no hot pixel pulls the fit
    assert noise1 / noise16 >= 0.8 * math.sqrt(16)
    assert fwhm16 <= 1.15 * fwhm1 and corner16 <= 1.2 * corner1
    assert stars16 >= stars1
    assert stacker.frames == 16 and stacker.exposure == pytest.approx(16.0, rel=1e-3)


def test_without_frames_or_duration_the_stack_runs_until_ctrl_c_and_is_written(tmp_path):
    out = tmp_path / "m31.fits"
    child = subprocess.Popen([ORLICAM, "stack", "1", "-e", "200ms", "-b", "2", "-o", out, "--png"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line, deadline = "", time.monotonic() + 60
        while "3 stacked" not in line and time.monotonic() < deadline:
            line = child.stdout.readline()
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 130, stderr
    with fits.open(out) as hdus:
        header, data = hdus[0].header, hdus[0].data
    assert header["BITPIX"] == -32 and data.shape == (1410, 2072)
    assert header["NCOMBINE"] >= 3 and header["EXPTIME"] == pytest.approx(0.2 * header["NCOMBINE"])
    assert header["INSTRUME"] == "ZWO ASI294MM Pro GPS Simulator" and header["XBINNING"] == 2
    assert f"{out}: {header['NCOMBINE']} frames stacked" in stdout
    assert out.with_suffix(".png").stat().st_size > 0


SHAPE = (240, 320)
FIELD = np.random.default_rng(5).uniform((10, 10, 300), (310, 230, 5000), (70, 3))   # x, y, flux


def field(transform=Transform(), noise=2.0, seed=0):
    """A synthetic field of round stars (sigma 1 px) on a level of 100, as seen by a frame
    that `transform` takes onto the reference; without noise, exactly."""
    c, s = math.cos(transform.angle), math.sin(transform.angle)
    rx, ry = FIELD[:, 0] - transform.dx, FIELD[:, 1] - transform.dy
    yy, xx = np.mgrid[0:SHAPE[0], 0:SHAPE[1]]
    image = np.full(SHAPE, 100.0)
    for x, y, flux in zip(c * rx + s * ry, c * ry - s * rx, FIELD[:, 2]):
        image += flux / (2 * math.pi) * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / 2)
    return (image + np.random.default_rng(seed).normal(0, noise, SHAPE) * (noise > 0)).astype(np.float32)


@pytest.mark.parametrize("transform", [Transform(0.0, 0.5, 0.5), Transform(math.radians(0.4), 7.3, -4.6)])
def test_a_shifted_field_is_stacked_back_onto_the_first(transform):
    stacker = Stacker(kappa=None)
    stacker.add(field(seed=1))
    outcome = stacker.add(field(transform, seed=2))
    centre = np.array([[160.0, 120.0]])
    assert outcome.transform.apply(centre) == pytest.approx(transform.apply(centre), abs=0.03)
    # Within 1.5% of the brightest peak (888) where nearest pixels were 30% off.
    assert np.max(np.abs(stacker.image - field(noise=0))[12:-12, 12:-12]) < 13


def test_a_hot_pixel_and_satellites_are_left_out_of_the_stack():
    hot, stacker = (150, 100), Stacker()
    for k in range(START_FRAMES + 3):
        frame = field(Transform(0.0, 3.3 * k, -2.1 * k), seed=10 + k)
        frame[hot[1], hot[0]] += 3000                 # the same sensor pixel in every frame
        if k in (2, START_FRAMES + 1):                # a satellite among the first frames and after them
            columns = np.arange(SHAPE[1])
            frame[(40 + k + 0.4 * columns).astype(int), columns] += 400
        stacker.add(frame)
    assert stacker.frames == START_FRAMES + 3 and stacker.outliers > 0
    # Without rejection the trail and the lines stand 50 to 375 above; star peaks are
    # resampled to within 10 of their height (888 at most).
    assert np.max(np.abs(stacker.image - field(noise=0))[12:-12, 12:-12]) < 12


def test_hot_pixels_are_not_taken_for_stars():
    frame = field(seed=3)
    hot = [(37, 51), (200, 33), (290, 200)]
    for x, y in hot:
        frame[y, x] += 2000
    stars = find_stars(frame)
    distance = np.hypot(stars[:, None, 0] - np.array(hot)[None, :, 0], stars[:, None, 1] - np.array(hot)[None, :, 1])
    assert distance.min() > 3 and len(stars) >= 60


DARK = Master("dark.fits", np.zeros((1410, 2072), np.float32),
              {"EXPTIME": 1.0, "GAIN": 200, "OFFSET": 8, "XBINNING": 2, "CCD-TEMP": -10.0})
SHOT = Shot(2072, 1410, 2, 1.0, 200, 8, -10.4)


@pytest.mark.parametrize("kind, change, why", [
    ("dark", {"EXPTIME": 4.0}, "exposure 4 s, the frames 1 s"),
    ("dark", {"GAIN": 120}, "gain 120, the frames 200"),
    ("dark", {"OFFSET": 20}, "offset 20, the frames 8"),
    ("dark", {"CCD-TEMP": 0.0}, "temperature 0 C, the sensor -10.4 C"),
    ("dark", {"XBINNING": 1}, "binning 1, the frames 2"),
    ("flat", {"EXPTIME": 4.0, "GAIN": 120, "CCD-TEMP": 0.0}, None),   # a flat is normalised
])
def test_masters_are_checked_against_the_camera_settings(kind, change, why):
    found = master_mismatch(kind, Master("dark.fits", DARK.data, {**DARK.header, **change}), SHOT)
    if why is None:
        assert found is None
    else:
        rule = ("size, binning, exposure, gain, offset and temperature (within 1 C)" if kind == "dark"
                else "size and binning")
        assert found == f"the master {kind} dark.fits does not match the frames: {why} (a {kind} must match their {rule})"
    assert master_mismatch("flat", Master("f.fits", np.zeros((2822, 4144), np.float32), {}), SHOT) == (
        "the master flat f.fits does not match the frames: it is 4144x2822, the frames 2072x1410 (a flat must match "
        "their size and binning)")


def test_a_mismatched_dark_is_refused_before_the_first_exposure_or_forced_and_noted(tmp_path):
    dark = tmp_path / "dark_4s.fits"
    fits.PrimaryHDU(np.zeros((1410, 2072), np.float32),
                    fits.Header({"EXPTIME": 4.0, "GAIN": 120, "XBINNING": 2, "CCD-TEMP": -10.0})).writeto(dark)
    args = [ORLICAM, "stack", "1", "-e", "200ms", "-g", "200", "-b", "2", "--frames", "2", "--dark", dark]
    refused = subprocess.run([*args, "-o", tmp_path / "refused.fits"], capture_output=True, text=True, timeout=120)
    assert refused.returncode == 1 and not (tmp_path / "refused.fits").exists()
    assert refused.stderr == ("orlicam: error: the master dark dark_4s.fits does not match the frames: exposure 4 s, the "
                              "frames 0.2 s (a dark must match their size, binning, exposure, gain, offset and "
                              "temperature (within 1 C)); give --force to use it anyway\n")
    forced = subprocess.run([*args, "--force", "-o", tmp_path / "forced.fits"], capture_output=True, text=True,
                            timeout=120)
    assert forced.returncode == 0, forced.stderr
    with fits.open(tmp_path / "forced.fits") as hdus:
        history = "".join(str(line) for line in hdus[0].header["HISTORY"]).replace(" ", "")   # long lines wrap
    assert "(forced:themasterdarkdark_4s.fitsdoesnotmatchtheframes:exposure4s,theframes0.2s" in history


def test_a_stack_of_short_frames_shows_no_rings():
    """Radial profile of the stacked sky (vignetted: linear in the squared elliptical
    radius) against a straight line: the samples' rounding made steps of about 0.4."""
    stacker = Stacker()
    with Camera(1) as cam:
        cam.gain, cam.exposure = 120, 0.5
        cam.set_roi(bin=2, image_format="RAW16")
        with cam.stream() as video:
            for frame in video:
                stacker.add(frame.data, frame.meta.exposure, frame.meta)
                if stacker.frames == 24:
                    break
    image = stacker.image
    h, w = image.shape
    yy, xx = np.mgrid[0:h, 0:w]
    rho2 = ((xx - (w - 1) / 2) / (w / 2)) ** 2 + ((yy - (h - 1) / 2) / (h / 2)) ** 2
    edges = np.linspace(0, 1, 41)
    ring = np.digitize(rho2, edges)
    profile = []
    for k in range(1, len(edges)):
        values = image[(ring == k) & np.isfinite(image)]
        low, high = np.percentile(values, [5, 95])
        profile.append(values[(values >= low) & (values <= high)].mean())
    centres = (edges[1:] + edges[:-1]) / 2
    residual = np.array(profile) - np.polyval(np.polyfit(centres, profile, 1), centres)
    assert np.max(np.abs(residual)) < 0.1


F4 = np.zeros((4, 4), np.float32)


@pytest.mark.parametrize("call, message", [
    (lambda: lanczos_warp(F4.astype(np.float64), 1.0, 0.0, 0.0, 0.0, F4.copy()), r"lanczos_warp\(\): image must be float32"),
    (lambda: lanczos_warp(F4, 0.0, 1.0, 0.0, 0.0, F4.copy()), "the rotation under 60 degrees"),
    (lambda: lanczos_warp(F4, 1.0, 0.0, float("nan"), 0.0, F4.copy()), "the shift finite"),
    (lambda: running_update(F4, F4.copy(), F4.copy(), np.zeros(15, np.uint32), 3.0, 1.0), "the arrays differ in size"),
    (lambda: running_update(F4, F4.copy(), F4.copy(), F4.copy(), 3.0, 1.0), "count must be uint32"),
    (lambda: robust_start(np.zeros((17, 16), np.float32), F4.copy(), F4.copy(), np.zeros(16, np.uint32), 3.0, 1.0),
     "buffer must hold 1 to 16 frames"),
])
def test_the_stacking_kernels_refuse_arrays_they_cannot_use(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_a_frame_turned_by_the_mount_is_rejected_not_resampled():
    stacker = Stacker()
    stacker.add(field(seed=1))
    outcome = stacker.add(field(Transform(math.radians(90), 280.0, -40.0), seed=2))
    assert (outcome.accepted, outcome.reason, stacker.frames) == (False, "turned 90 degrees from the first frame", 1)
