#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for
# SECONDS (default 60) from its seed corpus: the test command runs them briefly, a person runs them for 600.
# Prints per target the executions, the coverage and the corpus size at the end. Exits non-zero when a target
# finds a crash, after the others have run; the crashing input is left in build-fuzz/ as TARGET-crash-*.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets=(session answer pairing presence support arguments port_table)

# The libraries under test get libFuzzer's coverage too: without it the fuzzer sees only the target's own file
# and cannot tell which inputs reach new code in the readers.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DTESSALY_ASAN=ON -DTESSALY_FUZZ=ON -DTESSALY_TESTS=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]/%/_fuzz}"

# New inputs go to a scratch folder so that the committed seeds stay as they are.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in "${targets[@]}"; do
  mkdir "$scratch/$target"
  log="$scratch/$target.log"
  if build-fuzz/"${target}"_fuzz -max_total_time="$seconds" -max_len=9000 -artifact_prefix=build-fuzz/"$target"- \
    "$scratch/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    # libFuzzer's closing status line reads "#RUNS DONE cov: N ft: N corp: INPUTS/BYTES ...".
    awk -v target="$target" '$2 == "DONE" {
        for (i = 3; i < NF; i++) { if ($i == "cov:") cov = $(i + 1); if ($i == "corp:") corpus = $(i + 1) }
        runs = substr($1, 2)
      }
      END { printf "%-10s executions %s  cov: %s  corpus: %s\n", target, runs, cov, corpus }' "$log"
  else
    echo "$target: FAILED"
    tail -n 40 "$log"
    status=1
  fi
done
exit "$status"
