#!/bin/sh
# Renders the hand-written SVG icons to the PNGs compiled into the program.
# Needs rsvg-convert (Debian package librsvg2-bin). Run from anywhere.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for svg in "$here"/svg/*.svg; do
  name=$(basename "$svg" .svg)
  rsvg-convert -w 32 -h 32 "$svg" -o "$here/$name.png"
done
