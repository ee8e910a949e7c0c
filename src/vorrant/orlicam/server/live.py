"""`orlicam live`: the server on this machine, and the URL of one camera's page."""
from __future__ import annotations

import logging
import os
import sys
import threading

from .server import Server, saves_folder
from ..camera.camera import Camera

log = logging.getLogger("vorrant.orlicam.live")


def camera_number(which: str | None) -> int:
    """The device number of the camera given by index ("1") or by text in its name ("294");
    the server numbers devices as cameras() lists them, so it is the camera's index."""
    if which is None:
        return 0
    return Camera(int(which) if which.isdigit() else which).index


def run(which: str | None, host: str = "127.0.0.1", port: int = 11111,
        folder: str | os.PathLike[str] | None = None) -> None:
    """Serves the cameras (Alpaca and the live view) until Ctrl-C, after printing the
    URL of the chosen camera's page on stdout."""
    number = camera_number(which)
    folder = saves_folder(folder if folder is not None else os.getcwd())
    with Server(host, port, discovery=False, live_folder=folder) as server:
        print(f"{server.url}/live/{number}", flush=True)
        print("Ctrl-C stops the server", file=sys.stderr, flush=True)
        stop = threading.Event()
        while not stop.wait(0.5):   # short waits, so that Ctrl-C is seen
            pass
