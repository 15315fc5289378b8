#!/usr/bin/env bash
# The check mode of the built executable against the stand-in companion, as a script would run it.
# Usage: end_to_end_check.sh EXECUTABLE SOURCE_DIR
set -euo pipefail
executable=$1 source_dir=$2
source "$source_dir/scripts/companion-lib.sh"
work=$(mktemp -d)
trap 'stop_companion; rm -rf "$work"' EXIT
failures=0

# expect_check NAME STATUS LINE ARGS...: runs the check mode; exactly LINE on stdout, nothing on stderr.
expect_check() {
  local name=$1 want="$2 $3" status=0
  shift 3
  "$work/install/TessalySetup/tessaly-setup" --connect --check "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?
  local got="$status $(cat "$work/out")"
  if [ "$got" = "$want" ] && [ "$(wc -l <"$work/out")" = 1 ] && [ ! -s "$work/err" ]; then
    echo "ok   $name"
  else
    echo "FAIL $name: got $got; wanted $want; stderr: $(cat "$work/err")"
    failures=$((failures + 1))
  fi
}

export verifier="$work/install/bin/connect-verify.js"
# await SECONDS [!]: waits until a verifier runs (with "!", until none does); fails once SECONDS have passed.
# The path stays out of the waiting shell's own command line, where pgrep would find it.
await() { timeout "$1" bash -c "until ${2-} pgrep -f -- \"\$verifier\" >/dev/null; do sleep 0.02; done"; }

# expect_signal_ends_check SIGNAL: the check, stopped by SIGNAL while the (slow) verifier runs, stops the
# verifier and then dies of SIGNAL itself. The verifier may wait far longer than it is given to be gone, so
# that it cannot pass for stopped by ending on its own. A script's background job starts with SIGINT ignored,
# which the program would keep: the check is started as a terminal would start it.
expect_signal_ends_check() {
  local signal=$1 status=0 pid
  TESSALY_VERIFY_TIMEOUT_MS=7999 env --default-signal="$signal" \
    "$work/install/TessalySetup/tessaly-setup" --connect --check \
    --session "$work/slow/session.json" >/dev/null 2>&1 </dev/null &
  pid=$!
  if ! await 10; then
    echo "FAIL SIG$signal: the verifier never started"
    failures=$((failures + 1))
  fi
  kill -s "$signal" "$pid"
  wait "$pid" 2>/dev/null || status=$? # without the shell's note of how the job ended
  if [ "$status" -eq $((128 + $(kill -l "$signal"))) ] && await 2 !; then
    echo "ok   SIG$signal stops the check and its verifier"
  else
    echo "FAIL SIG$signal: exit status $status; verifier left: $(pgrep -f -- "$verifier")"
    pgrep -f -- "$verifier" | xargs -r kill -KILL
    failures=$((failures + 1))
  fi
}

bash "$source_dir/scripts/lay-out-installation.sh" "$work/install" "$executable" >/dev/null
session="$work/state/session.json"

expect_check "no session file" 4 '{"outcome":"failed","detail":"noSession"}' --session "$session"

# A version with characters that JSON reserves shows that the line stays one JSON object.
start_companion "$work/install" "$session" "$work/companion.log" --version '1.0 "beta" \ build'
version='1.0 \"beta\" \\ build'
expect_check "companion up, page not visited" 0 \
  "{\"outcome\":\"readyToConnect\",\"detail\":\"version=$version extensionConnected=false\"}" --session "$session"

open_pairing_page "$session" "$work/profile" || { echo "FAIL the pairing page did not pair"; failures=$((failures + 1)); }
expect_check "pairing page has told the companion" 0 \
  "{\"outcome\":\"alreadyConnected\",\"detail\":\"version=$version extensionConnected=true\"}" --session "$session"

cp -p "$session" "$work/stale.json"
stop_companion
expect_check "companion gone, stale session" 4 '{"outcome":"failed","detail":"brokerUnreachable"}' \
  --session "$work/stale.json"

chmod 644 "$work/stale.json"
expect_check "session readable by others" 4 '{"outcome":"failed","detail":"unsafeFile"}' --session "$work/stale.json"

start_companion "$work/install" "$work/slow/session.json" "$work/slow.log" --check-delay-ms 60000
for signal in INT TERM HUP; do
  expect_signal_ends_check "$signal"
done
stop_companion

rm "$work/install/runtime/node"
chmod 600 "$work/stale.json"
expect_check "runtime missing" 4 '{"outcome":"failed","detail":"verifierUnavailable"}' --session "$work/stale.json"

[ "$failures" -eq 0 ]
