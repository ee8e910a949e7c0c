"""Files held by the program writing them: a lock that the system releases when the
program ends, however it ends, so a lock left by a killed program never blocks anyone."""
from __future__ import annotations

import fcntl
import os
from pathlib import Path

__all__ = ["hold", "holder"]


def hold(fd: int) -> bool:
    """Takes the open file's lock; False when another open file (this process or another) has it."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def holder(fd: int) -> str:
    """Who holds the lock of the open file: "orlicam (pid 4242)" as far as the system says,
    else "another program"."""
    info = os.fstat(fd)
    wanted = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"
    try:
        lines = Path("/proc/locks").read_text().splitlines()
    except OSError:
        return "another program"
    for line in lines:
        fields = line.split()
        # "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"; a waiter's line has "->" after the number
        fields = [f for f in fields if f != "->"]
        if len(fields) >= 6 and fields[1] == "FLOCK" and fields[5] == wanted and fields[4].isdigit():
            pid = fields[4]
            try:
                name = Path(f"/proc/{pid}/comm").read_text().strip()
            except OSError:
                name = "a program"
            return f"{name} (pid {pid})"
    return "another program"
