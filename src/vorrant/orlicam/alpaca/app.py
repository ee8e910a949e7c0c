"""The HTTP side: Alpaca's management and device routes on Starlette.

Routes only translate: parameters in, one call on a CameraDevice, the Alpaca
JSON envelope (or ImageBytes) out. Device work runs in the thread pool so a
slow camera call never stalls the event loop.
"""
from __future__ import annotations

import itertools
import json
import logging
import re
from collections.abc import AsyncIterator, Iterator, Sequence
from dataclasses import dataclass
from typing import Any
from urllib.parse import parse_qsl

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import ClientDisconnect, Request
from starlette.responses import HTMLResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route

from .device import ERROR_VALUES, GETTERS, NOT_NOW, PUT_VALUES, SETTERS, CameraDevice
from .members import NOT_IMPLEMENTED_GET, NOT_IMPLEMENTED_PUT
from ..device.errors import BadRequest, DeviceError, ErrorNumber, describe
from .image import IMAGEBYTES, imagebytes_chunks, imagebytes_header, json_array_chunks, json_array_length
from .pages import camera_page, server_page
from .params import Params

log = logging.getLogger("vorrant.orlicam.alpaca")

MAX_BODY = 16 * 1024   # Alpaca form bodies are a few dozen bytes
MAX_FIELDS = 32
IMAGE_MEMBERS = frozenset({"imagearray", "imagearrayvariant"})
_READABLE = frozenset(GETTERS) | IMAGE_MEMBERS | NOT_IMPLEMENTED_GET
_WRITABLE = frozenset(SETTERS) | NOT_IMPLEMENTED_PUT
_JSON = "application/json"
_DECIMAL = re.compile(r"[0-9]{1,9}")
_METHODS = ["GET", "PUT", "POST", "DELETE", "PATCH", "OPTIONS"]


@dataclass(frozen=True, slots=True)
class ServerInfo:
    name: str
    manufacturer: str
    version: str
    location: str


def _json(body: dict[str, Any]) -> Response:
    return Response(json.dumps(body, separators=(",", ":")), media_type=_JSON)


def _envelope(client_tid: int, server_tid: int, number: int = 0, message: str = "") -> dict[str, Any]:
    return {"ErrorNumber": number, "ErrorMessage": message,
            "ClientTransactionID": client_tid, "ServerTransactionID": server_tid}


class MethodNotAllowed(Exception):
    def __init__(self, allow: str) -> None:
        super().__init__(allow)
        self.allow = allow


async def _params(request: Request) -> Params:
    if request.method == "GET":
        return Params(request.query_params.multi_items())
    declared = request.headers.get("content-length")
    if declared is not None and (not _DECIMAL.fullmatch(declared) or int(declared) > MAX_BODY):
        raise BadRequest(f"request body larger than {MAX_BODY} bytes")
    kind = request.headers.get("content-type", "").split(";")[0].strip().lower()
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_BODY:
            raise BadRequest(f"request body larger than {MAX_BODY} bytes")
    if body and kind != "application/x-www-form-urlencoded":
        raise BadRequest("PUT parameters must be sent as application/x-www-form-urlencoded")
    try:
        text = body.decode()
    except UnicodeDecodeError:
        raise BadRequest("the form body is not UTF-8 text") from None
    if text.count("&") >= MAX_FIELDS:
        raise BadRequest(f"more than {MAX_FIELDS} parameters")
    return Params(parse_qsl(text, keep_blank_values=True), exact=True)


class AlpacaApp:
    """The routes over a fixed list of devices, numbered as listed."""

    def __init__(self, devices: Sequence[CameraDevice], info: ServerInfo) -> None:
        self.devices = devices
        self.info = info
        # Handlers take their number on the event loop thread, so the count needs no lock.
        self._server_tids = itertools.count(1)

    def starlette(self) -> Starlette:
        return Starlette(routes=[
            Route("/management/apiversions", self.apiversions, methods=["GET"]),
            Route("/management/v1/description", self.description, methods=["GET"]),
            Route("/management/v1/configureddevices", self.configureddevices, methods=["GET"]),
            # Every method reaches the handler, which answers 405 with the member's own Allow.
            Route("/api/v1/{device_type}/{device_number}/{member}", self.device, methods=_METHODS),
            Route("/setup", self.setup, methods=["GET"]),
            Route("/setup/v1/{device_type}/{device_number}/setup", self.device_setup, methods=["GET"]),
        ])

    # --- setup pages ---------------------------------------------------------------

    async def setup(self, request: Request) -> Response:
        return HTMLResponse(await run_in_threadpool(server_page, self.info.name, self.devices))

    async def device_setup(self, request: Request) -> Response:
        kind, number = request.path_params["device_type"], request.path_params["device_number"]
        if kind != "camera" or not _DECIMAL.fullmatch(number) or int(number) >= len(self.devices):
            return PlainTextResponse(f"no {kind} with device number {number[:20]!r}", status_code=404)
        return HTMLResponse(await run_in_threadpool(camera_page, self.devices[int(number)]))

    # --- management ----------------------------------------------------------------

    def _management(self, request: Request, value: Any) -> Response:
        try:
            params = Params(request.query_params.multi_items())
            params.transaction_id("ClientID")
            client_tid = params.transaction_id("ClientTransactionID")
        except BadRequest as exc:
            log.info("%s %s: 400 %s", request.method, request.url.path, exc)
            return PlainTextResponse(str(exc), status_code=400)
        return _json({"Value": value, **_envelope(client_tid, next(self._server_tids))})

    async def apiversions(self, request: Request) -> Response:
        return self._management(request, [1])

    async def description(self, request: Request) -> Response:
        return self._management(request, {
            "ServerName": self.info.name, "Manufacturer": self.info.manufacturer,
            "ManufacturerVersion": self.info.version, "Location": self.info.location})

    async def configureddevices(self, request: Request) -> Response:
        return self._management(request, [
            {"DeviceName": d.description.name, "DeviceType": "Camera", "DeviceNumber": d.number,
             "UniqueID": d.unique_id} for d in self.devices])

    # --- devices -------------------------------------------------------------------

    def _device(self, request: Request) -> tuple[CameraDevice, str]:
        kind, number, member = (request.path_params[k] for k in ("device_type", "device_number", "member"))
        if kind != "camera":
            raise BadRequest(f"no such device type {kind[:40]!r}: this server has cameras only")
        if not _DECIMAL.fullmatch(number) or int(number) >= len(self.devices):
            raise BadRequest(f"no camera with device number {number[:40]!r}; there are {len(self.devices)}")
        if member not in _READABLE | _WRITABLE:
            raise BadRequest(f"unknown member {member[:40]!r} (members are lower case)")
        allowed = _READABLE if request.method == "GET" else _WRITABLE if request.method == "PUT" else frozenset()
        if member not in allowed:
            raise MethodNotAllowed(", ".join(m for m, names in (("GET", _READABLE), ("PUT", _WRITABLE))
                                             if member in names))
        return self.devices[int(number)], member

    async def device(self, request: Request) -> Response:
        server_tid = next(self._server_tids)
        try:
            device, member = self._device(request)
            params = await _params(request)
            params.transaction_id("ClientID")
            client_tid = params.transaction_id("ClientTransactionID")
        except BadRequest as exc:
            log.info("%s %s: 400 %s", request.method, request.url.path, exc)
            return PlainTextResponse(str(exc), status_code=400)
        except MethodNotAllowed as exc:
            return PlainTextResponse(f"{request.method} is not allowed here", status_code=405,
                                     headers={"Allow": exc.allow})
        except ClientDisconnect:
            log.info("%s %s: the client hung up before its request was complete", request.method, request.url.path)
            return Response(status_code=400)
        try:
            if request.method == "PUT":
                await run_in_threadpool(device.write, member, params)
                return _json(_envelope(client_tid, server_tid))
            if member in IMAGE_MEMBERS:
                return await self._image(request, device, client_tid, server_tid)
            value = device.read_now(member)
            if value is NOT_NOW:
                value = await run_in_threadpool(device.read, member)
            return _json({"Value": value, **_envelope(client_tid, server_tid)})
        except BadRequest as exc:
            log.info("%s %s: 400 %s", request.method, request.url.path, exc)
            return PlainTextResponse(str(exc), status_code=400)
        except DeviceError as exc:
            log.info("%s %s: error 0x%X %s", request.method, request.url.path, exc.number, exc.message)
            return self._error(request.method, member, client_tid, server_tid, exc.number, exc.message)
        except Exception as exc:   # never a 500: the client gets an Alpaca error, the log one line
            log.error("%s %s: %s", request.method, request.url.path, describe(exc))
            return self._error(request.method, member, client_tid, server_tid, ErrorNumber.DRIVER_ERROR, describe(exc))

    @staticmethod
    def _error(method: str, member: str, client_tid: int, server_tid: int, number: int, message: str) -> Response:
        body = _envelope(client_tid, server_tid, number, message)
        if member in IMAGE_MEMBERS:
            return _json({"Type": 2, "Rank": 2, "Value": [], **body})
        values = ERROR_VALUES if method == "GET" else PUT_VALUES
        return _json({"Value": values[member], **body} if member in values else body)

    async def _image(self, request: Request, device: CameraDevice, client_tid: int, server_tid: int) -> Response:
        # Failures answer in JSON whatever the Accept header asked for: clients
        # read the content type, and JSON is the form every client handles.
        image = await run_in_threadpool(device.image)
        if IMAGEBYTES in request.headers.get("accept", "").lower():
            header = imagebytes_header(image, client_tid, server_tid)
            return StreamingResponse(_pieces(imagebytes_chunks(image, header)), media_type=IMAGEBYTES,
                                     headers={"Content-Length": str(len(header) + image.nbytes)})
        head = f'{{"Type":2,"Rank":{image.ndim},"Value":'.encode()
        tail = json.dumps(_envelope(client_tid, server_tid), separators=(",", ":")).replace("{", ",", 1).encode()
        length = len(head) + json_array_length(image) + len(tail)
        return StreamingResponse(_pieces(_chain(head, json_array_chunks(image), tail)), media_type=_JSON,
                                 headers={"Content-Length": str(length)})


def _chain(head: bytes, middle: Iterator[bytes], tail: bytes) -> Iterator[bytes]:
    yield head
    yield from middle
    yield tail


async def _pieces(pieces: Iterator[bytes | memoryview]) -> AsyncIterator[bytes | memoryview]:
    # On the event loop: a piece takes well under a millisecond to make, less than a
    # hop to a worker thread, and large temporaries in worker threads' malloc arenas
    # stay resident after the downloads end.
    for piece in pieces:
        yield piece

