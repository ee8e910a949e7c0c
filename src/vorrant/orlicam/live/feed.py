"""One camera's live view: its viewers, the newest update, and the pump while anyone looks."""
from __future__ import annotations

import asyncio
import contextlib
import logging
from collections.abc import AsyncIterator
from concurrent.futures import Future
from pathlib import Path
from typing import Any

from starlette.concurrency import run_in_threadpool

from ..device.camera import CameraDevice
from ..device.errors import DeviceError
from ..camera.camera import Camera
from .pump import Pump
from .settings import Pending, Preview, Settings

log = logging.getLogger("vorrant.orlicam.live")

LINGER = 10.0         # a /stats or settings request keeps the pump running this long
RETRY = 1.0           # seconds between attempts to take a camera that is busy


class Latest:
    """The newest update; event loop only, so no lock."""

    def __init__(self) -> None:
        self.preview: Preview | None = None
        self.frame: Preview | None = None     # the newest with a picture
        self.sent_index = -1                  # the newest frame any viewer was sent
        self.dropped = 0                      # frames between those sent, that no viewer got
        self.sent = 0                         # frames sent, counted once however many viewers
        self._changed = asyncio.Event()

    def publish(self, preview: Preview) -> None:   # pump: loop.call_soon_threadsafe(latest.publish, p)
        if preview.parts:
            self.frame = preview
        self.preview = preview
        self._changed.set()

    async def newer_than(self, index: int) -> Preview:
        while self.preview is None or self.preview.index <= index:
            self._changed.clear()
            await self._changed.wait()
        return self.preview

    def mark_sent(self, preview: Preview) -> None:
        if preview.parts and preview.index > self.sent_index:
            if self.sent_index >= 0:
                self.dropped += preview.index - self.sent_index - 1
            self.sent_index = preview.index
            self.sent += 1


class Feed:
    """The live view of one Alpaca device's camera, shared by every viewer of it."""

    def __init__(self, device: CameraDevice, folder: Path) -> None:
        self.device = device
        self.folder = folder
        self.latest = Latest()
        self.pending = Pending()
        self._viewers = 0
        self._users = 0                   # viewers plus short-lived requests
        self._linger: asyncio.TimerHandle | None = None
        self._task: asyncio.Task[None] | None = None
        self._pump: Pump | None = None
        self._lease: contextlib.ExitStack | None = None
        self._index = 0
        self._loop: asyncio.AbstractEventLoop | None = None

    @property
    def camera(self) -> Camera | None:
        return None if self._pump is None else self._pump.camera

    @property
    def pump(self) -> Pump | None:
        return self._pump

    @contextlib.asynccontextmanager
    async def viewer(self) -> AsyncIterator[None]:
        """While a page is open: the first starts the pump, the last stops it."""
        self._viewers += 1
        self._use()
        try:
            yield
        finally:
            self._viewers -= 1
            self._release()

    def touch(self) -> None:
        """A request without a page (stats, settings): keeps the pump running a while."""
        if self._linger is None:
            self._users += 1
            self._ensure_running()
        else:
            self._linger.cancel()
        self._linger = asyncio.get_running_loop().call_later(LINGER, self._end_linger)

    def _end_linger(self) -> None:
        self._linger = None
        self._release()

    def _use(self) -> None:
        self._users += 1
        self._ensure_running()

    def _ensure_running(self) -> None:
        if self._task is None:
            self._loop = asyncio.get_running_loop()
            self._task = asyncio.create_task(self._run(), name=f"live-{self.device.number}")

    def _release(self) -> None:
        self._users -= 1
        if self._users <= 0 and self._task is not None:
            self._task.cancel()
            self._task = None

    def _publish(self, preview: Preview) -> None:
        loop = self._loop
        assert loop is not None
        self._index = max(self._index, preview.index)
        with contextlib.suppress(RuntimeError):   # the loop has closed: nobody is looking
            loop.call_soon_threadsafe(self.latest.publish, preview)

    def _status(self, status: str, message: str) -> None:
        self._index += 1
        self.latest.publish(Preview.of(self._index, {"kind": "status", "status": status, "message": message}))

    async def _run(self) -> None:
        """Takes the camera (waiting while an Alpaca exposure has it), runs the pump until
        cancelled, then stops it and hands the camera back."""
        number = self.device.number
        try:
            while True:
                try:
                    await run_in_threadpool(self._start)
                    break
                except DeviceError as exc:
                    self._status("paused", f"live view paused: {exc.message}")
                    await asyncio.sleep(RETRY)
                except Exception as exc:
                    log.warning("camera %d: live view stopped: %s", number, exc)
                    self._status("stopped", f"camera {number}: live view stopped: {exc}")
                    return
            await asyncio.Event().wait()   # until cancelled by the last user leaving
        finally:
            await asyncio.shield(run_in_threadpool(self._stop))

    def _start(self) -> None:
        stack = contextlib.ExitStack()
        camera = stack.enter_context(self.device.lease("live view"))
        try:
            # Known before it runs: the first request it answers may come back at once.
            self._pump = Pump(camera, self.device.number, self.folder, self.pending, self._publish, self._index)
            self._lease = stack
            self._pump.start()
        except BaseException:
            self._pump, self._lease = None, None
            stack.close()
            raise
        log.info("camera %d: live view started", self.device.number)

    def _stop(self) -> None:
        pump, lease = self._pump, self._lease
        self._pump, self._lease = None, None
        if pump is not None:
            pump.stop()
            self._index = max(self._index, pump.index)
            self.pending.fail_all(DeviceError(0x40B, "the live view stopped"))
            log.info("camera %d: live view stopped", self.device.number)
        if lease is not None:
            lease.close()

    def close(self) -> None:
        """Stops the pump at once (server shutdown)."""
        task, self._task = self._task, None
        if task is not None:
            with contextlib.suppress(RuntimeError):   # its loop may be closed already
                task.cancel()
        self._stop()

    async def request(self, settings: Settings, action: str | None = None, timeout: float = 30.0) -> dict[str, Any]:
        """Leaves the request in the pump's slot and waits until the pump has applied it."""
        self.touch()
        done: Future[dict[str, Any]] = self.pending.put(settings, action)
        pump = self._pump
        if pump is not None and settings.changes_camera:
            await run_in_threadpool(pump.cut_exposure)
        elif pump is not None:   # a save or the picture's settings wait for the exposure under way
            timeout += pump.exposure
        try:
            return await asyncio.wait_for(asyncio.wrap_future(done), timeout)
        except TimeoutError:
            raise DeviceError(0x40B, f"camera {self.device.number} did not take the request within {timeout:g} s") from None

    def figures(self) -> dict[str, Any] | None:
        """The newest frame's figures, for /stats."""
        frame = self.latest.frame
        if frame is None:
            return None
        meta = frame.meta
        keys = ("index", "hfr", "fwhm", "stars", "saturated_stars", "fps", "mean", "median", "saturated",
                "histogram", "exposure", "gain", "offset", "bin", "format", "width", "height", "temperature",
                "focus_index", "trend", "focal_length", "pixel_scale", "hfr_arcsec", "fwhm_arcsec",
                "measured", "focus_reason", "history", "stack")
        out = {k: meta.get(k) for k in keys}
        out["dropped"] = self.latest.dropped
        out["latency"] = meta.get("latency")
        return out
