#!/usr/bin/env python3
"""A small org.freedesktop.hostname1 for tests: GetHardwareSerial only.

Options (one of):
  --serial TEXT   answers TEXT
  --error NAME    answers the D-Bus error NAME
  --no-reply      never answers

The test reads com.talverin.test.HostnamedControl.Calls() on /com/talverin/test/Control:
one entry per GetHardwareSerial call, true when that call allowed interactive authorization.
"""

import argparse

import dbus
import dbus.service

import fakebus

SERVICE = "org.freedesktop.hostname1"
PATH = "/org/freedesktop/hostname1"
CONTROL_IFACE = "com.talverin.test.HostnamedControl"


class Hostnamed(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, PATH)
        self.options = options
        self.calls = []
        self.unanswered = []

    @dbus.service.method(SERVICE, out_signature="s", message_keyword="message",
                         async_callbacks=("reply", "fail"))
    def GetHardwareSerial(self, message, reply, fail):
        self.calls.append(bool(message.get_allow_interactive_authorization()))
        if self.options.no_reply:
            self.unanswered.append((reply, fail))
        elif self.options.error is not None:
            fail(dbus.exceptions.DBusException("no serial for you", name=self.options.error))
        else:
            reply(self.options.serial)


class Control(dbus.service.Object):
    def __init__(self, bus, hostnamed):
        super().__init__(bus, fakebus.CONTROL_PATH)
        self.hostnamed = hostnamed

    @dbus.service.method(CONTROL_IFACE, out_signature="ab")
    def Calls(self):
        return dbus.Array(self.hostnamed.calls, signature="b")


def main():
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--serial")
    group.add_argument("--error")
    group.add_argument("--no-reply", action="store_true")
    options = parser.parse_args()

    bus = fakebus.connect()
    hostnamed = Hostnamed(bus, options)
    Control(bus, hostnamed)
    fakebus.own_names(bus, [SERVICE])
    fakebus.run()


if __name__ == "__main__":
    main()
