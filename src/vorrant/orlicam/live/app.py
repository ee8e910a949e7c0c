"""The live view's routes, served beside the Alpaca routes by the same server.

Routes only translate: a request in, one call on the camera's Feed, JSON or a page out.
State-changing requests (settings, save, record, the socket, and /stats, which starts the
camera) are refused when a browser says they come from another site; requests without an
Origin (scripts) are taken.
"""
from __future__ import annotations

import asyncio
import html
import json
import logging
import math
import re
from collections.abc import Sequence
from contextlib import suppress
from importlib.resources import files
from pathlib import Path
from typing import Any, Protocol
from urllib.parse import urlsplit

from starlette.datastructures import Headers
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, PlainTextResponse, Response
from starlette.routing import BaseRoute, Mount, Route, WebSocketRoute
from starlette.staticfiles import StaticFiles
from starlette.websockets import WebSocket, WebSocketDisconnect

from ..device.camera import CameraDevice
from ..device.errors import DeviceError
from .feed import Feed
from .settings import Settings

log = logging.getLogger("vorrant.orlicam.live")

CSP = "default-src 'self'; img-src 'self' blob: data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'"
MAX_BODY = 4096
FIRST_FRAME_WAIT = 30.0
_NUMBER = re.compile(r"[0-9]{1,4}")
_PAGE = files(__package__).joinpath("static", "index.html")


class BadSettings(ValueError):
    """A malformed request: HTTP 400 with the message."""


LOCAL_NAMES = frozenset({"127.0.0.1", "localhost", "::1"})


class HostNames(Protocol):
    """The names the server answers to, as its Host check knows them."""

    allowed: frozenset[str]   # the names given to it (--allow-host)

    def refusal(self, header: str | None) -> str | None: ...


def origin_refusal(headers: Headers, local_only: bool = False, names: HostNames | None = None) -> str | None:
    """Why a browser's request comes from a page of another site; None when it does not.
    With `local_only` (a server on the loopback interface) the request must also name this
    server as its host (the names its Host check takes), so that a foreign name re-pointed
    at 127.0.0.1 (DNS rebinding) does not make another site's page look like our own. The
    page's Origin must be the Host it asked, or a name given to the server: a reverse proxy
    in front answers to that name on its own port."""
    site = headers.get("sec-fetch-site", "same-origin")
    if site not in ("same-origin", "none"):
        return f"the browser says the request comes from another site (Sec-Fetch-Site: {site[:40]})"
    host = headers.get("host", "")
    if local_only:
        reason = (names.refusal(host) if names is not None
                  else None if urlsplit(f"//{host}").hostname in LOCAL_NAMES else f"{host[:80]!r} is not this machine")
        if reason is not None:
            return f"the request comes from another site: its Host {reason}"
    origin = headers.get("origin")
    if origin is None:
        return None
    parts = urlsplit(origin)
    if parts.scheme in ("http", "https") and (parts.netloc == host or (
            names is not None and (parts.hostname or "").rstrip(".") in names.allowed)):
        return None
    return (f"the request comes from another site: the page's Origin {origin[:80]!r} is neither the Host it asked "
            f"({host[:80]!r}) nor a name given with --allow-host")


def same_origin(headers: Headers, local_only: bool = False, names: HostNames | None = None) -> bool:
    """False when a browser says the request comes from a page of another origin (origin_refusal)."""
    return origin_refusal(headers, local_only, names) is None


def _page(body: str, status: int = 200) -> HTMLResponse:
    return HTMLResponse(body, status_code=status, headers={"Content-Security-Policy": CSP,
                                                          "X-Content-Type-Options": "nosniff",
                                                          "Referrer-Policy": "no-referrer"})


# --- settings from JSON -----------------------------------------------------------

def _number(body: dict[str, Any], key: str) -> float | None:
    value = body.get(key)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise BadSettings(f"{key} must be a number, not {value!r}")
    return float(value)


def _integer(body: dict[str, Any], key: str) -> int | None:
    value = _number(body, key)
    if value is None:
        return None
    if value != int(value):
        raise BadSettings(f"{key} must be a whole number, not {body[key]!r}")
    return int(value)


def _fraction(body: dict[str, Any], key: str) -> float | None:
    value = _number(body, key)
    if value is not None and not 0.0 <= value <= 1.0:
        raise BadSettings(f"{key} must be between 0 and 1, not {value!r}")
    return value


def parse_settings(body: object) -> Settings:
    """Settings from the page's JSON; BadSettings for anything malformed."""
    if not isinstance(body, dict):
        raise BadSettings("the body must be a JSON object")
    known = {"exposure", "gain", "offset", "bin", "roi", "format", "target_temperature", "cooler_on",
             "black", "white", "auto_stretch", "zoom", "focal_length", "stack"}
    unknown = sorted(set(body) - known)
    if unknown:
        raise BadSettings(f"unknown setting(s): {', '.join(unknown)}; known: {', '.join(sorted(known))}")
    roi = body.get("roi")
    full = roi == "full"
    if full:
        roi = None
    elif roi is not None and (not isinstance(roi, list) or len(roi) != 4
                            or not all(isinstance(v, int) and not isinstance(v, bool) for v in roi)):
        raise BadSettings('roi must be [width, height, x, y] in whole binned pixels, or "full"')
    zoom = body.get("zoom")
    if zoom is not None and zoom is not False and (
            not isinstance(zoom, list) or len(zoom) != 2
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and 0 <= v <= 1 for v in zoom)):
        raise BadSettings("zoom must be [x, y] as fractions of the frame, or false")
    fmt = body.get("format")
    if fmt is not None and not isinstance(fmt, str):
        raise BadSettings("format must be a format's name")
    focal = _number(body, "focal_length")
    if focal is not None and not 0 <= focal <= 100_000:
        raise BadSettings(f"focal_length must be in mm, 0 (not known) to 100000, not {focal!r}")
    flags = {}
    for key in ("cooler_on", "auto_stretch", "stack"):
        if body.get(key) is not None and not isinstance(body[key], bool):
            raise BadSettings(f"{key} must be true or false")
        flags[key] = body.get(key)
    return Settings(exposure=_number(body, "exposure"), gain=_integer(body, "gain"), offset=_integer(body, "offset"),
                    bin=_integer(body, "bin"), roi=None if roi is None else (roi[0], roi[1], roi[2], roi[3]),
                    full_frame=True if full else None,
                    image_format=fmt, target_temperature=_number(body, "target_temperature"),
                    cooler_on=flags["cooler_on"], black=_fraction(body, "black"), white=_fraction(body, "white"),
                    auto_stretch=flags["auto_stretch"],
                    zoom=None if not zoom else (float(zoom[0]), float(zoom[1])),
                    zoom_off=True if zoom is False else None, focal_length=focal, stack=flags["stack"])


class LiveApp:
    """The live view's routes over the server's devices."""

    def __init__(self, devices: Sequence[CameraDevice], folder: Path, local_only: bool = False,
                 names: HostNames | None = None) -> None:
        self.devices = devices
        self.folder = folder
        self.local_only = local_only
        self.names = names
        self.feeds = [Feed(device, folder) for device in devices]
        for device in devices:
            device.links.append(("Live view: preview, histogram and focus", f"/live/{device.number}"))

    def routes(self) -> list[BaseRoute]:
        return [
            Route("/", self.index, methods=["GET"]),
            Route("/live/{number}", self.page, methods=["GET"]),
            Route("/live/{number}/camera", self.camera, methods=["GET"]),
            Route("/live/{number}/stats", self.stats, methods=["GET"]),
            Route("/live/{number}/settings", self.settings, methods=["PUT"]),
            Route("/live/{number}/save", self.save, methods=["POST"]),
            Route("/live/{number}/record", self.record, methods=["POST"]),
            Route("/live/{number}/stack", self.stack, methods=["POST"]),
            WebSocketRoute("/live/{number}/ws", self.view),
            Mount("/live/static", app=StaticFiles(packages=[(__package__, "static")]), name="live-static"),
        ]

    def feed(self, number: str) -> Feed | None:
        if not _NUMBER.fullmatch(number) or int(number) >= len(self.feeds):
            return None
        return self.feeds[int(number)]

    def _missing(self, number: str) -> Response:
        return PlainTextResponse(f"no camera number {number!r}; there are {len(self.feeds)}", status_code=404)

    async def index(self, request: Request) -> Response:
        rows = "\n".join(
            f'<li><a href="/live/{d.number}">{html.escape(d.description.name)}</a> '
            f'<span class="dim">{d.description.max_width}&times;{d.description.max_height}, '
            f'{"colour" if d.description.is_color else "mono"}{", cooled" if d.description.cooled else ""}'
            f' &middot; Alpaca camera {d.number}</span></li>'
            for d in self.devices)
        return _page(f"""<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>orlicam</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="/live/static/favicon.svg"><link rel="stylesheet" href="/live/static/live.css"></head>
<body class="list"><h1>orlicam cameras</h1><ul class="cameras">{rows or "<li>no camera is connected</li>"}</ul>
<p class="dim">The same server answers ASCOM Alpaca clients on this port.</p></body></html>""")

    async def page(self, request: Request) -> Response:
        number = request.path_params["number"]
        if self.feed(number) is None:
            return self._missing(number)
        return _page(_PAGE.read_text())

    async def camera(self, request: Request) -> Response:
        number = request.path_params["number"]
        feed = self.feed(number)
        if feed is None:
            return self._missing(number)
        d = feed.device.description
        return JSONResponse({"name": d.name, "max_width": d.max_width, "max_height": d.max_height,
                             "bins": list(d.bins), "formats": list(d.formats), "cooled": d.cooled,
                             "color": d.is_color, "pixel_size": d.pixel_size, "bit_depth": d.bit_depth})

    async def stats(self, request: Request) -> Response:
        # It takes the camera from Alpaca clients for a while: another site's page may not.
        feed = self._own_site(request)
        if isinstance(feed, Response):
            return feed
        number = request.path_params["number"]
        feed.touch()
        if feed.latest.frame is None:
            try:
                await asyncio.wait_for(_first_frame(feed), FIRST_FRAME_WAIT)
            except TimeoutError:
                status = feed.latest.preview.meta.get("message") if feed.latest.preview else None
                return PlainTextResponse(status or f"camera {number} has delivered no frame yet", status_code=503)
        return JSONResponse(feed.figures(), headers={"Cache-Control": "no-store"})

    def _own_site(self, request: Request) -> Feed | Response:
        """The request's feed, or the refusal: no such camera, or a request from another site."""
        number = request.path_params["number"]
        feed = self.feed(number)
        if feed is None:
            return self._missing(number)
        reason = origin_refusal(request.headers, self.local_only, self.names)
        if reason is not None:
            log.info("%s %s: refused: %s", request.method, request.url.path, reason)
            return PlainTextResponse(f"refused: {reason}", status_code=403)
        return feed

    async def _changing(self, request: Request) -> tuple[Feed, object] | Response:
        """The feed and the JSON body of a state-changing request, or the refusal."""
        feed = self._own_site(request)
        if isinstance(feed, Response):
            return feed
        body = await request.body()
        if len(body) > MAX_BODY:
            return PlainTextResponse(f"the body is larger than {MAX_BODY} bytes", status_code=400)
        if not body:
            return feed, {}
        if request.headers.get("content-type", "").split(";")[0].strip() != "application/json":
            return PlainTextResponse("the body must be application/json", status_code=400)
        try:
            return feed, json.loads(body)
        except ValueError:
            return PlainTextResponse("the body is not JSON", status_code=400)

    async def _ask(self, feed: Feed, settings: Settings, action: str | None) -> Response:
        try:
            return JSONResponse(await feed.request(settings, action))
        except DeviceError as exc:
            return PlainTextResponse(exc.message, status_code=409)
        except (ValueError, OSError) as exc:   # refused by the camera layer, or the file system
            notes = getattr(exc, "__notes__", None) or []
            return PlainTextResponse("; ".join([str(exc), *notes]), status_code=409)
        except Exception as exc:
            notes = getattr(exc, "__notes__", None) or []
            return PlainTextResponse("; ".join([f"{type(exc).__name__}: {exc}", *notes]), status_code=409)

    async def settings(self, request: Request) -> Response:
        got = await self._changing(request)
        if isinstance(got, Response):
            return got
        feed, body = got
        try:
            settings = parse_settings(body)
        except BadSettings as exc:
            return PlainTextResponse(str(exc), status_code=400)
        return await self._ask(feed, settings, None)

    async def save(self, request: Request) -> Response:
        got = await self._changing(request)
        return got if isinstance(got, Response) else await self._ask(got[0], Settings(), "save")

    async def record(self, request: Request) -> Response:
        got = await self._changing(request)
        if isinstance(got, Response):
            return got
        feed, body = got
        on = body.get("recording") if isinstance(body, dict) else None
        if not isinstance(on, bool):
            return PlainTextResponse('the body must be {"recording": true} or {"recording": false}', status_code=400)
        return await self._ask(feed, Settings(), "record" if on else "stop_recording")

    async def stack(self, request: Request) -> Response:
        got = await self._changing(request)
        if isinstance(got, Response):
            return got
        feed, body = got
        action = body.get("action") if isinstance(body, dict) else None
        if action not in ("reset", "save"):
            return PlainTextResponse('the body must be {"action": "reset"} or {"action": "save"}', status_code=400)
        return await self._ask(feed, Settings(), f"stack_{action}")

    async def view(self, socket: WebSocket) -> None:
        feed = self.feed(socket.path_params["number"])
        reason = (f"no camera number {socket.path_params['number'][:20]!r}" if feed is None
                  else origin_refusal(socket.headers, self.local_only, self.names))
        if feed is None or reason is not None:
            log.info("WebSocket %s: refused: %s", socket.url.path, reason)
            if "websocket.http.response" in socket.scope.get("extensions", {}):
                return await socket.send_denial_response(PlainTextResponse(f"refused: {reason}", status_code=403))
            return await socket.close(code=1008)          # before accept: HTTP 403
        await socket.accept()
        async with feed.viewer():
            with suppress(WebSocketDisconnect):
                sent = -1
                while True:
                    preview = await feed.latest.newer_than(sent)
                    feed.latest.mark_sent(preview)
                    await socket.send_text(preview.meta_json)
                    for part in preview.parts:
                        await socket.send_bytes(part)
                    sent = preview.index
                    if not await _credit(socket):         # the page's credit: one update in flight
                        return

    def close(self) -> None:
        """Stops every pump; for server shutdown, before the cameras close."""
        for feed in self.feeds:
            feed.close()


async def _credit(socket: WebSocket) -> bool:
    """Waits for the page's next message, a JSON object ({"ack": n}); anything else
    closes the socket with one log line (the page never sends it)."""
    message = await socket.receive()
    if message["type"] == "websocket.disconnect":
        raise WebSocketDisconnect(message.get("code", 1000))
    text = message.get("text")
    if text is None:
        code, problem = 1003, "a binary message"
    else:
        try:
            body = json.loads(text)
        except ValueError:
            body = None
        if isinstance(body, dict):
            return True
        code, problem = 1007, "a text message that is not a JSON object"
    client = "%s:%d" % socket.client if socket.client else "a client"
    log.info("%s %s: closing: the page sent %s", client, socket.url.path, problem)
    await socket.close(code, f"expected a JSON object, got {problem}")
    return False


async def _first_frame(feed: Feed) -> None:
    while feed.latest.frame is None:
        await feed.latest.newer_than(feed.latest.preview.index if feed.latest.preview else -1)
