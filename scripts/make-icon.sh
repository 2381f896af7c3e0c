#!/usr/bin/env bash
# Regenerates the application icon, app/resources/Quorbin.png: a small arcade cabinet with a
# glowing cyan screen and a yellow marquee on violet. Needs ImageMagick (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-app/resources/Quorbin.png}
convert -size 64x64 xc:none \
  -fill '#2a0845' -draw "roundrectangle 0,0 63,63 10,10" \
  -fill '#07030d' -stroke '#a855f7' -strokewidth 2 -draw "polygon 18,60 18,40 12,34 20,28 20,6 46,6 46,60" \
  -stroke none -fill '#ffcc33' -draw "rectangle 22,9 44,15" \
  -fill '#22e5ff' -draw "rectangle 25,19 42,31" \
  -fill '#ff2fd0' -draw "circle 28,38 28,40" -fill '#a3e635' -draw "circle 37,38 37,40" \
  -strip "PNG32:$out"
echo "$out: $(identify -format '%wx%h' "$out"), $(stat -c %s "$out") bytes"
