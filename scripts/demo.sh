#!/usr/bin/env bash
# The main job on a fresh machine: build, start the stand-in companion, lay out an installation around the
# built executable, connect a browser to it when a display is at hand, and check the companion, printing the
# check line.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/companion-lib.sh

bash scripts/install-deps.sh
bash scripts/build.sh plain >/dev/null

work=$(mktemp -d)
trap 'stop_companion; rm -rf "$work"' EXIT
bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup
start_companion "$work/install" "$work/session.json" "$work/companion.log"

setup="$work/install/TessalySetup/tessaly-setup"
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  "$setup" --connect --session "$work/session.json" || echo "connect mode ended with status $?" >&2
fi
status=0
"$setup" --connect --check --session "$work/session.json" || status=$?
exit "$status"
