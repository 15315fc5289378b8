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
start_companion "$work/install" "$work/session.json" "$work/companion.log"
tests/desktop/with-session.sh /usr/bin/python3 scripts/screenshots.py "$work/install" "$work/session.json" \
  docs/screenshots
