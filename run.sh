#!/usr/bin/env bash
# Installs what is missing, builds, and starts the flasher with the instrument simulator on Com1
# and a sample firmware file, so a whole programming run can be seen without an instrument.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

BUILD="$PWD/build"
SAMPLE="$BUILD/q7310.a35"
./build/make_sample "$SAMPLE"
# Preset the file dialog with the sample unless a file was chosen before.
[ -s "$BUILD/Q7310Flasher.cfg" ] || printf '%s\r\n' "$SAMPLE" >"$BUILD/Q7310Flasher.cfg"

./build/q7310sim --link "$BUILD/com1" --baud 38400 --dump "$BUILD/programmed.hex" --verbose &
SIM=$!
cleanup() {
  kill "$SIM" 2>/dev/null || true
  wait "$SIM" 2>/dev/null || true
  rm -f "$BUILD/com1"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -L "$BUILD/com1" ] && break; sleep 0.1; done

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY is not set); run this from a desktop session." >&2
  exit 1
fi
echo "Simulator on Com1 ($(readlink "$BUILD/com1")); sample firmware: $SAMPLE"
echo "Choose the sample with \"Datei\", then press \"Übertragen\"."
./build/Q7310Flasher
if [ -s "$BUILD/programmed.hex" ]; then
  echo "The simulated instrument holds what it was sent: $BUILD/programmed.hex"
fi
