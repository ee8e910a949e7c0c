"""Every Python block and every `orlicam` command of the README runs as written, against the simulator."""
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def test_readme_has_python_examples():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(source, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)        # blocks that write files write them here
    exec(compile(source, str(README), "exec"), {"__name__": "__readme__"})


# The command-line examples, run as written in a scratch folder. The simulated cooler runs
# 1000 times faster so that `cool` finishes in seconds; `serve` runs until it is stopped.
COMMANDS = [line for block in re.findall(r"^```sh\n(.*?)^```", README.read_text(), flags=re.S | re.M)
            for line in block.splitlines() if line.startswith("orlicam ")]
ORLICAM = Path(sys.executable).with_name("orlicam")
ENV = {**os.environ, "ORLICAM_SIM_TIME_SCALE": "1000"}


def test_readme_lists_every_command():
    verbs = {shlex.split(line, comments=True)[1] for line in COMMANDS}
    assert verbs == {"list", "info", "controls", "snap", "stream", "cool", "warm", "guide", "dark", "serve", "doctor", "live"}


# `serve` and `live` run until stopped: they have tests of their own below.
@pytest.mark.parametrize("line", [c for c in COMMANDS if shlex.split(c)[1] not in ("serve", "live")])
def test_readme_command_runs(line, tmp_path):
    argv = [str(ORLICAM), *shlex.split(line, comments=True)[1:]]
    run = subprocess.run(argv, cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Traceback" not in run.stderr


def test_readme_serve_command_serves_until_interrupted(tmp_path):
    (line,) = [c for c in COMMANDS if shlex.split(c)[1] == "serve"]
    argv = shlex.split(line, comments=True)
    port = int(argv[argv.index("--port") + 1])
    for kind, taken in ((socket.SOCK_STREAM, port), (socket.SOCK_DGRAM, 32227)):  # HTTP, discovery
        with socket.socket(socket.AF_INET, kind) as probe:
            if kind == socket.SOCK_STREAM:  # as the server binds: a closed connection's wait is no conflict
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", taken))
            except OSError:
                pytest.skip(f"port {taken} is taken on this machine")
    server = subprocess.Popen([str(ORLICAM), *argv[1:]], cwd=tmp_path, env=ENV,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/management/apiversions", timeout=2) as r:
                    assert json.load(r)["Value"] == [1]
                break
            except OSError:
                assert server.poll() is None, server.communicate()
                assert time.monotonic() < deadline, "the server did not answer in 30 s"
                time.sleep(0.2)
    finally:
        server.send_signal(signal.SIGINT)
        out, err = server.communicate(timeout=30)
    assert server.returncode == 0, out + err
    assert f"serving 2 camera(s) on http://127.0.0.1:{port}" in err


def test_readme_live_command_prints_the_page_url_and_serves_it(tmp_path):
    (line,) = [c for c in COMMANDS if shlex.split(c)[1] == "live"]
    # On a free port rather than the default, which another server on this machine may hold.
    argv = [str(ORLICAM), *shlex.split(line, comments=True)[1:], "--port", "0"]
    server = subprocess.Popen(argv, cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = server.stdout.readline().strip()
        assert re.fullmatch(r"http://127\.0\.0\.1:[0-9]+/live/1", url), (url, server.stderr.read())
        with urllib.request.urlopen(url, timeout=10) as page:
            assert "orlicam live view" in page.read().decode()
        with urllib.request.urlopen(url + "/stats", timeout=60) as stats:
            assert json.load(stats)["width"] == 4144
    finally:
        server.send_signal(signal.SIGINT)
        out, err = server.communicate(timeout=30)
    assert server.returncode == 130, out + err


# "Plans and calibration": the night's commands run in order in one folder, with the plan and
# the config file from the README's TOML blocks and the simulator's flat panel on.
NIGHT = [line for block in re.findall(r"^```shell\n(.*?)^```", README.read_text(), flags=re.S | re.M)
         for line in block.splitlines() if line.startswith("orlicam ")]
TOML = re.findall(r"^```toml\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def test_readme_night_runs_in_order(tmp_path):
    (tmp_path / "m42.toml").write_text(TOML[0])
    (tmp_path / "config" / "orlicam").mkdir(parents=True)
    (tmp_path / "config" / "orlicam" / "config.toml").write_text(TOML[1])
    env = {**ENV, "ORLICAM_SIM_LIGHT_PANEL": "20000", "XDG_CONFIG_HOME": str(tmp_path / "config")}
    assert {shlex.split(line, comments=True)[1] for line in NIGHT} == {"sequence", "master", "calibrate", "snap", "warm"}
    for line in NIGHT:   # through bash, for the globs
        run = subprocess.run(f"{shlex.quote(str(ORLICAM))} {line.removeprefix('orlicam ')}", shell=True,
                             cwd=tmp_path, env=env, capture_output=True, text=True, timeout=240)
        assert run.returncode == 0, line + "\n" + run.stdout + run.stderr
    assert len(list(tmp_path.glob("Light_*_cal.fits"))) == 3
