#!/usr/bin/env python3
"""A small org.freedesktop.hostname1: GetHardwareSerial only. It answers --serial TEXT, fails with
--error NAME, or never answers with --no-reply. com.talverin.test.HostnamedControl.Calls() on
/com/talverin/test/Control lists, per call, whether it allowed interactive authorization."""

import argparse

import dbus
import dbus.service

import fakebus


class Hostnamed(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, "/org/freedesktop/hostname1")
        self.options, self.calls, self.unanswered = options, [], []

    @dbus.service.method("org.freedesktop.hostname1", out_signature="s", message_keyword="message",
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

    @dbus.service.method("com.talverin.test.HostnamedControl", out_signature="ab")
    def Calls(self):
        return dbus.Array(self.hostnamed.calls, signature="b")


def main():
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--serial")
    group.add_argument("--error")
    group.add_argument("--no-reply", action="store_true")
    bus = fakebus.connect()
    Control(bus, Hostnamed(bus, parser.parse_args()))
    fakebus.own_names(bus, ["org.freedesktop.hostname1"])
    fakebus.run()


if __name__ == "__main__":
    main()
