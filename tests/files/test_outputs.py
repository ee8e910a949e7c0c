"""Files under kills, full disks and misuse: every complete frame stays readable, nothing
existing is destroyed, and output names are checked before the camera is used."""
import os
import resource
import shutil
import signal
import subprocess
import time
import warnings
from datetime import UTC, datetime, timedelta

import numpy as np
import pytest
from astropy.io import fits as afits

from files_support import frame, noise, read_ser
from cli.test_cli import ORLICAM, one_error_line, run

from vorrant.orlicam.files.fits import FitsCubeWriter
from vorrant.orlicam.files.ser import SerWriter

W, H = 320, 240
FRAME = W * H


def read_back(path, killed=False):
    """The frames of a SER file or a FITS cube, read back by an independent reader; a FITS
    file must open without a single warning."""
    if path.suffix == ".ser":
        head, frames, _ = read_ser(path, killed)
        assert len(frames) == head["frame_count"]
        return frames
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with afits.open(path) as hdul:
            hdul.verify("exception")
            frames = list(hdul[0].data)
            # A cube closed in good order carries each frame's start time in a table.
            assert [h.name for h in hdul[1:]] in ([], ["TIMES"])
            assert len(hdul) == 1 or len(hdul["TIMES"].data) == len(frames)
            return frames


def stream_child(path, preexec=None):
    return subprocess.Popen([ORLICAM, "stream", "0", "-e", "5ms", "--roi", f"{W}x{H}", "-f", "RAW8",
                             "--duration", "60s", "-o", str(path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec)


def small_disk():
    # The file may grow to 2.5 MB: past that, writes fail as on a full disk (EFBIG, not a signal).
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (2_500_000, 2_500_000))


@pytest.mark.parametrize("name", ["v.ser", "v.fits"])
@pytest.mark.parametrize("fault", ["SIGKILL", "full disk"])
def test_a_killed_or_starved_recording_leaves_every_complete_frame_readable(tmp_path, name, fault):
    path = tmp_path / name
    proc = stream_child(path, small_disk if fault == "full disk" else None)
    try:
        if fault == "SIGKILL":
            deadline = time.monotonic() + 30
            while (not path.exists() or path.stat().st_size < 20 * FRAME + 5760) and time.monotonic() < deadline:
                time.sleep(0.02)
            proc.kill()
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    frames = read_back(path, killed=fault == "SIGKILL")
    assert all(f.shape == (H, W) and f.std() > 0 for f in frames)
    if fault == "SIGKILL":
        assert proc.returncode == -signal.SIGKILL and len(frames) >= 20
        return
    # The frames that fit, and an error naming the file.
    assert len(frames) == 32   # 33 frames and the header pass 2.5 MB
    assert proc.returncode == 1
    assert err.splitlines() == [f"orlicam: error: {path}: File too large ({len(frames)} frames kept in the file)"]


def make(kind, path, **options):
    return SerWriter(path, **options) if kind == "ser" else FitsCubeWriter(path, **options)


@pytest.mark.parametrize("kind", ["ser", "fits"])
@pytest.mark.parametrize("change, message", [
    (lambda p: p.unlink(), "the file was removed while it was being written"),
    (lambda p: (p.unlink(), p.write_bytes(b"theirs")), "the file was replaced while it was being written"),
    (lambda p: shutil.rmtree(p.parent), "the file was removed while it was being written"),
])
def test_a_recording_whose_file_goes_away_ends_with_an_error(tmp_path, kind, change, message):
    path = tmp_path / "sub" / f"v.{kind}"
    path.parent.mkdir()
    data = noise((8, 16), np.uint8)
    with pytest.raises(OSError) as info:
        with make(kind, path) as writer:
            writer.write(frame(data))
            change(path)
            writer.write(frame(data))
    assert (info.value.filename, info.value.strerror) == (str(path), message)
    assert not path.exists() or path.read_bytes() == b"theirs"


@pytest.mark.parametrize("write", [
    lambda p: frame(noise((8, 16), np.uint8)).to_fits(p),
    lambda p: make("ser", p),
    lambda p: make("fits", p),
])
def test_writers_refuse_an_existing_file_unless_told_to_overwrite(tmp_path, write):
    path = tmp_path / "keep"
    path.write_bytes(b"precious")
    with pytest.raises(FileExistsError):
        write(path)
    assert path.read_bytes() == b"precious"
    frame(noise((8, 16), np.uint8)).to_fits(path, overwrite=True)
    assert afits.getdata(path).shape == (8, 16)


FIELDS = ("; the fields are {n}, {object}, {type}, {filter}, {exposure}, {gain}, {offset}, {bin}, {temp}, "
          "{date}, {time}, {camera}")


# Refused with one line before the camera is used: a 30 s exposure would outlast the timeout.
@pytest.mark.parametrize("args, status, message", [
    (["snap", "0", "-o", "keep.fits"], 1, "cannot write 'keep.fits': it exists (--overwrite replaces it)"),
    (["stream", "0", "--frames", "5", "-o", "keep.ser"], 1,
     "cannot write 'keep.ser': it exists (--overwrite replaces it)"),
    (["dark", "0", "-o", "keep.fits"], 1, "cannot write 'keep.fits': it exists (--overwrite replaces it)"),
    (["snap", "0", "-o", "fifo.fits"], 1, "cannot write 'fifo.fits': it is a FIFO, not a regular file"),
    (["stream", "0", "--frames", "5", "--overwrite", "-o", "fifo.fits"], 1,
     "cannot write 'fifo.fits': it is a FIFO, not a regular file"),
    (["snap", "0", "--overwrite", "-o", "/dev/null"], 1,
     "cannot write '/dev/null': it is a character device, not a regular file"),
    (["snap", "0", "-n", "3", "-o", "x{n!s:.0}.fits"], 1,
     "-o 'x{n!s:.0}.fits': {n!s}: conversions are not part of a name" + FIELDS),
    (["snap", "0", "-o", "x{n.foo}.fits"], 1, "-o 'x{n.foo}.fits': {n.foo} is not a field" + FIELDS),
    (["snap", "0", "-o", "x{n[0]}.fits"], 1, "-o 'x{n[0]}.fits': {n[0]} is not a field" + FIELDS),
    (["snap", "0", "-o", "x{n.__class__}.fits"], 1,
     "-o 'x{n.__class__}.fits': {n.__class__} is not a field" + FIELDS),
    (["snap", "0", "-o", "x{n:>100000000000}.fits"], 1,
     "-o 'x{n:>100000000000}.fits': {n:>100000000000}: the width is at most 32" + FIELDS),
    (["snap", "0", "-o", "x{n:>1000000}.fits"], 1,
     "-o 'x{n:>1000000}.fits': {n:>1000000}: the width is at most 32" + FIELDS),
    (["snap", "0", "-o", "x{n:.3}.fits"], 1,
     "-o 'x{n:.3}.fits': {n:.3} is not a format for n (examples: {n}, {n:03})" + FIELDS),
    (["snap", "0", "-o", "x{}.fits"], 1, "-o 'x{}.fits': {} names no field" + FIELDS),
    (["snap", "0", "-o", "x{n.fits"], 1,
     "-o 'x{n.fits': expected '}' before end of string (write {{ or }} for a brace)" + FIELDS),
    (["snap", "0", "-o", "a\nb.fits"], 1, "-o 'a\\nb.fits' holds the control character '\\n'"),
    (["snap", "0", "-n", "2", "-o", "x.fits"], 1,
     "-o 'x.fits' names one file for 2 frames: put {n} in it, e.g. m42_{n:03}.fits"),
    (["dark", "0", "-o", "dark.png"], 2, "Invalid value for -o: 'dark.png' is neither .bmp nor .fits"),
    (["guide", "0", "north", "500"], 2, "Invalid value for 'DURATION': '500' is longer than a guide pulse may last "
                                        "(60 s); a bare number is seconds: 500ms for milliseconds"),
    (["guide", "0", "north", "61s"], 2,
     "Invalid value for 'DURATION': '61s' is longer than a guide pulse may last (60 s)"),
])
def test_bad_outputs_and_pulses_are_refused_in_one_line_before_the_camera_is_used(tmp_path, args, status, message):
    (tmp_path / "keep.fits").write_bytes(b"precious")
    (tmp_path / "keep.ser").write_bytes(b"precious")
    os.mkfifo(tmp_path / "fifo.fits")
    before = sorted(os.listdir(tmp_path))
    result = run(*args, *([] if args[0] == "guide" else ["-e", "30s"]), cwd=tmp_path, timeout=20)
    assert (result.returncode, one_error_line(result)) == (status, message)
    assert sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "keep.fits").read_bytes() == (tmp_path / "keep.ser").read_bytes() == b"precious"


def test_default_names_go_in_the_nights_folder_never_collide_and_science_files_take_the_deepest_raw_format(tmp_path):
    night = tmp_path / (datetime.now().astimezone() - timedelta(hours=12)).strftime("%Y-%m-%d")
    night.mkdir()
    for name in ("snap_001.fits", "stream_001.ser"):
        (night / name).write_bytes(b"precious")
    for _ in range(2):
        assert run("snap", "1", "-e", "1ms", "--roi", "64x32", cwd=tmp_path).returncode == 0
        assert run("stream", "1", "-e", "1ms", "--roi", "64x32", "--frames", "2", cwd=tmp_path).returncode == 0
    assert (night / "snap_001.fits").read_bytes() == (night / "stream_001.ser").read_bytes() == b"precious"
    assert [afits.getheader(night / f"snap_00{n}.fits")["BITPIX"] for n in (2, 3)] == [16, 16]
    assert [len(read_ser(night / f"stream_00{n}.ser")[1]) for n in (2, 3)] == [2, 2]
    assert sorted(os.listdir(tmp_path)) == [night.name]
    dark = run("dark", "1", "-e", "1ms", "-o", "d.fits", cwd=tmp_path)
    assert dark.stdout.split(": ")[1].startswith("4144x2822 RAW16 dark")
    assert afits.getheader(tmp_path / "d.fits")["BITPIX"] == 16
    assert run("snap", "1", "-e", "1ms", "--roi", "64x32", "--overwrite", "-o", "snap_001.fits",
               cwd=tmp_path).returncode == 0
    assert afits.getdata(tmp_path / "snap_001.fits").shape == (32, 64)


# With {n}, each run takes the first numbers no file has: a command can be run again as it was.
@pytest.mark.parametrize("args, names", [
    (["snap", "1", "-n", "2", "--png", "-o", "m42_{n:03}.fits"],
     ["m42_001.fits", "m42_001.png", "m42_002.fits", "m42_002.png", "m42_003.fits", "m42_003.png", "m42_004.fits",
      "m42_004.png", "m42_005.fits"]),
    (["snap", "1", "--object", "M 42", "-o", "{object}_{n}.fits"], ["M42_1.fits", "M42_2.fits", "m42_005.fits"]),
    (["dark", "1", "-o", "dark_{n:02}.fits"], ["dark_01.fits", "dark_02.fits", "m42_005.fits"]),
])
def test_numbered_outputs_take_the_first_numbers_no_file_has(tmp_path, args, names):
    (tmp_path / "m42_005.fits").write_bytes(b"precious")
    for _ in range(2):
        result = run(*args, "-e", "1ms", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == names
    assert (tmp_path / "m42_005.fits").read_bytes() == b"precious"


def test_stream_names_its_file_from_the_fields_known_at_its_start(tmp_path):
    template = "{object}_{exposure}_gain{gain}_bin{bin}_{date}_{n:02}.ser"
    args = ("stream", "1", "-e", "2ms", "-g", "150", "-b", "2", "--roi", "64x32", "--frames", "2",
            "--object", "M 42", "-o", template)
    day = datetime.now(UTC).strftime("%Y-%m-%d")
    lines = [run(*args, cwd=tmp_path).stdout for _ in range(2)]
    names = [f"M42_2ms_gain150_bin2x2_{day}_0{n}.ser" for n in (1, 2)]
    assert [line.splitlines()[-1].split(":")[0] for line in lines] == names
    assert sorted(p.name for p in tmp_path.glob("*.ser")) == names
