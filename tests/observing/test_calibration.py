"""Masters and calibration under careless use: frames that do not belong together, a dark
library pointed at a night's folder, more frames than open files, a full disk."""
import os
import resource
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits

from vorrant.orlicam.cli.main import main
from vorrant.orlicam.observing import calibration

ORLICAM = Path(sys.executable).with_name("orlicam")


def frame(path, data, **cards):
    cards = {"IMAGETYP": "Dark Frame", "EXPTIME": 2.0, "GAIN": 120, "OFFSET": 8, "XBINNING": 1, "CCD-TEMP": -10.0,
             **cards}
    header = fits.Header({key: value for key, value in cards.items() if value is not None})
    fits.PrimaryHDU(data, header).writeto(path)
    return path


def noise(seed, shape=(16, 24), level=1000, dtype=np.uint16):
    return np.random.default_rng(seed).normal(level, 20, shape).astype(dtype)


def run(argv, cwd, limit=None):
    return subprocess.run([ORLICAM, *map(str, argv)], cwd=cwd, capture_output=True, text=True, timeout=120,
                          preexec_fn=limit)


@pytest.mark.parametrize("argv, odd", [
    # darks at offsets 8 and 200: the two odd ones named, and how they differ
    (["master", "dark", "d0.fits", "d1.fits", "o200a.fits", "d2.fits", "o200b.fits", "-o", "m.fits"],
     "2 of 5 frames do not match d0.fits and the 2 others like it (24x16, exposure 2 s, gain 120, offset 8, bin 1, "
     "-10 C, RAW16): o200a.fits: offset 200, not 8; o200b.fits: offset 200, not 8"),
    (["master", "bias", "d0.fits", "d1.fits", "raw8.fits", "-o", "m.fits"],
     "raw8.fits does not match d0.fits and the other like it: RAW8, not RAW16"),
    # a light of offset 200 and a dark of offset 8: a pedestal of (200 - 8) x 16 ADU left in
    (["calibrate", "o200a.fits", "--dark", "master8.fits", "-o", "cal"],
     "no master dark matches o200a.fits (24x16, exposure 2 s, gain 120, offset 200, bin 1, -10 C, RAW16); have: "
     "master8.fits (24x16, exposure 2 s, gain 120, offset 8, bin 1, -10 C, RAW16)"),
    # the master keeps its frames' data word: a RAW8 light is not calibrated with a RAW16 bias
    (["calibrate", "raw8.fits", "--bias", "master8.fits", "-o", "cal"],
     "raw8.fits does not match the master bias master8.fits: RAW8, not RAW16"),
])
def test_frames_of_other_settings_are_refused_and_named(tmp_path, monkeypatch, capsys, argv, odd):
    for i in range(3):
        frame(tmp_path / f"d{i}.fits", noise(i))
    frame(tmp_path / "o200a.fits", noise(5, level=4000), OFFSET=200, IMAGETYP="Light Frame")
    frame(tmp_path / "o200b.fits", noise(6, level=4000), OFFSET=200)
    frame(tmp_path / "raw8.fits", noise(7, level=100, dtype=np.uint8))
    monkeypatch.chdir(tmp_path)
    calibration.make_master("dark", ["d0.fits", "d1.fits", "d2.fits"], "master8.fits")
    with pytest.raises(SystemExit) as ended:
        main(argv)
    assert (ended.value.code, capsys.readouterr().err) == (1, f"orlicam: error: {odd}\n")
    assert not Path("m.fits").exists() and not any(Path().glob("cal/*"))


def test_a_dark_library_in_a_nights_folder_takes_its_darks_only(tmp_path):
    night = tmp_path / "night"
    night.mkdir()
    light = frame(night / "light_1.fits", noise(1, level=3000), IMAGETYP="Light Frame")
    frame(night / "light_2.fits", noise(2, level=3000), IMAGETYP="LIGHT")
    frame(night / "flat_dark.fits", noise(3), IMAGETYP="Dark Flat")
    frame(night / "other.fits", noise(4), IMAGETYP=None)
    dark = frame(night / "master_dark.fits", noise(5).astype(np.float32), IMAGETYP="Master Dark")
    done = run(["calibrate", light, "--dark", night, "-o", tmp_path / "cal"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == (f"dark library: 4 files of {night} left out, not darks by their IMAGETYP "
                           "(1 'Dark Flat', 1 'Light Frame', 1 'LIGHT', 1 no IMAGETYP)\n")
    calibrated = fits.getdata(tmp_path / "cal" / "light_1_cal.fits")
    assert np.array_equal(calibrated, fits.getdata(light).astype(np.float32) - fits.getdata(dark))


def test_more_frames_than_open_files_make_a_master_and_os_errors_keep_their_name(tmp_path):
    frames = np.stack([noise(i, (12, 10)) for i in range(100)])
    names = [frame(tmp_path / f"b{i:03}.fits", f).name for i, f in enumerate(frames)]

    def few_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))

    done = run(["master", "bias", *names, "-o", "master.fits"], tmp_path, few_files)
    assert done.returncode == 0, done.stderr
    assert np.array_equal(fits.getdata(tmp_path / "master.fits"), calibration.combine(frames.astype(np.float32)))
    # Out of descriptors: the system's reason, not "not a FITS file".
    script = ("import os, resource\nfrom vorrant.orlicam.observing.calibration import read_image\n"
              "read_image('b001.fits')\n"   # all it imports, imported before the descriptors run out
              "resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))\nheld = []\n"
              "try:\n    while True: held.append(os.open('/dev/null', os.O_RDONLY))\nexcept OSError: pass\n"
              "try:\n    read_image('b000.fits')\nexcept OSError as e:\n    print(e.filename, e.strerror)\n")
    out = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert out.stdout == "b000.fits Too many open files\n", out.stdout + out.stderr


@pytest.mark.parametrize("argv, target", [
    (["master", "bias", "b0.fits", "b1.fits", "b2.fits", "-o", "m.fits"], "m.fits"),
    (["calibrate", "light.fits", "--bias", "mb.fits", "-o", "cal"], "cal/light_cal.fits"),
])
def test_a_full_disk_names_the_file(tmp_path, argv, target):
    for i in range(3):
        frame(tmp_path / f"b{i}.fits", noise(i, (128, 128)))
    frame(tmp_path / "light.fits", noise(9, (128, 128)), IMAGETYP="Light Frame")
    calibration.make_master("bias", [tmp_path / f"b{i}.fits" for i in range(3)], tmp_path / "mb.fits")
    (tmp_path / "cal").mkdir()

    def small_disk():   # writes past 40 kB fail as on a full disk (EFBIG rather than a signal)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (40_000, 40_000))

    done = run(argv, tmp_path, small_disk)
    assert (done.returncode, done.stderr) == (1, f"orlicam: error: {target}: File too large\n")
    assert not (tmp_path / target).exists() and not list(tmp_path.glob("**/.*.part"))



def test_a_master_dark_keeps_the_level_of_its_frames_on_every_bayer_site(tmp_path):
    from vorrant.orlicam import Camera
    from vorrant.orlicam.files.fits import write_fits

    # Binned 4x4, the noise (12 ADU) is under the ADC's step (16 ADU): a median of the frames
    # sits on a step, 1.8 ADU under their level, which a faint blue sky (30 ADU) shows as
    # corners 1.4% too bright once the flat divides.
    with Camera(0) as cam:
        cam.set_roi(bin=4, image_format="RAW16")
        cam.gain = 120
        darks = [tmp_path / f"dark_{i}.fits" for i in range(20)]
        for path in darks:
            write_fits(path, cam.capture(2.0, dark=True))
    master = calibration.make_master("dark", darks, tmp_path / "master_dark.fits").data
    frames = np.mean([fits.getdata(p).astype(np.float64) for p in darks], axis=0)
    offsets = {site: round(float((master - frames)[dy::2, dx::2].mean()), 3)
               for site, dy, dx in (("R", 0, 0), ("Gr", 0, 1), ("Gb", 1, 0), ("B", 1, 1))}
    assert all(abs(d) < 0.1 for d in offsets.values()), offsets
