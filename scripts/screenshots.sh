#!/usr/bin/env bash
# Makes the README's pictures from the real program under a virtual X server: the main window
# with the monitor on during a run against the simulator, and the help window; with the Windows
# programs built (scripts/windows.sh package), the window under Wine too. The firmware file lies
# where a service technician keeps it: ~/Firmware/Q7310/q7310-VERSION.a35, C:\Firmware\Q7310\ under
# Wine (made for the pictures, and removed again where it was not there before).
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
  if [ -n "$MADE" ]; then
    rm -f "$SAMPLE"
    rmdir "$FIRMWARE" "$HOME/Firmware" 2>/dev/null || true
  fi
  rm -rf "$SHOT"
}
trap cleanup EXIT
sleep 1

VERSION=$(sed -n 's/^project(Q7310Flasher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
FIRMWARE="$HOME/Firmware/Q7310"
SAMPLE="$FIRMWARE/q7310-$VERSION.a35"
MADE=""
[ -e "$SAMPLE" ] || MADE=1
mkdir -p "$FIRMWARE"
./build/make_sample "$SAMPLE"
mv -f "$BUILD/Q7310Flasher.cfg" "$SHOT/saved.cfg" 2>/dev/null || true
printf '%s\r\n' "$SAMPLE" >"$BUILD/Q7310Flasher.cfg"
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

kill "$FLASHER" 2>/dev/null || true # the screen is left to the next picture
FLASHER=""
rm -f "$BUILD/Q7310Flasher.cfg"
mv -f "$SHOT/saved.cfg" "$BUILD/Q7310Flasher.cfg" 2>/dev/null || true
echo "docs/main-window.png and docs/help-window.png are current."

# The window under Wine, started with the sample chosen, from the portable folder.
FOLDER="$PWD/build-win/dist/Q7310Flasher-$VERSION"
if [ -x "$FOLDER/Q7310Flasher.exe" ] && command -v wine >/dev/null; then
  export WINEPREFIX="$SHOT/wine" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot -i >/dev/null 2>&1
  wineserver -w
  mkdir -p "$WINEPREFIX/drive_c/Firmware/Q7310"
  cp "$SAMPLE" "$WINEPREFIX/drive_c/Firmware/Q7310/"
  wine "$FOLDER/Q7310Flasher.exe" "C:\\Firmware\\Q7310\\q7310-$VERSION.a35" >/dev/null 2>&1 &
  WINE_APP=$!
  sleep 12
  import -window root "$SHOT/wine.png"
  kill "$WINE_APP" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  convert "$SHOT/wine.png" -trim +repage docs/windows-main-window.png
  echo "docs/windows-main-window.png is current."
else
  echo "No Windows programs in build-win/dist (scripts/windows.sh package): the picture under Wine is left as it is."
fi
