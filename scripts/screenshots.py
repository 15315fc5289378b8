"""Takes the README's screenshots of what a person sees, from the built program in a private X session: the
setup window, the browser picker, the progress panel, the pairing dialog and the status item's menu. Each
window is alone on an empty screen, so a picture of the screen trimmed to its content is the window. Run by
scripts/screenshots.sh inside with-session.sh with Debian's /usr/bin/python3.

Usage: screenshots.py INSTALL SESSION_FILE OUT_DIR
"""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "desktop"))
import atspi_driver as driver  # noqa: E402
import tray_watcher  # noqa: E402

INSTALL, SESSION, OUT = sys.argv[1:4]
PROGRAM = os.path.join(INSTALL, "TessalySetup", "tessaly-setup")
WORK = tempfile.mkdtemp(prefix="tessaly-shots-")


def environment(**extra):
    return dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb", **extra)


def shoot(name):
    """The screen, trimmed to what is on it, as OUT/name.png."""
    path = os.path.join(OUT, name + ".png")
    subprocess.run(["import", "-window", "root", "-trim", "+repage", path], check=True)
    print("wrote", path)


def browsers():
    """A desktop with two browsers installed whose entries only record what they were asked to open."""
    applications = os.path.join(WORK, "data", "applications")
    os.makedirs(applications, exist_ok=True)
    os.makedirs(os.path.join(WORK, "empty"), exist_ok=True)
    for entry, name in (("chromium.desktop", "Chromium"), ("brave-browser.desktop", "Brave")):
        with open(os.path.join(applications, entry), "w") as desktop:
            desktop.write(f"[Desktop Entry]\nType=Application\nName={name}\nExec=/bin/true %u\n")
    return {"XDG_DATA_HOME": os.path.join(WORK, "data"), "XDG_DATA_DIRS": os.path.join(WORK, "empty")}


def setup_window():
    process = subprocess.Popen([PROGRAM], env=environment())
    window = driver.find_window(process.pid, "Tessaly MCP configuration")
    shoot("setup-window")
    window.press("Close")
    process.wait(timeout=20)


def pairing_dialog():
    request = {"intentId": "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ_-01234", "code": "042917",
               "label": "Work laptop", "port": 51234, "fingerprint": "3f9a1c0d7be24e65"}
    process = subprocess.Popen([PROGRAM, "--pairing-approval"], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, env=environment())
    process.stdin.write(json.dumps(request).encode() + b"\n")
    process.stdin.close()
    window = driver.find_window(process.pid, "Remember this browser?")
    shoot("pairing-dialog")
    window.press("Reject")
    process.wait(timeout=20)


def browser_prompt_and_panel():
    process = subprocess.Popen([PROGRAM, "--connect", "--session", SESSION], env=environment(**browsers()))
    prompt = driver.find_window(process.pid, "Which browser?")
    shoot("browser-prompt")
    prompt.press("Open")
    panel = driver.find_window(process.pid, "Waiting for the extension")
    driver.wait_for(lambda: len(driver._showing_windows(process.pid)) == 1, lambda: "the prompt stayed")
    shoot("progress-panel")
    panel.press("Cancel")
    process.wait(timeout=30)


def tray_menu():
    watcher = tray_watcher.WatcherProcess()
    process = subprocess.Popen([PROGRAM, "--menubar"], env=environment())
    try:
        tray_watcher.wait_view(process.pid, lambda view: view["icon"] and "Connect to Chrome" in json.dumps(view))
        item = tray_watcher.Item(process.pid)
        # A left click on the item opens its menu where the pointer is, as on a panel.
        item.object.Activate(40, 40, dbus_interface=tray_watcher.ITEM)
        driver.wait_for(lambda: subprocess.run(["import", "-window", "root", "-trim", "info:"], capture_output=True,
                                               text=True).stdout.split()[2] != "1x1", lambda: "no menu shown")
        shoot("tray-menu")
        item.click("Quit")
        process.wait(timeout=20)
    finally:
        if process.poll() is None:
            process.kill()
        watcher.stop()


os.makedirs(OUT, exist_ok=True)
setup_window()
pairing_dialog()
browser_prompt_and_panel()
tray_menu()
