#!/usr/bin/env bash
# Checks the clipboard keeper against a real X server: the copied text outlives the process that copied it,
# reads back exactly in every offered form, moves to a clipboard manager that asks for it, and bad input is
# refused without a word. Run inside with-session.sh.
# Usage: clipboard_keeper_test.sh KEEPER_EXECUTABLE
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 KEEPER_EXECUTABLE" >&2; exit 2; }

work=$(mktemp -d)
servers=()
manager_pid=""
cleanup() {
  for pid in "${servers[@]}" $manager_pid; do kill "$pid" 2>/dev/null; done
  [ -z "$manager_pid" ] || wait "$manager_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# A private copy gives the detached server a command line that no other process shares.
keeper="$work/tessaly-clipboard"
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
reads_back() { timeout 5 xclip -o -selection clipboard -t "$1" 2>/dev/null | cmp -s - "$2"; }
has_owner() { /usr/bin/python3 "$(dirname "$0")/harness.py" has-owner "$1"; }

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
# Which targets each text offers besides the meta-targets: Latin-1 ones only for ASCII, where they are exact.
declare -A offers=([utf8]='UTF8_STRING text/plain;charset=utf-8'
  [ascii]='UTF8_STRING text/plain;charset=utf-8 STRING TEXT text/plain')

# 1. No clipboard manager: the text stays after the copying process ended, until another program takes it.
previous=""
for text in utf8 ascii; do
  copy "$work/$text" "$keeper"
  result=0; copied && [ -n "$server" ] || result=1
  read -ra offered <<<"${offers[$text]}"
  for target in UTF8_STRING 'text/plain;charset=utf-8' STRING TEXT text/plain; do
    if [[ " ${offered[*]} " == *" $target "* ]]; then reads_back "$target" "$work/$text" || result=1
    else ! timeout 5 xclip -o -selection clipboard -t "$target" >/dev/null 2>&1 || result=1; fi
  done
  expected=$(printf '%s\n' MULTIPLE TARGETS TIMESTAMP "${offered[@]}" | sort)
  [ "$(timeout 5 xclip -o -selection clipboard -t TARGETS | sort)" = "$expected" ] || result=1
  [ -z "$previous" ] || wait_for 10 gone "$previous" || result=1
  report $result "$text text kept after the copier exited, offered as: ${offered[*]}"
  previous=$server
done
printf 'other' | xclip -i -selection clipboard -l 1 >/dev/null 2>&1
wait_for 10 gone "$previous"; report $? "keeper ends when another program takes the clipboard"
timeout 5 xclip -o -selection clipboard >/dev/null # lets that program go

# 2. A clipboard manager asks for the text, takes the clipboard and lets the keeper end.
mkdir -p "$work/home"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
# The settings store that the manager's daemon activates on the bus must not write to the real home either.
dbus-send --session --type=method_call --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.UpdateActivationEnvironment \
  "dict:string:string:HOME,$HOME,XDG_CONFIG_HOME,$XDG_CONFIG_HOME,XDG_CACHE_HOME,$XDG_CACHE_HOME"
xfsettingsd --disable-wm-check --sm-client-disable >/dev/null 2>&1 &
manager_pid=$!
result=0
wait_for 20 has_owner CLIPBOARD_MANAGER || result=1
copy "$work/utf8" "$keeper"
copied || result=1
[ -z "$server" ] || wait_for 10 gone "$server" || result=1
wait_for 10 reads_back UTF8_STRING "$work/utf8" || result=1
report $result "clipboard manager holds the exact text after the keeper handed it over and ended"

# 3. Refusals: nothing on standard output, a failure status, no server left behind.
: >"$work/empty"
head -c 65537 /dev/zero | tr '\0' a >"$work/large"
while IFS='|' read -r name input display args; do
  if [ "$display" = unset ]; then environment=(env -u DISPLAY); else environment=(env "DISPLAY=${display:-$DISPLAY}"); fi
  read -ra arguments <<<"$args"
  copy "$work/$input" "${environment[@]}" "$keeper" "${arguments[@]}"
  result=0; [ "$status" != 0 ] && [ "$status" != timeout ] && [ ! -s "$work/reply" ] && [ -z "$server" ] || result=1
  report $result "refuses $name"
done <<'EOF'
empty input|empty||
input over 64 KiB|large||
an argument|utf8||--help
no DISPLAY|utf8|unset|
a DISPLAY where no server listens|utf8|:65535|
EOF

# The detached servers' diagnostics (a sanitizer's report) can only be seen here.
[ ! -s "$work/stderr" ]; report $? "nothing written to standard error"
cat "$work/stderr"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
