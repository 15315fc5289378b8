"""Reads and operates a Qt dialog through the accessibility bus, the way a screen-reader user would.

The program under test must run with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 and QT_QPA_PLATFORM=xcb, inside
with-session.sh (Xvfb plus a session bus that carries DISPLAY, so the accessibility bus and its registry
can reach the display). Run this module with Debian's /usr/bin/python3, which has the Atspi bindings.

How Qt 6.4 exposes the widgets, as measured: a label's text is its accessible name (no Text interface),
read literally for Qt::PlainText labels; a push button's name is its title read as a mnemonic ("Q&A" reads
"QA", "Q&&A" reads "Q&A"); the read-only text view is role "text" with a Text interface; a combo box's name is its current item and its
items are the "list item" children of its "list" child; the default button carries state "is-default".

Keys are synthesised as X keysyms through XTEST, so they reach whichever window has X input focus. With no
window manager that is the window that activated itself (Qt sets the focus directly then); send_key waits
for the dialog's "active" state before typing, and typing at an inactive dialog fails with that reason.

Debugging: /usr/bin/python3 atspi_driver.py dump PID   prints that process's accessible tree.
"""

import sys
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

DEFAULT_TIMEOUT = 20.0
POLL_INTERVAL = 0.05
TOP_LEVEL_ROLES = {Atspi.Role.DIALOG, Atspi.Role.FRAME, Atspi.Role.WINDOW}
KEYSYMS = {"Return": 0xFF0D, "Escape": 0xFF1B, "Down": 0xFF54, "Up": 0xFF52, "Tab": 0xFF09, "space": 0x20}


class DriverError(AssertionError):
    """A condition did not hold in time, or an element is missing; the message says what was seen."""


def wait_for(condition, describe, timeout=DEFAULT_TIMEOUT):
    """Polls condition() until it returns a truthy value and returns it; else raises with describe()."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except GLib.Error:  # the application may be starting or exiting under us
            value = None
        if value:
            return value
        if time.monotonic() >= deadline:
            raise DriverError(f"timed out after {timeout:g} s: {describe()}")
        time.sleep(POLL_INTERVAL)


def _children(acc):
    """The children of acc in the order the toolkit reports them, skipping ones that vanished."""
    result = []
    for i in range(acc.get_child_count()):
        child = acc.get_child_at_index(i)
        if child is not None:
            result.append(child)
    return result


def _walk(acc):
    """All descendants of acc, depth first, in reading order."""
    for child in _children(acc):
        yield child
        yield from _walk(child)


def _has_state(acc, state):
    return acc.get_state_set().contains(state)


def _applications(pid):
    desktop = Atspi.get_desktop(0)
    desktop.clear_cache()  # the registry's list of applications changes while we poll
    return [app for app in _children(desktop) if app.get_process_id() == pid]


def _showing_windows(pid):
    windows = []
    for app in _applications(pid):
        app.clear_cache()
        windows += [w for w in _children(app)
                    if w.get_role() in TOP_LEVEL_ROLES and _has_state(w, Atspi.StateType.SHOWING)]
    return windows


def _describe_desktop():
    desktop = Atspi.get_desktop(0)
    apps = [f"{a.get_name()!r} pid {a.get_process_id()}" for a in _children(desktop)]
    return "applications on the bus: " + (", ".join(apps) or "none")


def find_window(pid, title=None, timeout=DEFAULT_TIMEOUT):
    """Waits until process pid shows a dialog or window (titled title, when given) on the accessibility bus;
    returns it as a Window."""
    def matching():
        return next((w for w in _showing_windows(pid) if title is None or w.get_name() == title), None)
    wanted = "window" if title is None else f"window titled {title!r}"
    return Window(wait_for(matching, lambda: f"no showing {wanted} of pid {pid}; {_describe_desktop()}", timeout))


def wait_window_gone(pid, timeout=DEFAULT_TIMEOUT):
    """Waits until process pid shows no window any more (the dialog closed or the process exited)."""
    def describe():
        try:
            return f"pid {pid} still shows {[w.get_name() for w in _showing_windows(pid)]}"
        except GLib.Error as error:
            return f"pid {pid} still has a window; the last query failed: {error.message}"
    wait_for(lambda: not _showing_windows(pid), describe, timeout)


def _action_names(acc):
    if "Action" not in acc.get_interfaces():
        return []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return [Atspi.Action.get_action_name(acc, i) for i in range(Atspi.Action.get_n_actions(acc))]


def _text(acc):
    return Atspi.Text.get_text(acc, 0, -1) if "Text" in acc.get_interfaces() else None


class Window:
    """A top-level dialog or window of the program under test; every read asks the bus afresh."""

    def __init__(self, acc):
        self.acc = acc

    def _all(self, role):
        try:
            self.acc.clear_cache()  # names change as the program runs (e.g. the combo box's current item)
            return [a for a in _walk(self.acc) if a.get_role() == role]
        except GLib.Error as error:
            raise DriverError(f"the window's application stopped answering: {error.message}") from error

    def _one(self, role, what):
        found = self._all(role)
        if len(found) != 1:
            raise DriverError(f"expected one {what}, found {len(found)} in:\n{dump_tree(self.acc)}")
        return found[0]

    def title(self):
        """The window title as the bus reports it."""
        self.acc.clear_cache()
        return self.acc.get_name()

    def labels(self):
        """The texts of all labels in reading order."""
        return [a.get_name() for a in self._all(Atspi.Role.LABEL)]

    def buttons(self):
        """The names of all push buttons in reading order, as the bus reports them."""
        return [a.get_name() for a in self._all(Atspi.Role.PUSH_BUTTON)]

    def button(self, name):
        """The push button whose name is exactly name."""
        found = [a for a in self._all(Atspi.Role.PUSH_BUTTON) if a.get_name() == name]
        if len(found) != 1:
            raise DriverError(f"expected one button {name!r}, found {len(found)}; buttons: {self.buttons()}")
        return found[0]

    def default_button(self):
        """The name of the button in state "is-default", or None when there is none."""
        found = [a.get_name() for a in self._all(Atspi.Role.PUSH_BUTTON)
                 if _has_state(a, Atspi.StateType.IS_DEFAULT)]
        return found[0] if found else None

    def press(self, name):
        """Presses the button named exactly name through its "Press" action."""
        button = self.button(name)
        actions = _action_names(button)
        index = actions.index("Press") if "Press" in actions else 0
        if not Atspi.Action.do_action(button, index):
            raise DriverError(f"button {name!r} refused action {index} of {actions}")

    def text_view(self):
        """The whole text of the single multi-line text view."""
        return _text(self._one(Atspi.Role.TEXT, "text view"))

    def combo_items(self):
        """The items of the single combo box, in order."""
        combo = self._one(Atspi.Role.COMBO_BOX, "combo box")
        return [a.get_name() for a in _walk(combo) if a.get_role() == Atspi.Role.LIST_ITEM]

    def combo_current(self):
        """The text of the combo box's current item (its accessible name)."""
        return self._one(Atspi.Role.COMBO_BOX, "combo box").get_name()

    def is_active(self):
        """Whether the window is the active one, i.e. receives the keyboard."""
        self.acc.clear_cache()
        return _has_state(self.acc, Atspi.StateType.ACTIVE)

    def send_key(self, key, timeout=DEFAULT_TIMEOUT):
        """Types key (Return, Escape, Down, Up, Tab, space) into this window once it is active."""
        wait_for(self.is_active, lambda: f"window {self.title()!r} never became active, so it has no "
                                         "keyboard focus (with no window manager it must activate itself)",
                 timeout)
        send_key(key)

    def dump(self):
        """The accessible tree of this window as text."""
        self.acc.clear_cache()
        return dump_tree(self.acc)


def send_key(key):
    """Synthesises a press and release of key as an X keysym; it goes to the window with input focus."""
    if key not in KEYSYMS:
        raise DriverError(f"unknown key {key!r}; known: {sorted(KEYSYMS)}")
    if not Atspi.generate_keyboard_event(KEYSYMS[key], None, Atspi.KeySynthType.SYM):
        raise DriverError(f"the registry refused to synthesise {key!r}")


def dump_tree(acc, depth=0):
    """One line per accessible: role, name, text, states and actions, indented by depth."""
    states = [s.value_nick for s in acc.get_state_set().get_states()]
    text = _text(acc)
    line = "  " * depth + f"{acc.get_role_name()} name={acc.get_name()!r}"
    line += (f" text={text!r}" if text is not None else "") + f" states={states}"
    actions = _action_names(acc)
    lines = [line + (f" actions={actions}" if actions else "")]
    lines += [dump_tree(child, depth + 1) for child in _children(acc)]
    return "\n".join(lines)


def main(argv):
    """CLI: dump PID prints the accessible tree of every application of that process."""
    if len(argv) != 3 or argv[1] != "dump" or not argv[2].isdigit():
        print(f"usage: {argv[0]} dump PID", file=sys.stderr)
        return 2
    apps = _applications(int(argv[2]))
    if not apps:
        print(f"no application of pid {argv[2]}; {_describe_desktop()}", file=sys.stderr)
        return 1
    for app in apps:
        print(dump_tree(app))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
