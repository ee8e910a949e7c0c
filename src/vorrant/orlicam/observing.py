"""The observation options of snap and stream (--object, --ra, ..., --cool-to, --settle)
as click options. Their values are read by the plan module, imported only when one of them
is given: building the commands, and `orlicam --help`, need none of it."""
from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any, Final

__all__ = ["OPTIONS_KEY", "observation_options"]

OPTIONS_KEY: Final = "orlicam.observation"   # where the values wait in click's context

# (name, flag, metavar, the plan module's reader: a function's name, or a factory's name and
# its arguments, help)
_COMMAND_LINE: Final[tuple[tuple[str, str, str, tuple[Any, ...], str], ...]] = (
    ("object", "--object", "TEXT", ("_text",), "Target name (OBJECT)."),
    ("ra", "--ra", "RA", ("parse_ra",), "Target right ascension: hours 05:35:17, or degrees."),
    ("dec", "--dec", "DEC", ("parse_dec",), "Target declination: -05:23:28, or degrees."),
    ("telescope", "--telescope", "TEXT", ("_text",), "Telescope (TELESCOP; also the SER header)."),
    ("focal_length", "--focal-length", "MM", ("_number_text", 1, 1e6, " mm"), "Focal length, mm (FOCALLEN)."),
    ("aperture", "--aperture", "MM", ("_number_text", 1, 1e5, " mm"), "Aperture diameter, mm (APTDIA)."),
    ("observer", "--observer", "TEXT", ("_text",), "Observer (OBSERVER; also the SER header)."),
    ("filter", "--filter", "TEXT", ("_text",), "Filter in use (FILTER)."),
    ("kind", "--type", "TYPE", ("_kind",), "Frame type for IMAGETYP: light, dark, flat, bias (default: light, or dark with --dark)."),
    ("cool_to", "--cool-to", "C", ("_number_text", -80, 40, " C"), "Cool to this temperature (C) and wait until steady first."),
    ("settle", "--settle", "DURATION", ("_duration",), "How long the sensor must stay within 1 C of --cool-to  [default: 2min]."),
)


def _reader(how: tuple[Any, ...]) -> Callable[[Any], Any]:
    name, *arguments = how
    found: Any = getattr(importlib.import_module("vorrant.orlicam.plan"), name)
    return found(*arguments) if arguments else found   # type: ignore[no-any-return]


def _keep(name: str, how: tuple[Any, ...]) -> Callable[[Any, Any, Any], None]:
    def store(ctx: Any, param: Any, value: Any) -> None:
        if value is None:
            return
        import click

        try:
            ctx.meta.setdefault(OPTIONS_KEY, {})[name] = _reader(how)(value)
        except (ValueError, TypeError) as error:
            raise click.BadParameter(str(error), ctx, param) from None
    return store


def observation_options(*skip: str) -> Callable[[Any], Any]:
    """Adds --object, --ra, --dec, --telescope, ..., --cool-to and --settle to a command
    (but those named in `skip`); `plan.observation()` reads them back in the command."""
    import click

    def add(f: Any) -> Any:
        for name, flag, metavar, how, text in reversed(_COMMAND_LINE):
            if name not in skip:
                f = click.option(flag, metavar=metavar, callback=_keep(name, how), expose_value=False, help=text)(f)
        return f
    return add
