"""`orlicam analyze`: what the camera really does at each gain, measured from its frames."""
from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import click

from .common import POSITIVE_DURATION, SECONDS, Parsed, opened
from .console import error_line, new_table, show, to_json

if TYPE_CHECKING:
    from ..observing.analysis import Analysis, Step


def _numbers(kind: type[int] | type[float], what: str) -> Parsed:
    def parse(text: str) -> list[Any]:
        try:
            values = [kind(part) for part in text.split(",") if part.strip()]
        except ValueError:
            raise ValueError(f"{text!r} is not a comma-separated list of {what}") from None
        if not values:
            raise ValueError(f"no {what} in {text!r}")
        return values
    return Parsed(what, parse)


GAINS = _numbers(int, "gains")
TEMPERATURES = _numbers(float, "temperatures")


class _Shown:
    """Progress on stderr (stdout stays for the table or the JSON): a live bar on a
    terminal, else one line per finished step."""

    def __init__(self) -> None:
        from rich.console import Console
        self.console = Console(stderr=True, highlight=False)
        self.live = self.console.is_terminal
        self.bar: Any = None
        self.task: Any = None
        self.done = -1

    def __enter__(self) -> _Shown:
        if self.live:
            from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn
            self.bar = Progress(TextColumn("{task.description}"), BarColumn(), TimeElapsedColumn(),
                                console=self.console, transient=True)
            self.bar.start()
            self.task = self.bar.add_task("analysing", total=1)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.stop()

    def __call__(self, step: Step) -> None:
        if self.bar is not None:
            self.bar.update(self.task, description=step.text, completed=step.done, total=step.total)
        elif step.done != self.done:
            self.done = step.done
            click.echo(f"[{step.done}/{step.total}] {step.text}", err=True)

    def cover(self, text: str) -> None:
        # A person at the terminal covers the camera and says so; a script has arranged it.
        if self.bar is not None and sys.stdin.isatty():
            self.bar.stop()
            click.pause(f"{text} Press any key when it is covered.", err=True)
            self.bar.start()
        else:
            click.echo(text, err=True)


def _simulated() -> bool:
    """Whether the cameras are the simulator's (its controls load only over the simulated library)."""
    from .. import simulator
    library: Callable[[], object] = simulator.library   # untyped: ctypes loading
    try:
        library()
    except (RuntimeError, OSError):
        return False
    return True


def _table(analysis: Analysis) -> Any:
    colour = any(r.sites for r in analysis.gains)
    table = new_table("gain", *(["site"] if colour else []), "e-/ADU", "read noise e-", "full well e-",
                      "dynamic range", "offset", title=analysis.camera)
    for r in analysis.gains:
        clip = " (clips)" if r.bias_clipped else ""
        # Stops to one decimal, as the summary gives them: the measurement is no finer.
        cells = [f"{r.electrons_per_adu:.4g}", f"{r.read_noise_e:.2f}", f"{r.full_well_e:.0f}",
                 f"{r.dynamic_range_stops:.1f} stops", f"{r.offset}{clip}"]
        table.add_row(str(r.gain), *(["all"] if colour else []), *cells)
        for s in r.sites:
            table.add_row("", f"{s.site}", f"{s.electrons_per_adu:.4g}", f"{s.read_noise_e:.2f}",
                          f"{s.full_well_e:.0f}", f"{s.dynamic_range_stops:.1f} stops", "", style="dim")
    return table


@click.command()
@click.argument("camera")
@click.option("--gains", type=GAINS, help="Gains to measure, e.g. 0,100,200 (default: every 100 of the range).")
@click.option("--offset", type=int, help="Offset to take the flats at (default: the camera's).")
@click.option("--temperatures", type=TEMPERATURES,
              help="Cooler set points (°C) to measure the dark current at as well, e.g. 0,-10.")
@click.option("--dark-exposure", type=POSITIVE_DURATION, default="10s", show_default=True,
              help=f"How much longer the long dark is than the short one, e.g. 60s; {SECONDS}.")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
@click.option("-o", "--output", type=click.Path(file_okay=False, path_type=Path),
              help="Folder for analysis.json, summary.txt and the plots (PNG).")
def analyze(camera: str, gains: list[int] | None, offset: int | None, temperatures: list[float] | None,
            dark_exposure: float, as_json: bool, output: Path | None) -> None:
    """Measure e-/ADU, read noise, full well, dynamic range and offset at each gain, and the
    dark current, with the camera looking at an even light (a flat panel, a white T-shirt
    over the telescope at dusk)."""
    from ..observing.analysis import LightError, analyze as run, check_report

    if output is not None:
        check_report(output)
    measured: list[Analysis] = []
    try:
        with opened(camera) as cam, _Shown() as shown:
            try:
                result = run(cam, gains, offset, temperatures or (), progress=shown, cover=shown.cover,
                             dark_exposure=dark_exposure, measured=measured.append)
            except LightError as error:
                if str(error).startswith("no light") and _simulated():
                    # The simulator's panel is off unless asked for: say how, not only what.
                    raise LightError(f"{error}; the simulator's panel is switched on by ORLICAM_SIM_LIGHT_PANEL="
                                     f"500000 in the environment (ORLICAM_SIM_LIGHT_PANEL=500000 orlicam analyze "
                                     f"{camera} ...), or from Python by simulator.set_light_panel("
                                     f"{cam.description.camera_id}, 500000)") from None
                raise
    except (Exception, KeyboardInterrupt) as error:
        if not measured:
            raise
        # Minutes of frames: what was measured is shown and written before the error is said.
        from dataclasses import replace   # here: `orlicam --help` imports no dataclasses
        try:
            from dataclasses import replace   # loaded only when a run fails: --help stays light

            _give(replace(measured[-1], stopped=error_line(error) if str(error) else type(error).__name__),
                  as_json, output)
        except Exception as unwritten:
            error.add_note(f"the figures measured could not be written: {error_line(unwritten)}")
        raise
    _give(result, as_json, output)


def _give(result: Analysis, as_json: bool, output: Path | None) -> None:
    from ..observing.analysis import write_report

    written = write_report(result, output) if output is not None else []
    if as_json:
        click.echo(to_json(result.to_dict()))
    else:
        show(_table(result))
        click.echo(result.summary(), nl=False)
        click.echo(f"({result.seconds:.0f} s)")
    for path in written:
        click.echo(f"wrote {path}", err=True)


COMMANDS = [analyze]
