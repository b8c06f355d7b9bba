#!/usr/bin/env python3
"""The desktops' screensavers for tests: owns org.gnome.ScreenSaver, org.xfce.ScreenSaver and
org.freedesktop.ScreenSaver and sends their ActiveChanged(b) signal on request.

The test calls com.talverin.test.ScreenSaverControl on /com/talverin/test/Control:
  EmitActiveChanged(s interface, o path, b active)   one ActiveChanged from that object
"""

import dbus
import dbus.lowlevel
import dbus.service

import fakebus

CONTROL_IFACE = "com.talverin.test.ScreenSaverControl"
NAMES = ["org.gnome.ScreenSaver", "org.xfce.ScreenSaver", "org.freedesktop.ScreenSaver"]


class Control(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, fakebus.CONTROL_PATH)
        self.bus = bus

    @dbus.service.method(CONTROL_IFACE, in_signature="sob")
    def EmitActiveChanged(self, interface, path, active):
        signal = dbus.lowlevel.SignalMessage(path, interface, "ActiveChanged")
        signal.append(dbus.Boolean(active), signature="b")
        self.bus.send_message(signal)


def main():
    bus = fakebus.connect()
    Control(bus)
    fakebus.own_names(bus, NAMES)
    fakebus.run()


if __name__ == "__main__":
    main()
