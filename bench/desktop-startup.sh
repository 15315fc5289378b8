#!/usr/bin/env bash
# How fast our windows appear: the time from process start until the dialog is on screen, under a private
# Xvfb display without a window manager, or with --wayland natively in a headless sway
# (scripts/desktop/with-wayland-session.sh). Each candidate is compared with a minimal Qt program that shows a
# message box of the same content (bench/minimal_dialog.cpp); target: a median at most 1.5 times that
# program's median.
#
# Usage: bench/desktop-startup.sh [--wayland] [RUNS] [NAME INPUT -- COMMAND... [++ NAME INPUT -- COMMAND...]...]
#   RUNS     number of timed runs of every command (default 20)
#   INPUT    a file whose bytes go to the command's standard input, or "-" for none
#   COMMAND  run from the top of the checkout; without candidates, the setup window and the pairing dialog
#
# Without candidates and --wayland it also times a refused pairing request from process start to exit
# (target: a median within 5 ms), which needs no display at all.
#
# Under X11 "map" is when the server maps the command's first top-level window, "expose" when it then first
# asks that window to paint itself (bench/time_to_window.cpp). Under sway "map" is the compositor's "new"
# window event for the command's process, which a Wayland window gets only with its first frame drawn
# (bench/time_to_window_sway.cpp). There the candidates choose the platform as the program does in a user's
# session (none named); the minimal program is given the program's own choice, "wayland;xcb".
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/bench-lib.sh
[ "${1:-}" = "--in-session" ] || run_in_session "$0" "$@"
shift
timer=time_to_window display=Xvfb reference_platform=()
if [ "${1:-}" = "--wayland" ]; then
    timer=time_to_window_sway display=sway reference_platform=("QT_QPA_PLATFORM=wayland;xcb")
    unset QT_QPA_PLATFORM
    shift
fi

runs=20
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    runs="$1"
    shift
fi
[ "$runs" -gt 0 ] || { echo "desktop-startup: RUNS must be a positive number" >&2; exit 2; }
reference="$BENCH_TOOLS/minimal_dialog"
defaults=$(($# == 0))
if [ "$defaults" = 1 ]; then
    # The product's two windows, from an installation laid out around the built executable.
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
    program="$work/install/TessalySetup/tessaly-setup"
    printf '%s\n' '{"intentId":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ_-01234","code":"042917","label":"Work laptop","port":51234,"fingerprint":"0123456789abcdef"}' >"$work/request"
    set -- "setup window" - -- "$program" ++ "pairing dialog" "$work/request" -- "$program" --pairing-approval
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
    local c=$1 input=() platform=()
    [ "${inputs[c]}" = "-" ] || input=(--input "${inputs[c]}")
    [ "$c" != 0 ] || platform=("${reference_platform[@]}")
    local status=0
    env "${platform[@]}" "$BENCH_TOOLS/$timer" "${input[@]}" -- "${words[@]:${starts[c]}:${lengths[c]}}" ||
        status=$?
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


echo "== time from process start to the dialog on screen, ms, $runs runs each under $display (target: ratio <= 1.50)"
printf '%-30s %8s %7s %7s %15s %7s\n' command "map med" min max "expose median" ratio
read -r reference_median _ < <(summary "${maps[0]}")
for ((c = 0; c < commands; c++)); do
    read -r median low high < <(summary "${maps[c]}")
    read -r expose_median _ < <(summary "${exposes[c]}")
    ratio=$(awk -v a="$median" -v b="$reference_median" 'BEGIN { printf "%.2f", a / b }')
    printf '%-30s %8s %7s %7s %15s %7s\n' "${names[c]}" "$median" "$low" "$high" "$expose_median" "$ratio"
done

if [ "$defaults" = 1 ] && [ "$display" = Xvfb ]; then
    echo
    echo "== a refused pairing request (a code of five digits), from process start to exit (target: median <= 5 ms)"
    sed 's/042917/42917/' "$work/request" >"$work/refused"
    node bench/paired.js --silent 100 "an empty program" - -- /bin/true \
        ++ "refused pairing request" "$work/refused" -- "$program" --pairing-approval
fi
