"""How close the end that `orlicam sequence` estimates comes to the real end, on the
documented night: examples/m42.toml on the simulated ASI294MM Pro, its cooler 1000 times
faster (ORLICAM_SIM_TIME_SCALE=1000), as docs/files-and-plans.md runs it.

Each round runs the plan through `orlicam sequence` in a child process on a terminal (a
pseudo-terminal, so that every progress line is seen), reads each "frame i of n ..., ends
about HH:MM:SS" as it appears, and compares it with the moment the command ends. Printed:
the night's length, the error of the first estimate (made before the first exposure) and
the largest error of any, as seconds and as a share of the night. Goal: within 10%.
"""
from __future__ import annotations

import os
import pty
import re
import shutil
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ORLICAM = Path(sys.executable).with_name("orlicam")
ROUNDS = int(os.environ.get("ORLICAM_BENCH_ROUNDS", "3"))
ESTIMATE = re.compile(rb"frame (\d+) of \d+, .*?ends about (\d\d):(\d\d):(\d\d)")


def night(folder: Path) -> tuple[float, list[tuple[int, float]]]:
    """The night's seconds, and (frame, estimated end as a time stamp) of each new estimate."""
    shutil.copy(ROOT / "examples" / "m42.toml", folder)
    # A camera of its own: the simulated one is one per machine, and others may be using it.
    (folder / "state").mkdir()
    env = {**os.environ, "ORLICAM_SIM_TIME_SCALE": "1000", "COLUMNS": "400", "ORLICAM_SIM_STATE_DIR": str(folder / "state")}
    began = time.time()
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(folder)
        os.execve(str(ORLICAM), [str(ORLICAM), "sequence", "m42.toml", "-o", "night"], env)
    seen: dict[int, float] = {}
    text = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        text += chunk
        for frame, h, m, s in ESTIMATE.findall(text):
            if int(frame) not in seen:
                today = datetime.fromtimestamp(time.time()).replace(hour=int(h), minute=int(m), second=int(s),
                                                                    microsecond=500_000)   # the second's middle
                seen[int(frame)] = today.timestamp()
        text = text[-4096:]
    _, status = os.waitpid(pid, 0)
    ended = time.time()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"the night failed: {text[-2000:].decode(errors='replace')}")
    return ended - began, [(frame, at - ended) for frame, at in sorted(seen.items())]


def main() -> None:
    print("sequence estimate: examples/m42.toml, the documented night on the simulator")
    print(f"{'round':>5} {'night':>8} {'first estimate':>18} {'worst estimate':>18}")
    for round_ in range(1, ROUNDS + 1):
        with tempfile.TemporaryDirectory() as folder:
            seconds, errors = night(Path(folder))
        first = errors[0][1]
        worst = max((e for _, e in errors), key=abs)
        print(f"{round_:>5} {seconds:>6.1f} s {first:>+7.1f} s {100 * first / seconds:>+6.1f}% "
              f"{worst:>+7.1f} s {100 * worst / seconds:>+6.1f}%")


if __name__ == "__main__":
    main()
