#!/usr/bin/env bash
# The main job on a fresh machine: build, start the stand-in companion, lay out an installation around the
# built executable, and check the companion from it, printing the check line.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/companion-lib.sh

bash scripts/install-deps.sh
bash scripts/build.sh plain >/dev/null

work=$(mktemp -d)
trap 'stop_companion; rm -rf "$work"' EXIT
bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup
start_companion "$work/install" "$work/session.json" "$work/companion.log"

status=0
"$work/install/TessalySetup/tessaly-setup" --connect --check --session "$work/session.json" || status=$?
exit "$status"
