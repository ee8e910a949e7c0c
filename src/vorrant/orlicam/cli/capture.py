"""Commands that take pictures and video: snap, stream, dark."""
from __future__ import annotations

import errno
import math
import os
import sys
import time
from pathlib import Path
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import click

from .common import DURATION, POSITIVE_DURATION, SECONDS, capture_options, observation, observation_options, opened
from .console import interrupted_status, progress, say, status
from .night import cool_first

if TYPE_CHECKING:
    from ..camera import Camera

SNAP_NAMES = "snap_{n:03}.fits"
STREAM_NAMES = "stream_{n:03}.ser"
FITS_SUFFIXES = (".fits", ".fit", ".fts")


def night_names(names: str) -> str:
    """The default template `names` in the night's folder, as `sequence` puts a night's files."""
    from datetime import UTC, datetime

    from ..files.naming import night_folder
    return str(Path(night_folder(datetime.now(UTC))) / names)


def check_new(path: Path, overwrite: bool, night: bool) -> Path:
    """check_output(); for a default name (`night`) also in a night's folder still to be
    made, as its first file is written: then the folder must be one that can be made."""
    from ..files.outputs import check_output
    if night and not os.path.lexists(path.parent):
        check_output(path.parent, False, "--overwrite")
        return path
    return check_output(path, overwrite, "--overwrite")


def snap_paths(output: str | None, count: int, png: bool, overwrite: bool) -> list[Path]:
    """The file of each frame, from -o's template; checked, with nothing created. With {n}
    the frames take the first run of numbers no file has yet (from 1 with --overwrite)."""
    from ..files.naming import first_free
    from ..files.templates import Template
    template = Template(night_names(SNAP_NAMES) if output is None else output)
    if count > 1 and "n" not in template.fields:
        raise ValueError(f"-o {template.text!r} names one file for {count} frames: put {{n}} in it, "
                         "e.g. m42_{n:03}.fits")

    def files(first: int) -> list[Path]:
        paths = [Path(template.render(n=n)) for n in range(first, first + count)]
        return paths + [p.with_suffix(".png") for p in paths] if png else paths

    numbered = "n" in template.fields and (output is None or not overwrite)
    paths = files(first_free(files) if numbered else 1)
    if len(set(paths)) < len(paths):
        raise ValueError(f"-o {template.text!r} gives several files the same name")
    for path in paths:
        check_new(path, overwrite, output is None)
    return paths[:count]


def stream_path(template: str, values: dict[str, str], overwrite: bool, night: bool = False) -> Path:
    """The recording's file from -o's template and the fields known at its start; {n} is
    the first number no file (or SER sidecar, or SER times) has yet (1 with --overwrite, but
    for the default names). Checked, with nothing created."""
    from ..files.naming import first_free, render
    from ..files.templates import Template

    def files(n: int) -> list[str]:
        path = render(template, values, n)
        return [path + extra for extra in ("", ".json", ".times")]
    n = first_free(files) if "n" in Template(template).fields and (night or not overwrite) else 1
    return check_new(Path(render(template, values, n)), overwrite, night)


@click.command()
@click.argument("camera")
@capture_options
@click.option("-n", "--count", type=click.IntRange(min=1), default=1, show_default=True, help="Frames to take.")
@click.option("-o", "--output", help="FITS file name; {n} numbers the frames from the first number no file has, "
              "e.g. m42_{n:03}.fits [default: snap_{n:03}.fits in a folder named for the night].")
@click.option("--overwrite", is_flag=True, help="Replace existing files.")
@click.option("--dark", is_flag=True, help="Dark frames (shutter closed where the camera has one).")
@click.option("--png", is_flag=True, help="Also write a stretched PNG preview beside each FITS file.")
@observation_options(dark=True)
def snap(camera: str, exposure: float | None, gain: int | None, offset: int | None, bin_: int,
         image_format: str | None, roi: tuple[int, int, int | None, int | None] | None, count: int,
         output: str | None, overwrite: bool, dark: bool, png: bool) -> None:
    """Take pictures and write them as FITS files (the camera's deepest raw format unless -f says)."""
    from ..files.fits import write_fits
    from ..files.preview import write_png

    from ..files.naming import first_free, frame_name
    from ..camera.camera import configure, deepest_raw
    from ..observing.steps import capture_with_progress
    from ..files.templates import Template

    seen = observation()
    dark = dark or seen.kind in ("dark", "bias")
    kind = seen.kind or ("dark" if dark else "light")
    # Names with fields of the frame ({object}, {temp}...) are made as each frame arrives.
    by_frame = output is not None and bool(Template(output).fields - {"n"})
    paths: list[Path | None] = [None] * count if by_frame else list(snap_paths(output, count, png, overwrite))
    numbered = output is not None and "n" in Template(output).fields and not overwrite
    number = 0
    with opened(camera) as cam:
        configure(cam, exposure, gain, offset, bin_, image_format or deepest_raw(cam.description), roi)
        cool_first(cam, seen)
        what = f"{'dark' if dark else 'exposure'} of {cam.exposure:g} s"
        with status(f"{what}, 1 of {count}") as shown:
            for n, path in enumerate(paths, start=1):
                shown.update(f"{what}, {n} of {count}")
                frame = capture_with_progress(cam, shown.update, f"{what}, {n} of {count}", dark=dark)
                if path is None:
                    assert output is not None

                    def named(k: int, frame: Any = frame) -> list[Path]:
                        name = frame_name(output, frame, kind, seen.target.object, seen.filter, k)
                        return [name, name.with_suffix(".png")] if png else [name]
                    number = first_free(named, number + 1) if numbered else n
                    path = named(number)[0]
                path.parent.mkdir(parents=True, exist_ok=True)
                write_fits(path, frame, overwrite=overwrite, cards=seen.cards(dark))
                line = f"{path}: {frame.width}x{frame.height} {frame.meta.roi.image_format}, {frame.meta.exposure:g} s"
                if png:
                    write_png(path.with_suffix(".png"), frame, overwrite=overwrite)
                    line += f" (+ {path.with_suffix('.png').name})"
                say(line)


@click.command()
@click.argument("camera")
@capture_options
@click.option("--frames", type=click.IntRange(min=1), help="Stop after this many frames.")
@click.option("--duration", type=POSITIVE_DURATION, help=f"Stop after this long, e.g. 60s, 10min; {SECONDS}.")
@click.option("-o", "--output", help="A .ser video (RAW8 unless -f says), or a .fits/.fit/.fts cube (the camera's "
              "deepest raw format unless -f says); the fields are those of the recording's start, {n} the first "
              "number free [default: stream_{n:03}.ser in a folder named for the night].")
@click.option("--overwrite", is_flag=True, help="Replace an existing file.")
@click.option("--observer", default="", help="Observer, for the SER header.")
@click.option("--telescope", default="", help="Telescope, for the SER header.")
@observation_options("observer", "telescope")
def stream(camera: str, exposure: float | None, gain: int | None, offset: int | None, bin_: int,
           image_format: str | None, roi: tuple[int, int, int | None, int | None] | None, frames: int | None,
           duration: float | None, output: str | None, overwrite: bool, observer: str, telescope: str) -> None:
    """Record video to SER (or a FITS cube), showing fps, MB/s and dropped frames."""
    if frames is None and duration is None:
        raise click.UsageError("give --frames or --duration")
    from ..files.naming import stream_fields
    from ..camera.camera import configure, deepest_raw
    from ..observing.sequence import write_ser_sidecar
    from ..files.templates import FIELDS, Template

    template = Template(output if output is not None else STREAM_NAMES)
    # The suffix is the template's own text: a field in it would make it a guess.
    suffix = Path(template.render(n=1, **{f: "x" for f in FIELDS if f != "n"})).suffix.lower()
    if suffix not in (".ser", *FITS_SUFFIXES):
        raise click.BadParameter(f"{template.text!r} is neither .ser nor .fits", param_hint="-o")
    seen = observation(observer=observer, telescope=telescope)
    by_start = bool(template.fields - {"n"})   # named from the camera's settings once they are made
    path = None if by_start else stream_path(night_names(STREAM_NAMES) if output is None else output, {}, overwrite,
                                             output is None)
    with opened(camera) as cam:
        fmt = image_format or ("RAW8" if suffix == ".ser" else deepest_raw(cam.description))
        configure(cam, exposure, gain, offset, bin_, fmt, roi)
        cool_first(cam, seen)
        if path is None:
            assert output is not None
            path = stream_path(output, stream_fields(cam, seen.kind or "light", seen.target.object, seen.filter),
                               overwrite)
        path.parent.mkdir(parents=True, exist_ok=True)
        if suffix == ".ser":
            from ..files.ser import SerWriter

            writer: Any = SerWriter(path, observer=seen.target.observer or "", telescope=seen.target.telescope or "",
                                    overwrite=overwrite)
        else:
            from ..files.fits import FitsCubeWriter

            writer = FitsCubeWriter(path, overwrite=overwrite, cards=seen.cards(False))
        def started(first: Any) -> None:
            # The camera and its settings on disk from the first frame: a killed recording keeps them.
            if suffix == ".ser":
                write_ser_sidecar(path, first, first, 0, seen.target, seen.filter)

        try:
            stats = _record(cam, writer, frames, duration, started)
        except OSError as error:
            if error.errno not in (errno.ENOENT, errno.ESTALE):
                error.add_note(f"{writer.count} frames kept in the file")
            raise
        stats.image_format = fmt.upper()
    if suffix == ".ser":
        write_ser_sidecar(path, stats.first, stats.last, stats.count, seen.target, seen.filter)
    click.echo(stats.summary(path))
    if stats.interrupted:
        sys.exit(interrupted_status())


class _Stats:
    # A plain class: the dataclasses module would cost every command its import time.
    __slots__ = ("count", "bytes", "dropped", "seconds", "interrupted", "image_format", "first", "last")

    def __init__(self) -> None:
        self.count = 0
        self.bytes = 0
        self.dropped = 0
        self.seconds = 0.0
        self.interrupted = False
        self.image_format = ""
        self.first: Any = None   # the first and last frames' metadata, for the SER sidecar
        self.last: Any = None

    def line(self) -> str:
        rate = self.count / self.seconds if self.seconds > 0 else 0.0
        mbps = self.bytes / self.seconds / 1e6 if self.seconds > 0 else 0.0
        return f"{self.count} frames, {rate:.1f} fps, {mbps:.1f} MB/s, {self.dropped} dropped"

    def summary(self, path: Path) -> str:
        cut = "interrupted: " if self.interrupted else ""
        return f"{cut}{path}: {self.line()} in {self.seconds:.2f} s, {self.image_format}"


def _record(cam: Camera, writer: Any, frames: int | None, duration: float | None,
            started: Callable[[Any], None] | None = None) -> _Stats:
    stats = _Stats()
    limit = math.inf if frames is None else frames
    until = math.inf if duration is None else duration
    frame_bytes = 0
    try:
        with writer, cam.stream(copy=False) as video, progress("recording ...") as shown:
            start = shown_at = time.perf_counter()
            for frame in video:
                frame_bytes = frame.data.nbytes
                writer.write(frame)
                stats.last = frame
                if stats.first is None:
                    stats.first = frame
                    if started is not None:
                        started(frame)
                stats.count = writer.count
                stats.bytes = stats.count * frame_bytes
                now = time.perf_counter()
                stats.seconds = now - start
                if stats.count >= limit or stats.seconds >= until:
                    break
                if now - shown_at >= 0.25:  # the figures, not every frame: each costs a camera call
                    shown_at = now
                    stats.dropped = video.dropped
                    shown.update(stats.line())
            stats.dropped = video.dropped
    except KeyboardInterrupt:
        stats.interrupted = True
    # The file is the record: an interrupt can land between a write and the tally.
    stats.count = writer.count
    stats.bytes = stats.count * frame_bytes
    return stats


@click.command()
@click.argument("camera")
@click.option("-e", "--exposure", type=DURATION, help=f"Exposure time of the dark, e.g. 2s; {SECONDS} (default: the camera's).")
@click.option("-g", "--gain", type=int, help="Gain.")
@click.option("-o", "--output", required=True,
              help="A .bmp file (8 bits, for dark subtraction) or a .fits/.fit/.fts file (the deepest raw format); "
              "{n} is the first number no file has.")
@click.option("--overwrite", is_flag=True, help="Replace an existing file.")
def dark(camera: str, exposure: float | None, gain: int | None, output: str, overwrite: bool) -> None:
    """Record the SDK's own dark subtraction file: a full-sensor 8-bit BMP that the camera's
    library takes off every frame (Camera.enable_dark_subtract).

    As FITS (-o x.fits) it is the same dark at full depth, to look at. Darks for calibrating
    images are another thing: dark frames taken by snap or by a plan, combined by master dark.
    """
    from ..camera.camera import configure, deepest_raw
    from ..files.bmp import write_grey_bmp
    from ..files.fits import write_fits

    from ..files.naming import first_free
    from ..files.outputs import check_output
    from ..files.templates import Template
    template = Template(output)
    number = first_free(lambda n: [template.render(n=n)]) if "n" in template.fields and not overwrite else 1
    path = Path(template.render(n=number))
    suffix = path.suffix.lower()
    if suffix not in (".bmp", *FITS_SUFFIXES):
        raise click.BadParameter(f"{str(path)!r} is neither .bmp nor .fits", param_hint="-o")
    check_output(path, overwrite, "--overwrite")
    with opened(camera) as cam:
        desc = cam.description
        fmt = "RAW8" if suffix == ".bmp" else deepest_raw(desc)
        configure(cam, exposure, gain, None, 1, fmt, (desc.max_width, desc.max_height, 0, 0))
        with status(f"dark of {cam.exposure:g} s"):
            frame = cam.capture(dark=True)
    if suffix == ".bmp":
        write_grey_bmp(path, frame.data, overwrite=overwrite)
    else:
        write_fits(path, frame, overwrite=overwrite)
    click.echo(f"{path}: {frame.width}x{frame.height} {fmt} dark, {frame.meta.exposure:g} s, gain {frame.meta.gain}")


COMMANDS = [snap, stream, dark]
