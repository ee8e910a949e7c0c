"""Camera analysis benchmark, on the simulated cameras (one run, figures printed).

Three gains on each default camera (the 4144x2822 14-bit mono and the 1936x1096 12-bit
colour one) under a flat panel of 500,000 e-/s per pixel, with the default 10 s dark: the
wall time of each analysis (the goal: under five minutes for the mono camera), and the
measured figures next to the simulator's sensor model. The full well of the model is the
pixel's well or the ADC's top above the bias, whichever comes first.
"""
from __future__ import annotations

import math
import time

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.observing.analysis import analyze

PANEL = 500_000
GAINS = (0, 100, 200)
GOAL_S = 300.0


def main() -> None:
    simulator.configure()
    for camera in (1, 0):
        simulator.set_light_panel(camera, PANEL)
        began = time.monotonic()
        with Camera(camera) as cam:
            result = analyze(cam, GAINS)
        wall = time.monotonic() - began
        print(f"{result.camera}: {len(GAINS)} gains in {wall:.1f} s wall time"
              + (f" (goal: under {GOAL_S:.0f} s)" if camera == 1 else ""))
        print(f"{'gain':>5} {'e-/ADU':>17} {'read noise e-':>15} {'full well e-':>15} {'DR stops':>13} {'offset':>6}")
        for r in result.gains:
            t = simulator.sensor_truth(camera, r.gain)
            full = min(t["full_well_e"], (65535 - 16 * r.measured_offset) * t["electrons_per_adu"])
            dr = math.log2(full / t["read_noise_e"])
            print(f"{r.gain:>5} {r.electrons_per_adu:>8.4g} {t['electrons_per_adu']:>8.4g} "
                  f"{r.read_noise_e:>7.3g} {t['read_noise_e']:>7.3g} {r.full_well_e:>7.0f} {full:>7.0f} "
                  f"{r.dynamic_range_stops:>6.2f} {dr:>6.2f} {r.offset:>6}")
        truth = simulator.sensor_truth(camera, 0)["dark_current_e_per_s"]
        print(f"dark current {result.dark_current_e_per_s:.4f} e-/s (model {truth:.4f}) at {result.temperature:.1f} °C")
        print("(each pair: measured, model)\n")


if __name__ == "__main__":
    main()
