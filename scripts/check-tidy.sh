#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the program's own sources, using the compile commands of
# a configured build (default build/). Fails on any finding.
# Usage: scripts/check-tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
[ -f "$build/compile_commands.json" ] || { echo "check-tidy: configure $build first (scripts/build.sh)" >&2; exit 2; }
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- 'app/*.cpp' 'connect/*.cpp' 'desktop/*.cpp')
run-clang-tidy -quiet -p "$build" "${files[@]}" >"$build/clang-tidy.log" 2>&1 || true
if grep -qE '(warning|error):' "$build/clang-tidy.log"; then
  grep -E -A3 '(warning|error):' "$build/clang-tidy.log" >&2
  exit 1
fi
echo "clang-tidy: ${#files[@]} files, no findings"
