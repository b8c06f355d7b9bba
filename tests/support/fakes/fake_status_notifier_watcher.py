#!/usr/bin/env python3
"""A StatusNotifierWatcher with a host, as a Plasma panel offers one: it says a host is there,
keeps the items that register and forgets each one whose owner leaves the bus. Tests read its
RegisteredStatusNotifierItems property."""

import dbus
import dbus.service

import fakebus

WATCHER = "org.kde.StatusNotifierWatcher"
# Qt reads IsStatusNotifierHostRegistered through an introspected proxy, so the properties must be
# in the introspection data; dbus-python only describes methods and signals by itself.
INTROSPECTION = f"""<node><interface name="{WATCHER}">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/></interface></node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []  # (service as registered, its owner's unique name)
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        # An item may name a bus name, or only an object path of its own.
        name = str(sender) + str(service) if str(service).startswith("/") else str(service)
        self.items.append((name, str(sender)))

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"RegisteredStatusNotifierItems": dbus.Array([s for s, _ in self.items], "s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0)}[name]

    def owner_changed(self, name, old_owner, new_owner):
        self.items = [item for item in self.items if new_owner or item[1] != old_owner]


if __name__ == "__main__":
    connection = fakebus.connect()
    Watcher(connection)
    fakebus.own_names(connection, [WATCHER])
    fakebus.run()
