"""The end a plan estimates: each entry at its own exposure, the overhead per frame measured on
the camera at the start, and the warm-up."""
from datetime import datetime

from vorrant.orlicam import simulator
from vorrant.orlicam.observing import sequence
from vorrant.orlicam.observing.plan import load_plan

PLAN = """\
[camera]
camera = "294"
cool_to = -10
settle = "1s"
warm = true
warm_rate = "600C/min"

[[frames]]
type = "light"
count = 2
exposure = "0.5s"
bin = 4

[[frames]]
type = "dark"
count = 1
exposure = "0.5s"
bin = 4

[[frames]]
type = "bias"
count = 3
bin = 4
"""


class _Ten(datetime):
    """The clock at 22:00:00 local time, whenever it is asked."""

    @classmethod
    def now(cls, tz=None):
        return datetime(2026, 12, 7, 22, 0, 0).astimezone(tz)


def test_the_first_estimate_takes_each_exposure_the_measured_overhead_and_the_warm_up(tmp_path, monkeypatch):
    (tmp_path / "plan.toml").write_text(PLAN)
    simulator.set_time_scale(1000)
    measured = []

    def overhead(cam, folder, settings):
        measured.append(real(cam, folder, settings))
        return 2.0   # a round figure, so that the end is exact: the measurement itself is checked below
    real = sequence._frame_overhead
    monkeypatch.setattr(sequence, "_frame_overhead", overhead)
    monkeypatch.setattr(sequence, "datetime", _Ten)
    shown = []
    sequence.run_plan(load_plan(tmp_path / "plan.toml"), tmp_path / "night", False, shown.append, lambda line: None)
    first = next(line for line in shown if line.startswith("frame 1 of 6"))
    # 1.5 s of light and dark, three biases of 32 us, six frames of 2 s overhead, and the warm-up
    # from 20 C to -10 C at 10 C/s plus its last look at the cooler: 17.5 s.
    assert first.endswith(", ends about 22:00:17"), first
    # Measured once, with frames of the shortest exposure written and removed: none stays in the folder.
    assert len(measured) == 1 and 0 < measured[0] < 30
    assert sorted(p.name for p in (tmp_path / "night").iterdir() if not p.name.startswith(("Light", "Dark", "Bias"))) \
        == ["orlicam-sequence-plan.jsonl"]
