#!/usr/bin/python3
"""A stand-in for the desktop portal's GlobalShortcuts interface, on the
session bus given in DBUS_SESSION_BUS_ADDRESS, for the hotkey tests.

It answers CreateSession and BindShortcuts through Request objects as the
real portal does, binds every shortcut it is asked for (or refuses all with
--refuse), and offers the test org.zoq.Test.Portal: Triggers() (the preferred
triggers asked for), Sessions() (the sessions still open) and Press(id)
(Activated on every open session)."""

import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PATH = '/org/freedesktop/portal/desktop'
SHORTCUTS = 'org.freedesktop.portal.GlobalShortcuts'
TEST = 'org.zoq.Test.Portal'

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
refuse = '--refuse' in sys.argv


def handle(kind, sender, token):
    return f'{PATH}/{kind}/{sender[1:].replace(".", "_")}/{token}'


class Request(dbus.service.Object):
    @dbus.service.signal('org.freedesktop.portal.Request', signature='ua{sv}')
    def Response(self, response, results):
        pass


def respond(path, response, results):
    def emit():
        request = Request(bus, path)
        request.Response(dbus.UInt32(response), dbus.Dictionary(results, signature='sv'))
        request.remove_from_connection()
        return False
    GLib.idle_add(emit)


class Session(dbus.service.Object):
    def __init__(self, path, sessions):
        super().__init__(bus, path)
        self.path = path
        self.sessions = sessions

    @dbus.service.method('org.freedesktop.portal.Session', in_signature='', out_signature='')
    def Close(self):
        self.sessions.discard(self.path)
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self):
        super().__init__(bus, PATH)
        self.sessions = set()
        self.triggers = []

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        if interface != SHORTCUTS or name != 'version':
            raise dbus.exceptions.DBusException('no such property',
                                                name='org.freedesktop.DBus.Error.UnknownProperty')
        return dbus.UInt32(1)

    @dbus.service.method(SHORTCUTS, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
    def CreateSession(self, options, sender):
        request = handle('request', sender, options['handle_token'])
        session = handle('session', sender, options['session_handle_token'])
        Session(session, self.sessions)
        self.sessions.add(session)
        respond(request, 0, {'session_handle': dbus.String(session)})
        return dbus.ObjectPath(request)

    @dbus.service.method(SHORTCUTS, in_signature='oa(sa{sv})sa{sv}', out_signature='o', sender_keyword='sender')
    def BindShortcuts(self, session, shortcuts, parent, options, sender):
        request = handle('request', sender, options['handle_token'])
        bound = []
        for shortcut_id, properties in shortcuts:
            self.triggers.append(str(properties.get('preferred_trigger', '')))
            bound.append((shortcut_id, {'description': properties.get('description', ''),
                                        'trigger_description': properties.get('preferred_trigger', '')}))
        if refuse:
            respond(request, 1, {})
        else:
            respond(request, 0, {'shortcuts': dbus.Array(bound, signature='(sa{sv})')})
        return dbus.ObjectPath(request)

    @dbus.service.signal(SHORTCUTS, signature='osta{sv}')
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(TEST, in_signature='', out_signature='as')
    def Triggers(self):
        return self.triggers

    @dbus.service.method(TEST, in_signature='', out_signature='as')
    def Sessions(self):
        return sorted(self.sessions)

    @dbus.service.method(TEST, in_signature='s', out_signature='')
    def Press(self, shortcut_id):
        for session in list(self.sessions):
            self.Activated(dbus.ObjectPath(session), shortcut_id, dbus.UInt64(0),
                           dbus.Dictionary({}, signature='sv'))


portal = Portal()
name = dbus.service.BusName('org.freedesktop.portal.Desktop', bus)
GLib.MainLoop().run()
