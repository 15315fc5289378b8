#!/usr/bin/env bash
# Two figures of the connect mode under Xvfb against the stand-in companion, with a private desktop entry
# for Chromium whose command plays the browser and the extension:
#
#  1. attach to alert: from the press of "Open pairing page" until the alert "Chrome is connected" is mapped,
#     when the extension attaches as soon as the page opens (target: the time the launched browser is
#     watched before the wait begins, 0.5 s, then the next check, 3 s, plus 0.5 s);
#  2. the longest stall of the event loop while the panel "Waiting for the extension" is up, as the round
#     trip of EWMH pings (bench/event_loop_stall.cpp), once with verifications that answer at once and once
#     with each held for 2 s by the companion, so that one is nearly always running (target: 50 ms).
#
# Usage: bench/connect-mode.sh [RUNS] [SECONDS]
#   RUNS     timed runs of the first figure (default 5), after one untimed run
#   SECONDS  how long each case of the second figure pings the panel (default 9: three or four checks)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/bench-lib.sh
[ "${1:-}" = "--in-session" ] || run_in_session "$0" "$@"
shift
runs=${1:-5}
seconds=${2:-9}
[[ "$runs" =~ ^[1-9][0-9]*$ && "$seconds" =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: bench/connect-mode.sh [RUNS] [SECONDS]" >&2
    exit 2
}

program_pid="" idle_pid=""
open_workspace program_pid idle_pid

bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
program="$work/install/TessalySetup/tessaly-setup"
session="$work/session/session.json"
driver() { /usr/bin/python3 bench/connect_timing.py "$@"; }

# What the pairing page does in a browser with the extension: attach with the token from the URL's fragment.
# The program hands it a private page (as a path or a file URL) that forwards to the pairing URL; the
# forward is followed as a browser follows the page's refresh.
cat >"$work/attach" <<EOF
#!/bin/sh
exec $(command -v node) -e '
const given = process.argv[1];
const forwarded = (text) => text.match(/content="0;url=([^"]*)"/)[1].replace(/&quot;/g, "\"")
  .replace(/&#39;/g, "\x27").replace(/&lt;/g, "<").replace(/&gt;/g, ">").replace(/&amp;/g, "&");
const page = new URL(/^https?:/.test(given) ? given
  : forwarded(require("node:fs").readFileSync(given.startsWith("file:") ? new URL(given) : given, "utf8")));
const token = new URLSearchParams(page.hash.slice(1)).get("token");
fetch(new URL("/attach", page), { method: "POST", headers: { "content-type": "application/json" },
  body: JSON.stringify({ token }) }).then((answer) => process.exit(answer.status === 200 ? 0 : 1));' "\$1"
EOF
chmod +x "$work/attach"

# The only browser the program finds; the system's own entries stay out of sight.
mkdir -p "$work/data/applications" "$work/empty"
export XDG_DATA_HOME="$work/data" XDG_DATA_DIRS="$work/empty"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb
browser() {
    printf '[Desktop Entry]\nType=Application\nName=Chromium\nExec=%s %%U\n' "$1" \
        >"$work/data/applications/chromium.desktop"
}

start_program() {
    "$program" --connect --session "$session" >/dev/null 2>"$work/program.err" &
    program_pid=$!
}
finish_program() {
    local status=0
    wait "$program_pid" || status=$?
    program_pid=""
    if [ "$status" != 0 ]; then
        echo "connect-mode: the program ended with status $status:" >&2
        cat "$work/program.err" >&2
        return 1
    fi
}
checks_answered() { grep -c '^POST /check ' "$work/companion.log.err" || true; }

# Run in this shell rather than in a command substitution, so that the clean-up knows what they started;
# each leaves its figures in $work/result.

# "PRESS_MS CLICK_MS FOUND_MS PANEL_MS" for one attach (bench/connect_timing.py).
attach_once() {
    start_companion "$work/install" "$session" "$work/companion.log"
    start_program
    driver attach "$program_pid" >"$work/result"
    finish_program
    stop_companion
}

# "PINGS ANSWERED MEDIAN MAX MAX_GAP MAX_SEND_GAP CHECKS" for one case, and in $work/idle the same for an idle
# Qt message box pinged at the same time: what the machine's load alone makes of the figures. The case's
# arguments go to the companion.
stall_case() {
    start_companion "$work/install" "$session" "$work/companion.log" "$@"
    # The browser opens but nothing attaches until the pinging is over.
    browser /bin/true
    start_program
    driver open "$program_pid"
    "$BENCH_TOOLS/minimal_dialog" &
    idle_pid=$!
    "$BENCH_TOOLS/event_loop_stall" --window-title "Pairing request" --seconds "$seconds" >"$work/idle" &
    local before pinged idle_stall=$!
    before=$(checks_answered)
    pinged=$("$BENCH_TOOLS/event_loop_stall" --window-title "Waiting for the extension" --seconds "$seconds")
    echo "$pinged $(($(checks_answered) - before))" >"$work/result"
    wait "$idle_stall"
    kill "$idle_pid"
    wait "$idle_pid" || true
    idle_pid=""
    "$work/attach" "$(pair_url "$session")"
    driver close "$program_pid" "Chrome is connected"
    finish_program
    stop_companion
}


browser "$work/attach"
attach_once
presses="" clicks="" founds="" panels=""
for ((run = 0; run < runs; run++)); do
    attach_once
    read -r press click found panel <"$work/result"
    presses+="$press " clicks+="$click " founds+="$found " panels+="$panel "
done
stall_case
read -ra fast <"$work/result"
read -ra fast_idle <"$work/idle"
stall_case --check-delay-ms 2000
read -ra slow <"$work/result"
read -ra slow_idle <"$work/idle"

echo "== attach to alert, ms, $runs runs under Xvfb"
printf '%-52s %8s %8s %8s %8s\n' from median min max target
row() {
    local median low high
    read -r median low high < <(summary "$2")
    printf '%-52s %8s %8s %8s %8s\n' "$1" "$median" "$low" "$high" "$3"
}
row '"Open pairing page" pressed -> alert mapped' "$presses" "<= 4000"
row 'its click took effect (prompt unmapped) -> alert' "$clicks" ""
row 'alert mapped -> seen on the accessibility bus' "$founds" "(bus)"
row '"Open pairing page" pressed -> panel mapped' "$panels" ""
echo "each run, pressed -> mapped: $presses"
echo
echo "== event loop with the panel up, pinged every 5 ms for $seconds s (target: largest round trip <= 50 ms)"
# "gap" is between consecutive answers; "send gap" between this side's pings, its own lateness.
stall_row() { printf '%-24s %6s %9s %10s %7s %8s %9s %7s\n' "$@"; }
stall_row case pings answered "median ms" "max ms" "gap ms" "send gap" checks
stall_row "checks answered at once" "${fast[@]}"
stall_row "  idle Qt box meanwhile" "${fast_idle[@]}" -
stall_row "each check held 2 s" "${slow[@]}"
stall_row "  idle Qt box meanwhile" "${slow_idle[@]}" -
