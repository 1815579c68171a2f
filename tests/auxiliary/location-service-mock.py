#!/usr/bin/python3
# A stand-in for the system location service (org.freedesktop.GeoClue2) on a private bus, for
# tests: one client, a fix in central Berlin after every Start. --deny refuses Start as the
# service does for an application it may not serve; SIGUSR1 takes access away (deactivates a
# running client, refuses later starts) and prints "withdrawn". Prints "ready" once it owns its name.
import os
import signal
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PROPS = "org.freedesktop.DBus.Properties"
CLIENT = "org.freedesktop.GeoClue2.Client"
DENIED = "org.freedesktop.DBus.Error.AccessDenied"
deny = "--deny" in sys.argv


class PropertyObject(dbus.service.Object):
    def __init__(self, bus, path, props):
        super().__init__(bus, path)
        self.props = props

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.props[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props


class Client(PropertyObject):
    PATH = "/org/freedesktop/GeoClue2/Client/1"

    def __init__(self, bus):
        super().__init__(bus, self.PATH, {
            "DesktopId": dbus.String(""), "DistanceThreshold": dbus.UInt32(0), "TimeThreshold": dbus.UInt32(0),
            "RequestedAccuracyLevel": dbus.UInt32(0), "Location": dbus.ObjectPath("/"), "Active": dbus.Boolean(False)})
        self.bus = bus
        self.fixes = []

    @dbus.service.method(PROPS, in_signature="ssv")
    def Set(self, interface, name, value):
        if name not in ("DesktopId", "DistanceThreshold", "TimeThreshold", "RequestedAccuracyLevel"):
            raise dbus.exceptions.DBusException("read-only", name="org.freedesktop.DBus.Error.PropertyReadOnly")
        self.props[name] = value

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.signal(CLIENT, signature="oo")
    def LocationUpdated(self, old, new):
        pass

    @dbus.service.method(CLIENT)
    def Start(self):
        if deny or not self.props["DesktopId"]:
            raise dbus.exceptions.DBusException("not allowed", name=DENIED)
        self.set_active(True)
        GLib.idle_add(self.new_fix)

    @dbus.service.method(CLIENT)
    def Stop(self):
        self.set_active(False)

    def set_active(self, active):
        self.props["Active"] = dbus.Boolean(active)
        self.PropertiesChanged(CLIENT, {"Active": dbus.Boolean(active)}, [])

    def new_fix(self):
        now = time.time()
        path = "/org/freedesktop/GeoClue2/Location/%d" % (len(self.fixes) + 1)
        self.fixes.append(PropertyObject(self.bus, path, {
            "Latitude": dbus.Double(52.5163), "Longitude": dbus.Double(13.3777), "Accuracy": dbus.Double(25.0),
            "Timestamp": dbus.Struct((dbus.UInt64(int(now)), dbus.UInt64(int(now % 1 * 1e6))), signature="tt")}))
        old = self.props["Location"]
        self.props["Location"] = dbus.ObjectPath(path)
        self.LocationUpdated(old, path)
        return False


class Manager(PropertyObject):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/GeoClue2/Manager",
                         {"AvailableAccuracyLevel": dbus.UInt32(8), "InUse": dbus.Boolean(False)})

    @dbus.service.method("org.freedesktop.GeoClue2.Manager", out_signature="o")
    def GetClient(self):
        return dbus.ObjectPath(Client.PATH)


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
client = Client(bus)
manager = Manager(bus)
name = dbus.service.BusName("org.freedesktop.GeoClue2", bus)
loop = GLib.MainLoop()
def withdraw():
    global deny
    deny = True  # as the service does once access is taken away: later starts are refused too
    client.set_active(False)
    print("withdrawn", flush=True)
    return True


GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, withdraw)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: loop.quit() or False)
print("ready", flush=True)
loop.run()
