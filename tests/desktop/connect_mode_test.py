"""The connect mode of the built executable, used as a person would: the stand-in companion runs, browsers are
desktop entries in a private data folder, the prompts are read and answered through the accessibility bus.
Without a CASE every case runs but the 90-second wait (TimedOutWaitTest).
"""

import contextlib
import glob
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from harness import (INSTALL, WORK, Case, environment, finish, main, processes,
                     read_file, write_file)
import atspi_driver as driver  # on the path the harness sets

VERIFIER = os.path.join(INSTALL, "bin", "connect-verify.js").encode()
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
PANEL_TITLE = "Waiting for the extension"
FAILED = "The connection could not be completed. Nothing was changed. "
ATTACH_TIMEOUT = 90  # the attach wait's own limit; nothing in the product is shortened for the test


def verifiers():
    return processes(lambda args: VERIFIER in args)


def pages():  # in the user's private folder
    return glob.glob(os.path.join(os.environ["XDG_RUNTIME_DIR"], "tessaly-setup", "pair-*.html"))


@contextlib.contextmanager
def command_lines_seen():
    """Reads every process's command line, over and over, while in use; yields the set of those seen."""
    seen, stopping = set(), threading.Event()

    def watch():
        while not stopping.wait(0.02):
            processes(lambda args: seen.add(tuple(args)))
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        yield seen
    finally:
        stopping.set()
        watcher.join()


class ConnectCase(Case):
    maxDiff = None  # a sanitizer's report on standard error is read in full

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=WORK.name, prefix=self._testMethodName + "-")
        self.session = os.path.join(self.dir, "state", "session.json")
        self.addCleanup(self.stop_strays)

    def add_browser(self, desktop_id, kind):
        """A pairing browser opens the page in headless Chromium; a recording one writes its arguments,
        NUL-terminated, to the returned file and what it was started with to that file's name + ".facts"."""
        name = desktop_id.removesuffix(".desktop")
        script, record = os.path.join(self.dir, name + ".sh"), os.path.join(self.dir, name + ".args")
        if kind == "pairing":
            profile, log = (shlex.quote(os.path.join(self.dir, name + suffix)) for suffix in ("-profile", ".log"))
            # The case's folder as home too: every Chromium process, its crash handlers included, names it.
            write_file(script, f"#!/bin/sh\nHOME={shlex.quote(self.dir)} exec timeout 60 {CHROMIUM} --headless "
                               "--no-sandbox --disable-gpu --disable-quic --no-first-run --disable-sync "
                               "--disable-background-networking --disable-component-update "
                               f"--user-data-dir={profile} --virtual-time-budget=10000 --dump-dom \"$1\" >{log} 2>&1\n",
                       0o755)
        elif kind == "recording":
            part, whole, facts = (shlex.quote(record + suffix) for suffix in (".part", "", ".facts"))
            # A child lists the descriptors and writes the list itself: a redirection would change the shell's.
            write_file(script, f"#!/bin/sh\nfind /proc/$$/fd -mindepth 1 -fprintf {facts}.part 'fd %f %l\\n'\n"
                               f"printf 'pid %s %s\\nstartup %s\\n' $$ \"$(cut -d' ' -f6 /proc/$$/stat)\" "
                               f"\"${{DESKTOP_STARTUP_ID-unset}}\" >> {facts}.part && mv {facts}.part {facts}\n"
                               f"printf '%s\\0' \"$@\" > {part} && mv {part} {whole}\n", 0o755)
        else:
            write_file(script, "#!/bin/sh\nexit 1\n", 0o755)
        # A name of its own: the prompts must name the browser, not the entry.
        write_file(os.path.join(self.dir, "data", "applications", desktop_id),
                   f"[Desktop Entry]\nType=Application\nName=Stand-in {name}\nExec={script} %u\n")
        return record

    def assert_started_apart(self, record):
        """The recording browser ran in a session of its own, its streams on /dev/null and no other descriptor
        of ours (the shell's of its script aside), with a startup ID of the launch's own."""
        facts = read_file(record + ".facts").decode().splitlines()
        script = record.removesuffix(".args") + ".sh"
        self.assertEqual(sorted(line for line in facts if line.startswith("fd ") and not line.endswith(script)),
                         ["fd 0 /dev/null", "fd 1 /dev/null", "fd 2 /dev/null"])
        pid, session = next(line.split()[1:] for line in facts if line.startswith("pid "))
        self.assertEqual(session, pid, "not a session leader")
        startup = next(line.split(" ", 1)[1] for line in facts if line.startswith("startup "))
        self.assertRegex(startup, r"^tessaly-setup-\d+-[A-Za-z0-9.-]+-\d+_TIME\d+$")

    def stop_strays(self):
        """Ends whatever of this case still runs, such as a browser: all name the case's folder."""
        def none_left():
            strays = processes(lambda args: any(self.dir.encode() in arg for arg in args))
            for pid in strays:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            return not strays
        driver.wait_for(none_left, lambda: "processes of the case still run")

    def start_connect(self):
        # A system data folder with nothing in it: the machine's own browser entries must not be found.
        return self.start("--connect", "--session", self.session, stdin=subprocess.DEVNULL, env=environment(
            XDG_DATA_HOME=os.path.join(self.dir, "data"), XDG_DATA_DIRS=os.path.join(self.dir, "system-data")))

    def finish(self, process, status):
        """Not read through the bus meanwhile: a query that meets the program's exit makes the bus library leave
        a message behind, which the leak checker of a sanitizer build reports."""
        try:
            self.assertEqual(finish(process, driver.DEFAULT_TIMEOUT), (status, b"", b""))
        except subprocess.TimeoutExpired:  # a question left open, such as "Try again?", keeps it from ending
            self.fail(f"the program did not end; it shows {driver.showing(process.pid)}")
        self.assertEqual(verifiers(), [], "a verifier outlived the program")

    def open_in_only_browser(self, process, name):
        prompt = driver.find_window(process.pid, f"Open the pairing page in {name}?")
        self.assertEqual((prompt.buttons(), prompt.default_button()), (["Cancel", "Open pairing page"], "Cancel"))
        prompt.press("Open pairing page")

    def pair_and_close(self, process, companion):
        """All the while no process shows the token on its command line, where every local user could read it."""
        self.open_in_only_browser(process, "Chromium")
        with command_lines_seen() as seen:
            driver.find_window(process.pid, PANEL_TITLE, buttons=["Cancel"])
            connected = driver.find_window(process.pid, "Chrome is connected", 60, ["Close"])
        secret, profile = companion.url.split("#token=")[1].encode(), b"--user-data-dir=" + self.dir.encode()
        self.assertEqual([args for args in seen if any(secret in arg for arg in args)], [])
        self.assertTrue([args for args in seen if any(arg.startswith(profile) for arg in args)],
                        "the watch never saw the browser run")
        # Once the extension has attached, the panel has closed by itself.
        driver.wait_for(lambda: driver.showing(process.pid) == ["Chrome is connected"],
                        lambda: f"showing {driver.showing(process.pid)}")
        connected.press("Close")

    def retry_prompt(self, process, reason):
        retry = driver.find_window(process.pid, "Try again?")
        self.assertEqual((retry.labels(), retry.buttons()), (["Try again?", FAILED + reason], ["Close", "Try again"]))
        return retry


class ConnectModeTest(ConnectCase):
    def test_the_chosen_browser_alone_gets_the_pairing_url(self):
        chromium = self.add_browser("org.chromium.Chromium.desktop", "recording")
        brave = self.add_browser("brave-browser.desktop", "recording")
        # Slow answers keep a verification running while the wait is cancelled: it must not outlive the program.
        self.companion(self.session, "--check-delay-ms", "1500")
        process = self.start_connect()
        picker = driver.find_window(process.pid, "Which browser?")
        self.assertEqual((picker.combo_items(), picker.combo_current(), picker.buttons()),
                         (["Chromium", "Brave Browser"], "Chromium", ["Cancel", "Open"]))
        picker.send_key("Down")
        driver.wait_for(lambda: picker.combo_current() == "Brave Browser",
                        lambda: f"selection is {picker.combo_current()!r}")
        picker.press("Open")
        # Brave can read the user's runtime folder: it gets a private page there that forwards to the URL.
        given = driver.wait_for(lambda: read_file(brave), lambda: "Brave was never started")
        page = pages()[0] if pages() else "<no page>"
        # GIO hands a file URL on as its path where the entry takes URLs; either opens the page.
        self.assertIn(given, (f"file://{page}".encode() + b"\0", page.encode() + b"\0"))
        self.assert_started_apart(brave)
        panel = driver.find_window(process.pid, PANEL_TITLE, buttons=["Cancel"])
        driver.wait_for(verifiers, lambda: "no verification during the wait")
        panel.press("Cancel")
        self.finish(process, 3)
        self.assertIsNone(read_file(chromium))
        self.assertEqual(pages(), [], "the pairing page outlived the wait")

    def test_cancel_in_the_prompt_opens_nothing(self):
        record = self.add_browser("com.brave.Browser.desktop", "recording")
        self.companion(self.session)
        process = self.start_connect()
        driver.find_window(process.pid, "Open the pairing page in Brave Browser?").press("Cancel")
        self.finish(process, 3)
        self.assertIsNone(read_file(record))

    def test_try_again_after_the_companion_started_pairs(self):
        self.add_browser("chromium.desktop", "pairing")
        process = self.start_connect()
        retry = self.retry_prompt(process, "Start the companion app, then try once more.")
        companion = self.companion(self.session)
        retry.press("Try again")
        self.pair_and_close(process, companion)
        self.finish(process, 0)
        self.assertEqual(pages(), [], "the pairing page outlived the wait")

    def test_a_browser_that_fails_at_once_is_a_failed_open(self):
        self.add_browser("chromium.desktop", "failing")
        self.companion(self.session)
        process = self.start_connect()
        self.open_in_only_browser(process, "Chromium")
        # Told within the prompt's own timeout, well before the attach wait's 90 seconds, and with no panel.
        self.retry_prompt(process, "The pairing page could not be opened in the chosen browser. Open that browser "
                                   "once by hand, then try once more.").press("Close")
        self.finish(process, 4)
        self.assertEqual(pages(), [], "the pairing page outlived the attempt")


class TimedOutWaitTest(ConnectCase):
    def test_a_browser_that_never_pairs_times_out_then_fails(self):
        # Flatpak's Chromium cannot read the user's runtime folder: it gets the pairing URL itself.
        record = self.add_browser("org.chromium.Chromium.desktop", "recording")
        url = self.companion(self.session).url
        process = self.start_connect()
        self.open_in_only_browser(process, "Chromium")
        pressed = time.monotonic()  # the wait starts later still: once the browser was launched
        driver.find_window(process.pid, PANEL_TITLE, buttons=["Cancel"])
        self.assertEqual(driver.wait_for(lambda: read_file(record), lambda: "the browser was never started"),
                         url.encode() + b"\0")
        panel_seen = []

        def timed_out_alert():  # the panel and the alert share a title; their buttons differ
            windows = {tuple(w.buttons()): w for w in map(driver.Window, driver._showing_windows(process.pid))
                       if w.title() == PANEL_TITLE}
            if ("Cancel",) in windows:
                panel_seen.append(time.monotonic())
            return windows.get(("Close",))
        alert = driver.wait_for(timed_out_alert, lambda: "no timed-out alert", ATTACH_TIMEOUT + 30)
        shown = time.monotonic()
        self.assertGreaterEqual(shown - pressed, ATTACH_TIMEOUT)
        self.assertLess(shown - pressed, ATTACH_TIMEOUT + 10)
        self.assertGreater(max(panel_seen, default=pressed), shown - 2, "the panel closed before the wait ran out")
        self.assertTrue(alert.labels()[-1].startswith(
            "The pairing page was opened, but no extension has attached yet."), alert.labels())
        alert.press("Close")
        self.retry_prompt(process, "The pairing page opened but the extension did not attach. Check the extension "
                                   "is installed in that browser, then try once more.").press("Close")
        self.finish(process, 4)


if __name__ == "__main__":
    main("ConnectModeTest")
