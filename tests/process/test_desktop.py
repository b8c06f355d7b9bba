"""The agent on desktops of the test's own: its tray menu (XEmbed and StatusNotifierItem) and boxes,
the session managers' saves and log-outs, and the display going away. Windows are found and driven
through X as a user meets them."""

import re
import signal
import subprocess

import dbus
import pytest

from conftest import ARRIVAL, FAKES, LABEL, LEAVING, PYTHON, XFCONFD, Child, start_display
from conftest import wait_until

WATCHER, ITEM, MENU = "org.kde.StatusNotifierWatcher", "org.kde.StatusNotifierItem", \
    "com.canonical.dbusmenu"
WINDOW = re.compile(r"Root window id: (\w+).*?Parent window id: (\w+).*?upper-left X:\s+(-?\d+)"
                    r".*?upper-left Y:\s+(-?\d+).*?Width: (\d+).*?Height: (\d+)", re.S)
LABELS = ["アバウト", "TALVERINページへ", "終了"]


class Screen:
    """One X display as a user meets it: the agent's windows by kind."""

    def __init__(self, bed, display):
        self.env = bed.environment(DISPLAY=display)
        # The desktop's way to open a page, noting the request instead of starting a browser.
        self.opened = bed.folder / "opened-urls"
        browser = bed.folder / "bin/xdg-open"
        browser.parent.mkdir()
        browser.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$*\" >> '{self.opened}'\n")
        browser.chmod(0o755)
        self.agent_env = dict(DISPLAY=display, QT_QPA_PLATFORM=None,
                              PATH=f"{browser.parent}:{self.env['PATH']}")

    def x(self, *argv):
        return subprocess.run([str(a) for a in argv], env=self.env, capture_output=True,
                              text=True, timeout=30).stdout

    def windows(self, kind):
        """The agent's shown windows of a kind (icon, menu, dialog): [(id, box)]."""
        found = []
        for window in self.x("xdotool", "search", "--onlyvisible", "--classname",
                             "^talverin-timestamp$").split():
            info = self.x("xwininfo", "-id", window, "-children", "-stats")
            if not (match := WINDOW.search(info)) or int(match[5]) <= 1:  # not in place yet
                continue
            box = tuple(map(int, match.groups()[2:]))
            found += [(window, box)] if kind == (
                "dialog" if "DIALOG" in self.x("xprop", "-id", window, "_NET_WM_WINDOW_TYPE")
                else "icon" if match[1] != match[2]  # inside another window: the tray's
                else "menu" if "Override Redirect State: yes" in info and box[3] >= 40
                else "tooltip") else []
        return found

    def wait_window(self, kind):
        return wait_until(lambda: self.windows(kind), what=f"the agent's {kind}")[0]

    def choose(self, icon, label):
        """Opens the menu from the icon and clicks the middle of the item's band."""
        _, (left, top, width, height) = icon
        self.x("xdotool", "mousemove", "--sync", left + width // 2, top + height // 2, "click", 1)
        menu = self.wait_window("menu")
        _, (left, top, width, height) = menu
        band = top + height * (2 * LABELS.index(label) + 1) // 6
        self.x("xdotool", "mousemove", "--sync", left + width // 2, band, "click", 1)
        wait_until(lambda: menu not in self.windows("menu"), what="the menu to close")

    def close(self, dialog):  # Return on the default button, as a user closes it
        self.x("xdotool", "windowfocus", "--sync", dialog[0], "key", "Return")
        wait_until(lambda: dialog not in self.windows("dialog"), what="the box to close")


def ends_after_the_leaving_stamp(bed, agent):  # accepted, then the agent ended, keeping nothing
    assert agent.wait() == 0
    *_, leaving = [key for key in agent.fresh_keys() if key.startswith(LABEL[LEAVING])]
    assert bed.service.delivered(leaving) and bed.records() == {}


@pytest.fixture
def screen(bed):
    return Screen(bed, start_display(bed))


def test_the_status_notifier_item_carries_the_tooltip_and_the_menu_whose_entries_work(bed):
    screen = Screen(bed, start_display(bed, tray="status-notifier"))
    bed.seed({"終了時の打刻_20240401183005": "20240401183005"})
    agent = bed.started_agent(**screen.agent_env)
    call = bed.session_bus.call

    def registered():
        return call(WATCHER, "/StatusNotifierWatcher", dbus.PROPERTIES_IFACE, "Get", WATCHER,
                    "RegisteredStatusNotifierItems")

    (item,) = [key.removesuffix("/StatusNotifierItem")  # the watcher adds the object's path
               for key in wait_until(registered, what="the item to register")]

    def item_property(name):
        return call(item, "/StatusNotifierItem", dbus.PROPERTIES_IFACE, "Get", ITEM, name)

    # The tooltip (in the title) follows each outcome: the seeded record's resend leaves the
    # start-up arrival as the newest stamp, and nothing unsent.
    tim = bed.service.accepted(ARRIVAL)[0]["tim"]
    wait_until(lambda: str(item_property("ToolTip")[2]) == "TALVERIN Timestamp\n最後の打刻："
               f"開始時の打刻 {tim[:4]}/{tim[4:6]}/{tim[6:8]} {tim[8:10]}:{tim[10:12]}")
    menu = item_property("Menu")
    _, (_, _, entries) = call(item, menu, MENU, "GetLayout", 0, -1, [], signature="iias")
    ids = {str(properties["label"]): int(entry) for entry, properties, _ in entries}
    assert list(ids) == LABELS

    def click(label):
        call(item, menu, MENU, "Event", ids[label], "clicked", dbus.Int32(0, variant_level=1),
             0, signature="isvu")

    click("アバウト")
    screen.close(screen.wait_window("dialog"))
    click("TALVERINページへ")
    wait_until(screen.opened.exists, what="the page to open")
    assert screen.opened.read_text() == bed.environment()["TALVERIN_SERVICE_ORIGIN"] + "\n"
    click("終了")
    ends_after_the_leaving_stamp(bed, agent)
    wait_until(lambda: not registered(), what="the watcher to forget the item")


# The menu's other items are the status notifier's test: the XEmbed icon opens the same menu.
def test_tray_menu_and_commands_show_each_box_once_and_a_quit_with_one_open_leaves(bed, screen):
    agent = bed.started_agent(**screen.agent_env)
    screen.choose(screen.wait_window("icon"), "アバウト")
    screen.close(screen.wait_window("dialog"))
    for _ in range(5):
        bed.command("about")
    about = screen.wait_window("dialog")
    bed.command("arriveNow")  # its box comes only once the service has accepted the stamp
    # Told apart by its size, it is mapped after any box the burst opened: then count them.
    wait_until(lambda: [box for _, box in screen.windows("dialog") if box[2:] != about[1][2:]],
               what="the stamp-done box")
    assert len(screen.windows("dialog")) == 2 and about in screen.windows("dialog")
    assert len(bed.service.accepted(ARRIVAL)) == 2
    agent.signal(signal.SIGTERM)
    ends_after_the_leaving_stamp(bed, agent)


@pytest.fixture
def xfce(bed, screen):
    """xfce4-session on the screen and the bed's bus, with xfwm4 alone and no ssh or gpg agent,
    which would outlive the test. The screen, whose agents are the session's clients."""
    address = bed.folder / "session-manager"
    for name, text in [("address", f"Exec=sh -c 'printf %s \"$SESSION_MANAGER\" > {address}'"),
                       ("xfsettingsd", "Hidden=true")]:
        (bed.home / ".config/autostart").mkdir(parents=True, exist_ok=True)
        (bed.home / f".config/autostart/{name}.desktop").write_text(
            f"[Desktop Entry]\nType=Application\nName={name}\n{text}\n")
    for name in bed.SCREENSAVERS:  # the session asks them, and the bed's names never answer
        bed.session_bus.connection.release_name(name)
    bed.start_owner(bed.session_bus, "org.xfce.Xfconf", XFCONFD, "xfconfd")
    for setting in ["/sessions/Failsafe/Count int 1", "/startup/ssh-agent/enabled bool false",
                    "/startup/gpg-agent/enabled bool false"]:
        path, kind, value = setting.split()
        screen.x("xfconf-query", "-c", "xfce4-session", "-n", "-p", path, "-t", kind, "-s", value)
    bed.children.append(Child(["xfce4-session"], screen.env, bed.folder, "xfce4-session"))
    screen.agent_env["SESSION_MANAGER"] = wait_until(lambda: address.exists() and
                                                     address.read_text(), what="the session")
    return screen


def test_an_xfce_save_changes_nothing_and_its_log_out_waits_for_one_leaving_stamp(bed, xfce):
    agent = bed.started_agent(**xfce.agent_env, DESKTOP_AUTOSTART_ID="an-id-it-never-gave")
    manager = ("org.xfce.SessionManager", "/org/xfce/SessionManager", "org.xfce.Session.Manager")
    bed.session_bus.call(*manager, "Checkpoint", "")
    saved = wait_until(lambda: [f for f in (bed.home / ".cache/sessions").glob(
        "xfce4-session-*") if f.suffix != ".tmp"])[0]  # each written as a .tmp file, then renamed
    assert agent.running() and agent.fresh_keys() == [agent.fresh_keys()[0]]
    bed.service.react(LEAVING, delayMs=1000)  # the log-out waits for the answer
    bed.session_bus.call(*manager, "Logout", False, True)
    ends_after_the_leaving_stamp(bed, agent)
    assert len(bed.service.requests(LEAVING)) == 1 and agent.stderr() == ""
    # The session that was saved starts xfwm4 again, but not the agent: its autostart entry does.
    assert "Program=xfwm4" in saved.read_text() and "talverin" not in saved.read_text()


@pytest.mark.parametrize("kind", ["x11-after-its-session-manager", "wayland"])
def test_a_display_server_that_goes_away_at_log_out_still_ends_the_day(bed, kind, request):
    if kind == "wayland":  # weston's headless compositor, on a socket in the bed's runtime folder
        bed.children.append(Child(["weston", "--backend=headless-backend.so", "--idle-time=0",
                                   "--socket=talverin-0"], bed.environment(), bed.folder, "weston"))
        wait_until((bed.runtime / "talverin-0").exists, what="the compositor")
        server = bed.children[-1]
        agent = bed.started_agent(WAYLAND_DISPLAY="talverin-0", QT_QPA_PLATFORM="wayland")
    else:  # the session manager goes first: its connection closes under the agent, which goes on
        xfce = request.getfixturevalue("xfce")
        agent = bed.started_agent(**xfce.agent_env)
        xfce.wait_window("icon")
        child = {c.out.stem: c for c in bed.children}
        child["xfce4-session"].process.kill()
        wait_until(lambda: "Qt: the session manager closed the connection" in bed.log())
        assert agent.running()
        server = child["xvfb"]
    bed.wait_records(0)  # the start-up arrival's answer is in: the day's end alone is kept
    server.stop()
    agent.wait()
    (leaving,) = [key for key in agent.fresh_keys() if key.startswith(LABEL[LEAVING])]
    assert bed.records() == {leaving: leaving.split("_")[1]}  # the next start sends it


def start_gnome_session(bed):
    """gnome-session in builtin mode on the bed's buses and an X display, with a session of the
    test's own (xfwm4 as its window manager) and only the agent's autostart entry, which hands
    the startup id and the X session manager's address it was given to the test. The agent's
    environment, with both: the agent is the session's client over X and over D-Bus."""
    display, handed_over = start_display(bed, tray=None), bed.folder / "autostart-id"
    entry = "[Desktop Entry]\nType=Application\nName=T\nExec="
    for path, text in {"gnome-session/sessions/talverin.session":
                       "[GNOME Session]\nName=T\nRequiredComponents=talverin-wm;",
                       "../.local/share/applications/talverin-wm.desktop":
                       entry + "xfwm4 --sm-client-disable",
                       "autostart/com.talverin.Timestamp.desktop":
                       entry + f'sh -c "printenv DESKTOP_AUTOSTART_ID SESSION_MANAGER > {handed_over}"'
                       }.items():
        (bed.home / ".config" / path).parent.mkdir(parents=True, exist_ok=True)
        (bed.home / ".config" / path).write_text(text + "\n")
    bed.children.append(Child(
        ["gnome-session", "--builtin", "--session=talverin", "--disable-acceleration-check"],
        bed.environment(DISPLAY=display, GSETTINGS_BACKEND="memory", NO_AT_BRIDGE=1,
                        XDG_CONFIG_DIRS=bed.folder), bed.folder, "gnome-session"))
    wait_until(lambda: bed.session_bus.connection.name_has_owner("org.gnome.SessionManager")
               and gnome(bed, "IsSessionRunning"), what="the session")
    startup_id, manager = wait_until(lambda: handed_over.exists() and len(
        lines := handed_over.read_text().split()) == 2 and lines, what="the startup id")
    return dict(DISPLAY=display, QT_QPA_PLATFORM=None, DESKTOP_AUTOSTART_ID=startup_id,
                SESSION_MANAGER=manager)


def gnome(bed, method, *args, path="/org/gnome/SessionManager", interface=""):
    return bed.session_bus.call("org.gnome.SessionManager", path,
                                "org.gnome.SessionManager" + interface, method, *args)


def test_gnome_session_holds_its_log_out_for_the_leaving_stamp_and_may_call_it_off(bed):
    agent = bed.started_agent(**start_gnome_session(bed))
    # Registered with its autostart id: the session manager ties it to its autostart entry.
    (path,) = wait_until(lambda: [c for c in gnome(bed, "GetClients") if gnome(
        bed, "GetAppId", path=c, interface=".Client") == "com.talverin.Timestamp.desktop"])
    for member, *args in [("EndSession", dbus.UInt32(0)), ("Stop",)]:  # forged: nothing
        forged = dbus.lowlevel.SignalMessage(path, "org.gnome.SessionManager.ClientPrivate", member)
        forged.append(*args)
        bed.session_bus.connection.send_message(forged)
    # Another client's inhibitor makes the log-out wait for the shell's dialog, where the user
    # cancels it: the log-out's save over X ended the day, its cancel begins it again.
    bed.start_owner(bed.session_bus, "org.gnome.Shell", [PYTHON, FAKES / "fake_shell.py"], "shell")
    cookie = gnome(bed, "Inhibit", "test", dbus.UInt32(0), "busy", dbus.UInt32(1))
    gnome(bed, "Logout", dbus.UInt32(0))
    wait_until(lambda: gnome(bed, "IsSessionRunning"), what="the log-out to be called off")
    bed.command("automaticLaunchWithManualSetting", False, signature="b")  # a barrier for both
    assert agent.running() and [k[:6] for k in agent.fresh_keys()] == [
        LABEL[ARRIVAL], LABEL[LEAVING], LABEL[ARRIVAL]]
    # Without a prompt: the session ends once the leaving stamp, answered late, has its answer.
    gnome(bed, "Uninhibit", cookie)
    bed.service.react(LEAVING, delayMs=1500)  # past the 1 s gnome-session gives a first save
    gnome(bed, "Logout", dbus.UInt32(1))
    ends_after_the_leaving_stamp(bed, agent)
    assert len(bed.service.requests(LEAVING)) == 2  # one for each log-out, over X and D-Bus
