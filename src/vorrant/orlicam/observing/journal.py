"""A plan's journal: ``orlicam-sequence.jsonl`` in its folder, one line per frame before
and after its file appears, with the settings it was taken with; read back by
``--resume``, rebuilt from the frames' own headers when it is lost."""
from __future__ import annotations

import hashlib
import json
import math
import os
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

from ..files.naming import inside
from .plan import IMAGE_TYPES, Entry, Plan, PlanError, Target
from .steps import Show

if TYPE_CHECKING:
    from ..camera.frames import Frame

__all__ = ["JOURNAL", "Journal", "write_frame"]

JOURNAL: Final = "orlicam-sequence.jsonl"


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
            and record.get("state") in ("writing", "done") and isinstance(record.get("settings", {}), dict)):
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

    @classmethod
    def open(cls, folder: Path, plan: Plan, resume: bool, say: Show = lambda line: None) -> Journal:
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
            if "event" in record:
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

    def event(self, record: dict[str, Any]) -> None:
        """Notes a fault met and what was done about it."""
        self._append(record)

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
            raise FileExistsError(f"{path} exists already: not overwritten (put {{n}} or {{time}} in the name)") from None
        except OSError:
            # File systems without hard links (FAT on a USB disk): a check, then a rename.
            if os.path.lexists(path):
                raise FileExistsError(f"{path} exists already: not overwritten") from None
            os.rename(part, path)
    finally:
        part.unlink(missing_ok=True)
    return path
