"""Builds and runs the native checks of the simulated sensor and the BMP reader.

The program is compiled straight from the sources with g++, once optimised and
once with AddressSanitizer and UndefinedBehaviorSanitizer (it takes seconds, and
the sanitizers are what make the BMP fuzz loop meaningful).
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [
    ROOT / "tests" / "native" / "renderer_check.cpp",
    ROOT / "src" / "camsim" / "renderer.cpp",
    ROOT / "src" / "camsim" / "bmp.cpp",
]
COMMON = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "src" / "sdk"), "-I", str(ROOT / "src" / "camsim")]
SANITIZE = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-fno-sanitize-recover=undefined"]
BUILDS = {
    "optimised": ["-O2"],
    "sanitized": ["-O1", "-g", *SANITIZE],
}

GXX = shutil.which("g++")
pytestmark = pytest.mark.skipif(GXX is None, reason="g++ is not installed")


def _sanitizers_available(tmp_path):
    probe = tmp_path / "probe.cpp"
    probe.write_text("int main() { return 0; }\n")
    result = subprocess.run([GXX, *SANITIZE, str(probe), "-o", str(tmp_path / "probe")], capture_output=True)
    return result.returncode == 0


@pytest.mark.parametrize("build", sorted(BUILDS))
def test_native_renderer_checks(build, tmp_path):
    if build == "sanitized" and not _sanitizers_available(tmp_path):
        pytest.skip("g++ cannot link the sanitizer runtimes here")
    exe = tmp_path / f"renderer_check_{build}"
    compiled = subprocess.run(
        [GXX, *COMMON, *BUILDS[build], *map(str, SOURCES), "-o", str(exe)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert compiled.returncode == 0, compiled.stderr

    env = dict(os.environ)
    if build == "sanitized":
        env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1"
        env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    ran = subprocess.run([str(exe), str(scratch)], capture_output=True, text=True, timeout=600, env=env)
    print(ran.stdout)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert "0 failure(s)" in ran.stdout
