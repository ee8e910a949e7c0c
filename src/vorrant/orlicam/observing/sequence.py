"""Running a capture plan: cool and settle, take each entry's frames, name and label
them, and warm up at the end; plus the pieces `snap` and `stream` share with it
(cooling with a settle time, exposures with elapsed and remaining time, a warm ramp).

A plan's progress is kept in ``orlicam-sequence.jsonl`` in its folder, one line per
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

import hashlib
import itertools
import json
import math
import os
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from ..files.naming import DEFAULT_TEMPLATE, frame_fields, inside, night_folder, render
from .plan import IMAGE_TYPES, Entry, Observation, Plan, PlanError, Target, load_plan, observation_cards

if TYPE_CHECKING:
    from ..camera.camera import Camera
    from ..camera.frames import Frame

__all__ = ["run_plan", "dry_run", "settle", "warm_up", "capture_with_progress", "find_flat_exposure",
           "JOURNAL", "write_ser_sidecar", "frame_level", "Limits", "check_plan", "model_limits"]

JOURNAL: Final = "orlicam-sequence.jsonl"
_FLAT_START_S: Final = 0.1
_FLAT_MAX_S: Final = 60.0
_FLAT_PROBE_S: Final = 10.0   # the test after one that showed no light
_FLAT_CLOSE: Final = 0.03      # a test frame this close to the level (relative) is close enough
_OVERHEAD_GUESS_S: Final = 0.5  # readout and writing per frame, until measured

Show = Callable[[str], None]


# --- exposures, cooling, warming ------------------------------------------------------

def capture_with_progress(cam: Camera, show: Show, label: str, dark: bool = False,
                          exposure: float | None = None) -> Frame:
    """cam.capture(), showing `label` with the elapsed and remaining time of the exposure
    every half second (exposures over a second)."""
    seconds = cam.exposure if exposure is None else exposure
    if seconds <= 1.0:
        return cam.capture(exposure, dark=dark)
    done = threading.Event()
    began = time.monotonic()

    def tick() -> None:
        while not done.wait(0.5):
            elapsed = time.monotonic() - began
            show(f"{label}: {min(elapsed, seconds):.0f} of {seconds:g} s, {max(0.0, seconds - elapsed):.0f} s left")

    ticker = threading.Thread(target=tick, name="orlicam-exposure-progress", daemon=True)
    ticker.start()
    try:
        return cam.capture(exposure, dark=dark)
    finally:
        done.set()
        ticker.join()


def settle(cam: Camera, target: float, tolerance: float, settle_s: float, timeout: float, show: Show) -> float:
    """Cools to `target` and waits until the sensor has stayed within `tolerance` for
    `settle_s` seconds (a reading outside starts the count again); TimeoutError after
    `timeout` seconds in all. Returns the temperature."""
    from .. import korvi

    if not cam.description.cooled:
        raise ValueError(f"{cam.name} has no cooler: it cannot cool to {target:g} C")
    began = time.monotonic()
    try:
        cam.cool_to(target, timeout, tolerance=tolerance, progress=lambda s: show(
            f"cooling to {target:g} C: {s.temperature:.1f} C, cooler {s.cooler_power} %, {s.elapsed:.0f} s"))
    except korvi.ASITimeout as error:
        raise TimeoutError(f"{cam.name}: {error}") from None
    steady_since = time.monotonic()
    while True:
        now = time.monotonic()
        temperature = cam.temperature
        if abs(temperature - target) > tolerance:
            steady_since = now
        held = now - steady_since
        show(f"settling at {target:g} C: {temperature:.1f} C, steady {held:.0f} of {settle_s:g} s")
        if held >= settle_s:
            return temperature
        if now - began >= timeout:
            raise TimeoutError(f"{cam.name}: the sensor did not stay within {tolerance:g} C of {target:g} C "
                               f"for {settle_s:g} s within {timeout:g} s")
        time.sleep(max(0.05, min(1.0, settle_s - held)))


def warm_up(cam: Camera, rate: float, show: Show, interval: float = 1.0) -> float:
    """Raises the cooler's set point by `rate` degrees per second until the cooler no
    longer works (the sensor is at ambient) or the set point is at its top, then switches
    the cooler off; returns the temperature then. Warming slowly spares the sensor the
    thermal shock of switching off at once."""
    if not cam.description.cooled:
        raise ValueError(f"{cam.name} has no cooler")
    if not cam.cooler_on:
        cam.cooler_on = False
        return cam.temperature
    top = cam.controls["target_temperature"].max
    start, began = cam.temperature, time.monotonic()
    while True:
        goal = min(top, math.floor(start + rate * (time.monotonic() - began)))
        cam.target_temperature = goal
        temperature, power = cam.temperature, cam.cooler_power
        show(f"warming at {rate * 60:g} C/min: set point {goal:g} C, sensor {temperature:.1f} C, cooler {power} %")
        if power == 0 or goal >= top:
            break
        time.sleep(interval)
    cam.cooler_on = False
    return cam.temperature


# --- flats ---------------------------------------------------------------------------

def frame_level(frame: Frame) -> float:
    """The frame's median as a fraction of full scale (16-bit words or 8-bit bytes)."""
    data = frame.data
    full = float(np.iinfo(data.dtype).max)
    return float(np.median(data[::2, ::2] if data.size > 4_000_000 else data)) / full


def find_flat_exposure(cam: Camera, level: float, show: Show, start: float = _FLAT_START_S,
                       longest: float = _FLAT_MAX_S) -> tuple[float, float]:
    """The exposure (and the level it gave) putting a flat's median at `level` of full
    scale, from test frames: the response is taken as linear above the bias level. Light
    that cannot give the level (none, or too faint or bright for the exposure range) is a
    ValueError naming the likely cause, after at most two test frames."""
    control = cam.controls["exposure"]
    shortest, longest = control.min, min(longest, control.max)
    bias = frame_level(cam.capture(shortest, dark=True))
    seconds = min(max(start, shortest), longest)
    probe = min(_FLAT_PROBE_S, longest)
    for _ in range(12):
        got = frame_level(cam.capture(seconds))
        show(f"flat exposure: {seconds:g} s gives {got:.3f} of full scale (target {level:g})")
        if abs(got - level) <= _FLAT_CLOSE * level:
            return seconds, got
        if got >= 0.97:
            wanted = seconds / 4   # saturated: the level says nothing about how far over
        elif got - bias <= 0.002:
            if seconds >= probe:
                raise ValueError(f"flats: no light: {seconds:g} s gives {got:.4f} of full scale, no more than a dark "
                                 f"({bias:.4f}); is the flat panel on and the telescope's cap off?")
            wanted = probe   # one long test rather than many growing ones: light shows at once
        else:
            wanted = seconds * (level - bias) / (got - bias)
            reach = bias + (got - bias) * longest / seconds
            if wanted > longest and level - reach > _FLAT_CLOSE * level:
                raise ValueError(f"flats: the light is too faint for a level of {level:g}: {seconds:g} s gives "
                                 f"{got:.3f}, the longest flat ({longest:g} s) about {reach:.3f}; "
                                 "turn the panel up or raise the gain")
        wanted = min(max(wanted, shortest), longest)
        if wanted == seconds:
            side, fix = ("bright", "dim the panel or add a diffuser") if got > level else (
                "faint", "turn the panel up or raise the gain")
            raise ValueError(f"flats: the light is too {side} for a level of {level:g}: {seconds:g} s gives "
                             f"{got:.3f}; {fix}")
        seconds = wanted
    raise ValueError(f"flats: no exposure found for a level of {level:g} (last {seconds:g} s gave {got:.3f}); "
                     "is the light steady?")


# --- the journal ---------------------------------------------------------------------

# The settings a frame is taken with, as the journal keeps them and a resume compares them.
_HEADER_SETTINGS: Final = (("exposure", "EXPTIME"), ("gain", "GAIN"), ("offset", "OFFSET"), ("bin", "XBINNING"),
                           ("width", "NAXIS1"), ("height", "NAXIS2"))


def _whole_number(value: object, least: int) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= least


def _record(line: str) -> dict[str, Any] | None:
    """The record on a journal line; None when the line holds none."""
    try:
        record = json.loads(line)
    except (ValueError, RecursionError):
        return None
    if not isinstance(record, dict):
        return None
    if "sha256" in record:
        return record if isinstance(record["sha256"], str) else None
    if "camera" in record:
        return record if isinstance(record["camera"], dict) else None
    if not (_whole_number(record.get("entry"), 0) and _whole_number(record.get("n"), 1)
            and isinstance(record.get("key"), str) and isinstance(record.get("file"), str)
            and record.get("state") in ("writing", "done") and isinstance(record.get("settings", {}), dict)):
        return None
    try:
        inside(record["file"])   # a journal never names a file outside its folder
    except ValueError:
        return None
    return record


@dataclass
class _Journal:
    """What an output folder already holds of a plan, and the appending of more."""

    path: Path
    done: dict[int, int] = field(default_factory=dict)        # entry -> frames written
    numbers: dict[str, int] = field(default_factory=dict)     # name with n blank -> last n
    settings: dict[int, dict[str, Any]] = field(default_factory=dict)   # entry -> its last frame's settings
    start: dict[str, Any] | None = None    # the camera's settings when the plan began
    _file: Any = None
    _tail: int | None = None               # where a last line cut short by a kill begins
    _newline: bool = False                 # the last line is whole but for its newline
    _recovered: list[dict[str, Any]] = field(default_factory=list)   # found by their headers
    _pending: list[dict[str, Any]] = field(default_factory=list)     # records to add on opening

    @classmethod
    def open(cls, folder: Path, plan: Plan, resume: bool, say: Show = lambda line: None) -> _Journal:
        path = folder / JOURNAL
        journal = cls(path)
        digest = hashlib.sha256(plan.text.encode()).hexdigest()
        exists = path.exists()
        if exists:
            journal._read(folder, digest if resume else None)
        else:
            journal._recover(folder, plan)
        if journal.done and not resume:
            how = JOURNAL if exists else f"found by their headers; its journal {JOURNAL} is missing"
            raise FileExistsError(f"{folder} holds frames of a plan already ({how}): "
                                  "--resume goes on with it, -o DIR starts in another folder")
        if journal._recovered:
            say(f"the journal is missing: {len(journal._recovered)} frames of the plan found by their headers in {folder}")
        append = exists and bool(journal.done)
        if append and journal._tail is not None:
            os.truncate(path, journal._tail)
            say(f"ignored the last line of {path}, cut short (the run was stopped while writing it)")
        # A journal with no frame yet (a run that failed before its first) starts again.
        journal._file = open(path, "a" if append else "w", encoding="utf-8")
        if append and journal._newline:
            journal._file.write("\n")
        if not append:
            journal.start = None
            journal._append({"plan": str(plan.path), "sha256": digest, "started": datetime.now(UTC).isoformat()})
        for record in journal._recovered + journal._pending:
            journal._append(record)
        return journal

    def _read(self, folder: Path, digest: str | None) -> None:
        try:
            raw = self.path.read_bytes()
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise PlanError(f"{self.path}: a damaged journal, not UTF-8 text ({error.reason} at byte {error.start}): "
                            "move it aside and --resume again, to go on from the frames' own headers") from None
        lines = text.split("\n")
        last = lines.pop()   # what follows the last newline: empty unless a kill cut the line short
        writing: dict[tuple[int, int], dict[str, Any]] = {}
        changed = False
        for number, line in enumerate([*lines, last] if last else lines, start=1):
            record = _record(line)
            cut = bool(last) and number == len(lines) + 1
            if record is None:
                if cut:
                    self._tail = len(raw) - len(last.encode())
                    continue
                shown = line if line.isprintable() else repr(line)
                raise PlanError(f"{self.path}:{number}: not a journal record: "
                                f"{shown if len(shown) <= 60 else shown[:60] + '...'}; a damaged journal: move it "
                                "aside and --resume again, to go on from the frames' own headers")
            self._newline = cut
            if "sha256" in record:
                changed = changed or (digest is not None and record["sha256"] != digest)
                continue
            if "camera" in record:
                self.start = record["camera"]
                continue
            key = (record["entry"], record["n"])
            if record["state"] == "writing":
                writing[key] = record
            else:
                writing.pop(key, None)
                self._count(record)
            (folder / _part_name(record["file"])).unlink(missing_ok=True)
        if changed and self.done:
            raise PlanError(f"{self.path}: the plan has changed since these frames were taken: "
                            "resume it unchanged, or start in another folder with -o DIR")
        for record in writing.values():
            # Killed between the file's linking and its record: the file is whole if it is there.
            if (folder / record["file"]).exists():
                self._count(record)
                self._pending.append({**record, "state": "done"})

    def _recover(self, folder: Path, plan: Plan) -> None:
        """Without a journal: the plan's frames in the folder, known by their FITS headers."""
        from ..files.fits import _astropy_fits

        fits = _astropy_fits()
        kinds = {label: kind for kind, label in IMAGE_TYPES.items()}
        found = []
        for path in folder.rglob("*"):
            if path.name.startswith(".") or path.suffix.lower() not in (".fits", ".fit", ".fts") or not path.is_file():
                continue
            try:
                header = fits.getheader(path)
            except (OSError, ValueError, TypeError):
                continue   # not a frame of this plan
            kind = kinds.get(str(header.get("IMAGETYP", "")))
            if kind is not None:
                found.append((str(header.get("DATE-OBS", "")), str(path.relative_to(folder)), kind, header))
        for _, name, kind, header in sorted(found, key=lambda f: (f[0], f[1])):
            for index, entry in enumerate(plan.frames):
                if self.done.get(index, 0) < entry.count and _taken_for(entry, kind, header, plan.target):
                    settings = {key: header[card] for key, card in _HEADER_SETTINGS if card in header}
                    record = {"entry": index, "n": self.done.get(index, 0) + 1, "key": "", "file": name,
                              "state": "done", "settings": settings}
                    self._count(record)
                    self._recovered.append(record)
                    break

    def _count(self, record: dict[str, Any]) -> None:
        entry = int(record["entry"])
        self.done[entry] = self.done.get(entry, 0) + 1
        self.numbers[record["key"]] = max(self.numbers.get(record["key"], 0), int(record["n"]))
        if record.get("settings"):
            self.settings[entry] = record["settings"]

    def _append(self, record: dict[str, Any]) -> None:
        if self._file is None:
            self._file = open(self.path, "a", encoding="utf-8")
        self._file.write(json.dumps(record) + "\n")
        self._file.flush()
        os.fsync(self._file.fileno())

    def began(self, start: dict[str, Any]) -> None:
        """Notes the camera's settings when the plan began: what entries leaving some out start from."""
        self.start = start
        self._append({"camera": start})

    def next_number(self, key: str) -> int:
        return self.numbers.get(key, 0) + 1

    def writing(self, entry: int, n: int, key: str, name: str, settings: dict[str, Any]) -> None:
        self._append({"entry": entry, "n": n, "key": key, "file": name, "state": "writing", "settings": settings})

    def written(self, entry: int, n: int, key: str, name: str, settings: dict[str, Any]) -> None:
        self._append({"entry": entry, "n": n, "key": key, "file": name, "state": "done", "settings": settings})
        self.done[entry] = self.done.get(entry, 0) + 1
        self.numbers[key] = n
        self.settings[entry] = settings

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None


def _taken_for(entry: Entry, kind: str, header: Any, target: Target) -> bool:
    """Whether a frame with this header is one of the entry's: what the entry says of its frames."""
    if kind != entry.kind or header.get("XBINNING") != entry.bin:
        return False
    if kind in ("light", "flat") and (header.get("FILTER") or None) != entry.filter:
        return False
    if kind == "light" and target.object and header.get("OBJECT") != target.object:
        return False
    for value, card in ((entry.gain, "GAIN"), (entry.offset, "OFFSET")):
        if value is not None and header.get(card) != value:
            return False
    seconds = header.get("EXPTIME")
    return entry.exposure is None or (isinstance(seconds, (int, float))
                                       and math.isclose(seconds, entry.exposure, rel_tol=1e-3, abs_tol=2e-6))


def _part_name(name: str) -> str:
    path = Path(name)
    return str(path.with_name(f".{path.name}.part"))


def _write_new(folder: Path, name: str, frame: Frame, cards: list[tuple[str, Any, str]]) -> Path:
    """Writes the FITS file under a temporary name, then links it into place: an existing
    file is never replaced, and a file with its final name is always complete."""
    from ..files.fits import write_fits

    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    part = folder / _part_name(name)
    write_fits(part, frame, overwrite=True, cards=cards)   # a part left by a kill is no file yet
    try:
        try:
            os.link(part, path)
        except FileExistsError:
            raise FileExistsError(f"{path} exists already: not overwritten (put {{n}} or {{time}} in the name)") from None
        except OSError:
            # File systems without hard links (FAT on a USB disk): a check, then a rename.
            if os.path.lexists(path):
                raise FileExistsError(f"{path} exists already: not overwritten") from None
            os.rename(part, path)
    finally:
        part.unlink(missing_ok=True)
    return path


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


def _prepare(cam: Camera, plan: Plan, journal: _Journal) -> list[dict[str, Any]]:
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
    """The estimated end: exposures still to take plus the overhead per frame seen so far."""

    frames: int = 0
    overhead: float = 0.0

    def add(self, wall: float, exposure: float) -> None:
        self.frames += 1
        self.overhead += max(0.0, wall - exposure)

    def end(self, remaining_exposure: float, remaining_frames: int) -> str:
        per = self.overhead / self.frames if self.frames else _OVERHEAD_GUESS_S
        end = datetime.now().astimezone() + timedelta(seconds=remaining_exposure + per * remaining_frames)
        return end.strftime("%H:%M:%S")


def run_plan(plan: Plan, folder: Path, resume: bool, show: Show, say: Show, cool_to: float | None = None) -> list[Path]:
    """Runs the plan into `folder`; returns the files written by this run."""
    from ..camera.camera import Camera

    folder.mkdir(parents=True, exist_ok=True)
    journal = _Journal.open(folder, plan, resume, say)
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
        with Camera(plan.camera.camera) as cam, _warm_at_end(cam, plan, show, say):
            settings = _prepare(cam, plan, journal)
            if target_c is not None:
                reached = settle(cam, target_c, plan.camera.tolerance, plan.camera.settle, plan.camera.cool_timeout, show)
                say(f"{cam.name}: {reached:.1f} C, steady for {plan.camera.settle:g} s")
            clock = _Clock()
            left = {i: max(0, e.count - journal.done.get(i, 0)) for i, e in enumerate(plan.frames)}
            for index, entry in enumerate(plan.frames):
                if left[index] == 0:
                    continue
                _apply(cam, settings[index])
                if entry.auto:
                    seconds, _ = find_flat_exposure(cam, entry.level, show)
                    cam.exposure = seconds
                    say(f"flats: {seconds:g} s for a level of {entry.level:g}")
                while left[index] > 0:
                    taken += 1
                    left[index] -= 1
                    remaining = cam.exposure + sum(n * (plan.frames[i].exposure or cam.exposure) for i, n in left.items())
                    label = (f"frame {taken} of {total}, line {entry.line}: {entry.kind}"
                             + (f" {entry.filter}" if entry.filter else "") + f" {cam.exposure:g} s"
                             + f", ends about {clock.end(remaining, sum(left.values()) + 1)}")
                    show(label)
                    began = time.monotonic()
                    frame = capture_with_progress(cam, show, label, dark=entry.dark)
                    path = _store(plan, folder, journal, index, entry, frame,
                                  {**settings[index], "exposure": frame.meta.exposure})
                    clock.add(time.monotonic() - began, frame.meta.exposure)
                    written.append(path)
                    line = f"{path.relative_to(folder)}: {entry.kind} {journal.done[index]} of {entry.count}"
                    if entry.auto:
                        level = frame_level(frame)
                        line += f", level {level:.3f} (target {entry.level:g})"
                        if abs(level - entry.level) > _FLAT_CLOSE * entry.level and level < 0.97:
                            # The light changes (twilight): follow it for the next flat.
                            cam.exposure = min(max(cam.exposure * entry.level / max(level, 1e-3),
                                                   cam.controls["exposure"].min), _FLAT_MAX_S)
                    say(line)
    finally:
        journal.close()
    return written


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


def _store(plan: Plan, folder: Path, journal: _Journal, index: int, entry: Entry, frame: Frame,
           settings: dict[str, Any]) -> Path:
    template = plan.name or DEFAULT_TEMPLATE
    target = plan.target
    fields = frame_fields(frame.meta, entry.kind, target.object if entry.kind == "light" else None, entry.filter
                          if entry.kind in ("light", "flat") else None)
    key = render(template, fields, 0)
    n = journal.next_number(key)
    name = inside(render(template, fields, n))
    numbered = render(template, fields, 1) != render(template, fields, 2)
    while numbered and os.path.lexists(folder / name):
        n += 1   # files the journal does not know of (it was lost): never written over
        name = inside(render(template, fields, n))
    journal.writing(index, n, key, name, settings)
    path = _write_new(folder, name, frame, observation_cards(target, entry.kind, entry.filter))
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

