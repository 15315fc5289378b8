#!/usr/bin/env bash
# What the Wayland clipboard helper costs, in a private headless compositor (scripts/desktop/with-wayland-session.sh):
#
#  1. time to "ready": from the helper's start until the process the caller waits for has printed "ready" and
#     ended, i.e. until the compositor holds the selection; over RUNS copies of a configuration entry in a row,
#     each replacing the one before (median and maximum), beside a process that does nothing (/bin/true)
#     started the same way, which is what this machine charges for any process;
#  2. the detached server's resident memory (VmRSS) while it holds that entry, and while it holds a 64 KiB
#     text after serving one paste of it.
#
# Usage: bench/clipboard-helper.sh [RUNS]   (default 50)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/bench-lib.sh
if [ "${1:-}" != "--in-session" ]; then
    if ! log=$(bash scripts/build.sh plain 2>&1); then
        printf '%s\n' "$log" >&2
        echo "clipboard-helper: the build failed" >&2
        exit 1
    fi
    exec scripts/desktop/with-wayland-session.sh bash "$(pwd)/bench/clipboard-helper.sh" --in-session \
        "$(pwd)/build/tessaly-clipboard-wayland" "$@"
fi
shift
built=$1
runs=${2:-50}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "usage: bench/clipboard-helper.sh [RUNS]" >&2; exit 2; }

work=$(mktemp -d)
trap 'pkill -x -f "$keeper" 2>/dev/null || true; rm -rf "$work"' EXIT
# A private copy gives the servers a command line of their own.
keeper="$work/tessaly-clipboard-wayland"
cp "$built" "$keeper"
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
