#!/usr/bin/env bash
# Makes the README's pictures from the real program under a virtual X server: the main window
# with the monitor on during a run against the simulator, and the help window.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh xvfb xdotool imagemagick
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

BUILD="$PWD/build"
SHOT="$(mktemp -d)"
export DISPLAY=:77
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp &
XVFB=$!
SIM=""
FLASHER=""
cleanup() {
  [ -n "$FLASHER" ] && kill "$FLASHER" 2>/dev/null || true
  [ -n "$SIM" ] && kill "$SIM" 2>/dev/null || true
  kill "$XVFB" 2>/dev/null || true
  rm -f "$BUILD/com1"
  rm -rf "$SHOT"
}
trap cleanup EXIT
sleep 1

./build/make_sample "$SHOT/q7310.a35"
mv -f "$BUILD/Q7310Flasher.cfg" "$SHOT/saved.cfg" 2>/dev/null || true
printf '%s\r\n' "$SHOT/q7310.a35" >"$BUILD/Q7310Flasher.cfg"
./build/q7310sim --link "$BUILD/com1" --baud 38400 >/dev/null &
SIM=$!
for _ in $(seq 50); do [ -L "$BUILD/com1" ] && break; sleep 0.1; done

./build/Q7310Flasher &
FLASHER=$!
WID=$(xdotool search --sync --onlyvisible --name '^Q7310Flasher$' | head -1)
xdotool windowfocus --sync "$WID"
sleep 0.5
key() { xdotool key --window "$WID" "$@"; sleep 0.4; }
key Tab space                      # "Datei": the dialog opens preset with the sample
sleep 1
xdotool key Return                 # take it
sleep 0.7
xdotool windowfocus --sync "$WID"
key Tab Tab space                  # the eyes: monitor on
key shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab space   # "Übertragen"
sleep 6                            # well into the run
import -window "$WID" docs/main-window.png

xdotool key --window "$WID" alt+h
HID=$(xdotool search --sync --onlyvisible --name '^Hilfe$' | head -1)
sleep 1
import -window "$HID" docs/help-window.png

rm -f "$BUILD/Q7310Flasher.cfg"
mv -f "$SHOT/saved.cfg" "$BUILD/Q7310Flasher.cfg" 2>/dev/null || true
echo "docs/main-window.png and docs/help-window.png are current."
