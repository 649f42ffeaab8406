#!/usr/bin/python3
"""A stand-in freedesktop Secret Service on the session bus it is given, as much of it as libsecret
uses to store and look up a password. Items live as long as the process, so a second client (the
next start) finds them. Storing asks the user through a prompt: for the default collection
(--keyring absent) or for the item (--keyring present). The prompt is accepted or dismissed
(--answer), at once or when a line comes on standard input (--when). Standard output says "ready"
once the name is owned, "prompt" when a prompt is shown."""

import argparse
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ROOT = "/org/freedesktop/secrets"
NO_OBJECT = dbus.ObjectPath("/")


class Prompt(dbus.service.Object):
    def __init__(self, stand_in, on_accept):
        stand_in.serial += 1
        self.path = dbus.ObjectPath(f"{ROOT}/prompt/{stand_in.serial}")
        super().__init__(stand_in.bus, self.path)
        self.stand_in, self.on_accept = stand_in, on_accept

    @dbus.service.method("org.freedesktop.Secret.Prompt", in_signature="s")
    def Prompt(self, window_id):
        print("prompt", flush=True)
        self.stand_in.waiting.append(self) if self.stand_in.late else GLib.idle_add(self.answer)

    @dbus.service.signal("org.freedesktop.Secret.Prompt", signature="bv")
    def Completed(self, dismissed, result):
        pass

    def answer(self):
        # A dismissed prompt completes with the empty path, as the desktop's keyring does.
        accepted = self.stand_in.accept
        self.Completed(not accepted, dbus.ObjectPath(self.on_accept() if accepted else "/", variant_level=1))


class Item(dbus.service.Object):
    def __init__(self, stand_in, path):
        super().__init__(stand_in.bus, path)
        self.stand_in, self.path = stand_in, path

    @dbus.service.method("org.freedesktop.Secret.Item", out_signature="o")
    def Delete(self):
        self.stand_in.items = [i for i in self.stand_in.items if i[0] != self.path]
        self.remove_from_connection()
        return NO_OBJECT


class Collection(dbus.service.Object):
    # The default collection, reached through its alias as libsecret addresses it.
    def __init__(self, stand_in):
        super().__init__(stand_in.bus, ROOT + "/aliases/default")
        self.stand_in = stand_in

    @dbus.service.method("org.freedesktop.Secret.Collection", in_signature="a{sv}(oayays)b", out_signature="oo")
    def CreateItem(self, properties, secret, replace):
        attributes = dict(properties.get("org.freedesktop.Secret.Item.Attributes", {}))

        def create():
            self.stand_in.serial += 1
            path = f"{ROOT}/collection/login/{self.stand_in.serial}"
            self.stand_in.items = [i for i in self.stand_in.items if i[1] != attributes] + [(path, attributes, secret[2])]
            Item(self.stand_in, path)
            return path

        if self.stand_in.keyring == "present":
            return NO_OBJECT, Prompt(self.stand_in, create).path
        return create(), NO_OBJECT


class Service(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, ROOT)
        self.bus, self.keyring, self.accept = bus, args.keyring, args.answer == "accept"
        self.late = args.when == "late"
        self.items, self.waiting, self.serial = [], [], 0
        if self.keyring == "present":
            Collection(self)

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="sv", out_signature="vo")
    def OpenSession(self, algorithm, parameters):
        if algorithm != "plain":
            raise dbus.exceptions.DBusException(name="org.freedesktop.DBus.Error.NotSupported")
        return dbus.String("", variant_level=1), dbus.ObjectPath(ROOT + "/session/1")

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="a{sv}s", out_signature="oo")
    def CreateCollection(self, properties, alias):
        def create():
            self.collection = Collection(self)
            return self.collection.__dbus_object_path__

        return NO_OBJECT, Prompt(self, create).path

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="a{ss}", out_signature="aoao")
    def SearchItems(self, attributes):
        found = [p for p, a, _ in self.items if all(a.get(k) == v for k, v in attributes.items())]
        return dbus.Array(found, signature="o"), dbus.Array([], signature="o")

    @dbus.service.method("org.freedesktop.Secret.Service", in_signature="aoo", out_signature="a{o(oayays)}")
    def GetSecrets(self, paths, session):
        return {p: (session, b"", dbus.ByteArray(bytes(s)), "text/plain") for p, _, s in self.items if p in paths}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--keyring", choices=["absent", "present"], required=True)
    parser.add_argument("--answer", choices=["accept", "dismiss"], required=True)
    parser.add_argument("--when", choices=["now", "late"], required=True)
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Service(bus, parser.parse_args())
    name = dbus.service.BusName("org.freedesktop.secrets", bus, do_not_queue=True)
    loop = GLib.MainLoop()

    def on_input(source, condition):
        if not sys.stdin.readline():
            loop.quit()
            return False
        while service.waiting:
            service.waiting.pop(0).answer()
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
    print("ready", flush=True)
    loop.run()
    del name


if __name__ == "__main__":
    main()
