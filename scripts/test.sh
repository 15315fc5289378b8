#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the format and static checks, the stand-in
# companion's own tests, a short run of each fuzz target, the suite in the plain build and again under
# AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer and built by clang, and last the
# Debian package installed, used and removed. Exits non-zero when anything fails.
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
echo "== static checks"
bash scripts/check-tidy.sh build
for dir in build build-asan build-tsan build-clang; do
  echo "== tests in $dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
done
echo "== the Debian package"
bash tests/package_test.sh
