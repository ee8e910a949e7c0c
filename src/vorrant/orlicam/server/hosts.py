"""Which `Host` names the server answers to: the guard against DNS rebinding.

A web page the user merely visits can re-point its own name at 127.0.0.1 (or at the
telescope computer's address) and then send requests to it as to its own site; the only
trace of the trick is the `Host` header, which names the attacker's site. So every request
(Alpaca, the pages, the live view's socket) must name this server: a name that means this
machine, a name it was told to answer to, or an address. Alpaca clients send the host they
connected to, so they pass.

Nothing is looked up in DNS, at start or per request: a lookup is what the attacker controls.
"""
from __future__ import annotations

import ipaddress
import logging
import re
import socket
from collections.abc import Iterable
from pathlib import Path

from starlette.responses import PlainTextResponse
from starlette.types import ASGIApp, Receive, Scope, Send

log = logging.getLogger("vorrant.orlicam.alpaca")

ANY_HOST = "*"
_HOST = re.compile(r"(?:\[(?P<v6>[0-9A-Fa-f:.]+)\]|(?P<name>[^:\[\]/@\s]+))(?::[0-9]{1,5})?")
LOOPBACK_NAMES = frozenset({"localhost", "localhost.localdomain", "ip6-localhost", "ip6-loopback"})


def _address(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


def normal(name: str) -> str:
    return name.strip().rstrip(".").lower()


def hosts_file_names(path: Path = Path("/etc/hosts")) -> set[str]:
    """The names /etc/hosts gives to loopback addresses (Debian puts the machine's own
    name on 127.0.1.1). The file is this machine's, not the network's."""
    names: set[str] = set()
    try:
        text = path.read_text(errors="replace")
    except OSError:
        return names
    for line in text.splitlines():
        fields = line.split("#", 1)[0].split()
        address = _address(fields[0]) if fields else None
        if address is not None and address.is_loopback:
            names.update(normal(n) for n in fields[1:])
    return names


class HostNames:
    """The names and addresses one server answers to."""

    def __init__(self, host: str, local_only: bool, allowed: Iterable[str] = ()) -> None:
        self.local_only = local_only
        extra = {normal(n) for n in allowed if n.strip()}
        self.any = ANY_HOST in extra
        self.allowed = frozenset(extra - {ANY_HOST})   # the names given: a proxy in front may answer to them
        names = set(LOOPBACK_NAMES) | hosts_file_names() | (extra - {ANY_HOST})
        if not local_only:
            machine = normal(socket.gethostname())
            names |= {machine, f"{machine}.local"}
            if _address(host) is None and host:
                names.add(normal(host))
        self.names = frozenset(names)

    def refusal(self, header: str | None) -> str | None:
        """None when `header` (the request's Host) names this server, else why not."""
        if self.any or header is None:   # HTTP/1.0 may leave it out; browsers never do
            return None
        match = _HOST.fullmatch(header.strip())
        if match is None:
            return f"the Host header {header[:80]!r} is malformed"
        text = match["v6"] or match["name"]
        address = _address(text)
        if address is not None:
            # A browser sends an address only when the page's own address is that one,
            # which no DNS trick can fake; a loopback server is reached on loopback only.
            if address.is_loopback or not self.local_only:
                return None
        else:
            name = normal(text)
            if name in self.names or name.endswith(".localhost"):   # always this machine
                return None
        return (f"{text[:80]!r} is not a name of this server; "
                "start it with --allow-host NAME (allowed_hosts=) to answer to that name")


class HostCheck:
    """ASGI middleware: requests and sockets naming another host get HTTP 421 (sockets: 403)."""

    def __init__(self, app: ASGIApp, names: HostNames) -> None:
        self.app = app
        self.names = names

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            return await self.app(scope, receive, send)
        header = _header(scope)
        reason = self.names.refusal(header)
        if reason is None:
            return await self.app(scope, receive, send)
        method = scope.get("method", "WebSocket")
        log.info("%s %s: refused: %s", method, scope.get("path", ""), reason)
        if scope["type"] == "websocket":
            return await refuse_socket(scope, send, f"refused: {reason}")
        await PlainTextResponse(f"refused: {reason}", status_code=421)(scope, receive, send)


async def refuse_socket(scope: Scope, send: Send, text: str) -> None:
    """Refuses a socket before it opens: HTTP 403 saying why where the server can answer
    a socket with a page, else the bare close (a 403 without a word)."""
    if "websocket.http.response" in scope.get("extensions", {}):
        await send({"type": "websocket.http.response.start", "status": 403,
                    "headers": [(b"content-type", b"text/plain; charset=utf-8")]})
        await send({"type": "websocket.http.response.body", "body": text.encode()})
    else:
        await send({"type": "websocket.close", "code": 1008})


def _header(scope: Scope) -> str | None:
    values = [v for k, v in scope.get("headers", ()) if k == b"host"]
    if not values:
        return None
    value: bytes = values[0]
    return value.decode("latin-1") if len(values) == 1 else "(several Host headers)"
