#!/usr/bin/env bash
# The Windows program, built here: Qt's base for Windows from Debian's own source (once, kept in a
# cache outside the work tree, keyed by Qt's version and options), Q7310Flasher.exe and
# q7310flash.exe cross-built with MinGW-w64, every test run under
# Wine, a portable zip and an NSIS installer, and both tried under Wine against the simulator.
#   scripts/windows.sh [qt|build|test|package|wine|all]   (default all; each stage runs the ones
#                                                          it needs first)
# Environment: Q7310_WIN_CACHE (default ~/.cache/q7310flasher), Q7310_WIN_BUILD (build-win).
# What it makes: build-win/dist/Q7310Flasher-VERSION-windows-x64.zip and
# Q7310Flasher-VERSION-setup.exe; build-win/wine.log says what was tried under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
STAGE=${1:-all}
export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
CACHE=${Q7310_WIN_CACHE:-$HOME/.cache/q7310flasher}
BUILD=${Q7310_WIN_BUILD:-$ROOT/build-win}
HOST=$ROOT/build
JOBS=$(nproc)
VERSION=$(sed -n 's/^project(Q7310Flasher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

QT_VERSION=6.4.2
# Only what the program uses: Core, Gui, Widgets, Test (for its tests), the windows platform and
# the Windows styles. Tablet support is off, since Debian's +dfsg source has no wintab header; the
# windows platform of 6.4 needs OpenGL, and its DirectWrite 3 font engine needs Direct2D.
QT_OPTIONS=(-DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_sql_sqlite=OFF -DFEATURE_vulkan=OFF -DFEATURE_openssl=OFF -DFEATURE_zstd=OFF
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_system_zlib=OFF -DFEATURE_icu=OFF)
QT_KEY=$(printf '%s ' "$QT_VERSION" "${QT_OPTIONS[@]}" | sha256sum | cut -c1-12)
QT_PREFIX=$CACHE/qt-$QT_VERSION-mingw-$QT_KEY
MINGW_GCC=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name 2>/dev/null || echo /)")

log() { printf '== %s\n' "$*"; }

deps() {
  ./scripts/deps.sh g++-mingw-w64-x86-64-posix ninja-build wine wine64 nsis zip xvfb xauth \
    imagemagick srecord dpkg-dev xdotool
}

# Source lines for the archive and suites this machine already takes Qt's binaries from (apt's
# own view of its sources, whatever mirror or proxy they name), unless its sources are known.
add_deb_src() {
  local list=/etc/apt/sources.list.d/q7310-deb-src.sources sudo="" uri suites components signed
  [ -n "$(apt-cache showsrc qt6-base 2>/dev/null)" ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  # "qt6-base-dev | 6.4.2+dfsg-10 | URI SUITE/COMPONENT ARCH Packages", one line per suite
  read -r uri suites components < <(apt-cache madison qt6-base-dev | awk -F' [|] ' '
    { split($3, w, " "); split(w[2], sc, "/"); uri = w[1]
      if (!(sc[1] in s)) { s[sc[1]] = 1; suites = suites (suites ? "," : "") sc[1] }
      if (!(sc[2] in c)) { c[sc[2]] = 1; comps = comps (comps ? "," : "") sc[2] } }
    END { print uri, suites, comps }')
  [ -n "$uri" ] || { echo "apt knows no archive that holds qt6-base-dev" >&2; exit 1; }
  # The key that archive is signed with, as the machine's own entry for it names it.
  signed=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v uri="$uri" '
    BEGIN { RS = "" } { if (index($0, uri) && match($0, /Signed-By: *[^\n]*/)) {
      print substr($0, RSTART + 10, RLENGTH - 10); exit } }' | sed 's/^ *//')
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: ${suites//,/ }"
    echo "Components: ${components//,/ }"
    [ -z "$signed" ] || echo "Signed-By: $signed"
  } | $sudo tee "$list" >/dev/null
  $sudo apt-get update -qq
}

# qtbase from Debian's source package, cross-built against the host's Qt tools of the same
# version; a finished prefix is kept and reused.
qt() {
  [ -f "$QT_PREFIX/.complete" ] && return 0
  log "Qt $QT_VERSION for Windows into $QT_PREFIX (once; about 20 minutes on two idle cores)"
  local work=$CACHE/qtbase-src-$QT_VERSION
  if [ ! -d "$work/qtbase" ]; then
    add_deb_src
    rm -rf "$work" && mkdir -p "$work"
    # apt-get source takes an exact version only: the archive's revision of this one.
    local v
    v=$(apt-cache showsrc qt6-base | sed -n "s/^Version: \($QT_VERSION[+-].*\)/\1/p" | head -1)
    [ -n "$v" ] || { echo "no source of qt6-base $QT_VERSION in the archive" >&2; exit 1; }
    (cd "$work" && apt-get source --download-only qt6-base="$v")
    mkdir -p "$work/qtbase"
    tar -xf "$(ls "$work"/qt6-base_"$QT_VERSION"*.orig.tar.* | head -1)" -C "$work/qtbase" \
      --strip-components=1
  fi
  # The build folder is kept until the prefix is complete: an interrupted build goes on.
  local b=$CACHE/qtbase-build
  rm -rf "$QT_PREFIX"
  cmake -S "$work/qtbase" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/scripts/windows/mingw-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$QT_PREFIX" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    "${QT_OPTIONS[@]}"
  nice cmake --build "$b" -j"$JOBS"
  cmake --install "$b"
  touch "$QT_PREFIX/.complete"
  rm -rf "$b"
}

# The host's make_icons draws the icon: a cross-build cannot run its own.
icon() {
  [ -x "$HOST/make_icons" ] || {
    cmake -S . -B "$HOST" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$HOST" --target make_icons -j"$JOBS"
  }
  "$HOST/make_icons" "$BUILD/icon" Q7310Flasher.ico 64 >/dev/null
}

build() {
  qt
  log "cross-building into $BUILD"
  icon
  cmake -S . -B "$BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/scripts/windows/mingw-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$QT_PREFIX" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQ7310_WITH_SIMULATOR=OFF -DQ7310_WINDOWS_ICON="$BUILD/icon/64/Q7310Flasher.ico" >/dev/null
  cmake --build "$BUILD" -j"$JOBS" --target Q7310Flasher q7310flash make_sample q7310_tests
}

# Wine in a prefix of our own; what runs there finds Qt and the MinGW runtime on its path.
wine_env() {
  export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEARCH=win64
  export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installer asked for
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.ready"
  fi
  WINEPATH="$(winepath -w "$QT_PREFIX/bin");$(winepath -w "$MINGW_GCC")"
  export WINEPATH="$WINEPATH;$(winepath -w /usr/x86_64-w64-mingw32/lib)"
}

# A virtual X server for Wine's windows, on a display of its own; DISPLAY is set for what follows.
# Wine's server is ended first: one started without a display would keep the windows from opening.
XVFB=
virtual_display() {
  [ -n "$XVFB" ] && return 0
  wineserver -k 2>/dev/null || true
  local fd
  fd=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd" >/dev/null 2>&1 &
  XVFB=$!
  for _ in $(seq 100); do [ -s "$fd" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -1 "$fd")"
  rm -f "$fd"
  trap 'wineserver -k 2>/dev/null || true; kill $XVFB 2>/dev/null || true' EXIT
}

# Every test program under Wine, the window's on the virtual display; a test's report goes to a
# file (Wine does not always pass a console program's output through a pipe).
tests() {
  build
  wine_env
  local plugins
  plugins=$(winepath -w "$QT_PREFIX/plugins")
  virtual_display
  log "the tests under Wine"
  # Two lanes: the suites that open windows one after the other on the display, the rest beside
  # them (under Wine the run's suite alone takes a minute and a half).
  local failed=0 t name report gui=() other=() lanes=()
  for t in "$BUILD"/tests/*.exe; do
    case "$(basename "$t" .exe)" in
    fuzz_*) ;;
    tst_shell | tst_status) gui+=("$t") ;;
    *) other+=("$t") ;;
    esac
  done
  run_suites() {
    local t report
    for t in "$@"; do
      report=$BUILD/tests/$(basename "$t" .exe).txt
      rm -f "$report"
      local rc=0
      QT_PLUGIN_PATH=$plugins timeout 900 wine "$t" -o "$(winepath -w "$report"),txt" \
        >/dev/null 2>&1 || rc=$?
      echo $rc >"$report.rc"
    done
  }
  run_suites "${gui[@]}" &
  lanes+=($!)
  run_suites "${other[@]}" &
  lanes+=($!)
  wait "${lanes[@]}"
  for t in "$BUILD"/tests/*.exe; do
    name=$(basename "$t" .exe)
    case "$name" in fuzz_*) continue ;; esac
    report=$BUILD/tests/$name.txt
    if [ "$(cat "$report.rc" 2>/dev/null)" = 0 ]; then
      echo "passed: $name ($(tr -d '\r' <"$report" |
        sed -n 's/^Totals: \([0-9]*\) passed.*, \([0-9]*ms\)$/\1 passed, \2/p'))"
    else
      echo "FAILED: $name"
      grep -A2 '^FAIL' "$report" 2>/dev/null | head -30 || true
      failed=1
    fi
  done
  for t in image settings; do
    wine "$BUILD/tests/fuzz_$t.exe" "$(winepath -w "$ROOT/tests/fuzz/$t")" >/dev/null 2>&1 ||
      { echo "FAILED: fuzz_$t"; failed=1; }
  done
  return $failed
}

# The folder a user unzips: the programs, Qt's libraries and plugins, the MinGW runtime, Qt's
# German texts, a short README and the licences of what ships.
DIST=$BUILD/dist
FOLDER=Q7310Flasher-$VERSION
SETUP=$DIST/$FOLDER-setup.exe
deploy() {
  build
  log "the portable folder, the zip and the installer"
  local d=$DIST/$FOLDER
  rm -rf "$DIST" && mkdir -p "$d/platforms" "$d/styles" "$d/translations" "$d/licenses"
  cp "$BUILD/Q7310Flasher.exe" "$BUILD/q7310flash.exe" "$d/"
  for lib in Qt6Core Qt6Gui Qt6Widgets; do cp "$QT_PREFIX/bin/$lib.dll" "$d/"; done
  cp "$QT_PREFIX/plugins/platforms/qwindows.dll" "$d/platforms/"
  cp "$QT_PREFIX/plugins/styles/qwindowsvistastyle.dll" "$d/styles/"
  cp "$MINGW_GCC/libstdc++-6.dll" "$MINGW_GCC/libgcc_s_seh-1.dll" \
    /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$d/"
  cp /usr/share/qt6/translations/qtbase_de.qm "$d/translations/"
  x86_64-w64-mingw32-strip "$d"/*.exe "$d"/*.dll "$d"/*/*.dll
  # Qt finds its plugins and texts beside the program, wherever the folder is.
  printf '[Paths]\r\nPrefix=.\r\nPlugins=.\r\nTranslations=translations\r\n' >"$d/qt.conf"
  sed 's/$/\r/' scripts/windows/README.txt | sed "s/@VERSION@/$VERSION/g" >"$d/README.txt"
  sed 's/$/\r/' LICENSE >"$d/licenses/Q7310Flasher.txt"
  local qtsrc=$CACHE/qtbase-src-$QT_VERSION/qtbase
  sed 's/$/\r/' "$qtsrc/LICENSES/LGPL-3.0-only.txt" >"$d/licenses/Qt-LGPL-3.0.txt"
  sed 's/$/\r/' "$qtsrc/LICENSES/GPL-3.0-only.txt" >"$d/licenses/Qt-GPL-3.0.txt"
  sed 's/$/\r/' /usr/share/doc/gcc-mingw-w64-base/copyright >"$d/licenses/GCC-runtime.txt" 2>/dev/null ||
    sed 's/$/\r/' /usr/share/doc/gcc-12-base/copyright >"$d/licenses/GCC-runtime.txt"
  sed 's/$/\r/' /usr/share/doc/mingw-w64-common/copyright >"$d/licenses/MinGW-w64.txt"
  (cd "$DIST" && rm -f "$FOLDER-windows-x64.zip" && zip -qr -9 "$FOLDER-windows-x64.zip" "$FOLDER")
  # The installer installs these files, and its uninstaller removes these and nothing else.
  local n=$BUILD/nsis f dir
  rm -rf "$n" && mkdir -p "$n"
  cp scripts/windows/installer.nsi "$n/"
  (cd "$d" && find . -type d | sort) | while read -r dir; do
    printf 'SetOutPath "$INSTDIR%s"\n' "$(backslashed "${dir#.}")"
    find "$d/$dir" -maxdepth 1 -type f | sort | while read -r f; do printf 'File "%s"\n' "$f"; done
  done >"$n/files.nsh"
  {
    (cd "$d" && find . -type f | sort) | while read -r f; do
      printf 'Delete "$INSTDIR%s"\n' "$(backslashed "${f#.}")"
    done
    (cd "$d" && find . -mindepth 1 -type d | sort -r) | while read -r dir; do
      printf 'RMDir "$INSTDIR%s"\n' "$(backslashed "${dir#.}")"
    done
  } >"$n/unfiles.nsh"
  (cd "$n" && makensis -V1 -INPUTCHARSET UTF8 -DVERSION="$VERSION" -DSOURCE="$d" \
    -DICON="$BUILD/icon/64/Q7310Flasher.ico" -DLICENSE="$d/licenses/Q7310Flasher.txt" \
    -DOUTFILE="$SETUP" installer.nsi)
  (cd "$DIST" && du -k "$FOLDER-windows-x64.zip" "$FOLDER-setup.exe" && du -sk "$FOLDER")
}

# "/platforms/qwindows.dll" -> "\platforms\qwindows.dll"
backslashed() { printf '%s' "${1//\//\\}"; }

case "$STAGE" in
  qt) deps; qt ;;
  build) deps; build ;;
  test) deps; tests ;;
  package) deps; deploy ;;
  wine) deps; deploy; ./scripts/windows/wine-checks.sh "$BUILD" "$DIST/$FOLDER" "$SETUP" ;;
  all)
    deps
    tests
    deploy
    ./scripts/windows/wine-checks.sh "$BUILD" "$DIST/$FOLDER" "$SETUP"
    ;;
  *) echo "usage: scripts/windows.sh [qt|build|test|package|wine|all]" >&2; exit 2 ;;
esac
