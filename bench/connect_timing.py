"""Drives the connect mode's dialogs for bench/connect-mode.sh and times them. Run with Debian's
/usr/bin/python3 inside scripts/desktop/with-session.sh, the program under test started with
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 and QT_QPA_PLATFORM=xcb.

  connect_timing.py attach PID        presses "Open pairing page", waits for the alert "Chrome is connected",
                                      closes it; prints "PRESS_MS CLICK_MS FOUND_MS PANEL_MS" (attach())
  connect_timing.py open PID          presses "Open pairing page" and returns once the panel shows
  connect_timing.py close PID TITLE   presses "Close" in the window titled TITLE

The alert's appearance is timed by the X server's MapNotify, read on a thread of its own as it arrives,
because the accessibility bus only tells when a poll happens to see the window.
"""

import ctypes
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "desktop"))
import atspi_driver as driver  # noqa: E402

PROMPT = "Open the pairing page in Chromium?"
PANEL = "Waiting for the extension"
ATTACHED = "Chrome is connected"
MAP_NOTIFY, UNMAP_NOTIFY = 19, 18
SUBSTRUCTURE_NOTIFY, CW_EVENT_MASK = 1 << 19, 1 << 11


class Cookie(ctypes.Structure):
    _fields_ = [("sequence", ctypes.c_uint)]


class ScreenIterator(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("rem", ctypes.c_int), ("index", ctypes.c_int)]


class MapWatch:
    """Records when each top-level window is mapped and unmapped, on the monotonic clock of time.monotonic."""

    def __init__(self):
        xcb = self.xcb = ctypes.CDLL("libxcb.so.1")
        self.libc = ctypes.CDLL(None)
        for name, restype, argtypes in [
            ("xcb_connect", ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_void_p]),
            ("xcb_get_setup", ctypes.c_void_p, [ctypes.c_void_p]),
            ("xcb_wait_for_event", ctypes.c_void_p, [ctypes.c_void_p]),
            ("xcb_change_window_attributes_checked", Cookie,
             [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]),
            ("xcb_request_check", ctypes.c_void_p, [ctypes.c_void_p, Cookie]),
            ("xcb_intern_atom", Cookie, [ctypes.c_void_p, ctypes.c_uint8, ctypes.c_uint16, ctypes.c_char_p]),
            ("xcb_intern_atom_reply", ctypes.c_void_p, [ctypes.c_void_p, Cookie, ctypes.c_void_p]),
            ("xcb_get_property", Cookie, [ctypes.c_void_p, ctypes.c_uint8] + [ctypes.c_uint32] * 5),
            ("xcb_get_property_reply", ctypes.c_void_p, [ctypes.c_void_p, Cookie, ctypes.c_void_p]),
            ("xcb_get_property_value", ctypes.c_void_p, [ctypes.c_void_p]),
            ("xcb_get_property_value_length", ctypes.c_int, [ctypes.c_void_p]),
            ("xcb_query_tree", Cookie, [ctypes.c_void_p, ctypes.c_uint32]),
            ("xcb_query_tree_reply", ctypes.c_void_p, [ctypes.c_void_p, Cookie, ctypes.c_void_p]),
            ("xcb_query_tree_children", ctypes.POINTER(ctypes.c_uint32), [ctypes.c_void_p]),
            ("xcb_query_tree_children_length", ctypes.c_int, [ctypes.c_void_p]),
        ]:
            getattr(xcb, name).restype, getattr(xcb, name).argtypes = restype, argtypes
        self.libc.free.argtypes = [ctypes.c_void_p]
        self.connection = xcb.xcb_connect(None, None)
        xcb.xcb_setup_roots_iterator.restype = ScreenIterator
        xcb.xcb_setup_roots_iterator.argtypes = [ctypes.c_void_p]
        # The root is the first field of the screen record; DISPLAY names screen 0 under with-session.sh.
        screen = xcb.xcb_setup_roots_iterator(xcb.xcb_get_setup(self.connection)).data
        self.root = ctypes.c_uint32.from_address(screen).value
        mask = ctypes.c_uint32(SUBSTRUCTURE_NOTIFY)
        error = xcb.xcb_request_check(self.connection, xcb.xcb_change_window_attributes_checked(
            self.connection, self.root, CW_EVENT_MASK, ctypes.byref(mask)))
        if error:
            raise driver.DriverError("cannot watch the root window")
        reply = xcb.xcb_intern_atom_reply(self.connection, xcb.xcb_intern_atom(
            self.connection, 0, len(b"_NET_WM_NAME"), b"_NET_WM_NAME"), None)
        self.name_atom = ctypes.c_uint32.from_address(reply + 8).value
        self.libc.free(reply)
        self.events = []  # (kind, title, monotonic seconds)
        # Named while they exist: an unmapped dialog may be destroyed before its unmap is read. Listed after
        # the selection, so that no window mapped in between is missed.
        self.titles = {}
        tree = xcb.xcb_query_tree_reply(self.connection, xcb.xcb_query_tree(self.connection, self.root), None)
        children = xcb.xcb_query_tree_children(tree)
        for i in range(xcb.xcb_query_tree_children_length(tree)):
            self.titles[children[i]] = self.title(children[i])
        self.libc.free(tree)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            event = self.xcb.xcb_wait_for_event(self.connection)
            if not event:
                return
            at = time.monotonic()
            raw = ctypes.string_at(event, 12)
            self.libc.free(event)
            kind, window = raw[0] & 0x7F, int.from_bytes(raw[8:12], "little")
            if kind == MAP_NOTIFY:
                self.titles[window] = self.title(window)
            if kind in (MAP_NOTIFY, UNMAP_NOTIFY):
                self.events.append((kind, self.titles.get(window) or self.title(window), at))

    def title(self, window):
        reply = self.xcb.xcb_get_property_reply(self.connection, self.xcb.xcb_get_property(
            self.connection, 0, window, self.name_atom, 0, 0, 256), None)
        if not reply:
            return None
        value = ctypes.string_at(self.xcb.xcb_get_property_value(reply),
                                 self.xcb.xcb_get_property_value_length(reply))
        self.libc.free(reply)
        return value.decode("utf-8", "replace")

    def first(self, kind, title, since):
        """When a window titled title was first mapped (or unmapped) after since, or None."""
        return next((at for event_kind, event_title, at in list(self.events)
                     if event_kind == kind and event_title == title and at >= since), None)


def milliseconds(seconds):
    return f"{seconds * 1e3:.1f}" if seconds is not None else "-"


def attach(pid):
    """PRESS_MS: from the press of "Open pairing page" to the alert's map; CLICK_MS: from the prompt's unmap,
    i.e. when the click took effect, to the alert's map; FOUND_MS: from the map to the accessibility bus
    showing the alert, the latency that a poll of the bus adds; PANEL_MS: from the press to the panel's map,
    a time with no window of the program on screen."""
    watch = MapWatch()
    prompt = driver.find_window(pid, PROMPT)
    prompt.press("Open pairing page")
    # Taken when the bus call returns, i.e. the program has taken the press: looking the button up first is
    # the driver's cost, not the user's.
    pressed = time.monotonic()
    alert = driver.find_window(pid, ATTACHED)
    found = time.monotonic()
    mapped = driver.wait_for(lambda: watch.first(MAP_NOTIFY, ATTACHED, pressed),
                             lambda: "the server never reported the alert's map", timeout=5)
    clicked = watch.first(UNMAP_NOTIFY, PROMPT, pressed)
    panel = watch.first(MAP_NOTIFY, PANEL, pressed)
    alert.press("Close")
    print(milliseconds(mapped - pressed), milliseconds(mapped - clicked if clicked else None),
          milliseconds(found - mapped), milliseconds(panel - pressed if panel else None))


def run(argv):
    if len(argv) == 3 and argv[1] == "attach":
        attach(int(argv[2]))
    elif len(argv) == 3 and argv[1] == "open":
        driver.find_window(int(argv[2]), PROMPT).press("Open pairing page")
        driver.find_window(int(argv[2]), PANEL)
    elif len(argv) == 4 and argv[1] == "close":
        driver.find_window(int(argv[2]), argv[3]).press("Close")
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


def main(argv):
    driver.POLL_INTERVAL = 0.02
    try:
        return run(argv)
    except driver.DriverError as error:
        # What the program shows instead says why: a retry prompt names the problem.
        shown = [driver.Window(w) for w in driver._showing_windows(int(argv[2]))]
        print(f"connect_timing: {error}\nshown instead: {[(w.title(), w.labels()) for w in shown]}",
              file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
