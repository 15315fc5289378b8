"""The connect mode of the built executable, used as a person would: the stand-in companion runs, browsers
are desktop entries in a private data folder, the prompts are read and answered through the accessibility
bus. A "pairing" browser opens the page in headless Chromium, which pairs with the companion; a "recording"
browser only writes down the arguments it was given. Run inside with-session.sh with Debian's
/usr/bin/python3.

Usage: connect_mode_test.py EXECUTABLE SOURCE_DIR [CASE...]
CASE names a test class or method; without one every case runs but the 90-second wait (TimedOutWaitTest).
"""

import json
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import atspi_driver as driver  # noqa: E402

EXECUTABLE, SOURCE_DIR = sys.argv[1], sys.argv[2]
WORK = tempfile.TemporaryDirectory(prefix="tessaly-connect-")
INSTALL = os.path.join(WORK.name, "install")
PROGRAM = os.path.join(INSTALL, "TessalySetup", "tessaly-setup")
VERIFIER = os.path.join(INSTALL, "bin", "connect-verify.js").encode()
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"

ONE_BROWSER_TEXT = ("The pairing token stays in the address fragment and never reaches the local server. "
                    "Nothing is remembered unless you separately approve a request afterwards.")
PANEL_TITLE = "Waiting for the extension"
PANEL_TEXT = ("Finish connecting in the browser you just opened.\n"
              "This window closes by itself when the extension attaches.")
NO_SESSION = ("The connection could not be completed. Nothing was changed. Start the companion app, then try "
              "once more.")
NOT_ATTACHED = ("The connection could not be completed. Nothing was changed. The pairing page opened but the "
                "extension did not attach. Check the extension is installed in that browser, then try once more.")
# The attach wait's own limit; nothing in the product is shortened for the test.
ATTACH_TIMEOUT = 90


def showing_windows(pid):
    """Every window pid shows. The panel and the timed-out alert share a title, so the driver's lookup by
    title cannot tell them apart."""
    try:
        return [driver.Window(acc) for acc in driver._showing_windows(pid)]
    except driver.GLib.Error:  # the program is starting or exiting under us
        return []


def window_with(pid, title, buttons, timeout=driver.DEFAULT_TIMEOUT):
    """Waits until pid shows a window titled title with exactly these buttons, and returns it."""
    def matching():
        for window in showing_windows(pid):
            try:
                if window.title() == title and window.buttons() == buttons:
                    return window
            except driver.DriverError:
                continue
        return None
    return driver.wait_for(matching, lambda: f"no window {title!r} with buttons {buttons} of pid {pid}; showing "
                                             f"{[w.title() for w in showing_windows(pid)]}", timeout)


def processes_mentioning(text):
    """The process ids whose command line contains text; a zombie's is empty, so ended ones never count."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if text in cmdline.read():
                    found.append(int(entry))
        except OSError:
            continue
    return found


def write_executable(path, text):
    with open(path, "w") as file:
        file.write(text)
    os.chmod(path, 0o755)


def read_file(path):
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return None


class ConnectCase(unittest.TestCase):
    """One private desktop per case: its own data folder of browser entries, its own companion."""

    maxDiff = None  # a sanitizer's report on standard error is read in full

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=WORK.name, prefix=self._testMethodName + "-")
        self.applications = os.path.join(self.dir, "data", "applications")
        os.makedirs(self.applications)
        # An empty system data folder: the machine's own browser entries must not be found.
        os.makedirs(os.path.join(self.dir, "system-data"))
        self.session = os.path.join(self.dir, "state", "session.json")
        self.addCleanup(self.stop_strays)

    def add_browser(self, desktop_id, pairing):
        """Installs a browser under desktop_id. A pairing browser opens the page in headless Chromium; a
        recording one writes its arguments, NUL-terminated, to the returned file and exits."""
        name = desktop_id.removesuffix(".desktop")
        script = os.path.join(self.dir, name + ".sh")
        record = None
        if pairing:
            profile, log = (shlex.quote(os.path.join(self.dir, name + suffix)) for suffix in ("-profile", ".log"))
            # The case's folder as home too: every Chromium process, its crash handlers included, names it.
            write_executable(script, f"#!/bin/sh\nHOME={shlex.quote(self.dir)} exec timeout 60 {CHROMIUM} "
                                     "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                                     "--disable-background-networking --disable-component-update --disable-sync "
                                     f"--user-data-dir={profile} --virtual-time-budget=10000 --dump-dom \"$1\" "
                                     f">{log} 2>&1\n")
        else:
            record = os.path.join(self.dir, name + ".args")
            part, whole = shlex.quote(record + ".part"), shlex.quote(record)
            write_executable(script, f"#!/bin/sh\nprintf '%s\\0' \"$@\" > {part} && mv {part} {whole}\n")
        with open(os.path.join(self.applications, desktop_id), "w") as entry:
            # A name of its own: the prompts must name the browser, not the entry.
            entry.write(f"[Desktop Entry]\nType=Application\nName=Stand-in {name}\nExec={script} %u\n")
        return record

    def stop_strays(self):
        """Ends whatever of this case still runs, such as a browser that has not finished: all name the case's
        folder on their command line."""
        def none_left():
            strays = processes_mentioning(self.dir.encode())
            for pid in strays:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            return not strays
        driver.wait_for(none_left, lambda: f"processes still run: {processes_mentioning(self.dir.encode())}")

    def start_companion(self, *options):
        """Starts the stand-in companion, which writes the session file; answers its pairing URL."""
        errors = os.path.join(self.dir, "companion.err")
        with open(errors, "ab") as log:
            companion = subprocess.Popen([os.path.join(INSTALL, "tessaly-mcp"), "--session", self.session,
                                          "--port", "0", *options], stdout=subprocess.PIPE, stderr=log)
        self.addCleanup(self.stop, companion)
        readable, _, _ = select.select([companion.stdout], [], [], driver.DEFAULT_TIMEOUT)
        line = companion.stdout.readline().decode() if readable else ""
        self.assertTrue(line.startswith("ready "), f"the companion did not start: {line!r} {read_file(errors)}")
        with open(self.session) as session:
            return json.load(session)["pairUrl"]

    def stop(self, process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()

    def start_connect(self):
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                   XDG_DATA_HOME=os.path.join(self.dir, "data"),
                   XDG_DATA_DIRS=os.path.join(self.dir, "system-data"))
        # Files rather than pipes: a long report on a stream must not hold the program up at its exit.
        with open(os.path.join(self.dir, "out"), "wb") as out, open(os.path.join(self.dir, "err"), "wb") as err:
            process = subprocess.Popen([PROGRAM, "--connect", "--session", self.session], stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, env=env)
        self.addCleanup(self.stop, process)
        self.addCleanup(self.show_errors, process)
        return process

    def show_errors(self, process):
        """A program that ended before the case expected it to says why only here."""
        errors = read_file(os.path.join(self.dir, "err"))
        if process.poll() is not None and errors:
            print(f"\n{PROGRAM} ended with status {process.returncode}:\n{errors.decode(errors='replace')}",
                  file=sys.stderr)

    def finish(self, process, status):
        """Waits for the program to end and checks how: its status, silent streams, no verifier left behind.
        A question left open, such as "Try again?", keeps it from ending and is named in the failure."""
        # Not read through the bus meanwhile: a query that meets the program's exit makes the bus library
        # leave a message behind, which the leak checker of a sanitizer build reports.
        try:
            process.wait(timeout=driver.DEFAULT_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail(f"the program did not end; it shows {[w.title() for w in showing_windows(process.pid)]}")
        self.assertEqual(processes_mentioning(VERIFIER), [], "a verifier outlived the program")
        self.assertEqual((process.returncode, read_file(os.path.join(self.dir, "out")),
                          read_file(os.path.join(self.dir, "err"))), (status, b"", b""))

    def open_in_only_browser(self, process, name):
        prompt = driver.find_window(process.pid, f"Open the pairing page in {name}?")
        self.assertEqual(prompt.labels(), [f"Open the pairing page in {name}?", ONE_BROWSER_TEXT])
        self.assertEqual(prompt.buttons(), ["Cancel", "Open pairing page"])
        self.assertEqual(prompt.default_button(), "Cancel")
        prompt.press("Open pairing page")

    def await_panel(self, process):
        panel = window_with(process.pid, PANEL_TITLE, ["Cancel"])
        self.assertEqual(panel.labels(), [PANEL_TEXT])
        return panel

    def pair_and_close(self, process):
        """From the one-browser prompt of a pairing browser to the end alert, closed."""
        self.open_in_only_browser(process, "Chromium")
        self.await_panel(process)
        connected = window_with(process.pid, "Chrome is connected", ["Close"], timeout=60)
        # Once the extension has attached, the panel has closed by itself.
        driver.wait_for(lambda: [w.title() for w in showing_windows(process.pid)] == ["Chrome is connected"],
                        lambda: f"showing {[w.title() for w in showing_windows(process.pid)]}")
        connected.press("Close")


class ConnectModeTest(ConnectCase):
    def test_pairing_in_the_only_browser_ends_connected(self):
        self.add_browser("chromium.desktop", pairing=True)
        self.start_companion()
        process = self.start_connect()
        self.pair_and_close(process)
        self.finish(process, 0)

    def test_the_chosen_browser_alone_gets_the_pairing_url(self):
        chromium = self.add_browser("org.chromium.Chromium.desktop", pairing=False)
        brave = self.add_browser("brave-browser.desktop", pairing=False)
        # Slow answers keep a verification running while the wait is cancelled: it must not outlive the program.
        url = self.start_companion("--check-delay-ms", "1500")
        process = self.start_connect()
        picker = driver.find_window(process.pid, "Which browser?")
        self.assertEqual(picker.combo_items(), ["Chromium", "Brave Browser"])
        self.assertEqual(picker.combo_current(), "Chromium")
        self.assertEqual(picker.buttons(), ["Cancel", "Open"])
        picker.send_key("Down")
        driver.wait_for(lambda: picker.combo_current() == "Brave Browser",
                        lambda: f"selection is {picker.combo_current()!r}")
        picker.press("Open")
        received = driver.wait_for(lambda: read_file(brave), lambda: "Brave was never started")
        self.assertEqual(received.split(b"\0")[:-1], [url.encode()])
        panel = self.await_panel(process)
        driver.wait_for(lambda: processes_mentioning(VERIFIER), lambda: "no verification during the wait")
        panel.press("Cancel")
        self.finish(process, 3)
        self.assertIsNone(read_file(chromium))

    def test_cancel_in_the_prompt_opens_nothing(self):
        record = self.add_browser("com.brave.Browser.desktop", pairing=False)
        self.start_companion()
        process = self.start_connect()
        prompt = driver.find_window(process.pid, "Open the pairing page in Brave Browser?")
        prompt.press("Cancel")
        self.finish(process, 3)
        self.assertIsNone(read_file(record))

    def test_try_again_after_the_companion_started_pairs(self):
        self.add_browser("chromium.desktop", pairing=True)
        process = self.start_connect()
        retry = driver.find_window(process.pid, "Try again?")
        self.assertEqual(retry.labels(), ["Try again?", NO_SESSION])
        self.assertEqual(retry.buttons(), ["Close", "Try again"])
        self.start_companion()
        retry.press("Try again")
        self.pair_and_close(process)
        self.finish(process, 0)


class TimedOutWaitTest(ConnectCase):
    def test_a_browser_that_never_pairs_times_out_then_fails(self):
        record = self.add_browser("chromium.desktop", pairing=False)
        url = self.start_companion()
        process = self.start_connect()
        self.open_in_only_browser(process, "Chromium")
        pressed = time.monotonic()  # the wait starts later still: once the browser was launched
        self.await_panel(process)
        self.assertEqual(driver.wait_for(lambda: read_file(record), lambda: "the browser was never started"),
                         url.encode() + b"\0")

        panel_seen = []

        def timed_out_alert():
            for window in showing_windows(process.pid):
                try:
                    buttons, title = window.buttons(), window.title()
                except driver.DriverError:
                    continue
                if buttons == ["Cancel"]:
                    panel_seen.append(time.monotonic())
                elif buttons == ["Close"] and title == PANEL_TITLE:
                    return window
            return None
        alert = driver.wait_for(timed_out_alert, lambda: "no timed-out alert", ATTACH_TIMEOUT + 30)
        shown = time.monotonic()
        self.assertGreaterEqual(shown - pressed, ATTACH_TIMEOUT)
        self.assertLess(shown - pressed, ATTACH_TIMEOUT + 10)
        self.assertGreater(max(panel_seen, default=pressed), shown - 2, "the panel closed before the wait ran out")
        self.assertTrue(alert.labels()[-1].startswith(
            "The pairing page was opened, but no extension has attached yet."), alert.labels())
        alert.press("Close")

        retry = driver.find_window(process.pid, "Try again?")
        self.assertEqual(retry.labels(), ["Try again?", NOT_ATTACHED])
        retry.press("Close")
        self.finish(process, 4)


if __name__ == "__main__":
    subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "lay-out-installation.sh"), INSTALL, EXECUTABLE],
                   check=True, stdout=subprocess.DEVNULL)
    unittest.main(argv=sys.argv[:1] + (sys.argv[3:] or ["ConnectModeTest"]), verbosity=2)
