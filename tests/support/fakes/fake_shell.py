#!/usr/bin/env python3
"""The shell's end-session dialog as the session manager sees it: the user cancels each dialog
right after it opens."""

import dbus.service
from gi.repository import GLib

import fakebus

DIALOG = "org.gnome.SessionManager.EndSessionDialog"


class Dialog(dbus.service.Object):
    @dbus.service.method(DIALOG, in_signature="uuuao")
    def Open(self, kind, timestamp, seconds, inhibitors):
        GLib.idle_add(self.Canceled)

    @dbus.service.signal(DIALOG)
    def Canceled(self):
        pass


bus = fakebus.connect()
Dialog(bus, "/org/gnome/SessionManager/EndSessionDialog")
fakebus.own_names(bus, ["org.gnome.Shell"])
fakebus.run()
