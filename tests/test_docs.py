"""The examples of the README and of the documentation (docs/*.md) run as written, against the
simulator: every Python block, every `orlicam` command, and the night of "Files and plans"."""
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def blocks(kind, pages=PAGES):
    """(page name, text) of every ```kind block; `{code-block}` and other fences are not taken."""
    return [(page.relative_to(ROOT).as_posix(), text) for page in pages
            for text in re.findall(rf"^```{kind}\n(.*?)^```", page.read_text(), flags=re.S | re.M)]


PYTHON = blocks("python")
# A line that runs orlicam, perhaps after environment assignments (ORLICAM_SIM_...=1 orlicam ...).
RUNS_ORLICAM = re.compile(r"^(?:[A-Z_][A-Z0-9_]*=\S*\s+)*orlicam\s")
COMMANDS = sorted({(line.strip()) for _, text in blocks("sh") for line in text.splitlines() if RUNS_ORLICAM.match(line)})
# A new user runs the README's commands more than once: each must work again in the same folder.
TWICE = {line.strip() for _, text in blocks("sh", [ROOT / "README.md"]) for line in text.splitlines()}
BIN = Path(sys.executable).parent
ENV = {**os.environ, "PATH": f"{BIN}{os.pathsep}{os.environ['PATH']}", "ORLICAM_SIM_TIME_SCALE": "1000"}
ENV.pop("ORLICAM_SIM_LIGHT_PANEL", None)


def verb(line):
    words = shlex.split(line, comments=True)
    return words[[i for i, w in enumerate(words) if w == "orlicam"][0] + 1]


def test_the_pages_show_python_and_every_command():
    assert len(PYTHON) >= 10
    assert {verb(line) for line in COMMANDS} >= {"list", "info", "controls", "snap", "stream", "cool", "warm", "guide",
                                                  "dark", "serve", "doctor", "live", "sequence"}


@pytest.mark.parametrize("source", [text for _, text in PYTHON], ids=[f"{page}:{i}" for i, (page, _) in enumerate(PYTHON)])
def test_python_block_runs(source, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)        # blocks that write files write them here
    exec(compile(source, "<documentation>", "exec"), {"__name__": "__docs__"})


@pytest.fixture
def scratch(tmp_path):
    """A folder holding a copy of examples/, as the commands' paths assume a clone's root."""
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    return tmp_path


# `serve` and `live` run until stopped: they have tests of their own below.
@pytest.mark.parametrize("line", [c for c in COMMANDS if verb(c) not in ("serve", "live")])
def test_command_runs(line, scratch):
    for _ in range(2 if line in TWICE else 1):
        run = subprocess.run(["bash", "-c", line], cwd=scratch, env=ENV, capture_output=True, text=True, timeout=240)
        assert run.returncode == 0, run.stdout + run.stderr
        assert "Traceback" not in run.stderr


@pytest.mark.parametrize("line", [c for c in COMMANDS if verb(c) == "serve"])
def test_serve_command_serves_until_interrupted(line, tmp_path):
    argv = shlex.split(line, comments=True)
    port = int(argv[argv.index("--port") + 1]) if "--port" in argv else 11111
    for kind, taken in ((socket.SOCK_STREAM, port), (socket.SOCK_DGRAM, 32227)):  # HTTP, discovery
        with socket.socket(socket.AF_INET, kind) as probe:
            if kind == socket.SOCK_STREAM:  # as the server binds: a closed connection's wait is no conflict
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", taken))
            except OSError:
                pytest.skip(f"port {taken} is taken on this machine")
    server = subprocess.Popen([str(BIN / "orlicam"), *argv[1:]], cwd=tmp_path, env=ENV,
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


@pytest.mark.parametrize("line", [c for c in COMMANDS if verb(c) == "live"])
def test_live_command_prints_the_page_url_and_serves_it(line, tmp_path):
    # On a free port rather than the default, which another server on this machine may hold.
    argv = [str(BIN / "orlicam"), *shlex.split(line, comments=True)[1:], "--port", "0"]
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


def test_the_night_of_files_and_plans_runs_as_written(tmp_path):
    """The plans, the config file and the night's commands of "Files and plans", run in order as one
    script, the simulator's settings taken from the page itself."""
    page = ROOT / "docs" / "files-and-plans.md"
    (night,) = [text for _, text in blocks("shell", [page])]
    (config,) = [text for _, text in blocks("toml", [page]) if text.startswith("# ~/.config/orlicam/config.toml")]
    for plan in re.findall(r"^```\{literalinclude\} \.\./(examples/\S+\.toml)$", page.read_text(), flags=re.M):
        shutil.copy(ROOT / plan, tmp_path)
    (tmp_path / "config" / "orlicam").mkdir(parents=True)
    (tmp_path / "config" / "orlicam" / "config.toml").write_text(config)
    env = {**ENV, "XDG_CONFIG_HOME": str(tmp_path / "config")}
    env.pop("ORLICAM_SIM_TIME_SCALE")
    run = subprocess.run(["bash", "-euo", "pipefail", "-c", night], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert sorted(p.name for p in (tmp_path / "calibrated").iterdir()) == \
        [f"Light_M42_L_4s_gain120_bin2x2_-10C_{n:04}_cal.fits" for n in (1, 2, 3)]
    # `warm` ramps up the camera that `snap --cool-to -10` left cold: one camera per machine.
    warm = run.stdout.rsplit("m42_001.fits: ", 1)[1].splitlines()[1:]
    assert any(line.startswith("warming at 600 C/min: set point ") for line in warm), warm
    assert re.fullmatch(r"ZWO ASI294MM Pro GPS Simulator: cooler off at (1[5-9]|2[0-5])\.\d C", warm[-1]), warm


def test_the_flats_plan_and_the_pages_give_the_tolerance_auto_flats_use():
    from vorrant.orlicam.observing.steps import FLAT_CLOSE
    for path in (ROOT / "examples" / "flats.toml", ROOT / "docs" / "files-and-plans.md"):
        assert re.findall(r"within (\d+%) of `?target", path.read_text()) == [f"{FLAT_CLOSE:.0%}"], path


def test_the_calibrated_stack_of_live_stacking_runs_as_written(tmp_path):
    """The masters and the stack of "Live stacking", run in order as one script."""
    (script,) = [text for _, text in blocks("shell", [ROOT / "docs" / "stacking.md"])]
    run = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=tmp_path, env=ENV, capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "m42.fits: 5 frames stacked, 0 rejected, 5 s in all" in run.stdout
