#!/usr/bin/env bash
# Makes the README's screenshots (docs/screenshots/) from the built program under a private Xvfb session, so
# that they stay true when texts change. Needs ImageMagick's import, which it installs when missing.
# Usage: scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/companion-lib.sh

if ! command -v import >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends imagemagick >/dev/null
fi
bash scripts/build.sh plain >/dev/null
work=$(mktemp -d)
trap 'stop_companion; rm -rf "$work"' EXIT
bash scripts/lay-out-installation.sh "$work/install" build/tessaly-setup >/dev/null
# The status item finds the companion's session where it always does, under HOME.
export HOME="$work/home"
session="$HOME/.tessaly-mcp/session.json"
start_companion "$work/install" "$session" "$work/companion.log"
scripts/desktop/with-session.sh /usr/bin/python3 scripts/screenshots.py "$work/install" "$session" docs/screenshots
