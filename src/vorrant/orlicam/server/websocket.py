"""The websocket side of the server (the live view's socket): uvicorn's wsproto protocol
with a watch on the peer and limits on what it sends."""
from __future__ import annotations

import asyncio
import contextlib
import fcntl
import logging
import struct
import termios

from uvicorn.protocols.websockets.wsproto_impl import WSProtocol
from wsproto.connection import ConnectionState
from wsproto.events import BytesMessage, CloseConnection, Ping, TextMessage

log = logging.getLogger("vorrant.orlicam.live")

VIEWER_TIMEOUT = 10.0       # s a websocket peer may take no byte and answer no ping
MAX_MESSAGE = 65536         # the page sends a few dozen bytes per message


def _unsent(transport: asyncio.Transport) -> int:
    """Bytes written to `transport` that the peer has not acknowledged yet: the
    transport's buffer and the kernel's send queue (Linux: TIOCOUTQ)."""
    queued = transport.get_write_buffer_size()
    sock = transport.get_extra_info("socket")
    if sock is not None:
        with contextlib.suppress(OSError, ValueError):
            queued += struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
    return queued


class WebSocket(WSProtocol):
    """uvicorn's wsproto protocol with a watch on the peer: pinged every quarter of
    VIEWER_TIMEOUT, it must answer (or send anything, or take bytes from a long reply)
    within VIEWER_TIMEOUT, or it is dropped; a page closed without a goodbye, a
    suspended laptop or a vanished network then frees the camera within seconds.
    Malformed and oversized messages close the socket with one log line."""

    _watch: asyncio.TimerHandle | None = None

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._heard = self.loop.time()
        self._backlog = 0
        self._watch = self.loop.call_later(VIEWER_TIMEOUT / 4, self._check)

    def data_received(self, data: bytes) -> None:
        self._heard = self.loop.time()
        super().data_received(data)

    def connection_lost(self, exc: Exception | None) -> None:
        if self._watch is not None:
            self._watch.cancel()
            self._watch = None
        super().connection_lost(exc)
        self.writable.set()   # a send waiting for a dead peer's buffer returns, and sees the end

    # uvicorn up to 0.3x hands messages to handle_text and handle_bytes, later ones to
    # handle_message; the size check stands in front of whichever the installed one calls.
    def handle_text(self, event: TextMessage) -> None:
        if self._fits(event):
            getattr(super(), "handle_text")(event)

    def handle_bytes(self, event: BytesMessage) -> None:
        if self._fits(event):
            getattr(super(), "handle_bytes")(event)

    def handle_message(self, event: TextMessage | BytesMessage) -> None:
        if self._fits(event):
            getattr(super(), "handle_message")(event)

    def _fits(self, event: TextMessage | BytesMessage) -> bool:
        buffer = getattr(self, "buffer", None)   # the later uvicorns gather a message there
        gathered = (buffer.length if buffer is not None
                    else len(getattr(self, "text", "")) + len(getattr(self, "bytes", b"")))
        if gathered + len(event.data) <= MAX_MESSAGE:
            return True
        self._close(1009, f"a message larger than {MAX_MESSAGE} bytes")
        if buffer is not None:
            buffer.clear()
        else:
            self.text, self.bytes = "", b""
        return False

    def handle_close(self, event: CloseConnection) -> None:
        # A frame wsproto cannot parse (bad UTF-8, a bad opcode) comes as a close event
        # while the connection is still open: it is ours to say so and close.
        if self.conn.state is ConnectionState.OPEN:
            self._close(event.code, event.reason or f"a malformed frame (code {event.code})")
            return
        super().handle_close(event)

    def _close(self, code: int, why: str) -> None:
        log.info("closing the websocket of %s: %s", self._peer(), why)
        if self.conn.state is ConnectionState.OPEN:
            self.transport.write(self.conn.send(CloseConnection(code=code, reason=why)))
        self.queue.put_nowait({"type": "websocket.disconnect", "code": code})
        self.transport.close()

    def _peer(self) -> str:
        return "%s:%d" % self.client if self.client else "a client"

    def _check(self) -> None:
        self._watch = None
        if self.transport.is_closing():
            return
        now, backlog = self.loop.time(), _unsent(self.transport)
        # Reading paused by us (a message not taken yet) is not the peer's fault, and a
        # long reply it is still taking is progress.
        if self.read_paused or backlog < self._backlog:
            self._heard = now
        self._backlog = backlog
        if now - self._heard > VIEWER_TIMEOUT:
            log.info("closing the websocket of %s: it has not read or answered for %g s", self._peer(), VIEWER_TIMEOUT)
            self.transport.abort()
            return
        if self.handshake_complete and self.conn.state is ConnectionState.OPEN:
            self.transport.write(self.conn.send(Ping()))
        self._watch = self.loop.call_later(VIEWER_TIMEOUT / 4, self._check)
