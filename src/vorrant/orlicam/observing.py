"""The observation options of snap and stream (--object, --ra, ..., --cool-to, --settle).

They are declared here, apart from the plan module, so that building the command line
imports nothing heavy; each value is parsed by the plan module when the option is given,
and `plan.observation()` reads the values back in the command.
"""
from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any, Final

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
    ("kind", "--type", "TYPE", "Frame type for IMAGETYP: light, dark, flat, bias (default: light, or dark with --dark)."),
    ("cool_to", "--cool-to", "C", "Cool to this temperature (C) and wait until steady first."),
    ("settle", "--settle", "DURATION", "How long the sensor must stay within 1 C of --cool-to  [default: 2min]."),
)


def _keep(name: str) -> Callable[[Any, Any, Any], None]:
    def store(ctx: Any, param: Any, value: Any) -> None:
        if value is None:
            return
        import click

        parse = importlib.import_module("vorrant.orlicam.plan").PARSERS[name]
        try:
            ctx.meta.setdefault(OPTIONS_KEY, {})[name] = parse(value)
        except (ValueError, TypeError) as error:
            raise click.BadParameter(str(error), ctx, param) from None
    return store


def observation_options(*skip: str) -> Callable[[Any], Any]:
    """Adds the observation options to a command (but those named in `skip`)."""
    import click

    def add(f: Any) -> Any:
        for name, flag, metavar, text in reversed(COMMAND_LINE):
            if name not in skip:
                f = click.option(flag, metavar=metavar, callback=_keep(name), expose_value=False, help=text)(f)
        return f
    return add
