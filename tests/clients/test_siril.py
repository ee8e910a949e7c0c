"""Our files in the programs people check and stack them with: Siril 1.0.6 run headless
(siril-cli scripts) and fitsverify, on files made by the `orlicam` command."""
import csv
import os
import shutil
import signal
import subprocess
import sys
import time
from datetime import UTC, datetime, timedelta
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits

from vorrant.orlicam.files.ser import HEADER_SIZE, read_ser

ORLICAM = Path(sys.executable).with_name("orlicam")
SIRIL, FITSVERIFY = shutil.which("siril-cli"), shutil.which("fitsverify")
# Not ours to sanitize: under make sanitize they must not inherit the preloaded runtimes.
TOOL_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
NIGHT = """\
[target]
object = "M 42"

[camera]
camera = "294"

[[frames]]
type = "light"
count = 3
exposure = "0.5s"
gain = 120
bin = 4
format = "RAW16"

[[frames]]
type = "dark"
count = 3
exposure = "0.5s"
gain = 120
bin = 4
format = "RAW16"

[[frames]]
type = "flat"
count = 3
exposure = "auto"
target = 0.3
gain = 120
bin = 4
format = "RAW16"

[[frames]]
type = "bias"
count = 3
gain = 120
bin = 4
format = "RAW16"
"""


@pytest.fixture(scope="module", autouse=True)
def _installed():
    assert SIRIL and FITSVERIFY, "siril-cli or fitsverify is missing (scripts/ensure-system-deps installs them)"


def orlicam(folder, *args, scale="1000"):
    env = {**os.environ, "XDG_CONFIG_HOME": str(folder / "config"), "ORLICAM_SIM_TIME_SCALE": scale,
           "ORLICAM_SIM_LIGHT_PANEL": "20000"}
    run = subprocess.run([ORLICAM, *map(str, args)], cwd=folder, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def siril(folder, *commands):
    """Runs the commands as a siril-cli script in `folder`, with settings of its own; the log."""
    script = folder / "run.ssf"
    script.write_text("\n".join(["requires 1.0.0", "setext fits", *commands]) + "\n")
    env = {**TOOL_ENV, "XDG_CONFIG_HOME": str(folder / "siril-config"), "HOME": str(folder)}
    run = subprocess.run([SIRIL, "-d", str(folder), "-s", str(script)], env=env, capture_output=True, text=True,
                         timeout=120)
    assert "Script execution finished successfully" in run.stdout, run.stdout[-3000:] + run.stderr
    return run.stdout


def seqstat(folder, name):
    """Siril's statistics of each frame of a sequence, as uint16 values (it gives them over 65535)."""
    siril(folder, f"seqstat {name} {name}.csv basic")
    with open(folder / f"{name}.csv") as table:
        rows = list(csv.DictReader(table, delimiter="\t"))
    return [{k: float(row[k]) * 65535 for k in ("mean", "min", "max")} for row in rows]


def verified(path):
    run = subprocess.run([FITSVERIFY, "-q", str(path)], env=TOOL_ENV, capture_output=True, text=True, timeout=60)
    return run.stdout.strip()


def jd(moment):
    return moment.timestamp() / 86400 + 2440587.5


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    """A short night from `orlicam sequence`, its masters, and its lights calibrated."""
    folder = tmp_path_factory.mktemp("night")
    (folder / "night.toml").write_text(NIGHT)
    orlicam(folder, "sequence", "night.toml", "-o", "raw")
    raw = folder / "raw"
    for kind, extra in (("bias", ()), ("dark", ()), ("flat", ("--bias", "master_bias.fits"))):
        orlicam(folder, "master", kind, *sorted(raw.glob(f"{kind.title()}_*.fits")), *extra, "-o",
                f"master_{kind}.fits")
    (folder / "cal").mkdir()
    orlicam(folder, "calibrate", *sorted(raw.glob("Light_*.fits")), "--dark", "master_dark.fits", "--flat",
            "master_flat.fits", "--bias", "master_bias.fits", "-o", "cal")
    return folder


def test_siril_converts_and_stacks_a_night_reading_its_headers(night):
    lights = sorted((night / "raw").glob("Light_*.fits"))
    (night / "lights").mkdir()
    for light in lights:
        shutil.copy(light, night / "lights")
    siril(night, "cd lights", "convert light -out=../proc", "cd ../proc",
          "preprocess light -dark=../master_dark.fits -flat=../master_flat.fits", "stack pp_light rej 3 3 -nonorm")
    header = fits.getheader(night / "proc" / "pp_light_stacked.fits")
    first = fits.getheader(lights[0])
    assert {k: header.get(k) for k in ("STACKCNT", "LIVETIME", "EXPTIME", "GAIN", "XBINNING", "OBJECT", "INSTRUME",
                                        "CCD-TEMP")} == {
        "STACKCNT": 3, "LIVETIME": 1.5, "EXPTIME": 0.5, "GAIN": 120, "XBINNING": 4, "OBJECT": "M 42",
        "INSTRUME": "ZWO ASI294MM Pro GPS Simulator", "CCD-TEMP": first["CCD-TEMP"]}
    assert header["DATE-OBS"] == first["DATE-OBS"] + "000"   # Siril writes microseconds


@pytest.mark.parametrize("camera, exposure, color_id", [("1", "0.05s", 0), ("0", "0.01s", 8)])
def test_siril_reads_16_bit_ser_with_the_values_written(tmp_path, camera, exposure, color_id):
    orlicam(tmp_path, "stream", camera, "-e", exposure, "--roi", "64x48", "-f", "RAW16", "--frames", "3", "-o",
            "v.ser")
    video = read_ser(tmp_path / "v.ser")
    assert video.header.color_id == color_id and video.frames.dtype == np.uint16
    assert 1000 < video.frames.mean() < 60000   # light enough for a byte swap to show
    stats = seqstat(tmp_path, "v")
    assert len(stats) == 3
    for got, frame in zip(stats, video.frames, strict=True):
        assert (round(got["min"]), round(got["max"])) == (frame.min(), frame.max())
        assert got["mean"] == pytest.approx(frame.mean(), rel=1e-5)


@pytest.mark.parametrize("times_kept", [1, 0.5, 0])   # NAME.ser.times whole, cut to half, emptied
def test_a_killed_recording_is_finished_and_siril_reads_its_frame_times(tmp_path, times_kept):
    path = tmp_path / "v.ser"
    frame_bytes = 64 * 48 * 2
    env = {**os.environ, "XDG_CONFIG_HOME": str(tmp_path / "config"), "ORLICAM_SIM_TIME_SCALE": "1"}
    proc = subprocess.Popen([ORLICAM, "stream", "1", "-e", "20ms", "--roi", "64x48", "-f", "RAW16", "--duration",
                             "60s", "-o", path], cwd=tmp_path, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while (not path.exists() or path.stat().st_size < HEADER_SIZE + 20 * frame_bytes) \
                and time.monotonic() < deadline:
            time.sleep(0.02)
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)
    finally:
        proc.kill()
    whole = (path.stat().st_size - HEADER_SIZE) // frame_bytes
    assert whole >= 20 and read_ser(path).times is None   # no trailer: the times are in v.ser.times only
    side = tmp_path / "v.ser.times"
    kept = min(whole, int(times_kept * whole))
    side.write_bytes(side.read_bytes()[:8 * kept])

    out = orlicam(tmp_path, "ser-finish", "v.ser")
    how = "the frames around them" if kept >= 2 else "the file's dates"
    assert out.endswith(f"; {whole - kept} frame times were not kept, estimated from {how}\n" if kept < whole else
                        "v.ser.json updated\n"), out
    video = read_ser(path)
    times = video.utc_times()
    assert len(video.frames) == len(times) == whole and not (tmp_path / "v.ser.times").exists()
    assert times == sorted(times) and timedelta(0) < times[-1] - times[0] < timedelta(seconds=60)
    assert out.startswith(f"v.ser: {whole} frames, {times[0].isoformat().replace('+00:00', 'Z')} to ")
    assert orlicam(tmp_path, "ser-finish", "v.ser").startswith(f"v.ser: already finished, {whole} frames")

    log = siril(tmp_path, "stack v rej 3 3 -nonorm")
    assert "Timestamps in the SER file are correctly ordered." in log and "no timestamps" not in log
    header = fits.getheader(tmp_path / "v_stacked.fits")
    assert header["STACKCNT"] == whole
    assert header["DATE-OBS"] == times[0].strftime("%Y-%m-%dT%H:%M:%S.%f")
    assert header["EXPEND"] == pytest.approx(jd(times[-1]), abs=2e-8)   # 2 ms: the header's precision


@pytest.fixture(scope="module")
def indi(tmp_path_factory):
    """The INDI driver's FITS files, mono and colour, or a skip where no private network can be had."""
    folder = tmp_path_factory.mktemp("indi")
    if not shutil.which("indiserver") or not Path(sys.executable).with_name("indi_orlicam_ccd").exists():
        pytest.skip("no indiserver or INDI driver")
    run = subprocess.run(["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", sys.executable,
                          Path(__file__).with_name("indi_grab.py"), folder], capture_output=True, text=True,
                         timeout=120)
    if run.returncode != 0 and "unshare" in run.stderr:
        pytest.skip(f"no private network namespace for indiserver: {run.stderr.strip()}")
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-2000:]
    return folder


def _snap(folder, camera):
    orlicam(folder, "snap", camera, "-e", "10ms", "--roi", "64x48", "-o", f"snap{camera}.fits")
    return folder / f"snap{camera}.fits"


def _cube(folder, camera, fmt):
    orlicam(folder, "stream", camera, "-e", "1ms", "--roi", "64x48", "-f", fmt, "--frames", "3", "-o",
            f"cube{camera}.fits")
    return folder / f"cube{camera}.fits"


@pytest.mark.parametrize("kind, make", [
    ("snap mono", lambda folder, night: _snap(folder, "1")),
    ("snap colour", lambda folder, night: _snap(folder, "0")),
    ("cube", lambda folder, night: _cube(folder, "1", "RAW16")),
    ("cube RGB", lambda folder, night: _cube(folder, "0", "RGB24")),
    ("master bias", lambda folder, night: night / "master_bias.fits"),
    ("master flat", lambda folder, night: night / "master_flat.fits"),
    ("calibrated", lambda folder, night: sorted((night / "cal").glob("*_cal.fits"))[0]),
    ("INDI mono", "indi_mono.fits"),
    ("INDI colour", "indi_colour.fits"),
])
def test_fitsverify_finds_nothing_to_warn_about(request, tmp_path, night, kind, make):
    path = request.getfixturevalue("indi") / make if isinstance(make, str) else make(tmp_path, night)
    assert verified(path) == f"verification OK: {path}"


def test_a_master_spans_its_frames_in_utc(night):
    darks = [fits.getheader(p) for p in sorted((night / "raw").glob("Dark_*.fits"))]
    header = fits.getheader(night / "master_dark.fits")
    end = datetime.fromisoformat(darks[-1]["DATE-OBS"]).replace(tzinfo=UTC) + timedelta(seconds=0.5)
    assert (header["DATE-OBS"], header["DATE-END"], header["TIMESYS"]) == \
        (darks[0]["DATE-OBS"], end.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3], "UTC")
