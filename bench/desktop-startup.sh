#!/usr/bin/env bash
# How fast our windows appear: the time from process start until the dialog is on screen, under a private
# Xvfb display without a window manager. Each candidate is compared with a minimal Qt program that shows a
# message box of the same content (bench/minimal_dialog.cpp); target: a median at most 1.5 times that
# program's median.
#
# Usage: bench/desktop-startup.sh [RUNS] [NAME INPUT -- COMMAND... [++ NAME INPUT -- COMMAND...]...]
#   RUNS     number of timed runs of every command (default 20)
#   INPUT    a file whose bytes go to the command's standard input, or "-" for none
#   COMMAND  run from the top of the checkout; without candidates, a demonstration set is timed
#
# "map" is when the server maps the command's first top-level window, "expose" when it then first asks that
# window to paint itself. The times come from bench/time_to_window.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--in-session" ]; then
    if ! log=$(bash scripts/build.sh plain 2>&1); then
        printf '%s\n' "$log" >&2
        echo "desktop-startup: the build failed" >&2
        exit 1
    fi
    # The build places both tools in build/bench/; BENCH_TOOLS_DIR names another folder holding them, for a
    # checkout whose build does not have them yet.
    tools=""
    for dir in build/bench "${BENCH_TOOLS_DIR:-}"; do
        if [ -n "$dir" ] && [ -x "$dir/time_to_window" ] && [ -x "$dir/minimal_dialog" ]; then
            tools=$(cd "$dir" && pwd)
            break
        fi
    done
    if [ -z "$tools" ]; then
        echo "desktop-startup: build/bench/time_to_window and build/bench/minimal_dialog are missing;" >&2
        echo "  the build has no bench targets yet: set BENCH_TOOLS_DIR to a folder holding both" >&2
        exit 1
    fi
    export BENCH_TOOLS="$tools"
    exec tests/desktop/with-session.sh bash bench/desktop-startup.sh --in-session "$@"
fi
shift

runs=20
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    runs="$1"
    shift
fi
[ "$runs" -gt 0 ] || { echo "desktop-startup: RUNS must be a positive number" >&2; exit 2; }
reference="$BENCH_TOOLS/minimal_dialog"
if [ $# -eq 0 ]; then
    set -- "reference again" - -- "$reference" \
        ++ "reference, Windows style" - -- "$reference" -style windows \
        ++ "reference through sh" - -- sh -c "exec \"$reference\""
fi

# Commands as flat word lists: bash has no arrays of arrays. Command 0 is the reference.
names=("minimal Qt message box")
inputs=(-)
words=("$reference")
starts=(0)
lengths=(1)
while [ $# -gt 0 ]; do
    if [ $# -lt 4 ] || [ "$3" != "--" ]; then
        echo "desktop-startup: expected NAME INPUT -- COMMAND..., got: $*" >&2
        exit 2
    fi
    if [ "$2" != "-" ] && [ ! -r "$2" ]; then
        echo "desktop-startup: cannot read $2, the input of $1" >&2
        exit 2
    fi
    names+=("$1")
    inputs+=("$2")
    shift 3
    starts+=("${#words[@]}")
    count=0
    while [ $# -gt 0 ] && [ "$1" != "++" ]; do
        words+=("$1")
        count=$((count + 1))
        shift
    done
    [ "$count" -gt 0 ] || { echo "desktop-startup: a candidate without a command" >&2; exit 2; }
    lengths+=("$count")
    [ $# -eq 0 ] || shift
done
commands=${#names[@]}

maps=()
exposes=()
for ((c = 0; c < commands; c++)); do
    maps+=("")
    exposes+=("")
done

# Prints "MAP EXPOSE" for one run of command $1.
time_once() {
    local c=$1 input=()
    [ "${inputs[c]}" = "-" ] || input=(--input "${inputs[c]}")
    local status=0
    "$BENCH_TOOLS/time_to_window" "${input[@]}" -- "${words[@]:${starts[c]}:${lengths[c]}}" || status=$?
    case "$status" in
    0) ;;
    1) echo "desktop-startup: ${names[c]} showed no window within 10 s, or ended before showing one" >&2 ;;
    *) echo "desktop-startup: ${names[c]} could not be timed" >&2 ;;
    esac
    return "$status"
}

# One untimed run each, so that no command pays for a cold page cache.
for ((c = 0; c < commands; c++)); do
    time_once "$c" >/dev/null
done
for ((run = 0; run < runs; run++)); do
    # Alternate the order so that no command always runs right after the same one, on a warmer machine.
    order=()
    for ((c = 0; c < commands; c++)); do
        if ((run % 2)); then order=("$c" "${order[@]}"); else order+=("$c"); fi
    done
    for c in "${order[@]}"; do
        result=$(time_once "$c")
        read -r map expose <<<"$result"
        maps[c]+="$map "
        exposes[c]+="$expose "
    done
done

# Prints "MEDIAN MIN MAX" of the numbers in $1, or "- - -" when any of them is missing.
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

echo "== time from process start to the dialog on screen, ms, $runs runs each under Xvfb (target: ratio <= 1.50)"
printf '%-30s %8s %7s %7s %15s %7s\n' command "map med" min max "expose median" ratio
read -r reference_median _ < <(summary "${maps[0]}")
for ((c = 0; c < commands; c++)); do
    read -r median low high < <(summary "${maps[c]}")
    read -r expose_median _ < <(summary "${exposes[c]}")
    ratio=$(awk -v a="$median" -v b="$reference_median" 'BEGIN { printf "%.2f", a / b }')
    printf '%-30s %8s %7s %7s %15s %7s\n' "${names[c]}" "$median" "$low" "$high" "$expose_median" "$ratio"
done
