"""Alpaca discovery: a UDP responder that tells searching clients the HTTP port.

A client sends the datagram "alpacadiscovery1" (usually as a broadcast) to
port 32227; every Alpaca server that hears it answers the sender with
{"AlpacaPort": <its HTTP port>}. A socket bound to one address never sees the
broadcasts sent to its network, so a server kept on the loopback interface listens
on 127.0.0.1 and on the loopback broadcast address 127.255.255.255 (nothing outside
this machine reaches either); a server on any other address listens on every IPv4
address.
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


def discovery_addresses(host: str) -> list[str]:
    """The addresses the responder binds for an HTTP server on `host`."""
    return ["127.0.0.1", "127.255.255.255"] if is_loopback(host) else [""]


def bind_discovery(port: int = DISCOVERY_PORT, host: str = "127.0.0.1") -> list[socket.socket]:
    """The responder's UDP sockets, all on one port (port 0: the first socket picks it).
    No address reuse: a second responder on the port would split the queries, so a port
    in use is an error with a plain message."""
    sockets: list[socket.socket] = []
    try:
        for address in discovery_addresses(host):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sockets.append(sock)
            try:
                sock.bind((address, port))
            except OSError as exc:
                reason = "is already in use" if exc.errno == errno.EADDRINUSE else f"cannot be used ({exc.strerror})"
                raise OSError(exc.errno, f"Alpaca discovery port {port} (UDP) {reason}; "
                                         "serve without discovery or stop the other Alpaca server") from None
            sock.setblocking(False)
            port = sock.getsockname()[1]
    except BaseException:
        for sock in sockets:
            sock.close()
        raise
    return sockets


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


async def start_responder(sockets: list[socket.socket], http_port: int,
                          local_only: bool = False) -> list[asyncio.DatagramTransport]:
    loop = asyncio.get_running_loop()
    transports = []
    for sock in sockets:
        transport, _ = await loop.create_datagram_endpoint(lambda: DiscoveryProtocol(http_port, local_only), sock=sock)
        transports.append(transport)
    log.info("answering Alpaca discovery on UDP port %d%s", sockets[0].getsockname()[1],
             " (queries from this machine only)" if local_only else "")
    return transports
