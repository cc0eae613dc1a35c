#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless: the suite, the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer (any report fails), and the check
# of the Debian package.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
export QT_QPA_PLATFORM=offscreen
JOBS=$(nproc)
# The compiler cache serves any checkout of the project, wherever it lies.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS"
(cd build && ctest -j3 --output-on-failure)

# The sanitizers: only the test programs are built, in a directory of their own.
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$SAN" \
  -DCMAKE_EXE_LINKER_FLAGS="$SAN" >/dev/null
cmake --build build-asan -j"$JOBS" --target q7310_tests
(cd build-asan && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest -j3 --output-on-failure)

./scripts/check-package.sh build
