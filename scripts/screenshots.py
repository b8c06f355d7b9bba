#!/usr/bin/python3
"""Takes the README's pictures of the built agent on an X display of its own, with an XEmbed tray,
the local stamp service and a HOME of its own: tray-menu.png, about.png and stamp-done.png.
TALVERIN_BUILD_DIR names the build (build/ when unset)."""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests/process"))
from conftest import Bed, start_display, wait_until  # noqa: E402
from test_desktop import LABELS, WINDOW, Screen  # noqa: E402

WIDTH, HEIGHT = 1024, 768  # the display start_display makes


def capture(screen, box, file):
    """Saves that part of the screen once it is drawn: a window is mapped before it is painted."""
    left, top, width, height = box

    def drawn():
        file.unlink(missing_ok=True)
        screen.x("import", "-window", "root", "-crop", f"{width}x{height}+{left}+{top}",
                 "+repage", "-strip", file)
        return file.exists() and int(screen.x("identify", "-format", "%k", file) or 0) > 8

    wait_until(drawn, what=f"{file.name} drawn")
    print(file)


def click(screen, x, y):
    screen.x("xdotool", "mousemove", "--sync", x, y, "click", 1)


def take(bed, out):
    screen = Screen(bed, start_display(bed))
    agent = bed.started_agent(**screen.agent_env)
    _, (left, top, width, height) = screen.wait_window("icon")
    # Clicked just above its lower edge, the icon opens the menu below it and stays in the picture.
    click(screen, left + width // 2, top + height - 2)
    menu = screen.wait_window("menu")
    panel = screen.x("xdotool", "search", "--onlyvisible", "--classname", "^panel$").split()[0]
    # Menu and tray together, with a margin left and below, within the screen.
    panel_box = tuple(map(int, WINDOW.search(screen.x("xwininfo", "-id", panel, "-children", "-stats")).groups()[2:]))
    boxes = [menu[1], panel_box]
    left, top = max(0, min(b[0] for b in boxes) - 24), min(b[1] for b in boxes)
    right = min(WIDTH, max(b[0] + b[2] for b in boxes))
    bottom = min(HEIGHT, max(b[1] + b[3] for b in boxes) + 12)
    capture(screen, (left, top, right - left, bottom - top), out / "tray-menu.png")
    _, (left, top, width, height) = menu
    click(screen, left + width // 2, top + height * (2 * LABELS.index("アバウト") + 1) // 6)
    about = screen.wait_window("dialog")
    capture(screen, about[1], out / "about.png")
    screen.close(about)
    bed.command("leaveNow")  # the same box; its record cannot share the start-up arrival's
    done = screen.wait_window("dialog")
    capture(screen, done[1], out / "stamp-done.png")
    screen.close(done)
    bed.command("quit")
    assert agent.wait() == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", type=Path, default=SOURCE / "docs/screenshots",
                        help="the folder for the pictures (default: docs/screenshots)")
    out = parser.parse_args().out
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        certs, home = Path(folder) / "certs", Path(folder) / "bed"
        certs.mkdir()
        home.mkdir()
        subprocess.run([SOURCE / "tools/stamp-service/make-ca.sh", certs], check=True,
                       stdout=subprocess.DEVNULL)
        bed = Bed(home, certs)
        try:
            take(bed, out)
        finally:
            for child in reversed(bed.children):
                child.stop()


if __name__ == "__main__":
    main()
