#!/usr/bin/env bash
# Installs what building, testing and running the project need on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format
  nlohmann-json3-dev libexpected-dev libboost-url1.81-dev libutf8proc-dev
  libgtest-dev libgmock-dev
  qt6-base-dev libglib2.0-dev libxcb1-dev
  # A launched browser gets an activation token from the Wayland compositor: the client library and the
  # scanner that makes its glue from the protocol's description.
  libwayland-dev libwayland-bin
  # The window modes are tested as a person uses them: a private X server, a session bus, the accessibility
  # bus read from Python, the clipboard read with xclip, and a clipboard manager to hand copies to.
  xvfb xauth dbus at-spi2-core gir1.2-atspi-2.0 python3-gi python3-dbus xclip xfce4-settings
  # The icon's sizes are rendered from its SVG; the package's dependencies come from dpkg-shlibdeps and its
  # desktop entries are checked.
  librsvg2-bin dpkg-dev desktop-file-utils
  # The package is checked against Debian's conventions, its manual page read and its metainfo validated.
  lintian man-db appstream
  clang-tidy
  hyperfine
  chromium
)
# Node.js runs the stand-in companion; any installed node 18 or later will do.
command -v node >/dev/null 2>&1 || packages+=(nodejs)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
