#!/usr/bin/env bash
# Runs a command inside a private desktop session: an Xvfb display, a session bus started with that display
# in its environment (so the accessibility bus it activates can reach the display), and a private runtime
# folder. Everything started here is stopped when the command ends; the command's status is returned.
# Usage: with-session.sh COMMAND [ARGS...]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

work=$(mktemp -d)
xvfb_pid=""
bus_pid=""
cleanup() {
  [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number once it accepts clients: no fixed display
# number to collide with a parallel test, and no sleep.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
if ! read -r display <"$work/display"; then
  echo "with-session: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$display"
unset WAYLAND_DISPLAY
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"

bus=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
bus_pid=$(sed -n 2p <<<"$bus")

status=0
"$@" || status=$?
exit "$status"
