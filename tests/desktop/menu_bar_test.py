"""The menu-bar mode of the built executable as a desktop's tray sees it, through a tray of our own, while the
stand-in companion is started, attached and stopped under it.
"""

import json
import os
import shutil
import subprocess
import time

from harness import (INSTALL, PROGRAM, SNIPPET, WORK, Case, clipboard, environment, finish, main,
                     processes, write_file, written)
import atspi_driver as driver  # on the path the harness sets
import tray_watcher

# The connect mode and the presence script both find the companion's session through HOME.
HOME = os.path.join(WORK.name, "home")
ENVIRONMENT = environment(HOME=HOME, TESSALY_SESSION=None, QT_LINUX_ACCESSIBILITY_ALWAYS_ON=None)
ONE_REFRESH = 6.5  # one refresh period of the mode plus the time a probe may reasonably take
NO_TRAY_LINE = b"tessaly-setup: no system tray is available yet; the status item appears as soon as one is\n"
MENU = [("standard", "Companion not running", False),
        ("standard", "Start the companion from your MCP client.", False), ("separator", "", True),
        ("standard", "Connect to Chrome", False), ("standard", "Copy MCP configuration", True),
        ("separator", "", True), ("standard", "Quit", True)]


def offline(view):
    return view["tooltip"] == "Companion not running" and view["menu"][0]["label"] == "Companion not running"


def cpu_seconds(pid):
    """The process's own user and system time, its children's excluded."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class MenuBarTest(Case):
    def start_mode(self, presence=None, tray=True, wait=offline):
        """Starts the mode, with a presence script of its own when given, and waits until a tray shows it."""
        self.install = INSTALL
        if presence:
            self.install = shutil.copytree(INSTALL, os.path.join(WORK.name, self._testMethodName), symlinks=True)
            write_file(os.path.join(self.install, "bin", "presence.js"), presence)
        if tray:
            self.addCleanup(tray_watcher.WatcherProcess().stop)
        process = self.start("--menubar", program=os.path.join(self.install, "TessalySetup", "tessaly-setup"),
                             env=ENVIRONMENT, stdin=subprocess.DEVNULL)
        return process, tray and self.shown(process, wait)

    def shown(self, process, condition, timeout=ONE_REFRESH):
        return tray_watcher.wait_view(process.pid, condition, timeout)

    def quit(self, process):
        tray_watcher.Item(process.pid).click("Quit")
        return finish(process)

    def test_one_item_follows_each_presence_and_copies_the_configuration(self):
        process, view = self.start_mode()
        self.assertEqual([(e["type"], e["label"], e["enabled"]) for e in view["menu"]], MENU)
        self.assertEqual(view["menu"][-1]["shortcut"], [["Control", "Q"]])
        icons = {"offline": view["icon"]}
        self.assertTrue(icons["offline"], "the item has no picture")
        began = time.monotonic()
        second = subprocess.run([PROGRAM, "--menubar"], capture_output=True, env=ENVIRONMENT, timeout=20)
        self.assertEqual((second.returncode, second.stdout, second.stderr), (0, b"", b""))
        self.assertLess(time.monotonic() - began, 2.0, "a second instance did not end at once")
        self.assertEqual([pid for _, pid in tray_watcher.registered_items()], [process.pid])
        companion = self.companion(os.path.join(HOME, ".tessaly-mcp", "session.json"))
        for state, change, title, detail, connect in (
                ("disabled", lambda: None, "Companion running", "No browser connected", True),
                ("enabled", lambda: companion.post("/attach"), "Browser connected", "Extension attached", False),
                ("disabled", lambda: companion.post("/detach"), "Companion running", "No browser connected", True),
                ("offline", companion.stop, "Companion not running", "Start the companion from your MCP client.",
                 False)):
            with self.subTest(state=state, title=title):
                change()
                texts = (title + ("" if state == "offline" else " (v0.4.0-standin)"), title, detail, connect)
                others = [icon for other, icon in icons.items() if other != state]
                # A state seen before must come back with its own picture; a new one with a picture of its own.
                view = self.shown(process, lambda v: (v["tooltip"], v["menu"][0]["label"], v["menu"][1]["label"],
                                                      v["menu"][3]["enabled"]) == texts and v["icon"] not in others
                                  and icons.get(state, v["icon"]) == v["icon"])
                icons[state] = view["icon"]
        self.assertEqual(len(set(icons.values())), 3, icons)
        tray_watcher.Item(process.pid).click("Copy MCP configuration")
        self.assertEqual(self.quit(process), (0, b"", b""))
        driver.wait_for(lambda: clipboard().decode() == SNIPPET, lambda: f"the clipboard holds {clipboard()!r}", 10)

    def test_menu_texts_read_as_the_script_wrote_them(self):
        # "&" is Qt's mnemonic mark and "_" the bus menu's; neither may be taken as one, however many there are.
        report = {"state": "disabled", "title": "Q&A & co_op", "detail": "a_b && c__d", "action": "Connect_&_go",
                  "version": "1_&"}
        process, view = self.start_mode(f"process.stdout.write({json.dumps(json.dumps(report))});\n",
                                        wait=lambda v: v["menu"][3]["enabled"])
        self.assertEqual((view["tooltip"], [e["label"] for e in view["menu"][:4]]),
                         ("Q&A & co_op (v1_&)", ["Q&A & co_op", "a_b && c__d", "", "Connect_&_go"]))
        self.assertEqual(self.quit(process), (0, b"", b""))

    def test_quit_during_a_probe_stops_its_child(self):
        marker = os.path.join(WORK.name, "slow-answered")
        # The first report comes at once, so the item is placed; every later probe answers after 5 s.
        process, _ = self.start_mode(f"""'use strict';
const answer = () => process.stdout.write('{{"state":"offline","title":"Companion not running"}}');
try {{ require('node:fs').mkdirSync({json.dumps(marker)}); answer(); }} catch {{ setTimeout(answer, 5000); }}
""")
        probe = os.path.join(self.install, "bin", "presence.js").encode()
        driver.wait_for(lambda: processes(lambda args: probe in args), lambda: "no second probe started", ONE_REFRESH)
        clicked = time.monotonic()
        self.assertEqual(self.quit(process), (0, b"", b""))
        self.assertLess(time.monotonic() - clicked, 2.5, "Quit waited for the probe")
        self.assertEqual(processes(lambda args: probe in args), [], "a probe outlived the mode")

    def test_an_item_started_before_the_tray_appears_with_it(self):
        process, _ = self.start_mode(tray=False)
        driver.wait_for(lambda: written(process)[1], lambda: "nothing on standard error", 10)
        spent, began = cpu_seconds(process.pid), time.monotonic()
        # Watched for a while in which a waiting loop costs nothing measurable and a spinning one a whole core.
        driver.wait_for(lambda: time.monotonic() - began >= 3 or process.poll() is not None, lambda: "", 5)
        self.assertIsNone(process.poll(), "the mode ended without a tray")
        self.assertLess(cpu_seconds(process.pid) - spent, 0.1, "the mode spins while it waits for a tray")
        self.assertEqual(written(process), (b"", NO_TRAY_LINE))
        self.addCleanup(tray_watcher.WatcherProcess().stop)
        # Well inside one refresh: the item must not wait for its next probe to notice the tray.
        self.shown(process, offline, timeout=1.0)
        self.assertEqual(self.quit(process), (0, b"", NO_TRAY_LINE))


if __name__ == "__main__":
    os.makedirs(HOME)
    main()
