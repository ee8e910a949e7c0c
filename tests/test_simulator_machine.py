"""One simulated camera per machine: one process at a time has a camera open, and the
cooler and the sensor's temperature carry over from one process to the next."""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from vorrant.orlicam import Camera, korvi, simulator

CT = korvi.ControlType
ORLICAM = str(Path(sys.executable).with_name("orlicam"))
HOLD = "import sys, time\nfrom vorrant.orlicam import korvi\nkorvi.open_camera(1)\nprint('open', flush=True)\ntime.sleep(60)"


def run(*argv, **env):
    return subprocess.run([ORLICAM, *map(str, argv)], capture_output=True, text=True, timeout=120,
                          env={**os.environ, **env})


def test_a_camera_open_here_is_refused_to_another_program_naming_this_one(tmp_path):
    with Camera(1):
        pid, program = simulator.holder(1)
        refused = run("snap", "1", "-o", tmp_path / "x.fits")
        other = run("snap", "0", "-e", "1ms", "-o", tmp_path / "y.fits")
    assert (pid, other.returncode) == (os.getpid(), 0)
    assert refused.returncode == 1
    assert f"camera 1 is in use by {program} (pid {pid})" in refused.stderr
    assert simulator.holder(1) is None


def test_a_camera_held_elsewhere_is_refused_until_its_holder_dies():
    child = subprocess.Popen([sys.executable, "-c", HOLD], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "open\n"
        with pytest.raises(korvi.ASICameraClosed) as refused:
            Camera(1).open()
        assert str(refused.value) == f"camera 1 is in use by python (pid {child.pid})"
        assert simulator.holder(1) == (child.pid, "python")
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    with Camera(1) as cam:   # the kernel let go of the dead holder's lock
        assert cam.is_open


def cooler(cam_id=1):
    return {c: korvi.get_control_value(cam_id, c)[0] for c in (CT.ASI_COOLER_ON, CT.ASI_TARGET_TEMP)}


def test_cooler_and_sensor_temperature_carry_over_between_programs():
    cooled = run("cool", "1", "--to", "-10", "--timeout", "1min", ORLICAM_SIM_TIME_SCALE="1000")
    assert cooled.returncode == 0, cooled.stderr
    korvi.open_camera(1)
    assert cooler() == {CT.ASI_COOLER_ON: 1, CT.ASI_TARGET_TEMP: -10}
    assert simulator.sensor_temperature(1) == pytest.approx(-10, abs=0.5)
    korvi.close_camera(1)
    warmed = run("warm", "294MM")   # the cooler off at once: the sensor drifts back from -10 C
    assert warmed.returncode == 0, warmed.stderr
    simulator.set_time_scale(100)
    time.sleep(0.1)
    korvi.open_camera(1)
    assert cooler()[CT.ASI_COOLER_ON] == 0
    assert -9 < simulator.sensor_temperature(1) < 19.9
    korvi.close_camera(1)
    simulator.reset()   # forgets it: a camera just connected
    korvi.open_camera(1)
    assert (cooler()[CT.ASI_COOLER_ON], simulator.sensor_temperature(1)) == (0, 20)


@pytest.mark.parametrize("env, expected", [
    ({"ORLICAM_SIM_STATE_DIR": "{tmp}/mine/deep"}, "{tmp}/mine/deep"),
    ({"ORLICAM_SIM_STATE_DIR": "", "XDG_RUNTIME_DIR": "{tmp}"}, "{tmp}/orlicam-sim"),
    ({"ORLICAM_SIM_STATE_DIR": "", "XDG_RUNTIME_DIR": ""}, f"/tmp/orlicam-sim-{os.getuid()}"),
])
def test_state_folder(tmp_path, env, expected):
    env = {k: v.format(tmp=tmp_path) for k, v in env.items()}
    code = "from vorrant.orlicam import simulator; print(simulator.state_dir())"
    done = subprocess.run([sys.executable, "-c", code], env={**os.environ, **env}, capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.strip() == expected.format(tmp=tmp_path) and os.path.isdir(done.stdout.strip())
