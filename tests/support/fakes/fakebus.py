"""What every fake shares: the test's private bus, its names (owned, or the fake ends: a test must
not talk to somebody else's service) and a main loop that SIGTERM ends quietly."""

import os
import signal
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib


def connect():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    return dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])


def own_names(bus, names):
    for name in names:
        if bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != 1:  # primary owner
            sys.exit("cannot own " + name)


def run():
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
    loop.run()
