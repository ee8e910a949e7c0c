"""Commands about one camera and its hardware: list, info, controls, cool, warm, guide."""
from __future__ import annotations

from typing import TYPE_CHECKING

import click

from .common import GUIDE_DURATION, POSITIVE_DURATION, SECONDS, Parsed, need, opened
from .console import describe, new_table, progress, show, to_json

if TYPE_CHECKING:
    from ..camera import Cooling

@click.command("list")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
def list_cameras(as_json: bool) -> None:
    """List the connected cameras."""
    from ..camera.discovery import cameras   # not the whole camera layer: listing opens no camera

    found = cameras()
    if as_json:
        click.echo(to_json(found))
        return
    if not found:
        click.echo("no camera connected")
    for desc in found:
        click.echo(f"{desc.index}: {desc.name}  ({describe(desc)})")


@click.command()
@click.argument("camera")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
def info(camera: str, as_json: bool) -> None:
    """Describe one camera (index or part of its name)."""
    with opened(camera) as cam:
        desc, serial = cam.description, cam.serial
        # At the settings the camera has now, in the units of its current format.
        egain, gain, image_format = cam.electrons_per_adu, cam.gain, cam.roi.image_format
    if as_json:
        import json
        click.echo(to_json({**json.loads(to_json(desc)), "serial": serial, "electrons_per_adu": egain}))
        return
    table = new_table(show_header=False, box=None, pad_edge=False)
    import dataclasses
    for field in dataclasses.fields(desc):
        value = getattr(desc, field.name)
        text = ", ".join(map(str, value)) if isinstance(value, tuple) else str(value)
        table.add_row(field.name, f"{value:.7g}" if isinstance(value, float) else text)  # SDK floats are 32-bit
    table.add_row("serial", str(serial))
    table.add_row("electrons_per_adu", f"{egain:.4g} (gain {gain}, {image_format})")
    show(table)


@click.command()
@click.argument("camera")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
def controls(camera: str, as_json: bool) -> None:
    """Show a camera's controls: value, range, unit, auto, writable."""
    with opened(camera) as cam:
        found = list(cam.controls.values())
    if as_json:
        click.echo(to_json(found))
        return
    table = new_table("name", "value", "range", "unit", "auto", "writable")
    for c in found:
        auto = ("on" if c.auto else "off") if c.auto_supported else "-"
        table.add_row(c.name, f"{c.value:g}", f"{c.min:g} .. {c.max:g}", c.unit or "", auto,
                      "yes" if c.writable else "no")
    show(table)


@click.command()
@click.argument("camera")
@click.option("--to", "target", type=float, required=True, help="Target temperature, degrees C.")
@click.option("--tolerance", type=float, default=1.0, show_default=True, help="Done within this many degrees.")
@click.option("--timeout", type=POSITIVE_DURATION, default="10min", show_default=True, help=f"Give up after this long, e.g. 15min; {SECONDS}.")
def cool(camera: str, target: float, tolerance: float, timeout: float) -> None:
    """Cool to a temperature, showing temperature and cooler power; exits when there or on timeout."""
    from .. import korvi
    from ..camera.camera import Cooling

    with opened(camera) as cam:
        need(cam, "cooled", "cooler")
        with progress(f"cooling {cam.name} to {target:g} C") as shown:
            def report(now: Cooling) -> None:
                shown.update(f"{now.temperature:6.1f} C, cooler {now.cooler_power:3d} %, {now.elapsed:4.0f} s")

            try:
                reached = cam.cool_to(target, timeout, tolerance=tolerance, progress=report)
            except korvi.ASITimeout as error:
                raise TimeoutError(f"{cam.name}: {error}") from None  # the message says it all
    click.echo(f"{cam.name}: {reached:.1f} C (target {target:g} C)")


@click.command()
@click.argument("camera")
@click.option("--rate", help="Raise the set point this fast before switching off, e.g. 2C/min.")
def warm(camera: str, rate: str | None) -> None:
    """Turn the cooler off; with --rate, after ramping the set point up to ambient."""
    from ..camera.values import parse_rate
    from ..observing.steps import warm_up

    per_second = None if rate is None else Parsed("rate", parse_rate).convert(rate, None, None)
    with opened(camera) as cam:
        need(cam, "cooled", "cooler")
        if per_second is None:
            cam.cooler_on = False
        else:
            with progress(f"warming {cam.name}") as shown:
                warm_up(cam, per_second, shown.update)
        click.echo(f"{cam.name}: cooler off at {cam.temperature:.1f} C")


@click.command()
@click.argument("camera")
@click.argument("direction", type=click.Choice(["north", "south", "east", "west"], case_sensitive=False),
                metavar="DIRECTION")
@click.argument("duration", type=GUIDE_DURATION)
def guide(camera: str, direction: str, duration: float) -> None:
    """Send one guide pulse through the ST4 port.

    DURATION is at most 60 s, e.g. 500ms or 2s; a bare number is seconds, as for every
    duration. Example: orlicam guide 0 north 500ms
    """
    with opened(camera) as cam:
        need(cam, "st4", "ST4 guide port")
        cam.pulse_guide(direction.lower(), duration)
    click.echo(f"{cam.name}: guided {direction.lower()} for {duration * 1000:g} ms")


COMMANDS = [list_cameras, info, controls, cool, warm, guide]
