#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for
# SECONDS (default 60) from its seed corpus. Exits non-zero when a target finds a crash.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTESSALY_ASAN=ON -DTESSALY_FUZZ=ON -DTESSALY_TESTS=OFF >/dev/null
cmake --build build-fuzz --target session_fuzz answer_fuzz
for target in session answer; do
  # New inputs go to a scratch folder so that the committed seeds stay as they are.
  scratch=$(mktemp -d)
  build-fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=9000 -artifact_prefix=build-fuzz/ \
    "$scratch" "fuzz/corpus/$target" 2>&1 | tail -n 1
  rm -rf "$scratch"
done
