#!/usr/bin/env bash
# Configures and builds one flavour of the project: plain (build/), asan (build-asan/), tsan (build-tsan/) or
# clang (build-clang/, the compiler the fuzzers need).
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
case "$flavour" in
  plain) dir=build; options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) dir=build-asan; options=(-DCMAKE_BUILD_TYPE=Debug -DTESSALY_ASAN=ON) ;;
  tsan) dir=build-tsan; options=(-DCMAKE_BUILD_TYPE=Debug -DTESSALY_TSAN=ON) ;;
  clang) dir=build-clang; options=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 [plain|asan|tsan|clang]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${options[@]}" >/dev/null
cmake --build "$dir"
