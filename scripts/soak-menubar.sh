#!/usr/bin/env bash
# Runs the menu-bar mode for a long while against the stand-in companion, under a private Xvfb session with a
# tray host of our own (scripts/desktop/tray_watcher.py), and looks for leaks. Every ~20 s it chooses "Connect to
# Chrome" in the item's menu; the connect attempt finds no browser in its private desktop and asks "Try
# again?", which is answered "Close" through the accessibility bus. Every 10 s it samples the mode's open
# descriptors, threads, resident memory and zombie children. Descriptors and threads are counted when no
# child of the mode runs (a probe in flight holds a pipe and a process descriptor), so that they compare.
#
# Verdict: the last minute's maximum of each figure is no higher than the first minute's (memory may differ by
# less than 1 MiB), and no child of the mode ever stayed a zombie. A child is one for the instant between its
# exit and its reaping, so a zombie counts when it is still there a fifth of a second later.
#
# Usage: scripts/soak-menubar.sh [MINUTES]   (default 10; at least 2)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/bench-lib.sh
[ "${1:-}" = "--in-session" ] || run_in_session "$0" "$@"
shift
minutes=${1:-10}
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 2 ]; then
    echo "usage: scripts/soak-menubar.sh [MINUTES >= 2]" >&2
    exit 2
fi

watcher_pid="" mode_pid=""
open_workspace mode_pid watcher_pid

python=/usr/bin/python3
tray() { "$python" scripts/desktop/tray_watcher.py "$@"; }
bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
# The connect mode and the presence script find the session through HOME; no browser is installed.
mkdir -p "$work/home" "$work/data" "$work/empty"
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_DATA_DIRS="$work/empty"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb
unset TESSALY_SESSION

start_companion "$work/install" "$HOME/.tessaly-mcp/session.json" "$work/companion.log"
start_tray_watcher
"$work/install/TessalySetup/tessaly-setup" --menubar >"$work/mode.out" 2>"$work/mode.err" &
mode_pid=$!
tray wait '"Companion running"' --pid "$mode_pid"

# Chooses "Connect to Chrome", closes the prompt of the attempt it starts, and waits until the mode has reaped
# it. Prints nothing when all went well, else what went wrong.
connect_once() {
    tray click "Connect to Chrome" --pid "$mode_pid" || { echo "the click failed"; return; }
    "$python" - "$mode_pid" <<'PY' || true
import os, sys, time
sys.path.insert(0, "scripts/desktop")
import atspi_driver as driver

mode = sys.argv[1]
def connect_child():
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                ppid = stat.read().rsplit(")", 1)[1].split()[1]
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if ppid == mode and b"--connect" in cmdline.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
try:
    child = driver.wait_for(connect_child, lambda: "no connect child started")
    driver.find_window(child, "Try again?").press("Close")
    driver.wait_for(lambda: not os.path.exists(f"/proc/{child}"), lambda: f"connect child {child} not reaped")
except driver.DriverError as error:
    print(error)
PY
}

# Prints "FDS THREADS RSS_KIB ZOMBIES" for the mode.
sample() {
    "$python" - "$mode_pid" <<'PY'
import os, sys, time
mode = sys.argv[1]
def children():
    """The states of the mode's children, by process id."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == mode:
            found[entry] = fields[0]
    return found
zombies = {pid for pid, state in children().items() if state == "Z"}
if zombies:
    time.sleep(0.2)
    zombies &= {pid for pid, state in children().items() if state == "Z"}
deadline = time.monotonic() + 7  # longer than a probe may take
while any(state != "Z" for state in children().values()) and time.monotonic() < deadline:
    time.sleep(0.02)
fds, threads = len(os.listdir(f"/proc/{mode}/fd")), len(os.listdir(f"/proc/{mode}/task"))
rss = next(line.split()[1] for line in open(f"/proc/{mode}/status") if line.startswith("VmRSS:"))
print(fds, threads, rss, len(zombies))
PY
}

echo "== menu-bar mode soak: $minutes minutes, a connect attempt every ~20 s, a sample every 10 s"
printf '%6s %5s %8s %9s %8s %9s  %s\n' "time s" fds threads "rss KiB" zombies attempts problems
began=$(date +%s)
samples=$((minutes * 6))
attempts=0 problems=0
: >"$work/samples"
for ((i = 0; i <= samples; i++)); do
    # The schedule, not a wait for a condition: a sample each 10 s of wall time.
    now=$(date +%s)
    due=$((began + i * 10))
    [ "$now" -ge "$due" ] || sleep $((due - now))
    kill -0 "$mode_pid" 2>/dev/null || { echo "soak-menubar: the mode ended early" >&2; exit 1; }
    note=""
    if ((i > 0 && i < samples && i % 2 == 0)); then
        attempts=$((attempts + 1))
        note=$(connect_once)
        [ -z "$note" ] || problems=$((problems + 1))
    fi
    read -r fds threads rss zombies < <(sample)
    echo "$((i * 10)) $fds $threads $rss $zombies" >>"$work/samples"
    printf '%6s %5s %8s %9s %8s %9s  %s\n' "$((i * 10))" "$fds" "$threads" "$rss" "$zombies" "$attempts" "$note"
done

tray click Quit --pid "$mode_pid"
status=0
wait "$mode_pid" || status=$?
mode_pid=""

echo
awk -v problems="$problems" -v attempts="$attempts" -v status="$status" \
    -v out="$(wc -c <"$work/mode.out")" -v err="$(wc -c <"$work/mode.err")" -v last="$((samples * 10 - 60))" '
    $1 <= 60 { for (f = 2; f <= 4; f++) if ($f > first[f]) first[f] = $f }
    $1 >= last { for (f = 2; f <= 4; f++) if ($f > end[f]) end[f] = $f }
    { zombies += $5 }
    END {
        split("fds threads rss_KiB", names, " ")
        verdict = "PASS"
        printf "%-10s %12s %12s\n", "figure", "first-min max", "last-min max"
        for (f = 2; f <= 4; f++) {
            printf "%-10s %12d %12d\n", names[f - 1], first[f], end[f]
            allowed = f == 4 ? 1023 : 0
            if (end[f] - first[f] > allowed) verdict = "FAIL (" names[f - 1] " grew)"
        }
        printf "zombie samples: %d; connect attempts: %d, not closed cleanly: %d; exit status %d; %d bytes on stdout, %d on stderr\n",
            zombies, attempts, problems, status, out, err
        if (zombies > 0) verdict = "FAIL (zombie children)"
        if (problems > 0 || status != 0 || out > 0 || err > 0) verdict = "FAIL (see above)"
        print "verdict: " verdict
        exit verdict != "PASS"
    }' "$work/samples"
