"""Alpaca discovery: a UDP responder that tells searching clients the HTTP port.

A client sends the datagram "alpacadiscovery1" (usually as a broadcast) to
port 32227; every Alpaca server that hears it answers the sender with
{"AlpacaPort": <its HTTP port>}. The responder listens on the same address as
the HTTP server, so a server kept on the loopback interface is only
discoverable from this machine.
"""
from __future__ import annotations

import asyncio
import errno
import json
import logging
import socket
from typing import Any

log = logging.getLogger("vorrant.orlicam.alpaca")

DISCOVERY_PORT = 32227
QUERY = b"alpacadiscovery1"


def bind_discovery(host: str, port: int = DISCOVERY_PORT) -> socket.socket:
    """The responder's UDP socket. No address reuse: a second responder on the
    port would split the queries, so a port in use is an error with a plain message."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind(("" if host in ("0.0.0.0", "") else host, port))
    except OSError as exc:
        sock.close()
        reason = "is already in use" if exc.errno == errno.EADDRINUSE else f"cannot be used ({exc.strerror})"
        raise OSError(exc.errno, f"Alpaca discovery port {host}:{port} (UDP) {reason}; "
                                 "serve without discovery or stop the other Alpaca server") from None
    sock.setblocking(False)
    return sock


class DiscoveryProtocol(asyncio.DatagramProtocol):
    def __init__(self, http_port: int) -> None:
        self.reply = json.dumps({"AlpacaPort": http_port}).encode()
        self.transport: asyncio.DatagramTransport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.DatagramTransport)
        self.transport = transport

    def datagram_received(self, data: bytes, addr: tuple[str | Any, int]) -> None:
        if self.transport is not None and data.startswith(QUERY):
            log.debug("discovery query from %s:%d", addr[0], addr[1])
            self.transport.sendto(self.reply, addr)


async def start_responder(sock: socket.socket, http_port: int) -> asyncio.DatagramTransport:
    loop = asyncio.get_running_loop()
    transport, _ = await loop.create_datagram_endpoint(lambda: DiscoveryProtocol(http_port), sock=sock)
    log.info("answering Alpaca discovery on UDP %s:%d", *sock.getsockname()[:2])
    return transport
