#!/usr/bin/env bash
# Checks the Wayland clipboard helper against a real compositor: the copied text outlives the process that
# copied it and reads back exactly as every offered type, another client's copy or a newer copy of ours ends
# the helper, and bad input is refused without a word. Run inside with-wayland-session.sh.
# Usage: clipboard_keeper_wayland_test.sh KEEPER_EXECUTABLE
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 KEEPER_EXECUTABLE" >&2; exit 2; }

work=$(mktemp -d)
servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
# A private copy gives the detached server a command line that no other process shares.
keeper="$work/tessaly-clipboard-wayland"
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
reads_back() { timeout 5 wl-paste -n -t "$1" 2>/dev/null | cmp -s - "$2"; }
only_server() { [ "$(pgrep -f -x "$keeper")" = "$1" ]; }

# Copies FILE as the application does: the text on standard input, the answer read to its end within 5 s, from
# a subshell that ends at once like the setup window. Sets $status, the answer in $work/reply and, when the
# keeper stays, its new server's process id in $server.
copy() { # copy FILE COMMAND...
  local input=$1 read_status sub; shift
  rm -f "$work/pipe" && mkfifo "$work/pipe"
  ("$@" <"$input" >"$work/pipe" 2>>"$work/stderr"; echo $? >"$work/status") &
  sub=$!
  timeout 5 cat "$work/pipe" >"$work/reply"; read_status=$?
  wait "$sub"
  status=$(cat "$work/status"); [ "$read_status" -eq 0 ] || status=timeout
  server=""
  for pid in $(pgrep -f -x "$keeper"); do [[ " ${servers[*]} " == *" $pid "* ]] || server=$pid; done
  [ -z "$server" ] || servers+=("$server")
}
copied() { [ "$status" = 0 ] && printf 'ready\n' | cmp -s - "$work/reply"; }

printf '{"mcpServers": {"tessaly": {"command": "/home/jo doe/Tessaly Setup/tessaly-mcp", "args": ["--name=\\"é\\"", "C:\\\\tmp\\\\"]}}}\n' >"$work/utf8"
yes '{"key": "value"}' | head -c 65536 >"$work/ascii" # the largest text accepted
# The types each text is offered as: the Latin-1 ones only for ASCII, where they are exact (as on X11).
declare -A offers=([utf8]='text/plain;charset=utf-8 UTF8_STRING'
  [ascii]='text/plain;charset=utf-8 UTF8_STRING text/plain STRING TEXT')

# 1. The text stays after the copying process ended, exactly as each offered type and as no other; a newer copy
#    replaces the older one, which ends.
previous=""
for text in utf8 ascii; do
  copy "$work/$text" "$keeper"
  result=0; copied && [ -n "$server" ] || result=1
  read -ra offered <<<"${offers[$text]}"
  for type in "${offered[@]}"; do reads_back "$type" "$work/$text" || result=1; done
  [ "$(timeout 5 wl-paste -l | sort)" = "$(printf '%s\n' "${offered[@]}" | sort)" ] || result=1
  [ -z "$previous" ] || wait_for 10 gone "$previous" || result=1
  report $result "$text text kept after the copier exited, offered as: ${offered[*]}"
  previous=$server
done

# 2. Another client's copy ends the helper.
wl-copy --foreground other 2>/dev/null &
servers+=($!)
wait_for 10 gone "$previous"; report $? "keeper ends when another client copies"

# 3. Copies in a row: each replaces the one before, so one helper is left, with the last text.
result=0
for i in $(seq 20); do
  printf 'copy %d' "$i" >"$work/row"
  copy "$work/row" "$keeper"
  copied || result=1
done
wait_for 10 only_server "$server" || result=1
reads_back 'text/plain;charset=utf-8' "$work/row" || result=1
report $result "20 copies in a row leave exactly one helper, holding the last text"

# 4. Refusals: nothing on standard output, a failure status, no server left behind.
: >"$work/empty"
head -c 65537 /dev/zero | tr '\0' a >"$work/large"
while IFS='|' read -r name input display args; do
  if [ "$display" = unset ]; then environment=(env -u WAYLAND_DISPLAY); else environment=(env "WAYLAND_DISPLAY=${display:-$WAYLAND_DISPLAY}"); fi
  read -ra arguments <<<"$args"
  copy "$work/$input" "${environment[@]}" "$keeper" "${arguments[@]}"
  result=0; [ "$status" != 0 ] && [ "$status" != timeout ] && [ ! -s "$work/reply" ] && [ -z "$server" ] || result=1
  report $result "refuses $name"
done <<'EOF2'
empty input|empty||
input over 64 KiB|large||
an argument|utf8||--help
no WAYLAND_DISPLAY|utf8|unset|
a WAYLAND_DISPLAY where no compositor listens|utf8|wayland-none|
EOF2

# The detached servers' diagnostics (a sanitizer's report) can only be seen here.
[ ! -s "$work/stderr" ]; report $? "nothing written to standard error"
cat "$work/stderr"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
