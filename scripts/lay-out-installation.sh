#!/usr/bin/env bash
# Lays out a runnable installation of TessalySetup with the stand-in companion:
#
#   DEST/TessalySetup/tessaly-setup   the executable (its folder plays the bundle), with the window-system
#                                     module and the clipboard helpers built beside it
#   DEST/runtime/node                 link to this machine's node
#   DEST/bin/connect-verify.js, DEST/bin/presence.js
#   DEST/server.js, DEST/tessaly-mcp  the companion and its launcher
#   DEST/SUPPORT.json
#
# Running it again replaces those entries and leaves anything else in DEST alone.
set -euo pipefail

usage() {
    echo "usage: $0 DEST EXE" >&2
    echo "  DEST  folder to lay the installation out in (created if missing)" >&2
    echo "  EXE   the built tessaly-setup executable" >&2
    exit 2
}
die() {
    echo "lay-out-installation: $*" >&2
    exit 1
}

[ $# -eq 2 ] || usage
dest=$1
exe=$2
[ -n "$dest" ] || usage
[ -f "$exe" ] && [ -x "$exe" ] || die "EXE '$exe' is not an executable file"
[ ! -e "$dest" ] || [ -d "$dest" ] || die "DEST '$dest' exists and is not a folder"
node=$(command -v node) || die "no 'node' on PATH; install Node.js 20 (Debian package nodejs)"
node=$(readlink -f -- "$node")

companion=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../companion" && pwd)
exe=$(readlink -f -- "$exe")

mkdir -p -- "$dest/TessalySetup" "$dest/runtime" "$dest/bin"
install -m 0755 -- "$exe" "$dest/TessalySetup/tessaly-setup"
for bundle_file in libtessaly-desktop.so tessaly-clipboard tessaly-clipboard-wayland; do
    built="$(dirname -- "$exe")/$bundle_file"
    [ ! -e "$built" ] || install -m 0755 -- "$built" "$dest/TessalySetup/$bundle_file"
done
ln -sfn -- "$node" "$dest/runtime/node"
install -m 0644 -- "$companion/bin/connect-verify.js" "$companion/bin/presence.js" "$dest/bin/"
install -m 0644 -- "$companion/server.js" "$companion/SUPPORT.json" "$dest/"
install -m 0755 -- "$companion/tessaly-mcp" "$dest/tessaly-mcp"

echo "laid out in $(cd -- "$dest" && pwd)"
