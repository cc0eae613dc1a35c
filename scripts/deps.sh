#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the checks need, only when some are
# missing (ser2net: the serial device server the tests reach instruments through; ccache: the
# compiler cache the builds share). Further
# package names given as arguments are installed the same way.
set -euo pipefail

PACKAGES=(build-essential cmake qt6-base-dev qt6-serialport-dev qt6-translations-l10n
          libgl-dev srecord fonts-dejavu-core fonts-liberation2 util-linux
          dpkg-dev file lintian desktop-file-utils appstream ser2net ccache "$@")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  SUDO=sudo
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
