"""The one test bed for the built agent: private session and system buses with a fake logind, a
HOME of its own, the local HTTPS stamp service, and the agent as a child process, observed as a
user or an administrator would: what the service received, the log, the console, the store."""

import json
import os
import signal
import sqlite3
import subprocess
import time
import urllib.request
from pathlib import Path

import dbus
import dbus.lowlevel
import pytest

SOURCE = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TALVERIN_BUILD_DIR", SOURCE / "build"))
FAKES = SOURCE / "tests/support/fakes"
# QtDBus never frees the meta-object it builds from introspection data (the tray's watcher), and
# Qt has no frame pointers to tell that stack from others: the sanitizer build is told to let it be.
LSAN_SUPPRESSIONS = Path(os.environ.get("TMPDIR", "/tmp")) / "talverin-lsan.supp"
LSAN_SUPPRESSIONS.write_text("leak:libQt6DBus.so\n")
PYTHON = "/usr/bin/python3"  # Debian's, which has dbus and gi
ARRIVAL, LEAVING = "/api/osx/v1/stamp/arrival", "/api/osx/v1/stamp/leaving"
LABEL = {ARRIVAL: "開始時の打刻", LEAVING: "終了時の打刻"}
SERIAL = "C02TESTSERIAL"
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # the service is local
XFCONFD = [*Path("/usr/lib").glob("*/xfce4/xfconf/xfconfd")]
# The status tray alone, in settings of the current version: no default panels, no migration.
PANEL = """<channel name="xfce4-panel" version="1.0">
<property name="configver" type="int" value="2"/><property name="panels" type="array">
<value type="int" value="1"/><property name="panel-1" type="empty"><property name="plugin-ids"
type="array"><value type="int" value="1"/></property></property></property><property
name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>"""


def wait_until(predicate, timeout=30.0, what="the condition"):
    """Polls until predicate gives something true, and returns it."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)
    return value


class Child:
    """A process of the test's, with its standard output and error in files."""

    def __init__(self, argv, env, folder, name):
        self.out, self.err = folder / f"{name}.out", folder / f"{name}.err"
        with open(self.out, "ab") as out, open(self.err, "ab") as err:
            self.process = subprocess.Popen([str(a) for a in argv], env=env, stdout=out,
                                            stderr=err, stdin=subprocess.DEVNULL)

    def stdout(self):
        return self.out.read_text(errors="replace")

    def stderr(self):
        return self.err.read_text(errors="replace")

    def lines(self):
        return self.stdout().splitlines()

    def wait_line(self, text, count=1, timeout=30.0):
        return wait_until(lambda: sum(text in line for line in self.lines()) >= count, timeout,
                          f"{count} console line(s) with {text!r}")

    def fresh_keys(self):
        """The keys of the records the agent made, in order (a resend makes none)."""
        return [line[10:] for line in self.lines() if line.startswith("setUnset: ")]

    def running(self):
        return self.process.poll() is None

    def signal(self, number):
        if self.running():
            self.process.send_signal(number)

    def wait(self, timeout=30.0):
        return self.process.wait(timeout)

    def stop(self):
        self.signal(signal.SIGTERM)
        try:
            return self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Bus(Child):
    """A private dbus-daemon standing in for the session or the system bus."""

    def __init__(self, bed, name):
        super().__init__(["dbus-daemon", "--nofork", "--print-address=1",
                          f"--config-file={FAKES / 'private-bus.conf'}"], None, bed.folder, name)
        bed.children.append(self)
        self.address = wait_until(lambda: self.stdout().endswith("\n") and self.stdout().strip(),
                                  what="the bus")
        self.connection = dbus.bus.BusConnection(self.address)

    def call(self, name, path, interface, method, *args, signature=None):
        return self.connection.call_blocking(name, path, interface, method, signature, args)


class StampService:
    """The local HTTPS stamp service; its control port sets reactions and reads requests."""

    def __init__(self, bed, port=0):
        self.child = Child([BUILD / "tools/talverin-stamp-service", "--cert",
                            bed.certs / "server.pem", "--key", bed.certs / "server-key.pem",
                            "--port", port], None, bed.folder, f"service{len(bed.children)}")
        bed.children.append(self.child)
        ports = dict(line.split(" ") for line in wait_until(
            lambda: "control " in self.child.stdout() and self.child.stdout(),
            what="the stamp service").splitlines())
        self.port = int(ports["listening"].rsplit(":", 1)[1])
        self.control = "http://" + ports["control"]

    def post(self, path, command=None):
        data = json.dumps(command or {}).encode()
        with DIRECT.open(self.control + path, data, timeout=10) as answer:
            assert json.load(answer)["result"] == "ok"

    def react(self, path, **reaction):
        self.post("/behaviour", dict(reaction, path=path))

    def requests(self, path=None):
        with DIRECT.open(self.control + "/requests", timeout=10) as answer:
            found = [json.loads(line) for line in answer.read().decode().splitlines()]
        return [dict(r, tim=r["query"].removeprefix("tim=")) for r in found
                if path in (None, r["path"])]

    def wait_requests(self, path, count=1, timeout=30.0):
        return wait_until(lambda: len(r := self.requests(path)) >= count and r, timeout,
                          f"{count} request(s) to {path}")

    def accepted(self, path=None):
        return [r for r in self.requests(path) if r["action"] == "answer 200"]

    def delivered(self, key):
        """Whether the stamp of a record's key was accepted with the time the key names."""
        label, tim = key.split("_", 1)
        return tim in [r["tim"] for r in self.accepted(ARRIVAL if label == LABEL[ARRIVAL]
                                                           else LEAVING)]


class Bed:
    SCREENSAVERS = ["org.gnome.ScreenSaver", "org.freedesktop.ScreenSaver", "org.xfce.ScreenSaver"]

    def __init__(self, folder, certs, logind_options=()):
        self.folder, self.certs, self.children = folder, certs, []
        self.home, self.runtime = folder / "home", folder / "runtime"
        self.store = self.home / ".local/share/com.talverin.Timestamp/defaults.sqlite3"
        self.home.mkdir()
        self.runtime.mkdir(mode=0o700)
        (folder / "serial").write_text(SERIAL + "\n")
        self.system_bus, self.session_bus = Bus(self, "system-bus"), Bus(self, "session-bus")
        self.start_owner(self.system_bus, "org.freedesktop.login1",
                         [PYTHON, FAKES / "fake_system.py", *logind_options], "fake_system")
        # The test itself owns the screensavers' names, and so may speak for them.
        for name in self.SCREENSAVERS:
            self.session_bus.connection.request_name(name)
        self.service = StampService(self)

    def start_owner(self, bus, name, argv, log, **env):
        """A child of the bed's, once it owns its name on the bus."""
        env = self.environment(DBUS_SESSION_BUS_ADDRESS=bus.address, **env)
        self.children.append(Child(argv, env, self.folder, log))
        wait_until(lambda: bus.connection.name_has_owner(name), what=name)

    def environment(self, **overrides):
        # Nothing of the host's desktop session or proxies: a test sets what it needs.
        env = {k: v for k, v in os.environ.items() if k not in (
            "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_ID", "TALVERIN_CA_FILE", "SESSION_MANAGER",
            "DESKTOP_AUTOSTART_ID") and not k.lower().endswith("_proxy")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home / ".config",
                   XDG_DATA_HOME=self.home / ".local/share", TZ="Asia/Tokyo",
                   QT_QPA_PLATFORM="offscreen", TALVERIN_SERIAL_FILE=self.folder / "serial",
                   TALVERIN_CA_FILE=self.certs / "ca.pem", XDG_RUNTIME_DIR=self.runtime,
                   LSAN_OPTIONS=f"print_suppressions=0:suppressions={LSAN_SUPPRESSIONS}",
                   DBUS_SESSION_BUS_ADDRESS=self.session_bus.address,
                   DBUS_SYSTEM_BUS_ADDRESS=self.system_bus.address,
                   TALVERIN_SERVICE_ORIGIN=f"https://127.0.0.1:{self.service.port}"
                   if hasattr(self, "service") else None)
        env.update(overrides)
        return {k: str(v) for k, v in env.items() if v is not None}

    def start_agent(self, *arguments, prefix=(), **env):
        """The agent with its arguments, run by a prefix command if any (e.g. with-mounts.sh)."""
        agent = Child([*prefix, BUILD / "talverin-timestamp", *arguments], self.environment(**env),
                      self.folder, f"agent{len(self.children)}")
        self.children.append(agent)
        return agent

    def started_agent(self, **env):
        """An agent whose start-up arrival the service has accepted."""
        count = len(self.service.accepted(ARRIVAL))
        agent = self.start_agent(**env)
        wait_until(lambda: len(self.service.accepted(ARRIVAL)) > count, what="accepted arrival")
        return agent

    def records(self):
        if not self.store.exists():
            return {}
        with sqlite3.connect(f"file:{self.store}?mode=ro", uri=True, timeout=10) as db:
            return dict(db.execute("SELECT key, CAST(value AS TEXT) FROM defaults"))

    def seed(self, records):
        """Stores records as an earlier run, or another program, would have."""
        self.store.parent.mkdir(parents=True, exist_ok=True)
        with sqlite3.connect(self.store, timeout=10) as db:
            db.execute("CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value)")
            db.executemany("INSERT OR REPLACE INTO defaults VALUES (?, ?)", records.items())

    def wait_records(self, count, timeout=30.0):
        wait_until(lambda: len(self.records()) == count, timeout, f"{count} record(s) stored")

    def log(self):
        return [line[22:] for f in sorted((self.home / "Library/Logs").glob("*.log"))
                for line in f.read_text(errors="replace").splitlines()]

    def logind(self, method, *args):
        return self.system_bus.call("org.freedesktop.login1", "/org/freedesktop/login1",
                                    "com.talverin.test.Login1Control", method, *args)

    def screensaver(self, interface, active, forged=False):
        """ActiveChanged from the name's owner, or, forged, from another client of the bus."""
        connection = dbus.bus.BusConnection(self.session_bus.address) if forged else \
            self.session_bus.connection
        message = dbus.lowlevel.SignalMessage("/" + interface.replace(".", "/"), interface,
                                              "ActiveChanged")
        message.append(dbus.Boolean(active), signature="b")
        connection.send_message(message)
        connection.flush()

    def command(self, method, *args, signature=None):
        return self.session_bus.call("com.talverin.Timestamp", "/com/talverin/Timestamp",
                                     "com.talverin.Timestamp1", method, *args,
                                     signature=signature)

    def report(self):
        """What a failure shows: each child's output, and the log."""
        return "\n".join([f"--- {f.name}\n{f.read_text(errors='replace')}" for f in
                          sorted(self.folder.glob("*.[oe][ur][tr]"))] + ["--- log", *self.log()])


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("certs")
    subprocess.run([SOURCE / "tools/stamp-service/make-ca.sh", folder], check=True,
                   stdout=subprocess.DEVNULL)
    return folder


@pytest.fixture
def make_bed(tmp_path, certs, request):
    beds, failures = [], request.session.testsfailed

    def make(logind_options=()):
        (tmp_path / f"bed{len(beds)}").mkdir()
        beds.append(Bed(tmp_path / f"bed{len(beds)}", certs, logind_options))
        return beds[-1]

    yield make
    for bed in beds:
        if request.session.testsfailed > failures:
            print(bed.report())
        for child in reversed(bed.children):
            child.stop()


@pytest.fixture
def bed(make_bed):
    return make_bed()


def start_display(bed, tray="xembed"):
    """An X server of the bed's own, with a tray host if asked: an XEmbed tray (trayer) or a
    StatusNotifierWatcher and host (xfce4-panel) on the session bus. Its name, for DISPLAY."""
    xvfb = Child(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                  "-wr", "-noreset"], bed.environment(), bed.folder, "xvfb")
    bed.children.append(xvfb)
    number = wait_until(lambda: xvfb.stdout().endswith("\n") and xvfb.stdout().strip(),
                        what="the display")
    env = bed.environment(DISPLAY=":" + number)
    if tray == "xembed":
        bed.children.append(Child(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                   "request", "--height", "24"], env, bed.folder, "trayer"))
        wait_until(lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--classname",
                                           "^panel$"], env=env, capture_output=True).stdout,
                   what="the tray")
    elif tray:  # a panel holding nothing but its tray, whose watcher and host are the real ones
        channels = bed.home / ".config/xfce4/xfconf/xfce-perchannel-xml"
        channels.mkdir(parents=True)
        (channels / "xfce4-panel.xml").write_text(PANEL)
        bed.start_owner(bed.session_bus, "org.xfce.Xfconf", XFCONFD, "xfconfd")
        panel = ["xfce4-panel", "--disable-wm-check"]  # rather than wait for a window manager
        bed.start_owner(bed.session_bus, "org.kde.StatusNotifierWatcher", panel, "xfce4-panel",
                        DISPLAY=env["DISPLAY"])
    return env["DISPLAY"]
