#!/usr/bin/env bash
# The program as a user gets it: the Debian package built, checked, installed, used and removed; then the same
# build in a companion's release layout. Needs root, or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
package=tessaly-setup
installed=/opt/tessaly-mcp/TessalySetup/tessaly-setup
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check NAME COMMAND...: runs the command, reports ok or FAIL
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

deb=$(bash scripts/package.sh)
echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "   Depends: $(dpkg-deb -f "$deb" Depends)"
# Every tag lintian prints is shown; errors and warnings that the package does not override fail.
lintian_clean() { lintian --fail-on error,warning "$deb" 2>&1 | sed '/^running with root privileges/d; s/^/     /'; }
check "lintian finds no error or warning" lintian_clean

$sudo apt-get remove -y -qq "$package" >/dev/null 2>&1 || true
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null 2>&1
dpkg -L "$package" >"$work/files"

check "the command on the PATH" [ "$(cd / && PATH=/usr/bin:/bin tessaly-setup --version)" = \
  "tessaly-setup $(dpkg-deb -f "$deb" Version)" ]
check "the manual page renders" grep -q '^EXIT STATUS' <(MANWIDTH=80 man tessaly-setup 2>/dev/null)
metainfo_valid() { # shows the validator's findings only when it refuses the file
  local findings
  findings=$(appstreamcli validate --no-net /usr/share/metainfo/invalid.tessaly.setup.metainfo.xml 2>&1) ||
    { sed 's/^/     /' <<<"$findings"; return 1; }
}
check "the metainfo is valid" metainfo_valid
check "check mode from the package" [ "$("$installed" --connect --check --session "$work/none.json")" = \
  '{"outcome":"failed","detail":"noSession"}' ]
check "refused pairing request from the package" [ "$(echo '{}' | "$installed" --pairing-approval 2>&1; echo $?)" = 2 ]
check "desktop entries are valid" desktop-file-validate /usr/share/applications/tessaly-setup.desktop \
  /usr/share/applications/tessaly-setup-status.desktop

# window_command EXECUTABLE: shows the setup window, prints the command its configuration names, closes it.
cat >"$work/window.py" <<'PY'
import json, os, subprocess, sys
sys.path.insert(0, os.path.join(os.getcwd(), "scripts", "desktop"))
import atspi_driver as driver
env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
process = subprocess.Popen([sys.argv[1]], env=env)
window = driver.find_window(process.pid, "Tessaly MCP configuration")
print(json.loads(window.text_view())["mcpServers"]["tessaly"]["command"])
window.press("Close")
sys.exit(process.wait(timeout=20))
PY
window_command() { scripts/desktop/with-session.sh /usr/bin/python3 "$work/window.py" "$1"; }
# Through the link on the PATH: the program finds its installation from the executable the link resolves to.
check "setup window from the package" [ "$(window_command /usr/bin/tessaly-setup)" = /opt/tessaly-mcp/tessaly-mcp ]

DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq "$package" >/dev/null
left=()
while read -r path; do
  [ -f "$path" ] || [ -L "$path" ] && left+=("$path")
done <"$work/files"
for folder in /opt/tessaly-mcp "/usr/share/doc/$package"; do
  [ -e "$folder" ] && left+=("$folder")
done
check "removal leaves nothing behind" [ "${#left[@]}" -eq 0 ]
[ "${#left[@]}" -eq 0 ] || printf '     left: %s\n' "${left[@]}"

# A release of a companion installation: the bundle in releases/r-N-<digest>/ with the runtime and scripts,
# the launcher in the installation root.
release="$work/root/releases/r-7-$(printf '%064d' 0 | tr 0 a)"
cmake --install build-package --prefix "$release" --component bundle >/dev/null
bash scripts/lay-out-installation.sh "$work/companion" build-package/tessaly-setup >/dev/null
bundle_files() { (cd "$release" && find . -type f | sort | tr '\n' ' '); }
check "a companion installation takes the bundle alone" [ "$(bundle_files)" = \
  "./TessalySetup/libtessaly-desktop.so ./TessalySetup/tessaly-clipboard ./TessalySetup/tessaly-clipboard-wayland ./TessalySetup/tessaly-setup " ]
cp -r "$work/companion/runtime" "$work/companion/bin" "$release/"
install -m 0755 companion/tessaly-mcp "$work/root/tessaly-mcp"
check "release layout names the root's launcher" \
  [ "$(window_command "$release/TessalySetup/tessaly-setup")" = "$work/root/tessaly-mcp" ]

[ "$failures" -eq 0 ]
