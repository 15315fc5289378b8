#!/usr/bin/env bash
# Checks a clipboard helper against a real display server. Run the X11 helper inside with-session.sh, the
# Wayland one inside with-wayland-session.sh.
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 KEEPER_EXECUTABLE" >&2; exit 2; }

work=$(mktemp -d)
servers=() manager_pid=""
cleanup() {
  for pid in "${servers[@]}" $manager_pid; do kill "$pid" 2>/dev/null; done
  [ -z "$manager_pid" ] || wait "$manager_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# A private copy gives the detached server a command line that no other process shares.
keeper="$work/$(basename "$1")"
cp "$1" "$keeper"
passes=0 failures=0
report() {
  if [ "$1" -eq 0 ]; then echo "ok - $2"; passes=$((passes + 1)); else echo "FAIL - $2"; failures=$((failures + 1)); fi
}

# wait_for SECONDS COMMAND...: polls the condition until it holds or the deadline passes.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ "$SECONDS" -lt "$deadline" ] || return 1; sleep 0.05; done
}
# Exited and reaped: a zombie would still answer signal 0.
gone() { ! kill -0 "$1" 2>/dev/null; }
# The keeper's servers: each leads a session of its own. (A sanitizer's leak check briefly runs a helper task
# with the same command line as a server that exits; it leads no session.)
keepers() { for pid in $(pgrep -f -x "$keeper"); do [ "$(ps -o sid= -p "$pid" | tr -d ' ')" = "$pid" ] && echo "$pid"; done; }
only_server() { [ "$(keepers)" = "$1" ]; }
if [ -n "${WAYLAND_DISPLAY:-}" ]; then
  display=WAYLAND_DISPLAY no_server=wayland-none meta=""
  paste() { timeout 5 wl-paste -n -t "$1" 2>/dev/null; }
  offered() { timeout 5 wl-paste -l; }
  take_clipboard() { wl-copy --foreground other 2>/dev/null & servers+=($!); }
else
  display=DISPLAY no_server=:65535 meta="MULTIPLE TARGETS TIMESTAMP"
  paste() { timeout 5 xclip -o -selection clipboard -t "$1" 2>/dev/null; }
  offered() { timeout 5 xclip -o -selection clipboard -t TARGETS; }
  # xclip serves one request and ends; reading it back lets it go.
  take_clipboard() { printf other | xclip -i -selection clipboard -l 1 >/dev/null 2>&1 && paste UTF8_STRING >/dev/null; }
fi
reads_back() { paste "$1" | cmp -s - "$2"; }

# Copies FILE as the application does: the text on standard input, the answer read to its end, from a subshell
# that ends at once like the setup window. The bound is generous: a sanitizer build on a busy machine starts
# slowly, and a copy given up on here would leave a server that the next case takes for its own. Sets $status, the answer in $work/reply and, when the
# keeper stays, its new server's process id in $server.
copy() { # copy FILE COMMAND...
  local input=$1 read_status sub; shift
  rm -f "$work/pipe" && mkfifo "$work/pipe"
  ("$@" <"$input" >"$work/pipe" 2>>"$work/stderr"; echo $? >"$work/status") &
  sub=$!
  timeout 60 cat "$work/pipe" >"$work/reply"; read_status=$?
  wait "$sub"
  status=$(cat "$work/status"); [ "$read_status" -eq 0 ] || status=timeout
  server=""
  for pid in $(keepers); do [[ " ${servers[*]} " == *" $pid "* ]] || server=$pid; done
  [ -z "$server" ] || servers+=("$server")
}
copied() { [ "$status" = 0 ] && printf 'ready\n' | cmp -s - "$work/reply"; }

printf '{"mcpServers": {"tessaly": {"command": "/home/jo doe/Tessaly Setup/tessaly-mcp", "args": ["--name=\\"é\\"", "C:\\\\tmp\\\\"]}}}\n' >"$work/utf8"
yes '{"key": "value"}' | head -c 65536 >"$work/ascii" # the largest text accepted
# The types each text is offered as besides X11's meta-targets: Latin-1 ones only for ASCII, where they are exact.
declare -A offers=([utf8]='UTF8_STRING text/plain;charset=utf-8'
  [ascii]='UTF8_STRING text/plain;charset=utf-8 STRING TEXT text/plain')

# 1. The text stays after the copying process ended, as each offered type and as no other; a newer copy
#    replaces the older one, which ends, and so does another program's copy.
previous=""
for text in utf8 ascii; do
  copy "$work/$text" "$keeper"
  result=0; copied && [ -n "$server" ] || result=1
  read -ra offering <<<"${offers[$text]}"
  for type in UTF8_STRING 'text/plain;charset=utf-8' STRING TEXT text/plain; do
    if [[ " ${offering[*]} " == *" $type "* ]]; then reads_back "$type" "$work/$text" || result=1
    else ! paste "$type" >/dev/null || result=1; fi
  done
  [ "$(offered | sort)" = "$(printf '%s\n' $meta "${offering[@]}" | sort)" ] || result=1
  [ -z "$previous" ] || wait_for 10 gone "$previous" || result=1
  report $result "$text text kept after the copier exited, offered as: ${offering[*]}"
  previous=$server
done
take_clipboard
wait_for 10 gone "$previous"; report $? "keeper ends when another program takes the clipboard"

# 2. Copies in a row: each replaces the one before, so one helper is left, with the last text.
result=0
for i in $(seq 20); do
  printf 'copy %d' "$i" >"$work/row"
  copy "$work/row" "$keeper"
  copied || result=1
done
wait_for 10 only_server "$server" || result=1
reads_back UTF8_STRING "$work/row" || result=1
report $result "20 copies in a row leave exactly one helper, holding the last text"

# 3. On X11, a clipboard manager asks for the text, takes the clipboard and lets the keeper end.
if [ "$display" = DISPLAY ]; then
  mkdir -p "$work/home"
  export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
  # The settings store that the manager's daemon activates on the bus must not write to the real home either.
  dbus-send --session --type=method_call --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.UpdateActivationEnvironment \
    "dict:string:string:HOME,$HOME,XDG_CONFIG_HOME,$XDG_CONFIG_HOME,XDG_CACHE_HOME,$XDG_CACHE_HOME"
  xfsettingsd --disable-wm-check --sm-client-disable >/dev/null 2>&1 &
  manager_pid=$!
  # Until the manager is up, a copy stays with its keeper; the next copy replaces it.
  handed_over() { copy "$work/utf8" "$keeper" && copied && { [ -z "$server" ] || wait_for 5 gone "$server"; }; }
  result=0
  wait_for 30 handed_over || result=1
  wait_for 10 reads_back UTF8_STRING "$work/utf8" || result=1
  report $result "clipboard manager holds the exact text after the keeper handed it over and ended"
fi

# 4. Refusals: nothing on standard output, a failure status, no server left behind.
: >"$work/empty"
head -c 65537 /dev/zero | tr '\0' a >"$work/large"
while IFS='|' read -r name input value args; do
  if [ "$value" = unset ]; then environment=(env -u "$display"); else environment=(env "$display=${value:-${!display}}"); fi
  read -ra arguments <<<"$args"
  copy "$work/$input" "${environment[@]}" "$keeper" "${arguments[@]}"
  result=0; [ "$status" != 0 ] && [ "$status" != timeout ] && [ ! -s "$work/reply" ] && [ -z "$server" ] || result=1
  report $result "refuses $name"
done <<EOF
empty input|empty||
input over 64 KiB|large||
an argument|utf8||--help
no $display|utf8|unset|
a $display where no server listens|utf8|$no_server|
EOF

# The detached servers' diagnostics (a sanitizer's report) can only be seen here.
[ ! -s "$work/stderr" ]; report $? "nothing written to standard error"
cat "$work/stderr"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
