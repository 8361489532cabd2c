#!/usr/bin/python3
"""A stand-in for the desktop's notification service.

Owns org.freedesktop.Notifications on the session bus named by
DBUS_SESSION_BUS_ADDRESS, prints READY once it does, then prints the
application name, summary and body of every notification it is sent as one
line of JSON, until it is stopped.
"""
import json

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

INTERFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    last_id = 0

    @dbus.service.method(INTERFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        print(json.dumps([str(app_name), str(summary), str(body)]), flush=True)
        self.last_id += 1
        return self.last_id

    @dbus.service.method(INTERFACE, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(INTERFACE, out_signature="ssss")
    def GetServerInformation(self):
        return ("notification-standin", "mirvo tests", "1.0", "1.2")


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
session = dbus.SessionBus()
name = dbus.service.BusName(INTERFACE, session, do_not_queue=True)
service = Notifications(session, "/org/freedesktop/Notifications")
print("READY", flush=True)
GLib.MainLoop().run()
