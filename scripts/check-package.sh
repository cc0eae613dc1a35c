#!/usr/bin/env bash
# Proves the Debian package whole: builds it from a build directory, unpacks it into a scratch
# root, validates the menu entry and the AppStream metadata found there, checks that Depends
# names the Qt libraries the binaries need, and starts the program and the simulator from the
# scratch root. Prints what lintian says; lintian errors fail.
# Usage: scripts/check-package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
WORK=$(mktemp -d)
trap 'kill "${SIM:-}" 2>/dev/null || true; rm -rf "$WORK"' EXIT

(cd "$BUILD" && cpack -G DEB -B "$WORK/out" >/dev/null)
DEB=$(ls "$WORK"/out/q7310flasher_*_*.deb)
echo "package: $(basename "$DEB")"
dpkg-deb -x "$DEB" "$WORK/root"
ROOT="$WORK/root/usr"
ID=io.github.q7310flasher.q7310flasher

for f in bin/Q7310Flasher bin/q7310sim bin/q7310flash share/man/man1/q7310flash.1.gz \
         share/bash-completion/completions/q7310flash share/applications/$ID.desktop share/metainfo/$ID.metainfo.xml \
         share/icons/hicolor/{32x32,48x48,64x64,128x128}/apps/$ID.png share/doc/q7310flasher/copyright \
         share/q7310flasher/sample.a35; do
  [ -s "$ROOT/$f" ] || { echo "missing from the package: /usr/$f" >&2; exit 1; }
done
desktop-file-validate "$ROOT/share/applications/$ID.desktop"
appstreamcli validate --no-net --no-color "$ROOT/share/metainfo/$ID.metainfo.xml" >/dev/null

grep -q 'bash-completion' <<<"$(dpkg-deb -f "$DEB" Recommends)" ||
  { echo "Recommends does not name bash-completion" >&2; exit 1; }
depends=$(dpkg-deb -f "$DEB" Depends)
echo "Depends: $depends"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6; do
  grep -q "$lib" <<<"$depends" || { echo "Depends does not name $lib" >&2; exit 1; }
done
# Every library a binary names comes from a package that Depends names.
for bin in "$ROOT/bin/Q7310Flasher" "$ROOT/bin/q7310sim" "$ROOT/bin/q7310flash"; do
  if ldd "$bin" | grep -q 'not found'; then ldd "$bin" >&2; exit 1; fi
  for lib in $(objdump -p "$bin" | awk '/NEEDED/ {print $2}'); do
    # ldd names the dynamic loader by its path alone.
    path=$(ldd "$bin" | awk -v l="$lib" '$1 == l {print $3} $1 ~ ("/" l "$") {print $1}')
    # dpkg knows a file under the name its package ships it with, before or after /usr merging.
    pkg=$( (dpkg -S "$path" || dpkg -S "$(readlink -f "$path")") 2>/dev/null | cut -d: -f1 | head -1)
    grep -q "$pkg" <<<"$depends" || { echo "$lib comes from $pkg, which Depends misses" >&2; exit 1; }
  done
done

# The simulator and the program, as installed, run: the program stays up until it is ended.
"$ROOT/bin/q7310sim" --link "$WORK/com1" >/dev/null & SIM=$!
for _ in $(seq 50); do [ -L "$WORK/com1" ] && break; sleep 0.1; done
[ -L "$WORK/com1" ] || { echo "q7310sim from the package did not start" >&2; exit 1; }
status=0
HOME="$WORK/home" QT_QPA_PLATFORM=offscreen timeout 3 "$ROOT/bin/Q7310Flasher" 2>"$WORK/err" || status=$?
if [ "$status" -ne 124 ]; then
  echo "Q7310Flasher from the package ended by itself (status $status):" >&2; cat "$WORK/err" >&2; exit 1
fi
# q7310flash, as installed, needs no display, checks the shipped sample without a port and
# programs it into the simulator.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$ROOT/bin/q7310flash" --check \
  "$ROOT/share/q7310flasher/sample.a35" | grep -q '^Datenbytes: *65536$' ||
  { echo "q7310flash from the package cannot check the sample it ships" >&2; exit 1; }
env -u DISPLAY "$ROOT/bin/q7310flash" --quiet --port "$WORK/com1" "$ROOT/share/q7310flasher/sample.a35" \
  2>/dev/null || { echo "q7310flash from the package did not program its sample" >&2; exit 1; }
bash -n "$ROOT/share/bash-completion/completions/q7310flash"
echo "Q7310Flasher, q7310sim and q7310flash start from the unpacked package"

echo "lintian:"
lintian --tag-display-limit 0 --fail-on error "$DEB" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$DEB" >/dev/null 2>&1
