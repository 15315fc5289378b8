"""The window modes natively in a Wayland session with no X server: dialogs read and pressed through the
accessibility bus, the status item through the bar's tray, the clipboard read with wl-paste.
"""

import os
import shutil
import subprocess

from harness import INSTALL, INTENT, REQUEST, SNIPPET, WORK, Case, environment, finish, main, processes
import atspi_driver as driver  # on the path the harness sets
import tray_watcher

# No platform named: the program chooses Wayland itself, as it does in a user's session.
ENVIRONMENT = environment(QT_QPA_PLATFORM=None, HOME=os.path.join(os.path.dirname(INSTALL), "home"))
HELPER = os.path.join(INSTALL, "TessalySetup", "tessaly-clipboard-wayland").encode()


def pasted():
    run = subprocess.run(["wl-paste", "-n"], capture_output=True, timeout=10)
    return run.stdout.decode() if run.returncode == 0 else None


def helpers():  # that still serve a copy
    return processes(lambda args: args[:1] == [HELPER])


class WaylandTest(Case):
    def test_setup_window_copy_outlives_the_window(self):
        process = self.start(env=ENVIRONMENT)
        window = driver.find_window(process.pid, "Tessaly MCP configuration")
        shown = window.text_view()
        window.press("Copy example")
        self.assertEqual(finish(process), (0, b"", b""))
        self.assertEqual(pasted(), shown)

    def test_pairing_dialog_answers(self):
        process = self.start("--pairing-approval", env=ENVIRONMENT)
        process.stdin.write(REQUEST)
        process.stdin.close()
        driver.find_window(process.pid, "Remember this browser?").press("Codes match - approve")
        self.assertEqual(finish(process), (0, f'{{"approved":true,"intentId":"{INTENT}"}}\n'.encode(), b""))

    def test_status_item_copies_without_focus_and_keeps_one_helper(self):
        process = self.start("--menubar", env=ENVIRONMENT, stdin=subprocess.DEVNULL)
        # Registered with the bar's own watcher, and shown by it.
        tray_watcher.wait_view(process.pid, lambda view: view["menu"][4]["label"] == "Copy MCP configuration")
        item = tray_watcher.Item(process.pid)
        for _ in range(20):
            item.click("Copy MCP configuration")
        driver.wait_for(lambda: pasted() == SNIPPET, lambda: f"the clipboard holds {pasted()!r}")
        driver.wait_for(lambda: len(helpers()) == 1, lambda: f"helpers alive: {helpers()}")
        item.click("Quit")
        self.assertEqual(finish(process), (0, b"", b""))
        self.assertEqual(pasted(), SNIPPET, "the copy went with the program")
        subprocess.run(["wl-copy", "another program's text"], check=True, timeout=10)
        driver.wait_for(lambda: not helpers(), lambda: f"helpers alive after another copy: {helpers()}")
        self.assertEqual(pasted(), "another program's text")


class WithoutDataControlTest(Case):
    """Where the compositor offers no data-control (GNOME's) the Wayland helper refuses, stood in for here by an
    installation without it: the status item then copies from a window of its own at the press of its button."""

    def test_status_item_copies_from_a_focused_window_of_its_own(self):
        install = shutil.copytree(INSTALL, os.path.join(WORK.name, "no-data-control"), symlinks=True)
        os.remove(os.path.join(install, "TessalySetup", "tessaly-clipboard-wayland"))
        process = self.start("--menubar", program=os.path.join(install, "TessalySetup", "tessaly-setup"),
                             env=ENVIRONMENT, stdin=subprocess.DEVNULL)
        tray_watcher.wait_view(process.pid, lambda view: view["menu"][4]["label"] == "Copy MCP configuration")
        subprocess.run(["wl-copy", "before"], check=True, timeout=10)
        tray_watcher.Item(process.pid).click("Copy MCP configuration")
        window = driver.find_window(process.pid, "Copy MCP configuration")
        self.assertEqual(pasted(), "before", "a copy was made before it was asked for")
        snippet = SNIPPET.replace(INSTALL, install)
        self.assertEqual((window.text_view(), window.buttons()), (snippet, ["Close", "Copy"]))
        # Pressed from a keyboard: the compositor takes a copy only for a real input event. Each run of the typing
        # tool is a new keyboard, whose keys are lost before the window has heard of it: it waits a moment before
        # typing, the focus is put on the button first, and a lost key is typed again.
        def copied():
            if pasted() == snippet:
                return True
            if window.focus("Copy"):
                subprocess.run(["wtype", "-s", "200", "-k", "space"], check=True, timeout=10)
            return False
        driver.wait_for(copied, lambda: f"the clipboard holds {pasted()!r}")
        tray_watcher.Item(process.pid).click("Quit")
        self.assertEqual(finish(process), (0, b"", b""))


if __name__ == "__main__":
    main()
