#!/usr/bin/env bash
# Builds the Debian package in build-package/ for an installation under /opt/tessaly-mcp with the command
# linked from /usr/bin and the desktop entries, icons, manual page and documents under /usr/share, and prints
# the package's path.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/opt/tessaly-mcp -DTESSALY_DESKTOP_DATADIR=/usr/share -DTESSALY_BINDIR=/usr/bin >/dev/null
cmake --build build-package >/dev/null
rm -f build-package/tessaly-setup_*.deb
(cd build-package && cpack >/dev/null 2>&1)
ls "$PWD"/build-package/tessaly-setup_*.deb
