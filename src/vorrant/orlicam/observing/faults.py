"""A night's faults: what the camera layer met and rode out (failed and hung exposures, the
camera lost and back), glitched frames taken again, and the wait for a camera that went
away; each goes to the plan's journal with what was done, and to the night's summary."""
from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Final, TypeVar

from .. import korvi
from ..camera.recovery import CameraEvent, CameraLost, Recovery
from .glitch import glitch
from .steps import Show

if TYPE_CHECKING:
    from ..camera.camera import Camera
    from ..camera.frames import Frame
    from .journal import Journal

__all__ = ["Night", "WAIT_FOR_CAMERA_S"]

WAIT_FOR_CAMERA_S: Final = 600.0
_LOST_AGAIN: Final = 5   # returns of the camera within one step before the night stops
_LOSSES: Final = (korvi.ASICameraRemoved, korvi.ASIInvalidID, korvi.ASICameraClosed)
_DONE: Final = {"exposure-failed": "taken again", "exposure-hung": "stopped and taken again",
                "video-timeout": "waited again"}
T = TypeVar("T")


def _duration(seconds: float) -> str:
    return "ever" if math.isinf(seconds) else f"{seconds / 60:g} min" if seconds >= 120 else f"{seconds:g} s"


@dataclass
class Night:
    """The faults of one run of a plan, and how the run rides them out."""

    journal: Journal
    say: Show
    wait_for_camera: float = WAIT_FOR_CAMERA_S
    retakes: int = 3                      # glitched frames taken again in a row before the night stops
    hang_after: float = 10.0
    faults: list[str] = field(default_factory=list)
    where: str = "before the first frame"
    cool_again: bool = False              # the camera came back: cool before the next light or dark
    _lost_seen: bool = False
    _glitches: int = 0

    def recovery(self) -> Recovery:
        # The layer does not wait for a lost camera: the night waits itself, then cools again.
        return Recovery(hang_after=self.hang_after, reconnect_timeout=0.0, on_event=self.event)

    def note(self, kind: str, what: str, done: str, fault: bool = True) -> None:
        """Journals a fault (or a recovery, fault=False: not in the summary's list) and says it."""
        self.journal.event({"event": kind, "at": datetime.now(UTC).isoformat(timespec="seconds"),
                            "frame": self.where, "what": what, "done": done})
        line = f"{self.where}: {kind.replace('-', ' ')}: {what}; {done}"
        if fault:
            self.faults.append(f"{datetime.now().astimezone():%H:%M:%S} {line}")
        self.say(line)

    def event(self, event: CameraEvent) -> None:
        if event.kind == "camera-lost":
            self._lost_seen = True
            self.note(event.kind, event.message.split("; waiting")[0],
                      f"waiting for it (up to {_duration(self.wait_for_camera)})")
        elif event.kind == "camera-back":
            self.cool_again = True
            self.note(event.kind, event.message.split(": reopened")[0],
                      "reopened with its settings; the sensor is cooled again before the next light or dark",
                      fault=False)
        elif event.kind in _DONE:
            self.note(event.kind, event.message.split(" (fault")[0], _DONE[event.kind])
        elif not self._lost_seen or "lost" not in event.message:
            self.note(event.kind, event.message, "the night stops here; --resume goes on with it")

    def survive(self, cam: Camera, step: Callable[[], T]) -> T:
        """step(), again after the camera came back when it was lost during it."""
        losses = 0
        while True:
            try:
                return step()
            except _LOSSES as exc:
                losses += 1
                if losses > _LOST_AGAIN:   # a camera that keeps dropping off: a cable to see to
                    self.note("gave-up", f"{cam.name} lost {losses} times", "the night stops here; --resume goes on with it")
                    raise CameraLost(f"{cam.name} was lost {losses} times {self.where}; the night stopped: check its "
                                     "cable and hub, then run the same command with --resume") from exc
                self.wait(cam, exc)

    def wait(self, cam: Camera, cause: BaseException) -> None:
        """Waits for a camera found gone; a resumable stop when it is not back in time."""
        self._lost_seen = cam.lost
        if not cam.lost:
            back = cam.reconnect(0.0)   # marks it lost (and looks once) if it does not answer
            if back and not self._lost_seen:
                raise cause   # the camera answers: the error was not its loss
            if back:
                return
        if cam.reconnect(self.wait_for_camera):
            return
        stop = (f"{cam.name} was lost {self.where} and is not back after {_duration(self.wait_for_camera)}; "
                "the night stopped: plug it in again and run the same command with --resume")
        self.note("gave-up", f"{cam.name} not back after {_duration(self.wait_for_camera)}",
                  "the night stops here; --resume goes on with it")
        raise CameraLost(stop) from cause

    def checked(self, frame: Frame) -> bool:
        """Whether the frame is good; a glitched one is noted (and refused after `retakes`)."""
        reason = glitch(frame)
        if reason is None:
            self._glitches = 0
            return True
        self._glitches += 1
        if self._glitches > self.retakes:
            self.note("glitch", reason, "the night stops here; --resume goes on with it")
            raise korvi.ASIGeneralError(f"{self._glitches} glitched frames in a row {self.where} ({reason}); "
                                        "check the camera's cable and hub, then --resume")
        self.note("glitch", reason, "not kept; taken again")
        return False

    def summary(self) -> list[str]:
        if not self.faults:
            return []
        return [f"faults this night: {len(self.faults)}", *(f"  {line}" for line in self.faults)]
