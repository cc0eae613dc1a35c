#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour checks on) in
# build-fuzz and runs each on its corpus under tests/fuzz/ for the given number of seconds.
# New inputs go to a scratch directory, so the corpus in the tree stays as it is; a finding fails
# the run and is left in build-fuzz/ as finding-<target>-crash-<hash> (add it to the corpus with
# the fix).
# Usage: scripts/fuzz.sh [SECONDS]   (default: 60)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQ7310_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_image fuzz_settings
for target in image settings; do
  scratch=$(mktemp -d)
  echo "fuzz_$target: $SECONDS_EACH s"
  ./build-fuzz/tests/fuzz_$target -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/finding-$target-" "$scratch" "tests/fuzz/$target" 2>&1 |
    grep -E '^(#[0-9]+ *DONE|stat::number_of_executed_units|stat::peak_rss|INFO: seed corpus|==[0-9]+==ERROR)' || true
  status=${PIPESTATUS[0]}
  rm -rf "$scratch"
  [ "$status" -eq 0 ] || { echo "fuzz_$target found a failing input (see build-fuzz/finding-$target-*)" >&2; exit 1; }
done
