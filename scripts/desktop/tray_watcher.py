"""A tray of our own on the session bus: a status-item watcher that is its own host, and a reader of the items
registered with it. Run with Debian's /usr/bin/python3 on the session bus of with-session.sh.

  tray_watcher.py serve                  serves until SIGTERM; prints "ready", then one JSON line per signal an
      item sends: {"t": CLOCK_MONOTONIC seconds when it arrived, "event": the signal's name, "pid": the item's}
  tray_watcher.py click LABEL --pid PID  sends "clicked" to the menu entry shown as LABEL
  tray_watcher.py wait TEXT --pid PID [--timeout SECONDS]  waits (20 s) until TEXT occurs in the view's JSON

A view: {"tooltip": its title, "icon": a digest of IconPixmap, "menu": [{"id", "type", "label" as shown,
"enabled", "shortcut"}, ...]}
"""

import contextlib
import hashlib
import json
import re
import select
import subprocess
import sys
import threading
import time

import dbus
import dbus.service

WATCHER, WATCHER_PATH = "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"
ITEM, ITEM_PATH = "org.kde.StatusNotifierItem", "/StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


def pid_of(bus, name):
    return int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetConnectionUnixProcessID", "s", (name,)))


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, WATCHER_PATH)
        self.bus, self.items = bus, {}  # registered name -> (its owner's unique name, pid)
        for interface in (ITEM, MENU):
            bus.add_signal_receiver(self.signal, dbus_interface=interface, sender_keyword="sender",
                                    member_keyword="member")
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items.setdefault(str(service), (str(sender), pid_of(self.bus, sender)))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "RegisteredStatusNotifierItems": dbus.Array(list(self.items), signature="s")}[str(name)]

    # Qt 6.4 places its item only when the introspection data describes IsStatusNotifierHostRegistered.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s", path_keyword="object_path",
                         connection_keyword="connection")
    def Introspect(self, object_path, connection):
        xml = dbus.service.Object.Introspect(self, object_path, connection)
        return xml.replace(f'<interface name="{WATCHER}">', f'<interface name="{WATCHER}">'
                           '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>')

    def signal(self, *arguments, sender=None, member=None):
        t = time.monotonic()
        pid = next((pid for owner, pid in self.items.values() if owner == sender), None)
        if pid is not None:
            print(json.dumps({"t": t, "event": member, "pid": pid}), flush=True)

    def owner_changed(self, name, old, new):
        if not new:
            self.items = {item: owner for item, owner in self.items.items() if name not in (item, owner[0])}


def serve():
    import dbus.mainloop.glib
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus, loop = dbus.SessionBus(), GLib.MainLoop()
    watcher = Watcher(bus)
    # Kept on the object: the name is released when its holder is collected.
    watcher.owned_name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    print("ready", flush=True)
    loop.run()


def registered_items():
    """(bus name, owner's pid) of each registered item; a bar's watcher adds the object's path to the name."""
    bus = dbus.SessionBus()
    watcher = bus.get_object(WATCHER, WATCHER_PATH, introspect=False)
    names = [str(entry).split("/", 1)[0] for entry in
             watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE)]
    return [(name, pid_of(bus, name)) for name in names]


class Item:
    """The item that process pid registered, read afresh on every call; a menu read keeps the menu's object."""

    def __init__(self, pid):
        names = [name for name, owner in registered_items() if owner == pid]
        if len(names) != 1:
            raise LookupError(f"expected one registered item of pid {pid}, found {len(names)}")
        self.bus = dbus.SessionBus()
        self.object = self.bus.get_object(names[0], ITEM_PATH, introspect=False)

    def menu(self, properties=None):
        properties = properties or self.object.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        self.menu_object = self.bus.get_object(self.object.bus_name, str(properties["Menu"]), introspect=False)
        layout = self.menu_object.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU)[1]
        # The protocol's defaults; "_x" shows as "x", "__" as "_".
        return [{"id": int(i), "type": str(p.get("type", "standard")), "enabled": bool(p.get("enabled", True)),
                 "label": re.sub("_(.)", r"\1", str(p.get("label", "")), flags=re.S),
                 "shortcut": [[str(key) for key in keys] for keys in p.get("shortcut", [])]} for i, p, *_ in layout[2]]

    def view(self):
        properties = self.object.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        # Images of (width, height, ARGB bytes), digested so that pictures compare cheaply.
        icon = hashlib.sha256(b"".join(f"{int(w)}x{int(h)}:".encode() + bytes(data)
                                       for w, h, data in properties.get("IconPixmap", [])))
        return {"tooltip": str(properties["ToolTip"][2]) if "ToolTip" in properties else None,
                "icon": icon.hexdigest()[:16] if properties.get("IconPixmap") else None,
                "menu": self.menu(properties)}

    def entry_id(self, label):
        entries = [e for e in self.menu() if e["label"] == label]
        if len(entries) != 1:
            raise LookupError(f"expected one menu entry {label!r}, found {len(entries)}")
        return entries[0]["id"]

    def clicked(self, entry_id):
        self.menu_object.Event(dbus.Int32(entry_id), "clicked", dbus.Int32(0, variant_level=1),
                               dbus.UInt32(int(time.time()) & 0xFFFFFFFF), dbus_interface=MENU)

    def click(self, label):
        self.clicked(self.entry_id(label))


def wait_view(pid, condition, timeout=20):
    """Reads the item of pid until condition(view) holds and answers that view."""
    deadline, view = time.monotonic() + timeout, None
    while True:
        with contextlib.suppress(LookupError, dbus.exceptions.DBusException):  # not registered (yet or any more)
            view = Item(pid).view()
            if condition(view):
                return view
        if time.monotonic() >= deadline:
            raise AssertionError(f"not shown within {timeout:g} s; the tray shows {json.dumps(view)}")
        time.sleep(0.05)


class WatcherProcess:
    """serve in a child process, ready once constructed."""

    def __init__(self):
        self.process = subprocess.Popen(["/usr/bin/python3", __file__, "serve"], stdout=subprocess.PIPE, text=True)
        if not select.select([self.process.stdout], [], [], 20)[0] or self.process.stdout.readline() != "ready\n":
            self.stop()
            raise AssertionError("the tray watcher did not start")
        # Its reports are read and dropped, so that a full pipe never stops it.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


if __name__ == "__main__":
    args = sys.argv[1:]
    options = {name: args.pop(args.index(name) + 1) for name in ("--pid", "--timeout") if name in args}
    args = [a for a in args if a not in options]
    if args == ["serve"]:
        serve()
    elif len(args) == 2 and args[0] == "click" and "--pid" in options:
        Item(int(options["--pid"])).click(args[1])
    elif len(args) == 2 and args[0] == "wait" and "--pid" in options:
        try:
            wait_view(int(options["--pid"]), lambda view: args[1] in json.dumps(view, ensure_ascii=False),
                      float(options.get("--timeout", 20)))
        except AssertionError as error:
            sys.exit(f"tray_watcher: {args[1]!r} {error}")
    else:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        sys.exit(2)
