"""Builds and runs the native checks of the simulated sensor and the BMP reader.

The program is compiled from the sources with g++: optimised, without the SSE2
kernels, and with AddressSanitizer + UndefinedBehaviorSanitizer. The sanitizer
build takes seconds and is what makes the BMP fuzz loop and the odd-request
checks meaningful.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "tests/native/renderer_check.cpp", ROOT / "src/camsim/renderer.cpp", ROOT / "src/camsim/bmp.cpp"]
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "src/sdk"), "-I", str(ROOT / "src/camsim")]
SANITIZE = ["-fsanitize=address,undefined,float-cast-overflow", "-fno-omit-frame-pointer", "-fno-sanitize-recover=all"]
# "portable" hides SSE2 from the sources: the scalar kernels other CPUs run.
BUILDS = {"optimised": ["-O2"], "portable": ["-O2", "-U__SSE2__"], "sanitized": ["-O1", "-g", *SANITIZE]}
GXX = shutil.which("g++")

pytestmark = pytest.mark.skipif(GXX is None, reason="g++ is not installed")


def _compile(args, tmp_path, name):
    exe = tmp_path / name
    result = subprocess.run([GXX, *args, "-o", str(exe)], capture_output=True, text=True, timeout=600)
    return exe, result


@pytest.mark.parametrize("build", sorted(BUILDS))
def test_native_renderer_checks(build, tmp_path):
    if build == "sanitized":
        probe = tmp_path / "probe.cpp"
        probe.write_text("int main() { return 0; }\n")
        if _compile([*SANITIZE, str(probe)], tmp_path, "probe")[1].returncode != 0:
            pytest.skip("g++ cannot link the sanitizer runtimes here")
    exe, compiled = _compile([*FLAGS, *BUILDS[build], *map(str, SOURCES)], tmp_path, f"renderer_check_{build}")
    assert compiled.returncode == 0, compiled.stderr

    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:abort_on_error=1", UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    ran = subprocess.run([str(exe), str(scratch)], capture_output=True, text=True, timeout=600, env=env)
    print(ran.stdout)
    assert ran.returncode == 0 and "0 failure(s)" in ran.stdout, ran.stdout + ran.stderr
