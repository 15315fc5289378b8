#!/usr/bin/env bash
# What the Wayland clipboard helper costs, in a private headless compositor (scripts/desktop/with-wayland-session.sh):
#
#  1. time to "ready": from the helper's start until the process the caller waits for has printed "ready" and
#     ended, i.e. until the compositor holds the selection; over RUNS copies of a configuration entry in a row,
#     each replacing the one before (median and maximum), beside a process that does nothing (/bin/true)
#     started the same way, which is what this machine charges for any process;
#  2. the detached server's resident memory (VmRSS) while it holds that entry, and while it holds a 64 KiB
#     text after serving one paste of it;
#  3. the status item's copy, sitting in waybar's tray: from the moment the tray's "clicked" call for "Copy
#     MCP configuration" goes on the bus until the compositor holds the new selection, over CLICKS clicks,
#     each replacing the copy before (target: at most 50 ms), beside the helper and wl-copy started directly
#     with the same text; then the resident memory of the helper serving the last click's copy, beside
#     wl-copy's server. bench/copy_latency.py drives it, bench/selection_watch.cpp sees the selection change.
#
# Usage: bench/clipboard-helper.sh [RUNS] [CLICKS]   (defaults 50 and 20)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/bench-lib.sh
[ "${1:-}" = "--in-session" ] || run_in_session "$0" --wayland "$@"
shift 2
runs=${1:-50}
clicks=${2:-20}
[[ "$runs" =~ ^[1-9][0-9]*$ && "$clicks" =~ ^[1-9][0-9]*$ ]] ||
    { echo "usage: bench/clipboard-helper.sh [RUNS] [CLICKS]" >&2; exit 2; }

mode_pid=""
open_workspace mode_pid
trap 'close_workspace; pkill -x -f "$keeper" 2>/dev/null || true' EXIT
# A private copy gives the servers a command line of their own.
keeper="$work/tessaly-clipboard-wayland"
cp build/tessaly-clipboard-wayland "$keeper"
printf '{"mcpServers": {"tessaly": {"command": "/opt/tessaly-mcp/tessaly-mcp", "args": []}}}\n' >"$work/entry"
{ yes '{"key": "value"}' || true; } | head -c 65536 >"$work/large"

# timed FILE COMMAND...: prints the milliseconds COMMAND takes from its start to its end, with FILE as input.
timed() {
    local input=$1 start end
    shift
    start=$EPOCHREALTIME
    "$@" <"$input" >"$work/reply"
    end=$EPOCHREALTIME
    awk -v s="${start/,/.}" -v e="${end/,/.}" 'BEGIN { printf "%.2f\n", (e - s) * 1000 }'
}
# copy FILE: the helper's time to "ready".
copy() {
    timed "$1" "$keeper"
    [ "$(cat "$work/reply")" = ready ] || { echo "clipboard-helper: the helper did not say ready" >&2; exit 1; }
}
server_rss() {
    local pid
    pid=$(pgrep -n -x -f "$keeper")
    awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"
}

times=() baseline=()
for _ in $(seq "$runs"); do
    times+=("$(copy "$work/entry")")
    baseline+=("$(timed "$work/entry" /bin/true)")
done
read -r median minimum maximum < <(summary "${times[*]}")
echo "time to ready over $runs copies in a row: median $median ms, min $minimum ms, max $maximum ms"
read -r median minimum maximum < <(summary "${baseline[*]}")
echo "/bin/true started the same way:           median $median ms, min $minimum ms, max $maximum ms"
echo "server's VmRSS holding the entry: $(server_rss) kB"
copy "$work/large" >/dev/null
timeout 5 wl-paste -n -t 'text/plain;charset=utf-8' | cmp -s - "$work/large" ||
    { echo "clipboard-helper: the 64 KiB text did not read back" >&2; exit 1; }
echo "server's VmRSS holding 64 KiB after one paste: $(server_rss) kB"

echo
# The status item as a user's session starts it: no platform named, its own folder for its lock.
bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
mkdir -p "$work/home"
HOME="$work/home" env -u QT_QPA_PLATFORM "$work/install/TessalySetup/tessaly-setup" --menubar \
    >"$work/mode.out" 2>"$work/mode.err" &
mode_pid=$!
python=/usr/bin/python3
"$python" scripts/desktop/tray_watcher.py wait '"Copy MCP configuration"' --pid "$mode_pid"
"$python" bench/copy_latency.py "$mode_pid" "$work/install/TessalySetup/tessaly-clipboard-wayland" \
    "$BENCH_TOOLS/selection_watch" "$clicks"
"$python" scripts/desktop/tray_watcher.py click Quit --pid "$mode_pid"
wait "$mode_pid"
mode_pid=""
