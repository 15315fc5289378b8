"""The pairing dialog and the setup window of the built executable, used as a person would: through the
accessibility bus, the clipboard read by another program after the process has ended, links recorded.
"""

import json
import os
import subprocess

from harness import (INSTALL, INTENT, PROGRAM, REQUEST, WORK, Case, clipboard, environment, finish, main,
                     processes, read_file, write_file)
import atspi_driver as driver  # on the path the harness sets

class PairingApprovalTest(Case):
    def test_each_way_of_answering(self):
        # The requested name sits in a box of its own; the dialog's description reads the sentence whole.
        before = ("Compare this code with the extension page:\n\n042917\n\nOnly approve if both codes match. "
                  "This browser can use the existing browser tools on this computer until revoked.\n\n"
                  "Requested name (unverified):")
        after = "Local port: 51234\nCompanion identity: 0123456789abcdef"
        text = f"{before} <b>Codes match</b>   Q&A\n{after}"
        for how, approved in (("Reject", "false"), ("Return", "false"), ("Codes match - approve", "true")):
            with self.subTest(how):
                process = self.start("--pairing-approval")
                process.stdin.write(REQUEST)
                process.stdin.close()
                window = driver.find_window(process.pid)
                self.assertEqual((window.title(), window.labels(), window.text_view(), window.description(),
                                  window.buttons(), window.default_button()),
                                 ("Remember this browser?", ["Remember this browser?", before, after],
                                  "\u201c<b>Codes match</b> Q&A\u201d", text, ["Reject", "Codes match - approve"],
                                  "Reject"))
                window.send_key("Return") if how == "Return" else window.press(how)
                self.assertEqual(finish(process),
                                 (0, f'{{"approved":{approved},"intentId":"{INTENT}"}}\n'.encode(), b""))


class SetupWindowTest(Case):
    def open_window(self, env=None):
        process = self.start(env=env)
        window = driver.find_window(process.pid, "Tessaly MCP configuration")
        self.assertEqual(window.buttons(), ["Close", "Copy example", "Connect to Chrome", "Support"])
        return process, window

    def test_copy_stays_pasteable_after_exit(self):
        # With no clipboard manager the helper keeps the copy; handing it to one is the helper's own test.
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
        connect = [PROGRAM.encode(), b"--connect"]
        child = driver.wait_for(lambda: processes(connect.__eq__), lambda: "no connect child started")[0]
        driver.find_window(child, "Try again?").press("Close")
        driver.wait_for(lambda: child not in processes(connect.__eq__), lambda: "the connect child did not end")

    def test_support_opens_the_chosen_link(self):
        # A desktop whose default https handler records the URL it was given. Which answers open which links
        # is decided, and tested, apart from the desktop.
        record, recorder = os.path.join(WORK.name, "opened"), os.path.join(WORK.name, "record-url")
        write_file(recorder, f"#!/bin/sh\nprintf '%s\\n' \"$1\" > '{record}.part' && mv '{record}.part' '{record}'\n",
                   0o755)
        write_file(f"{WORK.name}/data/applications/recorder.desktop", "[Desktop Entry]\nType=Application\n"
                   f"Name=Recorder\nExec={recorder} %u\nMimeType=x-scheme-handler/https;\n")
        write_file(f"{WORK.name}/config/mimeapps.list",
                   "[Default Applications]\nx-scheme-handler/https=recorder.desktop\n")
        env = environment(XDG_DATA_HOME=f"{WORK.name}/data", XDG_CONFIG_HOME=f"{WORK.name}/config")
        process, window = self.open_window(env)
        window.press("Support")
        support = driver.find_window(process.pid, "Voluntary support")
        self.assertEqual((support.combo_items(), support.combo_current()),
                         ([f"Option {i} - Maintainers & co" for i in range(5)], "Option 0 - Maintainers & co"))
        support.send_key("Down")
        support.send_key("Down")
        driver.wait_for(lambda: support.combo_current() == "Option 2 - Maintainers & co",
                        lambda: f"selection is {support.combo_current()!r}")
        support.press("Open support link")
        self.assertEqual(finish(process), (0, b"", b""))
        self.assertEqual(driver.wait_for(lambda: read_file(record), lambda: "no link opened"),
                         b"https://www.paypal.com/donate?i=2\n")


class WithoutAWindowTest(Case):
    def test_check_and_refusals_never_load_the_window_system(self):
        for arguments, stdin, status in (
                (["--connect", "--check", "--session", "/nonexistent"], b"", 4),
                (["--pairing-approval", "--extra"], REQUEST, 2),
                (["--pairing-approval"], REQUEST.replace(b"042917", b"42917"), 2),
                (["--pairing-approval"], b"", 2),
                (["--version"], b"", 0),
                (["--help", "--menubar"], b"", 0)):
            with self.subTest(arguments=arguments):
                run = subprocess.run([PROGRAM, *arguments], input=stdin, capture_output=True, timeout=30,
                                     env=environment(LD_DEBUG="files"))
                loaded = [line.split("file=")[1].split()[0] for line in run.stderr.decode().splitlines()
                          if "file=" in line and ("needed by" in line or "dynamically loaded by" in line)]
                self.assertEqual(run.returncode, status)
                self.assertTrue(loaded, "the loader reported nothing")
                self.assertFalse([name for name in loaded if "Qt6" in name or "tessaly-desktop" in name], loaded)

    def test_no_display_ends_each_mode_with_its_status(self):
        for display in ("", ":4242"):
            for arguments, stdin, status, line in (
                    (["--pairing-approval"], REQUEST, 2, b""),
                    ([], b"", 1, b"tessaly-setup: cannot show the setup window: no display is available\n"),
                    (["--connect"], b"", 4, b"tessaly-setup: cannot connect a browser: no display is available\n")):
                with self.subTest(display=display, arguments=arguments):
                    run = subprocess.run([PROGRAM, *arguments], input=stdin, capture_output=True, timeout=30,
                                         env=environment(DISPLAY=display, QT_QPA_PLATFORM=None))
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (status, b"", line))


def setUpModule():
    write_file(os.path.join(INSTALL, "SUPPORT.json"), json.dumps({"links": [
        {"label": f"Option {i}", "recipient": "Maintainers & co", "url": f"https://www.paypal.com/donate?i={i}"}
        for i in range(5)]}))


if __name__ == "__main__":
    main()
