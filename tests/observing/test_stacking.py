"""Live stacking on the simulator: an alt-az field that drifts and turns, clouds, Ctrl-C."""
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
from vorrant.orlicam.observing.stacking import Stacker

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
    assert max(errors) < 0.25                    # sub-pixel, corners included
    assert noise1 / noise16 >= 0.8 * math.sqrt(16)
    assert fwhm16 <= 1.15 * fwhm1 and corner16 <= 1.2 * corner1
    assert stars16 >= stars1
    assert stacker.frames == 16 and stacker.exposure == pytest.approx(16.0, rel=1e-3)


def test_ctrl_c_ends_the_stack_and_writes_it(tmp_path):
    out = tmp_path / "m31.fits"
    child = subprocess.Popen([ORLICAM, "stack", "1", "-e", "200ms", "-b", "2", "--duration", "10min", "-o", out, "--png"],
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
