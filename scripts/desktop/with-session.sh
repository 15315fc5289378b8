#!/usr/bin/env bash
# Runs COMMAND [ARGS...] inside a private desktop session: an Xvfb display, a session bus started with that
# display in its environment (so the accessibility bus it activates can reach the display), and a private
# runtime folder. Everything started here is stopped when the command ends; its status is returned.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

work=$(mktemp -d)
xvfb_pid="" bus_pid=""
cleanup() {
  kill $bus_pid $xvfb_pid 2>/dev/null || true
  [ -z "$xvfb_pid" ] || wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it accepts clients: no number to collide, no sleep.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
read -r display <"$work/display" || { echo "with-session: Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display" XDG_RUNTIME_DIR="$work/runtime"
unset WAYLAND_DISPLAY
mkdir -m 0700 "$XDG_RUNTIME_DIR"
bus=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
bus_pid=${bus##*$'\n'}

"$@"
