#!/usr/bin/python3
"""Stands in for a keyboard in a headless GNOME Shell: a remote-desktop session of Mutter's, held
open until this process is ended, that presses Escape once (which also leaves the overview the
shell starts in). Without a keyboard no window gets the focus. Prints "ready" once pressed."""
import sys

from gi.repository import Gio, GLib

ESCAPE = 0xFF1B

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)


def call(path, interface, method, arguments=None, reply=None):
    return bus.call_sync('org.gnome.Mutter.RemoteDesktop', path, interface, method, arguments,
                         GLib.VariantType(reply) if reply else None, Gio.DBusCallFlags.NONE, 5000, None)


session = call('/org/gnome/Mutter/RemoteDesktop', 'org.gnome.Mutter.RemoteDesktop', 'CreateSession',
               None, '(o)').unpack()[0]
call(session, 'org.gnome.Mutter.RemoteDesktop.Session', 'Start')
for pressed in (True, False):
    call(session, 'org.gnome.Mutter.RemoteDesktop.Session', 'NotifyKeyboardKeysym',
         GLib.Variant('(ub)', (ESCAPE, pressed)))
print('ready', flush=True)
GLib.MainLoop().run()
sys.exit(0)
