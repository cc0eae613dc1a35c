#!/usr/bin/env bash
# The command-line tools as a user calls them: make_sample writes the sample image, make_icons
# the icon sizes, q7310flash lists its ports and refuses wrong calls, an installed q7310flash
# finds its links in the user's directory and writes nothing beside itself, and q7310sim refuses
# bad arguments, links its line and ends cleanly when told.
# Usage: tools.sh BUILD_DIR
set -uo pipefail
B=$1
SRC=$(cd "$(dirname "$0")/.." && pwd)
T=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$T"' EXIT
# The user's own configuration stays out of it.
export HOME="$T/home"
unset XDG_CONFIG_HOME
mkdir -p "$HOME"
fail() { echo "FAIL: $*" >&2; exit 1; }
status() { "$@" >/dev/null 2>&1; echo $?; }

"$B/make_sample" "$T/s.a35" || fail "make_sample did not write the sample"
[ "$(grep -c '^:10' "$T/s.a35")" = 4096 ] || fail "the sample does not hold 4096 data records"
[ "$(tail -n 1 "$T/s.a35" | tr -d '\r')" = ":00000001FF" ] || fail "the sample has no end record"
[ "$(status "$B/make_sample")" = 2 ] || fail "make_sample without a file name"
(cd "$T" && "$B/make_sample" --help | grep -q '^usage: make_sample') || fail "make_sample --help"
[ ! -e "$T/--help" ] || fail "make_sample --help wrote a file"

"$B/make_icons" "$T/icons" app 32 48 || fail "make_icons"
file "$T/icons/48/app.png" | grep -q 'PNG image data, 48 x 48' || fail "no 48-pixel icon"
"$B/make_icons" "$T/icons" io.example.app 32 && file "$T/icons/32/io.example.app.png" | grep -q 'PNG image' ||
  fail "make_icons with an application id"
"$B/make_icons" "$T/icons" app.ico 64 && file "$T/icons/64/app.ico" | grep -q 'MS Windows icon' ||
  fail "make_icons for Windows"
[ "$(status "$B/make_icons" /proc/q7310 app 32)" = 1 ] || fail "make_icons into a place it cannot write"

# q7310flash names every Com port and the device behind it, and refuses what it cannot do.
[ "$("$B/q7310flash" --list-ports | grep -c '^Com[1-8]  /')" = 8 ] || fail "q7310flash --list-ports"
for args in "" "--bogus x.a35" "--retries -1 x.a35" "--port com0 x.a35" "--port com256 x.a35" \
            "--quiet --json x.a35" \
            "--port rfc2217://host x.a35" "--port com1 --port COM1 x.a35"; do
  # shellcheck disable=SC2086
  [ "$(status "$B/q7310flash" $args)" = 2 ] || fail "q7310flash $args is not refused"
done
[ "$(status "$B/q7310flash" --port "$T/none" "$T/s.a35")" = 1 ] || fail "q7310flash on no port"
# Past Com8 too (Windows numbers USB adapters on past COM9): there is no /dev/ttyS11 here.
[ "$(status "$B/q7310flash" --port COM12 "$T/s.a35")" = 1 ] || fail "q7310flash on COM12"
# bash completes the device servers' schemes after --port, each without a blank after it.
completions() { # words...: what the completion offers for the last one
  bash -c 'source "$0"; compopt() { [ "$1 $2" = "-o nospace" ] && echo "(nospace)"; }
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _q7310flash; printf "%s\n" "${COMPREPLY[@]}"' \
    "$SRC/packaging/q7310flash.bash-completion" "$@"
}
[ "$(cd "$T" && completions q7310flash --port rf)" = "(nospace)
rfc2217://" ] || fail "no rfc2217:// completed after --port"
(cd "$T" && completions q7310flash --port so) | grep -qx 'socket://' || fail "no socket:// completed"
(cd "$T" && completions q7310flash --port c) | grep -qx 'com8' || fail "no com8 completed"
"$B/q7310flash" --version | grep -qx 'q7310flash [0-9]*\.[0-9]*' || fail "q7310flash --version"
[ "$("$B/q7310flash" --help | grep -c '^  [0-4]  ')" = 5 ] || fail "q7310flash --help lacks the exit codes"

[ -x "$B/q7310sim" ] || exit 0 # built without the simulator
for args in "--bogus" "--rule 1:explode" "--link" "--baud"; do
  # shellcheck disable=SC2086
  [ "$(status "$B/q7310sim" $args)" = 2 ] || fail "q7310sim $args is not refused"
done
[ "$(status "$B/q7310sim" --link /proc/q7310/com1)" = 1 ] || fail "q7310sim links where it cannot"
# The folders of a link are made as needed (a user's ~/.config/Q7310Flasher may not exist yet).
"$B/q7310sim" --link "$T/new/folder/com2" >/dev/null &
sim=$!
for _ in $(seq 50); do [ -L "$T/new/folder/com2" ] && break; sleep 0.1; done
[ -L "$T/new/folder/com2" ] || fail "q7310sim does not make the folders of its link"
kill -TERM "$sim" && wait "$sim"
"$B/q7310sim" --link "$T/com1" >"$T/out" &
sim=$!
for _ in $(seq 50); do [ -L "$T/com1" ] && break; sleep 0.1; done
[ "$(readlink "$T/com1")" = "$(head -n 1 "$T/out")" ] || fail "q7310sim does not link the device it prints"
# The README's ser2net configuration, on free ports of 127.0.0.1 and the simulator's line: a run
# through each of its two connections.
if command -v ser2net >/dev/null; then
  listening() { grep -qi ":$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
  free_port() { local p; while p=$((20000 + RANDOM % 20000)); listening "$p"; do :; done; echo "$p"; }
  rfc=$(free_port) raw=$(free_port)
  sed -n '/^  %YAML 1.1$/,/^  ```$/p' "$SRC/README.md" | sed '$d; s/^  //' |
    sed "s|tcp,2001|tcp,127.0.0.1,$rfc|; s|tcp,2002|tcp,127.0.0.1,$raw|; s|/dev/ttyUSB0|$(head -n 1 "$T/out")|" \
      >"$T/ser2net.yaml"
  grep -q "127.0.0.1,$raw" "$T/ser2net.yaml" || fail "no ser2net configuration in the README"
  ser2net -n -u -c "$T/ser2net.yaml" -P "$T/ser2net.pid" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 100); do listening "$rfc" && listening "$raw" && break; sleep 0.1; done
  { head -n 20 "$T/s.a35"; echo ":00000001FF"; } >"$T/tiny.a35"
  for url in "rfc2217://127.0.0.1:$rfc" "socket://127.0.0.1:$raw"; do
    "$B/q7310flash" --quiet --port "$url" "$T/tiny.a35" 2>/dev/null ||
      { kill "$server"; fail "q7310flash through the README's ser2net configuration: $url"; }
  done
  kill "$server"
  wait "$server" 2>/dev/null
fi
# A copy of q7310flash in a writable directory finds Com1 there, as the window does.
cp "$B/q7310flash" "$T/" && { head -n 20 "$T/s.a35"; echo ":00000001FF"; } >"$T/small.a35"
"$T/q7310flash" --list-ports | grep -q "^Com1  $T/com1 → " || fail "q7310flash does not see the com1 link"
"$T/q7310flash" --quiet --port com1 "$T/small.a35" 2>/dev/null || fail "q7310flash --port com1"
# An installed copy, run as whoever runs this (root on a station), looks for its links in the
# user's configuration directory first and writes nothing beside itself. (A build of the tests
# alone has no program to install.)
if [ -x "$B/Q7310Flasher" ]; then
  cmake --install "$B" --prefix "$T/prefix" >/dev/null 2>&1 || fail "cmake --install"
  before=$(ls -A "$T/prefix/bin")
  mkdir -p "$HOME/.config/Q7310Flasher"
  ln -s "$(readlink "$T/com1")" "$HOME/.config/Q7310Flasher/com1"
  "$T/prefix/bin/q7310flash" --list-ports | grep -q "^Com1  $HOME/.config/Q7310Flasher/com1 → " ||
    fail "an installed q7310flash does not see the link in the user's directory"
  "$T/prefix/bin/q7310flash" --quiet --port com1 "$T/small.a35" 2>/dev/null ||
    fail "an installed q7310flash --port com1"
  [ "$(ls -A "$T/prefix/bin")" = "$before" ] || fail "an installed q7310flash wrote beside itself"
fi
kill -TERM "$sim"
wait "$sim" || fail "q7310sim did not end cleanly on SIGTERM"
sim=""
[ ! -e "$T/com1" ] && [ ! -L "$T/com1" ] || fail "q7310sim left its link behind"
echo "tools: all as expected"
