"""The window modes of the built executable, used as a person would: texts read and buttons pressed by name
through the accessibility bus, the clipboard read by another program after the process has ended, links
handed to a recording default handler. Run inside with-session.sh with Debian's /usr/bin/python3.

Usage: window_modes_test.py EXECUTABLE SOURCE_DIR
"""

import ctypes
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import atspi_driver as driver  # noqa: E402

EXECUTABLE, SOURCE_DIR = sys.argv[1], sys.argv[2]
WORK = tempfile.TemporaryDirectory(prefix="tessaly-windows-")
INSTALL = os.path.join(WORK.name, "install")
PROGRAM = os.path.join(INSTALL, "TessalySetup", "tessaly-setup")
INTENT = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ_-01234"
REQUEST = {"intentId": INTENT, "code": "042917", "label": "<b>Codes match</b> Q&A", "port": 51234,
           "fingerprint": "0123456789abcdef"}
SUPPORT = {"links": [{"label": f"Option {i}", "recipient": "Maintainers & co",
                      "url": f"https://www.paypal.com/donate?i={i}"} for i in range(5)]}
SUPPORT["links"][3]["url"] = "http://paypal.com/not-https"


def environment(**extra):
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
    env.update(extra)
    return env


def start(*arguments, env=None):
    """Starts the program with its output going to files: a child it starts shares them and may outlive it."""
    out, err = tempfile.TemporaryFile(dir=WORK.name), tempfile.TemporaryFile(dir=WORK.name)
    process = subprocess.Popen([PROGRAM, *arguments], stdin=subprocess.PIPE, stdout=out, stderr=err,
                               env=env or environment())
    process.outputs = (out, err)
    return process


def finish(process):
    """Waits for the program to end; answers its status and what it wrote to its two streams."""
    if not process.stdin.closed:
        process.stdin.close()
    status = process.wait(timeout=20)
    written = []
    for stream in process.outputs:
        stream.seek(0)
        written.append(stream.read())
        stream.close()
    return status, written[0], written[1]


def clipboard():
    return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, timeout=10).stdout


def selection_has_owner(name):
    """Whether some client owns the X selection name (xclip cannot tell an owner that refuses from none)."""
    class Cookie(ctypes.Structure):
        _fields_ = [("sequence", ctypes.c_uint)]
    xcb = ctypes.CDLL("libxcb.so.1")
    xcb.xcb_connect.restype = ctypes.c_void_p
    xcb.xcb_disconnect.argtypes = [ctypes.c_void_p]
    xcb.xcb_intern_atom.argtypes = [ctypes.c_void_p, ctypes.c_uint8, ctypes.c_uint16, ctypes.c_char_p]
    xcb.xcb_get_selection_owner.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    for request in ("xcb_intern_atom", "xcb_get_selection_owner"):
        getattr(xcb, request).restype = Cookie
        getattr(xcb, request + "_reply").argtypes = [ctypes.c_void_p, Cookie, ctypes.c_void_p]
        getattr(xcb, request + "_reply").restype = ctypes.POINTER(ctypes.c_uint32)  # the answer is word 2
    connection = xcb.xcb_connect(None, None)
    try:
        atom = xcb.xcb_intern_atom_reply(connection, xcb.xcb_intern_atom(connection, 0, len(name), name), None)[2]
        return xcb.xcb_get_selection_owner_reply(connection, xcb.xcb_get_selection_owner(connection, atom),
                                                 None)[2] != 0
    finally:
        xcb.xcb_disconnect(connection)


def connect_child(parent_pid):
    """The process id of a running "tessaly-setup --connect" started by parent_pid, or None."""
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
            if arguments[:2] == [PROGRAM.encode(), b"--connect"] and arguments[2:] in ([], [b""]):
                return int(entry)
        except (FileNotFoundError, ProcessLookupError, NotADirectoryError, PermissionError):
            continue
    return None


def read_file(path):
    try:
        with open(path) as file:
            return file.read()
    except FileNotFoundError:
        return None


class PairingApprovalTest(unittest.TestCase):
    def test_each_way_of_answering(self):
        expected = ("Compare this code with the extension page:\n\n042917\n\nOnly approve if both codes match. "
                    "This browser can use the existing browser tools on this computer until revoked.\n\n"
                    "Requested name (unverified): <b>Codes match</b> Q&A\nLocal port: 51234\n"
                    "Companion identity: 0123456789abcdef")
        for how, approved in (("Reject", "false"), ("Return", "false"), ("Codes match - approve", "true")):
            with self.subTest(how):
                process = start("--pairing-approval")
                process.stdin.write(json.dumps(REQUEST).encode() + b"\n")
                process.stdin.close()
                window = driver.find_window(process.pid)
                self.assertEqual(window.title(), "Remember this browser?")
                self.assertEqual(window.labels(), ["Remember this browser?", expected])
                self.assertEqual(window.buttons(), ["Reject", "Codes match - approve"])
                self.assertEqual(window.default_button(), "Reject")
                window.send_key("Return") if how == "Return" else window.press(how)
                status, out, err = finish(process)
                self.assertEqual((status, out, err),
                                 (0, f'{{"approved":{approved},"intentId":"{INTENT}"}}\n'.encode(), b""))


class SetupWindowTest(unittest.TestCase):
    def open_window(self, env=None):
        process = start(env=env)
        window = driver.find_window(process.pid, "Tessaly MCP configuration")
        self.assertEqual(window.buttons(), ["Close", "Copy example", "Connect to Chrome", "Support"])
        return process, window

    def test_copy_stays_on_the_clipboard_after_exit(self):
        process, window = self.open_window()
        shown = window.text_view()
        self.assertEqual(json.loads(shown), {"mcpServers": {"tessaly": {
            "args": [], "command": os.path.join(INSTALL, "tessaly-mcp")}}})
        window.press("Copy example")
        self.assertEqual(finish(process), (0, b"", b""))
        self.assertEqual(clipboard().decode(), shown)

    def test_connect_starts_this_executable_in_connect_mode(self):
        process, window = self.open_window()
        window.press("Connect to Chrome")
        self.assertEqual(finish(process), (0, b"", b""))
        # The child runs on: with no companion running it asks whether to try again.
        child = driver.wait_for(lambda: connect_child(process.pid), lambda: "no connect child started")
        retry = driver.find_window(child, "Try again?")
        retry.press("Close")
        driver.wait_for(lambda: not os.path.exists(f"/proc/{child}/cmdline") or
                        not open(f"/proc/{child}/cmdline").read(), lambda: "the connect child did not end")

    def test_support_opens_only_the_chosen_allowed_link(self):
        record = os.path.join(WORK.name, "opened")
        for choice, expected in ((2, "https://www.paypal.com/donate?i=2\n"), (3, None), (None, None)):
            with self.subTest(choice=choice):
                process, window = self.open_window(env=environment(**handler_environment(record)))
                window.press("Support")
                support = driver.find_window(process.pid, "Voluntary support")
                self.assertEqual(support.combo_items(), [f"Option {i} - Maintainers & co" for i in range(5)])
                self.assertEqual(support.combo_current(), "Option 0 - Maintainers & co")
                if choice is None:
                    support.press("Close")
                else:
                    for _ in range(choice):
                        support.send_key("Down")
                    driver.wait_for(lambda: support.combo_current() == f"Option {choice} - Maintainers & co",
                                    lambda: f"selection is {support.combo_current()!r}")
                    support.press("Open support link")
                self.assertEqual(finish(process), (0, b"", b""))
                if expected:
                    self.assertEqual(driver.wait_for(lambda: read_file(record),
                                                     lambda: f"{record} never written"), expected)
                    os.remove(record)
                else:
                    self.assertFalse(os.path.exists(record))


def handler_environment(record):
    """A desktop whose default https handler is a script that records the URL it was given."""
    data, config = os.path.join(WORK.name, "data"), os.path.join(WORK.name, "config")
    os.makedirs(os.path.join(data, "applications"), exist_ok=True)
    os.makedirs(config, exist_ok=True)
    recorder = os.path.join(WORK.name, "record-url")
    with open(recorder, "w") as script:
        script.write(f"#!/bin/sh\nprintf '%s\\n' \"$1\" > '{record}.part' && mv '{record}.part' '{record}'\n")
    os.chmod(recorder, 0o755)
    with open(os.path.join(data, "applications", "recorder.desktop"), "w") as entry:
        entry.write(f"[Desktop Entry]\nType=Application\nName=Recorder\nExec={recorder} %u\n"
                    "MimeType=x-scheme-handler/https;\n")
    with open(os.path.join(config, "mimeapps.list"), "w") as defaults:
        defaults.write("[Default Applications]\nx-scheme-handler/https=recorder.desktop\n")
    return {"XDG_DATA_HOME": data, "XDG_CONFIG_HOME": config}


class WithoutAWindowTest(unittest.TestCase):
    def loaded_objects(self, arguments, stdin, env):
        """Runs the program and answers its status and every shared object the loader brought in."""
        result = subprocess.run([PROGRAM, *arguments], input=stdin, capture_output=True, timeout=30,
                                env=dict(env, LD_DEBUG="files"))
        loaded = [line.split("file=")[1].split()[0] for line in result.stderr.decode().splitlines()
                  if "file=" in line and ("needed by" in line or "dynamically loaded by" in line)]
        return result.returncode, loaded

    def test_check_and_refusals_never_load_the_window_system(self):
        request = json.dumps(REQUEST).encode() + b"\n"
        cases = (
            (["--connect", "--check", "--session", "/nonexistent"], b"", 4),
            (["--pairing-approval", "--extra"], request, 2),
            (["--pairing-approval"], request.replace(b"042917", b"42917"), 2),
            (["--pairing-approval"], b"", 2),
            (["--version"], b"", 0),
            (["--help", "--menubar"], b"", 0),
        )
        for arguments, stdin, status in cases:
            with self.subTest(arguments=arguments):
                returned, loaded = self.loaded_objects(arguments, stdin, environment())
                self.assertEqual(returned, status)
                self.assertTrue(loaded, "the loader reported nothing")
                self.assertFalse([name for name in loaded if "Qt6" in name or "tessaly-desktop" in name], loaded)

    def test_no_display_ends_each_mode_with_its_status(self):
        request = json.dumps(REQUEST).encode() + b"\n"
        for display in ("", ":4242"):
            env = environment(DISPLAY=display)
            del env["QT_QPA_PLATFORM"]
            with self.subTest(display=display):
                pairing = subprocess.run([PROGRAM, "--pairing-approval"], input=request, capture_output=True,
                                         env=env, timeout=30)
                self.assertEqual((pairing.returncode, pairing.stdout, pairing.stderr), (2, b"", b""))
                for arguments, status, line in (
                        ([], 1, b"tessaly-setup: cannot show the setup window: no display is available\n"),
                        (["--connect"], 4, b"tessaly-setup: cannot connect a browser: no display is available\n")):
                    run = subprocess.run([PROGRAM, *arguments], capture_output=True, env=env, timeout=30)
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (status, b"", line))


class ClipboardManagerTest(unittest.TestCase):
    """A clipboard manager takes the copy over; it is stopped again so the other cases run without one."""

    def test_copy_is_handed_to_a_running_manager(self):
        home = os.path.join(WORK.name, "home")
        os.makedirs(home, exist_ok=True)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_CACHE_HOME=os.path.join(home, "cache"))
        # The settings store the manager activates on the bus must not write to the real home either.
        subprocess.run(["dbus-send", "--session", "--type=method_call", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.UpdateActivationEnvironment",
                        f"dict:string:string:HOME,{home},XDG_CONFIG_HOME,{env['XDG_CONFIG_HOME']}"], check=True)
        manager = subprocess.Popen(["xfsettingsd", "--disable-wm-check", "--sm-client-disable"], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            driver.wait_for(lambda: selection_has_owner(b"CLIPBOARD_MANAGER"),
                            lambda: "the clipboard manager never took its selection")
            process = start()
            window = driver.find_window(process.pid, "Tessaly MCP configuration")
            shown = window.text_view()
            window.press("Copy example")
            self.assertEqual(finish(process)[0], 0)
            self.assertEqual(driver.wait_for(lambda: clipboard().decode() == shown and shown,
                                             lambda: f"clipboard holds {clipboard()!r}"), shown)
        finally:
            manager.terminate()
            manager.wait(timeout=10)


if __name__ == "__main__":
    subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "lay-out-installation.sh"), INSTALL, EXECUTABLE],
                   check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(INSTALL, "SUPPORT.json"), "w") as support:
        json.dump(SUPPORT, support)
    unittest.main(argv=sys.argv[:1], verbosity=2)
