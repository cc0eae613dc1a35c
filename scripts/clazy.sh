#!/usr/bin/env bash
# Qt's static checks (clazy, level 2) over the program's own sources (tests, benchmarks and the
# simulator aside), with the compile database of an existing build. Any warning fails.
# Usage: scripts/clazy.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
[ -f "$BUILD/compile_commands.json" ] || { echo "no compile database in $BUILD" >&2; exit 1; }
# Only what this build compiles: the other platform's files have no compile command here.
mapfile -t files < <(git ls-files '*.cpp' | grep -vE '^(tests|bench|simulator)/' |
  while read -r f; do grep -qF "/$f\"" "$BUILD/compile_commands.json" && echo "$f"; done)
report=$(clazy-standalone -p "$BUILD" -checks=level2 "${files[@]}" 2>&1 | grep -E 'warning:|error:' | sort -u || true)
if [ -n "$report" ]; then
  echo "$report" >&2
  exit 1
fi
echo "clazy level 2: nothing to report on ${#files[@]} files"
