#!/usr/bin/env bash
# Runs COMMAND [ARGS...] inside a private Wayland desktop: headless sway (no X server, no bar of its own), a
# session bus started with it in its environment (so the accessibility bus reaches it), waybar showing only its
# tray (the status-item watcher and host), a private runtime folder and no clipboard manager, and no DISPLAY.
# Everything started here is stopped when the command ends; its status is returned. The compositor refuses to
# run as root: run as root, the session and the command run as the user tessaly-wl (created when missing),
# and the command should write only below folders of its own (its own mktemp).
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

user=tessaly-wl
if [ "$(id -u)" -eq 0 ]; then
    id -u "$user" >/dev/null 2>&1 || useradd --system --create-home "$user" || id -u "$user" >/dev/null
    home=$(getent passwd "$user" | cut -d: -f6)
    # exec, not a child: a signal meant for this script (a test's timeout) reaches the session's owner. It keeps
    # root's right to read and search any folder, to read the checkout wherever it lies (below /root, say).
    exec setpriv --reuid="$user" --regid="$user" --init-groups \
        --inh-caps=-all,+dac_read_search --ambient-caps=+dac_read_search \
        env HOME="$home" USER="$user" LOGNAME="$user" "$BASH" "$(readlink -f -- "${BASH_SOURCE[0]}")" "$@"
fi

work=$(mktemp -d)
sway_pid="" bus_pid="" bar_pid=""
cleanup() {
    kill $bar_pid $bus_pid $sway_pid 2>/dev/null || true
    wait $bar_pid $sway_pid 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# fail WHAT: says what did not come up, with the logs that tell why.
fail() { echo "with-wayland-session: $1" >&2; tail -n 40 "$work"/*.log >&2; exit 1; }
# await SECONDS WHAT PID COMMAND...: polls COMMAND until it succeeds; fails when PID ends or time runs out.
await() {
    local deadline=$((SECONDS + $1)) what=$2 pid=$3
    shift 3
    until "$@"; do
        kill -0 "$pid" 2>/dev/null || fail "$what: the process ended"
        [ "$SECONDS" -lt "$deadline" ] || fail "$what: no answer within $1 s"
        sleep 0.05
    done
}

export XDG_RUNTIME_DIR="$work/runtime" SWAYSOCK="$work/runtime/sway-ipc.sock"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY WAYLAND_SOCKET DBUS_SESSION_BUS_ADDRESS

# No bar block, so no bar of its own; no X server for X11 clients.
printf 'xwayland disable\n' >"$work/sway.config"
env -i PATH="$PATH" HOME="$HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" SWAYSOCK="$SWAYSOCK" \
    WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    sway -c "$work/sway.config" >"$work/sway.log" 2>&1 &
sway_pid=$!
# The compositor's socket is the only one in the private runtime folder.
wayland_socket() {
    WAYLAND_DISPLAY=$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -type s -name 'wayland-*' -printf %f -quit)
    [ -n "$WAYLAND_DISPLAY" ]
}
await 20 "sway did not open its socket" "$sway_pid" wayland_socket
# It answers on its own socket once its event loop runs, by which time its output exists.
has_output() { [[ "$(swaymsg -t get_outputs -r 2>/dev/null)" == *'"name"'* ]]; }
await 20 "sway has no output" "$sway_pid" has_output
export WAYLAND_DISPLAY

bus=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1) || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
bus_pid=${bus##*$'\n'}

cat >"$work/waybar.json" <<'EOF'
{ "layer": "top", "position": "top", "height": 26, "modules-left": [], "modules-center": [],
  "modules-right": ["tray"], "tray": { "spacing": 4 } }
EOF
printf '* { font-size: 12px; }\n' >"$work/waybar.css"
GDK_BACKEND=wayland waybar -c "$work/waybar.json" -s "$work/waybar.css" >"$work/waybar.log" 2>&1 &
bar_pid=$!
watcher_registered() {
    [[ "$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.kde.StatusNotifierWatcher 2>/dev/null)" == *true* ]]
}
await 20 "waybar did not register the status-item watcher" "$bar_pid" watcher_registered

"$@"
