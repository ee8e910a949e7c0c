"""The `orlicam` command line: thin over the camera layer and the file writers.

Every command takes the camera as its index or as text found in its name. User errors
(an unknown camera, a bad value, a file that cannot be written, a camera refusing a
setting) print one line on stderr and exit with status 1 (2 for a malformed command
line); a recording interrupted by Ctrl-C (or SIGTERM, SIGHUP) closes its file first and
exits with status 130 (143, 129), as a shell reports a process ended by that signal.
"""
from __future__ import annotations

import importlib
import sys
import warnings
from collections.abc import Sequence

import click

from . import analyze, cameras, capture, night, serve, stack
from .console import error_line, fail, interrupted_status, sdk_error, stop_signals

__all__ = ["main", "cli"]

# --- commands -----------------------------------------------------------------------

# Commands in modules of their own, imported when one of them runs; their help line is here
# so that `orlicam --help` imports none of them.
LAZY_COMMANDS = {
    "doctor": ("vorrant.orlicam.cli.doctor", "command",
               "Check the camera library, USB permissions and limits, Python and the extras; say how to fix "
               "each problem."),
    "ser-finish": ("vorrant.orlicam.cli.serfinish", "command",
                   "Finish a killed SER recording: its frame count and times."),
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
                # a stand-in command shortens the help as click does (its helper is private from 8.2 on)
                rows.append((name, click.Command(name, help=LAZY_COMMANDS[name][2]).get_short_help_str(limit)))
        with formatter.section("Commands"):
            formatter.write_dl(rows)


@click.group(cls=_Group, context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="orlicam", prog_name="orlicam")
def cli() -> None:
    """Control ZWO ASI cameras: list them, read their controls, take pictures, record video, cool and guide."""


for _module in (analyze, cameras, capture, night, serve, stack):
    for _command in _module.COMMANDS:
        cli.add_command(_command)

def main(argv: Sequence[str] | None = None) -> None:
    # Newer astropy warns on every import when XDG_CONFIG_HOME is set and ~/.astropy exists:
    # its own set-up, not the user's command, and it would break an error's one line.
    warnings.filterwarnings("ignore", message=r"XDG_(CONFIG|CACHE)_HOME is set", category=UserWarning)
    with stop_signals():
        try:
            status = cli.main(args=argv, prog_name="orlicam", standalone_mode=False)
        except (click.exceptions.Abort, KeyboardInterrupt) as stop:
            # A command that knows how to go on says so in the interrupt's text (click's Abort carries it).
            # (older click raises its Abort "from None": the interrupt is then only its context.)
            cause = stop if isinstance(stop, KeyboardInterrupt) else stop.__cause__ or stop.__context__
            said = str(cause) if isinstance(cause, KeyboardInterrupt) else ""
            click.echo(f"orlicam: {said or 'interrupted'}", err=True)
            sys.exit(interrupted_status())
        except click.ClickException as error:
            fail(error.format_message(), error.exit_code)
        except (sdk_error(), ValueError, OSError, LookupError, ImportError) as error:  # TimeoutError: an OSError
            fail(error_line(error))
    sys.exit(status if isinstance(status, int) else 0)
