#!/bin/sh
# Renders the hand-written SVG icons to the PNGs compiled into the program.
# Needs rsvg-convert (Debian package librsvg2-bin). Run from anywhere.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for svg in "$here"/svg/*.svg; do
  name=$(basename "$svg" .svg)
  rsvg-convert -w 32 -h 32 "$svg" -o "$here/$name.png"
done
# The program's own icon, for the desktop entry and the window.
rsvg-convert -w 128 -h 128 "$here/../app/castellan.svg" -o "$here/../app/castellan.png"
