# Sourced by the benchmarks and the soak run, which all run the built program in a private desktop session.

# shellcheck source=scripts/companion-lib.sh
source scripts/companion-lib.sh

# run_in_session SCRIPT ARGS...: builds the plain build, then runs SCRIPT again with --in-session before ARGS
# inside scripts/desktop/with-session.sh, or inside with-wayland-session.sh when ARGS begin with --wayland
# (run as root, that runs it as an unprivileged user, which must be able to read the checkout), with
# BENCH_TOOLS naming build/bench. Does not return.
run_in_session() {
    local script=$1 log session=scripts/desktop/with-session.sh
    shift
    [ "${1:-}" != --wayland ] || session=scripts/desktop/with-wayland-session.sh
    if ! log=$(bash scripts/build.sh plain 2>&1); then
        printf '%s\n' "$log" >&2
        echo "$(basename "$script"): the build failed" >&2
        exit 1
    fi
    BENCH_TOOLS=$(cd build/bench && pwd)
    export BENCH_TOOLS
    exec "$session" bash "$script" --in-session "$@"
}

# stop_processes PID...: ends each process that is still running and waits for it.
stop_processes() {
    local pid
    for pid in "$@"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

# open_workspace PIDVAR...: makes the scratch folder $work; on exit, stops the processes whose pids the named
# variables hold by then, in that order, and the stand-in companion, and removes $work.
open_workspace() {
    work=$(mktemp -d)
    workspace_pids=("$@")
    trap close_workspace EXIT
}

close_workspace() {
    local name
    for name in "${workspace_pids[@]}"; do
        stop_processes ${!name:-}
    done
    stop_companion
    rm -rf "$work"
}

# start_tray_watcher: starts our own tray host (scripts/desktop/tray_watcher.py serve), logging to
# $work/watcher.log and watcher.log.err, and sets watcher_pid once it serves. Exits if it ends first or takes
# over 20 s.
start_tray_watcher() {
    /usr/bin/python3 scripts/desktop/tray_watcher.py serve >"$work/watcher.log" 2>"$work/watcher.log.err" &
    watcher_pid=$!
    await_ready "$watcher_pid" "$work/watcher.log" '^ready' "the tray watcher" 20 || exit 1
}

# summary NUMBERS: prints "MEDIAN MIN MAX" of the space-separated numbers, or "- - -" when one is missing ("-").
summary() {
    tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '
        $1 == "-" { missing = 1 }
        { v[NR] = $1 }
        END {
            if (missing || NR == 0) { print "- - -"; exit }
            m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf "%.1f %.1f %.1f\n", m, v[1], v[NR]
        }'
}
