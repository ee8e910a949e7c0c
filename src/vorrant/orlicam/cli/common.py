"""What the commands share: option types, the capture and observation options, the camera
a command opens."""
from __future__ import annotations

import importlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Final

import click

from ..camera.values import guide_duration, parse_duration, parse_roi, positive_duration

if TYPE_CHECKING:
    from ..camera import Camera
    from ..observing.plan import Observation


class Parsed(click.ParamType):  # type: ignore[type-arg, unused-ignore]   # generic from click 8.2 on
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


# One rule for every duration of the command line, said in each help text that takes one.
SECONDS: Final = "a bare number is seconds"
DURATION = Parsed("duration", parse_duration)
POSITIVE_DURATION = Parsed("duration", positive_duration)
GUIDE_DURATION = Parsed("duration", guide_duration)
ROI = Parsed("roi", parse_roi)
FORMATS = click.Choice(["RAW8", "RAW16", "RGB24", "Y8"], case_sensitive=False)


@contextmanager
def opened(which: str) -> Iterator[Camera]:
    """The camera by index ("0") or by text in its name ("294MM"), open for the block."""
    from ..camera.camera import Camera

    with Camera(int(which) if which.isdigit() else which) as cam:
        yield cam


def need(cam: Camera, feature: str, what: str) -> None:
    if not getattr(cam.description, feature):
        raise ValueError(f"{cam.name} has no {what}")


def capture_options(f: Callable[..., Any]) -> Callable[..., Any]:
    for option in reversed([
        click.option("-e", "--exposure", type=DURATION, help=f"Exposure time, e.g. 2s, 500ms, 250us; {SECONDS}."),
        click.option("-g", "--gain", type=int, help="Gain."),
        click.option("--offset", type=int, help="Offset (black level)."),
        click.option("-b", "--bin", "bin_", type=int, default=1, show_default=True, help="Binning."),
        click.option("-f", "--format", "image_format", type=FORMATS, help="Image format."),
        click.option("--roi", type=ROI, help="Region WxH[+X+Y] in binned pixels (centred without +X+Y)."),
    ]):
        f = option(f)
    return f


# --- the observation options of snap and stream (--object, --ra, ..., --cool-to, --settle) ---
# Each value is parsed by the plan module when the option is given, so that building the
# command line imports nothing heavy; observation() reads them back in the command.

OPTIONS_KEY: Final = "orlicam.observation"

# name (the plan's parser and the value's key), flag, metavar, help
COMMAND_LINE: Final = (
    ("object", "--object", "TEXT", "Target name (OBJECT)."),
    ("ra", "--ra", "RA", "Target right ascension: hours 05:35:17, or degrees."),
    ("dec", "--dec", "DEC", "Target declination: -05:23:28, or degrees."),
    ("telescope", "--telescope", "TEXT", "Telescope (TELESCOP; also the SER header)."),
    ("focal_length", "--focal-length", "MM", "Focal length, mm (FOCALLEN)."),
    ("aperture", "--aperture", "MM", "Aperture diameter, mm (APTDIA)."),
    ("observer", "--observer", "TEXT", "Observer (OBSERVER; also the SER header)."),
    ("filter", "--filter", "TEXT", "Filter in use (FILTER)."),
    ("kind", "--type", "TYPE", "Frame type for IMAGETYP: light, dark, flat, bias (default: light)."),
    ("cool_to", "--cool-to", "C", "Cool to this temperature (C) and wait until steady first."),
    ("settle", "--settle", "DURATION", f"How long the sensor must stay within 1 C of --cool-to, e.g. 5min; {SECONDS}  [default: 2min]."),
)


def _keep(name: str) -> Callable[[Any, Any, Any], None]:
    def store(ctx: Any, param: Any, value: Any) -> None:
        if value is None:
            return
        parse = importlib.import_module("vorrant.orlicam.observing.plan").PARSERS[name]
        try:
            ctx.meta.setdefault(OPTIONS_KEY, {})[name] = parse(value)
        except (ValueError, TypeError) as error:
            raise click.BadParameter(str(error), ctx, param) from None
    return store


def observation_options(*skip: str, dark: bool = False) -> Callable[[Any], Any]:
    """Adds the observation options to a command (but those named in `skip`); `dark`: the
    command has --dark, which --type's default follows."""
    def add(f: Any) -> Any:
        for name, flag, metavar, text in reversed(COMMAND_LINE):
            if name == "kind" and dark:
                text = text.replace("(default: light)", "(default: light, or dark with --dark)")
            if name not in skip:
                f = click.option(flag, metavar=metavar, callback=_keep(name), expose_value=False, help=text)(f)
        return f
    return add


def observation(**given: Any) -> Observation:
    """The observation options given, over the user's config file; `given` adds values from
    the command's own options (the SER header's observer and telescope)."""
    from ..observing.plan import observation as from_values

    values = dict(click.get_current_context().meta.get(OPTIONS_KEY, {}))
    values.update({k: v for k, v in given.items() if v})
    return from_values(values)
