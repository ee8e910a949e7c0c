"""Running the Alpaca server: sockets, uvicorn, discovery, and closing the cameras."""
from __future__ import annotations

import asyncio
import contextlib
import errno
import logging
import os
import resource
import signal
import socket
import threading
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING

import h11
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol

from ..camera.camera import Camera, CameraDescription, cameras
from ..alpaca.app import AlpacaApp, ServerInfo
from ..alpaca.device import CameraDevice
from ..device.camera import driver_version, unique_id
from ..alpaca.discovery import DISCOVERY_PORT, bind_discovery, is_loopback, start_responder
from .hosts import HostCheck, HostNames

if TYPE_CHECKING:
    from ..live import LiveApp

log = logging.getLogger("vorrant.orlicam.alpaca")

# Limits on what clients can hold. Beyond MAX_CONNECTIONS open connections (or running
# requests) new requests get HTTP 503; the timeouts make sure idle, slow and vanished
# clients do not stay among them for long.
MAX_CONNECTIONS = 1000
BACKLOG = 1024              # connections the kernel queues before the server accepts them
REQUEST_TIMEOUT = 5.0       # s for a request's headers and body to arrive, from its first byte
IDLE_TIMEOUT = 5.0          # s a connection may wait between requests (and before its first)
WRITE_TIMEOUT = 30.0        # s a reply may wait for a client that has stopped reading
MAX_HEADER_BYTES = 16384    # request line and headers together


def bind_http(host: str, port: int) -> socket.socket:
    """The listening socket, bound before anything else starts, so that a port in
    use is a plain error rather than a log line from inside uvicorn."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # The protocol named explicitly: asyncio only turns Nagle's algorithm off for
    # sockets that say they are TCP, and without that every response waits ~40 ms
    # for the client's delayed acknowledgement.
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    # Lets a restarted server take the port while old connections linger in
    # TIME_WAIT; Linux still refuses a second listener on the same port.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(BACKLOG)
    except OSError as exc:
        sock.close()
        reason = "is already in use" if exc.errno == errno.EADDRINUSE else f"cannot be used ({exc.strerror})"
        raise OSError(exc.errno, f"Alpaca HTTP port {host}:{port} {reason}") from None
    return sock


def _serial(description: CameraDescription) -> str | None:
    """The camera's serial, read by opening it briefly; None when that fails
    (a camera in use elsewhere keeps an identity from its index)."""
    try:
        with Camera(description) as camera:
            return camera.serial
    except Exception as exc:
        log.warning("camera %d (%s): no serial number: %s", description.index, description.name, exc)
        return None


def make_devices(found: Sequence[CameraDescription]) -> list[CameraDevice]:
    devices = []
    for n, d in enumerate(found):
        serial = _serial(d)
        devices.append(CameraDevice(n, d, unique_id(d, serial), serial))
    return devices


class _Protocol(H11Protocol):
    """uvicorn's HTTP/1.1 protocol with deadlines it lacks: a connection must bring a
    whole request within REQUEST_TIMEOUT of its first byte (or of being opened), and
    a reply that makes no progress for WRITE_TIMEOUT is dropped."""

    _request_timer: asyncio.TimerHandle | None = None
    _write_timer: asyncio.TimerHandle | None = None

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._request_timer = self.loop.call_later(min(IDLE_TIMEOUT, REQUEST_TIMEOUT), self._expire, "no request")

    def data_received(self, data: bytes) -> None:
        # Also a request that began inside an earlier read (pipelined) gets its deadline here.
        if self._request_timer is None and self.conn.their_state in (h11.IDLE, h11.SEND_BODY):
            self._request_timer = self.loop.call_later(REQUEST_TIMEOUT, self._expire, "an incomplete request")
        super().data_received(data)
        if self.conn.their_state is not h11.IDLE and self.conn.their_state is not h11.SEND_BODY:
            self._cancel("_request_timer")   # the request is complete (or the connection is done)

    def handle_websocket_upgrade(self, event: h11.Request) -> None:
        # The request is complete; the socket that follows lives as long as its peer
        # reads (the websocket protocol watches that), not for REQUEST_TIMEOUT.
        self._cancel("_request_timer")
        self._cancel("_write_timer")
        super().handle_websocket_upgrade(event)

    def pause_writing(self) -> None:
        super().pause_writing()
        if self._write_timer is None:
            self._write_timer = self.loop.call_later(WRITE_TIMEOUT, self._expire, "a reply it did not read")

    def resume_writing(self) -> None:
        super().resume_writing()
        self._cancel("_write_timer")

    def connection_lost(self, exc: Exception | None) -> None:
        self._cancel("_request_timer")
        self._cancel("_write_timer")
        super().connection_lost(exc)

    def _cancel(self, name: str) -> None:
        timer = getattr(self, name)
        if timer is not None:
            timer.cancel()
            setattr(self, name, None)

    def _expire(self, what: str) -> None:
        self._request_timer = self._write_timer = None
        client = "%s:%d" % self.client if self.client else "a client"
        log.debug("closing the connection of %s: %s in time", client, what)
        self.transport.abort()


def saves_folder(folder: str | os.PathLike[str]) -> Path:
    """The live view's folder for saves, checked now rather than at the first press of
    Save an hour into the night: FileNotFoundError or PermissionError with one line."""
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "no such folder for the saves", os.fspath(folder))
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "the saves' folder is not writable", os.fspath(folder))
    return Path(folder)


def _raise_file_limit(wanted: int) -> None:
    """Lets the process hold as many sockets as the server admits connections, where
    the soft limit is lower and the hard limit allows it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
    if soft != resource.RLIM_INFINITY and soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


class _Uvicorn(uvicorn.Server):
    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        # Ctrl-C and SIGTERM end serve() normally once the cameras are closed,
        # instead of being raised again after uvicorn stops.
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        handled = (signal.SIGINT, signal.SIGTERM)
        previous = {sig: signal.signal(sig, self.handle_exit) for sig in handled}
        try:
            yield
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)


class Server:
    """An Alpaca server for every connected camera (or the ones given).

    `run()` serves in the calling thread until Ctrl-C or SIGTERM; `start()` and
    `stop()` (or a with block) run it in a background thread, for programs and tests.
    Port 0 picks a free port; `port` and `discovery_port` tell which.

    Every request must name the server in its Host header (see hosts.py): on loopback a
    name of this machine or a loopback address; elsewhere also the machine's name, `host`
    itself, any address, and the names in `allowed_hosts` ("*": any name).
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 11111, *, discovery: bool = True,
                 discovery_port: int = DISCOVERY_PORT, location: str = "",
                 cameras: Sequence[CameraDescription] | None = None, live: bool = True,
                 live_folder: str | os.PathLike[str] | None = None,
                 allowed_hosts: Sequence[str] = ()) -> None:
        self.host = host
        # The live view (pages at /live/n): on unless asked not to; saves go to live_folder.
        if live and live_folder is not None:
            saves_folder(live_folder)
        self._live_folder = Path(live_folder) if live_folder is not None else Path.cwd() if live else None
        self.allowed_hosts = HostNames(host, is_loopback(host), allowed_hosts)
        self.live: LiveApp | None = None
        self._requested = (port, discovery_port if discovery else None)
        self._location = location
        self._cameras = cameras
        self._http: socket.socket | None = None
        self._udp: list[socket.socket] = []
        self._uvicorn: _Uvicorn | None = None
        self._thread: threading.Thread | None = None
        self.devices: list[CameraDevice] = []

    @property
    def port(self) -> int:
        if self._http is None:
            raise RuntimeError("the server is not started")
        return int(self._http.getsockname()[1])

    @property
    def discovery_port(self) -> int | None:
        return int(self._udp[0].getsockname()[1]) if self._udp else None

    @property
    def url(self) -> str:
        return f"http://{self.host}:{self.port}"

    def _prepare(self) -> None:
        if self._uvicorn is not None:
            raise RuntimeError("the server is already running")
        port, discovery_port = self._requested
        self._http = bind_http(self.host, port)
        try:
            if discovery_port is not None:
                self._udp = bind_discovery(discovery_port, self.host)
            self.devices = make_devices(cameras() if self._cameras is None else self._cameras)
        except BaseException:
            self._release()
            raise
        info = ServerInfo("orlicam Alpaca server", "orlicam", driver_version(), self._location)
        app = AlpacaApp(self.devices, info).starlette()
        if self._live_folder is not None:
            try:
                from ..live import LiveApp
                from .websocket import WebSocket
            except ImportError as exc:
                log.warning("no live view: %s", exc)
            else:
                self.live = LiveApp(self.devices, self._live_folder, local_only=is_loopback(self.host),
                                    names=self.allowed_hosts)
                app.router.routes.extend(self.live.routes())
        _raise_file_limit(MAX_CONNECTIONS + 256)
        config = uvicorn.Config(HostCheck(app, self.allowed_hosts), log_config=None, access_log=False, lifespan="off", http=_Protocol,
                                ws="none" if self.live is None else WebSocket, timeout_keep_alive=int(IDLE_TIMEOUT), timeout_graceful_shutdown=5,
                                limit_concurrency=MAX_CONNECTIONS, backlog=BACKLOG,
                                h11_max_incomplete_event_size=MAX_HEADER_BYTES)
        self._uvicorn = _Uvicorn(config)
        log.info("serving %d camera(s) on %s", len(self.devices), self.url)

    async def _serve(self) -> None:
        assert self._uvicorn is not None and self._http is not None
        responders: list[asyncio.DatagramTransport] = []
        try:
            if self._udp:
                responders = await start_responder(self._udp, self.port, local_only=is_loopback(self.host))
            await self._uvicorn.serve(sockets=[self._http])
        finally:
            for responder in responders:
                responder.close()
            if self.live is not None:
                self.live.close()
            self._close_devices()

    def _close_devices(self) -> None:
        for device in self.devices:
            try:
                device.close()
            except Exception:
                log.exception("closing camera %d", device.number)

    def _release(self) -> None:
        for sock in [self._http, *self._udp]:
            if sock is not None:
                sock.close()
        self._http = None
        self._udp = []
        self._uvicorn = None
        self._thread = None

    def run(self) -> None:
        """Serves until Ctrl-C or SIGTERM, then closes every camera and returns."""
        self._prepare()
        try:
            asyncio.run(self._serve())
        finally:
            self._release()

    def start(self, timeout: float = 30.0) -> Server:
        """Serves from a background thread; returns once requests are accepted."""
        self._prepare()
        assert self._uvicorn is not None
        server = self._uvicorn
        self._thread = threading.Thread(target=asyncio.run, args=(self._serve(),),
                                        name="alpaca-server", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + timeout
        while not server.started:
            if not self._thread.is_alive() or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the Alpaca server did not start")
            time.sleep(0.01)
        return self

    def stop(self) -> None:
        """Stops serving, closes the cameras and waits for the server thread."""
        if self._uvicorn is not None:
            self._uvicorn.should_exit = True
        if self._thread is not None:
            self._thread.join()
        self._release()

    def __enter__(self) -> Server:
        return self if self._uvicorn is not None else self.start()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()


def serve(host: str = "127.0.0.1", port: int = 11111, discovery: bool = True, *,
          discovery_port: int = DISCOVERY_PORT, location: str = "", live: bool = True,
          live_folder: str | os.PathLike[str] | None = None, allowed_hosts: Sequence[str] = ()) -> None:
    """Serves every connected camera over ASCOM Alpaca until Ctrl-C or SIGTERM.

    Binds to the loopback interface unless `host` says otherwise. Raises OSError
    with a one-line message when the HTTP port or the discovery port is in use.
    """
    Server(host, port, discovery=discovery, discovery_port=discovery_port, location=location,
           live=live, live_folder=live_folder, allowed_hosts=allowed_hosts).run()
