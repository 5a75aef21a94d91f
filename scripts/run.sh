#!/bin/sh
# Builds Castellan and starts it on its built-in virtual ruins camera, connected
# and paused on its first frame, with the ruins reconstructor chosen. Without a display it runs the
# same reconstruction headless on ten seconds of virtual frames, writes the
# pictures and says where they went.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j"$(nproc)" --target castellan castellan-cli

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/release/app/castellan --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2 "$@"
fi

out="$(pwd)/build/headless"
rm -rf "$out"
mkdir -p "$out/frames"
echo "No display found: reconstructing 300 frames (ten seconds) of the virtual ruins camera headless."
build/release/tools/castellan-cli reconstruct --source virtual --frames 300 --output-dir "$out/frames" \
  > "$out/reconstruct.csv"
tail -n 1 "$out/reconstruct.csv"
echo "Per-frame poses: $out/reconstruct.csv"
echo "Frames with the virtual bricks drawn in: $out/frames/"
