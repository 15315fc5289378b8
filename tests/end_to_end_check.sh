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

rm "$work/install/runtime/node"
chmod 600 "$work/stale.json"
expect_check "runtime missing" 4 '{"outcome":"failed","detail":"verifierUnavailable"}' --session "$work/stale.json"

[ "$failures" -eq 0 ]
