#!/usr/bin/env bash
# What the check mode costs on top of the verifier it runs: against the stand-in companion (target: at most
# 1.05 times the verifier run directly), with a verifier that answers at once (target: within 5 ms), and against
# a program that does nothing but run that verifier.
# Usage: bench/check-mode.sh [PAIRS]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/companion-lib.sh
runs="${1:-40}"

bash scripts/build.sh plain >/dev/null
work=$(mktemp -d)
trap 'stop_companion; rm -rf "$work"' EXIT

bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
start_companion "$work/install" "$work/session.json" "$work/companion.log"
pair_url "$work/session.json" | sed 's/.*#token=//' | tr -d '\n' >"$work/token"

echo "== against the stand-in companion"
node bench/paired.js "$runs" \
  "verifier run directly" "$work/token" -- "$work/install/runtime/node" "$work/install/bin/connect-verify.js" \
  --port "$COMPANION_PORT" \
  ++ "check mode" - -- "$work/install/TessalySetup/tessaly-setup" --connect --check --session "$work/session.json"

# The same installation with a runtime that answers at once: what is left is the check mode's own cost.
cp -r "$work/install" "$work/instant"
rm "$work/instant/runtime/node"
printf '#!/bin/sh\nexec cat "$0.answer"\n' >"$work/instant/runtime/node"
printf '{"ok":true,"version":"1","protocolVersion":1,"extensionConnected":false}' >"$work/instant/runtime/node.answer"
chmod +x "$work/instant/runtime/node"

echo "== with a verifier that answers at once"
node bench/paired.js "$runs" \
  "verifier script alone" "$work/token" -- "$work/instant/runtime/node" "$work/instant/bin/connect-verify.js" \
  --port "$COMPANION_PORT" \
  ++ "check mode" - -- "$work/instant/TessalySetup/tessaly-setup" --connect --check --session "$work/session.json"

# Starting any C++ process costs something that depends on the machine more than on the program.
echo "== the check mode against a program that only runs the same verifier"
node bench/paired.js "$runs" \
  "spawn only" "$work/token" -- build/bench/spawn_only "$work/instant/runtime/node" \
  "$work/instant/bin/connect-verify.js" --port "$COMPANION_PORT" \
  ++ "check mode" - -- "$work/instant/TessalySetup/tessaly-setup" --connect --check --session "$work/session.json"
