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
    assert verbs == {"list", "info", "controls", "snap", "stream", "cool", "warm", "guide", "dark", "serve", "doctor"}


@pytest.mark.parametrize("line", [c for c in COMMANDS if " serve" not in c])
def test_readme_command_runs(line, tmp_path):
    argv = [str(ORLICAM), *shlex.split(line, comments=True)[1:]]
    run = subprocess.run(argv, cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Traceback" not in run.stderr


def test_readme_serve_command_serves_until_interrupted(tmp_path):
    (line,) = [c for c in COMMANDS if " serve" in c]
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
