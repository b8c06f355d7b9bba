"""What every fake service shares: its bus connection, its names and its main loop."""

import os
import signal
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

CONTROL_PATH = "/com/talverin/test/Control"


def connect():
    """Connects to the private bus the test started; its address comes in the environment."""
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    return dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])


def own_names(bus, names):
    """Owns each name, or ends the fake: a test must not talk to somebody else's service."""
    for name in names:
        reply = bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
        if reply != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
            sys.exit("cannot own " + name)


def run():
    loop = GLib.MainLoop()
    # A test ends the fake with SIGTERM; leave quietly.
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
    loop.run()
