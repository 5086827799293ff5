#!/usr/bin/env bash
# Installs the Debian 12 packages Kelvora needs to build, run and test. Safe to run again.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qcoro-qt6-dev qt6-websockets-dev qt6-httpserver-dev libqt6sql6-sqlite
  qt6-declarative-dev qt6-svg-dev libsecret-1-dev zlib1g-dev
  libxcb1-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-res0-dev libxcb-screensaver0-dev libxcb-dpms0-dev
  libbenchmark-dev
  # a real desktop for the tests
  xvfb xauth openbox trayer xdotool x11-utils dbus dbus-x11 gnome-keyring libsecret-tools python3-dbusmock
  desktop-file-utils dex jq procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: missing packages (${missing[*]}) and no sudo to install them" >&2; exit 1; }
  sudo=sudo
fi
echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
