#!/usr/bin/env bash
# Draws the program icon (64 x 64, 32-bit RGBA): a blue globe with a red
# location pin. Needs ImageMagick; the PNG is committed, so the build does not.
set -euo pipefail
out="${1:-$(dirname "$0")/Pinmark.png}"
convert -size 64x64 xc:none \
  -fill '#2f6fb8' -stroke '#1b4a80' -strokewidth 2 -draw 'circle 32,36 32,62' \
  -fill none -stroke '#9cc3ee' -strokewidth 1.5 \
  -draw 'ellipse 32,36 12,25 0,360' -draw 'line 7,36 57,36' \
  -draw 'ellipse 32,36 25,9 180,360' -draw 'line 32,11 32,61' \
  -fill '#d7262b' -stroke '#7d1013' -strokewidth 1.5 \
  -draw 'path "M 32,40 C 26,30 19,24 19,16 A 13,13 0 1 1 45,16 C 45,24 38,30 32,40 Z"' \
  -fill white -stroke '#7d1013' -strokewidth 1 -draw 'circle 32,16 32,21' \
  "PNG32:$out"
