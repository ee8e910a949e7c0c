"""The night's commands: sequence (a plan), master and calibrate."""
from __future__ import annotations

import os
import shlex
from pathlib import Path
from typing import TYPE_CHECKING

import click

from .common import POSITIVE_DURATION, SECONDS
from .console import progress, say

if TYPE_CHECKING:
    from ..camera import Camera
    from ..observing.plan import Observation


def cool_first(cam: Camera, seen: Observation) -> None:
    """`--cool-to` of snap and stream: cool, and wait until steady, before the first frame."""
    from ..observing.steps import settle

    if seen.cool_to is None:
        return
    with progress(f"cooling {cam.name} to {seen.cool_to:g} C") as shown:
        reached = settle(cam, seen.cool_to, 1.0, seen.settle, max(900.0, 2 * seen.settle), shown.update)
    say(f"{cam.name}: {reached:.1f} C, steady for {seen.settle:g} s")


def run_sequence(plan_path: str, output: Path | None, resume: bool, dry: bool, cool_to: float | None,
                 wait_for_camera: float = 600.0) -> None:
    """`orlicam sequence`: the plan is read and checked whole before the camera is touched."""
    from ..observing.plan import load_plan
    from ..observing.sequence import PlanInterrupted, default_folder, dry_run, run_plan

    plan = load_plan(plan_path)
    folder = output if output is not None else default_folder()
    if dry:
        dry_run(plan, folder, say)
        return
    if folder.exists() and not folder.is_dir():
        raise NotADirectoryError(f"-o {str(folder)!r} is not a folder")
    try:
        with progress(f"plan {plan.path}") as shown:
            written = run_plan(plan, folder, resume, shown.update, say, cool_to, wait_for_camera)
    except PlanInterrupted as stop:
        # The way on, said when it is needed: the same plan, folder and options, with --resume.
        again = ["orlicam", "sequence", plan_path, "-o", str(output) if output is not None else os.path.relpath(folder),
                 *(["--cool-to", f"{cool_to:g}"] if cool_to is not None else []),
                 *(["--wait-for-camera", f"{wait_for_camera:g}"] if wait_for_camera != 600.0 else []), "--resume"]
        raise KeyboardInterrupt(f"interrupted after {stop.done} of {stop.total} frames; go on with: "
                                f"{shlex.join(again)}") from None
    say(f"{len(written)} files written to {folder}")


@click.command()
@click.argument("plan", type=click.Path(dir_okay=False))
@click.option("-o", "--output", type=click.Path(file_okay=False, path_type=Path),
              help="Folder for the files  [default: the night's date, under the current folder]")
@click.option("--resume", is_flag=True, help="Go on with the plan in the folder, counting the files already written.")
@click.option("--dry-run", is_flag=True, help="Print what would be taken and how long it takes; touch no camera.")
@click.option("--cool-to", type=float, help="Cooler set point, C (instead of the plan's).")
@click.option("--wait-for-camera", type=POSITIVE_DURATION, default="10min", show_default=True,
              help=f"How long to wait for a camera lost from the bus before the night stops (resumable); {SECONDS}.")
def sequence(plan: str, output: Path | None, resume: bool, dry_run: bool, cool_to: float | None,
             wait_for_camera: float) -> None:
    """Run a capture plan (TOML): lights, darks, flats and biases, named and labelled for stacking.
    A failed, hung or glitched frame is taken again; a camera lost is waited for, then cooled
    again before the next light or dark; the journal and the closing summary list the faults."""
    run_sequence(plan, output, resume, dry_run, cool_to, wait_for_camera)


@click.command()
@click.argument("kind", type=click.Choice(["bias", "dark", "flat"]))
@click.argument("files", nargs=-1, required=True, type=click.Path(dir_okay=False))
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False), help="The master's FITS file.")
@click.option("--bias", type=click.Path(dir_okay=False), help="Master bias to take off flats.")
@click.option("--dark", type=click.Path(dir_okay=False), help="Master flat dark to take off flats.")
def master(kind: str, files: tuple[str, ...], output: str, bias: str | None, dark: str | None) -> None:
    """Combine frames into a master bias, dark or flat (sigma-clipped mean)."""
    from ..observing.calibration import make_master

    made = make_master(kind, files, output, bias=bias, dark=dark)
    click.echo(f"{output}: master {kind} of {len(files)} frames, {made.settings()}")


@click.command()
@click.argument("lights", nargs=-1, required=True, type=click.Path(dir_okay=False))
@click.option("--dark", "darks", multiple=True, type=click.Path(), help="Master dark, or a folder of them (a dark library).")
@click.option("--flat", type=click.Path(dir_okay=False), help="Master flat.")
@click.option("--bias", type=click.Path(dir_okay=False), help="Master bias.")
@click.option("-o", "--output", type=click.Path(file_okay=False), help="Folder for NAME_cal.fits  [default: beside each light]")
def calibrate(lights: tuple[str, ...], darks: tuple[str, ...], flat: str | None, bias: str | None,
              output: str | None) -> None:
    """Subtract the dark (or bias) and divide by the flat: float32 FITS with HISTORY cards."""
    from ..observing.calibration import DarkLibrary, calibrate as run

    library = DarkLibrary(darks) if darks else None
    if library is not None and library.report() is not None:
        click.echo(f"dark library: {library.report()}", err=True)
    if output is not None:   # made as `sequence -o` makes its folder
        Path(output).mkdir(parents=True, exist_ok=True)
    for path in run(lights, library, flat, bias, output):
        click.echo(str(path))


COMMANDS = [sequence, master, calibrate]
