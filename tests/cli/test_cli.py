"""The orlicam command line, run as a subprocess against the simulated cameras."""
import importlib
import json
import os
import pty
import re
import signal
import subprocess
import sys
import time
from datetime import UTC, datetime, timedelta

import click
import numpy as np
import pytest
from astropy.io import fits as afits

from files_support import read_grey_bmp, read_ser
from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import ControlType

ORLICAM = os.path.join(os.path.dirname(sys.executable), "orlicam")


def run(*args, timeout=60, **kwargs):
    return subprocess.run([ORLICAM, *map(str, args)], capture_output=True, text=True, timeout=timeout, **kwargs)


def run_with_simulator(setup, *args, timeout=60):
    """The command line in a child whose simulator gets `setup` (Python source) first."""
    code = f"from vorrant.orlicam import simulator\n{setup}\nfrom vorrant.orlicam.cli import main\nmain({list(map(str, args))!r})"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def one_error_line(result):
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in result.stderr, result.stderr
    assert lines[0].startswith("orlicam: error: ")
    return lines[0].removeprefix("orlicam: error: ")


def test_list_names_every_camera_and_json_matches_the_sdk():
    plain, as_json = run("list"), run("list", "--json")
    assert (plain.returncode, as_json.returncode) == (0, 0)
    found = json.loads(as_json.stdout)
    assert [c["name"] for c in found] == ["ZWO ASI462MC Simulator", "ZWO ASI294MM Pro GPS Simulator"]
    for entry in found:
        info = korvi.get_camera_property(entry["index"])
        assert (entry["max_width"], entry["max_height"], entry["bit_depth"], entry["is_color"], entry["cooled"]) == (
            info.max_width, info.max_height, info.bit_depth, bool(info.is_color_camera), bool(info.is_cooler_cam))
    assert plain.stdout.splitlines()[0].startswith("0: ZWO ASI462MC Simulator  (1936x1096 colour RGGB 12-bit")
    assert plain.stdout.splitlines()[1].startswith("1: ZWO ASI294MM Pro GPS Simulator  (4144x2822 mono 14-bit")


def test_info_by_name_and_controls_as_json(opened):
    # The commands first: one program at a time has the camera open.
    info = run("info", "294MM", "--json")
    controls = run("controls", "1", "--json")
    # Piped, the table keeps one whole line per control however narrow the terminal says it is.
    table = run("controls", "1", env={**os.environ, "COLUMNS": "40"}).stdout.splitlines()
    opened(1)
    assert info.returncode == 0
    described = json.loads(info.stdout)
    assert (described["index"], described["serial"]) == (1, korvi.get_serial_number(1).id)
    # At the default gain (120, 12 dB), in the RAW16 words (14 bits shifted up by 2) a freshly
    # opened camera delivers.
    assert described["electrons_per_adu"] == pytest.approx(3.92 / 10**0.6 / 2**2, rel=1e-6)
    assert controls.returncode == 0
    by_name = {c["name"]: c for c in json.loads(controls.stdout)}
    gain = next(korvi.get_control_caps(1, i) for i in range(korvi.get_num_of_controls(1))
                if korvi.get_control_caps(1, i).control_type == ControlType.ASI_GAIN)
    assert (by_name["gain"]["min"], by_name["gain"]["max"], by_name["gain"]["value"]) == (
        gain.min_value, gain.max_value, korvi.get_control_value(1, ControlType.ASI_GAIN)[0])
    assert [cell.strip() for cell in re.split("[┃]", table[1])[1:-1]] == [
        "name", "value", "range", "unit", "auto", "writable"]
    rows = {cells[0]: cells[1:] for cells in ([c.strip() for c in line.split("│")[1:-1]] for line in table[3:-1])}
    assert list(rows) == list(by_name)
    assert rows["exposure"] == ["0.01", "3.2e-05 .. 2000", "s", "off", "yes"]
    assert rows["temperature"][1:] == ["-50 .. 100", "°C", "-", "no"]


@pytest.mark.parametrize("args, status, message", [
    (["snap", "7"], 1, "no camera at index 7; 2 connected: 0: ZWO ASI462MC Simulator; "
                       "1: ZWO ASI294MM Pro GPS Simulator"),
    (["info", "zwo"], 1, "'zwo' matches 2 cameras (0: ZWO ASI462MC Simulator; 1: ZWO ASI294MM Pro GPS Simulator); "
                         "give more of the name or the index"),
    (["snap", "0", "--gain", "900"], 1, "gain must be between 0 and 570 on ZWO ASI462MC Simulator (camera id 0), "
                                        "got 900"),
    (["snap", "0", "--roi", "64x"], 2, "Invalid value for '--roi': '64x' is not a region "
                                       "(WxH or WxH+X+Y, e.g. 640x480+100+50)"),
    (["snap", "0", "--roi", "641x480"], 1, "the ROI width must be a multiple of 8, got 641"),
    (["snap", "0", "--roi", "640x480+1300+0"], 1, "the ROI must lie inside the sensor, which is 1936 x 1096 pixels "
                                                  "at bin 1; got x + width = 1940, y + height = 480"),
    (["snap", "0", "-e", "2parsec"], 2, "Invalid value for '-e' / '--exposure': '2parsec' is not a duration "
                                        "(examples: 2s, 500ms, 250us)"),
    (["snap", "0", "-o", "/nonexistent/m42.fits"], 1, "cannot write '/nonexistent/m42.fits': "
                                                     "folder '/nonexistent' does not exist"),
    (["snap", "0", "-n", "2", "-o", "m42.fits"], 1, "-o 'm42.fits' names one file for 2 frames: put {n} in it, "
                                                    "e.g. m42_{n:03}.fits"),
    (["snap", "0", "--bin", "5"], 1, "bin 5 is not supported by ZWO ASI462MC Simulator (camera id 0); "
                                     "supported: 1, 2, 3, 4"),
    (["snap", "1", "-f", "RGB24"], 1, "image format RGB24 is not supported by ZWO ASI294MM Pro GPS Simulator "
                                      "(camera id 1); supported: RAW8, RAW16, Y8"),
    (["stream", "0", "-o", "v.ser"], 2, "give --frames or --duration"),
    (["stream", "0", "--frames", "1", "-o", "v.avi"], 2, "Invalid value for -o: 'v.avi' is neither .ser nor .fits"),
    (["cool", "0", "--to", "-10"], 1, "ZWO ASI462MC Simulator has no cooler"),
    (["guide", "0", "up", "1s"], 2, "Invalid value for 'DIRECTION': 'up' is not one of 'north', 'south', 'east', "
                                    "'west'."),
    (["guide", "0", "north", "0ms"], 2, "Invalid value for 'DURATION': '0ms' is not a positive duration "
                                        "(examples: 2s, 500ms, 250us)"),
    (["stream", "0", "--duration", "0s", "-o", "v.ser"], 2, "Invalid value for '--duration': '0s' is not a positive "
                                                            "duration (examples: 2s, 500ms, 250us)"),
    (["cool", "1", "--to", "0", "--timeout", "0s"], 2, "Invalid value for '--timeout': '0s' is not a positive "
                                                       "duration (examples: 2s, 500ms, 250us)"),
    (["snap", "0", "-e", "30s", "-o", "/"], 1, "cannot write '/': it is a folder"),
    (["live", "1", "--port", "0", "--folder", "missing"], 1, "missing: no such folder for the saves"),
])
def test_user_errors_print_one_line_and_exit_non_zero(tmp_path, args, status, message):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == status
    assert one_error_line(result) == message
    assert list(tmp_path.iterdir()) == []


# Refused before the camera is used: a 30 s exposure (or a whole recording) is not lost to a bad path.
# sysfs takes no new file, even from root.
@pytest.mark.parametrize("args, target", [
    (["snap", "0", "-e", "30s", "-o", "/sys/orlicam.fits"], "/sys/orlicam.fits"),
    (["snap", "0", "-e", "30s", "--png", "-o", "x.fits"], "x.png"),
    (["dark", "0", "-e", "30s", "-o", "/sys/orlicam.bmp"], "/sys/orlicam.bmp"),
    (["stream", "0", "--frames", "5", "-o", "/sys/orlicam.ser"], "/sys/orlicam.ser"),
    (["snap", "0", "-e", "30s", "-o", "notes.txt/m42.fits"], "notes.txt/m42.fits"),
])
def test_unwritable_output_is_refused_before_capturing(tmp_path, args, target):
    (tmp_path / "x.png").mkdir()
    (tmp_path / "notes.txt").write_text("")
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1
    message = one_error_line(result)
    assert message.startswith(f"cannot write '{target}': ")
    if target.startswith("notes"):
        assert message.endswith(": 'notes.txt' is not a folder")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.txt", "x.png"]


def test_snap_writes_fits_with_the_camera_state_and_png_previews(tmp_path):
    began = datetime.now(UTC)
    result = run("snap", "1", "--exposure", "50ms", "--gain", "150", "--offset", "20", "--bin", "2",
                 "--format", "RAW16", "--roi", "512x256+16+8", "--count", "2", "-o", tmp_path / "m42_{n:03}.fits",
                 "--png")
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m42_001.fits", "m42_001.png", "m42_002.fits",
                                                          "m42_002.png"]
    info = korvi.get_camera_property(1)
    korvi.open_camera(1)
    serial = korvi.get_serial_number(1).id
    temperature = korvi.get_control_value(1, ControlType.ASI_TEMPERATURE)[0] / 10
    target = korvi.get_control_value(1, ControlType.ASI_TARGET_TEMP)[0]
    with afits.open(tmp_path / "m42_001.fits") as hdul:
        header, data = hdul[0].header, hdul[0].data
        assert {k: header[k] for k in ("NAXIS1", "NAXIS2", "BITPIX", "BZERO", "EXPTIME", "EXPOSURE", "GAIN",
                                       "OFFSET", "XBINNING", "XORGSUBF", "YORGSUBF", "INSTRUME", "CAMSER",
                                       "IMAGETYP", "ROWORDER")} == {
            "NAXIS1": 512, "NAXIS2": 256, "BITPIX": 16, "BZERO": 32768, "EXPTIME": 0.05, "EXPOSURE": 0.05,
            "GAIN": 150, "OFFSET": 20, "XBINNING": 2, "XORGSUBF": 16, "YORGSUBF": 8, "INSTRUME": info.name,
            "CAMSER": serial, "IMAGETYP": "Light Frame", "ROWORDER": "TOP-DOWN"}
        assert header["XPIXSZ"] == pytest.approx(2 * info.pixel_size) and header["EGAIN"] == pytest.approx(
            info.elec_per_adu / 10 ** (150 / 200) / 4 * 2**2, rel=1e-6)   # 15 dB, 14 bits in 16, bin 2
        assert header["CCD-TEMP"] == pytest.approx(temperature, abs=0.5) and header["SET-TEMP"] == target
        start = datetime.strptime(header["DATE-OBS"], "%Y-%m-%dT%H:%M:%S.%f").replace(tzinfo=UTC)
        assert began - timedelta(seconds=1) <= start <= datetime.now(UTC)
        assert "BAYERPAT" not in header and data.std() > 0
    assert result.stdout.splitlines()[0] == f"{tmp_path / 'm42_001.fits'}: 512x256 RAW16, 0.05 s (+ m42_001.png)"


def on_terminal(*args):
    """The command's output on a pseudo-terminal, escape sequences removed, cut at CR and LF."""
    main, child = pty.openpty()
    proc = subprocess.Popen([ORLICAM, *map(str, args)], stdout=child, stderr=child, close_fds=True,
                            env={**os.environ, "TERM": "xterm", "COLUMNS": "120"})
    os.close(child)
    chunks = []
    try:
        while chunk := os.read(main, 65536):
            chunks.append(chunk)
    except OSError:  # EIO once the child has gone
        pass
    finally:
        os.close(main)
        assert proc.wait(timeout=30) == 0
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", b"".join(chunks).decode())
    return [line.strip() for line in re.split(r"[\r\n]", text) if line.strip()]


def test_snap_on_a_terminal_shows_each_exposure_under_way_and_each_file_on_its_own_line(tmp_path):
    lines = on_terminal("snap", "0", "-e", "300ms", "-n", "2", "-o", tmp_path / "s_{n}.fits")
    for n in (1, 2):
        assert any(line.endswith(f"exposure of 0.3 s, {n} of 2") for line in lines)
        assert f"{tmp_path / f's_{n}.fits'}: 1936x1096 RAW16, 0.3 s" in lines


def test_snap_dark_of_a_colour_camera_states_dark_and_bayer(tmp_path):
    result = run("snap", "0", "-e", "10ms", "--dark", "-f", "RAW8", "--roi", "64x32+3+2", "-o", tmp_path / "d.fits")
    assert result.returncode == 0, result.stderr
    header = afits.getheader(tmp_path / "d.fits")
    # RGGB sensor, region from column 3, row 2: the first stored pixel is a green one of a red row.
    assert (header["IMAGETYP"], header["BAYERPAT"], header["XBAYROFF"], header["YBAYROFF"]) == (
        "Dark Frame", "GRBG", 0, 0)


def test_stream_to_ser_reports_its_rate_and_the_file_reads_back(tmp_path):
    result = run("stream", "0", "-e", "1ms", "--roi", "320x240", "-f", "RAW8", "--frames", "60", "-o",
                 tmp_path / "v.ser", "--observer", "Ann")
    assert result.returncode == 0, result.stderr
    assert "\r" not in result.stdout
    assert re.fullmatch(rf"{re.escape(str(tmp_path / 'v.ser'))}: 60 frames, [0-9.]+ fps, [0-9.]+ MB/s, "
                        rf"\d+ dropped in [0-9.]+ s, RAW8", result.stdout.splitlines()[-1])
    head, frames, trailer = read_ser(tmp_path / "v.ser")
    assert (head["frame_count"], head["width"], head["height"], head["depth"], head["color_id"]) == (60, 320, 240, 8, 8)
    assert head["observer"].rstrip(b"\0") == b"Ann" and head["instrument"].rstrip(b"\0") == b"ZWO ASI462MC Simulator"
    assert len(frames) == 60 and all(f.std() > 0 for f in frames)
    assert len(trailer) == 60 and all(b > a for a, b in zip(trailer, trailer[1:]))
    assert trailer[0] >= head["date_time_utc"]


def test_stream_duration_to_a_fits_cube_with_live_figures_as_plain_lines(tmp_path):
    result = run("stream", "1", "-e", "2ms", "--roi", "256x128", "-f", "RAW16", "--duration", "2.5s", "-o",
                 tmp_path / "c.fits")
    assert result.returncode == 0, result.stderr
    *live, last = result.stdout.splitlines()
    assert live[0] == "recording ..." and 1 <= len(live[1:]) <= 3 and "\r" not in result.stdout
    assert all(re.fullmatch(r"\d+ frames, [0-9.]+ fps, [0-9.]+ MB/s, \d+ dropped", line) for line in live[1:])
    frames = int(re.search(r": (\d+) frames", last).group(1))
    with afits.open(tmp_path / "c.fits") as hdul:
        assert hdul[0].data.shape == (frames, 128, 256) and frames > 5


def frames_in(path):
    """The frames of a SER file (its trailer checked) or of a FITS cube, read back."""
    if path.suffix == ".ser":
        head, frames, trailer = read_ser(path)
        assert len(frames) == len(trailer) == head["frame_count"]
        assert path.stat().st_size == 178 + len(frames) * (320 * 240 + 8)
        assert all(b > a for a, b in zip(trailer, trailer[1:]))
        return frames
    with afits.open(path) as hdul:
        hdul.verify("exception")
        return list(hdul[0].data)


# Ctrl-C, and the signals a service manager or a closed terminal send, end the recording
# with a complete file and the status a shell gives a process ended by that signal.
@pytest.mark.parametrize("signum, name", [(signal.SIGINT, "v.ser"), (signal.SIGTERM, "v.ser"),
                                          (signal.SIGTERM, "v.fits"), (signal.SIGHUP, "v.ser")])
def test_interrupted_stream_leaves_a_valid_file_with_the_frames_so_far(tmp_path, signum, name):
    path = tmp_path / name
    proc = subprocess.Popen([ORLICAM, "stream", "0", "-e", "1ms", "--roi", "320x240", "-f", "RAW8",
                             "--duration", "60s", "-o", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        deadline = time.monotonic() + 30
        while (not path.exists() or path.stat().st_size < 20 * 320 * 240 + 5760) and time.monotonic() < deadline:
            time.sleep(0.05)
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 128 + signum, err
    frames = frames_in(path)
    assert len(frames) >= 20 and all(f.shape == (240, 320) and f.std() > 0 for f in frames)
    assert out.splitlines()[-1].startswith(f"interrupted: {path}: {len(frames)} frames, ")


def test_an_interrupt_just_after_a_write_still_counts_that_frame(tmp_path, cam0):
    # The summary must agree with the file even when Ctrl-C lands between the write and the tally.
    from vorrant.orlicam.cli.capture import _record
    from vorrant.orlicam.files.ser import SerWriter

    class CutAfterThird(SerWriter):
        def write(self, frame):
            super().write(frame)
            if self.count == 3:
                raise KeyboardInterrupt

    cam0.set_roi(320, 240, image_format="RAW8")
    path = tmp_path / "cut.ser"
    stats = _record(cam0, CutAfterThird(path), None, None)
    assert stats.interrupted and stats.count == 3 == len(frames_in(path))
    assert stats.bytes == 3 * 320 * 240


def test_main_in_process_puts_the_signal_handlers_back(capsys):
    from vorrant.orlicam.cli import main

    numbers = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    before = [signal.getsignal(number) for number in numbers]
    with pytest.raises(SystemExit) as leaving:
        main(["list"])
    assert leaving.value.code == 0 and capsys.readouterr().out.startswith("0: ZWO ASI462MC Simulator")
    assert [signal.getsignal(number) for number in numbers] == before


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_second_signal_cannot_cut_short_the_closing_of_the_file(signum):
    from vorrant.orlicam.cli import console

    before = signal.getsignal(signum)
    with console.stop_signals():
        with pytest.raises(KeyboardInterrupt):
            os.kill(os.getpid(), signum)
            time.sleep(1)  # the handler runs at the next bytecode boundary
        assert signal.getsignal(signum) == signal.SIG_IGN
        os.kill(os.getpid(), signum)   # a repeat while the file closes: ignored
        time.sleep(0.01)
        assert console.interrupted_status() == 128 + signum
    assert signal.getsignal(signum) is before


def test_dark_bmp_matches_the_simulators_own_dark_and_is_accepted(tmp_path, opened):
    result = run("dark", "0", "-e", "2s", "-g", "300", "-o", tmp_path / "ours.bmp")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{tmp_path / 'ours.bmp'}: 1936x1096 RAW8 dark, 2 s, gain 300\n"
    ours, _ = read_grey_bmp(tmp_path / "ours.bmp")
    opened(0)
    korvi.set_control_value(0, ControlType.ASI_GAIN, 300, False)
    simulator.write_dark_bmp(0, str(tmp_path / "theirs.bmp"), 2_000_000)
    theirs, _ = read_grey_bmp(tmp_path / "theirs.bmp")
    assert ours.shape == theirs.shape == (1096, 1936)
    hot = theirs > np.percentile(theirs, 99.99)  # hot pixels sit at fixed sensor positions
    assert hot.sum() > 10 and np.mean(ours[hot] > np.percentile(ours, 99.9)) > 0.9
    korvi.enable_dark_subtract(0, str(tmp_path / "ours.bmp"))


def test_guide_sends_one_pulse():
    result = run("guide", "0", "north", "300ms")
    assert (result.returncode, result.stdout) == (0, "ZWO ASI462MC Simulator: guided north for 300 ms\n")


def test_cool_reports_plain_lines_and_exits_when_within_tolerance():
    result = run_with_simulator("simulator.set_time_scale(120)", "cool", "1", "--to", "-10", "--timeout", "60s")
    assert result.returncode == 0, result.stderr
    assert "\r" not in result.stdout
    lines = result.stdout.splitlines()
    assert lines[0] == "cooling ZWO ASI294MM Pro GPS Simulator to -10 C"
    final = float(re.fullmatch(r"ZWO ASI294MM Pro GPS Simulator: (-?[0-9.]+) C \(target -10 C\)", lines[-1]).group(1))
    assert abs(final + 10) <= 1.0


def test_cool_times_out_with_one_line_and_warm_turns_the_cooler_off():
    result = run("cool", "1", "--to", "-30", "--timeout", "1s")
    assert result.returncode == 1
    assert re.fullmatch(r"ZWO ASI294MM Pro GPS Simulator: the sensor is at -?[0-9.]+ °C after 1 s, target -30 ± 1 °C",
                        one_error_line(result))
    warm = run("warm", "1")
    assert warm.returncode == 0 and re.fullmatch(r"ZWO ASI294MM Pro GPS Simulator: cooler off at -?[0-9.]+ C\n",
                                                 warm.stdout)


def test_module_entry_point_and_version():
    result = subprocess.run([sys.executable, "-m", "vorrant.orlicam", "--version"], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "orlicam, version 0.1.0\n")


def test_serve_reports_a_busy_port_in_one_line():
    pytest.importorskip("vorrant.orlicam.alpaca")
    import socket

    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        result = run("serve", "--port", port, "--no-discovery", timeout=30)
    assert result.returncode == 1
    assert one_error_line(result).startswith(f"cannot serve on 127.0.0.1:{port}: ")


def test_snap_with_a_gps_fix_takes_time_and_position_from_the_camera(tmp_path):
    setup = "simulator.set_gps_fix(1, True); simulator.set_gps_position(1, 47.3769, 8.5417, 408)"
    result = run_with_simulator(setup, "snap", "1", "-e", "20ms", "--roi", "64x32", "-o", tmp_path / "g.fits")
    assert result.returncode == 0, result.stderr
    header = afits.getheader(tmp_path / "g.fits")
    assert (header["SITELAT"], header["SITELONG"], header["SITEELEV"]) == (47.3769, 8.5417, 408)
    assert header["GPSSATS"] > 0 and header["TIMESYS"] == "UTC"
    assert header.comments["DATE-OBS"] == "exposure start, UTC (GPS)"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}", header["DATE-OBS"])


def test_frame_to_fits_from_the_package(tmp_path):
    from vorrant.orlicam import Camera
    from vorrant.orlicam.files.ser import write_ser

    with Camera(0) as cam:
        cam.set_roi(64, 32, image_format="RGB24")
        frame = cam.capture(0.001)
    frame.to_fits(tmp_path / "f.fits")
    with afits.open(tmp_path / "f.fits") as hdul:
        np.testing.assert_array_equal(np.moveaxis(hdul[0].data, 0, -1), frame.data)
    assert write_ser(tmp_path / "f.ser", [frame]) == 1
    np.testing.assert_array_equal(read_ser(tmp_path / "f.ser")[1][0], frame.data)


@pytest.mark.parametrize("text, seconds", [
    ("2s", 2.0), ("500ms", 0.5), ("250us", 250e-6), ("250µs", 250e-6), ("1.5min", 90.0), ("2m", 120.0),
    ("0.25", 0.25), ("1e-3s", 1e-3), (" 3 s ", 3.0), ("1h", 3600.0),
])
def test_durations_take_units(text, seconds):
    from vorrant.orlicam.camera.values import parse_duration
    assert parse_duration(text) == pytest.approx(seconds, rel=1e-12)


@pytest.mark.parametrize("text, region", [
    ("640x480", (640, 480, None, None)), ("640X480+100+50", (640, 480, 100, 50)), (" 8x2+0+0 ", (8, 2, 0, 0)),
])
def test_regions_take_an_optional_start(text, region):
    from vorrant.orlicam.camera.values import parse_roi
    assert parse_roi(text) == region


@pytest.mark.parametrize("text", ["", "s", "2 parsec", "-1s", "1,5s", "ms500"])
def test_malformed_durations_are_refused(text):
    from vorrant.orlicam.camera.values import parse_duration
    with pytest.raises(ValueError, match=r"is not a duration \(examples: 2s, 500ms, 250us\)$"):
        parse_duration(text)


def test_camera_lost_mid_stream_reports_one_line_and_keeps_the_frames(tmp_path):
    # The camera goes once the file holds a dozen frames, however slowly the command starts.
    setup = ("import os, threading, time\n"
             "def lose():\n"
             f"    while not os.path.exists({str(tmp_path / 'v.ser')!r}) or "
             f"os.path.getsize({str(tmp_path / 'v.ser')!r}) < 178 + 12 * 320 * 240:\n"
             "        time.sleep(0.01)\n"
             "    simulator.fail_next('ASIGetVideoData', 5, 1000)\n"
             "threading.Thread(target=lose, daemon=True).start()")
    result = run_with_simulator(setup, "stream", "0", "-e", "1ms", "--roi", "320x240", "--duration", "20s",
                                "-o", tmp_path / "v.ser")
    assert result.returncode == 1
    assert one_error_line(result).startswith("CameraLost: ZWO ASI462MC Simulator (camera id 0) was lost 4 times before the stream's next frame")
    head, frames, trailer = read_ser(tmp_path / "v.ser")
    assert head["frame_count"] > 10 and len(frames) == len(trailer) == head["frame_count"]


# command -> modules it must not import (each costs start-up time a command without them pays)
NOT_IMPORTED = {
    "--help": ["rich", "numpy", "vorrant.orlicam.cli.doctor", "vorrant.orlicam.camera.doctor", "vorrant.orlicam.korvi", "vorrant.orlicam.observing.plan", "dataclasses", "logging", "json"],
    "list": ["rich", "numpy", "vorrant.orlicam.cli.doctor", "vorrant.orlicam.camera.doctor", "vorrant.orlicam.camera.streaming", "logging"],
}


@pytest.mark.parametrize("command", NOT_IMPORTED)
def test_commands_import_only_what_they_need(command):
    code = ("import sys\nfrom vorrant.orlicam import cli\n"
            f"try:\n    cli.main([{command!r}])\nexcept SystemExit:\n    pass\n"
            "print(','.join(m for m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    loaded = set(result.stdout.strip().splitlines()[-1].split(","))
    assert result.returncode == 0, result.stderr
    assert loaded.isdisjoint(NOT_IMPORTED[command]), loaded & set(NOT_IMPORTED[command])


def test_help_lists_doctor_and_dark_with_their_own_help_lines():
    listed = run("--help").stdout
    assert re.search(r"^\s+dark\s+Record the SDK's own dark subtraction file", listed, re.M), listed
    own = run("doctor", "--help").stdout
    line = re.search(r"^\s+doctor\s+(.+)$", listed, re.M)
    assert line is not None, listed
    assert " ".join(own.split()).find(line.group(1).rstrip(".").removesuffix("...").strip()) > 0


def command_tree(command, path=("orlicam",)):
    """(path, command) of the command and of every command under it, lazily loaded ones too."""
    yield path, command
    if isinstance(command, click.Group):
        ctx = click.Context(command, info_name=path[-1])
        for name in command.list_commands(ctx):
            yield from command_tree(command.get_command(ctx, name), (*path, name))


@pytest.mark.parametrize("path, command", list(command_tree(importlib.import_module("vorrant.orlicam.cli.main").cli)),
                         ids=lambda value: " ".join(value) if isinstance(value, tuple) else "")
def test_help_names_only_options_the_command_has(path, command):
    ctx = click.Context(command, info_name=path[-1])
    texts = [command.help, command.short_help, command.epilog, *(getattr(p, "help", None) for p in command.params)]
    named = set(re.findall(r"(?<![\w-])--?[a-zA-Z][\w-]*", " ".join(t for t in texts if t)))
    own = {flag for p in command.get_params(ctx) for flag in (*p.opts, *p.secondary_opts)}
    assert named <= own, f"{' '.join(path)}: {sorted(named - own)} named in its help, not options of it"


@pytest.mark.parametrize("path, command", [(p, c) for p, c in command_tree(importlib.import_module("vorrant.orlicam.cli.main").cli)
                                           if any(getattr(param.type, "name", "") == "duration" or param.metavar == "DURATION"
                                                  for param in c.params)],
                         ids=lambda value: " ".join(value) if isinstance(value, tuple) else "")
def test_every_duration_states_the_one_rule_in_its_help(path, command):
    for param in command.params:
        if getattr(param.type, "name", "") == "duration" or param.metavar == "DURATION":
            said = param.help if isinstance(param, click.Option) else command.help
            assert "a bare number is seconds" in said, (path, param.name)


def test_an_interrupted_sequence_says_how_far_it_got_and_the_command_that_goes_on(tmp_path):
    (tmp_path / "m42.toml").write_text('[camera]\ncamera = "294"\n\n[[frames]]\ntype = "light"\ncount = 8\n'
                                       'exposure = "0.3s"\nbin = 4\n\n[[frames]]\ntype = "bias"\ncount = 3\nbin = 4\n')
    night = tmp_path / "night"
    proc = subprocess.Popen([ORLICAM, "sequence", "m42.toml", "-o", "night"], cwd=tmp_path, text=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while len(list(night.glob("Light_*.fits"))) < 2:
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=60)[1]
    assert proc.returncode == 130
    said = re.fullmatch(r"orlicam: interrupted after (\d+) of 11 frames; go on with: (.+)", err.splitlines()[-1])
    assert said, err
    assert int(said.group(1)) == len(list(night.glob("*.fits"))) < 11
    assert said.group(2) == "orlicam sequence m42.toml -o night --resume"
    again = subprocess.run([ORLICAM, *said.group(2).split()[1:]], cwd=tmp_path, capture_output=True, text=True,
                           timeout=60)
    assert again.returncode == 0, again.stderr
    assert len(list(night.glob("*.fits"))) == 11
