"""The menu-bar mode of the built executable, seen as a desktop's tray sees it: a watcher and host of our own
(tray_watcher.py) keeps the item's view as its signals announce changes, clicks go to the menu as a tray
sends them, the clipboard is read by another program after the process has ended, and the stand-in
companion is started, attached and stopped under it. Run inside with-session.sh with Debian's
/usr/bin/python3.

Usage: menu_bar_test.py EXECUTABLE SOURCE_DIR
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tray_watcher  # noqa: E402

EXECUTABLE, SOURCE_DIR = sys.argv[1], sys.argv[2]
WORK = tempfile.TemporaryDirectory(prefix="tessaly-menubar-")
INSTALL = os.path.join(WORK.name, "install")
# The connect mode and the presence script both find the companion's session through HOME.
HOME = os.path.join(WORK.name, "home")
SESSION = os.path.join(HOME, ".tessaly-mcp", "session.json")
# One refresh period of the mode plus the time a probe may reasonably take.
ONE_REFRESH = 6.5
NO_TRAY_LINE = b"tessaly-setup: no system tray is available yet; the status item appears as soon as one is\n"
MENU = [("standard", "Companion not running"), ("standard", "Start the companion from your MCP client."),
        ("separator", ""), ("standard", "Connect to Chrome"), ("standard", "Copy MCP configuration"),
        ("separator", ""), ("standard", "Quit")]


def program(install=INSTALL):
    return os.path.join(install, "TessalySetup", "tessaly-setup")


def environment():
    env = dict(os.environ, HOME=HOME, QT_QPA_PLATFORM="xcb")
    env.pop("TESSALY_SESSION", None)
    return env


def start(install=INSTALL):
    """Starts the mode with its output going to files: a child it starts shares them and may outlive it."""
    out, err = tempfile.TemporaryFile(dir=WORK.name), tempfile.TemporaryFile(dir=WORK.name)
    process = subprocess.Popen([program(install), "--menubar"], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               env=environment())
    process.outputs = (out, err)
    return process


def written(process):
    """What the process has written to its two streams so far."""
    result = []
    for stream in process.outputs:
        stream.seek(0)
        result.append(stream.read())
    return tuple(result)


def finish(process, timeout=20):
    """Waits for the process to end; answers its status and what it wrote to its two streams."""
    status = process.wait(timeout=timeout)
    out, err = written(process)
    for stream in process.outputs:
        stream.close()
    return status, out, err


def wait_until(condition, describe, timeout):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:g} s: {describe()}")
        time.sleep(0.05)
    return value


def cpu_seconds(pid):
    """The process's own user and system time, its children's excluded."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def processes_running(script):
    """The live processes whose command line names script (a zombie's command line is empty)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if script.encode() in cmdline.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            continue
    return found


def private_install(name, presence):
    """A copy of the installation whose presence script is the given JavaScript; answers its folder."""
    install = os.path.join(WORK.name, name)
    shutil.copytree(INSTALL, install, symlinks=True)
    with open(os.path.join(install, "bin", "presence.js"), "w") as script:
        script.write(presence)
    return install


def clipboard():
    return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, timeout=10).stdout


class Companion:
    """The stand-in companion, writing the session file the mode's presence script reads."""

    def __init__(self):
        self.process = subprocess.Popen([os.path.join(INSTALL, "tessaly-mcp"), "--session", SESSION],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready = self.process.stdout.readline()
        if not ready.startswith("ready port="):
            self.stop()
            raise AssertionError(f"the stand-in companion did not start: {ready!r}")
        self.port = int(ready.split()[1].split("=")[1])
        with open(SESSION) as session:
            self.token = json.load(session)["pairUrl"].split("#token=")[1]

    def post(self, route):
        """What the browser extension does when it attaches or detaches."""
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{route}", method="POST",
                                         data=json.dumps({"token": self.token}).encode(),
                                         headers={"content-type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            assert answer.status == 200, answer.status

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


class MenuBarCase(unittest.TestCase):
    def start_watcher(self):
        self.watcher = tray_watcher.WatcherProcess()
        self.addCleanup(self.watcher.stop)

    def start(self, install=INSTALL):
        process = start(install)
        self.addCleanup(lambda: process.outputs[0].closed or process.kill() or finish(process))
        return process

    def shown(self, process, condition, timeout=ONE_REFRESH):
        """Waits until the tray's view of the process's item satisfies condition; answers that view."""
        def view(events):
            latest = next((e for e in reversed(events) if e["pid"] == process.pid), None)
            return latest["view"] if latest and latest["event"] != "unregistered" and condition(
                latest["view"]) else None
        return self.watcher.wait(view, lambda events: "the tray shows " + json.dumps(
            (self.watcher.latest(process.pid) or {}).get("view")), timeout)

    def quit(self, process):
        tray_watcher.item_of(process.pid).click("Quit")
        return finish(process)


def offline(view):
    return view["tooltip"] == "Companion not running" and view["menu"][0]["label"] == "Companion not running"


class MenuBarTest(MenuBarCase):
    def test_item_shows_its_menu_and_the_first_report(self):
        self.start_watcher()
        process = self.start()
        view = self.shown(process, offline)
        self.assertEqual([(e["type"], e["label"]) for e in view["menu"]], MENU)
        self.assertEqual([e["enabled"] for e in view["menu"] if e["type"] != "separator"],
                         [False, False, False, True, True])
        self.assertEqual(view["menu"][-1]["shortcut"], [["Control", "Q"]])
        self.assertTrue(view["icon"], "the item has no picture")
        self.assertEqual(self.quit(process), (0, b"", b""))

    def test_each_presence_shows_within_one_refresh(self):
        self.start_watcher()
        process = self.start()
        icons = {"offline": self.shown(process, offline)["icon"]}
        companion = Companion()
        self.addCleanup(companion.stop)
        version = " (v0.4.0-standin)"
        cases = (
            ("disabled", lambda: None, "Companion running", "No browser connected", True),
            ("enabled", lambda: companion.post("/attach"), "Browser connected", "Extension attached", False),
            ("disabled", lambda: companion.post("/detach"), "Companion running", "No browser connected", True),
            ("offline", companion.stop, "Companion not running", "Start the companion from your MCP client.", False),
        )
        for state, change, title, detail, connect in cases:
            with self.subTest(state=state, title=title):
                change()
                texts = (title + ("" if state == "offline" else version), title, detail, connect)
                others = [icon for other, icon in icons.items() if other != state]
                # A state seen before must come back with its own picture; a new one with a picture of its own.
                view = self.shown(process, lambda v: (v["tooltip"], v["menu"][0]["label"], v["menu"][1]["label"],
                                                      v["menu"][3]["enabled"]) == texts and v["icon"] not in others
                                  and icons.get(state, v["icon"]) == v["icon"])
                icons[state] = view["icon"]
        self.assertEqual(len(set(icons.values())), 3, icons)
        self.assertEqual(self.quit(process), (0, b"", b""))

    def test_copied_configuration_stays_after_the_process_ends(self):
        self.start_watcher()
        process = self.start()
        self.shown(process, offline)
        tray_watcher.item_of(process.pid).click("Copy MCP configuration")
        self.assertEqual(self.quit(process), (0, b"", b""))
        snippet = ('{\n  "mcpServers": {\n    "tessaly": {\n      "command": '
                   f'"{os.path.join(INSTALL, "tessaly-mcp")}"\n    }}\n  }}\n}}')
        wait_until(lambda: clipboard().decode() == snippet, lambda: f"the clipboard holds {clipboard()!r}", 10)

    def test_a_second_instance_ends_at_once(self):
        self.start_watcher()
        process = self.start()
        self.shown(process, offline)
        began = time.monotonic()
        second = subprocess.run([program(), "--menubar"], capture_output=True, env=environment(), timeout=20)
        self.assertEqual((second.returncode, second.stdout, second.stderr), (0, b"", b""))
        self.assertLess(time.monotonic() - began, 2.0)
        self.assertEqual([item[2] for item in tray_watcher.registered_items()], [process.pid])
        self.assertEqual(self.quit(process), (0, b"", b""))

    def test_menu_texts_read_as_the_script_wrote_them(self):
        # "&" is Qt's mnemonic mark and "_" the bus menu's; neither may be taken as one, however many there are.
        report = {"state": "disabled", "title": "Q&A & co_op", "detail": "a_b && c__d", "action": "Connect_&_go",
                  "version": "1_&"}
        install = private_install("marks", f"process.stdout.write({json.dumps(json.dumps(report))});\n")
        self.start_watcher()
        process = self.start(install)
        view = self.shown(process, lambda v: v["menu"][3]["enabled"])
        self.assertEqual((view["tooltip"], [e["label"] for e in view["menu"][:4]]),
                         ("Q&A & co_op (v1_&)", ["Q&A & co_op", "a_b && c__d", "", "Connect_&_go"]))
        self.assertEqual(self.quit(process), (0, b"", b""))

    def test_quit_during_a_probe_stops_its_child(self):
        marker = os.path.join(WORK.name, "slow-answered")
        # The first report comes at once, so the item is placed; every later probe answers after 5 s.
        install = private_install("slow", f"""'use strict';
const answer = () => process.stdout.write('{{"state":"offline","title":"Companion not running"}}');
try {{ require('node:fs').mkdirSync({json.dumps(marker)}); answer(); }} catch {{ setTimeout(answer, 5000); }}
""")
        script = os.path.join(install, "bin", "presence.js")
        self.start_watcher()
        process = self.start(install)
        self.shown(process, offline)
        wait_until(lambda: processes_running(script), lambda: "no second probe started", ONE_REFRESH)
        clicked = time.monotonic()
        tray_watcher.item_of(process.pid).click("Quit")
        self.assertEqual(finish(process), (0, b"", b""))
        self.assertLess(time.monotonic() - clicked, 2.5, "Quit waited for the probe")
        self.assertEqual(processes_running(script), [], "a probe outlived the mode")

    def test_an_item_started_before_the_tray_appears_with_it(self):
        process = self.start()
        wait_until(lambda: written(process)[1], lambda: "nothing on standard error", 10)
        spent, began = cpu_seconds(process.pid), time.monotonic()
        # Watched for a while in which a waiting loop costs nothing measurable and a spinning one a whole core.
        wait_until(lambda: time.monotonic() - began >= 3 or process.poll() is not None, lambda: "", 5)
        self.assertIsNone(process.poll(), "the mode ended without a tray")
        self.assertLess(cpu_seconds(process.pid) - spent, 0.1, "the mode spins while it waits for a tray")
        self.assertEqual(written(process), (b"", NO_TRAY_LINE))
        self.start_watcher()
        # Well inside one refresh: the item must not wait for its next probe to notice the tray.
        self.shown(process, offline, timeout=1.0)
        self.assertEqual(self.quit(process), (0, b"", NO_TRAY_LINE))


if __name__ == "__main__":
    subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "lay-out-installation.sh"), INSTALL, EXECUTABLE],
                   check=True, stdout=subprocess.DEVNULL)
    os.makedirs(HOME)
    unittest.main(argv=sys.argv[:1], verbosity=2)
