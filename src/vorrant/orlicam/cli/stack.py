"""`orlicam stack`: live stacking from the camera into one FITS file."""
from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING

import click

from .common import DURATION, POSITIVE_DURATION, SECONDS, opened
from .console import interrupted_status, progress, say

if TYPE_CHECKING:
    from ..camera import CameraEvent
    from ..observing.stacking import Outcome, Stacker


@click.command()
@click.argument("camera")
@click.option("-e", "--exposure", type=DURATION, required=True, help=f"Exposure of each frame, e.g. 2s, 500ms; {SECONDS}.")
@click.option("-g", "--gain", type=int, help="Gain.")
@click.option("-b", "--bin", "bin_", type=int, default=1, show_default=True, help="Binning.")
@click.option("--frames", type=click.IntRange(min=1), help="Stop when this many frames are stacked (default: Ctrl-C).")
@click.option("--duration", type=POSITIVE_DURATION, help=f"Stop after this long, e.g. 10min; {SECONDS} (default: Ctrl-C).")
@click.option("--dark", type=click.Path(dir_okay=False, exists=True),
              help="Master dark (orlicam master) to subtract: same size, binning, exposure, gain, offset, temperature.")
@click.option("--flat", type=click.Path(dir_okay=False, exists=True),
              help="Master flat to divide by: same size and binning.")
@click.option("--force", is_flag=True, help="Use masters that do not match the frames (noted in the header).")
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False, path_type=Path),
              help="The stack's FITS file (float32).")
@click.option("--png", is_flag=True, help="Also write a stretched PNG beside it.")
@click.option("--overwrite", is_flag=True, help="Replace existing files.")
def stack(camera: str, exposure: float, gain: int | None, bin_: int, frames: int | None, duration: float | None,
          dark: str | None, flat: str | None, force: bool, output: Path, png: bool, overwrite: bool) -> None:
    """Stack frames live: each aligned on the stars of the first (shift and rotation) and
    added to a running mean that leaves outliers out (hot pixels, satellites); frames that
    do not align are rejected. Without --frames or --duration it runs until Ctrl-C, which
    ends the stack and writes it."""
    from dataclasses import replace

    from ..camera.camera import configure, deepest_raw
    from ..files.outputs import check_output
    from ..observing.stacking import Shot, Stacker, master_mismatch, read_master, stack_camera

    check_output(output, overwrite, "--overwrite")
    if png:
        check_output(output.with_suffix(".png"), overwrite, "--overwrite")
    loaded = {kind: read_master(path) for kind, path in (("dark", dark), ("flat", flat)) if path is not None}
    interrupted = False
    with opened(camera) as cam:
        configure(cam, exposure, gain, None, bin_, deepest_raw(cam.description), None)
        # Before the first exposure: a wrong master would spoil every frame of the stack.
        roi = cam.roi
        shot = Shot(roi.width, roi.height, roi.bin, cam.exposure, cam.gain, cam.offset, cam.temperature)
        masters = []
        for kind, master in loaded.items():
            why = master_mismatch(kind, master, shot)
            if why is not None and not force:
                raise click.ClickException(f"{why}; give --force to use it anyway")
            if why is not None:
                click.echo(f"orlicam: warning: {why}; used as --force asks", err=True)
            masters.append((kind, master.path if why is None else f"{master.path} (forced: {why})"))
        stacker = Stacker(loaded["dark"].data if "dark" in loaded else None,
                          loaded["flat"].data if "flat" in loaded else None)
        with progress(f"stacking {cam.name}: waiting for the first frame") as shown:
            def report(outcome: Outcome, now: Stacker, elapsed: float) -> None:
                state = "stacked" if outcome.accepted else f"rejected: {outcome.reason}"
                shown.update(f"{now.frames} stacked, {now.rejected} rejected, {elapsed:.0f} s; last frame {state}")

            def fault(event: CameraEvent) -> None:
                if event.kind in ("camera-lost", "camera-back"):
                    say(f"{cam.name}: {event.message}")
                    shown.update("camera lost, waiting for it" if event.kind == "camera-lost"
                                 else "the camera is back; stacking goes on")
            if cam.recovery is not None:
                from dataclasses import replace   # here: `orlicam --help` imports no dataclasses
                cam.recovery = replace(cam.recovery, on_event=fault)
            try:
                stack_camera(cam, stacker, report, frames, duration)
            except KeyboardInterrupt:
                interrupted = True
    _write(stacker, output, masters, png, overwrite)
    if interrupted:
        sys.exit(interrupted_status())


def _write(stacker: Stacker, output: Path, masters: list[tuple[str, str]], png: bool, overwrite: bool) -> None:
    from ..observing.stacking import write_stack, write_stack_png

    output.parent.mkdir(parents=True, exist_ok=True)
    write_stack(output, stacker, masters, overwrite)
    glitched = f" ({stacker.glitched} glitched)" if stacker.glitched else ""
    line = (f"{output}: {stacker.frames} frames stacked, {stacker.rejected} rejected{glitched}, "
            f"{stacker.exposure:g} s in all")
    if png:
        write_stack_png(output.with_suffix(".png"), stacker, overwrite)
        line += f" (+ {output.with_suffix('.png').name})"
    say(line)


COMMANDS = [stack]
