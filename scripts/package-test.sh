#!/bin/sh
# Builds the Debian package from an existing Release build and checks it:
# lintian (no errors), desktop-file-validate and appstreamcli on the files it
# holds. As root it then installs the package with apt-get, runs both programs
# from /usr/bin and removes the package again unless it was installed before.
# Usage: scripts/package-test.sh [BUILD_DIR]    (default: build/release)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/release}
fail() { echo "package test: $*" >&2; exit 1; }

deb=$(./scripts/package.sh "$build")  # its only output line: the path
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(basename "$deb")" = "castellan_${version}_amd64.deb" ] || fail "unexpected package $deb"
[ "$(dpkg-parsechangelog -l packaging/changelog -S Version)" = "$version" ] ||
  fail "packaging/changelog has no entry for version $version"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6gui6' || fail "the package depends on no Qt library: shlibdeps did not run"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
desktop=$(desktop-file-validate "$work"/root/usr/share/applications/*.desktop 2>&1) || fail "$desktop"
# desktop-file-validate exits 0 on some errors it calls "will be fatal in the future".
if echo "$desktop" | grep -q 'error:'; then fail "$desktop"; fi
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml || fail "the AppStream metadata is not valid"
lintian --fail-on error "$deb" || fail "lintian reports errors"

# The manual pages are written by hand: every command and option a program's
# --help lists must appear in its page.
for program in castellan castellan-cli; do
  page=$(zcat "$work/root/usr/share/man/man1/$program.1.gz" | sed 's/\\-/-/g')
  listed=$(env -u DISPLAY -u WAYLAND_DISPLAY "$work/root/usr/bin/$program" --help |
           grep -oE -- '^  [a-z][a-z-]+|--[a-z][a-z-]*' | sed 's/^ *//' | sort -u)
  for word in $listed; do
    printf '%s\n' "$page" | grep -qF -- "$word" || fail "docs/man/$program.1 does not mention $word"
  done
done

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: not root, so the package was built and checked but not installed or run"
  exit 0
fi
deb=$(realpath "$deb")
if ! dpkg-query -W -f='${Status}' castellan 2>/dev/null | grep -q "install ok installed"; then
  trap 'cd /; rm -rf "$work"; DEBIAN_FRONTEND=noninteractive apt-get remove -y castellan >/dev/null' EXIT
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "$deb"

cd "$work"
[ "$(/usr/bin/castellan-cli --version)" = "castellan-cli $version" ] || fail "castellan-cli --version is wrong"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/castellan --version)" = "castellan $version" ] ||
  fail "castellan --version is wrong"
/usr/bin/castellan-cli reconstruct --source virtual --frames 30 > rows.csv || fail "reconstruct failed"
summary=$(tail -n 1 rows.csv)
echo "$summary"
case "$summary" in "# frames=30 pose_share=1.0000 "*) ;; *) fail "not every frame got a pose" ;; esac
/usr/bin/castellan-cli scene-check /usr/share/castellan/arch.json | grep -q 'arch.png (' ||
  fail "the installed arch scene does not find its picture"
echo "package test: $(basename "$deb") installed and ran from /usr/bin"
