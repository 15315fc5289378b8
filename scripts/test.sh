#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the plain build, then the same suite under
# AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer and built by clang, the stand-in
# companion's own tests, and a short run of each fuzz target. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/check-format.sh
node --test companion/test/
echo "== fuzz targets, 10 seconds each"
bash scripts/fuzz.sh 10
for flavour in plain asan tsan clang; do
  bash scripts/build.sh "$flavour"
done
for dir in build build-asan build-tsan build-clang; do
  echo "== tests in $dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
done
