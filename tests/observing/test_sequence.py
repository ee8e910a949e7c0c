"""Capture plans, file names, headers, resume, auto flats, masters and calibration, on the simulator."""
import json
import os
import re
import signal
import subprocess
import sys
import time
from datetime import datetime, timedelta
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits
from astropy.stats import sigma_clipped_stats

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.observing.calibration import DarkLibrary, calibrate, make_master
from vorrant.orlicam.files.fits import write_fits
from vorrant.orlicam.files.naming import check_template, render
from vorrant.orlicam.observing.plan import PlanError, Target, load_plan, observation_cards

ORLICAM = Path(sys.executable).with_name("orlicam")
PLAN = """\
[target]
object = "M 42"
ra = "05:35:17"
dec = "-05:23:28"
focal_length = 600

[camera]
camera = "294"
cool_to = -10
settle = "1s"

[[frames]]
type = "light"
count = {lights}
exposure = "{exposure}"
gain = 120
bin = 4
format = "RAW16"
filter = "Ha"

[[frames]]
type = "flat"
count = 3
exposure = "auto"
target = 0.3
bin = 4
format = "RAW16"
filter = "Ha"

[[frames]]
type = "bias"
count = 2
bin = 4
"""


def env_for(tmp_path, **extra):
    config = tmp_path / "config"
    (config / "orlicam").mkdir(parents=True, exist_ok=True)
    (config / "orlicam" / "config.toml").write_text('[target]\ntelescope = "80ED"\nobserver = "Ada"\nobject = "none"\n')
    return {**os.environ, "XDG_CONFIG_HOME": str(config), "ORLICAM_SIM_TIME_SCALE": "1000",
            "ORLICAM_SIM_LIGHT_PANEL": "20000", **extra}


def journal(folder):
    [path] = folder.glob("orlicam-sequence-*.jsonl")
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    return [r for r in lines if r.get("state") == "done"]


def test_a_plan_runs_into_the_nights_folder_with_names_and_headers_stacking_programs_sort_by(tmp_path):
    (tmp_path / "m42.toml").write_text(PLAN.format(lights=2, exposure="0.5s"))
    run = subprocess.run([ORLICAM, "sequence", "m42.toml"], cwd=tmp_path, env=env_for(tmp_path),
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    night = (datetime.now().astimezone() - timedelta(hours=12)).strftime("%Y-%m-%d")
    folder = tmp_path / night
    names = sorted(p.name for p in folder.glob("*.fits"))
    assert names == ["Bias_32us_gain120_bin4x4_-10C_0001.fits", "Bias_32us_gain120_bin4x4_-10C_0002.fits",
                     *[n for n in names if n.startswith("Flat_Ha_")],
                     "Light_M42_Ha_500ms_gain120_bin4x4_-10C_0001.fits",
                     "Light_M42_Ha_500ms_gain120_bin4x4_-10C_0002.fits"]
    assert len([n for n in names if n.startswith("Flat_Ha_") and n.endswith("C_0003.fits")]) == 1
    expected = {
        "Light": {"IMAGETYP": "Light Frame", "OBJECT": "M 42", "FILTER": "Ha", "OBJCTRA": "05 35 17.0",
                  "OBJCTDEC": "-05 23 28", "RA": 83.820833, "DEC": -5.391111, "EXPTIME": 0.5},
        "Flat": {"IMAGETYP": "Flat Field", "FILTER": "Ha", "OBJECT": None},
        "Bias": {"IMAGETYP": "Bias Frame", "FILTER": None, "OBJECT": None, "EXPTIME": 3.2e-05},
    }
    levels = []
    for name in names:
        with fits.open(folder / name) as hdus:
            header, data = hdus[0].header, hdus[0].data
        kind = name.split("_")[0]
        for key, value in {**expected[kind], "TELESCOP": "80ED", "OBSERVER": "Ada", "FOCALLEN": 600.0,
                           "CCD-TEMP": -10.0, "XBINNING": 4,
                           "INSTRUME": "ZWO ASI294MM Pro GPS Simulator"}.items():
            assert header.get(key) == value, (name, key)
        if kind == "Flat":
            levels.append(np.median(data) / 65535)
    # Every flat within 10% of the 0.3 asked for.
    assert len(levels) == 3 and all(abs(level / 0.3 - 1) < 0.10 for level in levels), levels
    assert {(r["entry"], r["n"]) for r in journal(folder)} == {(0, 1), (0, 2), (1, 1), (1, 2), (1, 3), (2, 1), (2, 2)}


def test_a_killed_plan_resumes_without_taking_any_frame_twice(tmp_path):
    (tmp_path / "m42.toml").write_text(PLAN.format(lights=8, exposure="0.4s"))
    folder, env = tmp_path / "out", env_for(tmp_path)
    argv = [ORLICAM, "sequence", "m42.toml", "-o", folder]
    proc = subprocess.Popen(argv, cwd=tmp_path, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not (folder.exists() and len(list(folder.glob("Light_*.fits"))) >= 3):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=30)
    before = sorted(folder.glob("Light_*.fits"))
    assert 3 <= len(before) < 8
    again = subprocess.run(argv, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert again.returncode == 1 and "--resume" in again.stderr   # no silent second run into the same folder
    resumed = subprocess.run([*argv, "--resume"], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert resumed.returncode == 0, resumed.stdout + resumed.stderr
    assert f"resuming: {len(before)} frames already" in resumed.stdout
    lights = sorted(p.name for p in folder.glob("Light_*.fits"))
    assert [int(n[-9:-5]) for n in lights] == list(range(1, 9))
    assert len(list(folder.glob("*.fits"))) == 8 + 3 + 2 and not list(folder.glob(".*.part"))
    records = [(r["entry"], r["n"]) for r in journal(folder)]
    assert len(records) == len(set(records)) == 13


@pytest.mark.parametrize("text, message", [
    ("[[frames]]\ntype = 'light'\ncount = 3\n", "plan.toml:1: [[frames]] of type light needs exposure"),
    ("[[frames]]\ntype = 'light'\ncount = 0\nexposure = '1s'\n", "plan.toml:3: [[frames]] count: must be a whole number of at least 1, not 0"),
    ("[[frames]]\ntype = 'dark'\ncount = 2\nexposure = 'auto'\n", "plan.toml:4: exposure = \"auto\" is for flats, not dark frames"),
    ("[[frames]]\ntype = 'lite'\ncount = 2\n", "plan.toml:2: [[frames]] type: 'lite' is not one of light, dark, flat, bias"),
    ("[[frames]]\ntype = 'flat'\ncount = 2\nexposure = 'auto'\ntarget = 1.5\n", "plan.toml:5: [[frames]] target: 1.5 is outside 0.05 to 0.95"),
    ("[[frames]]\ntype = 'light'\ncount = 2\nexposure = '3 parsecs'\n", "plan.toml:4: [[frames]] exposure: '3 parsecs' is not a duration"),
    ("[[frames]]\ntype = 'light'\ncount = 2\nexposure = '1s'\nformat = 'JPEG'\n", "plan.toml:5: [[frames]] format: unknown image format 'JPEG'"),
    ("[[frames]]\ntype = 'light'\ncount = 2\nexposure = '1s'\nexposur = '2s'\n", "plan.toml:5: [[frames]] has no key 'exposur'"),
    ("[target]\nra = '25:00:00'\ndec = 0\n[[frames]]\n", "plan.toml:2: [target] ra: '25:00:00' is outside 0 to 24 h"),
    ("[target]\nra = '05:35:17'\n", "plan.toml:2: [target] needs both ra and dec"),
    ("[camera]\ncool_to = 'cold'\n", "plan.toml:2: [camera] cool_to: takes a number"),
    ("[output]\nname = '{object}_{shutter}.fits'\n", "plan.toml:2: [output] name: the name '{object}_{shutter}.fits': {shutter} is not a field"),
    ("[target]\nobject = 'M 42'\n", "plan.toml:1: the plan has no [[frames]] entry"),
    ("[target\nobject = 'M 42'\n", "plan.toml:1: not valid TOML: "),
    ("[[frames]]\ntype = 'light'\ncount = 2\nexposure = '1s'\n[[frames]]\ntype = 'bias'\ncount = 2\ngain = -1\n",
     "plan.toml:8: [[frames]] gain: must be a whole number of at least 0, not -1"),
    ("[target]\nobject = 'M 42'\nx = " + "[" * 1000 + "]" * 1000 + "\n", "plan.toml:1: nested too deeply"),
    ("[target]\nobject = 'Mörk'\n", "plan.toml:2: [target] object: 'Mörk' is not printable ASCII, all a FITS header holds"),
    ("[[frames]]\ntype = 'light'\ncount = 2\nexposure = '1s'\nfilter = '" + "H" * 69 + "'\n",
     "plan.toml:5: [[frames]] filter: 69 characters; a FITS header value holds at most 68"),
])
def test_plan_errors_name_the_file_and_line(tmp_path, text, message):
    path = tmp_path / "plan.toml"
    path.write_text(text)
    with pytest.raises(PlanError) as caught:
        load_plan(path, config=tmp_path / "none.toml")
    assert str(caught.value).startswith(str(tmp_path / message)), str(caught.value)
    assert "\n" not in str(caught.value)


def test_plan_errors_come_before_the_camera_is_touched_and_a_dry_run_touches_none(tmp_path):
    (tmp_path / "plan.toml").write_text("[[frames]]\ntype = 'light'\ncount = 'ten'\nexposure = '1s'\n")
    run = subprocess.run([ORLICAM, "sequence", "plan.toml"], cwd=tmp_path, env=env_for(tmp_path),
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (1, "orlicam: error: plan.toml:3: [[frames]] count: must be a whole "
                                               "number of at least 1, not 'ten'\n")
    assert not list(tmp_path.glob("20*"))
    (tmp_path / "m42.toml").write_text(PLAN.format(lights=10, exposure="30s"))
    dry = subprocess.run([ORLICAM, "sequence", "m42.toml", "--dry-run"], cwd=tmp_path, env=env_for(tmp_path),
                         capture_output=True, text=True, timeout=60)
    assert dry.returncode == 0 and "10 x 30 s" in dry.stdout and "15 frames, 5 min 00 s of exposure plus 5 frames" in dry.stdout


@pytest.mark.parametrize("template, values, n, name", [
    ("{type}_{object}_{filter}_{exposure}_{n:04}.fits", {"type": "Light", "object": "M 42", "exposure": "30s"}, 7,
     "Light_M42_30s_0007.fits"),
    ("{date}/{camera}_{temp}_{n}.fits", {"date": "2026-12-07", "camera": "ZWO ASI294MM", "temp": "-10C"}, 12,
     "2026-12-07/ZWO-ASI294MM_-10C_12.fits"),
    ("{object}_{n:03}.fits", {"object": "../etc/passwd"}, 1, "..-etc-passwd_001.fits"),
])
def test_names_fill_the_fields_safely(template, values, n, name):
    assert render(template, values, n) == name


@pytest.mark.parametrize("template", ["{n:>99999}.fits", "{object!r}.fits", "{gain:.99}.fits", "{n.real}.fits",
                                      "a\x1bb{n}.fits", "{0}.fits"])
def test_names_refuse_what_is_not_a_plain_field(template):
    with pytest.raises(ValueError):
        check_template(template)


# --- calibration ----------------------------------------------------------------------

def shoot(cam, folder, kind, count, exposure, dark=False):
    paths = []
    for i in range(count):
        frame = cam.capture(exposure, dark=dark)
        path = folder / f"{kind}_{i}.fits"
        write_fits(path, frame, cards=observation_cards(Target(), kind))
        paths.append(path)
    return paths


def box_means(data):
    h, w = data.shape
    mean = lambda block: sigma_clipped_stats(block, sigma=3)[0]   # stars and hot pixels left out
    corners = [data[:80, :80], data[:80, -80:], data[-80:, :80], data[-80:, -80:]]
    return mean(data[h // 2 - 100:h // 2 + 100, w // 2 - 100:w // 2 + 100]), [mean(c) for c in corners]


def test_masters_remove_hot_pixels_and_flatten_the_fall_off(tmp_path, capsys):
    with Camera(1) as cam:
        cam.set_roi(bin=2, image_format="RAW16")
        cam.gain = 300
        lights = shoot(cam, tmp_path, "light", 3, 2.0)
        darks = shoot(cam, tmp_path, "dark", 5, 2.0, dark=True)
        biases = shoot(cam, tmp_path, "bias", 5, cam.controls["exposure"].min, dark=True)
        simulator.set_light_panel(cam.camera_id, 20000)
        flats = shoot(cam, tmp_path, "flat", 5, 0.02)
    bias = make_master("bias", biases, tmp_path / "master_bias.fits")
    dark = make_master("dark", darks, tmp_path / "master_dark.fits")
    make_master("flat", flats, tmp_path / "master_flat.fits", bias=tmp_path / "master_bias.fits")
    (out,) = calibrate(lights[:1], DarkLibrary([tmp_path / "master_dark.fits"]), tmp_path / "master_flat.fits",
                       None, tmp_path)
    with fits.open(out) as hdus:
        header, calibrated = hdus[0].header, hdus[0].data
    assert header["BITPIX"] == -32 and header["IMAGETYP"] == "Light Frame" and header["CALSTAT"] == "DF"
    assert list(header["HISTORY"]) == ["dark subtracted: master_dark.fits", "flat divided: master_flat.fits"]
    assert fits.getheader(tmp_path / "master_dark.fits")["NCOMBINE"] == 5

    # Hot pixels: those of the master dark standing 20 sigma over its median, looked at in the light.
    _, median, sigma = sigma_clipped_stats(dark.data - bias.data, sigma=3)
    hot = (dark.data - bias.data) > median + 20 * sigma
    raw = fits.getdata(lights[0]).astype(np.float32)
    _, sky, noise = sigma_clipped_stats(raw, sigma=3)
    _, cal_sky, cal_noise = sigma_clipped_stats(calibrated, sigma=3)
    excess = raw[hot] - sky
    standing = excess > 10 * noise
    # Still hot: more than 5 sigma of the sky's noise over the sky, and more than a tenth of
    # what stood there (a bright hot pixel keeps its own shot noise, which no dark can take off).
    residual = calibrated[hot] - cal_sky
    left = (standing & (residual > 5 * cal_noise) & (residual > 0.1 * excess)).sum()
    standing = standing.sum()
    removed = 1 - left / standing

    centre_before, corners_before = box_means(raw - dark.data)
    centre_after, corners_after = box_means(calibrated)
    before = [c / centre_before for c in corners_before]
    after = [c / centre_after for c in corners_after]
    with capsys.disabled():
        print(f"\nhot pixels: {standing} in the light, {left} after dark subtraction ({removed:.1%} removed); "
              f"corners/centre before flat {np.round(before, 3)}, after {np.round(after, 4)}")
    assert standing >= 50 and removed >= 0.90
    assert all(0.75 < r < 0.86 for r in before)
    assert all(abs(r - 1) <= 0.02 for r in after)


def test_masters_refuse_frames_that_do_not_match(tmp_path):
    def image(name, shape=(8, 8), **cards):
        path = tmp_path / name
        header = fits.Header({"EXPTIME": 2.0, "GAIN": 120, "XBINNING": 1, "CCD-TEMP": -10.0, **cards})
        fits.PrimaryHDU(np.full(shape, 100, np.uint16), header).writeto(path)
        return path

    first = image("a.fits")
    cases = [
        ("dark", image("b.fits", GAIN=200), "b.fits does not match a.fits: gain 200, not 120"),
        ("dark", image("c.fits", EXPTIME=5.0), "c.fits does not match a.fits: exposure 5.0, not 2.0"),
        ("bias", image("d.fits", shape=(8, 9)), "d.fits does not match a.fits: size 9x8, not 8x8"),
        ("dark", image("e.fits", **{"CCD-TEMP": -7.5}), "e.fits does not match a.fits: temperature -7.5 C, more than 1 C from -10 C"),
        ("flat", image("f.fits", XBINNING=2), "f.fits does not match a.fits: binning 2, not 1"),
    ]
    for kind, other, message in cases:
        with pytest.raises(ValueError) as caught:
            make_master(kind, [first, other], tmp_path / f"m_{other.name}")
        assert str(caught.value) == f"{other} does not match {first}: {message.split(': ', 1)[1]}"
    library = DarkLibrary([image("lib30.fits", EXPTIME=30.0)])
    with pytest.raises(ValueError, match=r"no master dark matches .*a.fits \(8x8, exposure 2 s, gain 120, bin 1, -10 C, RAW16\); "
                                         r"have: lib30.fits \(8x8, exposure 30 s"):
        calibrate([first], library, None, None, tmp_path)


def small(path, data, **cards):
    header = fits.Header({"EXPTIME": 2.0, "GAIN": 120, "XBINNING": 1, "CCD-TEMP": -10.0, **cards})
    fits.PrimaryHDU(data, header).writeto(path)
    return path


def test_flat_pixels_that_cannot_divide_are_left_undivided_and_counted(tmp_path):
    flat = np.ones((4, 6), np.float32)
    flat[0] = 0.5
    flat[0, 2], flat[0, 4], flat[1, 0] = np.nan, 0.0, -np.inf
    light = small(tmp_path / "light.fits", np.full((4, 6), 1000, np.uint16))
    (out,) = calibrate([light], None, small(tmp_path / "flat.fits", flat), None, tmp_path)
    with fits.open(out) as hdus:
        header, data = hdus[0].header, hdus[0].data
    expected = np.full((4, 6), 1000, np.float32)
    expected[0] = [2000, 2000, 1000, 2000, 1000, 2000]
    assert np.array_equal(data, expected) and header["CALSTAT"] == "F" and header["FLATSKIP"] == 3
    assert list(header["HISTORY"]) == ["flat divided: flat.fits",
                                       "3 pixels not flat-divided: the flat not finite or < 0.05 x median"]


@pytest.mark.parametrize("kind", ["bias", "dark", "flat"])
def test_masters_combine_in_row_blocks_with_the_result_of_the_whole_stack(tmp_path, monkeypatch, kind):
    import tracemalloc

    from vorrant.orlicam.observing import calibration

    rng = np.random.default_rng(5)
    frames = rng.normal(3000, 40, (25, 192, 256))
    frames[rng.random(frames.shape) < 0.01] = 60000            # cosmic rays and hot pixels to clip
    frames[:, 10:20, :] *= np.linspace(0.5, 1.5, 25)[:, None, None]   # a band every frame disagrees on
    paths = [small(tmp_path / f"{i}.fits", f.astype(np.uint16), FILTER="L") for i, f in enumerate(frames)]
    bias = small(tmp_path / "bias.fits", np.full((192, 256), 500, np.float32))
    monkeypatch.setattr(calibration, "_BLOCK_BYTES", 25 * 256 * 4 * 7)   # 7 rows of the stack at a time
    tracemalloc.start()
    made = make_master(kind, paths, tmp_path / "master.fits", bias=bias if kind == "flat" else None)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    stack = frames.astype(np.uint16).astype(np.float32)
    if kind == "flat":
        stack = (stack - 500) / np.median(stack - 500, axis=(1, 2))[:, None, None].astype(np.float32)
    whole = calibration.combine(stack)
    whole = whole / np.float32(np.median(whole)) if kind == "flat" else whole
    assert np.array_equal(fits.getdata(tmp_path / "master.fits"), whole) and np.array_equal(made.data, whole)
    # The master, a frame being read, a block of the stack being clipped, and headers and such: not the stack.
    frame = 192 * 256 * 4
    assert peak < 3 * frame + 12 * calibration._BLOCK_BYTES + 2**20, (peak, stack.nbytes)


def test_unreadable_or_repeated_files_are_one_line_naming_the_file(tmp_path):
    good = small(tmp_path / "good.fits", np.full((8, 8), 100, np.uint16))
    (tmp_path / "junk.fits").write_text("SIMPLE? no, a shopping list\n")
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "cut.fits").write_bytes(good.read_bytes()[:2880 + 64])
    cases = [
        (["master", "dark", "good.fits", "lib/cut.fits", "-o", "m1.fits"], "lib/cut.fits: "),
        (["master", "dark", "good.fits", "junk.fits", "-o", "m2.fits"], "junk.fits: "),
        (["calibrate", "good.fits", "--flat", "junk.fits", "-o", "."], "junk.fits: "),
        (["calibrate", "good.fits", "--dark", "lib"], "lib/cut.fits: "),
        (["master", "dark", "good.fits", "./good.fits", "-o", "m3.fits"], "./good.fits is good.fits given again"),
    ]
    for argv, start in cases:
        run = subprocess.run([ORLICAM, *argv], cwd=tmp_path, env=env_for(tmp_path), capture_output=True, text=True,
                             timeout=60)
        assert (run.returncode, run.stderr.count("\n")) == (1, 1), (argv, run.stderr)
        assert run.stderr.startswith(f"orlicam: error: {start}"), (argv, run.stderr)
    assert sorted(p.name for p in tmp_path.glob("*.fits")) == ["good.fits", "junk.fits"]


# --- snap and stream with the same labels, cooling and warming -------------------------

def orlicam(tmp_path, *args):
    run = subprocess.run([ORLICAM, *map(str, args)], cwd=tmp_path, env=env_for(tmp_path), capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_snap_and_stream_cool_first_and_label_their_files(tmp_path):
    out = orlicam(tmp_path, "snap", "294MM", "-e", "10ms", "--roi", "64x48", "--cool-to", "-5", "--settle", "1s",
                  "--object", "NGC 7000", "--type", "flat", "--filter", "R", "-o", "{date}/{type}_{object}_{filter}_{temp}_{n:02}.fits")
    assert "ZWO ASI294MM Pro GPS Simulator: -5.0 C, steady for 1 s" in out
    (path,) = tmp_path.glob("20??-??-??/Flat_NGC7000_R_-5C_01.fits")
    header = fits.getheader(path)
    assert [header.get(k) for k in ("IMAGETYP", "FILTER", "TELESCOP", "OBSERVER", "OBJECT", "CCD-TEMP")] == \
        ["Flat Field", "R", "80ED", "Ada", None, -5.0]

    orlicam(tmp_path, "stream", "1", "-e", "1ms", "--roi", "64x48", "--frames", "5", "--object", "M 42", "-o", "cube.fits")
    with fits.open(tmp_path / "cube.fits") as hdus:
        assert hdus[0].header["OBJECT"] == "M 42" and hdus[0].data.shape == (5, 48, 64)
        times = hdus["TIMES"].data
        assert list(times["FRAME"]) == [1, 2, 3, 4, 5] and times["DATE_OBS"][0] == hdus[0].header["DATE-OBS"]
        assert list(times["DATE_OBS"]) == sorted(times["DATE_OBS"]) and len(set(times["DATE_OBS"])) == 5

    orlicam(tmp_path, "stream", "1", "-e", "1ms", "-g", "150", "--roi", "64x48", "--frames", "3", "-o", "v.ser")
    side = json.loads((tmp_path / "v.ser.json").read_text())
    assert {k: side[k] for k in ("file", "frames", "camera", "gain", "format")} == \
        {"file": "v.ser", "frames": 3, "camera": "ZWO ASI294MM Pro GPS Simulator", "gain": 150, "format": "RAW8"}
    assert side["temperature_c"] is not None and side["target"] == {"OBJECT": "none", "TELESCOP": "80ED", "OBSERVER": "Ada"}


def test_warm_ramps_the_set_point_up_before_switching_off(cam1):
    from vorrant.orlicam.observing.steps import warm_up

    simulator.set_time_scale(1000)
    cam1.cool_to(-10, timeout=60)
    simulator.record_calls(True)
    seen = []
    end = warm_up(cam1, 10.0, seen.append, interval=0.1)   # 10 C a second
    set_points = [args[2] for name, args in simulator.calls()
                  if name == "ASISetControlValue" and args[1] == 16]   # ASI_TARGET_TEMP
    assert set_points == sorted(set_points) and set_points[0] <= -9 and set_points[-1] >= 20
    assert len(set(set_points)) >= 5 and not cam1.cooler_on and end >= 19


# --- resuming, damaged journals, checks before the first exposure ----------------------

SETTINGS_PLAN = """\
[camera]
camera = "294"

[[frames]]
type = "light"
count = 2
exposure = "10ms"
gain = 200
offset = 20
bin = 4
format = "RAW16"

[[frames]]
type = "bias"
count = 2
bin = 4
"""


def sequence(tmp_path, *args):
    return subprocess.run([ORLICAM, "sequence", "plan.toml", "-o", "out", *args], cwd=tmp_path, env=env_for(tmp_path),
                          capture_output=True, text=True, timeout=120)


def cut_after_lights(tmp_path):
    """The plan run whole, then its biases taken away with their journal lines: as if killed after the lights."""
    (tmp_path / "plan.toml").write_text(SETTINGS_PLAN)
    assert sequence(tmp_path).returncode == 0
    return drop_biases(tmp_path / "out")


def drop_biases(folder):
    for path in folder.glob("Bias_*.fits"):
        path.unlink()
    lines = (folder / "orlicam-sequence-plan.jsonl").read_text().splitlines(keepends=True)
    (folder / "orlicam-sequence-plan.jsonl").write_text("".join(l for l in lines if '"entry": 1' not in l))
    return folder


def test_a_resumed_plan_takes_each_frame_with_the_settings_of_a_straight_run(tmp_path):
    folder = cut_after_lights(tmp_path)
    straight = {k: fits.getheader(next((tmp_path / "out").glob("Light_*.fits")))[k] for k in ("GAIN", "OFFSET")}
    resumed = sequence(tmp_path, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert [[fits.getheader(p)[k] for k in ("GAIN", "OFFSET", "BITPIX")] for p in sorted(folder.glob("Bias_*.fits"))] \
        == [[straight["GAIN"], straight["OFFSET"], 16]] * 2
    assert {r["settings"]["gain"] for r in journal(folder)} == {200}
    # A journal whose frames were taken otherwise than the plan would take them now: said, and nothing taken.
    path = drop_biases(folder) / "orlicam-sequence-plan.jsonl"
    path.write_text(path.read_text().replace('"gain": 200', '"gain": 300'))
    refused = sequence(tmp_path, "--resume")
    assert (refused.returncode, refused.stderr.count("\n")) == (1, 1), refused.stderr
    assert "plan.toml:4: light frames taken with gain 300, the plan now gives gain 200" in refused.stderr
    assert not list(folder.glob("Bias_*.fits"))


@pytest.mark.parametrize("damage, status, said", [
    ("lost", 0, "the journal is missing: 2 frames of the plan found by their headers"),
    ("cut", 0, "ignored the last line of out/orlicam-sequence-plan.jsonl, cut short"),
    ("not a record", 1, "orlicam: error: out/orlicam-sequence-plan.jsonl:2: not a journal record: [1, 2]"),
])
def test_a_lost_or_damaged_journal_is_recovered_from_or_named(tmp_path, damage, status, said):
    folder = cut_after_lights(tmp_path)
    path = folder / "orlicam-sequence-plan.jsonl"
    if damage == "lost":
        path.unlink()
    elif damage == "cut":
        path.write_text(path.read_text() + '{"entry": 1, "n": 1, "ke')
    else:
        lines = path.read_text().splitlines(keepends=True)
        path.write_text(lines[0] + "[1, 2]\n" + "".join(lines[1:]))
    run = sequence(tmp_path, "--resume")
    assert run.returncode == status and said in run.stdout + run.stderr, run.stdout + run.stderr
    if status:
        assert run.stderr.count("\n") == 1 and not list(folder.glob("Bias_*.fits"))
        return
    assert len(list(folder.glob("Light_*.fits"))) == len(list(folder.glob("Bias_*.fits"))) == 2
    records = [json.loads(line) for line in path.read_text().splitlines()]   # every line whole again
    assert sorted((r["entry"], r["n"]) for r in records if r.get("state") == "done")[-2:] == [(1, 1), (1, 2)]


def test_two_plans_share_a_folder_each_with_its_journal_and_a_second_run_of_one_is_refused(tmp_path):
    env = env_for(tmp_path)
    for plan, camera in (("a", 0), ("b", 1)):   # the same names from both cameras
        (tmp_path / f"{plan}.toml").write_text(f"[output]\nname = '{{type}}_{{n:04}}.fits'\n[camera]\ncamera = {camera}\n"
                                               "[[frames]]\ntype = 'dark'\ncount = 8\nexposure = '1s'\n")
    runs = [subprocess.Popen([ORLICAM, "sequence", f"{p}.toml", "-o", "out"], cwd=tmp_path, env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE) for p in "ab"]
    deadline = time.monotonic() + 60
    while not list((tmp_path / "out").glob("Dark_*.fits")):
        assert time.monotonic() < deadline and all(r.poll() is None for r in runs)
        time.sleep(0.05)
    again = subprocess.run([ORLICAM, "sequence", "a.toml", "-o", "out"], cwd=tmp_path, env=env, capture_output=True,
                           text=True, timeout=60)
    assert (again.returncode, again.stderr.count("\n")) == (1, 1), again.stderr
    assert "out/orlicam-sequence-a.jsonl: the plan a.toml is running in out already (orlicam (pid " in again.stderr
    assert [r.communicate(timeout=120)[1] for r in runs] == ["", ""] and [r.returncode for r in runs] == [0, 0]
    files = {p: [json.loads(line)["file"] for line in (tmp_path / f"out/orlicam-sequence-{p}.jsonl").read_text()
                 .splitlines() if '"done"' in line] for p in "ab"}
    assert len(files["a"]) == len(files["b"]) == 8 and len(set(files["a"] + files["b"])) == 16
    assert sorted(files["a"] + files["b"]) == sorted(p.name for p in (tmp_path / "out").glob("Dark_*.fits"))
    # A night kept with the journal's former name is still resumed by its plan.
    (tmp_path / "out/orlicam-sequence-a.jsonl").rename(tmp_path / "out/orlicam-sequence.jsonl")
    for plan in "ab":
        resumed = subprocess.run([ORLICAM, "sequence", f"{plan}.toml", "-o", "out", "--resume"], cwd=tmp_path, env=env,
                                 capture_output=True, text=True, timeout=60)
        assert "nothing left to take" in resumed.stdout, resumed.stdout + resumed.stderr


def test_a_name_that_could_repeat_gets_n_said_at_dry_run_and_every_frame_is_written(tmp_path):
    (tmp_path / "plan.toml").write_text("[output]\nname = '{type}_{time}.fits'\n"
                                        "[[frames]]\ntype = 'bias'\ncount = 5\n")
    said = "names: '{type}_{time}.fits' would give two frames one name (frames of one entry, or taken within the " \
           "same second), so {n} is added: '{type}_{time}_{n:04}.fits'"
    dry = sequence(tmp_path, "--dry-run")
    assert said in dry.stdout, dry.stdout
    run = sequence(tmp_path)
    assert run.returncode == 0 and said in run.stdout, run.stdout + run.stderr
    names = sorted(p.name for p in (tmp_path / "out").glob("*.fits"))
    assert len(names) == 5 and all(re.fullmatch(r"Bias_[0-9]{6}_000[1-5]\.fits", n) for n in names), names


def test_a_wrongly_typed_header_value_met_rebuilding_the_journal_is_one_line_naming_the_file(tmp_path):
    (tmp_path / "plan.toml").write_text(SETTINGS_PLAN)
    assert sequence(tmp_path).returncode == 0
    for lost in (tmp_path / "out").glob("orlicam-sequence*.jsonl"):
        lost.unlink()
    first, second = sorted((tmp_path / "out").glob("Bias_*.fits"))
    second.unlink()
    with fits.open(first, mode="update") as hdus:
        hdus[0].header["EXPTIME"] = "3.2e-05"
    run = sequence(tmp_path, "--resume")
    assert (run.returncode, run.stderr) == (1, f"orlicam: error: out/{first.name}: EXPTIME is '3.2e-05' in its header, "
                                               "not a number; the journal is rebuilt from the frames' headers: mend the "
                                               "card or move the file aside, and --resume again\n")


@pytest.mark.parametrize("entry, message", [
    ("exposure = '10ms'\ngain = 99999", "plan.toml:22: [[frames]] gain: 99999 is outside 0 to 570"),
    ("exposure = '3000s'", "plan.toml:21: [[frames]] exposure: 3000 s is outside 32 us to 2000 s"),
    ("exposure = 1e308", "plan.toml:21: [[frames]] exposure: 1e+308 s is outside 32 us to 2000 s"),
    ("exposure = '10ms'\noffset = 999", "plan.toml:22: [[frames]] offset: 999 is outside 0 to 250"),
    ("exposure = '10ms'\nbin = 5", "plan.toml:22: [[frames]] bin: 5 is not one of 1, 2, 3, 4"),
])
def test_what_the_camera_refuses_is_refused_before_the_first_exposure(tmp_path, entry, message):
    (tmp_path / "plan.toml").write_text(SETTINGS_PLAN + f"\n[[frames]]\ntype = 'dark'\ncount = 1\n{entry}\n")
    for args in (("--dry-run",), ()):
        run = sequence(tmp_path, *args)
        assert (run.returncode, run.stderr.count("\n")) == (1, 1), run.stdout + run.stderr
        assert run.stderr.startswith(f"orlicam: error: {message} on ZWO ASI294MM Pro GPS Simulator"), run.stderr
        assert not list(tmp_path.glob("out/*.fits"))


@pytest.mark.parametrize("name, object, result", [
    ("{object}/{type}_{n:02}.fits", "..", "out/-/Light_01.fits"),
    ("{object}/{type}_{n:02}.fits", ".", "out/-/Light_01.fits"),
    ("{filter}../{type}_{n:02}.fits", "M 42", "gives '../Light_01.fits', outside the output folder"),
    ("@/{type}_{n:02}.fits", "M 42", "gives '@/Light_01.fits', outside the output folder"),
])
def test_every_name_of_a_plan_stays_inside_its_output_folder(tmp_path, name, object, result):
    name, result = name.replace("@", str(tmp_path / "abs")), result.replace("@", str(tmp_path / "abs"))
    (tmp_path / "plan.toml").write_text(f"[output]\nname = '{name}'\n[target]\nobject = '{object}'\n"
                                        "[[frames]]\ntype = 'light'\ncount = 1\nexposure = '1ms'\n")
    run = sequence(tmp_path)
    if result.startswith("out/"):
        assert run.returncode == 0, run.stderr
        assert [str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.fits")] == [result]
    else:
        assert (run.returncode, run.stderr.count("\n")) == (1, 1), run.stderr
        assert run.stderr.startswith("orlicam: error: plan.toml:2: [output] name: ")
        assert run.stderr.endswith(f"{result}; names are relative, without '..'\n") and not list(tmp_path.rglob("*.fits"))


def test_auto_flats_without_light_give_up_after_two_test_frames_and_the_camera_warms_up(tmp_path):
    from vorrant.orlicam.observing.sequence import run_plan

    plan = tmp_path / "flats.toml"
    plan.write_text('[camera]\ncamera = 1\ncool_to = -5\nsettle = "1s"\nwarm = true\nwarm_rate = "600C/min"\n\n'
                    '[[frames]]\ntype = "flat"\ncount = 2\nexposure = "auto"\nbin = 2\n')
    simulator.set_time_scale(1000)
    simulator.set_light_panel(1, 0)
    simulator.record_calls(True)
    said = []
    with pytest.raises(ValueError, match=r"^flats: no light: 10 s gives .*; is the flat panel on and the telescope's cap off\?$"):
        run_plan(load_plan(plan), tmp_path / "night", False, lambda text: None, said.append)
    calls = simulator.calls()
    exposures = [args[1] for name, args in calls if name == "ASIStartExposure"]
    # Three dark frames timing a frame's overhead for the estimated end, the bias frame (dark), then two test frames.
    assert exposures == [1, 1, 1, 1, 0, 0]
    assert said[-1].startswith("ZWO ASI294MM Pro GPS Simulator: cooler off at ")
    assert [args[2] for name, args in calls if name == "ASISetControlValue" and args[1] == 17][-1] == 0  # ASI_COOLER_ON
