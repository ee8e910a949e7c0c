"""The wheel of `make wheel`, installed where no compiler or CMake can be reached, beside
numpy and astropy versions other than the ones we pin. Runs under `make test-wheel`, which
builds the wheel first and names its folder in ORLICAM_WHEEL_DIR; skipped otherwise."""
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
WHEEL_DIR = os.environ.get("ORLICAM_WHEEL_DIR")
MACHINE = platform.machine()          # x86_64, or aarch64 on arm64 (make test-arm64 ARM64_FULL=1)
WHEELS = sorted(Path(WHEEL_DIR).glob(f"orlicam-*-cp313-cp313-manylinux_*_{MACHINE}.whl")) if WHEEL_DIR else []
pytestmark = pytest.mark.skipif(len(WHEELS) != 1, reason="no wheel built (make test-wheel builds one)")
PACKAGE = "vorrant/orlicam/"
# A user's environment: numpy and astropy inside our ranges but not the versions we pin.
OLDEST = dict(line.split("==") for line in (ROOT / "constraints-oldest.txt").read_text().splitlines()
              if "==" in line and not line.startswith("#"))
USER_PACKAGES = {"numpy": OLDEST["numpy"], "astropy": OLDEST["astropy"]}


def run(argv, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{argv}\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A fresh venv holding the user's numpy and astropy, then the wheel; and an environment
    whose PATH is the venv's bin folder alone (python, pip, and the scripts installed)."""
    root = tmp_path_factory.mktemp("wheel")
    venv = root / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    python = str(venv / "bin" / "python")
    env = {"PATH": str(venv / "bin"), "HOME": str(root), "LANG": "C.UTF-8", "CC": "/nonexistent/cc",
           "CXX": "/nonexistent/c++", "PIP_DISABLE_PIP_VERSION_CHECK": "1",
           "PIP_CACHE_DIR": os.path.expanduser("~/.cache/pip")}
    for tool in ("cc", "gcc", "c++", "g++", "clang", "cmake"):
        assert shutil.which(tool, path=env["PATH"]) is None, tool
    assert run([python, "-c", "import sys; print(sys.prefix)"], env=env) == f"{venv}\n"   # pip installs there
    pip = [python, "-m", "pip", "install", "-q", "--only-binary=:all:"]
    run([*pip, *(f"{name}=={version}" for name, version in USER_PACKAGES.items())], env=env)
    run([*pip, f"{WHEELS[0]}[fits]"], env=env)
    return venv, env


def test_wheel_holds_the_extensions_simulator_and_licence_but_no_indi_driver():
    wheel = zipfile.ZipFile(WHEELS[0])
    names = wheel.namelist()
    assert wheel.read("orlicam-0.1.0.dist-info/licenses/LICENSE").startswith(b"BSD 3-Clause License\n")
    assert "License-Expression: BSD-3-Clause" in wheel.read("orlicam-0.1.0.dist-info/METADATA").decode().splitlines()
    native = sorted(n.removeprefix(PACKAGE) for n in names if n.endswith(".so") or ".so." in n)
    assert native == [f"_frames.cpython-313-{MACHINE}-linux-gnu.so", f"korvi.cpython-313-{MACHINE}-linux-gnu.so",
                      "libASICamera2.so"]
    assert not [n for n in names if "indi" in n.lower()]


def test_install_keeps_the_users_numpy_and_astropy(installed):
    venv, env = installed
    frozen = run([str(venv / "bin" / "python"), "-m", "pip", "list", "--format=json"], env=env)
    versions = {p["name"].lower(): p["version"] for p in json.loads(frozen)}
    assert {name: versions[name] for name in USER_PACKAGES} == USER_PACKAGES
    assert versions["orlicam"] == "0.1.0"


def test_installed_wheel_lists_cameras_captures_fits_and_imports_korvi(installed, tmp_path):
    venv, env = installed
    orlicam = str(venv / "bin" / "orlicam")
    assert run([orlicam, "list"], env=env).splitlines()[1].startswith("1: ZWO ASI294MM Pro GPS Simulator")
    run([orlicam, "snap", "1", "--exposure", "10ms", "--roi", "64x48", "-o", "dark.fits"], env=env, cwd=tmp_path)
    from astropy.io import fits
    with fits.open(tmp_path / "dark.fits") as hdus:
        assert hdus[0].data.shape == (48, 64)
        assert hdus[0].header["INSTRUME"] == "ZWO ASI294MM Pro GPS Simulator"
    assert run([str(venv / "bin" / "python"), "-c", "import vorrant.orlicam.korvi as k; print(k.get_number_of_connected_cameras())"],
               env=env) == "2\n"


def dynamic(path):
    """The dynamic entries that decide where ASICamera2 is looked for."""
    entries = re.findall(r"\((NEEDED|RUNPATH|RPATH|SONAME)\)\s+.*?\[(.*?)\]", run(["readelf", "-d", str(path)]))
    return {tag: value for tag, value in entries if tag != "NEEDED" or value.startswith("libASICamera2")}


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf (binutils) not installed")
def test_extensions_find_the_simulator_by_runpath_and_a_vendor_library_first(installed, tmp_path):
    venv, env = installed
    package = next((venv / "lib").glob(f"python3.13/site-packages/{PACKAGE}"))
    for extension in package.glob(f"*.cpython-313-{MACHINE}-linux-gnu.so"):
        assert dynamic(extension) == {"NEEDED": "libASICamera2.so", "RUNPATH": "$ORIGIN"}   # RUNPATH, not RPATH
    assert dynamic(package / "libASICamera2.so") == {"SONAME": "libASICamera2.so"}
    doctor = [str(venv / "bin" / "python"), "-m", "vorrant.orlicam", "doctor", "--json"]
    library = json.loads(run(doctor, env=env))["findings"][0]["details"]
    assert (library["path"], library["origin"]) == (str(package / "libASICamera2.so"), "installed with orlicam")
    # A library of the same name in LD_LIBRARY_PATH is loaded instead, as a vendor SDK would be.
    vendor = tmp_path / "vendor"
    vendor.mkdir()
    shutil.copy(package / "libASICamera2.so", vendor)
    library = json.loads(run(doctor, env={**env, "LD_LIBRARY_PATH": str(vendor)}))["findings"][0]["details"]
    assert (library["path"], library["origin"]) == (str(vendor / "libASICamera2.so"), "from LD_LIBRARY_PATH")
