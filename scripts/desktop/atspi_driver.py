"""Reads and operates a Qt dialog through the accessibility bus, as a screen-reader user would. Run with Debian's
/usr/bin/python3 inside with-session.sh; the program under test runs with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1.
Qt 6.4 names a label by its text, a push button by its title read as a mnemonic ("Q&A" reads "QA"), a combo box
by its current item. Keys go to the window with input focus: send_key waits until its window is active.
Debugging: /usr/bin/python3 atspi_driver.py dump PID   prints that process's tree.
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
KEYSYMS = {"Return": 0xFF0D, "Down": 0xFF54}


class DriverError(AssertionError):
    """A condition did not hold in time, or an element is missing; the message says what was seen."""


def wait_for(condition, describe, timeout=DEFAULT_TIMEOUT):
    """Polls condition() until it returns a truthy value and returns it; else raises with describe()."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except (GLib.Error, DriverError):  # the application may be starting or exiting under us
            value = None
        if value:
            return value
        if time.monotonic() >= deadline:
            raise DriverError(f"timed out after {timeout:g} s: {describe()}")
        time.sleep(POLL_INTERVAL)


def _children(acc):
    return [c for c in (acc.get_child_at_index(i) for i in range(acc.get_child_count())) if c is not None]


def _walk(acc):
    for child in _children(acc):
        yield child
        yield from _walk(child)


def _applications(pid):
    desktop = Atspi.get_desktop(0)
    desktop.clear_cache()  # the registry's list of applications changes while we poll
    return [app for app in _children(desktop) if app.get_process_id() == pid]


def _showing_windows(pid):
    windows = []
    for app in _applications(pid):
        app.clear_cache()
        windows += [w for w in _children(app) if w.get_role() in TOP_LEVEL_ROLES
                    and w.get_state_set().contains(Atspi.StateType.SHOWING)]
    return windows


def find_window(pid, title=None, timeout=DEFAULT_TIMEOUT, buttons=None):
    """Waits until process pid shows a window, titled title and with exactly these buttons when given."""
    def matching():
        return next((w for w in map(Window, _showing_windows(pid)) if (title is None or w.title() == title)
                     and (buttons is None or w.buttons() == buttons)), None)
    return wait_for(matching, lambda: f"no window {title or ''!r} with buttons {buttons}; pid {pid} shows "
                                      f"{showing(pid)}", timeout)


def showing(pid):
    """The titles of the windows pid shows, [] while it starts or ends."""
    try:
        return [w.get_name() for w in _showing_windows(pid)]
    except GLib.Error:
        return []


def _action_names(acc):
    if "Action" not in acc.get_interfaces():
        return []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return [acc.get_action_name(i) for i in range(acc.get_n_actions())]


def _text(acc):
    return acc.get_text(0, -1) if "Text" in acc.get_interfaces() else None


class Window:
    """A top-level window of the program under test; every read asks the bus afresh."""

    def __init__(self, acc):
        self.acc = acc

    def _all(self, role):
        try:
            self.acc.clear_cache()  # names change as the program runs (the combo box's current item)
            return [a for a in _walk(self.acc) if a.get_role() == role]
        except GLib.Error as error:
            raise DriverError(f"the window's application stopped answering: {error.message}") from error

    def _one(self, role, name=None):
        found = [a for a in self._all(role) if name is None or a.get_name() == name]
        if len(found) != 1:
            raise DriverError(f"expected one {role.value_nick} {name or ''!r}, found {len(found)} in:\n"
                              f"{dump_tree(self.acc)}")
        return found[0]

    def title(self):
        self.acc.clear_cache()
        return self.acc.get_name()

    def description(self):
        self.acc.clear_cache()
        return self.acc.get_description()

    def labels(self):
        return [a.get_name() for a in self._all(Atspi.Role.LABEL)]

    def buttons(self):
        return [a.get_name() for a in self._all(Atspi.Role.PUSH_BUTTON)]

    def default_button(self):
        return next((a.get_name() for a in self._all(Atspi.Role.PUSH_BUTTON)
                     if a.get_state_set().contains(Atspi.StateType.IS_DEFAULT)), None)

    def press(self, name):
        button = self._one(Atspi.Role.PUSH_BUTTON, name)
        actions = _action_names(button)
        if not button.do_action(actions.index("Press") if "Press" in actions else 0):
            raise DriverError(f"button {name!r} refused to be pressed; actions {actions}")

    def focus(self, name):
        """True once the button named name has the keyboard focus."""
        button = self._one(Atspi.Role.PUSH_BUTTON, name)
        button.grab_focus()
        button.clear_cache()
        return button.get_state_set().contains(Atspi.StateType.FOCUSED)

    def text_view(self):
        return _text(self._one(Atspi.Role.TEXT))

    def combo_items(self):
        return [a.get_name() for a in _walk(self._one(Atspi.Role.COMBO_BOX)) if a.get_role() == Atspi.Role.LIST_ITEM]

    def combo_current(self):
        return self._one(Atspi.Role.COMBO_BOX).get_name()

    def send_key(self, key):
        def active():
            self.acc.clear_cache()
            return self.acc.get_state_set().contains(Atspi.StateType.ACTIVE)
        wait_for(active, lambda: f"window {self.title()!r} never became active, so it has no keyboard focus")
        if not Atspi.generate_keyboard_event(KEYSYMS[key], None, Atspi.KeySynthType.SYM):
            raise DriverError(f"the registry refused to synthesise {key!r}")


def dump_tree(acc, depth=0):
    """One line per accessible: role, name, text, states and actions, indented by depth."""
    text, actions = _text(acc), _action_names(acc)
    line = (f"{'  ' * depth}{acc.get_role_name()} name={acc.get_name()!r}"
            + (f" text={text!r}" if text is not None else "")
            + f" states={[s.value_nick for s in acc.get_state_set().get_states()]}"
            + (f" actions={actions}" if actions else ""))
    return "\n".join([line] + [dump_tree(child, depth + 1) for child in _children(acc)])


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "dump" or not sys.argv[2].isdigit():
        sys.exit(f"usage: {sys.argv[0]} dump PID")
    print("\n".join(map(dump_tree, _applications(int(sys.argv[2])))) or sys.exit("no such application on the bus"))
