"""Live stacking: per-frame work at full frame, and what sixteen frames of a drifting,
turning field give.

1. Per-frame work of Stacker.add (calibration, star search, matching, resampling, the
   running sum) on full-frame RAW16 frames of camera 1 (4144x2822), median and spread of
   ROUNDS frames; the goal is under the exposure time of 1 s frames.
2. Camera 1, 1 s frames, gain 200, bin 2, drift (1.5, -1.0) px/s and rotation 0.05 deg/s:
   after 16 frames, the background noise of one frame over the stack's (goal at least
   0.8 x 4), the FWHM of the stack over one frame's in the centre and the corners (goals at
   most 1.15 and 1.2), stars found, and the registration error: the largest distance, at
   the frame's corners, between our transform and the simulator's own field transforms.
Run with `make bench`; never asserted.
"""
import math
import statistics
import sys
import time
from pathlib import Path

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.observing.stacking import Stacker

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "observing"))
from test_stacking import sixteen_frames, star_figures  # noqa: E402  (the test's own run and measures)

ROUNDS = 8


def per_frame() -> None:
    simulator.set_drift(1, 1.5, -1.0)
    simulator.set_rotation(1, 0.05)
    with Camera(1) as cam:
        cam.gain, cam.exposure = 200, 1.0
        cam.set_roi(bin=1, image_format="RAW16")
        frames = [cam.capture().data.copy() for _ in range(ROUNDS + 1)]
    stacker = Stacker()
    stacker.add(frames[0], 1.0)
    times = []
    for data in frames[1:]:
        began = time.perf_counter()
        outcome = stacker.add(data, 1.0)
        times.append(time.perf_counter() - began)
        assert outcome.accepted, outcome
    print(f"per-frame work, full frame {frames[0].shape[1]}x{frames[0].shape[0]} RAW16: "
          f"median {statistics.median(times) * 1000:.0f} ms (spread {min(times) * 1000:.0f} to "
          f"{max(times) * 1000:.0f} ms over {ROUNDS} frames)")


def sixteen() -> None:
    simulator.reset()
    stacker, single, errors = sixteen_frames()[:3]
    f1, s1, n1 = star_figures(single)
    f16, s16, n16 = star_figures(stacker.image)
    c1, _, _ = star_figures(single, corners=True)
    c16, _, _ = star_figures(stacker.image, corners=True)
    print(f"16 frames: noise ratio {n1 / n16:.2f} (goal >= {0.8 * math.sqrt(16):.1f}); FWHM centre "
          f"{f1:.2f} -> {f16:.2f} px ({f16 / f1:.3f}x), corners {c1:.2f} -> {c16:.2f} px ({c16 / c1:.3f}x); "
          f"stars {s1} -> {s16}; registration error at the corners: median {statistics.median(errors):.3f} px, "
          f"largest {max(errors):.3f} px; final rotation {math.degrees(stacker.last.transform.angle):.3f} deg")


if __name__ == "__main__":
    per_frame()
    sixteen()
