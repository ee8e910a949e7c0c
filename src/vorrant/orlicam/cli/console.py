"""The console output the commands share: tables, JSON, progress lines and error lines."""
from __future__ import annotations

import signal
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, NoReturn, Protocol

import click

if TYPE_CHECKING:
    from rich.console import Console
    from rich.table import Table

    from ..camera import CameraDescription

_console: Console | None = None


def _out() -> Console:
    """The terminal console, made on first use: rich is imported only by commands that print with it."""
    global _console
    if _console is None:
        from rich.console import Console
        _console = Console(highlight=False, soft_wrap=True)
    return _console


def new_table(*headers: str, **options: Any) -> Table:
    from rich.table import Table
    return Table(*headers, **options)


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


def error_line(error: BaseException) -> str:
    """One line: the message, then the notes (the operation and camera) in brackets."""
    text = str(error) or type(error).__name__
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.filename}: {error.strerror}"
    notes = [n for n in getattr(error, "__notes__", ()) if n]
    if isinstance(error, sdk_error()):
        text = f"{type(error).__name__}: {text}"
    return " ".join([text, *(f"({n})" for n in notes)]).replace("\n", " ")


class _NotRaised(Exception):
    """Stands for korvi.ASIError while korvi is not imported: nothing can have raised it."""


def sdk_error() -> type[Exception]:
    # korvi is imported by the commands that use a camera, not for --help.
    module = sys.modules.get("vorrant.orlicam.korvi")
    error: type[Exception] = module.ASIError if module is not None else _NotRaised
    return error


def fail(text: str, status: int = 1) -> NoReturn:
    click.echo(f"orlicam: error: {text}", err=True)
    sys.exit(status)


# --- how a command ends: signals ---------------------------------------------------

_stopped_by = signal.SIGINT


def _stop(signum: int, frame: object) -> None:
    global _stopped_by
    _stopped_by = signal.Signals(signum)
    signal.signal(signum, signal.SIG_IGN)  # a repeat must not cut short the closing of the file
    raise KeyboardInterrupt


@contextmanager
def stop_signals() -> Iterator[None]:
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
