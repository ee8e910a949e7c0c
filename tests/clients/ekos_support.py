"""KStars/Ekos 3.6 run headless and driven through its D-Bus interfaces, for the Ekos tests.

KStars runs under Xvfb with a session bus of its own (dbus-run-session) and HOME/XDG folders in
a scratch folder, in a PID namespace of its own: Ekos's local mode kills every indiserver it can
see. indiserver listens on every interface: the tests run only in a private network namespace
(make test sets one up)."""
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import time
from contextlib import closing
from pathlib import Path
from xml.sax.saxutils import escape

# The driver as its Debian package installs it (make deb-amd64, installed by make test-ekos):
# KStars finds it in INDI's own driver list, as a user's would.
DRIVER = Path("/usr/bin/indi_orlicam_ccd")
DRIVER_XML = Path("/usr/share/indi/indi_orlicam.xml")
LABEL = "Orlicam (ASI cameras)"                          # the driver list's label, which profiles name
MAIN, GUIDER = "Orlicam ZWO ASI294MM Pro GPS Simulator", "Orlicam ZWO ASI462MC Simulator"
# Ekos makes the optical train from the devices in the order they come: the cooled mono camera
# first images, the colour one guides.
SIMULATOR = {"ORLICAM_SIM_TIME_SCALE": "1000", "ORLICAM_SIM_CAMERAS": "asi294mm_pro_gps,asi462mc"}
SERVICE = "org.kde.kstars"
EKOS = "/KStars/Ekos"


def private_network() -> bool:
    return [name for _, name in socket.if_nameindex()] == ["lo"]


def have_kstars() -> bool:
    return all(shutil.which(tool) for tool in ("kstars", "Xvfb", "dbus-run-session", "qdbus", "indiserver")) \
        and DRIVER.exists() and DRIVER_XML.exists()


def wait_until(predicate, timeout: float, what, step: float = 0.25):
    """Polls until `predicate()` gives something true and returns it; fails after `timeout` s,
    saying `what` (or what `what()` says then)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        assert time.monotonic() < deadline, \
            f"timed out after {timeout} s waiting for {what() if callable(what) else what}"
        time.sleep(step)


def driver_processes(ancestor: int) -> list[int]:
    """Ids of the live indi_orlicam_ccd processes descended from process `ancestor`."""
    parent, names = {}, {}
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit():
                stat = (entry / "stat").read_text()
                name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
                if rest[0] != "Z":
                    parent[int(entry.name)], names[int(entry.name)] = int(rest[1]), name
        except (OSError, ValueError):
            pass

    def descends(pid: int) -> bool:
        while pid > 1:
            pid = parent.get(pid, 0)
            if pid == ancestor:
                return True
        return False
    return [pid for pid, name in names.items() if name == DRIVER.name[:15] and descends(pid)]   # comm: 15 bytes


class KStars:
    """One KStars process with its own display, session bus and scratch home."""

    def __init__(self, home: Path, **env: str):
        self.home = home
        self.env = {
            **os.environ, "HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config"),
            "XDG_DATA_HOME": str(home / ".local/share"), "XDG_CACHE_HOME": str(home / ".cache"),
            "XDG_RUNTIME_DIR": str(home / "run"), "TMPDIR": str(home / "tmp"),
            # Ekos's local mode starts indiserver, which finds the driver on the PATH.
            "PATH": f"{DRIVER.parent}:{os.environ.get('PATH', '/usr/bin:/bin')}",
            **SIMULATOR, **env}
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        for folder in ("run", "tmp", ".config"):
            (home / folder).mkdir(mode=0o700, exist_ok=True)
        self.log = open(home / "kstars.log", "ab")
        # Xvfb picks a free display and says which; its socket file is in the shared /tmp.
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0",
                                      "1280x1024x24"], pass_fds=(write,), stdout=self.log, stderr=self.log)
        os.close(write)
        with os.fdopen(read) as pipe:
            display = pipe.readline().strip()
        assert display.isdigit(), "Xvfb did not start"
        self.env["DISPLAY"] = f":{display}"
        bus_file = home / "run" / "bus"
        bus_file.unlink(missing_ok=True)
        self.process = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--mount-proc", "dbus-run-session", "--",
             "sh", "-c", f'printf %s "$DBUS_SESSION_BUS_ADDRESS" > {bus_file}; exec kstars'],
            env=self.env, stdout=self.log, stderr=self.log, start_new_session=True)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = wait_until(lambda: bus_file.exists() and bus_file.read_text(), 20,
                                                          "the session bus")
        wait_until(lambda: self.call("/KStars", "org.kde.kstars.location", check=False), 90, "KStars on D-Bus", 0.5)

    def call(self, path: str, method: str, *args: object, check: bool = True, timeout: float = 30):
        """One qdbus call; its printed answer (None for a failed call when not `check`)."""
        run = subprocess.run(["qdbus", SERVICE, path, method, *map(str, args)], env=self.env, capture_output=True,
                             text=True, timeout=timeout)
        if check:
            assert run.returncode == 0, f"{path} {method}{args}: {run.stdout.strip()} {run.stderr.strip()}"
        return run.stdout.strip() if run.returncode == 0 else None

    def prop(self, path: str, name: str) -> str:
        interface = "org.kde.kstars." + path.removeprefix("/KStars/").replace("/", ".")
        return self.call(path, "org.freedesktop.DBus.Properties.Get", interface, name)

    def set_prop(self, path: str, name: str, value: object) -> None:
        interface = "org.kde.kstars." + path.removeprefix("/KStars/").replace("/", ".")
        self.call(path, "org.freedesktop.DBus.Properties.Set", interface, name, value)

    def start_ekos(self, profile: str) -> None:
        """Opens Ekos, starts `profile` and waits until INDI is connected."""
        # The main window's actions reach D-Bus a little after KStars's own interface.
        wait_until(lambda: self.call("/kstars/MainWindow_1/actions/ekos", "trigger", check=False) is not None, 30,
                   "the Ekos action", 0.5)
        wait_until(lambda: self.call(EKOS, "getProfiles", check=False), 30, "Ekos on D-Bus", 0.5)
        assert self.call(EKOS, "setProfile", profile) == "true", self.call(EKOS, "getProfiles")
        self.call(EKOS, "start")
        wait_until(lambda: self.prop(EKOS, "indiStatus") == "2", 60, lambda: f"Ekos connected: {self.ekos_log()}")

    def ekos_log(self) -> str:
        return self.prop(EKOS, "logText")

    def devices(self) -> set[str]:
        return set(self.call("/KStars/INDI", "getDevices").splitlines())

    def indi(self, method: str, device: str, *names: str) -> str:
        return self.call("/KStars/INDI", method, device, *names)

    def stop(self) -> None:
        # The namespace ends with its first process: the bus, KStars and any indiserver KStars started.
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=15)
        self.xvfb.terminate()
        try:
            self.xvfb.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()
            self.xvfb.wait(timeout=10)
        self.log.close()


def first_start(home: Path) -> None:
    """KStars run once makes its user database; KStars is stopped again."""
    kstars, db = KStars(home), home / ".local/share/kstars/userdb.sqlite"

    def made() -> bool:
        if not db.exists():
            return False
        with closing(sqlite3.connect(db)) as connection:
            return connection.execute("SELECT count(*) FROM sqlite_master WHERE name IN ('profile', 'driver')"
                                      ).fetchone()[0] == 2
    try:
        wait_until(made, 60, "KStars's user database")
    finally:
        kstars.stop()


def configure(home: Path) -> None:
    """No start-up wizard; INDI's driver list is the system's, where the package put ours."""
    (home / ".config").mkdir(exist_ok=True)
    (home / ".config" / "kstarsrc").write_text(f"[GUI]\nRunStartupWizard=false\n\n[indi]\nindiDriversDir={DRIVER_XML.parent}\n")


def add_profile(home: Path, name: str, host: str | None = None, port: int | None = None) -> None:
    """An Ekos profile with our driver as camera and guide camera."""
    db = sqlite3.connect(home / ".local/share/kstars/userdb.sqlite")
    with db:
        profile = db.execute("INSERT INTO profile (name, host, port, autoconnect, portselector) VALUES (?, ?, ?, 1, 0)",
                             (name, host, port)).lastrowid
        db.executemany("INSERT INTO driver (label, role, profile) VALUES (?, ?, ?)",
                       [(LABEL, "CCD", profile), (LABEL, "Guider", profile)])
    db.close()


def sequence(jobs: list[dict[str, object]]) -> str:
    """An Ekos sequence queue (.esq) of light frames; each job: exposure, bin, frame (x, y, w, h),
    folder, and optionally temperature (a set point the job waits for) and count (1)."""
    parts = ["<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "<SequenceQueue version='2.6'>",
             f"<CCD>{escape(MAIN)}</CCD>", "<GuideDeviation enabled='false'>2</GuideDeviation>",
             "<RefocusOnTemperatureDelta enabled='false'>1</RefocusOnTemperatureDelta>",
             "<RefocusEveryN enabled='false'>60</RefocusEveryN>"]
    for job in jobs:
        x, y, w, h = job["frame"]              # type: ignore[misc]
        temperature = job.get("temperature")
        parts.append(
            f"<Job><Exposure>{job['exposure']}</Exposure><Format>RAW16</Format><Encoding>FITS</Encoding>"
            f"<Binning><X>{job['bin']}</X><Y>{job['bin']}</Y></Binning>"
            f"<Frame><X>{x}</X><Y>{y}</Y><W>{w}</W><H>{h}</H></Frame>"
            f"<Temperature force='{'true' if temperature is not None else 'false'}'>{temperature or 0}</Temperature>"
            f"<Filter>--</Filter><Type>Light</Type><Count>{job.get('count', 1)}</Count><Delay>0</Delay>"
            f"<FITSDirectory>{escape(str(job['folder']))}</FITSDirectory><PlaceholderFormat>/%T</PlaceholderFormat>"
            "<PlaceholderSuffix>3</PlaceholderSuffix><UploadMode>0</UploadMode></Job>")
    parts.append("</SequenceQueue>")
    return "\n".join(parts) + "\n"


class IndiServer:
    """indiserver with our driver, as on a remote camera host."""

    def __init__(self, folder: Path, port: int, *drivers: str, **env: str):
        self.port = port
        self.log_path = folder / f"indiserver-{port}.log"
        self._log = open(self.log_path, "wb")
        environment = {**os.environ, "HOME": str(folder), **SIMULATOR, **env}
        self.process = subprocess.Popen(["indiserver", "-r", "0", "-p", str(port), *(drivers or [str(DRIVER)])],
                                        env=environment, stdout=self._log, stderr=subprocess.STDOUT)

        def listening() -> bool:
            assert self.process.poll() is None, self.log_path.read_text(errors="replace")
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_until(listening, 20, f"indiserver on port {port}", 0.1)

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self._log.close()
