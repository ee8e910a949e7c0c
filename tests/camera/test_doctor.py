"""`orlicam doctor` on the simulator, with the USB bus and sysfs faked in temporary folders."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.camera import doctor

ORLICAM = Path(sys.executable).with_name("orlicam")
# The two default simulated cameras: two full 16-bit frames each, 1936x1096 and 4144x2822.
NEED_MB = 53
ADVISED_MB = 128


def fake_machine(root: Path, mode: int | None = 0o664, usbfs: str | None = "16", speed: str = "5000"):
    """A sysfs with a hub and a ZWO camera on bus 2, device 3, and its device node."""
    sys_root, dev_root = root / "sys", root / "dev"
    for name, fields in {"usb2": {"idVendor": "1d6b", "busnum": "2", "devnum": "1"},
                         "2-1": {"idVendor": "03c3", "idProduct": "294a", "product": "ASI294MM Pro",
                                 "busnum": "2", "devnum": "3", "speed": speed}}.items():
        folder = sys_root / "bus/usb/devices" / name
        folder.mkdir(parents=True)
        for key, value in fields.items():
            (folder / key).write_text(value + "\n")
    if usbfs is not None:
        parameter = sys_root / doctor.USBFS_PARAMETER
        parameter.parent.mkdir(parents=True)
        parameter.write_text(usbfs + "\n")
    if mode is not None:
        node = dev_root / "bus/usb/002/003"
        node.parent.mkdir(parents=True)
        node.touch()
        node.chmod(mode)
    return sys_root, dev_root


def by_name(findings):
    return {f.name: f for f in findings}


def test_doctor_names_the_simulator_its_version_and_cameras(tmp_path):
    simulator.set_sdk_version(b"1.37")
    found = by_name(doctor.diagnose(tmp_path, tmp_path, uid=1000, gids=[1000]))
    library = found["library"]
    assert library.status == "ok"
    assert library.details == {"path": str(Path(korvi.__file__).parent / "libASICamera2.so"), "simulator": True,
                               "sdk_version": "1.37", "origin": "installed with orlicam"}
    assert found["cameras"].summary == ("2 camera(s) connected: ZWO ASI462MC Simulator, "
                                        "ZWO ASI294MM Pro GPS Simulator")
    # Nothing plugged in and no USB in this kernel: notes, not problems.
    assert (found["usb"].status, found["usbfs"].status) == ("note", "note")
    assert not any(f.status == "problem" for f in found.values())


def test_doctor_names_permission_and_buffer_problems_with_their_fixes(tmp_path):
    sys_root, dev_root = fake_machine(tmp_path)
    found = by_name(doctor.diagnose(sys_root, dev_root, uid=1000, gids=[1000], rules_dir=tmp_path))
    usb, usbfs = found["usb"], found["usbfs"]
    assert usb.status == usbfs.status == "problem"
    assert usb.summary == (f"user {doctor._name(doctor.pwd.getpwuid, 1000)} cannot open 1 of 1 ZWO device(s): "
                           f"ASI294MM Pro at {dev_root}/bus/usb/002/003 (mode 0664 root:root)")
    assert usb.fix[0].startswith(f"sudo {shutil.which('orlicam') or 'orlicam'} doctor --install-udev")
    assert usbfs.summary.startswith(f"usbfs_memory_mb is 16 MB, but the connected cameras need about {NEED_MB} MB")
    assert usbfs.fix[0] == f"for this session: echo {ADVISED_MB} | sudo tee /sys/module/usbcore/parameters/usbfs_memory_mb"
    assert f"usbcore.usbfs_memory_mb={ADVISED_MB}" in usbfs.fix[1]


@pytest.mark.parametrize("mode, speed, status, summary_end, last_fix", [
    (0o666, "5000", "ok", "(mode 0666 root:root)", None),
    (0o666, "480", "note", "(mode 0666 root:root); 1 on a USB 2 link (480 Mbit/s)",
     "a USB 3 port and cable give USB 3 cameras their full frame rate"),
    (None, "5000", "problem", "(no device node)",
     'or as root put this line in that file: SUBSYSTEM=="usb", ATTR{idVendor}=="03c3", MODE="0666"'),
])
def test_usb_finding_per_device_state(tmp_path, mode, speed, status, summary_end, last_fix):
    sys_root, dev_root = fake_machine(tmp_path, mode=mode, speed=speed)
    usb = by_name(doctor.diagnose(sys_root, dev_root, uid=1000, gids=[1000]))["usb"]
    assert (usb.status, usb.summary.endswith(summary_end)) == (status, True), usb.summary
    assert (usb.fix[-1] if usb.fix else None) == last_fix


@pytest.mark.parametrize("mode, uid, gids, allowed", [
    (0o664, 1000, [1000], False),
    (0o666, 1000, [1000], True),
    (0o660, 1000, [0], True),        # in the node's group
    (0o606, 0, [], True),          # root opens anything
    (0o066, 1000, [], True),
    (0o600, 1000, [0], False),
])
def test_device_access_follows_mode_owner_and_group(mode, uid, gids, allowed):
    assert doctor.may_open(mode, 0, 0, uid, gids) is allowed


@pytest.mark.parametrize("limit, status", [("16", "problem"), (str(NEED_MB - 1), "problem"),
                                           (str(NEED_MB), "ok"), ("0", "ok"), ("1024", "ok")])
def test_usbfs_limit_against_the_cameras_need(tmp_path, limit, status):
    sys_root, dev_root = fake_machine(tmp_path, mode=0o666, usbfs=limit)
    found = by_name(doctor.diagnose(sys_root, dev_root, uid=1000, gids=[1000]))
    assert (found["usb"].status, found["usbfs"].status) == ("ok", status)
    assert found["usbfs"].details["need_mb"] == NEED_MB


@pytest.mark.parametrize("before, after", [("16", str(ADVISED_MB)), ("0", "0"), ("512", "512")])
def test_udev_rule_raises_the_usbfs_limit_only_when_lower(tmp_path, before, after):
    parameter = tmp_path / "usbfs_memory_mb"
    parameter.write_text(before + "\n")
    (permission, run) = doctor.udev_rule(ADVISED_MB).splitlines()[2:]
    assert permission == 'SUBSYSTEM=="usb", ATTR{idVendor}=="03c3", MODE="0666"'
    # The shell line as udev hands it over ($$ is udev's escape for $), on the fake parameter.
    script = run.split("RUN+=\"/bin/sh -c '")[1].rstrip("'\"").replace("$$", "$")
    subprocess.run(["sh", "-c", script.replace("/sys/module/usbcore/parameters/usbfs_memory_mb", str(parameter))],
                   check=True)
    assert parameter.read_text().strip() == after


@pytest.mark.parametrize("field, value, uid, status, said", [
    ("busnum", "two", 65534, "problem", "ASI294MM Pro at 2-1: busnum 'two' is not a number"),
    ("speed", "fast", 65534, "problem", "2-1 speed 'fast' is not a number"),
    ("product", b"ASI\xff\xfe", 65534, "problem", "user nobody cannot open"),
    ("idProduct", b"\xff", 65534, "problem", "user nobody cannot open"),
    ("node", None, 0, "problem", "no device node for ASI294MM Pro at "),
])
def test_odd_sysfs_values_are_reported_and_the_report_goes_on(tmp_path, field, value, uid, status, said):
    sys_root, dev_root = fake_machine(tmp_path, mode=0o664 if field != "node" else None)
    if field != "node":
        path = sys_root / "bus/usb/devices/2-1" / field
        path.write_bytes(value if isinstance(value, bytes) else value.encode())
    found = doctor.diagnose(sys_root, dev_root, uid=uid, gids=[65534])
    usb = by_name(found)["usb"]
    assert [f.name for f in found][:5] == ["library", "cameras", "usb", "usbfs", "python"]
    assert (usb.status, said in usb.summary) == (status, True), usb.summary
    if uid == 0:
        assert "cannot open" not in usb.summary and not any("install-udev" in fix for fix in usb.fix), usb


def run_doctor(tmp_path, *args, **roots):
    """The command as the user nobody would run it under sudo: whose access to devices is judged."""
    env = {**os.environ, "SUDO_UID": "65534", "ORLICAM_SYSFS_ROOT": str(roots.get("sys", tmp_path)),
           "ORLICAM_DEV_ROOT": str(roots.get("dev", tmp_path)), "ORLICAM_UDEV_RULES_DIR": str(tmp_path)}
    return subprocess.run([str(ORLICAM), "doctor", *args], env=env, capture_output=True, text=True, timeout=60)


def test_doctor_command_json_and_exit_status(tmp_path):
    healthy = run_doctor(tmp_path, "--json")
    assert healthy.returncode == 0, healthy.stderr
    assert json.loads(healthy.stdout)["problems"] == 0
    sys_root, dev_root = fake_machine(tmp_path)
    sick = run_doctor(tmp_path, "--json", sys=sys_root, dev=dev_root)
    assert sick.returncode == 1
    report = json.loads(sick.stdout)
    assert [f["name"] for f in report["findings"] if f["status"] == "problem"] == ["usb", "usbfs"]
    assert report["problems"] == 2


@pytest.mark.skipif(os.geteuid() != 0, reason="--install-udev needs root")
def test_install_udev_writes_the_rule_with_the_advised_limit(tmp_path):
    sys_root, dev_root = fake_machine(tmp_path / "machine")
    run = run_doctor(tmp_path, "--install-udev", sys=sys_root, dev=dev_root)
    assert run.stdout.startswith(f"wrote {tmp_path / doctor.UDEV_RULE_NAME}\n")
    assert (tmp_path / doctor.UDEV_RULE_NAME).read_text() == doctor.udev_rule(ADVISED_MB)


def test_doctor_module_reports_a_library_that_cannot_load(tmp_path):
    (tmp_path / "libASICamera2.so").write_bytes(b"not a library")
    env = {**os.environ, "LD_LIBRARY_PATH": str(tmp_path), "ORLICAM_SYSFS_ROOT": str(tmp_path)}
    run = subprocess.run([sys.executable, "-m", "vorrant.orlicam.cli.doctor"], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 1
    lines = run.stdout.splitlines()
    assert lines[0].startswith(f"PROBLEM  ASICamera2 cannot be loaded: {tmp_path}/libASICamera2.so: ")
    assert lines[1] == ("           fix: point LD_LIBRARY_PATH at the folder holding a working libASICamera2.so, "
                        "or unset it to use the simulator installed with orlicam")


@pytest.mark.parametrize("where, line, advice", [
    ("path", "ok       INDI driver: {path}/indi_orlicam_ccd", None),
    ("venv", "ok       INDI driver: {venv}/indi_orlicam_ccd (not on PATH)",
     '           hint: indiserver finds it with PATH="{venv}:$PATH" indiserver indi_orlicam_ccd'),
    (None, "note     INDI driver: indi_orlicam_ccd is neither on PATH nor in {venv}",
     "           hint: it is not in the wheel: build orlicam from source with the INDI libraries installed "
     "(apt-get install libindi-dev; see the documentation's INDI driver page)"),
])
def test_doctor_finds_the_indi_driver_on_path_or_beside_the_running_orlicam(tmp_path, monkeypatch, where, line, advice):
    folders = {"path": tmp_path / "path", "venv": tmp_path / "venv" / "bin"}   # a venv that is not on PATH
    for name, folder in folders.items():
        folder.mkdir(parents=True)
        if name == where:
            (folder / "indi_orlicam_ccd").touch(mode=0o755)
    monkeypatch.setenv("PATH", str(folders["path"]))
    monkeypatch.setattr(sys, "executable", str(folders["venv"] / "python"))
    monkeypatch.setattr(sys, "argv", [str(folders["venv"] / "orlicam"), "doctor"])
    lines = doctor.report([doctor.check_indi_driver()]).splitlines()
    assert lines == [line.format(**folders), *([] if advice is None else [advice.format(**folders)]), "no problems found"]
