#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Idempotent: does nothing when every package is already present.
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake ninja-build pkg-config
  # libraries
  libboost-system-dev libboost-thread-dev libboost-date-time-dev
  libwebsocketpp-dev libjsonparser-dev libcurl4-openssl-dev libpugixml-dev
  libx11-dev libxi-dev libxfixes-dev libxdamage-dev libxext-dev libxrandr-dev libxinerama-dev
  libcairo2-dev libpango1.0-dev libfontconfig-dev fonts-wqy-microhei
  # tests and benchmarks
  libgtest-dev libbenchmark-dev xvfb xdotool x11-utils imagemagick xclip
  openbox trayer xcompmgr dbus-x11 notification-daemon xfwm4
  xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils
  dbus-daemon libglib2.0-bin desktop-file-utils appstream dpkg-dev file
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  SUDO=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update
"${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
