"""A plan's journal: ``orlicam-sequence-PLAN.jsonl`` in its folder (PLAN: the plan file's
name), one line per frame before and after its file appears, with the settings it was
taken with; read back by ``--resume``, rebuilt from the frames' own headers when it is lost.

Each plan has its own journal, so two plans (two cameras) can share a folder; a run holds
its journal's lock, so a second run of the same plan there is refused while the first
goes on. Nights kept before journals were named after their plan have
``orlicam-sequence.jsonl``: it is still read, and added to, by the plan it belongs to."""
from __future__ import annotations

import glob
import hashlib
import json
import math
import os
import re
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

from ..files.locks import hold, holder
from ..files.naming import inside
from .plan import IMAGE_TYPES, Entry, Plan, PlanError, Target
from .steps import Show

if TYPE_CHECKING:
    from ..camera.frames import Frame

__all__ = ["JOURNAL", "Journal", "write_frame", "journal_name"]

JOURNAL: Final = "orlicam-sequence.jsonl"   # the one journal of a folder, before each plan had its own
_PREFIX: Final = "orlicam-sequence"


def journal_name(plan: Plan) -> str:
    """The plan's journal in its folder: orlicam-sequence-m42.jsonl for m42.toml."""
    stem = re.sub(r"[^A-Za-z0-9.+\-]", "-", plan.path.stem).strip(".") or "plan"
    return f"{_PREFIX}-{stem}.jsonl"


def _first_record(path: Path) -> dict[str, Any] | None:
    try:
        with open(path, encoding="utf-8") as file:
            return _record(file.readline())
    except (OSError, UnicodeDecodeError):
        return None


def _journals(folder: Path) -> list[Path]:
    return sorted(p for p in folder.glob(f"{_PREFIX}*.jsonl") if p.is_file())


def _running(path: Path) -> str | None:
    """Who runs the plan of this journal now; None when no run holds it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        return None if hold(fd) else holder(fd)
    finally:
        os.close(fd)


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
    if "event" in record:   # a fault and what was done
        return record if isinstance(record["event"], str) else None
    if not (_whole_number(record.get("entry"), 0) and _whole_number(record.get("n"), 1)
            and isinstance(record.get("key"), str) and isinstance(record.get("file"), str)
            and record.get("state") in ("writing", "done", "passed") and isinstance(record.get("settings", {}), dict)):
        return None
    try:
        inside(record["file"])   # a journal never names a file outside its folder
    except ValueError:
        return None
    return record


@dataclass
class Journal:
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
    _lock: int | None = None               # the journal's lock, held while the plan runs
    _writing: tuple[int, Path] | None = None   # the frame being written: (entry, file)

    @classmethod
    def open(cls, folder: Path, plan: Plan, resume: bool, say: Show = lambda line: None) -> Journal:
        digest = hashlib.sha256(plan.text.encode()).hexdigest()
        path, old = folder / journal_name(plan), folder / JOURNAL
        if not path.exists() and old.exists():
            first = _first_record(old)
            if first is not None and (first.get("sha256") == digest or Path(str(first.get("plan"))).name == plan.path.name):
                path = old   # a night kept before each plan had its own journal
        exists = path.exists()
        lock = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        held = False
        try:
            held = hold(lock)
            if not held:
                raise PlanError(f"{path}: the plan {plan.path.name} is running in {folder} already ({holder(lock)}); "
                                "let it end, or stop it and --resume; another plan (another camera) may share the folder")
            journal = cls(path, _lock=lock)
            for other in _journals(folder):
                who = None if other == path else _running(other)
                if who is not None:
                    say(f"{other.name}: another plan is running in {folder} ({who}); each keeps its own file names")
            journal._open(folder, plan, resume, say, digest, exists)
        except BaseException:
            if held and not exists:   # ours, made here; a journal a running plan holds is never touched
                path.unlink(missing_ok=True)
            os.close(lock)
            raise
        return journal

    def _open(self, folder: Path, plan: Plan, resume: bool, say: Show, digest: str, exists: bool) -> None:
        journal, path = self, self.path
        if exists:
            journal._read(folder, digest if resume else None)
        else:
            journal._recover(folder, plan)
        if journal.done and not resume:
            how = path.name if exists else f"found by their headers; its journal {path.name} is missing"
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
            if "event" in record:
                continue
            key = (record["entry"], record["n"])
            if record["state"] == "writing":
                writing[key] = record
            elif record["state"] == "passed":   # the name was taken by another plan meanwhile
                writing.pop(key, None)
                self.numbers[record["key"]] = max(self.numbers.get(record["key"], 0), int(record["n"]))
            else:
                writing.pop(key, None)
                self._count(record)
            _remove_parts(folder, record["file"])
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
        others = _files_of_other_plans(folder, self.path)
        found = []
        for path in folder.rglob("*"):
            if path.name.startswith(".") or path.suffix.lower() not in (".fits", ".fit", ".fts") or not path.is_file():
                continue
            name = str(path.relative_to(folder))
            if name in others:
                continue
            try:
                header = fits.getheader(path)
            except (OSError, ValueError, TypeError):
                continue   # not a frame of this plan
            kind = kinds.get(str(header.get("IMAGETYP", "")))
            if kind is not None:
                _check_types(path, header)
                found.append((str(header.get("DATE-OBS", "")), name, kind, header))
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

    def event(self, record: dict[str, Any]) -> None:
        """Notes a fault met and what was done about it."""
        self._append(record)

    def on_disk(self) -> dict[int, int]:
        """Frames written per entry as a resume counts them: `done`, and the frame being
        written when it stopped if its file is there (stopped between its linking and its record)."""
        counted = dict(self.done)
        if self._writing is not None and self._writing[1].exists():
            counted[self._writing[0]] = counted.get(self._writing[0], 0) + 1
        return counted

    def next_number(self, key: str) -> int:
        return self.numbers.get(key, 0) + 1

    def writing(self, entry: int, n: int, key: str, name: str, settings: dict[str, Any]) -> None:
        self._append({"entry": entry, "n": n, "key": key, "file": name, "state": "writing", "settings": settings})
        self._writing = (entry, self.path.parent / name)

    def written(self, entry: int, n: int, key: str, name: str, settings: dict[str, Any]) -> None:
        self._append({"entry": entry, "n": n, "key": key, "file": name, "state": "done", "settings": settings})
        self.done[entry] = self.done.get(entry, 0) + 1
        self._writing = None
        self.numbers[key] = n
        self.settings[entry] = settings

    def passed(self, entry: int, n: int, key: str, name: str) -> None:
        """Notes that frame n's name was taken by another plan before this one could link it."""
        self._append({"entry": entry, "n": n, "key": key, "file": name, "state": "passed"})
        self.numbers[key] = max(self.numbers.get(key, 0), n)

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None
        lock, self._lock = self._lock, None
        if lock is not None:
            os.close(lock)


def _files_of_other_plans(folder: Path, own: Path) -> set[str]:
    """The files other plans' journals in the folder name: never this plan's frames."""
    names: set[str] = set()
    for path in _journals(folder):
        if path == own:
            continue
        try:
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        except OSError:
            continue
        for line in lines:
            record = _record(line)
            if record is not None and isinstance(record.get("file"), str):
                names.add(record["file"])
    return names


def _check_types(path: Path, header: Any) -> None:
    """A header value the journal would keep must be a number: one line naming the file otherwise."""
    for _, card in (*_HEADER_SETTINGS, ("", "XBINNING")):
        value = header.get(card)
        whole = card != "EXPTIME"
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int if whole else (int, float)) \
                or not math.isfinite(value):
            shown = repr(value) if len(repr(value)) <= 40 else repr(value)[:40] + "..."
            raise PlanError(f"{path}: {card} is {shown} in its header, not {'a whole number' if whole else 'a number'}; "
                            "the journal is rebuilt from the frames' headers: mend the card or move the file aside, "
                            "and --resume again")


def _remove_parts(folder: Path, name: str) -> None:
    """Parts of the frame left by a run that was killed; a part of a run still going stays."""
    path = folder / name
    for part in path.parent.glob(f".{glob.escape(path.name)}.*part"):
        pid = part.name[len(path.name) + 2:].removesuffix("part").rstrip(".")
        if pid.isdigit() and _alive(int(pid)):
            continue
        part.unlink(missing_ok=True)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True   # another user's process
    return True


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
    # The process in the name: two plans writing into one folder never share a part.
    path = Path(name)
    return str(path.with_name(f".{path.name}.{os.getpid()}.part"))


def write_frame(folder: Path, name: str, frame: Frame, cards: list[tuple[str, Any, str]]) -> Path:
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
            raise FileExistsError(f"{path} exists already: not overwritten (put {{n}} in the name)") from None
        except OSError:
            # File systems without hard links (FAT on a USB disk): a check, then a rename.
            if os.path.lexists(path):
                raise FileExistsError(f"{path} exists already: not overwritten") from None
            os.rename(part, path)
    finally:
        part.unlink(missing_ok=True)
    return path
