"""Glitched frames as the simulator damages them are recognised; normal frames never are."""
import pytest

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.observing.glitch import glitch


@pytest.mark.parametrize("camera, image_format, bin", [(0, "RAW16", 2), (0, "RGB24", 4), (0, "Y8", 2), (1, "RAW16", 1),
                                                      (1, "RAW8", 4)])
def test_normal_frames_of_every_kind_are_not_glitched(camera, image_format, bin):
    simulator.set_time_scale(1000)
    with Camera(camera) as cam:
        cam.set_roi(bin=bin, image_format=image_format)
        frames = [cam.capture(1.0), cam.capture(0.5, dark=True), cam.capture(0.0001, dark=True)]
        simulator.set_light_panel(cam.camera_id, 20000)
        frames.append(cam.capture(0.05))
    assert [glitch(frame) for frame in frames] == [None] * 4


def test_the_simulators_glitched_frames_are_named_with_their_rows():
    simulator.set_faults("glitch camera=1 exposure=2 kind=shift; glitch camera=1 exposure=3 kind=zero")
    simulator.set_light_panel(1, 20000)
    with Camera(1) as cam:
        cam.set_roi(bin=2)
        reasons = [glitch(cam.capture(0.05)) for _ in range(3)]
    played = [what.split("glitched: ")[1] for _, _, what in simulator.fault_log()]
    assert [kind(r) for r in reasons] == [None, "shifted", "zeroed"] and [kind(p) for p in played] == ["shifted", "zeroed"]
    # A shift is placed to the pair of rows its analysis works in; zeroed rows exactly.
    assert all(abs(a - b) <= 1 for r, p in zip(reasons[1:], played) for a, b in zip(rows(r), rows(p)))
    assert reasons[2] == played[1]


def kind(reason):
    return None if reason is None else reason.split()[-1]


def rows(reason):
    return [int(n) for n in reason.split()[1].split("-")]
