"""A focus run on a simulated camera: the focuser is the simulator's defocus, a pretend
focuser whose best position is somewhere the script does not know; the run racks it
through its travel, measures the stars at each step, fits the V and reports where focus is.

    python examples/focus_sweep.py [camera] [exposure] [gain]

With a real focuser, replace `move` by what drives it (an INDI or Alpaca client, a serial
command): the sweep only needs to be able to move and to measure.
"""
import random
import sys

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.observing import focus

camera_index = int(sys.argv[1]) if len(sys.argv) > 1 else 1
exposure = float(sys.argv[2]) if len(sys.argv) > 2 else 0.5
gain = int(sys.argv[3]) if len(sys.argv) > 3 else 100

STEPS_PER_PIXEL = 10            # the pretend focuser: 10 steps widen the stars by 1 px FWHM
true_focus = random.uniform(4200, 4300)


def move(position):
    simulator.set_defocus(camera_index, min(100.0, abs(position - true_focus) / STEPS_PER_PIXEL))


def show(point):
    hfr = "-" if point.hfr is None else f"{point.hfr:6.2f}"
    fwhm = "-" if point.fwhm is None else f"{point.fwhm:6.2f}"
    print(f"  position {point.position:7.0f}   HFR {hfr} px   FWHM {fwhm} px   {point.stars} stars")


with Camera(camera_index) as camera:
    camera.gain = gain
    print(f"{camera.description.name}: {exposure} s at gain {gain}, a focus run from 4000 to 4500")
    run = focus.sweep(move, lambda: focus.of_frame(camera.capture(exposure)), range(4000, 4501, 50), show)
    curve = run.curve
    print(f"best focus at {curve.best:.1f} (HFR {curve.hfr:.2f} px there, {curve.slope * 100:.2f} px per 100 steps)")
    print(f"the pretend focuser's true focus: {true_focus:.1f}, "
          f"{abs(curve.best - true_focus) / STEPS_PER_PIXEL:.2f} px of defocus away")
    move(curve.best)
    print(f"moved there: HFR {focus.of_frame(camera.capture(exposure)).hfr:.2f} px")
