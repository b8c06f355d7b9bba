#!/usr/bin/env python3
"""A StatusNotifierWatcher with a host, the way a Plasma panel offers one: owns
org.kde.StatusNotifierWatcher, says a host is registered, and keeps the items that register,
forgetting each one whose owner leaves the bus. The test reads the standard
RegisteredStatusNotifierItems property.
"""

import dbus
import dbus.service

import fakebus

SERVICE = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"

# Qt reads IsStatusNotifierHostRegistered through an introspected proxy, so the properties must
# be in the introspection data; dbus-python only describes methods and signals by itself.
INTROSPECTION = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="xml" type="s" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface" type="s" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface" type="s" direction="in"/>
      <arg name="properties" type="a{sv}" direction="out"/>
    </method>
  </interface>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
  </interface>
</node>
"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.items = []  # (service as given, owner's unique name)
        bus.add_signal_receiver(self.on_name_owner_changed, signal_name="NameOwnerChanged",
                                dbus_interface="org.freedesktop.DBus",
                                bus_name="org.freedesktop.DBus")

    def registered(self):
        return dbus.Array([service for service, _ in self.items], signature="s")

    @dbus.service.method(SERVICE, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        # An item may give a bus name or only an object path of the caller.
        name = str(service) if not str(service).startswith("/") else str(sender) + str(service)
        self.items.append((name, str(sender)))
        self.StatusNotifierItemRegistered(name)

    @dbus.service.method(SERVICE, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(SERVICE, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(SERVICE, signature="s")
    def StatusNotifierItemUnregistered(self, service):
        pass

    @dbus.service.signal(SERVICE, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    def properties(self):
        return {
            "RegisteredStatusNotifierItems": self.registered(),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        props = self.properties()
        if interface != SERVICE or name not in props:
            raise dbus.exceptions.DBusException(
                "no property " + name, name="org.freedesktop.DBus.Error.UnknownProperty")
        return props[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != SERVICE:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary(self.properties(), signature="sv")

    def on_name_owner_changed(self, name, old_owner, new_owner):
        if new_owner or not old_owner:
            return
        gone = [item for item in self.items if item[1] == old_owner]
        self.items = [item for item in self.items if item[1] != old_owner]
        for service, _ in gone:
            self.StatusNotifierItemUnregistered(service)


def main():
    bus = fakebus.connect()
    Watcher(bus)
    fakebus.own_names(bus, [SERVICE])
    fakebus.run()


if __name__ == "__main__":
    main()
