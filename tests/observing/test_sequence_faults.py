"""A night on a camera that misbehaves as real ones do: the plan still ends with every frame."""
import json
import subprocess
import sys
from collections import Counter
from pathlib import Path

from astropy.io import fits

ORLICAM = Path(sys.executable).with_name("orlicam")
PLAN = """\
[target]
object = "M 42"

[camera]
camera = "294"
cool_to = -10
settle = "1s"

[[frames]]
type = "light"
count = 20
exposure = "0.1s"
bin = 4
"""
# Camera 1 is the 294: two unplugs (5 s, 40 s), three failed exposures, one hung until
# stopped, one frame with a band of rows zeroed; the first three exposures time the frames.
FAULTS = ("unplug camera=1 after=6 for=5; unplug camera=1 after=15 for=40; fail camera=1 exposure=5,11,19; "
          "hang camera=1 exposure=9; glitch camera=1 exposure=13 kind=zero")


def test_a_night_with_seven_faults_ends_with_every_light_and_names_each_fault(tmp_path, monkeypatch):
    (tmp_path / "night.toml").write_text(PLAN)
    env = {**__import__("os").environ, "ORLICAM_SIM_FAULTS": FAULTS, "ORLICAM_SIM_TIME_SCALE": "1000"}
    run = subprocess.run([ORLICAM, "sequence", "night.toml", "-o", "out"], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    lights = sorted((tmp_path / "out").glob("Light_*.fits"))
    assert len(lights) == 20
    for path in lights:   # cooled again after each return, never a glitched frame kept
        with fits.open(path) as hdus:
            assert abs(hdus[0].header["CCD-TEMP"] + 10) <= 1, path.name
            assert hdus[0].data.reshape(hdus[0].data.shape[0], -1).any(axis=1).all(), path.name
    records = [json.loads(line) for line in (tmp_path / "out" / "orlicam-sequence-night.jsonl").read_text().splitlines()]
    events = Counter(r["event"] for r in records if "event" in r)
    assert events == {"camera-lost": 2, "camera-back": 2, "exposure-failed": 3, "exposure-hung": 1, "glitch": 1}
    assert "faults this night: 7" in run.stdout, run.stdout


def test_a_camera_that_stays_away_stops_the_night_resumably_with_its_cause(tmp_path):
    (tmp_path / "night.toml").write_text(PLAN.replace("count = 20", "count = 4"))
    argv = [ORLICAM, "sequence", "night.toml", "-o", "out", "--wait-for-camera", "2s"]
    env = {**__import__("os").environ, "ORLICAM_SIM_TIME_SCALE": "1000"}
    run = subprocess.run(argv, cwd=tmp_path, env={**env, "ORLICAM_SIM_FAULTS": "unplug camera=1 after=5 for=600"},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    assert run.stderr.splitlines()[-1] == (
        "orlicam: error: CameraLost: ZWO ASI294MM Pro GPS Simulator was lost at frame 2 of 4 (light) and is not back "
        "after 2 s; the night stopped: plug it in again and run the same command with --resume")
    records = [json.loads(line) for line in (tmp_path / "out" / "orlicam-sequence-night.jsonl").read_text().splitlines()]
    assert [r["event"] for r in records if "event" in r] == ["camera-lost", "gave-up"]
    again = subprocess.run([*argv, "--resume"], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert again.returncode == 0, again.stdout + again.stderr
    assert len(list((tmp_path / "out").glob("Light_*.fits"))) == 4
