#!/usr/bin/env bash
# What the menu-bar mode costs while it sits in the tray, under a private Xvfb session with a tray host of our
# own (scripts/desktop/tray_watcher.py), or with --wayland natively in a headless sway with waybar's tray
# (scripts/desktop/with-wayland-session.sh), and the stand-in companion running, so that every probe runs the
# real presence script against it:
#
#  1. idle CPU: the mode's own user and system time (/proc/PID/stat utime+stime; its probe children's time
#     is shown apart) as an average share of one core over MINUTES (target: below 0.2 %);
#  2. resident memory (VmRSS) at the end of that period against a minimal Qt tray program running beside it
#     (bench/minimal_tray.cpp: the same seven-position menu and a 5 s timer that does nothing; target: at most
#     1.25 times);
#  3. display latency: from the moment a presence script has finished its output until the item's changes
#     are visible on the bus, over PROBES probes of a script that reports a new title each time and a state
#     that alternates, so that the tooltip, the menu and the picture all change (target: 50 ms). The script
#     writes its report, writes down CLOCK_MONOTONIC and then closes its output (the mode stops a child that
#     lingers after its output ends, so nothing can be written after that); the watcher stamps each signal
#     with the same clock as it arrives. Not with --wayland: that needs our own tray host's stamps.
#
# Under Wayland the mode chooses its platform as in a user's session (none named), and the minimal program
# is given the mode's own choice, "wayland;xcb".
#
# Usage: bench/menubar-idle.sh [--wayland] [MINUTES] [PROBES]   (defaults 5 and 20)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/bench-lib.sh
[ "${1:-}" = "--in-session" ] || run_in_session "$0" "$@"
shift
wayland=0
[ "${1:-}" != "--wayland" ] || { wayland=1; shift; }
minutes=${1:-5}
probes=${2:-20}
[[ "$minutes" =~ ^[1-9][0-9]*$ && "$probes" =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: bench/menubar-idle.sh [--wayland] [MINUTES] [PROBES]" >&2
    exit 2
}

watcher_pid="" mode_pid="" reference_pid=""
open_workspace mode_pid reference_pid watcher_pid

python=/usr/bin/python3
tray() { "$python" scripts/desktop/tray_watcher.py "$@"; }
bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
mkdir -p "$work/home"
export HOME="$work/home" QT_QPA_PLATFORM=xcb
reference_platform=xcb tray_host="our own tray host under Xvfb"
if [ "$wayland" = 1 ]; then
    unset QT_QPA_PLATFORM
    reference_platform="wayland;xcb" tray_host="waybar's tray under sway"
fi
unset TESSALY_SESSION

start_companion "$work/install" "$HOME/.tessaly-mcp/session.json" "$work/companion.log"
[ "$wayland" = 1 ] || start_tray_watcher

# Prints "UTIME+STIME CUTIME+CSTIME" of process $1 in seconds.
cpu() {
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f %.2f\n", ($12 + $13) / hz, ($14 + $15) / hz }' \
        "/proc/$1/stat"
}
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# What the mode wrote, which should be nothing.
streams() {
    printf 'mode: %s bytes on stdout, %s on stderr\n' "$(wc -c <"$work/mode.out")" "$(wc -c <"$work/mode.err")"
}

"$work/install/TessalySetup/tessaly-setup" --menubar >"$work/mode.out" 2>"$work/mode.err" &
mode_pid=$!
QT_QPA_PLATFORM=$reference_platform "$BENCH_TOOLS/minimal_tray" >/dev/null 2>&1 &
reference_pid=$!
tray wait '"Companion running"' --pid "$mode_pid"
tray wait '"Quit"' --pid "$reference_pid"

echo "== idle cost over $minutes min in $tray_host: stand-in companion running, a probe every 5 s"
read -r mode_cpu0 mode_children0 < <(cpu "$mode_pid")
read -r reference_cpu0 _ < <(cpu "$reference_pid")
began=$(date +%s.%N)
mode_rss_max=0 reference_rss_max=0
for ((i = 1; i <= minutes * 6; i++)); do
    sleep 10 # the measuring period itself, not a wait for a condition
    kill -0 "$mode_pid" 2>/dev/null || { echo "menubar-idle: the mode ended" >&2; exit 1; }
    m=$(rss "$mode_pid") r=$(rss "$reference_pid")
    ((m > mode_rss_max)) && mode_rss_max=$m
    ((r > reference_rss_max)) && reference_rss_max=$r
done
ended=$(date +%s.%N)
read -r mode_cpu1 mode_children1 < <(cpu "$mode_pid")
read -r reference_cpu1 _ < <(cpu "$reference_pid")
mode_rss=$(rss "$mode_pid") reference_rss=$(rss "$reference_pid")

awk -v wall="$(awk -v a="$began" -v b="$ended" 'BEGIN { print b - a }')" \
    -v m0="$mode_cpu0" -v m1="$mode_cpu1" -v c0="$mode_children0" -v c1="$mode_children1" \
    -v r0="$reference_cpu0" -v r1="$reference_cpu1" -v mr="$mode_rss" -v rr="$reference_rss" \
    -v mx="$mode_rss_max" -v rx="$reference_rss_max" 'BEGIN {
        printf "%-18s %9s %10s %13s %12s %20s\n", "program", "cpu s", "% of core", "rss KiB end", "rss KiB max", "probe children cpu s"
        printf "%-18s %9.2f %10.3f %13d %12d %20.2f\n", "menu-bar mode", m1 - m0, 100 * (m1 - m0) / wall, mr, mx, c1 - c0
        printf "%-18s %9.2f %10.3f %13d %12d %20s\n", "minimal Qt tray", r1 - r0, 100 * (r1 - r0) / wall, rr, rx, "-"
        printf "over %.0f s: mode cpu %.3f %% of one core (target < 0.2 %%): %s\n", wall, 100 * (m1 - m0) / wall,
            100 * (m1 - m0) / wall < 0.2 ? "met" : "NOT met"
        printf "rss ratio at the end %.2f, of the maxima %.2f (target <= 1.25): %s\n", mr / rr, mx / rx,
            mr / rr <= 1.25 ? "met" : "NOT met"
    }'

kill "$reference_pid"
wait "$reference_pid" 2>/dev/null || true
reference_pid=""
tray click Quit --pid "$mode_pid"
wait "$mode_pid"
mode_pid=""
[ "$wayland" = 0 ] || { streams; exit 0; }

# A presence script whose every report differs from the one before.
latency="$work/latency"
mkdir -p "$latency"
cp -a "$work/install/." "$latency/"
cat >"$latency/bin/presence.js" <<EOF
'use strict';
const fs = require('node:fs');
const record = '$work/ended';
let n = 0;
try { n = fs.readFileSync(record, 'utf8').split('\n').filter(Boolean).length; } catch { /* the first */ }
fs.writeSync(1, JSON.stringify({ state: n % 2 ? 'enabled' : 'disabled', title: 'Probe ' + n,
  detail: 'Report ' + n, version: '1' }));
fs.appendFileSync(record, n + ' ' + process.hrtime.bigint() + '\n');
fs.closeSync(1);
EOF
"$latency/TessalySetup/tessaly-setup" --menubar >"$work/mode.out" 2>>"$work/mode.err" &
mode_pid=$!
latency_pid=$mode_pid
tray wait "\"Probe $probes\"" --pid "$mode_pid" --timeout $((probes * 5 + 20))
tray click Quit --pid "$mode_pid"
wait "$mode_pid"
mode_pid=""

echo
echo "== display latency over $probes probes: end of the script's output to the signal on the bus, ms (target: 50)"
"$python" - "$work/ended" "$work/watcher.log" "$latency_pid" <<'PY'
import json, statistics, sys
ended = [line.split() for line in open(sys.argv[1])]
ended = {int(n): int(ns) / 1e9 for n, ns in ended}
events = [json.loads(line) for line in open(sys.argv[2]) if line.startswith("{")]
events = [event for event in events if event["pid"] == int(sys.argv[3])]
kinds = ("NewToolTip", "ItemsPropertiesUpdated", "NewIcon")
rows = {kind: [] for kind in kinds + ("all three",)}
missing = 0
# The first report places the item, which is its registration rather than a change.
for n in sorted(ended)[1:]:
    start, stop = ended[n] - 1.0, ended.get(n + 1, float("inf")) - 1.0
    seen = {}
    for event in events:
        if event["event"] in kinds and start <= event["t"] < stop and event["event"] not in seen:
            seen[event["event"]] = (event["t"] - ended[n]) * 1000
    if len(seen) < len(kinds):
        missing += 1
        continue
    for kind, ms in seen.items():
        rows[kind].append(ms)
    rows["all three"].append(max(seen.values()))
print(f"{'signal':<24} {'probes':>6} {'median':>8} {'max':>8}")
for kind, values in rows.items():
    if values:
        print(f"{kind:<24} {len(values):>6} {statistics.median(values):>8.1f} {max(values):>8.1f}")
verdict = rows["all three"] and max(rows["all three"]) <= 50 and not missing
print(f"probes without all three signals: {missing}; target {'met' if verdict else 'NOT met'}")
PY
echo
streams
