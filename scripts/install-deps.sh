#!/bin/sh
# Installs every Debian/Ubuntu package Castellan needs to build, test, fuzz and benchmark.
# Safe to run again: apt-get skips what is already there.
set -eu

PACKAGES="
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libqt6opengl6-dev libgl-dev libglu1-mesa-dev libgl1-mesa-dri
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libv4l-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  xvfb xauth x11-utils xdotool fonts-liberation imagemagick librsvg2-bin python3
  colmap
  clang libclang-rt-14-dev
  dpkg-dev lintian desktop-file-utils appstream
"

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
else
  echo "All packages already installed."
fi
