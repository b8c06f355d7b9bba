"""The agent on an X display of the test's own: the tray menu through an XEmbed tray and through
StatusNotifierItem, the message boxes, and the display going away. Windows are found and driven
through X as a user meets them."""

import re
import signal
import subprocess

import dbus
import pytest

from conftest import ARRIVAL, LABEL, LEAVING, SOURCE, Child, start_display, wait_until

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

    def click(self, left, top):
        self.x("xdotool", "mousemove", "--sync", left, top, "click", "1")

    def choose(self, icon, label):
        """Opens the menu from the icon and clicks the middle of the item's band."""
        _, (left, top, width, height) = icon
        self.click(left + width // 2, top + height // 2)
        menu = self.wait_window("menu")
        _, (left, top, width, height) = menu
        self.click(left + width // 2, top + height * (2 * LABELS.index(label) + 1) // 6)
        wait_until(lambda: menu not in self.windows("menu"), what="the menu to close")

    def close(self, dialog):  # Return on the default button, as a user closes it
        self.x("xdotool", "windowfocus", "--sync", dialog[0], "key", "Return")
        wait_until(lambda: dialog not in self.windows("dialog"), what="the box to close")



def ends_after_the_leaving_stamp(bed, agent):  # accepted, then the agent ended, keeping nothing
    bed.service.wait_requests(LEAVING)
    assert agent.wait_exit() == 0
    (leaving,) = [key for key in agent.fresh_keys() if key.startswith(LABEL[LEAVING])]
    assert bed.service.delivered(leaving) and bed.records() == {}


@pytest.fixture
def screen(bed, display):
    return Screen(bed, display)


def test_the_tray_icon_opens_the_menu_whose_items_show_the_about_box_and_quit(bed, screen):
    agent = bed.started_agent(**screen.agent_env)
    icon = screen.wait_window("icon")
    screen.choose(icon, "アバウト")
    screen.close(screen.wait_window("dialog"))
    screen.choose(icon, "終了")
    ends_after_the_leaving_stamp(bed, agent)


def test_the_status_notifier_item_carries_the_tooltip_and_the_menu_whose_entries_work(bed):
    screen = Screen(bed, start_display(bed, tray="status-notifier"))
    bed.seed({"終了時の打刻_20240401183005": "20240401183005"})
    agent = bed.started_agent(**screen.agent_env)
    call = bed.session_bus.call

    def registered():
        return call(WATCHER, "/StatusNotifierWatcher", dbus.PROPERTIES_IFACE, "Get", WATCHER,
                    "RegisteredStatusNotifierItems")

    (item,) = wait_until(registered, what="the item to register")

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


def test_boxes_show_once_each_and_a_termination_with_one_open_still_leaves(bed, screen):
    agent = bed.started_agent(**screen.agent_env)
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


def test_a_machine_without_a_serial_number_says_so_and_closing_the_box_ends_without_a_stamp(
        bed, screen):
    agent = bed.start_agent(prefix=[SOURCE / "tests/support/with-mounts.sh"], **screen.agent_env,
                            TALVERIN_NO_HARDWARE_SERIAL=1, TALVERIN_SERIAL_FILE=None)
    alert = screen.wait_window("dialog")
    assert agent.running()
    screen.close(alert)
    assert agent.wait_exit() == 0
    assert bed.service.requests() == [] and bed.records() == {}


def test_a_display_that_goes_away_at_log_out_still_ends_the_day(bed, screen):
    agent = bed.started_agent(**screen.agent_env)
    screen.wait_window("icon")
    (xvfb,) = [c for c in bed.children if isinstance(c, Child) and c.out.name == "xvfb.out"]
    xvfb.stop()
    agent.wait_exit()
    (leaving,) = [key for key in agent.fresh_keys() if key.startswith(LABEL[LEAVING])]
    assert list(bed.records()) == [leaving]
    bed.started_agent()  # the next start sends it with its own time
    wait_until(lambda: bed.service.delivered(leaving) and bed.records() == {})
