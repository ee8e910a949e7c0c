"""The live view's socket through the real server (uvicorn, wsproto) with a client built
on wsproto: how long it stays open, and what a malformed message from a page costs."""
import json
import logging
import os
import socket
import time

import pytest
from wsproto import ConnectionType, WSConnection
from wsproto.events import AcceptConnection, CloseConnection, Message, Ping, Request

from vorrant.orlicam.alpaca import Server
from vorrant.orlicam.server import server as http_side
from vorrant.orlicam.server import websocket


class Viewer:
    """A page's socket: answers pings whenever it reads, as browsers do."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.ws = WSConnection(ConnectionType.CLIENT)
        self.sock.sendall(self.ws.send(Request(host=f"127.0.0.1:{port}", target="/live/0/ws")))
        self.events = []
        assert isinstance(self.event(), AcceptConnection)

    def event(self):
        while not self.events:
            data = self.sock.recv(1 << 16)
            self.ws.receive_data(data or None)
            for event in self.ws.events():
                if isinstance(event, Ping):
                    self.sock.sendall(self.ws.send(event.response()))
                else:
                    self.events.append(event)
            if not data and not self.events:
                raise ConnectionError("closed without a close frame")
        return self.events.pop(0)

    def message(self):
        """The next whole message, or the CloseConnection that came instead."""
        data = None
        while True:
            event = self.event()
            if isinstance(event, CloseConnection):
                return event
            data = event.data if data is None else data + event.data
            if event.message_finished:
                return data

    def update(self):
        """One update read and credited, as the page does; its index."""
        meta = json.loads(self.message())
        for _ in range(meta["parts"]):
            self.message()
        self.sock.sendall(self.ws.send(Message(data=json.dumps({"ack": meta["index"]}))))
        return meta["index"]


def exposure_refused(server):
    """Whether an Alpaca client is told the live view has camera 0."""
    import httpx

    url = f"{server.url}/api/v1/camera/0/"
    httpx.put(url + "connected", data={"Connected": "true"})
    answer = httpx.put(url + "startexposure", data={"Duration": "0.01", "Light": "true"}).json()
    return answer["ErrorNumber"] == 0x40B and "live view" in answer["ErrorMessage"]


@pytest.fixture
def quick(monkeypatch, tmp_path):
    """A server whose HTTP deadlines are 1 s and whose sockets need an answer within 2 s."""
    for name in ("REQUEST_TIMEOUT", "IDLE_TIMEOUT", "WRITE_TIMEOUT"):
        monkeypatch.setattr(http_side, name, 1.0)
    monkeypatch.setattr(websocket, "VIEWER_TIMEOUT", 2.0)
    with Server(port=0, discovery=False, live_folder=tmp_path) as running:
        yield running


@pytest.mark.parametrize("reading", [True, False])
def test_the_socket_lasts_while_the_page_reads_and_a_dead_page_frees_the_camera(quick, reading):
    viewer = Viewer(quick.port)
    first = viewer.update()
    if reading:
        # Well past the HTTP side's deadlines and the socket's own: frames keep coming.
        until = time.monotonic() + 6.0
        while time.monotonic() < until:
            last = viewer.update()
        assert last > first + 10 and exposure_refused(quick)
    else:
        # It reads nothing more and answers nothing: gone within seconds, the camera back for Alpaca.
        until = time.monotonic() + 20.0
        while exposure_refused(quick):
            assert time.monotonic() < until, "a page that stopped reading still holds the camera"
            time.sleep(0.5)
    viewer.sock.close()


def frame(opcode, payload):
    """One masked client frame, built by hand: wsproto would refuse to send the bad ones."""
    mask = os.urandom(4)
    size = len(payload)
    length = bytes([0x80 | size]) if size < 126 else bytes([0x80 | 126]) + size.to_bytes(2, "big") \
        if size < 65536 else bytes([0x80 | 127]) + size.to_bytes(8, "big")
    return bytes([0x80 | opcode]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


@pytest.mark.parametrize("sent, code, logged", [
    (frame(2, b"\x00\x01"), 1003, "the page sent a binary message"),
    (frame(1, b"ack"), 1007, "the page sent a text message that is not a JSON object"),
    (frame(1, b"[1]"), 1007, "the page sent a text message that is not a JSON object"),
    (frame(1, b"\xff\xfe"), 1007, "can't decode byte 0xff"),
    (frame(3, b""), 1002, "Invalid opcode 0x3"),
    (frame(1, b"{" * 100_000), 1009, "a message larger than 65536 bytes"),
], ids=["binary", "not JSON", "not an object", "bad UTF-8", "bad opcode", "too long"])
def test_a_malformed_message_closes_the_socket_with_one_log_line(tmp_path, caplog, sent, code, logged):
    with Server(port=0, discovery=False, live_folder=tmp_path) as server:
        viewer = Viewer(server.port)
        viewer.update()
        caplog.set_level(logging.INFO)
        caplog.clear()
        viewer.sock.sendall(sent)
        while not isinstance(closed := viewer.message(), CloseConnection):
            pass
        assert closed.code == code
        time.sleep(0.3)   # anything else the server would log about it
        closing = [r.getMessage() for r in caplog.records if "closing" in r.getMessage()]
        assert len(closing) == 1 and logged in closing[0]
        assert not [r for r in caplog.records if r.exc_info or r.levelno >= logging.WARNING]
