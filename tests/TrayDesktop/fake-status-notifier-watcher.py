#!/usr/bin/python3
"""A StatusNotifierItem watcher for tests, on the session bus.

It owns org.kde.StatusNotifierWatcher allowing replacement, reports a
registered host, and lists the items that register with it (as
"sender/path", or the service name an item gives). With --replace it takes
the name over from a running watcher, the way a panel that replaces another
does: the name changes owner without ever being free.
"""

import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = 'org.kde.StatusNotifierWatcher'
PATH = '/StatusNotifierWatcher'
PROPERTIES = 'org.freedesktop.DBus.Properties'

INTROSPECTION = f'''<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="{NAME}">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
  <interface name="{PROPERTIES}">
    <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
    <method name="GetAll"><arg type="s" direction="in"/><arg type="a{{sv}}" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg type="s" direction="out"/></method>
  </interface>
</node>
'''

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()


class Watcher(dbus.service.Object):
    def __init__(self):
        super().__init__(bus, PATH)
        self.items = []
        bus.add_signal_receiver(self.name_owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus')

    def name_owner_changed(self, name, old, new):
        if new:
            return
        # An item whose connection went away is no longer registered.
        gone = [item for item in self.items if item.split('/', 1)[0] == name]
        for item in gone:
            self.items.remove(item)
            self.StatusNotifierItemUnregistered(item)

    @dbus.service.method('org.freedesktop.DBus.Introspectable', in_signature='', out_signature='s')
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(NAME, in_signature='s', out_signature='', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender):
        item = sender + service if service.startswith('/') else service
        if item not in self.items:
            self.items.append(item)
            self.StatusNotifierItemRegistered(item)

    @dbus.service.method(NAME, in_signature='s', out_signature='')
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(NAME, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(NAME, signature='s')
    def StatusNotifierItemUnregistered(self, item):
        pass

    def values(self):
        return {'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s'),
                'IsStatusNotifierHostRegistered': dbus.Boolean(True),
                'ProtocolVersion': dbus.Int32(0)}

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.values()[name]

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.values()


watcher = Watcher()
name = dbus.service.BusName(NAME, bus, allow_replacement=True, replace_existing='--replace' in sys.argv,
                            do_not_queue=True)
GLib.MainLoop().run()
