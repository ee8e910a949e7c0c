"""Running the server: discovery, ports already taken, and serve() stopping on a signal.
Everything stays on the loopback interface."""
import contextlib
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import types

import ifaddr
import pytest
from alpaca import discovery as alpaca_discovery

from vorrant.orlicam.alpaca import DISCOVERY_PORT, Server, serve
from vorrant.orlicam.alpaca.discovery import DiscoveryProtocol, bind_discovery, is_loopback


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ask(port, payload, timeout=5.0):
    """Sends a datagram to 127.0.0.1:port; the reply, or None when none comes in time."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.settimeout(timeout)
        client.sendto(payload, ("127.0.0.1", port))
        try:
            return client.recvfrom(1024)[0]
        except TimeoutError:
            return None


def test_discovery_answers_with_the_http_port():
    with Server(port=0, discovery_port=0) as running:
        assert running.discovery_port not in (None, DISCOVERY_PORT)
        assert json.loads(ask(running.discovery_port, b"alpacadiscovery1")) == {"AlpacaPort": running.port}
        assert ask(running.discovery_port, b"hello", timeout=0.5) is None
        assert json.loads(ask(running.discovery_port, b"alpacadiscovery1")) == {"AlpacaPort": running.port}


def test_the_standard_clients_search_finds_the_server_on_loopback(monkeypatch):
    # The client sends to each adapter's broadcast address; one adapter of 127.0.0.1/32 makes
    # that address 127.0.0.1 itself, so the search stays a unicast datagram to this machine.
    adapter = ifaddr.Adapter("lo", "lo", [ifaddr.IP("127.0.0.1", 32, "lo")])
    monkeypatch.setattr(alpaca_discovery.ifaddr, "get_adapters", lambda: [adapter])
    with Server(port=0, discovery_port=0) as running:
        monkeypatch.setattr(alpaca_discovery, "port", running.discovery_port)
        assert alpaca_discovery.search_ipv4(numquery=1, timeout=1) == [f"127.0.0.1:{running.port}"]


@pytest.mark.parametrize("host, addresses", [
    ("127.0.0.1", {"127.0.0.1", "127.255.255.255"}), ("localhost", {"127.0.0.1", "127.255.255.255"}),
    ("0.0.0.0", {"0.0.0.0"}), ("::1", {"::1"}), ("::", {"0.0.0.0", "::"}),
])
def test_discovery_listens_on_the_loopback_addresses_of_a_loopback_server(host, addresses):
    sockets = bind_discovery(0, host)
    try:
        names = {sock.getsockname()[:2] for sock in sockets}
        assert {address for address, _ in names} == addresses
        assert len({port for _, port in names}) == 1          # one port for all of them
        for sock in bind_discovery(sockets[0].getsockname()[1], host):   # shared with a second server
            sock.close()
    finally:
        for sock in sockets:
            sock.close()


@pytest.mark.parametrize("local_only, sender, answered", [
    (True, "127.0.0.1", True), (True, "127.3.0.9", True), (True, "192.0.2.7", False),
    (False, "192.0.2.7", True), (False, "127.0.0.1", True),
])
def test_a_loopback_server_answers_only_local_queries(local_only, sender, answered):
    responder, sent = DiscoveryProtocol(4567, local_only), []
    responder.transport = types.SimpleNamespace(sendto=lambda data, addr: sent.append((data, addr)))
    responder.datagram_received(b"alpacadiscovery1", (sender, 40000))
    assert sent == ([(b'{"AlpacaPort": 4567}', (sender, 40000))] if answered else [])


@pytest.mark.parametrize("host, loopback", [
    ("127.0.0.1", True), ("127.0.1.1", True), ("::1", True), ("localhost", True), ("LOCALHOST", True),
    ("0.0.0.0", False), ("::", False), ("192.168.1.5", False), ("telescope-pc", False),
])
def test_which_hosts_count_as_loopback(host, loopback):
    assert is_loopback(host) is loopback


def test_default_discovery_port_is_32227():
    try:
        running = Server(port=0).start()
    except OSError as exc:
        pytest.skip(f"port 32227 is taken on this machine: {exc}")
    with running:
        assert running.discovery_port == 32227
        assert json.loads(ask(32227, b"alpacadiscovery1")) == {"AlpacaPort": running.port}


def test_a_second_server_on_the_same_port_is_refused_with_a_clear_message():
    with Server(port=0, discovery=False) as first:
        with pytest.raises(OSError) as refused:
            Server(port=first.port, discovery=False).start()
        assert str(refused.value) == f"[Errno 98] Alpaca HTTP port 127.0.0.1:{first.port} is already in use"
        conn = http.client.HTTPConnection("127.0.0.1", first.port, timeout=10)
        conn.request("GET", "/management/apiversions")
        assert json.loads(conn.getresponse().read())["Value"] == [1]   # the first one still serves
        conn.close()


def test_a_taken_discovery_port_is_a_clear_message_and_frees_the_http_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        udp = taken.getsockname()[1]
        http_port = free_port()
        with pytest.raises(OSError) as refused:
            serve(port=http_port, discovery_port=udp)
        assert str(refused.value) == (f"[Errno 98] Alpaca discovery port {udp} (UDP) is already in use by a "
                                      "program that does not share it; serve without discovery or stop that program")
    with Server(port=http_port, discovery=False):
        pass


SERVE = textwrap.dedent("""
    import logging, sys
    logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="%(name)s: %(message)s")
    from vorrant.orlicam.alpaca import serve
    serve(port=int(sys.argv[1]), discovery=False)
    print("serve returned", flush=True)
""")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_serve_runs_until_a_signal_then_closes_the_cameras_and_returns(sig):
    port = free_port()
    child = subprocess.Popen([sys.executable, "-c", SERVE, str(port)], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, cwd=os.path.dirname(__file__))
    try:
        deadline = time.monotonic() + 60
        while True:
            assert child.poll() is None, child.stdout.read()
            try:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                conn.request("PUT", "/api/v1/camera/1/connected", body="Connected=True",
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                assert json.loads(conn.getresponse().read())["ErrorNumber"] == 0
                conn.close()
                break
            except ConnectionRefusedError:
                assert time.monotonic() < deadline, "the server never came up"
                time.sleep(0.1)
        child.send_signal(sig)
        output, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, output
    lines = output.splitlines()
    assert "vorrant.orlicam.alpaca: camera 1 (ZWO ASI294MM Pro GPS Simulator) closed" in lines
    assert lines[-1] == "serve returned"


def test_state_reads_are_answered_inline_only_while_the_device_lock_is_free():
    import threading

    from vorrant.orlicam import cameras
    from vorrant.orlicam.alpaca.device import NOT_NOW
    from vorrant.orlicam.device.errors import DeviceError
    from vorrant.orlicam.server.server import make_devices

    device = make_devices(cameras()[:1])[0]
    assert device.read_now("connected") is False is device.read("connected")
    assert device.read_now("gain") is NOT_NOW            # a camera call: a worker thread's
    with pytest.raises(DeviceError) as inline:
        device.read_now("camerastate")
    with pytest.raises(DeviceError) as threaded:
        device.read("camerastate")
    assert (inline.value.number, inline.value.message) == (threaded.value.number, threaded.value.message)
    held, release = threading.Event(), threading.Event()

    def hold():
        with device._lock:
            held.set()
            release.wait(10)

    holder = threading.Thread(target=hold)
    holder.start()
    held.wait(10)
    try:
        assert device.read_now("connected") is NOT_NOW   # never waits on the event loop
    finally:
        release.set()
        holder.join()
    assert device.read_now("connected") is False


def discovered(destination, port, interface=None, wait=2.0):
    """The AlpacaPorts of every reply to one query sent to `destination` (a broadcast
    address, or the IPv6 group sent through `interface`)."""
    family = socket.AF_INET6 if ":" in destination else socket.AF_INET
    with socket.socket(family, socket.SOCK_DGRAM) as client:
        if interface is None:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        else:
            client.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, socket.if_nametoindex(interface))
        client.sendto(b"alpacadiscovery1", (destination, port))
        client.settimeout(wait)
        ports = set()
        with contextlib.suppress(TimeoutError):
            while True:
                ports.add(json.loads(client.recvfrom(1024)[0])["AlpacaPort"])
    return ports


IN_NAMESPACE = "ORLICAM_TEST_NETNS"


def in_network_namespace(test_id):
    """Runs the test `test_id` again in a network namespace of its own, with a veth pair
    (IPv6 multicast needs an interface that has it; loopback does not); its pytest output."""
    if os.geteuid() != 0:
        pytest.skip("IPv6 discovery is tested in a network namespace of its own, which needs root")
    setup = ("ip link set lo up && sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0"
             " && ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up"
             ' && exec "$@"')
    done = subprocess.run(["unshare", "--net", "sh", "-c", setup, "sh", sys.executable, "-m", "pytest", "-q",
                           f"{__file__}::{test_id}"], env={**os.environ, IN_NAMESPACE: "1"},
                          cwd=os.path.dirname(__file__), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and "1 passed" in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize("host, destination, interface", [
    ("127.0.0.1", "127.255.255.255", None),
    ("::", "ff12::a1:9aca", "v0"),
], ids=["IPv4", "IPv6"])
def test_one_query_finds_every_server_of_the_host(request, host, destination, interface):
    if interface is not None and not os.environ.get(IN_NAMESPACE):
        return in_network_namespace(request.node.name)
    with Server(host, 0, discovery_port=0, live=False) as first:
        with Server(host, 0, discovery_port=first.discovery_port, live=False) as second:
            assert discovered(destination, first.discovery_port, interface) == {first.port, second.port}
        assert discovered(destination, first.discovery_port, interface) == {first.port}


@pytest.mark.parametrize("host, allowed, sent, status", [
    ("127.0.0.1", (), "127.0.0.1:{port}", 200),
    ("127.0.0.1", (), "localhost", 200),
    ("127.0.0.1", (), "[::1]:{port}", 200),
    ("127.0.0.1", (), "attacker.example:{port}", 421),
    ("127.0.0.1", (), "127.0.0.1.attacker.example", 421),
    ("127.0.0.1", (), "192.168.1.5", 421),
    ("0.0.0.0", ("scope.example",), "SCOPE.example.:{port}", 200),
    ("0.0.0.0", (), "{hostname}", 200),
    ("0.0.0.0", (), "192.0.2.7:{port}", 200),
    ("0.0.0.0", (), "scope.example", 421),
    ("0.0.0.0", ("*",), "anything.example", 200),
])
def test_every_route_answers_only_requests_that_name_this_server(host, allowed, sent, status):
    with Server(host, 0, discovery=False, allowed_hosts=allowed) as server:
        header = sent.format(port=server.port, hostname=socket.gethostname())
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
        conn.request("PUT", "/api/v1/camera/0/connected", body="Connected=True",
                     headers={"Host": header, "Content-Type": "application/x-www-form-urlencoded"})
        answer = conn.getresponse()
        text = answer.read().decode()
        assert answer.status == status
        if status == 421:
            assert text.startswith("refused: ") and "not a name of this server" in text and "\n" not in text
        conn.request("GET", "/api/v1/camera/0/connected", headers={"Host": f"127.0.0.1:{server.port}"})
        assert json.loads(conn.getresponse().read())["Value"] is (status == 200)
        conn.close()
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as ws:   # the live view's socket
            ws.sendall(f"GET /live/0/ws HTTP/1.1\r\nHost: {header}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
            assert ws.recv(12) == (b"HTTP/1.1 101" if status == 200 else b"HTTP/1.1 403")


@pytest.mark.parametrize("command", ["serve", "live"])
def test_a_missing_saves_folder_stops_the_command_at_start(tmp_path, command):
    missing = tmp_path / "nowhere"
    done = subprocess.run([sys.executable, "-m", "vorrant.orlicam", command, "--port", "0", "--folder", str(missing)],
                          capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stderr) == (1, f"orlicam: error: {missing}: no such folder for the saves\n")
