"""Running a capture plan: cool and settle, take each entry's frames, name and label
them, and warm up at the end; plus the pieces `snap` and `stream` share with it
(the SER sidecar); the steps of a night are in `steps`, the journal in `journal`.

A plan's progress is kept in its journal in its folder (``journal``), one line per
frame before and after its file appears (files are written under a temporary name and
linked into place, so a file with its final name is always complete). ``--resume`` reads
it back, counts what each entry has, and goes on from there: no frame is taken twice,
whether the run was stopped by Ctrl-C, a kill or a camera error. Each record holds the
settings the frame was taken with; a resume takes the rest of the plan with the settings
a straight run would have used (an entry without a gain keeps the one before it, from
the camera's state when the plan began), and stops when frames already taken differ from
them. A journal that is lost is rebuilt from the frames' own FITS headers; a line cut
short by a kill is dropped with a warning.

Before the first exposure (and before cooling), every entry is checked against the
camera's ranges; `--dry-run` checks them against the model's, read without opening it.
"""
from __future__ import annotations

import itertools
import json
import math
import os
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

from ..files.naming import DEFAULT_TEMPLATE, frame_fields, inside, night_folder, render
from .faults import WAIT_FOR_CAMERA_S, Night
from .journal import Journal, write_frame
from .plan import Entry, Plan, PlanError, Target, observation_cards
from .steps import FLAT_CLOSE, FLAT_MAX_S, Show, capture_with_progress, find_flat_exposure, frame_level, settle, warm_up

if TYPE_CHECKING:
    from ..camera.camera import Camera
    from ..camera.frames import Frame

__all__ = ["run_plan", "dry_run", "write_ser_sidecar", "Limits", "check_plan", "model_limits", "default_folder",
           "PlanInterrupted"]



# --- what the camera takes ---------------------------------------------------------

@dataclass(frozen=True)
class Limits:
    """What a camera takes, as far as it is known (None: not known before it opens)."""

    name: str
    exposure: tuple[float, float] | None = None   # seconds
    gain: tuple[int, int] | None = None
    offset: tuple[int, int] | None = None
    bins: tuple[int, ...] | None = None
    formats: tuple[str, ...] | None = None
    size: tuple[int, int] | None = None            # the sensor in unbinned pixels


def _seconds(seconds: float) -> str:
    return (f"{seconds:g} s" if seconds >= 1 else f"{seconds * 1e3:g} ms" if seconds >= 1e-3
            else f"{seconds * 1e6:g} us")


def check_plan(plan: Plan, limits: Limits) -> None:
    """PlanError (`file:line: what`) for the first setting the camera would refuse."""
    def fail(entry: Entry, key: str, what: str) -> PlanError:
        return PlanError(f"{plan.path}:{entry.line_of(key)}: [[frames]] {key}: {what} on {limits.name}")

    for entry in plan.frames:
        if entry.exposure is not None and limits.exposure is not None:
            low, high = limits.exposure
            if not low <= entry.exposure <= high:
                raise fail(entry, "exposure", f"{_seconds(entry.exposure)} is outside {_seconds(low)} to {_seconds(high)}")
        for key, value, span in (("gain", entry.gain, limits.gain), ("offset", entry.offset, limits.offset)):
            if value is not None and span is not None and not span[0] <= value <= span[1]:
                raise fail(entry, key, f"{value} is outside {span[0]} to {span[1]}")
        if limits.bins is not None and entry.bin not in limits.bins:
            raise fail(entry, "bin", f"{entry.bin} is not one of {', '.join(map(str, limits.bins))}")
        if entry.image_format and limits.formats is not None and entry.image_format not in limits.formats:
            raise fail(entry, "format", f"{entry.image_format} is not one of {', '.join(limits.formats)}")
        if entry.roi is not None and limits.size is not None:
            width, height, x, y = entry.roi
            across, down = limits.size[0] // entry.bin, limits.size[1] // entry.bin
            if (x or 0) + (width or 0) > across or (y or 0) + (height or 0) > down:
                raise fail(entry, "roi", f"{width}x{height} does not fit the sensor's {across}x{down} at bin {entry.bin}")


def model_limits(which: int | str) -> Limits | None:
    """What the camera a plan names takes, read without opening it: the library's
    description of it and, from the simulator, its controls' ranges (a vendor library
    gives those only once the camera is open). None when no such camera is connected."""
    try:
        from .. import korvi, simulator
        from ..camera.formatnames import NAMES_BY_NUMBER
    except ImportError:
        return None   # no camera library: a dry run still shows the plan
    try:
        infos = [korvi.get_camera_property(i) for i in range(korvi.get_number_of_connected_cameras())]
        names = [info.name for info in infos]
    except (korvi.ASIError, ValueError):
        return None
    if isinstance(which, int):
        chosen = [which] if which < len(infos) else []
    else:
        wanted = which.strip().lower()
        chosen = ([i for i, name in enumerate(names) if name.lower() == wanted]
                  or [i for i, name in enumerate(names) if wanted and wanted in name.lower()])
    if len(chosen) != 1:
        return None
    info = infos[chosen[0]]
    spans: dict[int, tuple[int, int]] = {}
    try:
        for index in itertools.count():
            caps = simulator.control_caps(info.camera_id, index)  # type: ignore[no-untyped-call]
            spans[caps.ControlType] = (caps.MinValue, caps.MaxValue)
    except (IndexError, RuntimeError, OSError):
        pass   # past the last control, or a vendor library
    CT = korvi.ControlType
    exposure = spans.get(int(CT.ASI_EXPOSURE))
    return Limits(names[chosen[0]], None if exposure is None else (exposure[0] / 1e6, exposure[1] / 1e6),
                  spans.get(int(CT.ASI_GAIN)), spans.get(int(CT.ASI_OFFSET)), tuple(info.supported_bins),
                  tuple(NAMES_BY_NUMBER[int(t)] for t in info.supported_video_formats if int(t) in NAMES_BY_NUMBER),
                  (info.max_width, info.max_height))


def _camera_limits(cam: Camera) -> Limits:
    def span(name: str) -> Any:
        control = cam.controls.get(name)
        return None if control is None else (control.min, control.max)

    d = cam.description
    return Limits(cam.name, span("exposure"), span("gain"), span("offset"), d.bins, d.formats,
                  (d.max_width, d.max_height))


def _now(cam: Camera) -> dict[str, Any]:
    """The camera's settings that frames are taken with."""
    roi = cam.roi
    return {"exposure": cam.exposure, "gain": cam.gain if "gain" in cam.controls else None,
            "offset": cam.offset if "offset" in cam.controls else None, "bin": roi.bin, "format": roi.image_format,
            "x": roi.x, "y": roi.y, "width": roi.width, "height": roi.height}


def _apply(cam: Camera, settings: dict[str, Any]) -> None:
    if settings["gain"] is not None:
        cam.gain = settings["gain"]
    if settings["offset"] is not None:
        cam.offset = settings["offset"]
    cam.set_roi(settings["width"], settings["height"], settings["bin"], settings["format"], settings["x"], settings["y"])
    cam.exposure = settings["exposure"]


def _prepare(cam: Camera, plan: Plan, journal: Journal) -> list[dict[str, Any]]:
    """Each entry's settings, checked before the first exposure: as a straight run sets them,
    an entry taking what it gives and keeping the rest from the entry before it, from the
    camera's settings when the plan began (a resume's from its journal). PlanError for a
    setting the camera refuses, or when frames already taken differ from what the plan gives now."""
    from ..camera.camera import configure

    check_plan(plan, _camera_limits(cam))
    if journal.start is None:
        journal.began({key: value for key, value in _now(cam).items() if key in ("gain", "offset", "format")})
    else:
        _apply(cam, {**_now(cam), **journal.start})
    resolved = []
    for entry in plan.frames:
        try:
            configure(cam, entry.exposure, entry.gain, entry.offset, entry.bin, entry.image_format, entry.roi)
            if entry.kind == "bias" and entry.exposure is None:
                cam.exposure = cam.controls["exposure"].min
        except ValueError as error:
            raise PlanError(f"{plan.path}:{entry.line}: {error}") from None
        resolved.append(_now(cam))
    for index, taken in journal.settings.items():
        if index >= len(plan.frames):
            continue
        entry, now = plan.frames[index], resolved[index]
        for key, value in taken.items():
            if key not in now or now[key] is None or (key == "exposure" and entry.auto):
                continue
            same = math.isclose(value, now[key], rel_tol=1e-6, abs_tol=2e-6) if key == "exposure" else value == now[key]
            if not same:
                raise PlanError(f"{plan.path}:{entry.line}: {entry.kind} frames taken with {key} {value}, the plan now "
                                f"gives {key} {now[key]}: a resume takes the rest as the first were taken; "
                                "start in another folder with -o DIR")
    return resolved


# --- the plan ------------------------------------------------------------------------

def _duration_text(seconds: float) -> str:
    seconds = round(seconds)
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours} h {minutes:02d} min" if hours else f"{minutes} min {secs:02d} s" if minutes else f"{secs} s"


def dry_run(plan: Plan, folder: Path, say: Show) -> float:
    """Prints what the plan would take and how long; returns the seconds of exposure known.
    The settings are checked against the camera's model, as far as it is known unopened."""
    limits = model_limits(plan.camera.camera)
    if limits is not None:
        check_plan(plan, limits)
    total, unknown = 0.0, 0
    say(f"plan {plan.path}: camera {plan.camera.camera}, files in {folder}/")
    if plan.name_note:
        say(f"  {plan.name_note}")
    if limits is None:
        say(f"  camera {plan.camera.camera!r} is not connected: the settings are checked against it when it opens")
    elif limits.gain is None:
        say(f"  {limits.name}: exposure, gain and offset are checked against its ranges when it opens")
    if plan.camera.cool_to is not None:
        say(f"  cool to {plan.camera.cool_to:g} C (within {plan.camera.tolerance:g} C for {plan.camera.settle:g} s)")
    for i, entry in enumerate(plan.frames, start=1):
        if entry.auto or entry.exposure is None:
            unknown += entry.count
            how_long = "exposure found at run time"
        else:
            total += entry.count * entry.exposure
            how_long = _duration_text(entry.count * entry.exposure)
        say(f"  {i}. line {entry.line}: {entry.describe()}: {how_long}")
    frames = sum(e.count for e in plan.frames)
    extra = f" plus {unknown} frames of exposure found at run time" if unknown else ""
    say(f"{frames} frames, {_duration_text(total)} of exposure{extra}"
        + (", then a warm-up" if plan.camera.warm else ""))
    return total


@dataclass
class _Clock:
    """The estimated end: exposures still to take, the overhead per frame (measured on the
    camera at the start, then as the frames come) and the warm-up at the end."""

    first: float           # seconds a frame costs beyond its exposure, measured at the start
    warm: float = 0.0      # seconds of the warm-up at the end
    frames: int = 0
    overhead: float = 0.0

    def add(self, wall: float, exposure: float) -> None:
        self.frames += 1
        self.overhead += max(0.0, wall - exposure)

    def left(self, remaining_exposure: float, remaining_frames: int) -> float:
        per = self.overhead / self.frames if self.frames else self.first
        return remaining_exposure + per * remaining_frames + self.warm

    def end(self, remaining_exposure: float, remaining_frames: int) -> str:
        end = datetime.now().astimezone() + timedelta(seconds=self.left(remaining_exposure, remaining_frames))
        return end.strftime("%H:%M:%S")


def _frame_overhead(cam: Camera, folder: Path, settings: dict[str, Any]) -> float:
    """What a frame costs beyond its exposure (starting it, downloading it, writing its file),
    measured with frames of the camera's shortest exposure at `settings`, each written as a
    frame is and removed: the median of three, as the first after new settings pays for
    them once."""
    from ..files.fits import write_fits

    _apply(cam, settings)
    shortest = float(cam.controls["exposure"].min)
    # A part name, never taken for a frame; the process in it, as two plans may share the folder.
    part = folder / f".orlicam-timing.{os.getpid()}.fits.part"
    costs: list[float] = []
    try:
        for _ in range(3):
            began = time.monotonic()
            write_fits(part, cam.capture(shortest, dark=True), overwrite=True)
            costs.append(max(0.0, time.monotonic() - began - shortest))
    finally:
        part.unlink(missing_ok=True)
    return sorted(costs)[1]


def _warm_seconds(plan: Plan, ambient: float | None, target_c: float | None) -> float:
    """How long the warm-up at the end takes: from the set point to the temperature the sensor
    had before cooling, at the plan's rate, plus the last look at the cooler."""
    if not plan.camera.warm or ambient is None or target_c is None:
        return 0.0
    return max(0.0, ambient - target_c) / plan.camera.warm_rate + 1.0


class PlanInterrupted(KeyboardInterrupt):
    """Ctrl-C (or SIGTERM, SIGHUP) stopped a plan after `done` of its `total` frames."""

    def __init__(self, done: int, total: int) -> None:
        super().__init__(done, total)
        self.done, self.total = done, total


def run_plan(plan: Plan, folder: Path, resume: bool, show: Show, say: Show, cool_to: float | None = None,
             wait_for_camera: float = WAIT_FOR_CAMERA_S) -> list[Path]:
    """Runs the plan into `folder`; returns the files written by this run. A failed, hung or
    glitched frame is taken again; a camera lost is waited for up to `wait_for_camera`
    seconds, then the run stops (resumable) with CameraLost; each fault goes to the journal
    and to the summary said at the end. PlanInterrupted (a KeyboardInterrupt) when stopped,
    saying how far it got."""
    from ..camera.camera import Camera

    folder.mkdir(parents=True, exist_ok=True)
    journal = Journal.open(folder, plan, resume, say)
    night = Night(journal, say, wait_for_camera)
    if plan.name_note:
        say(plan.name_note)
    written: list[Path] = []
    try:
        if resume and journal.done:
            say(f"resuming: {sum(journal.done.values())} frames already in {folder}")
        total = sum(e.count for e in plan.frames)
        taken = sum(min(e.count, journal.done.get(i, 0)) for i, e in enumerate(plan.frames))
        if taken >= total:
            say("nothing left to take")
            return written
        target_c = plan.camera.cool_to if cool_to is None else cool_to
        with Camera(plan.camera.camera, recovery=night.recovery()) as cam, _warm_at_end(cam, plan, show, say):
            settings = _prepare(cam, plan, journal)
            cooled = cam.description.cooled
            ambient = cam.temperature if cooled and not cam.cooler_on else None   # before the cooler changes it

            def cool() -> None:
                assert target_c is not None
                reached = settle(cam, target_c, plan.camera.tolerance, plan.camera.settle, plan.camera.cool_timeout, show)
                say(f"{cam.name}: {reached:.1f} C, steady for {plan.camera.settle:g} s")

            if target_c is not None:
                night.survive(cam, cool)
                night.cool_again = False
            left = {i: max(0, e.count - journal.done.get(i, 0)) for i, e in enumerate(plan.frames)}
            first = min(i for i, n in left.items() if n)
            overhead = night.survive(cam, lambda: _frame_overhead(cam, folder, settings[first]))
            clock = _Clock(overhead, _warm_seconds(plan, ambient, target_c) if cooled else 0.0)
            for index, entry in enumerate(plan.frames):
                if left[index] == 0:
                    continue
                night.survive(cam, lambda: _apply(cam, settings[index]))
                if entry.auto:
                    seconds, _ = night.survive(cam, lambda: find_flat_exposure(cam, entry.level, show))
                    cam.exposure = seconds
                    say(f"flats: {seconds:g} s for a level of {entry.level:g}")
                while left[index] > 0:
                    taken += 1
                    left[index] -= 1
                    # Each entry at the exposure it is taken at (a bias at the shortest); this one's
                    # as found when it is auto.
                    remaining = cam.exposure + sum(n * (cam.exposure if i == index else settings[i]["exposure"])
                                                   for i, n in left.items())
                    label = (f"frame {taken} of {total}, line {entry.line}: {entry.kind}"
                             + (f" {entry.filter}" if entry.filter else "") + f" {cam.exposure:g} s"
                             + f", ends about {clock.end(remaining, sum(left.values()) + 1)}")
                    show(label)
                    began = time.monotonic()
                    night.where = f"at frame {taken} of {total} ({entry.kind})"
                    frame = night.survive(cam, lambda: _take(cam, night, entry, label, show,
                                                                    None if target_c is None else cool))
                    path = _store(plan, folder, journal, index, entry, frame,
                                  {**settings[index], "exposure": frame.meta.exposure})
                    clock.add(time.monotonic() - began, frame.meta.exposure)
                    written.append(path)
                    line = f"{path.relative_to(folder)}: {entry.kind} {journal.done[index]} of {entry.count}"
                    if entry.auto:
                        level = frame_level(frame)
                        line += f", level {level:.3f} (target {entry.level:g})"
                        if abs(level - entry.level) > FLAT_CLOSE * entry.level and level < 0.97:
                            # The light changes (twilight): follow it for the next flat.
                            cam.exposure = min(max(cam.exposure * entry.level / max(level, 1e-3),
                                                   cam.controls["exposure"].min), FLAT_MAX_S)
                    say(line)
    except KeyboardInterrupt:
        done = journal.on_disk()
        raise PlanInterrupted(sum(min(e.count, done.get(i, 0)) for i, e in enumerate(plan.frames)),
                              sum(e.count for e in plan.frames)) from None
    finally:
        journal.close()
        for line in night.summary():
            say(line)
    return written


def _take(cam: Camera, night: Night, entry: Entry, label: str, show: Show, cool: Callable[[], None] | None) -> Frame:
    """One good frame of the entry: cooled again first when the camera came back (before a
    light or dark), taken again while it comes glitched."""
    while True:
        if night.cool_again and cool is not None and entry.kind in ("light", "dark"):
            cool()
            night.cool_again = False
        frame = capture_with_progress(cam, show, label, dark=entry.dark)
        if night.checked(frame):
            return frame


@contextmanager
def _warm_at_end(cam: Camera, plan: Plan, show: Show, say: Show) -> Iterator[None]:
    """The plan's `warm = true`: the warm-up when the plan ends, also on an error or Ctrl-C,
    so that a stopped night does not leave the sensor cold (or switch it off at once)."""
    if not (plan.camera.warm and cam.description.cooled):
        yield
        return
    try:
        yield
    except BaseException:
        say(f"{cam.name}: the plan stopped; warming up first (Ctrl-C again leaves the cooler as it is)")
        try:
            end = warm_up(cam, plan.camera.warm_rate, show)
        except Exception as error:   # the camera may be what failed: the plan's error is the one to report
            say(f"{cam.name}: not warmed up: {error}")
        else:
            say(f"{cam.name}: cooler off at {end:.1f} C")
        raise
    end = warm_up(cam, plan.camera.warm_rate, show)
    say(f"{cam.name}: cooler off at {end:.1f} C")


def _store(plan: Plan, folder: Path, journal: Journal, index: int, entry: Entry, frame: Frame,
           settings: dict[str, Any]) -> Path:
    template = plan.name or DEFAULT_TEMPLATE
    target = plan.target
    fields = frame_fields(frame.meta, entry.kind, target.object if entry.kind == "light" else None, entry.filter
                          if entry.kind in ("light", "flat") else None)
    key = render(template, fields, 0)
    n = journal.next_number(key)
    name = inside(render(template, fields, n))
    numbered = render(template, fields, 1) != render(template, fields, 2)
    while True:
        while numbered and os.path.lexists(folder / name):
            n += 1   # files the journal does not know of (it was lost, or another plan's): never written over
            name = inside(render(template, fields, n))
        journal.writing(index, n, key, name, settings)
        try:
            path = write_frame(folder, name, frame, observation_cards(target, entry.kind, entry.filter))
        except FileExistsError:
            if not numbered:
                raise
            journal.passed(index, n, key, name)   # another plan in the folder took the name first
            continue
        journal.written(index, n, key, name, settings)
        return path


def default_folder(now: datetime | None = None) -> Path:
    return Path.cwd() / night_folder(now or datetime.now(UTC))


# --- the SER sidecar -----------------------------------------------------------------

def write_ser_sidecar(path: Path, first: Frame | None, last: Frame | None, count: int, target: Target | None = None,
                      filter_name: str | None = None) -> Path | None:
    """`NAME.ser.json` beside a SER file: the camera, its settings and the temperature, which
    the SER header has no room for. None when no frame was recorded."""
    if first is None or last is None:
        return None
    meta = first.meta
    roi = meta.roi
    record: dict[str, Any] = {
        "file": path.name, "frames": count, "camera": meta.camera_name, "serial": meta.serial,
        "exposure_s": meta.exposure, "gain": meta.gain, "offset": meta.offset, "bin": roi.bin,
        "format": roi.image_format, "roi": {"x": roi.x, "y": roi.y, "width": roi.width, "height": roi.height},
        "bayer_pattern": meta.bayer_pattern, "temperature_c": meta.temperature,
        "temperature_end_c": last.meta.temperature, "set_temperature_c": meta.target_temperature if meta.cooled else None,
        "start_utc": meta.start_time.isoformat(), "end_utc": (last.meta.start_time + timedelta(seconds=last.meta.exposure)).isoformat(),
    }
    if target is not None:
        record["target"] = {k: v for k, v, _ in observation_cards(target, "light", filter_name) if k != "IMAGETYP"}
    sidecar = path.with_name(path.name + ".json")
    sidecar.write_text(json.dumps(record, indent=2) + "\n", encoding="utf-8")
    return sidecar

