"""indiserver with indi_orlicam_ccd, and a synchronous face over indipyclient, for the INDI tests.

indiserver 1.9.9 listens on every interface: the tests run only inside a private network
namespace where loopback is the only interface (make test-indi sets one up)."""
import asyncio
import os
import queue
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from indipyclient import IPyClient

PORT = 7624
SPARE_PORT = 7625          # servers of a single test, beside the shared one
DRIVER = Path(sys.executable).with_name("indi_orlicam_ccd")
COLOUR, MONO = "Orlicam ZWO ASI462MC Simulator", "Orlicam ZWO ASI294MM Pro GPS Simulator"


# INDI's own programs are not ours to sanitize: under make sanitize the test process preloads
# the sanitizer runtimes, which they must not inherit (the driver links them itself).
TOOL_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def private_network() -> bool:
    return [name for _, name in socket.if_nameindex()] == ["lo"]


class Server:
    """indiserver running the driver; its log (the driver's stderr included) kept for checks."""

    def __init__(self, home: Path, cameras: str | None = None, driver: str | Path = DRIVER, port: int = PORT,
                 **env: str):
        self.port = port
        self.log_path = home / "indiserver.log"
        environment = {**TOOL_ENV, "HOME": str(home), "ORLICAM_SIM_TIME_SCALE": "1000", **env}
        if cameras is not None:
            environment["ORLICAM_SIM_CAMERAS"] = cameras
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(["indiserver", "-r", "0", "-p", str(port), "-u", f"/tmp/indiserver-{port}", str(driver)],
                                        env=environment, stdout=self._log, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert self.process.poll() is None, self.log()
                assert time.monotonic() < deadline, "indiserver did not listen in 20 s"
                time.sleep(0.1)

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self._log.close()


def getprop(*patterns: str, timeout: int = 3, port: int = PORT) -> dict[str, str]:
    """indi_getprop's answers as {'device.property.element': value}; write-only ones too."""
    out = subprocess.run(["indi_getprop", "-p", str(port), "-w", "-t", str(timeout), *patterns], capture_output=True,
                         text=True, timeout=timeout + 10, env=TOOL_ENV).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def setprop(assignment: str, port: int = PORT) -> None:
    subprocess.run(["indi_setprop", "-p", str(port), assignment], check=True, timeout=10, capture_output=True,
                   env=TOOL_ENV)


def eval_until(expression: str, timeout: int, port: int = PORT) -> bool:
    """indi_eval -w: true once the expression holds, false when the time runs out."""
    run = subprocess.run(["indi_eval", "-p", str(port), "-w", "-t", str(timeout), expression], capture_output=True,
                         text=True, timeout=timeout + 10, env=TOOL_ENV)
    return run.returncode == 0


def send_xml(xml: str, port: int = PORT) -> None:
    """One raw INDI message: for what the client library would not send."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        connection.sendall(xml.encode())
        time.sleep(0.2)


class _Recorder(IPyClient):
    def __init__(self, events: "queue.Queue[object]", **kw: object):
        super().__init__(**kw)
        self._events = events

    async def rxevent(self, event: object) -> None:
        self._events.put(event)


class Client:
    """indipyclient in a thread of its own; every wait is bounded."""

    def __init__(self, port: int = PORT):
        self.events: "queue.Queue[object]" = queue.Queue()
        self.ipy = _Recorder(self.events, indihost="127.0.0.1", indiport=port)
        self.ipy.enableBLOBdefault = "Also"
        self.ipy.set_vector_timeouts(timeout_enable=False)
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_until_complete, args=(self.ipy.asyncrun(),),
                                       daemon=True)
        self.thread.start()
        self.messages: list[tuple[str, str]] = []

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.ipy.shutdown)
        self.thread.join(timeout=10)

    def next_event(self, deadline: float) -> object | None:
        try:
            event = self.events.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            return None
        if getattr(event, "message", None):
            self.messages.append((getattr(event, "devicename", None) or "", event.message))
        return event

    def wait_for(self, predicate, timeout: float = 10, what: str = "") -> None:
        """Takes events until `predicate()` holds; fails after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while not predicate():
            assert self.next_event(deadline) is not None or predicate(), f"timed out waiting for {what}"

    def vector(self, device: str, name: str, timeout: float = 10):
        self.wait_for(lambda: device in self.ipy and name in self.ipy[device], timeout, f"{device}.{name}")
        return self.ipy[device][name]

    def send(self, device: str, name: str, **members: object) -> None:
        self.vector(device, name)
        future = asyncio.run_coroutine_threadsafe(self.ipy.send_newVector(device, name, members=members), self.loop)
        future.result(timeout=10)

    def set_and_wait(self, device: str, name: str, states: tuple[str, ...] = ("Ok",), timeout: float = 10,
                     **members: object) -> str:
        """Sends new values, then waits for the driver's answer in one of `states`, or Alert."""
        self.drain()
        self.send(device, name, **members)
        deadline = time.monotonic() + timeout
        while True:
            event = self.next_event(deadline)
            assert event is not None, f"no answer to {device}.{name} in {timeout} s"
            if (getattr(event, "devicename", None), getattr(event, "vectorname", None)) == (device, name) \
                    and getattr(event, "eventtype", "").startswith("Set"):
                state = getattr(event, "state", None) or self.ipy[device][name].state
                if state in states or state == "Alert":
                    return state

    def drain(self) -> None:
        while self.next_event(time.monotonic()) is not None:
            pass

    def connect(self, device: str) -> None:
        if self.vector(device, "CONNECTION")["CONNECT"] == "On":
            return
        assert self.set_and_wait(device, "CONNECTION", CONNECT="On", DISCONNECT="Off") == "Ok", self.messages[-3:]
        self.vector(device, "CCD_EXPOSURE")

    def expose(self, device: str, seconds: float, timeout: float = 30) -> bytes:
        """One exposure; the FITS bytes of the BLOB that ends it."""
        self.drain()
        self.send(device, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=seconds)
        deadline = time.monotonic() + seconds + timeout
        while True:
            event = self.next_event(deadline)
            assert event is not None, f"no image from {device} in {seconds + timeout} s: {self.messages[-3:]}"
            if getattr(event, "devicename", None) != device:
                continue
            if getattr(event, "eventtype", None) == "SetBLOB" and "CCD1" in event:
                return event["CCD1"]
            if getattr(event, "vectorname", None) == "CCD_EXPOSURE" and getattr(event, "state", None) == "Alert" \
                    and getattr(event, "eventtype", "") == "Set":
                raise AssertionError(f"exposure failed: {self.messages[-3:]}")

    def said(self, device: str) -> str:
        return "\n".join(text for name, text in self.messages if name == device)


def have_indi() -> bool:
    return shutil.which("indiserver") is not None and DRIVER.exists()
