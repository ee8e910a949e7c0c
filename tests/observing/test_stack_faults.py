"""`orlicam stack` on a camera that misbehaves: glitched frames rejected and counted, a
camera that drops off the bus waited for, and the stack finished when it is back."""
import os
import subprocess
import sys
from pathlib import Path

from astropy.io import fits

ORLICAM = str(Path(sys.executable).with_name("orlicam"))


def test_stack_rejects_glitched_frames_and_goes_on_after_a_replug(tmp_path):
    out = tmp_path / "stack.fits"
    env = {**os.environ, "ORLICAM_SIM_FAULTS": "glitch camera=1 frame=3 kind=zero; unplug camera=1 at=1.5 for=2"}
    result = subprocess.run([ORLICAM, "stack", "1", "-e", "0.3", "-b", "2", "--frames", "8", "-o", str(out)],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert "was lost" in result.stdout and "is back" in result.stdout
    assert "8 frames stacked" in result.stdout and "(1 glitched)" in result.stdout
    assert fits.getheader(out)["NCOMBINE"] == 8
