"""A status-item watcher and host of our own, and a reader of the items it hosts: the menu-bar mode as a
desktop's tray sees it. Run with Debian's /usr/bin/python3 on the session bus of with-session.sh.

The host's view of an item changes only when the item says so on the bus, as a tray repaints. Qt 6.4 places
its item only when the watcher's introspection data describes IsStatusNotifierHostRegistered and it is true.

  tray_watcher.py serve                  hosts every item that registers; prints "ready", then one JSON line
      per change until SIGTERM: {"t": CLOCK_MONOTONIC seconds when the signal arrived, "event": "registered",
      "unregistered" or the signal's name, "item": its bus name, "pid", "view"}
  tray_watcher.py click LABEL --pid PID  sends "clicked" to the menu entry shown as LABEL
  tray_watcher.py wait TEXT --pid PID [--timeout SECONDS]  waits (20 s) until TEXT occurs in the view's JSON

A view: {"tooltip": its title, "icon": a digest of IconPixmap, "menu": [{"id", "type", "label" as shown,
"enabled", "shortcut"}, ...]}
"""

import contextlib
import hashlib
import json
import os
import re
import subprocess
import sys
import threading
import time

import dbus
import dbus.service

WATCHER, WATCHER_PATH = "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"
ITEM, ITEM_PATH = "org.kde.StatusNotifierItem", "/StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
NO_NAMES = dbus.Array([], signature="s")


def menu_entry(item_id, properties):
    """One menu position from its properties, with the protocol's defaults; "_x" shows as "x", "__" as "_"."""
    return {"id": int(item_id), "type": str(properties.get("type", "standard")),
            "label": re.sub("_(.)", r"\1", str(properties.get("label", "")), flags=re.S),
            "enabled": bool(properties.get("enabled", True)),
            "shortcut": [[str(key) for key in keys] for keys in properties.get("shortcut", [])]}


def apply_property(view, name, value):
    if name == "ToolTip":
        view["tooltip"] = str(value[2])
    elif name == "IconPixmap":  # images of (width, height, ARGB bytes), digested so that pictures compare cheaply
        digest = hashlib.sha256(b"".join(f"{int(w)}x{int(h)}:".encode() + bytes(data) for w, h, data in value))
        view["icon"] = digest.hexdigest()[:16] if value else None


def pid_of(bus, name):
    return int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetConnectionUnixProcessID", "s", (name,)))


class Watcher(dbus.service.Object):
    def __init__(self, bus, report):
        super().__init__(bus, WATCHER_PATH)
        self.bus, self.report, self.items = bus, report, {}  # bus name -> HostedItem

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        if str(service) not in self.items:
            self.items[str(service)] = HostedItem(self, str(service), str(sender))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "RegisteredStatusNotifierItems": dbus.Array(list(self.items), signature="s")}[str(name)]

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s", path_keyword="object_path",
                         connection_keyword="connection")
    def Introspect(self, object_path, connection):
        xml = dbus.service.Object.Introspect(self, object_path, connection)
        return xml.replace(f'<interface name="{WATCHER}">', f'<interface name="{WATCHER}">'
                           '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>')


class HostedItem:
    """One registered item as the host shows it. Every read is asynchronous: the item's process may be
    calling the watcher at the same moment, and a blocking read would deadlock with it."""

    SIGNAL_READS = {"NewIcon": "IconPixmap", "NewToolTip": "ToolTip"}

    def __init__(self, watcher, name, sender):
        self.watcher, self.name, self.sender, bus = watcher, name, sender, watcher.bus
        self.pid = pid_of(bus, sender)
        self.object = bus.get_object(name, ITEM_PATH, introspect=False)
        self.view = {"tooltip": None, "icon": None, "menu": None}
        self.matches = [bus.add_signal_receiver(self.item_signal, dbus_interface=ITEM, bus_name=sender,
                                                path=ITEM_PATH, member_keyword="member"),
                        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus",
                                                arg0=sender)]
        t = time.monotonic()
        self.object.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE,
                           reply_handler=lambda values: self.first_read(t, values), error_handler=self.failed)

    def emit(self, t, event):
        if self.view["menu"] is not None:  # else the first full read, still under way, reports the item
            self.watcher.report({"t": t, "event": event, "item": self.name, "pid": self.pid, "view": self.view})

    def failed(self, error):
        print(f"tray_watcher: reading {self.name} failed: {error}", file=sys.stderr, flush=True)

    def first_read(self, t, values):
        for name, value in values.items():
            apply_property(self.view, str(name), value)
        bus, path = self.watcher.bus, str(values["Menu"])
        self.menu_object = bus.get_object(self.sender, path, introspect=False)
        self.matches.append(bus.add_signal_receiver(self.menu_signal, dbus_interface=MENU, bus_name=self.sender,
                                                    path=path, member_keyword="member"))
        self.read_layout(t, "registered")

    def read_layout(self, t, event):
        def done(revision, layout):  # layout: (id, properties, children)
            self.view["menu"] = [menu_entry(*child[:2]) for child in layout[2]]
            self.emit(t, event)
        self.menu_object.GetLayout(0, -1, NO_NAMES, dbus_interface=MENU, reply_handler=done,
                                   error_handler=self.failed)

    def item_signal(self, *arguments, member=None):
        t, name = time.monotonic(), self.SIGNAL_READS.get(member)
        if name is None:
            return self.emit(t, member)

        def read(value):
            apply_property(self.view, name, value)
            self.emit(t, member)
        self.object.Get(ITEM, name, dbus_interface=dbus.PROPERTIES_IFACE, reply_handler=read,
                        error_handler=self.failed)

    def menu_signal(self, *arguments, member=None):
        t = time.monotonic()
        if self.view["menu"] is None:
            return  # the first layout read is still under way and will carry this change
        if member == "LayoutUpdated":
            return self.read_layout(t, member)
        if member == "ItemsPropertiesUpdated":
            updated, removed = arguments
            entries = {entry["id"]: entry for entry in self.view["menu"]}
            # Only what the signal names changes; the view's keys are the protocol's property names.
            for item_id, properties in updated:
                entries.get(int(item_id), {}).update(
                    {k: v for k, v in menu_entry(item_id, properties).items() if k in properties})
            for item_id, names in removed:
                entries.get(int(item_id), {}).update(
                    {k: v for k, v in menu_entry(item_id, {}).items() if k in names})
            self.emit(t, member)

    def owner_changed(self, name, old, new):
        if not new:
            for match in self.matches:
                match.remove()
            self.watcher.items.pop(self.name, None)
            self.emit(time.monotonic(), "unregistered")


def serve():
    import dbus.mainloop.glib
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus, loop = dbus.SessionBus(), GLib.MainLoop()

    def report(line):
        try:
            print(json.dumps(line), flush=True)
        except BrokenPipeError:
            loop.quit()
    watcher = Watcher(bus, report)
    # Kept on the object: the name is released when its holder is collected.
    watcher.owned_name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    print("ready", flush=True)
    loop.run()


def registered_items():
    """The items registered with the running watcher, as (bus name, owner's pid)."""
    bus = dbus.SessionBus()
    watcher = bus.get_object(WATCHER, WATCHER_PATH, introspect=False)
    return [(str(name), pid_of(bus, str(name))) for name in
            watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE)]


class Item:
    """The item that process pid registered, read afresh on every call."""

    def __init__(self, pid):
        names = [name for name, owner in registered_items() if owner == pid]
        if len(names) != 1:
            raise LookupError(f"expected one registered item of pid {pid}, found {len(names)}")
        self.bus = dbus.SessionBus()
        self.object = self.bus.get_object(names[0], ITEM_PATH, introspect=False)

    def read(self):
        """The item's properties and its menu's entries; keeps the menu's object for a click."""
        properties = self.object.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        self.menu = self.bus.get_object(self.object.bus_name, str(properties["Menu"]), introspect=False)
        layout = self.menu.GetLayout(0, -1, NO_NAMES, dbus_interface=MENU)[1]
        return properties, [menu_entry(*child[:2]) for child in layout[2]]

    def view(self):
        properties, menu = self.read()
        view = {"tooltip": None, "icon": None, "menu": menu}
        for name, value in properties.items():
            apply_property(view, str(name), value)
        return view

    def click(self, label):
        """Sends "clicked" to the one menu entry shown as label, as a tray does when it is chosen."""
        entries = [e for e in self.read()[1] if e["label"] == label]
        if len(entries) != 1:
            raise LookupError(f"expected one menu entry {label!r}, found {len(entries)}")
        self.menu.Event(dbus.Int32(entries[0]["id"]), "clicked", dbus.Int32(0, variant_level=1),
                        dbus.UInt32(int(time.time()) & 0xFFFFFFFF), dbus_interface=MENU)


item_of = Item


class WatcherProcess:
    """Runs serve in a child process and keeps what it reports; waits wake on each report, no polling."""

    def __init__(self):
        self.process = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__), "serve"],
                                        stdout=subprocess.PIPE, text=True)
        self.events, self.ready, self.changed = [], False, threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        try:
            self.wait(lambda events: self.ready, lambda events: "the watcher did not start", 20)
        except AssertionError:
            self.stop()
            raise

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                if line == "ready\n":
                    self.ready = True
                else:
                    self.events.append(json.loads(line))
                self.changed.notify_all()

    def wait(self, condition, describe, timeout):
        """Waits until condition(events) answers something truthy and returns it; else AssertionError."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while not (value := condition(self.events)):
                if time.monotonic() >= deadline:
                    raise AssertionError(f"timed out after {timeout:g} s: {describe(self.events)}")
                self.changed.wait(deadline - time.monotonic())
            return value

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


def wait_shown(text, pid, timeout):
    """Polls the item's view, read afresh, until text occurs in its JSON; exits with status 1 if not in time."""
    deadline, seen = time.monotonic() + timeout, ""
    while True:
        with contextlib.suppress(LookupError, dbus.exceptions.DBusException):  # not registered yet
            seen = json.dumps(Item(pid).view(), ensure_ascii=False)
        if text in seen:
            return
        if time.monotonic() >= deadline:
            sys.exit(f"tray_watcher: {text!r} not shown within {timeout:g} s; last view: {seen}")
        time.sleep(0.1)


if __name__ == "__main__":
    args = sys.argv[1:]
    options = {name: args.pop(args.index(name) + 1) for name in ("--pid", "--timeout") if name in args}
    args = [a for a in args if a not in options]
    if args == ["serve"]:
        serve()
    elif len(args) == 2 and args[0] == "click" and "--pid" in options:
        Item(int(options["--pid"])).click(args[1])
    elif len(args) == 2 and args[0] == "wait" and "--pid" in options:
        wait_shown(args[1], int(options["--pid"]), float(options.get("--timeout", 20)))
    else:
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        sys.exit(2)
