"""A status-item watcher and host of our own, and a reader of the items it hosts: the menu-bar mode as a
desktop's tray sees it, and the clicks a tray sends. Run with Debian's /usr/bin/python3 (python3-dbus,
python3-gi) on the session bus of with-session.sh.

The host keeps a view of each item that changes only when the item says so on the bus (NewIcon, NewToolTip,
ItemsPropertiesUpdated, ...), as a tray would repaint: a property that changes without its signal never
reaches the view. Qt 6.4 places its item on the bus only when the watcher describes the property
IsStatusNotifierHostRegistered in its introspection data and answers true, so the watcher does both.

As a program:
  tray_watcher.py serve
      owns the watcher's name and hosts every item that registers; prints "ready", then one JSON line per
      change it sees, until stopped (SIGTERM):
      {"t": when the signal arrived (CLOCK_MONOTONIC seconds), "event": "registered" | "unregistered" | the
       signal's name, "item": the item's bus name, "pid": its process, "view": the item as now shown}
  tray_watcher.py show [--pid PID]            prints an item's view, read afresh, as JSON
  tray_watcher.py click LABEL [--pid PID]     sends "clicked" to the menu entry shown as LABEL
  tray_watcher.py wait TEXT [--pid PID] [--timeout SECONDS]
                                              waits (default 20 s) until the item is registered and TEXT
                                              occurs in its view's JSON; status 1 when it does not in time
Without --pid the one registered item is meant.

A view: {"title", "status", "tooltip" (the tooltip's title), "icon_name", "icon" (a digest of IconPixmap, or
None when empty), "icon_sizes", "menu": [{"id", "type", "label" (as shown: the mnemonic marks of the menu
protocol removed), "enabled", "visible", "shortcut"}, ...]}
"""

import hashlib
import json
import os
import queue
import subprocess
import sys
import threading
import time

import dbus
import dbus.service

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
ITEM_PATH = "/StatusNotifierItem"


def shown_label(label):
    """The text a tray shows for a menu label: "_" marks the next character as the mnemonic, "__" is "_"."""
    shown, i = [], 0
    while i < len(label):
        if label[i] == "_" and i + 1 < len(label):
            i += 1
        shown.append(label[i])
        i += 1
    return "".join(shown)


def menu_entry(item_id, properties):
    """One menu position from its dbusmenu properties, with the protocol's defaults filled in."""
    return {
        "id": int(item_id),
        "type": str(properties.get("type", "standard")),
        "label": shown_label(str(properties.get("label", ""))),
        "enabled": bool(properties.get("enabled", True)),
        "visible": bool(properties.get("visible", True)),
        "shortcut": [[str(key) for key in keys] for keys in properties.get("shortcut", [])],
    }


def menu_entries(layout):
    """The top-level positions of a GetLayout answer (revision, (id, properties, children))."""
    return [menu_entry(child[0], child[1]) for child in layout[1][2]]


def pixmap_digest(pixmaps):
    """A digest of IconPixmap's images (width, height, ARGB bytes), so that pictures compare cheaply."""
    if not pixmaps:
        return None
    digest = hashlib.sha256()
    for width, height, data in pixmaps:
        digest.update(f"{int(width)}x{int(height)}:".encode())
        digest.update(bytes(data))
    return digest.hexdigest()[:16]


def apply_item_properties(view, name, value):
    if name == "Title":
        view["title"] = str(value)
    elif name == "Status":
        view["status"] = str(value)
    elif name == "ToolTip":
        view["tooltip"] = str(value[2])
    elif name == "IconName":
        view["icon_name"] = str(value)
    elif name == "IconPixmap":
        view["icon"] = pixmap_digest(value)
        view["icon_sizes"] = [[int(p[0]), int(p[1])] for p in value]


def item_address(service, sender):
    """Where an item lives, from what it registered: a bus name, or an object path on the caller's connection."""
    if service.startswith("/"):
        return sender, service
    return service, ITEM_PATH


# ---------------------------------------------------------------------------------------------------------
# The watcher and host (serve).

class Watcher(dbus.service.Object):
    def __init__(self, bus, report):
        super().__init__(bus, WATCHER_PATH)
        self.bus = bus
        self.report = report
        self.items = {}  # registered service string -> HostedItem

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        name, path = item_address(str(service), str(sender))
        key = name if path == ITEM_PATH else f"{name}{path}"
        if key not in self.items:
            self.items[key] = HostedItem(self, key, name, path, str(sender))
            self.StatusNotifierItemRegistered(key)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, service):
        pass

    def forget(self, key):
        if self.items.pop(key, None) is not None:
            self.StatusNotifierItemUnregistered(key)

    def properties(self):
        # The host is this process, there from the start.
        return {"IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "RegisteredStatusNotifierItems": dbus.Array(list(self.items), signature="s"),
                "ProtocolVersion": dbus.Int32(0)}

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties()[str(name)]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties()

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s", path_keyword="object_path",
                         connection_keyword="connection")
    def Introspect(self, object_path, connection):
        xml = dbus.service.Object.Introspect(self, object_path, connection)
        described = ('<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>'
                     '<property name="RegisteredStatusNotifierItems" type="as" access="read"/>'
                     '<property name="ProtocolVersion" type="i" access="read"/>')
        return xml.replace(f'<interface name="{WATCHER}">', f'<interface name="{WATCHER}">{described}')


class HostedItem:
    """One registered item as the host shows it. Every read is asynchronous: the item's process may be
    calling the watcher at the same moment, and a blocking read would deadlock with it."""

    SIGNAL_READS = {"NewIcon": ("IconName", "IconPixmap"), "NewToolTip": ("ToolTip",), "NewTitle": ("Title",)}

    def __init__(self, watcher, key, name, path, sender):
        self.watcher, self.key, self.sender = watcher, key, sender
        bus = watcher.bus
        self.pid = int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "GetConnectionUnixProcessID", "s", (sender,)))
        self.object = bus.get_object(name, path, introspect=False)
        self.view = {"title": None, "status": None, "tooltip": None, "icon_name": None, "icon": None,
                     "icon_sizes": [], "menu": None}
        self.menu_object = None
        self.matches = [bus.add_signal_receiver(self.item_signal, dbus_interface=ITEM, bus_name=sender, path=path,
                                                member_keyword="member"),
                        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus",
                                                arg0=sender)]
        t = time.monotonic()
        self.object.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE,
                           reply_handler=lambda values: self.first_read(t, values), error_handler=self.failed)

    def emit(self, t, event):
        if self.view["menu"] is None:
            return  # not shown yet: the first full read, still under way, reports the item
        self.watcher.report({"t": t, "event": event, "item": self.key, "pid": self.pid, "view": self.view})

    def failed(self, error):
        print(f"tray_watcher: reading {self.key} failed: {error}", file=sys.stderr, flush=True)

    def first_read(self, t, values):
        for name, value in values.items():
            apply_item_properties(self.view, str(name), value)
        self.menu_object = self.watcher.bus.get_object(self.sender, str(values["Menu"]), introspect=False)
        self.matches.append(self.watcher.bus.add_signal_receiver(
            self.menu_signal, dbus_interface=MENU, bus_name=self.sender, path=str(values["Menu"]),
            member_keyword="member"))
        self.read_layout(t, "registered")

    def read_layout(self, t, event):
        def done(revision, layout):
            self.view["menu"] = menu_entries((revision, layout))
            self.emit(t, event)
        self.menu_object.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU,
                                   reply_handler=done, error_handler=self.failed)

    def item_signal(self, *arguments, member=None):
        t = time.monotonic()
        if member == "NewStatus":
            self.view["status"] = str(arguments[0])
            self.emit(t, member)
            return
        names = self.SIGNAL_READS.get(member, ())
        if not names:
            self.emit(t, member)
            return
        pending = list(names)

        def read(name, value):
            apply_item_properties(self.view, name, value)
            pending.remove(name)
            if not pending:
                self.emit(t, member)
        for name in names:
            self.object.Get(ITEM, name, dbus_interface=dbus.PROPERTIES_IFACE,
                            reply_handler=lambda value, name=name: read(name, value), error_handler=self.failed)

    def menu_signal(self, *arguments, member=None):
        t = time.monotonic()
        if self.view["menu"] is None:
            return  # the first layout read is still under way and will carry this change
        if member == "ItemsPropertiesUpdated":
            updated, removed = arguments
            for entry in self.view["menu"]:
                for item_id, properties in updated:
                    if int(item_id) == entry["id"]:
                        # The view's keys are the protocol's property names.
                        entry.update({k: v for k, v in menu_entry(item_id, properties).items() if k in properties})
                for item_id, names in removed:
                    if int(item_id) == entry["id"]:
                        defaults = menu_entry(item_id, {})
                        entry.update({k: defaults[k] for k in defaults if k in names})
            self.emit(t, member)
        elif member == "LayoutUpdated":
            self.read_layout(t, member)

    def owner_changed(self, name, old, new):
        if not new:
            for match in self.matches:
                match.remove()
            self.watcher.forget(self.key)
            self.emit(time.monotonic(), "unregistered")


def serve():
    import dbus.mainloop.glib
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()

    def report(line):
        try:
            print(json.dumps(line), flush=True)
        except BrokenPipeError:
            loop.quit()
    watcher = Watcher(bus, report)
    try:
        # Kept on the object: the name is released when its holder is collected.
        watcher.owned_name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    except dbus.exceptions.NameExistsException:
        print(f"tray_watcher: {WATCHER} is already on the bus", file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    print("ready", flush=True)
    loop.run()
    return 0


# ---------------------------------------------------------------------------------------------------------
# Reading and clicking from another process (blocking calls; no main loop needed).

def _bus():
    return dbus.SessionBus()


def registered_items(bus=None):
    """The items registered with the running watcher, as (bus name, object path, owner's pid)."""
    bus = bus or _bus()
    watcher = bus.get_object(WATCHER, WATCHER_PATH, introspect=False)
    found = []
    for service in watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE):
        name, _, rest = str(service).partition("/")
        path = "/" + rest if rest else ITEM_PATH
        pid = int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "GetConnectionUnixProcessID", "s", (name,)))
        found.append((name, path, pid))
    return found


class Item:
    """A registered item, read afresh on every call."""

    def __init__(self, name, path=ITEM_PATH, bus=None):
        self.bus = bus or _bus()
        self.object = self.bus.get_object(name, path, introspect=False)

    def properties(self):
        return self.object.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)

    def menu_object(self):
        return self.bus.get_object(self.object.bus_name, str(self.properties()["Menu"]), introspect=False)

    def view(self):
        view = {"title": None, "status": None, "tooltip": None, "icon_name": None, "icon": None, "icon_sizes": []}
        for name, value in self.properties().items():
            apply_item_properties(view, str(name), value)
        view["menu"] = menu_entries(self.menu_object().GetLayout(0, -1, dbus.Array([], signature="s"),
                                                                  dbus_interface=MENU))
        return view

    def click(self, label):
        """Sends "clicked" to the one menu entry shown as label, as a tray does when it is chosen."""
        menu = self.menu_object()
        entries = [e for e in menu_entries(menu.GetLayout(0, -1, dbus.Array([], signature="s"),
                                                          dbus_interface=MENU)) if e["label"] == label]
        if len(entries) != 1:
            raise LookupError(f"expected one menu entry {label!r}, found {len(entries)}")
        menu.Event(dbus.Int32(entries[0]["id"]), "clicked", dbus.Int32(0, variant_level=1),
                   dbus.UInt32(int(time.time()) & 0xFFFFFFFF), dbus_interface=MENU)


def item_of(pid=None, bus=None):
    """The registered item of process pid, or the one registered item when pid is None."""
    items = [i for i in registered_items(bus) if pid is None or i[2] == pid]
    if len(items) != 1:
        raise LookupError(f"expected one registered item{'' if pid is None else f' of pid {pid}'}, "
                          f"found {len(items)}")
    return Item(items[0][0], items[0][1], bus)


# ---------------------------------------------------------------------------------------------------------
# The watcher as a child process of a Python program (the end-to-end test).

class WatcherProcess:
    """Runs serve in a child process and keeps what it reports; waits wake on each report, no polling."""

    def __init__(self):
        self.process = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__), "serve"],
                                        stdout=subprocess.PIPE, text=True)
        self.events = []
        self.changed = threading.Condition()
        first = queue.Queue()
        threading.Thread(target=self._read, args=(first,), daemon=True).start()
        try:
            line = first.get(timeout=20)
        except queue.Empty:
            line = None
        if line != "ready":
            self.stop()
            raise RuntimeError(f"the watcher did not start (said {line!r})")

    def _read(self, first):
        first.put(self.process.stdout.readline().strip())
        for line in self.process.stdout:
            with self.changed:
                self.events.append(json.loads(line))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait(self, condition, describe, timeout):
        """Waits until condition(events) answers something truthy and returns it; else AssertionError."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                value = condition(self.events)
                if value:
                    return value
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out after {timeout:g} s: {describe(self.events)}")
                self.changed.wait(left)

    def latest(self, pid):
        """The last reported event of process pid's item, or None."""
        with self.changed:
            return next((e for e in reversed(self.events) if e["pid"] == pid), None)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


def wait_shown(text, pid, timeout):
    """Polls the item's view, read afresh, until text occurs in its JSON; answers whether it did in time."""
    deadline = time.monotonic() + timeout
    seen = None
    while time.monotonic() < deadline:
        try:
            seen = json.dumps(item_of(pid).view(), ensure_ascii=False)
            if text in seen:
                return True
        except (LookupError, dbus.exceptions.DBusException):
            pass  # not registered yet, or registering under us
        time.sleep(0.1)
    print(f"tray_watcher: {text!r} not shown within {timeout:g} s; last view: {seen}", file=sys.stderr)
    return False


def main(argv):
    options = {"--pid": None, "--timeout": "20"}
    for name in options:
        if name in argv[:-1]:
            at = argv.index(name)
            options[name] = argv[at + 1]
            argv = argv[:at] + argv[at + 2:]
    pid = None if options["--pid"] is None else int(options["--pid"])
    if argv[1:] == ["serve"]:
        return serve()
    if argv[1:] == ["show"]:
        print(json.dumps(item_of(pid).view(), indent=2))
        return 0
    if len(argv) == 3 and argv[1] == "click":
        item_of(pid).click(argv[2])
        return 0
    if len(argv) == 3 and argv[1] == "wait":
        return 0 if wait_shown(argv[2], pid, float(options["--timeout"])) else 1
    print(__doc__.split("As a program:")[1].split("A view:")[0].rstrip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
