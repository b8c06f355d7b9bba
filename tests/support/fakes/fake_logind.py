#!/usr/bin/env python3
"""A small org.freedesktop.login1 for tests: the Manager calls the agent makes (GetSession,
GetSessionByPID, Inhibit), the PrepareForShutdown signal and one Session with LockedHint.

The test drives it through com.talverin.test.Login1Control on /com/talverin/test/Control:
  EmitPrepareForShutdown(b)    sends PrepareForShutdown with that value
  SetLockedHint(b)             changes LockedHint and announces the new value
  InvalidateLockedHint(b)      changes LockedHint and announces only that it changed
  Inhibitors() -> a(ssssb)     every inhibitor taken: what, who, why, mode and whether the
                               taker still holds its descriptor open
  LastAnnouncement() -> t      when the last PropertiesChanged was sent: microseconds since the
                               Unix epoch, read just before sending, for latency benchmarks

Options:
  --session-id ID        the session's id (default c2); GetSession(ID) always finds it
  --no-auto              GetSession("auto") finds no session
  --no-pid               GetSessionByPID finds no session
  --locked-hint          LockedHint starts true
  --no-session-property  the session object has no LockedHint property
"""

import argparse
import os
import time

import dbus
import dbus.service
from gi.repository import GLib

import fakebus

SERVICE = "org.freedesktop.login1"
MANAGER_PATH = "/org/freedesktop/login1"
MANAGER_IFACE = "org.freedesktop.login1.Manager"
SESSION_IFACE = "org.freedesktop.login1.Session"
CONTROL_IFACE = "com.talverin.test.Login1Control"


def escape_path_label(text):
    """Escapes text for an object path label the way logind does."""
    out = []
    for index, char in enumerate(text):
        if char.isascii() and (char.isalpha() or (char.isdigit() and index > 0)):
            out.append(char)
        else:
            out.append("_%02x" % ord(char))
    return "".join(out) or "_"


class Session(dbus.service.Object):
    def __init__(self, bus, session_id, locked_hint, has_locked_hint):
        self.path = MANAGER_PATH + "/session/" + escape_path_label(session_id)
        super().__init__(bus, self.path)
        self.session_id = session_id
        self.locked_hint = locked_hint
        self.has_locked_hint = has_locked_hint
        self.last_announcement = 0

    def properties(self):
        props = {"Id": dbus.String(self.session_id)}
        if self.has_locked_hint:
            props["LockedHint"] = dbus.Boolean(self.locked_hint)
        return props

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        props = self.properties()
        if interface != SESSION_IFACE or name not in props:
            raise dbus.exceptions.DBusException(
                "no property " + name, name="org.freedesktop.DBus.Error.UnknownProperty")
        return props[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != SESSION_IFACE:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary(self.properties(), signature="sv")

    @dbus.service.signal(dbus.PROPERTIES_IFACE, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def set_locked_hint(self, value, announce_value):
        self.locked_hint = bool(value)
        self.last_announcement = time.time_ns() // 1000
        if announce_value:
            self.PropertiesChanged(
                SESSION_IFACE,
                dbus.Dictionary({"LockedHint": dbus.Boolean(self.locked_hint)}, signature="sv"),
                dbus.Array([], signature="s"))
        else:
            self.PropertiesChanged(SESSION_IFACE, dbus.Dictionary({}, signature="sv"),
                                   dbus.Array(["LockedHint"], signature="s"))


class Inhibitor:
    def __init__(self, what, who, why, mode):
        self.what, self.who, self.why, self.mode = what, who, why, mode
        self.open = True
        read_end, write_end = os.pipe()
        self.read_end = read_end
        self.write_end = write_end
        # The taker holds the other end; when every copy of it is closed the pipe reports EOF.
        GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, read_end,
                              GLib.IOCondition.IN | GLib.IOCondition.HUP | GLib.IOCondition.ERR,
                              self.on_readable)

    def on_readable(self, fd, condition):
        if condition & GLib.IOCondition.IN and not condition & GLib.IOCondition.HUP:
            if os.read(fd, 4096):
                return True
        self.open = False
        os.close(fd)
        return False


class Manager(dbus.service.Object):
    def __init__(self, bus, session, options):
        super().__init__(bus, MANAGER_PATH)
        self.session = session
        self.options = options
        self.inhibitors = []

    @dbus.service.method(MANAGER_IFACE, in_signature="s", out_signature="o")
    def GetSession(self, session_id):
        if session_id == self.session.session_id or (session_id == "auto" and self.options.auto):
            return dbus.ObjectPath(self.session.path)
        raise dbus.exceptions.DBusException(
            "No session '%s' known" % session_id, name="org.freedesktop.login1.NoSuchSession")

    @dbus.service.method(MANAGER_IFACE, in_signature="u", out_signature="o")
    def GetSessionByPID(self, pid):
        if self.options.pid:
            return dbus.ObjectPath(self.session.path)
        raise dbus.exceptions.DBusException(
            "PID %d does not belong to any known session" % pid,
            name="org.freedesktop.login1.NoSessionForPID")

    @dbus.service.method(MANAGER_IFACE, in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        inhibitor = Inhibitor(str(what), str(who), str(why), str(mode))
        self.inhibitors.append(inhibitor)
        handed_over = dbus.types.UnixFd(inhibitor.write_end)  # keeps a duplicate until sent
        os.close(inhibitor.write_end)
        return handed_over

    @dbus.service.signal(MANAGER_IFACE, signature="b")
    def PrepareForShutdown(self, starting):
        pass


class Control(dbus.service.Object):
    def __init__(self, bus, manager, session):
        super().__init__(bus, fakebus.CONTROL_PATH)
        self.manager = manager
        self.session = session

    @dbus.service.method(CONTROL_IFACE, in_signature="b")
    def EmitPrepareForShutdown(self, starting):
        self.manager.PrepareForShutdown(dbus.Boolean(starting))

    @dbus.service.method(CONTROL_IFACE, in_signature="b")
    def SetLockedHint(self, value):
        self.session.set_locked_hint(value, announce_value=True)

    @dbus.service.method(CONTROL_IFACE, in_signature="b")
    def InvalidateLockedHint(self, value):
        self.session.set_locked_hint(value, announce_value=False)

    @dbus.service.method(CONTROL_IFACE, out_signature="t")
    def LastAnnouncement(self):
        return dbus.UInt64(self.session.last_announcement)

    @dbus.service.method(CONTROL_IFACE, out_signature="a(ssssb)")
    def Inhibitors(self):
        return dbus.Array([(i.what, i.who, i.why, i.mode, dbus.Boolean(i.open))
                           for i in self.manager.inhibitors], signature="(ssssb)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--session-id", default="c2")
    parser.add_argument("--no-auto", dest="auto", action="store_false")
    parser.add_argument("--no-pid", dest="pid", action="store_false")
    parser.add_argument("--locked-hint", action="store_true")
    parser.add_argument("--no-session-property", dest="has_locked_hint", action="store_false")
    options = parser.parse_args()

    bus = fakebus.connect()
    session = Session(bus, options.session_id, options.locked_hint, options.has_locked_hint)
    manager = Manager(bus, session, options)
    Control(bus, manager, session)
    fakebus.own_names(bus, [SERVICE])
    fakebus.run()


if __name__ == "__main__":
    main()
