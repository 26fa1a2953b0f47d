#!/usr/bin/env bash
# Renders the desktop icon set from pinmark.svg (the drawing of
# app/Pinmark.png, which stands for the 64 x 64 size). Needs ImageMagick with
# SVG support; the PNGs are committed, so the build does not.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 128 256; do
  convert -background none -density $((96 * size / 64)) pinmark.svg -resize "${size}x${size}" "PNG32:pinmark-$size.png"
done
