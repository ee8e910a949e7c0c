"""The network faces: serve (Alpaca and the live view) and live."""
from __future__ import annotations

import importlib
import sys
from pathlib import Path

import click


@click.command()
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option("--port", type=click.IntRange(0, 65535), default=11111, show_default=True, help="TCP port.")
@click.option("--discovery/--no-discovery", default=True, show_default=True, help="Answer Alpaca discovery.")
@click.option("-v", "--verbose", is_flag=True, help="Log every request and discovery query.")
@click.option("--live/--no-live", default=True, show_default=True, help="Serve the live view pages at /live/N.")
@click.option("--folder", type=click.Path(file_okay=False, path_type=Path), help="Where the live view saves files [default: here].")
@click.option("--allow-host", "allowed_hosts", multiple=True, metavar="NAME",
              help="Also answer requests that name the server NAME (a name it is reached by; '*': any). Repeatable.")
def serve(host: str, port: int, discovery: bool, verbose: bool, live: bool, folder: Path | None,
          allowed_hosts: tuple[str, ...]) -> None:
    """Serve the cameras over ASCOM Alpaca."""
    # A server runs unattended: what it does goes to stderr as log lines.
    import logging
    logging.basicConfig(level=logging.DEBUG if verbose else logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    server = importlib.import_module("vorrant.orlicam.server")
    if live and folder is not None:
        server.saves_folder(folder)   # as `orlicam live` says it: one line, status 1
    try:
        server.serve(host=host, port=port, discovery=discovery, live=live, live_folder=folder,
                     allowed_hosts=allowed_hosts)
    except (OSError, RuntimeError) as error:
        raise click.ClickException(f"cannot serve on {host}:{port}: {error}") from None


@click.command()
@click.argument("camera", required=False)
@click.option("--port", type=click.IntRange(0, 65535), default=11111, show_default=True, help="TCP port (0: any free one).")
@click.option("--folder", type=click.Path(file_okay=False, path_type=Path), help="Where saves go [default: here].")
def live(camera: str | None, port: int, folder: Path | None) -> None:
    """Serve the live view on this machine and print the camera's page URL."""
    import logging

    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    importlib.import_module("vorrant.orlicam.server.live").run(camera, port=port, folder=folder)


COMMANDS = [serve, live]
