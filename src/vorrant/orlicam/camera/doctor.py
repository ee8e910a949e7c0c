"""What stands between this machine and its cameras, one finding a line,
each problem with its fix: the checks behind `orlicam doctor`.

The findings: which ASICamera2 the process loaded (the simulator installed with orlicam or
a vendor library), the cameras it sees, whether this user may open the ZWO devices on the
USB bus, the kernel's usbfs buffer limit against what those cameras need, the Python
version and the optional extras. A finding is a problem only when it stops real cameras
that are present: with the simulator and nothing plugged in, the USB findings are notes.

A sysfs value that makes no sense (a bus number that is no number, bytes that are no
text) is reported with its device and the report goes on; a check that fails outright is
a problem line of its own, never the end of the report.

The sysfs and device roots can be moved (ORLICAM_SYSFS_ROOT, ORLICAM_DEV_ROOT, or the
parameters of `diagnose`) so that the USB findings can be checked against made-up folders.
"""
from __future__ import annotations

import ctypes
import dataclasses
import grp
import importlib.metadata
import importlib.util
import json
import math
import os
import platform
import pwd
import re
import shutil
import stat
import subprocess
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal, TypeVar

__all__ = ["Finding", "UsbDevice", "diagnose", "udev_rule", "install_udev_rule", "usb_devices",
           "usbfs_need_mb", "report", "find_indi_driver", "UDEV_RULES_DIR", "UDEV_RULE_NAME", "environment_root"]

Status = Literal["ok", "note", "problem"]

ZWO_VENDOR_ID = "03c3"
UDEV_RULES_DIR = Path("/etc/udev/rules.d")
UDEV_RULE_NAME = "99-orlicam-zwo.rules"
USBFS_PARAMETER = "module/usbcore/parameters/usbfs_memory_mb"
USBFS_KERNEL_DEFAULT_MB = 16

# (what it gives, extra, importable module and its distribution)
EXTRAS: tuple[tuple[str, str, tuple[tuple[str, str], ...]], ...] = (
    ("FITS files", "fits", (("astropy", "astropy"),)),
    ("PNG previews", "png", (("PIL", "pillow"),)),
    ("Alpaca server", "alpaca", (("starlette", "starlette"), ("uvicorn", "uvicorn"),
                                 ("python_multipart", "python-multipart"))),
    ("live view", "live", (("sep", "sep"), ("simplejpeg", "simplejpeg"), ("wsproto", "wsproto"))),
)
INDI_DRIVER = "indi_orlicam_ccd"


@dataclass(frozen=True, slots=True)
class Finding:
    """One line of the report: what was checked, how it stands, and what to do about it."""

    name: str
    status: Status
    summary: str
    fix: tuple[str, ...] = ()
    details: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class UsbDevice:
    """A ZWO device on the USB bus, as sysfs shows it, and its device node."""

    sysfs_name: str
    product_id: str
    product: str
    speed_mbps: int
    node: str
    mode: int | None        # None: no device node
    owner: str
    group: str
    may_open: bool
    odd: tuple[str, ...] = ()   # sysfs values that make no sense, said as they are


# --- the loaded library ----------------------------------------------------------------

def _mapped_asicamera2() -> list[str]:
    """Real paths of every ASICamera2 mapped into this process."""
    found: list[str] = []
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                parts = line.split(None, 5)
                if len(parts) == 6 and os.path.basename(parts[5].strip()).startswith("libASICamera2"):
                    path = os.path.realpath(parts[5].strip())
                    if path not in found:
                        found.append(path)
    except OSError:
        pass
    return found


def _is_simulator(path: str) -> bool:
    try:
        return hasattr(ctypes.CDLL(path), "camsim_reset")   # the loaded instance, not a second one
    except OSError:
        return False


def _library_origin(path: str, package_dir: str) -> str:
    folder = os.path.dirname(path)
    if folder == os.path.realpath(package_dir):
        return "installed with orlicam"
    searched = [os.path.realpath(d) for d in os.environ.get("LD_LIBRARY_PATH", "").split(":") if d]
    if folder in searched:
        return "from LD_LIBRARY_PATH"
    return f"from {folder}"


def check_library() -> tuple[Finding, bool]:
    """The ASICamera2 in use and its version; also whether it is the simulator."""
    try:
        from .. import korvi
    except ImportError as error:
        cure = ("the vendor's library needs libusb: apt-get install libusb-1.0-0" if "libusb" in str(error) else
               "point LD_LIBRARY_PATH at the folder holding a working libASICamera2.so, or unset it to use "
               "the simulator installed with orlicam")
        return Finding("library", "problem", f"ASICamera2 cannot be loaded: {error}", (cure,)), False
    paths = _mapped_asicamera2()
    if not paths:
        return Finding("library", "problem", "korvi loaded, but no libASICamera2 is mapped into the process"), False
    path = paths[0]
    simulator = _is_simulator(path)
    try:
        version = korvi.get_sdk_version()
    except korvi.ASIError as error:
        version = f"unknown ({type(error).__name__})"
    kind = "the simulator" if simulator else "a vendor library"
    details = {"path": path, "simulator": simulator, "sdk_version": version,
               "origin": _library_origin(path, os.path.dirname(korvi.__file__ or ""))}
    summary = f"ASICamera2 is {kind} {details['origin']} ({path}), SDK version {version}"
    fix: tuple[str, ...] = ()
    if simulator:
        fix = ("for real cameras: LD_LIBRARY_PATH=/path/to/ASI_SDK/lib/x64 (the folder holding the "
               "vendor's libASICamera2.so) in the environment of the program",)
    if len(paths) > 1:
        return Finding("library", "problem", summary + f"; also mapped: {', '.join(paths[1:])}",
                       ("only one ASICamera2 may be loaded: check LD_LIBRARY_PATH and LD_PRELOAD",),
                       details), simulator
    return Finding("library", "ok", summary, fix, details), simulator


def check_cameras() -> tuple[Finding, list[tuple[str, int, int, int]]]:
    """How many cameras the library sees: (name, width, height, bit depth) of each."""
    try:
        from .discovery import cameras
        found = [(d.name, d.max_width, d.max_height, d.bit_depth) for d in cameras()]
    except Exception as error:   # a broken SDK is what the doctor is for: report, not crash
        return Finding("cameras", "problem", f"cameras cannot be listed: {error}"), []
    names = ", ".join(name for name, *_ in found)
    summary = f"{len(found)} camera(s) connected" + (f": {names}" if names else "")
    fix = () if found else ("plug the camera in (a USB 3 port for USB 3 cameras), then see the USB lines below",)
    return Finding("cameras", "ok" if found else "note", summary, fix,
                   {"count": len(found), "names": [n for n, *_ in found]}), found


# --- USB devices and permissions --------------------------------------------------------

def _read(path: Path) -> str:
    try:
        return path.read_bytes().decode("utf-8", errors="replace").strip()
    except OSError:
        return ""


_DECIMAL = re.compile(r"\d+(?:\.\d+)?")


def _decimal(entry: Path, name: str, odd: list[str]) -> float | None:
    """A sysfs number; None, with the value noted in `odd`, when it is none."""
    text = _read(entry / name)
    if _DECIMAL.fullmatch(text):
        return float(text)
    if text:
        odd.append(f"{name} {text[:20]!r} is not a number")
    return None


def may_open(mode: int, owner_uid: int, group_gid: int, uid: int, gids: Iterable[int]) -> bool:
    """Whether a user may read and write a device node with this mode and ownership."""
    if uid == 0:
        return True
    if uid == owner_uid:
        return mode & 0o600 == 0o600
    if group_gid in set(gids):
        return mode & 0o060 == 0o060
    return mode & 0o006 == 0o006


def _name(lookup: Any, number: int) -> str:
    try:
        return str(lookup(number)[0])
    except KeyError:
        return str(number)


def usb_devices(sysfs_root: Path, dev_root: Path, uid: int, gids: Sequence[int]) -> list[UsbDevice]:
    """ZWO devices under sysfs_root/bus/usb/devices, with their nodes under dev_root/bus/usb."""
    devices = []
    folder = sysfs_root / "bus" / "usb" / "devices"
    entries = sorted(folder.iterdir()) if folder.is_dir() else []
    for entry in entries:
        if _read(entry / "idVendor").lower() != ZWO_VENDOR_ID:
            continue
        odd: list[str] = []
        bus, number = _decimal(entry, "busnum", odd), _decimal(entry, "devnum", odd)
        speed = _decimal(entry, "speed", odd)
        node = dev_root / "bus" / "usb" / f"{int(bus or 0):03d}" / f"{int(number or 0):03d}"
        try:
            if odd and (bus is None or number is None):
                raise FileNotFoundError(node)   # no telling which node is the device's
            st = node.stat()
        except OSError:
            mode, owner, group, allowed = None, "", "", False
        else:
            mode = stat.S_IMODE(st.st_mode)
            owner, group = _name(pwd.getpwuid, st.st_uid), _name(grp.getgrgid, st.st_gid)
            allowed = may_open(mode, st.st_uid, st.st_gid, uid, gids)
            if not allowed and uid == os.geteuid():
                # A desktop session's udev "uaccess" grants the seat's user an ACL, which the
                # mode bits do not show: the kernel's own answer covers it.
                allowed = os.access(node, os.R_OK | os.W_OK)
        devices.append(UsbDevice(entry.name, _read(entry / "idProduct").lower(), _read(entry / "product"),
                                 int(speed or 0), str(node), mode, owner, group, allowed, tuple(odd)))
    return devices


PERMISSION_RULE = f'SUBSYSTEM=="usb", ATTR{{idVendor}}=="{ZWO_VENDOR_ID}", MODE="0666"'


def udev_rule(usbfs_mb: int) -> str:
    """The rules file that lets every user open ZWO cameras and raises the usbfs limit
    when one is plugged in (usbcore is built into most kernels, so a module option would not do)."""
    return (
        "# orlicam: ZWO cameras (USB vendor 03c3) may be opened by any user, and the kernel's\n"
        "# usbfs buffer limit is raised when one is plugged in.\n"
        f"{PERMISSION_RULE}\n"
        f'ACTION=="add", SUBSYSTEM=="usb", ATTR{{idVendor}}=="{ZWO_VENDOR_ID}", '
        f"RUN+=\"/bin/sh -c 'test $$(cat /sys/{USBFS_PARAMETER}) -eq 0 -o $$(cat /sys/{USBFS_PARAMETER}) -ge {usbfs_mb} "
        f"|| echo {usbfs_mb} > /sys/{USBFS_PARAMETER}'\"\n")


def _install_fix(rules_dir: Path) -> str:
    # sudo's own PATH rarely holds a virtual environment's bin folder: name the program by its path.
    return (f"sudo {shutil.which('orlicam') or 'orlicam'} doctor --install-udev   (writes {rules_dir / UDEV_RULE_NAME}; "
            "then unplug and plug in the camera)")


def check_usb(sysfs_root: Path, dev_root: Path, uid: int, gids: Sequence[int],
              rules_dir: Path) -> tuple[Finding, list[UsbDevice]]:
    devices = usb_devices(sysfs_root, dev_root, uid, gids)
    user = _name(pwd.getpwuid, uid)
    if not devices:
        return Finding("usb", "note", f"no ZWO USB device (vendor id {ZWO_VENDOR_ID}) under "
                       f"{sysfs_root / 'bus/usb/devices'}", (), {"devices": []}), devices
    listed = [dataclasses.asdict(d) for d in devices]
    # Root opens every node there is: one missing is no question of permissions.
    unknown = [d for d in devices if d.mode is None and (uid == 0 or any("num " in o for o in d.odd))]
    blocked = [d for d in devices if not d.may_open and d not in unknown]

    def where(d: UsbDevice) -> str:
        shown = "no device node" if d.mode is None else f"mode {d.mode:04o} {d.owner}:{d.group}"
        return f"{d.product or d.product_id} at {d.node} ({shown})"

    def lost(d: UsbDevice) -> str:
        name = d.product or d.product_id
        numbers = [o for o in d.odd if "num " in o]   # busnum, devnum: which node is the device's
        said = f"{name} at {d.sysfs_name}: {', '.join(numbers)}" if numbers else f"no device node for {name} at {d.node}"
        others = [o for o in d.odd if o not in numbers]
        return said + (f" ({', '.join(others)})" if others else "")

    if unknown:
        fix = ["in a container, pass the USB bus in (docker run --device /dev/bus/usb ...); elsewhere udev makes "
               "the nodes: check that it runs (systemctl status systemd-udevd), then unplug and plug in the camera"]
        problems = "; ".join(lost(d) for d in unknown)
        if blocked:
            problems += f"; user {user} cannot open " + "; ".join(where(d) for d in blocked)
            fix += [_install_fix(rules_dir), f"or as root put this line in that file: {PERMISSION_RULE}"]
        return Finding("usb", "problem", problems, tuple(fix), {"devices": listed}), devices
    if blocked:
        status: Status = "problem"
        summary = f"user {user} cannot open {len(blocked)} of {len(devices)} ZWO device(s): " + "; ".join(
            where(d) for d in blocked)
        fix = [_install_fix(rules_dir), f"or as root put this line in that file: {PERMISSION_RULE}"]
    else:
        status = "ok"
        summary = f"user {user} may open {len(devices)} ZWO device(s): " + "; ".join(where(d) for d in devices)
        fix = []
    slow = [d for d in devices if 0 < d.speed_mbps < 5000]
    if slow:
        status = "note" if status == "ok" else status
        summary += f"; {len(slow)} on a USB 2 link ({slow[0].speed_mbps} Mbit/s)"
        fix.append("a USB 3 port and cable give USB 3 cameras their full frame rate")
    odd = [f"{d.sysfs_name} {o}" for d in devices for o in d.odd]
    if odd:
        status = "note" if status == "ok" else status
        summary += "; odd sysfs values: " + "; ".join(odd)
    return Finding("usb", status, summary, tuple(fix), {"devices": listed}), devices


# --- usbfs memory -----------------------------------------------------------------------

def usbfs_need_mb(cameras: Iterable[tuple[str, int, int, int]]) -> int:
    """MB of usbfs buffers the cameras need streaming together: two full frames each at their
    deepest format (one in flight on the bus, one being handed over), at least the kernel's default."""
    total = sum(2 * width * height * (2 if depth > 8 else 1) for _, width, height, depth in cameras)
    return max(USBFS_KERNEL_DEFAULT_MB, math.ceil(total / 2**20))


def check_usbfs(sysfs_root: Path, cameras: list[tuple[str, int, int, int]], real_hardware: bool,
                rules_dir: Path) -> Finding:
    parameter = sysfs_root / USBFS_PARAMETER
    text = _read(parameter)
    need = usbfs_need_mb(cameras)
    # A round figure above the need leaves room for another program's transfers.
    advised = 64 * math.ceil((need + 16) / 64)
    details: dict[str, Any] = {"path": str(parameter), "limit_mb": None, "need_mb": need, "advised_mb": advised}
    if not text.isdigit():
        return Finding("usbfs", "problem" if real_hardware else "note",
                       f"{parameter} cannot be read: no USB support in this kernel, or a container without /sys", (),
                       details)
    limit = int(text)
    details["limit_mb"] = limit
    whose = "the connected cameras" if real_hardware else "real cameras of the models listed"
    if limit == 0 or limit >= need:
        shown = "no limit" if limit == 0 else f"{limit} MB"
        return Finding("usbfs", "ok", f"usbfs_memory_mb is {shown}; {whose} need about {need} MB", (), details)
    fix = (f"for this session: echo {advised} | sudo tee /sys/{USBFS_PARAMETER}",
           f"permanently: {_install_fix(rules_dir)}, or usbcore.usbfs_memory_mb={advised} "
           "on the kernel command line (GRUB_CMDLINE_LINUX in /etc/default/grub, then update-grub; "
           "/boot/firmware/cmdline.txt on a Raspberry Pi)")
    return Finding("usbfs", "problem" if real_hardware else "note",
                   f"usbfs_memory_mb is {limit} MB, but {whose} need about {need} MB: "
                   "frames are dropped or capture fails at full size", fix, details)


# --- Python and the extras --------------------------------------------------------------

def check_python() -> Finding:
    implementation = platform.python_implementation()
    version = platform.python_version()
    machine = platform.machine()
    summary = f"{implementation} {version} on {platform.system()} {machine}"
    details = {"implementation": implementation, "version": version, "machine": machine}
    if (implementation, sys.version_info[:2]) != ("CPython", (3, 13)):
        return Finding("python", "problem", summary + ": orlicam's extension needs CPython 3.13", (), details)
    fix = () if machine == "x86_64" else (
        "no wheel is published for this machine: orlicam builds from source (needs g++ and CMake)",)
    return Finding("python", "ok", summary, fix, details)


def _version(distribution: str) -> str | None:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def check_extras() -> list[Finding]:
    findings = []
    for what, extra, modules in EXTRAS:
        missing = [dist for module, dist in modules if importlib.util.find_spec(module) is None]
        versions = {dist: _version(dist) for _, dist in modules}
        if missing:
            findings.append(Finding(f"extra:{extra}", "note", f"{what}: not installed (missing {', '.join(missing)})",
                                    (f"pip install 'orlicam[{extra}]'",), {"installed": False, "versions": versions}))
        else:
            shown = ", ".join(f"{dist} {version}" for dist, version in versions.items())
            findings.append(Finding(f"extra:{extra}", "ok", f"{what}: {shown}", (),
                                    {"installed": True, "versions": versions}))
    findings.append(check_indi_driver())
    return findings


def find_indi_driver() -> tuple[str | None, list[str]]:
    """The INDI driver on PATH, else beside the running Python or `orlicam` script: pip
    installs it into the environment's bin folder, which is often not on PATH (a virtual
    environment used without activating it). Returns the driver (or None) and the folders
    looked in besides PATH."""
    found = shutil.which(INDI_DRIVER)
    beside = [str(Path(sys.executable).absolute().parent)]
    if sys.argv and sys.argv[0]:
        beside.append(str(Path(sys.argv[0]).absolute().parent))
    beside = list(dict.fromkeys(beside))
    if found:
        return found, beside
    for folder in beside:
        candidate = Path(folder) / INDI_DRIVER
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate), beside
    return None, beside


def check_indi_driver() -> Finding:
    driver, beside = find_indi_driver()
    if driver is None:
        return Finding("indi", "note", f"INDI driver: {INDI_DRIVER} is neither on PATH nor in {', '.join(beside)}", (
            "it is not in the wheel: build orlicam from source with the INDI libraries installed "
            "(apt-get install libindi-dev; see the documentation's INDI driver page)",), {"path": None})
    if shutil.which(INDI_DRIVER) == driver:
        return Finding("indi", "ok", f"INDI driver: {driver}", (), {"path": driver, "on_path": True})
    folder = str(Path(driver).parent)
    return Finding("indi", "ok", f"INDI driver: {driver} (not on PATH)", (
        f'indiserver finds it with PATH="{folder}:$PATH" indiserver {INDI_DRIVER}',), {"path": driver, "on_path": False})


# --- the report -------------------------------------------------------------------------

def environment_root(variable: str, default: str) -> Path:
    return Path(os.environ.get(variable) or default)


def _user() -> tuple[int, list[int]]:
    """Whose access to judge: under sudo, the user who ran it, since root opens any device."""
    uid = os.geteuid()
    invoker = os.environ.get("SUDO_UID", "")
    if uid != 0 or not invoker.isdigit():
        return uid, os.getgroups() + [os.getegid()]
    try:
        entry = pwd.getpwuid(int(invoker))
    except KeyError:
        return int(invoker), [int(os.environ.get("SUDO_GID", invoker))]
    return entry.pw_uid, os.getgrouplist(entry.pw_name, entry.pw_gid)


def diagnose(sysfs_root: Path | None = None, dev_root: Path | None = None, uid: int | None = None,
             gids: Sequence[int] | None = None, rules_dir: Path | None = None) -> list[Finding]:
    """Every finding, in the order of the report."""
    sysfs_root = sysfs_root or environment_root("ORLICAM_SYSFS_ROOT", "/sys")
    dev_root = dev_root or environment_root("ORLICAM_DEV_ROOT", "/dev")
    rules_dir = rules_dir or environment_root("ORLICAM_UDEV_RULES_DIR", str(UDEV_RULES_DIR))
    if uid is None:
        uid, gids = _user()
    gids = [] if gids is None else gids
    library, simulator = _guarded("library", check_library, False)
    cameras, described = _guarded("cameras", check_cameras, list[tuple[str, int, int, int]]())
    usb, devices = _guarded("usb", lambda: check_usb(sysfs_root, dev_root, uid, gids, rules_dir), list[UsbDevice]())
    # USB findings hold cameras back only when ZWO hardware is present or the vendor library is in use.
    real = bool(devices) or (library.status != "problem" and not simulator)
    usbfs, _ = _guarded("usbfs", lambda: (check_usbfs(sysfs_root, described, real, rules_dir), None), None)
    python, _ = _guarded("python", lambda: (check_python(), None), None)
    return [library, cameras, usb, usbfs, python, *check_extras()]


T = TypeVar("T")


def _guarded(name: str, check: Callable[[], tuple[Finding, T]], fallback: T) -> tuple[Finding, T]:
    """The check's finding; a check that fails outright is a problem line, and the report goes on."""
    try:
        return check()
    except Exception as error:   # what the doctor meets is odd machines: say so, and look at the rest
        return Finding(name, "problem", f"the {name} check failed: {type(error).__name__}: {error}"), fallback


def install_udev_rule(rules_dir: Path, usbfs_mb: int) -> tuple[Path, list[str]]:
    """Writes the rule; in the system's folder, also has udev reload it and apply it to the
    cameras plugged in. Returns the file and the commands run."""
    path = rules_dir / UDEV_RULE_NAME
    path.write_text(udev_rule(usbfs_mb))
    ran = []
    udevadm = shutil.which("udevadm")
    if udevadm and rules_dir == UDEV_RULES_DIR:
        for argv in ([udevadm, "control", "--reload-rules"],
                     [udevadm, "trigger", "--subsystem-match=usb", f"--attr-match=idVendor={ZWO_VENDOR_ID}"]):
            subprocess.run(argv, check=False)
            ran.append(" ".join(argv))
    return path, ran


MARKS = {"ok": "ok", "note": "note", "problem": "PROBLEM"}


def report(findings: Sequence[Finding]) -> str:
    lines = []
    for f in findings:
        lines.append(f"{MARKS[f.status]:<8} {f.summary}")
        # Advice under a finding that is no problem is a hint, not something to fix.
        label = "fix" if f.status == "problem" else "hint"
        lines.extend(f"{'':<8}   {label}: {step}" for step in f.fix)
    problems = sum(f.status == "problem" for f in findings)
    lines.append(f"{problems} problem(s)" if problems else "no problems found")
    return "\n".join(lines)
