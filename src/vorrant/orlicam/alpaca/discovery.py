"""Alpaca discovery: a UDP responder that tells searching clients the HTTP port.

A client sends the datagram "alpacadiscovery1" to port 32227, on IPv4 as a broadcast, on
IPv6 to the multicast group ff12::a1:9aca; every Alpaca server that hears it answers the
sender with {"AlpacaPort": <its HTTP port>}. Several servers share the port on one host
(SO_REUSEADDR and SO_REUSEPORT, as Alpaca servers bind it): each gets every broadcast and
multicast query, so one search finds them all. (A query sent to one address reaches only
one of them; clients broadcast.)

A socket bound to one address never sees the broadcasts sent to its network, so a server
kept on the loopback interface listens on 127.0.0.1 and on the loopback broadcast address
127.255.255.255 (nothing outside this machine reaches either), or on ::1 for an IPv6
loopback server; a server on any other IPv4 address listens on every IPv4 address, and one
on IPv6 on every IPv6 address, in the group on every interface (the interfaces there are
when it starts). "::" serves both, as its HTTP socket does.
"""
from __future__ import annotations

import asyncio
import errno
import ipaddress
import json
import logging
import socket
import struct
from typing import Any

log = logging.getLogger("vorrant.orlicam.alpaca")

DISCOVERY_PORT = 32227
QUERY = b"alpacadiscovery1"
IPV6_GROUP = "ff12::a1:9aca"


def discovery_addresses(host: str) -> list[str]:
    """The addresses the responder binds for an HTTP server on `host` ("" is every IPv4 address)."""
    if is_loopback(host):
        return ["::1"] if ":" in host else ["127.0.0.1", "127.255.255.255"]
    if ":" not in host:
        return [""]
    return ["", "::"] if ipaddress.ip_address(host.split("%")[0]) == ipaddress.IPv6Address("::") else ["::"]


def _join_group(sock: socket.socket) -> list[str]:
    """Joins the IPv6 discovery group on every interface that takes it; their names."""
    group = socket.inet_pton(socket.AF_INET6, IPV6_GROUP)
    joined = []
    for index, name in socket.if_nameindex():
        try:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, group + struct.pack("@I", index))
        except OSError:
            continue   # no multicast there (or no IPv6)
        joined.append(name)
    return joined


def bind_discovery(port: int = DISCOVERY_PORT, host: str = "127.0.0.1") -> list[socket.socket]:
    """The responder's UDP sockets, all on one port (port 0: the first socket picks it),
    shared with the other Alpaca servers of this host. A program holding the port without
    sharing it makes this an error with a plain message."""
    sockets: list[socket.socket] = []
    try:
        for address in discovery_addresses(host):
            six = ":" in address
            sock = socket.socket(socket.AF_INET6 if six else socket.AF_INET, socket.SOCK_DGRAM)
            sockets.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            if six:
                # IPv4 queries have their own socket; they would be answered twice.
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            try:
                sock.bind((address, port))
            except OSError as exc:
                reason = ("is already in use by a program that does not share it" if exc.errno == errno.EADDRINUSE
                          else f"cannot be used ({exc.strerror})")
                raise OSError(exc.errno, f"Alpaca discovery port {port} (UDP) {reason}; "
                                         "serve without discovery or stop that program") from None
            if address == "::":
                log.debug("IPv6 discovery group %s joined on %s", IPV6_GROUP, ", ".join(_join_group(sock)) or "no interface")
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
    families = sorted({"IPv6" if sock.family == socket.AF_INET6 else "IPv4" for sock in sockets})
    log.info("answering Alpaca discovery on UDP port %d (%s)%s", sockets[0].getsockname()[1], " and ".join(families),
             ", queries from this machine only" if local_only else "")
    return transports
