"""The status item's copy, timed from the tray's click until the compositor holds the new selection, beside
the two ways of taking the selection without the program: its helper started directly with the same text,
and wl-copy. Each start is stamped with CLOCK_MONOTONIC right before the "clicked" call goes on the bus (or
the process is started); the compositor's news of the new selection is stamped as it arrives by
bench/selection_watch, a data-control client of our own, so no process is started per change. The three take
turns, in an order that reverses every round, and each copy replaces the one before. Then the resident memory
(VmRSS) of the helper that serves the last click's copy, and of wl-copy's server holding the same text.

Usage, inside with-wayland-session.sh with Debian's /usr/bin/python3:
  copy_latency.py PID HELPER SELECTION_WATCH CLICKS
PID is the running status item, HELPER the clipboard helper of its installation.
"""

import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "desktop"))
import tray_watcher  # noqa: E402

TARGET_MS = 50
CLICK = 'click "Copy MCP configuration"'
# Between two copies, so that each finds the program idle, as a person's clicks would.
PAUSE_S = 0.25


class Changes:
    """The selection watcher's reports, read with a deadline."""

    def __init__(self, watch):
        self.process = subprocess.Popen([watch], stdout=subprocess.PIPE)
        self.buffer = b""
        if self.line(20) != "ready":
            raise SystemExit("copy_latency: the selection watcher did not start")

    def line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()

    def after(self, start, what):
        """The stamp of the first new selection after start, in seconds."""
        while True:
            line = self.line(start + 10 - time.monotonic())
            if line is None:
                raise SystemExit(f"copy_latency: {what}: no new selection within 10 s")
            stamp, *empty = line.split()
            if float(stamp) > start and not empty:
                return float(stamp)


def resident(pid):
    """VmRSS and, of that, RssAnon (the part no other process can share), in KiB."""
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split()[:2] for line in status if line.startswith(("VmRSS:", "RssAnon:")))
    return f"{fields['VmRSS:']:>7} {fields['RssAnon:']:>7}"


def serving(program):
    """The one live process started as program (by its argument list's first entry)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if cmdline.read().split(b"\0")[0] == program.encode():
                    found.append(int(entry))
        except OSError:
            continue
    if len(found) != 1:
        raise SystemExit(f"copy_latency: expected one {program} serving, found {len(found)}")
    return found[0]


def main():
    pid, helper, watch, clicks = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
    changes = Changes(watch)
    item = tray_watcher.Item(pid)
    entry = item.entry_id("Copy MCP configuration")
    text = tempfile.NamedTemporaryFile()

    def started(command):
        def start():
            with open(text.name, "rb") as source:
                # A server left behind keeps what it inherits: nothing here waits on its output.
                return subprocess.Popen(command, stdin=source, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        return start

    candidates = {CLICK: lambda: item.clicked(entry),
                  "the helper, started directly": started([helper]),
                  "wl-copy, started directly": started(["wl-copy", "--type", "text/plain;charset=utf-8"])}

    def copy(name):
        start = time.monotonic()
        process = candidates[name]()
        ms = (changes.after(start, name) - start) * 1000
        if process is not None and process.wait(timeout=10) != 0:
            raise SystemExit(f"copy_latency: {name} ended with status {process.returncode}")
        time.sleep(PAUSE_S)
        return ms

    # An untimed click first, which also gives the others the program's text.
    copy(CLICK)
    text.write(subprocess.run(["wl-paste", "-n"], capture_output=True, check=True, timeout=10).stdout)
    text.flush()
    for name in list(candidates)[1:]:
        copy(name)
    times = {name: [] for name in candidates}
    for run in range(clicks):
        for name in (reversed if run % 2 else list)(list(candidates)):
            times[name].append(copy(name))

    print(f"== from the start of a copy to the compositor's new selection, ms, {clicks} each "
          f"(target for the click: max <= {TARGET_MS})")
    print(f"{'copy':<34} {'median':>7} {'min':>7} {'max':>7}")
    for name, values in times.items():
        print(f"{name:<34} {statistics.median(values):>7.1f} {min(values):>7.1f} {max(values):>7.1f}")
    worst = max(times[CLICK])
    print(f"the click's longest {worst:.1f} ms: target {'met' if worst <= TARGET_MS else 'NOT met'}")

    copy(CLICK)
    helper_memory = resident(serving(helper))
    copy("wl-copy, started directly")
    print()
    print("== resident memory while serving the copy, KiB")
    print(f"{'server':<34} {'VmRSS':>7} {'RssAnon':>7}")
    print(f"{'the helper, after the last click':<34} {helper_memory}")
    print(f"{'wl-copy':<34} {resident(serving('wl-copy'))}")
    subprocess.run(["wl-copy", "--clear"], check=True, timeout=10)
    changes.process.terminate()


if __name__ == "__main__":
    main()
