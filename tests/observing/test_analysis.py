"""The camera analysis against the simulator's own sensor model."""
import io
import json
import math
import re
import os
import sys
import subprocess

import pytest
from PIL import Image
from rich.console import Console

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.cli.analyze import _table
from vorrant.orlicam.cli.main import main
from vorrant.orlicam.observing.analysis import analyze

PANEL = 500_000   # electrons per second per pixel
ORLICAM = os.path.join(os.path.dirname(sys.executable), "orlicam")


def truth(camera, gain, offset):
    """The simulator's figures, the full well as the analysis defines it: the pixel's well
    or the ADC's top above the bias, whichever comes first."""
    t = simulator.sensor_truth(camera, gain)
    adc_top = (65535 - 16 * offset) * t["electrons_per_adu"]
    full = min(t["full_well_e"], adc_top)
    return t["electrons_per_adu"], t["read_noise_e"], full, math.log2(full / t["read_noise_e"]), t["dark_current_e_per_s"]


@pytest.mark.parametrize("camera, sites", [
    (0, [("R", "even rows, even columns"), ("Gr", "even rows, odd columns"), ("Gb", "odd rows, even columns"),
         ("B", "odd rows, odd columns")]),
    (1, []),
])
def test_measures_what_the_sensor_is(camera, sites):
    simulator.set_light_panel(camera, PANEL)
    with Camera(camera) as cam:
        result = analyze(cam, [200, 0])
    assert [r.gain for r in result.gains] == [0, 200]
    for row in result.gains:
        k, rn, fw, dr, dark = truth(camera, row.gain, row.measured_offset)
        measured = [row] + list(row.sites)
        assert [(s.site, s.position.removesuffix(" of the sensor")) for s in row.sites] == sites
        for m in measured:
            assert m.electrons_per_adu == pytest.approx(k, rel=0.05)
            assert m.read_noise_e == pytest.approx(rn, rel=0.10)
            assert m.full_well_e == pytest.approx(fw, rel=0.10)
            assert m.dynamic_range_stops == pytest.approx(dr, abs=0.3)
        # The offset advised holds the bias five read-noise sigmas (in 16 ADU steps) above zero.
        assert row.offset == math.ceil(5 * rn / k / 16)
    assert result.dark_current_e_per_s == pytest.approx(dark, rel=0.15)
    assert result.temperature == pytest.approx(simulator.sensor_temperature(camera), abs=0.5)
    # The table and the summary give the deep-sky gain's stops alike.
    deep = result.deep_sky()
    table = Console(width=200, file=io.StringIO())
    table.print(_table(result))
    row = next(line for line in table.file.getvalue().splitlines() if line.startswith(f"│ {deep.gain} "))
    stops = re.search(rf"gain {deep.gain}: ([0-9.]+) stops", result.summary()).group(1)
    assert f" {stops} stops " in row, (row, stops)


@pytest.mark.parametrize("panel, flicker, message", [
    (0, 0, "no light: frames of 2 s at gain 0 are no brighter than frames of 1 s"),
    (0, 0, "no light: .*; the simulator's panel is switched on by ORLICAM_SIM_LIGHT_PANEL=500000 in the environment "
           r"\(ORLICAM_SIM_LIGHT_PANEL=500000 orlicam analyze 1 \.\.\.\), or from Python by "
           r"simulator.set_light_panel\(1, 500000\)$"),
    (PANEL, 0.05, "the light flickers: the level changes by "),
])
def test_a_light_that_will_not_do_stops_it_at_once_with_one_line(capsys, log, panel, flicker, message):
    simulator.set_light_panel(1, panel, flicker=flicker)
    with pytest.raises(SystemExit) as ended:
        main(["analyze", "1", "--gains", "0,200"])
    assert ended.value.code == 1
    err = capsys.readouterr().err
    # Progress lines, then the error: one line that ends the output.
    assert "Traceback" not in err and err.count("orlicam: error: ") == 1, err
    assert re.match("orlicam: error: " + message, err.splitlines()[-1]), err
    # Stopped while checking the light: a handful of exposures, no dark frame yet.
    exposures = [args for name, args in simulator.calls() if name == "ASIStartExposure"]
    assert 0 < len(exposures) <= 20 and not any(args[1] for args in exposures)


def test_json_and_report_folder(tmp_path):
    env = {**os.environ, "ORLICAM_SIM_LIGHT_PANEL": str(PANEL)}
    done = subprocess.run([ORLICAM, "analyze", "0", "--gains", "0,100", "--dark-exposure", "1s", "--json",
                           "-o", tmp_path / "report"], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    shown = json.loads(done.stdout)
    assert {"camera": shown["camera"], "gains": [sorted(r) for r in shown["gains"]]} == {
        "camera": "ZWO ASI462MC Simulator",
        "gains": [sorted(["gain", "electrons_per_adu", "read_noise_e", "full_well_e", "dynamic_range_stops", "offset",
                          "measured_offset", "bias_adu", "offset_step_adu", "bias_clipped", "sites",
                          "photon_transfer"])] * 2}
    assert [r["gain"] for r in shown["gains"]] == [0, 100]
    assert isinstance(shown["temperature"], float) and shown["dark_current_e_per_s"] > 0
    assert [s["site"] for s in shown["gains"][0]["sites"]] == ["R", "Gr", "Gb", "B"]
    report = tmp_path / "report"
    assert json.loads((report / "analysis.json").read_text()) == shown
    assert "Unity gain (1 e- per step of the sensor's ADC): gain " in (report / "summary.txt").read_text()
    for name in ("photon-transfer.png", "gain.png"):
        with Image.open(report / name) as png:
            assert (png.format, png.size) == ("PNG", (800, 550))
    # A second run into the same folder replaces nothing and measures nothing.
    again = subprocess.run([ORLICAM, "analyze", "0", "-o", report], capture_output=True, text=True, timeout=60, env=env)
    assert again.returncode == 1 and "analysis.json" in again.stderr and "exists" in again.stderr


@pytest.mark.parametrize("options, message", [
    (["--temperatures", "-100"], "set point -100 °C is outside ZWO ASI294MM Pro GPS Simulator's range -40 to 30 °C"),
    (["--dark-exposure", "1000h"], "the dark exposure of 3.6e+06 s is too long: the long dark (1 s more) would pass "
                                   "ZWO ASI294MM Pro GPS Simulator's longest exposure, 2000 s"),
    # The cooler gives up after the gains and the dark current were measured: they are written.
    (["--temperatures", "-10"], "the sensor stayed at 20 °C, not -10 °C, after 30 min"),
])
def test_options_are_refused_before_the_first_frame_and_figures_outlive_a_late_failure(
        tmp_path, capsys, log, monkeypatch, options, message):
    def no_cold(self, target, timeout, progress=None):
        raise TimeoutError(f"the sensor stayed at 20 °C, not {target:g} °C, after 30 min")

    monkeypatch.setattr(Camera, "cool_to", no_cold)
    simulator.set_light_panel(1, PANEL)
    with pytest.raises(SystemExit) as ended:
        main(["analyze", "1", "--gains", "0,200", "--dark-exposure", "1s", *options, "-o", str(tmp_path / "r")])
    err = capsys.readouterr().err
    assert ended.value.code == 1 and err.splitlines()[-1] == "orlicam: error: " + message, err
    exposures = [name for name, _ in simulator.calls() if name == "ASIStartExposure"]
    if "-10" not in options:
        assert exposures == [] and not (tmp_path / "r").exists()
        return
    report = json.loads((tmp_path / "r" / "analysis.json").read_text())
    assert [r["gain"] for r in report["gains"]] == [0, 200] and isinstance(report["dark_current_e_per_s"], float)
    assert report["dark_current"] == [] and report["stopped"] == message
