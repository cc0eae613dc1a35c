#!/usr/bin/env bash
# The Windows programs tried under Wine, in a Wine prefix made afresh: q7310flash.exe's
# --version, --help and --list-ports; a whole run of the 64 KiB sample against q7310sim on a
# pseudo-terminal mapped as COM5, judged by what the simulator holds and timed against the same
# run by the native q7310flash, and one through ser2net as an RFC 2217 device server; the image
# from a pipe; two runs on one COM port, the second refused before the instrument receives a
# byte; two ports at once; what a console window shows of a run (umlauts, one progress line,
# nothing wider than the console); a port that does not exist; the window on a virtual X server,
# started with a file, its file dialog opened and closed, and no registry entry left; its
# screenshot into BUILD; the installer run silently, the installed q7310flash reached by name
# from a console and completing a run, .a35 files opened with the program, the Start-menu entry
# starting in the program's folder, and the uninstaller leaving nothing behind. What it measured
# goes to BUILD/wine.log.
# Usage: scripts/windows/wine-checks.sh BUILD FOLDER SETUP
set -euo pipefail
BUILD=$1 FOLDER=$2 SETUP=$3
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
HOST=$ROOT/build
LOG=$BUILD/wine.log
T=$(mktemp -d)
SIMS=()
cleanup() {
  for p in "${SIMS[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$T"
}
trap cleanup EXIT
# One virtual X server for every Wine process of the prefix (a Wine server started without a
# display keeps windows from opening later).
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$T/display" >/dev/null 2>&1 &
SIMS+=($!)
for _ in $(seq 100); do [ -s "$T/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$T/display")"
: >"$LOG"
note() { echo "$*" | tee -a "$LOG"; }
fail() { note "FAIL: $*"; exit 1; }

cmake --build "$HOST" --target q7310sim q7310flash make_sample -j"$(nproc)" >/dev/null
export WINEPREFIX=$BUILD/wine-checks WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installer asked for
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w
note "Wine: $(wine --version)"

FLASH=$FOLDER/q7310flash.exe
wine "$FLASH" --version | tee -a "$LOG" | grep -q '^q7310flash ' || fail "--version"
wine "$FLASH" --help >"$T/help.txt"
grep -q '^Exit-Codes:' "$T/help.txt" && grep -q 'Strg-Pause' "$T/help.txt" || fail "--help"
wine "$FLASH" --list-ports >"$T/ports.txt" || fail "--list-ports"
grep -q '^ComN ist die Schnittstelle COMN' "$T/ports.txt" || fail "--list-ports: $(cat "$T/ports.txt")"
[ "$(grep -c '^Com[1-8]  COM[1-8]' "$T/ports.txt")" = 8 ] || fail "--list-ports lists Com1 .. Com8"
note "--version, --help, --list-ports: fine"

SAMPLE=$T/q7310.a35
"$HOST/make_sample" "$SAMPLE"
# A simulated instrument on a pseudo-terminal, as COMn of the Wine prefix.
simulator() { # name COMn: starts it, maps the port; what it received goes to T/name.frames
  "$HOST/q7310sim" --verbose --dump "$T/$1.hex" >"$T/$1.path" 2>"$T/$1.frames" &
  SIMS+=($!)
  for _ in $(seq 50); do [ -s "$T/$1.path" ] && break; sleep 0.1; done
  wine reg add 'HKLM\Software\Wine\Ports' /v "$2" /t REG_SZ /d "$(head -1 "$T/$1.path")" /f \
    >/dev/null 2>&1
  wineserver -k 2>/dev/null || true # the mapping is read when Wine starts
}
holds() { # name: the simulator holds exactly the sample and took the end command
  [ -s "$T/$1.hex" ] && srec_cmp "$SAMPLE" -intel "$T/$1.hex" -intel >/dev/null 2>&1
}
seconds() { date +%s.%N; }

simulator wine COM5
before=$(seconds)
wine "$FLASH" --quiet --port COM5 "$(winepath -w "$SAMPLE")" >"$T/wine.out" 2>&1 ||
  fail "the run under Wine: $(cat "$T/wine.out")"
wineTime=$(awk "BEGIN { print $(seconds) - $before }")
holds wine || fail "under Wine the simulator does not hold the sample"
"$HOST/q7310sim" --dump "$T/native.hex" >"$T/native.path" 2>/dev/null &
SIMS+=($!)
for _ in $(seq 50); do [ -s "$T/native.path" ] && break; sleep 0.1; done
before=$(seconds)
"$HOST/q7310flash" --quiet --port "$(head -1 "$T/native.path")" "$SAMPLE" >/dev/null 2>&1 ||
  fail "the native run"
nativeTime=$(awk "BEGIN { print $(seconds) - $before }")
holds native || fail "the native run left the simulator without the sample"
note "$(awk "BEGIN { printf \"the 64 KiB sample through COM5 under Wine: %.2f s; natively: \
%.2f s (%.3f times)\", $wineTime, $nativeTime, $wineTime / $nativeTime }")"

# Through a device server: ser2net's RFC 2217 accepter in front of another simulator.
free_port() { # one nobody listens on
  local p
  while :; do
    p=$((20000 + RANDOM % 20000))
    grep -qi ":$(printf '%04X' "$p") 00000000:0000 0A" /proc/net/tcp || { echo "$p"; return; }
  done
}
if command -v ser2net >/dev/null; then
  "$HOST/q7310sim" --dump "$T/net.hex" >"$T/net.path" 2>/dev/null &
  SIMS+=($!)
  for _ in $(seq 50); do [ -s "$T/net.path" ] && break; sleep 0.1; done
  port=$(free_port)
  printf '%%YAML 1.1\n---\nconnection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,38400e81,local\n' \
    "$port" "$(head -1 "$T/net.path")" >"$T/ser2net.yaml"
  ser2net -n -u -c "$T/ser2net.yaml" -P "$T/ser2net.pid" >/dev/null 2>&1 &
  SIMS+=($!)
  for _ in $(seq 100); do
    grep -qi ":$(printf '%04X' "$port") 00000000:0000 0A" /proc/net/tcp && break
    sleep 0.1
  done
  wine "$FLASH" --quiet --port "rfc2217://127.0.0.1:$port" "$(winepath -w "$SAMPLE")" \
    >"$T/net.out" 2>&1 || fail "the run through ser2net under Wine: $(cat "$T/net.out")"
  holds net || fail "through ser2net the simulator does not hold the sample"
  note "the sample through ser2net (RFC 2217) under Wine: fine"
else
  note "no ser2net here: the device server not tried"
fi

# The image from a pipe: one Wine is handed, and one of Windows' own.
cat "$SAMPLE" | wine "$FLASH" --check - >"$T/pipe.out" 2>&1 || fail "a pipe Wine is handed: $(cat "$T/pipe.out")"
cp "$SAMPLE" "$WINEPREFIX/drive_c/sample.a35"
wine cmd /c "type C:\sample.a35 | $(winepath -w "$FLASH") --check -" >"$T/pipe2.out" 2>&1 ||
  fail "a Windows pipe: $(cat "$T/pipe2.out")"
note "the image from a pipe, Wine's and Windows' own: fine"

starts() { grep -c 'frame [0-9]* start' "$T/$1.frames"; } # start frames the simulator took

# One port, one run: a second run on COM12 while the first holds it is refused before the
# instrument receives a byte of it.
simulator twice COM12
wine "$FLASH" --quiet --port COM12 "$(winepath -w "$SAMPLE")" >"$T/first.out" 2>&1 &
first=$!
sleep 4
framesBefore=$(grep -c 'frame' "$T/twice.frames")
rc=0
wine "$FLASH" --port COM12 "$(winepath -w "$SAMPLE")" >"$T/second.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "the second run on COM12 ended with $rc: $(cat "$T/second.out")"
grep -q 'Com12 (COM12) wird bereits benutzt (Prozess [0-9]*)' "$T/second.out" ||
  fail "the second run on COM12 says: $(cat "$T/second.out")"
wait "$first" || fail "the first run on COM12: $(cat "$T/first.out")"
holds twice || fail "after two runs on COM12 the simulator does not hold the sample"
[ "$(starts twice)" = 1 ] || fail "two runs on COM12: $(starts twice) start frames"
[ "$framesBefore" -gt 0 ] || fail "the first run on COM12 had not begun"
note "two runs on one COM port: the second refused ($(grep -o 'wird bereits benutzt.*' "$T/second.out" | head -1)), one start frame"

# Several ports at once: each in a child process of its own, the image handed to each.
simulator left COM3
simulator right COM12
wine "$FLASH" --port COM3 --port COM12 "$(winepath -w "$SAMPLE")" >"$T/both.out" 2>&1 ||
  fail "two ports at once: $(cat "$T/both.out")"
holds left && holds right || fail "two ports at once: not both hold the sample"
note "two ports at once (COM3, COM12): both hold the sample"

# What a console window of 80 columns shows: umlauts right whatever its code page, one progress
# line redrawn in place, nothing wider than the console, no escape sequence printed.
x86_64-w64-mingw32-g++ -O2 -municode -static -o "$T/consolescreen.exe" \
  "$ROOT/scripts/windows/consolescreen.cpp"
simulator console COM7
wine "$T/consolescreen.exe" 80 "$(winepath -w "$T/screen.txt")" "$(winepath -w "$FLASH")" \
  --port COM7 "$(winepath -w "$SAMPLE")" >/dev/null 2>&1 || fail "the run in a console: $(cat "$T/screen.txt" 2>&1)"
holds console || fail "the run in a console left the simulator without the sample"
grep -q '^Com7: Übertragung abgeschlossen, vom Q7310 bestätigt$' "$T/screen.txt" ||
  fail "the console shows: $(cat "$T/screen.txt")"
! grep -q $'\x1b\|\[2K\|←\|Ã' "$T/screen.txt" || fail "the console shows: $(cat "$T/screen.txt")"
[ "$(grep -c '^Com7 ' "$T/screen.txt")" -le 1 ] || fail "more than one progress line: $(cat "$T/screen.txt")"
! awk 'length($0) > 79 { bad = 1 } END { exit !bad }' "$T/screen.txt" ||
  fail "a line wider than the console: $(cat "$T/screen.txt")"
wine "$T/consolescreen.exe" 80 "$(winepath -w "$T/absent.txt")" "$(winepath -w "$FLASH")" \
  --port COM77 "$(winepath -w "$SAMPLE")" >/dev/null 2>&1 || true
# A message longer than the console wraps, as in any console: its lines are read as one.
tr -d '\n' <"$T/absent.txt" >"$T/absent.line"
grep -q 'Com77 kann nicht geöffnet werden: diese Schnittstelle gibt es nicht (COM77)' "$T/absent.line" &&
  grep -q 'nichts übertragen, die Firmware im Q7310 ist unverändert' "$T/absent.line" ||
  fail "an absent port in the console: $(cat "$T/absent.txt")"
cp "$T/screen.txt" "$BUILD/console-screen.txt"
note "in a console of 80 columns ($BUILD/console-screen.txt): $(grep -c . "$T/screen.txt") lines, umlauts right, one progress line"

# The window, started with the sample: it shows it chosen. Its file dialog is opened (Tab to
# "Datei", Space) and closed again; Qt's dialog keeps what it saw in a folder that goes with the
# program, not in the registry.
wine "$FOLDER/Q7310Flasher.exe" "$(winepath -w "$SAMPLE")" >/dev/null 2>&1 &
app=$!
sleep 12
import -window root "$T/screen.png" || true
xdotool key Tab space >/dev/null 2>&1 || true
dialog=""
for _ in $(seq 30); do
  dialog=$(xdotool search --onlyvisible --name '^(Open|Öffnen)$' 2>/dev/null | head -1) || true
  [ -n "$dialog" ] && break
  sleep 0.5
done
[ -n "$dialog" ] || fail "the file dialog did not open"
xdotool key Escape >/dev/null 2>&1 || true
sleep 2
kill "$app" 2>/dev/null || true
wineserver -k 2>/dev/null || true
rm -f "$FOLDER/Q7310Flasher.cfg"
[ -s "$T/screen.png" ] || fail "no screenshot of the window"
convert "$T/screen.png" -trim +repage "$BUILD/windows-main-window.png"
! wine reg query 'HKCU\Software\QtProject' >/dev/null 2>&1 ||
  fail "Qt's file dialog wrote the registry: $(wine reg query 'HKCU\Software\QtProject' /s 2>&1)"
note "the window under Xvfb, started with the sample: $BUILD/windows-main-window.png \
($(identify -format '%wx%h' "$BUILD/windows-main-window.png")); its file dialog opened and \
closed, no registry entry of Qt's"

# Installed silently; reached by name from a console; a whole run; uninstalled without a trace.
drive=$WINEPREFIX/drive_c
find "$drive" -type f | sort >"$T/before.txt"
wine "$SETUP" /S
wineserver -w
dir="$drive/Program Files/Q7310Flasher"
[ -x "$dir/q7310flash.exe" ] && [ -f "$dir/Uninstall.exe" ] || fail "nothing installed in $dir"
lnk="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Q7310Flasher.lnk"
[ -f "$lnk" ] || fail "no Start-menu entry"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Q7310Flasher' \
  >/dev/null 2>&1 || fail "no entry among the installed programs"
wine reg query 'HKLM\Software\Classes\.a35' /ve 2>/dev/null | grep -q 'Q7310Flasher.a35' &&
  wine reg query 'HKLM\Software\Classes\Q7310Flasher.a35\shell\open\command' /ve 2>/dev/null |
  grep -qi 'Q7310Flasher.exe" "%1"' || fail ".a35 files are not opened with the program"
# The Start-menu entry starts in the program's folder: its working folder is the only other
# path the link holds.
tr -d '\000' <"$lnk" | grep -aqi 'translations' && fail "the Start-menu entry starts in translations"
simulator installed COM6
wine cmd /c "q7310flash --quiet --port COM6 $(winepath -w "$SAMPLE")" >"$T/installed.out" 2>&1 ||
  fail "the installed q7310flash, by name: $(cat "$T/installed.out")"
holds installed || fail "the installed q7310flash left the simulator without the sample"
note "installed: $(du -sk "$dir" | cut -f1) KiB; q7310flash on the PATH completed a run"
wine "$dir/Uninstall.exe" /S
wineserver -w
sleep 2
wineserver -w
[ ! -e "$dir" ] || fail "left behind: $(find "$dir")"
[ ! -e "$lnk" ] || fail "the Start-menu entry is left"
! wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Q7310Flasher' \
  >/dev/null 2>&1 || fail "the entry among the installed programs is left"
! wine reg query 'HKLM\Software\Classes\.a35' >/dev/null 2>&1 &&
  ! wine reg query 'HKLM\Software\Classes\Q7310Flasher.a35' >/dev/null 2>&1 ||
  fail "the .a35 file type is left"
! wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' /v Path |
  grep -qi 'Q7310Flasher' || fail "the PATH still names the folder"
find "$drive" -type f | sort >"$T/after.txt"
left=$(comm -13 "$T/before.txt" "$T/after.txt" | grep -vi '/windows/\|/users/.*/temp/' || true)
[ -z "$left" ] || fail "files left behind: $left"
note "uninstalled: nothing left"
