"""KStars/Ekos 3.6 with indi_orlicam_ccd, driven as a user would through Ekos's D-Bus interfaces:
the frames it saves are read back with astropy."""
from datetime import datetime

import pytest
from astropy.io import fits

from ekos_support import GUIDER, MAIN, IndiServer, add_profile, driver_processes, sequence, wait_until

CAPTURE, FOCUS, GUIDE = "/KStars/Ekos/Capture", "/KStars/Ekos/Focus", "/KStars/Ekos/Guide"
SET_POINT = -10.0

# name, binning, frame asked (unbinned x, y, w, h), image shape (rows, columns): exactly what
# CCD_FRAME and CCD_BINNING say, 2822 / 2 = 1411 rows too (the driver bins the odd row itself).
JOBS = [
    ("bin1", 1, (0, 0, 4144, 2822), (2822, 4144)),
    ("bin2", 2, (0, 0, 4144, 2822), (1411, 2072)),
    ("subframe", 1, (100, 200, 640, 480), (480, 640)),
]


def one_fits(folder):
    found = sorted(folder.rglob("*.fits"))
    assert len(found) == 1, found
    return found[0]


def adopted_both(kstars, driver_parent: int) -> None:
    """Both cameras are Ekos's devices, from one driver process, in the roles the optical train gives."""
    wait_until(lambda: kstars.prop(CAPTURE, "camera") == MAIN and kstars.prop(GUIDE, "camera") == GUIDER, 30,
               lambda: f"the cameras in Capture and Guide: {kstars.ekos_log()}")
    assert kstars.devices() == {MAIN, GUIDER}
    assert "Unable to establish" not in kstars.ekos_log()
    assert len(driver_processes(driver_parent)) == 1


def test_local_profile_captures_a_cooled_sequence_and_a_guide_frame(home, kstars_in, tmp_path):
    add_profile(home, "Orlicam local")
    kstars = kstars_in()
    kstars.start_ekos("Orlicam local")
    adopted_both(kstars, kstars.process.pid)

    assert float(kstars.indi("getNumber", MAIN, "CCD_TEMPERATURE", "CCD_TEMPERATURE_VALUE")) > 0   # still warm
    esq = tmp_path / "lights.esq"
    esq.write_text(sequence([dict(exposure=0.5, bin=binning, frame=frame, folder=tmp_path / name,
                                  temperature=SET_POINT if name == "bin1" else None)
                             for name, binning, frame, _ in JOBS]))
    assert kstars.call(CAPTURE, "loadSequenceQueue", esq) == "true"
    assert kstars.call(CAPTURE, "getJobCount") == str(len(JOBS))
    kstars.call(CAPTURE, "start")
    wait_until(lambda: all(kstars.call(CAPTURE, "getJobState", i) == "Complete" for i in range(len(JOBS))), 120,
               lambda: f"the sequence: {kstars.prop(CAPTURE, 'logText')}", 1)

    for name, binning, frame, shape in JOBS:
        with fits.open(one_fits(tmp_path / name)) as hdus:
            header = hdus[0].header
            assert (len(hdus), hdus[0].data.shape, hdus[0].data.dtype.name) == (1, shape, "uint16"), name
            assert (header["INSTRUME"], header["IMAGETYP"], header["EXPTIME"]) == (MAIN, "Light Frame", 0.5), name
            assert (header["XBINNING"], header["YBINNING"]) == (binning, binning), name
            # Ekos waited for the set point before the first job; the camera holds it.
            assert abs(header["CCD-TEMP"] - SET_POINT) <= 0.5, (name, header["CCD-TEMP"])
    assert kstars.indi("getSwitch", MAIN, "CCD_COOLER", "COOLER_ON") == "On"

    # The guide module exposes the guide camera, which nothing else has used.
    assert kstars.indi("getPropertyState", GUIDER, "CCD_EXPOSURE") == "Idle"
    kstars.set_prop(GUIDE, "exposure", 0.5)
    assert kstars.call(GUIDE, "capture") == "true"
    wait_until(lambda: kstars.indi("getPropertyState", GUIDER, "CCD_EXPOSURE") == "Ok", 30, "the guide frame")


def test_remote_profile_focuses_on_the_cameras_of_a_running_indiserver(home, kstars_in, tmp_path):
    server = IndiServer(tmp_path, 7625)
    try:
        add_profile(home, "Orlicam remote", "127.0.0.1", 7625)
        kstars = kstars_in()
        kstars.start_ekos("Orlicam remote")
        adopted_both(kstars, server.process.pid)
        assert not driver_processes(kstars.process.pid)           # Ekos started no driver of its own
        kstars.call(FOCUS, "capture")
        hfr = float(wait_until(lambda: float(kstars.prop(FOCUS, "HFR") or -1) > 0 and kstars.prop(FOCUS, "HFR"),
                               60, "a focus frame with stars"))
        assert 1.0 < hfr < 3.0, hfr           # the simulator's stars: 1.5 px here
    finally:
        server.stop()


def test_a_capture_job_outlives_an_unplug_and_failed_exposures(home, kstars_in, tmp_path):
    # The imaging camera leaves the bus for 5 s after its 5th exposure, and its 2nd and 8th
    # exposures fail: the driver takes a failed one again, holds the one asked for while the
    # camera is away and reopens it on its return, and Ekos gets its 10 frames all the same.
    add_profile(home, "Orlicam faults")
    kstars = kstars_in(ORLICAM_SIM_FAULTS="unplug camera=0 after=5 for=5; fail camera=0 exposure=2,8")
    kstars.start_ekos("Orlicam faults")
    adopted_both(kstars, kstars.process.pid)
    esq = tmp_path / "lights.esq"
    esq.write_text(sequence([dict(exposure=0.5, bin=1, frame=(100, 200, 640, 480), folder=tmp_path / "lights",
                                  count=10)]))
    assert kstars.call(CAPTURE, "loadSequenceQueue", esq) == "true"
    kstars.call(CAPTURE, "start")
    wait_until(lambda: kstars.call(CAPTURE, "getJobState", 0) == "Complete", 180,
               lambda: f"the job: {kstars.prop(CAPTURE, 'logText')}", 1)
    frames = sorted((tmp_path / "lights").rglob("*.fits"))
    assert len(frames) == 10, frames
    starts = []
    for path in frames:
        with fits.open(path) as hdus:
            assert hdus[0].data.shape == (480, 640) and hdus[0].header["EXPTIME"] == 0.5, path
            assert hdus[0].data.std() > 0, path
            starts.append(datetime.fromisoformat(hdus[0].header["DATE-OBS"]))
    # The unplug shows as the one long wait between two frames.
    assert max((b - a).total_seconds() for a, b in zip(starts, starts[1:])) > 4.5
    assert kstars.indi("getPropertyState", MAIN, "CONNECTION") == "Ok"
