"""The `orlicam` command line: thin over the camera layer and the file writers.

Every command takes the camera as its index or as text found in its name. User errors
(an unknown camera, a bad value, a file that cannot be written, a camera refusing a
setting) print one line on stderr and exit with status 1 (2 for a malformed command
line); a recording interrupted by Ctrl-C (or SIGTERM, SIGHUP) closes its file first and
exits with status 130 (143, 129), as a shell reports a process ended by that signal.
"""
from __future__ import annotations

import errno
import importlib
import math
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, Protocol

import click

from .observing import observation_options

if TYPE_CHECKING:
    from rich.console import Console
    from rich.table import Table

    from .camera import Camera, CameraDescription

__all__ = ["main", "cli", "parse_duration", "parse_roi"]

_console: Console | None = None


def _out() -> Console:
    """The terminal console, made on first use: rich is imported only by commands that print with it."""
    global _console
    if _console is None:
        from rich.console import Console
        _console = Console(highlight=False, soft_wrap=True)
    return _console


def _table(*headers: str, **options: Any) -> Table:
    from rich.table import Table
    return Table(*headers, **options)


# --- values with units ---------------------------------------------------------------

_UNITS = {"": 1.0, "s": 1.0, "sec": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6, "m": 60.0, "min": 60.0, "h": 3600.0}
_DURATION = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*([a-zµ]*)\s*")
_ROI = re.compile(r"\s*(\d+)\s*[xX]\s*(\d+)\s*(?:\+\s*(\d+)\s*\+\s*(\d+))?\s*")


def parse_duration(text: str) -> float:
    """Seconds from '2s', '500ms', '250us', '1.5min' or a bare number of seconds."""
    match = _DURATION.fullmatch(text)
    if match is None or match.group(2) not in _UNITS:
        raise ValueError(f"{text!r} is not a duration (examples: 2s, 500ms, 250us)")
    return float(match.group(1)) * _UNITS[match.group(2)]


def parse_roi(text: str) -> tuple[int, int, int | None, int | None]:
    """(width, height, x, y) from 'WxH' or 'WxH+X+Y' (x and y None when not given)."""
    match = _ROI.fullmatch(text)
    if match is None:
        raise ValueError(f"{text!r} is not a region (WxH or WxH+X+Y, e.g. 640x480+100+50)")
    w, h, x, y = match.groups()
    return int(w), int(h), None if x is None else int(x), None if y is None else int(y)


class _Parsed(click.ParamType):
    def __init__(self, name: str, parse: Callable[[str], Any]) -> None:
        self.name = name
        self._parse = parse

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if not isinstance(value, str):
            return value
        try:
            return self._parse(value)
        except ValueError as error:
            self.fail(str(error), param, ctx)


def positive_duration(text: str) -> float:
    """A duration that must be longer than zero: a recording time, a pulse, a timeout."""
    seconds = parse_duration(text)
    if not seconds > 0:
        raise ValueError(f"{text!r} is not a positive duration (examples: 2s, 500ms, 250us)")
    return seconds


# The Alpaca server's ceiling too: a longer pulse is a typing mistake, not a correction.
MAX_GUIDE_S = 60.0


def guide_duration(text: str) -> float:
    """A guide pulse: a duration with its unit (a bare number is ambiguous: guiding
    programs think in milliseconds), longer than zero, at most MAX_GUIDE_S."""
    seconds = positive_duration(text)
    match = _DURATION.fullmatch(text)
    assert match is not None
    if not match.group(2):
        raise ValueError(f"{text!r} needs a unit, e.g. {match.group(1)}ms or {match.group(1)}s")
    if seconds > MAX_GUIDE_S:
        raise ValueError(f"{text!r} is longer than a guide pulse may last ({MAX_GUIDE_S:g} s)")
    return seconds


DURATION = _Parsed("duration", parse_duration)
POSITIVE_DURATION = _Parsed("duration", positive_duration)
GUIDE_DURATION = _Parsed("duration", guide_duration)
ROI = _Parsed("roi", parse_roi)
FORMATS = click.Choice(["RAW8", "RAW16", "RGB24", "Y8"], case_sensitive=False)


# --- cameras ------------------------------------------------------------------------

@contextmanager
def opened(which: str) -> Iterator[Camera]:
    """The camera by index ("0") or by text in its name ("294MM"), open for the block."""
    from .camera import Camera

    with Camera(int(which) if which.isdigit() else which) as cam:
        yield cam


def need(cam: Camera, feature: str, what: str) -> None:
    if not getattr(cam.description, feature):
        raise ValueError(f"{cam.name} has no {what}")


def deepest_raw(desc: CameraDescription) -> str:
    """The raw format holding every bit the sensor has: what a science file wants."""
    return "RAW16" if desc.bit_depth > 8 and "RAW16" in desc.formats else "RAW8"


def configure(cam: Camera, exposure: float | None, gain: int | None, offset: int | None, bin: int,
              image_format: str | None, roi: tuple[int, int, int | None, int | None] | None) -> None:
    """Applies the capture options given; the camera checks each against its ranges."""
    if exposure is not None:
        cam.exposure = exposure
    if gain is not None:
        cam.gain = gain
    if offset is not None:
        cam.offset = offset
    width, height, x, y = (None, None, None, None) if roi is None else roi
    cam.set_roi(width=width, height=height, bin=bin, image_format=image_format, x=x, y=y)


# --- presentation -------------------------------------------------------------------

def to_json(value: Any) -> str:
    def plain(v: Any) -> Any:
        import dataclasses
        if dataclasses.is_dataclass(v) and not isinstance(v, type):
            return {f.name: plain(getattr(v, f.name)) for f in dataclasses.fields(v)}
        if isinstance(v, (list, tuple)):
            return [plain(x) for x in v]
        if isinstance(v, dict):
            return {str(k): plain(x) for k, x in v.items()}
        return v

    import json
    return json.dumps(plain(value), indent=2)


def describe(desc: CameraDescription) -> str:
    kind = f"colour {desc.bayer_pattern}" if desc.is_color else "mono"
    extras = [name for name in ("cooled", "st4", "trigger", "gps", "usb3", "mechanical_shutter")
              if getattr(desc, name)]
    return (f"{desc.max_width}x{desc.max_height} {kind} {desc.bit_depth}-bit, {desc.pixel_size:g} um"
            + (f", {', '.join(extras).replace('st4', 'ST4').replace('_', ' ')}" if extras else ""))


def show(table: Table) -> None:
    # Piped or logged, one line per row, whatever width rich would guess for the output.
    out = _out()
    if out.is_terminal:
        out.print(table)
    else:
        from rich.console import Console
        Console(highlight=False, width=1000).print(table)


class Progress(Protocol):
    def update(self, text: str) -> None: ...


class _Plain:
    """Progress as plain lines at most once per `every` seconds: no carriage returns for logs and pipes."""

    def __init__(self, every: float = 1.0) -> None:
        self._every = every
        self._last = time.monotonic()  # the first figures after one interval, when they mean something

    def update(self, text: str) -> None:
        now = time.monotonic()
        if now - self._last >= self._every:
            self._last = now
            click.echo(text)


class _Live:
    def __init__(self, status: Any) -> None:
        self._status = status

    def update(self, text: str) -> None:
        self._status.update(text)


@contextmanager
def progress(first: str) -> Iterator[Progress]:
    """A live status line on a terminal, plain lines otherwise."""
    out = _out()
    if out.is_terminal:
        with out.status(first) as status:
            yield _Live(status)
    else:
        click.echo(first)
        yield _Plain()


def say(line: str) -> None:
    """A line of output; on a terminal through rich, which keeps it clear of a live status line."""
    out = _out()
    if out.is_terminal:
        out.print(line, markup=False, emoji=False)
    else:
        click.echo(line)


class _Silent:
    def update(self, text: str) -> None:
        pass


@contextmanager
def status(first: str) -> Iterator[Progress]:
    """A live status line on a terminal (a long exposure shows it is under way); nothing
    otherwise, where each result gets its own line."""
    out = _out()
    if out.is_terminal:
        with out.status(first) as shown:
            yield _Live(shown)
    else:
        yield _Silent()


SNAP_NAMES = "snap_{n:03}.fits"
STREAM_NAMES = "stream_{n:03}.ser"
FITS_SUFFIXES = (".fits", ".fit", ".fts")


def night_names(names: str) -> str:
    """The default template `names` in the night's folder, as `sequence` puts a night's files."""
    from datetime import UTC, datetime

    from .naming import night_folder
    return str(Path(night_folder(datetime.now(UTC))) / names)


def check_new(path: Path, overwrite: bool, night: bool) -> Path:
    """check_output(); for a default name (`night`) also in a night's folder still to be
    made, as its first file is written: then the folder must be one that can be made."""
    from .outputs import check_output
    if night and not os.path.lexists(path.parent):
        check_output(path.parent, False, "--overwrite")
        return path
    return check_output(path, overwrite, "--overwrite")


def snap_paths(output: str | None, count: int, png: bool, overwrite: bool) -> list[Path]:
    """The file of each frame, from -o's template; checked, with nothing created. The
    default names take the first run of numbers no file has yet."""
    from .templates import Template
    template = Template(night_names(SNAP_NAMES) if output is None else output)
    if count > 1 and "n" not in template.fields:
        raise ValueError(f"-o {template.text!r} names one file for {count} frames: put {{n}} in it, "
                         "e.g. m42_{n:03}.fits")

    def files(first: int) -> list[Path]:
        paths = [Path(template.render(n=n)) for n in range(first, first + count)]
        return paths + [p.with_suffix(".png") for p in paths] if png else paths

    first = 1
    if output is None:
        while any(os.path.lexists(p) for p in files(first)):
            first += 1
    paths = files(first)
    if len(set(paths)) < len(paths):
        raise ValueError(f"-o {template.text!r} gives several files the same name")
    for path in paths:
        check_new(path, overwrite, output is None)
    return paths[:count]


def stream_path(template: str, values: dict[str, str], overwrite: bool, night: bool = False) -> Path:
    """The recording's file from -o's template and the fields known at its start; {n} is
    the first number no file (or SER sidecar) has yet. Checked, with nothing created."""
    from .naming import render
    from .templates import Template

    numbered = "n" in Template(template).fields
    n = 1
    while True:
        path = Path(render(template, values, n))
        if not numbered or not any(os.path.lexists(p) for p in (path, path.with_name(path.name + ".json"))):
            return check_new(path, overwrite, night)
        n += 1


# --- commands -----------------------------------------------------------------------

# Commands in modules of their own, imported when one of them runs; their help line is here
# so that `orlicam --help` imports none of them.
LAZY_COMMANDS = {
    "doctor": ("vorrant.orlicam.doctor", "command",
               "Check the camera library, USB permissions and limits, Python and the extras; say how to fix "
               "each problem."),
}


class _Group(click.Group):
    def list_commands(self, ctx: click.Context) -> list[str]:
        return sorted({*super().list_commands(ctx), *LAZY_COMMANDS})

    def get_command(self, ctx: click.Context, name: str) -> click.Command | None:
        if name in LAZY_COMMANDS and name not in self.commands:
            module, attribute, _ = LAZY_COMMANDS[name]
            command: click.Command = getattr(importlib.import_module(module), attribute)
            self.add_command(command, name)
        return super().get_command(ctx, name)

    def format_commands(self, ctx: click.Context, formatter: click.HelpFormatter) -> None:
        # click's own listing, with the help lines of commands not imported yet taken from above.
        names = [n for n in self.list_commands(ctx)
                 if n in LAZY_COMMANDS and n not in self.commands or not self.commands[n].hidden]
        if not names:
            return
        limit = formatter.width - 6 - max(len(n) for n in names)
        rows = []
        for name in names:
            if name in self.commands:
                rows.append((name, self.commands[name].get_short_help_str(limit)))
            else:
                rows.append((name, click.utils.make_default_short_help(LAZY_COMMANDS[name][2], limit)))
        with formatter.section("Commands"):
            formatter.write_dl(rows)


@click.group(cls=_Group, context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="orlicam", prog_name="orlicam")
def cli() -> None:
    """Control ZWO ASI cameras: list them, read their controls, take pictures, record video, cool and guide."""


@cli.command("list")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
def list_cameras(as_json: bool) -> None:
    """List the connected cameras."""
    from .discovery import cameras   # not the whole camera layer: listing opens no camera

    found = cameras()
    if as_json:
        click.echo(to_json(found))
        return
    if not found:
        click.echo("no camera connected")
    for desc in found:
        click.echo(f"{desc.index}: {desc.name}  ({describe(desc)})")


@cli.command()
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
    table = _table(show_header=False, box=None, pad_edge=False)
    import dataclasses
    for field in dataclasses.fields(desc):
        value = getattr(desc, field.name)
        text = ", ".join(map(str, value)) if isinstance(value, tuple) else str(value)
        table.add_row(field.name, f"{value:.7g}" if isinstance(value, float) else text)  # SDK floats are 32-bit
    table.add_row("serial", str(serial))
    table.add_row("electrons_per_adu", f"{egain:.4g} (gain {gain}, {image_format})")
    show(table)


@cli.command()
@click.argument("camera")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
def controls(camera: str, as_json: bool) -> None:
    """Show a camera's controls: value, range, unit, auto, writable."""
    with opened(camera) as cam:
        found = list(cam.controls.values())
    if as_json:
        click.echo(to_json(found))
        return
    table = _table("name", "value", "range", "unit", "auto", "writable")
    for c in found:
        auto = ("on" if c.auto else "off") if c.auto_supported else "-"
        table.add_row(c.name, f"{c.value:g}", f"{c.min:g} .. {c.max:g}", c.unit or "", auto,
                      "yes" if c.writable else "no")
    show(table)


def _capture_options(f: Callable[..., Any]) -> Callable[..., Any]:
    for option in reversed([
        click.option("-e", "--exposure", type=DURATION, help="Exposure time, e.g. 2s, 500ms, 250us."),
        click.option("-g", "--gain", type=int, help="Gain."),
        click.option("--offset", type=int, help="Offset (black level)."),
        click.option("-b", "--bin", "bin_", type=int, default=1, show_default=True, help="Binning."),
        click.option("-f", "--format", "image_format", type=FORMATS, help="Image format."),
        click.option("--roi", type=ROI, help="Region WxH[+X+Y] in binned pixels (centred without +X+Y)."),
    ]):
        f = option(f)
    return f


@cli.command()
@click.argument("camera")
@_capture_options
@click.option("-n", "--count", type=click.IntRange(min=1), default=1, show_default=True, help="Frames to take.")
@click.option("-o", "--output", help="FITS file name; {n} is the frame number from 1, e.g. m42_{n:03}.fits "
              "[default: snap_{n:03}.fits in a folder named for the night, numbered past the files already there].")
@click.option("--overwrite", is_flag=True, help="Replace existing files.")
@click.option("--dark", is_flag=True, help="Dark frames (shutter closed where the camera has one).")
@click.option("--png", is_flag=True, help="Also write a stretched PNG preview beside each FITS file.")
@observation_options()
def snap(camera: str, exposure: float | None, gain: int | None, offset: int | None, bin_: int,
         image_format: str | None, roi: tuple[int, int, int | None, int | None] | None, count: int,
         output: str | None, overwrite: bool, dark: bool, png: bool) -> None:
    """Take pictures and write them as FITS files (the camera's deepest raw format unless -f says)."""
    from .fits import write_fits
    from .preview import write_png

    from .naming import frame_name
    from .sequence import capture_with_progress, cool_first
    from .plan import observation
    from .templates import Template

    seen = observation()
    dark = dark or seen.kind in ("dark", "bias")
    kind = seen.kind or ("dark" if dark else "light")
    # Names with fields of the frame ({object}, {temp}...) are made as each frame arrives.
    by_frame = output is not None and bool(Template(output).fields - {"n"})
    paths: list[Path | None] = [None] * count if by_frame else list(snap_paths(output, count, png, overwrite))
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
                    path = frame_name(output, frame, kind, seen.target.object, seen.filter, n)
                path.parent.mkdir(parents=True, exist_ok=True)
                write_fits(path, frame, overwrite=overwrite, cards=seen.cards(dark))
                line = f"{path}: {frame.width}x{frame.height} {frame.meta.roi.image_format}, {frame.meta.exposure:g} s"
                if png:
                    write_png(path.with_suffix(".png"), frame, overwrite=overwrite)
                    line += f" (+ {path.with_suffix('.png').name})"
                say(line)


@cli.command()
@click.argument("camera")
@_capture_options
@click.option("--frames", type=click.IntRange(min=1), help="Stop after this many frames.")
@click.option("--duration", type=POSITIVE_DURATION, help="Stop after this long, e.g. 60s.")
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
    from .naming import stream_fields
    from .plan import observation
    from .sequence import cool_first, write_ser_sidecar
    from .templates import FIELDS, Template

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
            from .ser import SerWriter

            writer: Any = SerWriter(path, observer=seen.target.observer or "", telescope=seen.target.telescope or "",
                                    overwrite=overwrite)
        else:
            from .fits import FitsCubeWriter

            writer = FitsCubeWriter(path, overwrite=overwrite, cards=seen.cards(False))
        try:
            stats = _record(cam, writer, frames, duration)
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


def _record(cam: Camera, writer: Any, frames: int | None, duration: float | None) -> _Stats:
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
                stats.first = stats.first or frame
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


@cli.command()
@click.argument("camera")
@click.option("--to", "target", type=float, required=True, help="Target temperature, degrees C.")
@click.option("--tolerance", type=float, default=1.0, show_default=True, help="Done within this many degrees.")
@click.option("--timeout", type=POSITIVE_DURATION, default="10min", show_default=True, help="Give up after this long.")
def cool(camera: str, target: float, tolerance: float, timeout: float) -> None:
    """Cool to a temperature, showing temperature and cooler power; exits when there or on timeout."""
    from . import korvi
    from .camera import Cooling

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


@cli.command()
@click.argument("camera")
@click.option("--rate", help="Raise the set point this fast before switching off, e.g. 2C/min.")
def warm(camera: str, rate: str | None) -> None:
    """Turn the cooler off; with --rate, after ramping the set point up to ambient."""
    from .plan import parse_rate
    from .sequence import warm_up

    per_second = None if rate is None else _Parsed("rate", parse_rate).convert(rate, None, None)
    with opened(camera) as cam:
        need(cam, "cooled", "cooler")
        if per_second is None:
            cam.cooler_on = False
        else:
            with progress(f"warming {cam.name}") as shown:
                warm_up(cam, per_second, shown.update)
        click.echo(f"{cam.name}: cooler off at {cam.temperature:.1f} C")


@cli.command()
@click.argument("camera")
@click.argument("direction", type=click.Choice(["north", "south", "east", "west"], case_sensitive=False),
                metavar="DIRECTION")
@click.argument("duration", type=GUIDE_DURATION)
def guide(camera: str, direction: str, duration: float) -> None:
    """Send one guide pulse through the ST4 port.

    DURATION takes its unit (500ms, 2s) and is at most 60 s. Example: orlicam guide 0 north 500ms
    """
    with opened(camera) as cam:
        need(cam, "st4", "ST4 guide port")
        cam.pulse_guide(direction.lower(), duration)
    click.echo(f"{cam.name}: guided {direction.lower()} for {duration * 1000:g} ms")


@cli.command()
@click.argument("camera")
@click.option("-e", "--exposure", type=DURATION, help="Exposure time of the dark (default: the camera's).")
@click.option("-g", "--gain", type=int, help="Gain.")
@click.option("-o", "--output", required=True,
              help="A .bmp file (8 bits, for dark subtraction) or a .fits/.fit/.fts file (the deepest raw format).")
@click.option("--overwrite", is_flag=True, help="Replace an existing file.")
def dark(camera: str, exposure: float | None, gain: int | None, output: str, overwrite: bool) -> None:
    """Record a full-sensor dark frame: as the 8-bit BMP that dark subtraction takes, or as FITS."""
    from .bmp import write_grey_bmp
    from .fits import write_fits

    from .outputs import check_output
    from .templates import Template
    path = Path(Template(output).render())
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


@cli.command()
@click.argument("plan", type=click.Path(dir_okay=False))
@click.option("-o", "--output", type=click.Path(file_okay=False, path_type=Path),
              help="Folder for the files  [default: the night's date, under the current folder]")
@click.option("--resume", is_flag=True, help="Go on with the plan in the folder, counting the files already written.")
@click.option("--dry-run", is_flag=True, help="Print what would be taken and how long it takes; touch no camera.")
@click.option("--cool-to", type=float, help="Cooler set point, C (instead of the plan's).")
def sequence(plan: str, output: Path | None, resume: bool, dry_run: bool, cool_to: float | None) -> None:
    """Run a capture plan (TOML): lights, darks, flats and biases, named and labelled for stacking."""
    from .sequence import command

    command(plan, output, resume, dry_run, cool_to)


@cli.command()
@click.argument("kind", type=click.Choice(["bias", "dark", "flat"]))
@click.argument("files", nargs=-1, required=True, type=click.Path(dir_okay=False))
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False), help="The master's FITS file.")
@click.option("--bias", type=click.Path(dir_okay=False), help="Master bias to take off flats.")
@click.option("--dark", type=click.Path(dir_okay=False), help="Master flat dark to take off flats.")
def master(kind: str, files: tuple[str, ...], output: str, bias: str | None, dark: str | None) -> None:
    """Combine frames into a master bias, dark or flat (sigma-clipped median)."""
    from .calibration import make_master

    made = make_master(kind, files, output, bias=bias, dark=dark)
    click.echo(f"{output}: master {kind} of {len(files)} frames, {made.settings()}")


@cli.command()
@click.argument("lights", nargs=-1, required=True, type=click.Path(dir_okay=False))
@click.option("--dark", "darks", multiple=True, type=click.Path(), help="Master dark, or a folder of them (a dark library).")
@click.option("--flat", type=click.Path(dir_okay=False), help="Master flat.")
@click.option("--bias", type=click.Path(dir_okay=False), help="Master bias.")
@click.option("-o", "--output", type=click.Path(file_okay=False), help="Folder for NAME_cal.fits  [default: beside each light]")
def calibrate(lights: tuple[str, ...], darks: tuple[str, ...], flat: str | None, bias: str | None,
              output: str | None) -> None:
    """Subtract the dark (or bias) and divide by the flat: float32 FITS with HISTORY cards."""
    from .calibration import DarkLibrary, calibrate as run

    for path in run(lights, DarkLibrary(darks) if darks else None, flat, bias, output):
        click.echo(str(path))


@cli.command()
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option("--port", type=click.IntRange(0, 65535), default=11111, show_default=True, help="TCP port.")
@click.option("--discovery/--no-discovery", default=True, show_default=True, help="Answer Alpaca discovery.")
@click.option("-v", "--verbose", is_flag=True, help="Log every request and discovery query.")
@click.option("--live/--no-live", default=True, show_default=True, help="Serve the live view pages at /live/N.")
@click.option("--folder", type=click.Path(file_okay=False, path_type=Path), help="Where the live view saves files [default: here].")
def serve(host: str, port: int, discovery: bool, verbose: bool, live: bool, folder: Path | None) -> None:
    """Serve the cameras over ASCOM Alpaca."""
    # A server runs unattended: what it does goes to stderr as log lines.
    import logging
    logging.basicConfig(level=logging.DEBUG if verbose else logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    alpaca = importlib.import_module("vorrant.orlicam.alpaca")
    try:
        alpaca.serve(host=host, port=port, discovery=discovery, live=live, live_folder=folder)
    except (OSError, RuntimeError) as error:
        raise click.ClickException(f"cannot serve on {host}:{port}: {error}") from None


@cli.command()
@click.argument("camera", required=False)
@click.option("--port", type=click.IntRange(0, 65535), default=11111, show_default=True, help="TCP port (0: any free one).")
@click.option("--folder", type=click.Path(file_okay=False, path_type=Path), help="Where saves go [default: here].")
def live(camera: str | None, port: int, folder: Path | None) -> None:
    """Serve the live view on this machine and print the camera's page URL."""
    import logging

    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    importlib.import_module("vorrant.orlicam.live.run").run(camera, port=port, folder=folder)



# --- entry point --------------------------------------------------------------------

def error_line(error: BaseException) -> str:
    """One line: the message, then the notes (the operation and camera) in brackets."""
    text = str(error) or type(error).__name__
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.filename}: {error.strerror}"
    notes = [n for n in getattr(error, "__notes__", ()) if n]
    if isinstance(error, _sdk_error()):
        text = f"{type(error).__name__}: {text}"
    return " ".join([text, *(f"({n})" for n in notes)]).replace("\n", " ")


class _NotRaised(Exception):
    """Stands for korvi.ASIError while korvi is not imported: nothing can have raised it."""


def _sdk_error() -> type[Exception]:
    # korvi is imported by the commands that use a camera, not for --help.
    module = sys.modules.get("vorrant.orlicam.korvi")
    error: type[Exception] = module.ASIError if module is not None else _NotRaised
    return error


def fail(text: str, status: int = 1) -> NoReturn:
    click.echo(f"orlicam: error: {text}", err=True)
    sys.exit(status)


_stopped_by = signal.SIGINT


def _stop(signum: int, frame: object) -> None:
    global _stopped_by
    _stopped_by = signal.Signals(signum)
    signal.signal(signum, signal.SIG_IGN)  # a repeat must not cut short the closing of the file
    raise KeyboardInterrupt


@contextmanager
def _stop_signals() -> Iterator[None]:
    """While a command runs, SIGTERM and SIGHUP end it as Ctrl-C does, so that a recording
    closes its file complete, and a second Ctrl-C (or signal) cannot cut that closing short;
    the handlers from before are put back after it."""
    global _stopped_by
    _stopped_by = signal.SIGINT
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    # Only the interpreter's own defaults are replaced: an ignore that nohup and the like
    # set, or a program's own handler, stays.
    ours = [number for number, handler in before.items()
            if handler is (signal.default_int_handler if number == signal.SIGINT else signal.SIG_DFL)]
    for number in ours:
        signal.signal(number, _stop)
    try:
        yield
    finally:
        for number in ours:
            signal.signal(number, before[number])


def interrupted_status() -> int:
    """128 + the signal that stopped the command, as a shell reports a process it ended."""
    return 128 + _stopped_by


def main(argv: Sequence[str] | None = None) -> None:
    with _stop_signals():
        try:
            status = cli.main(args=argv, prog_name="orlicam", standalone_mode=False)
        except (click.exceptions.Abort, KeyboardInterrupt):
            click.echo("orlicam: interrupted", err=True)
            sys.exit(interrupted_status())
        except click.ClickException as error:
            fail(error.format_message(), error.exit_code)
        except (_sdk_error(), ValueError, OSError, LookupError, ImportError) as error:  # TimeoutError: an OSError
            fail(error_line(error))
    sys.exit(status if isinstance(status, int) else 0)
