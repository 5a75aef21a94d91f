#!/bin/sh
# Builds Castellan and starts it on its built-in virtual camera. Without a
# display it runs the same program under a virtual X server, records what it
# showed, and says where that went.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j"$(nproc)" --target castellan castellan-cli

program="$(pwd)/build/release/app/castellan"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$program" --virtual-camera "$@"
fi

out="$(pwd)/build/headless"
mkdir -p "$out"
echo "No display found: running Castellan under a virtual X server for 10 seconds."
xvfb-run -a -s "-screen 0 1280x1024x24" sh -c "
  '$program' --virtual-camera --connect $* > '$out/castellan.log' 2>&1 &
  pid=\$!
  sleep 10
  import -window root '$out/castellan.png'
  kill \$pid 2>/dev/null || true
  wait \$pid 2>/dev/null || true
"
echo "Screenshot: $out/castellan.png"
echo "Program output: $out/castellan.log"
