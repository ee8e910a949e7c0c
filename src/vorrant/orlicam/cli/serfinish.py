"""`orlicam ser-finish`: a SER recording that was killed, finished from what it kept."""
from __future__ import annotations

import json
import os
from datetime import datetime, timedelta
from pathlib import Path

import click


def _iso(moment: datetime | None) -> str:
    return "-" if moment is None else moment.isoformat(timespec="microseconds").replace("+00:00", "Z")


def _update_sidecar(path: Path, count: int, last: datetime | None) -> bool:
    """NAME.ser.json, written when the recording began, brought to the frames kept."""
    sidecar = path.with_name(path.name + ".json")
    try:
        record = json.loads(sidecar.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return False
    record["frames"] = count
    if last is not None and isinstance(record.get("exposure_s"), (int, float)):
        record["end_utc"] = (last + timedelta(seconds=record["exposure_s"])).isoformat()
    part = sidecar.with_name(f".{sidecar.name}.part")
    part.write_text(json.dumps(record, indent=2) + "\n", encoding="utf-8")
    os.replace(part, sidecar)
    return True


@click.command("ser-finish")
@click.argument("files", nargs=-1, required=True, type=click.Path(dir_okay=False, path_type=Path))
def command(files: tuple[Path, ...]) -> None:
    """Finish a killed SER recording: its frame count and times.

    Keeps every whole frame, with its time from NAME.ser.times (a frame whose time was not
    kept gets one estimated, and the output says how many), sets the header's frame count,
    writes the trailer of frame times and brings NAME.ser.json up to date; NAME.ser.times
    is then removed. A recording still being written is refused."""
    from ..files.ser import finish_ser, times_path

    for path in files:
        done = finish_ser(path)
        span = f"{_iso(done.first)} to {_iso(done.last)}"
        if done.already:
            click.echo(f"{path}: already finished, {done.frames} frames, {span}")
            continue
        line = f"{path}: {done.frames} frames, {span}; trailer written, {times_path(path).name} removed"
        if _update_sidecar(path, done.frames, done.last):
            line += f", {path.name}.json updated"
        if done.estimated:
            line += f"; {done.estimated} frame times were not kept, estimated from {done.estimated_from}"
        click.echo(line)
