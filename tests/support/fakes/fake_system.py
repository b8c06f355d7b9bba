#!/usr/bin/env python3
"""The system bus's services for tests: a small org.freedesktop.login1 (the Manager calls the agent
makes, its two Prepare signals, one Session whose LockedHint it announces with its value, as logind
does) with a NetworkManager beside it if asked, or an org.freedesktop.hostname1 answering as its
options say. Tests drive logind through an interface of its own on its path."""

import argparse
import os
import select
import time

import dbus
import dbus.service

import fakebus

MANAGER_PATH, MANAGER = "/org/freedesktop/login1", "org.freedesktop.login1.Manager"
CONTROL = "com.talverin.test.Login1Control"


class Properties(dbus.service.Object):
    """An object with properties of one interface, each change announced as the real one does."""

    def __init__(self, bus, path, interface, props):
        super().__init__(bus, path)
        self.path, self.interface, self.props = path, interface, props

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.props if interface == self.interface else {}, signature="sv")

    @dbus.service.signal(dbus.PROPERTIES_IFACE, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def change(self, name, value):
        self.props[name] = value
        print(f"{time.time_ns() // 1000} {name}={value}", flush=True)  # when, for the benchmarks
        self.PropertiesChanged(self.interface, {name: value}, [])


class Manager(dbus.service.Object):
    def __init__(self, bus, session, network, options):
        super().__init__(bus, MANAGER_PATH)
        self.session, self.network, self.options, self.inhibitors = session, network, options, []

    @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
    def GetSession(self, session_id):
        if session_id == self.session.props["Id"] or (session_id == "auto" and self.options.auto):
            return dbus.ObjectPath(self.session.path)
        raise dbus.exceptions.DBusException(name="org.freedesktop.login1.NoSuchSession")

    @dbus.service.method(MANAGER, in_signature="u", out_signature="o")
    def GetSessionByPID(self, pid):
        if self.options.pid:
            return dbus.ObjectPath(self.session.path)
        raise dbus.exceptions.DBusException(name="org.freedesktop.login1.NoSessionForPID")

    @dbus.service.method(MANAGER, in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        read_end, write_end = os.pipe()
        self.inhibitors.append((str(what) if mode == "delay" else f"{mode}-{what}", read_end))
        handed_over = dbus.types.UnixFd(write_end)  # a duplicate, kept until sent
        os.close(write_end)
        return handed_over

    @dbus.service.signal(MANAGER, signature="b")
    def PrepareForShutdown(self, starting):
        pass

    @dbus.service.signal(MANAGER, signature="b")
    def PrepareForSleep(self, starting):
        pass

    @dbus.service.method(CONTROL, in_signature="sb")
    def Emit(self, signal, starting):  # PrepareForShutdown or PrepareForSleep
        getattr(self, signal)(starting)

    @dbus.service.method(CONTROL, in_signature="b")
    def SetLockedHint(self, value):
        self.session.change("LockedHint", value)

    @dbus.service.method(CONTROL, in_signature="u")
    def SetNetworkState(self, state):
        self.network.change("State", dbus.UInt32(state))

    @dbus.service.method(CONTROL, out_signature="as")
    def Held(self):  # what each inhibitor still held is for (shutdown, sleep), sorted
        # The taker holds the write end: once every copy is closed, EOF is readable on ours.
        return dbus.Array(sorted(what for what, end in self.inhibitors
                                 if not select.select([end], [], [], 0)[0]), "s")


class Hostnamed(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, "/org/freedesktop/hostname1")
        self.options, self.unanswered = options, []

    @dbus.service.method("org.freedesktop.hostname1", out_signature="s", message_keyword="message",
                         async_callbacks=("reply", "fail"))
    def GetHardwareSerial(self, message, reply, fail):
        # A call that allows a password prompt waits for one, as polkit would keep it waiting.
        if self.options.no_reply or message.get_allow_interactive_authorization():
            self.unanswered.append((reply, fail))
        elif self.options.error is not None:
            fail(dbus.exceptions.DBusException("no serial for you", name=self.options.error))
        else:
            reply(self.options.serial)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--no-auto", dest="auto", action="store_false")
    parser.add_argument("--no-pid", dest="pid", action="store_false")
    parser.add_argument("--locked-hint", action="store_true")
    parser.add_argument("--serial")
    parser.add_argument("--error")
    parser.add_argument("--no-reply", action="store_true")
    parser.add_argument("--network-state", type=int)
    options = parser.parse_args()
    bus = fakebus.connect()
    if options.serial is not None or options.error or options.no_reply:
        Hostnamed(bus, options)
        fakebus.own_names(bus, ["org.freedesktop.hostname1"])
        return fakebus.run()
    session = Properties(bus, MANAGER_PATH + "/session/c2", "org.freedesktop.login1.Session",
                         {"Id": dbus.String("c2"), "LockedHint": dbus.Boolean(options.locked_hint)})
    # Only what Qt's reachability backend reads: the overall state (70 is online, 20 is not).
    network = None if options.network_state is None else Properties(
        bus, "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
        {"State": dbus.UInt32(options.network_state)})
    Manager(bus, session, network, options)
    fakebus.own_names(bus, ["org.freedesktop.login1"] +
                      ["org.freedesktop.NetworkManager"] * (network is not None))
    fakebus.run()


if __name__ == "__main__":
    main()
