#!/bin/sh
# Builds the Debian package castellan_VERSION_amd64.deb from the Release build
# (configured first when there is none; only what the package holds is built)
# and prints the package's path: its only line on standard output.
# Usage: scripts/package.sh [BUILD_DIR]    (default: build/release)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/release}
./scripts/install-deps.sh >&2
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target castellan castellan-cli castellan_packaging_files >&2
rm -f "$build"/castellan_*.deb
# The package's dependencies come from dpkg-shlibdeps over the programs.
(cd "$build" && cpack -G DEB) >&2
ls "$build"/castellan_*.deb
