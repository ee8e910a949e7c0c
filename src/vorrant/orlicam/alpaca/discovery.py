"""Alpaca discovery: a UDP responder that tells searching clients the HTTP port.

A client sends the datagram "alpacadiscovery1" (usually as a broadcast) to
port 32227; every Alpaca server that hears it answers the sender with
{"AlpacaPort": <its HTTP port>}. The responder listens on every IPv4 address,
since a socket bound to one address never sees the broadcasts sent to its
network (127.255.255.255 included); a server kept on the loopback interface
answers only queries from this machine.
"""
from __future__ import annotations

import asyncio
import errno
import ipaddress
import json
import logging
import socket
from typing import Any

log = logging.getLogger("vorrant.orlicam.alpaca")

DISCOVERY_PORT = 32227
QUERY = b"alpacadiscovery1"


def bind_discovery(port: int = DISCOVERY_PORT) -> socket.socket:
    """The responder's UDP socket, on every IPv4 address whatever the HTTP server's
    (`DiscoveryProtocol.local_only` decides who gets answers). No address reuse: a second responder on the
    port would split the queries, so a port in use is an error with a plain message."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind(("", port))
    except OSError as exc:
        sock.close()
        reason = "is already in use" if exc.errno == errno.EADDRINUSE else f"cannot be used ({exc.strerror})"
        raise OSError(exc.errno, f"Alpaca discovery port {port} (UDP) {reason}; "
                                 "serve without discovery or stop the other Alpaca server") from None
    sock.setblocking(False)
    return sock


def is_loopback(host: str) -> bool:
    """Whether the HTTP server listens on the loopback interface only."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class DiscoveryProtocol(asyncio.DatagramProtocol):
    def __init__(self, http_port: int, local_only: bool = False) -> None:
        self.reply = json.dumps({"AlpacaPort": http_port}).encode()
        self.local_only = local_only
        self.transport: asyncio.DatagramTransport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.DatagramTransport)
        self.transport = transport

    def datagram_received(self, data: bytes, addr: tuple[str | Any, int]) -> None:
        if self.transport is None or not data.startswith(QUERY):
            return
        if self.local_only and not is_loopback(str(addr[0])):
            # The HTTP port is not reachable from there; an answer would only mislead.
            log.debug("discovery query from %s:%d ignored: serving on loopback only", addr[0], addr[1])
            return
        log.debug("discovery query from %s:%d", addr[0], addr[1])
        self.transport.sendto(self.reply, addr)


async def start_responder(sock: socket.socket, http_port: int, local_only: bool = False) -> asyncio.DatagramTransport:
    loop = asyncio.get_running_loop()
    transport, _ = await loop.create_datagram_endpoint(lambda: DiscoveryProtocol(http_port, local_only), sock=sock)
    log.info("answering Alpaca discovery on UDP port %d%s", sock.getsockname()[1],
             " (queries from this machine only)" if local_only else "")
    return transport
