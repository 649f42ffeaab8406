#!/usr/bin/python3
"""A stand-in freedesktop Secret Service, as much of it as libsecret uses to store and look up a
password. Run it in a session bus of its own (dbus-run-session); it prints "ready ADDRESS" once it
owns its name. Items live as long as the process. Storing asks through a prompt, for the default
collection (keyring "absent") or for the item ("present"), accepted or dismissed "now" or, when
"late", at each line on standard input. A list such as "accept:now,dismiss:late" answers the
first prompt as its first entry and so on, the rest as its last ("accept" alone: when the last
argument says). A prompt left for a line prints "prompt open"."""

import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ROOT, NONE = "/org/freedesktop/secrets", dbus.ObjectPath("/")
keyring, answers, when = sys.argv[1:4]
plan = [(entry.split(":") + [when])[:2] for entry in answers.split(",")]
items, waiting, serial = [], [], [0]


def new_path(kind):
    serial[0] += 1
    return f"{ROOT}/{kind}/{serial[0]}"


class Prompt(dbus.service.Object):
    def __init__(self, on_accept):
        self.path, self.on_accept = new_path("prompt"), on_accept
        (self.accept, self.when) = plan.pop(0) if len(plan) > 1 else plan[0]
        super().__init__(bus, self.path)

    @dbus.service.method("org.freedesktop.Secret.Prompt", in_signature="s")
    def Prompt(self, window_id):
        (waiting.append(self), print("prompt open", flush=True)) if self.when == "late" else GLib.idle_add(self.answer)

    @dbus.service.signal("org.freedesktop.Secret.Prompt", signature="bv")
    def Completed(self, dismissed, result):
        pass

    def answer(self):  # dismissed with the empty path, as the desktop's keyring does
        accept = self.accept == "accept"
        self.Completed(not accept, dbus.ObjectPath(self.on_accept() if accept else "/", variant_level=1))


class Item(dbus.service.Object):
    def __init__(self, attributes, secret):
        self.path = new_path("item")
        super().__init__(bus, self.path)
        items[:] = [i for i in items if i.attributes != attributes] + [self]
        self.attributes, self.secret = attributes, bytes(secret)

    @dbus.service.method("org.freedesktop.Secret.Item", out_signature="o")
    def Delete(self):
        items.remove(self)
        return NONE


class Collection(dbus.service.Object):  # the default one, at the alias path libsecret uses
    def __init__(self):
        super().__init__(bus, ROOT + "/aliases/default")

    @dbus.service.method("org.freedesktop.Secret.Collection", in_signature="a{sv}(oayays)b", out_signature="oo")
    def CreateItem(self, properties, secret, replace):
        create = lambda: Item(dict(properties["org.freedesktop.Secret.Item.Attributes"]), secret[2]).path
        return (NONE, Prompt(create).path) if keyring == "present" else (create(), NONE)


class Service(dbus.service.Object):
    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="sv", out_signature="vo")
    def OpenSession(self, algorithm, parameters):
        if algorithm != "plain":
            raise dbus.exceptions.DBusException(name="org.freedesktop.DBus.Error.NotSupported")
        return dbus.String("", variant_level=1), dbus.ObjectPath(ROOT + "/session/1")

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="a{sv}s", out_signature="oo")
    def CreateCollection(self, properties, alias):
        return NONE, Prompt(lambda: Collection().__dbus_object_path__).path

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="a{ss}", out_signature="aoao")
    def SearchItems(self, attributes):
        found = [i.path for i in items if attributes.items() <= i.attributes.items()]
        return dbus.Array(found, signature="o"), dbus.Array([], signature="o")

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="aoo", out_signature="a{o(oayays)}")
    def GetSecrets(self, paths, session):
        return {i.path: (session, b"", dbus.ByteArray(i.secret), "text/plain") for i in items if i.path in paths}


def on_input(source, condition):
    if not sys.stdin.readline():
        loop.quit()
    while waiting:
        waiting.pop(0).answer()
    return True


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
service, kept = Service(bus, ROOT), [Collection()] if keyring == "present" else []
name = dbus.service.BusName("org.freedesktop.secrets", bus, do_not_queue=True)
loop = GLib.MainLoop()
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
print("ready", os.environ["DBUS_SESSION_BUS_ADDRESS"], flush=True)
loop.run()
