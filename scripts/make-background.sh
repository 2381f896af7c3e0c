#!/usr/bin/env bash
# Regenerates the main window's background picture, app/resources/background.jpg:
# a 699 x 513 baseline JPEG (three colour components) in the style of an arcade cabinet's
# side art: a night sky, a neon grid, cabinet silhouettes and a "VARNIX" marquee. It stays
# dark where the white labels and the boxes sit. Needs ImageMagick (scripts/deps.sh).
# Usage: scripts/make-background.sh [output.jpg] [quality]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-app/resources/background.jpg}
quality=${2:-84}
W=699 H=513
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Night sky: deep violet to near black, with a warm band at the horizon (y = 300).
convert -size ${W}x300 gradient:'#030210'-'#2a0845' "$tmp/sky.png"
convert -size ${W}x213 gradient:'#1a0430'-'#020105' "$tmp/ground.png"
convert "$tmp/sky.png" "$tmp/ground.png" -append "$tmp/base.png"

# Stars: a fixed seed, so the picture is the same on every run.
convert -size ${W}x300 xc:black -seed 7 +noise Random -channel R -separate +channel \
  -threshold 99.3% -morphology Dilate Disk:0.6 -blur 0x0.4 \
  -size ${W}x213 xc:black -append "$tmp/stars.png"

# Neon grid below the horizon: lines to a vanishing point, and ever closer cross lines.
draw=""
for i in $(seq -12 12); do
  x=$(( 349 + i * 70 ))
  draw+=" line 349,300 $(( 349 + i * 260 )),513"
done
for y in 304 310 318 329 344 364 390 424 466 513; do draw+=" line 0,$y $W,$y"; done
convert -size ${W}x${H} xc:none -stroke '#ff2fd0' -strokewidth 1.4 -draw "$draw" \
  \( +clone -blur 0x3 \) -compose Screen -composite "$tmp/grid.png"

# Three cabinet silhouettes on the horizon, their screens glowing.
cab() {  # x, width, height, screen colour
  local x=$1 w=$2 h=$3 c=$4 top=$(( 300 - $3 ))
  # body with a sloped front and the control panel's ledge
  echo "fill #07030d stroke #3b1d5a stroke-width 2 polygon $x,300 $x,$(( top + h * 2 / 3 )) $(( x - 8 )),$(( top + h * 3 / 5 )) $(( x + w / 6 )),$(( top + h / 2 + 4 )) $(( x + w / 6 )),$top $(( x + w )),$top $(( x + w )),300
        fill #140a24 stroke #5b2d8a stroke-width 1 rectangle $(( x + w / 6 + 6 )),$(( top + h / 2 + 10 )) $(( x + w - 10 )),$(( top + h / 2 + 22 ))
        fill $c stroke none rectangle $(( x + w / 4 )),$(( top + h / 4 )) $(( x + w - 8 )),$(( top + h / 2 ))
        fill #ffcc33 rectangle $(( x + w / 6 )),$(( top + 4 )) $(( x + w - 4 )),$(( top + h / 8 ))"
}
convert -size ${W}x${H} xc:none \
  -draw "$(cab 40 90 200 '#22d3ee')" -draw "$(cab 150 110 240 '#a3e635')" -draw "$(cab 282 80 170 '#f472b6')" \
  \( +clone -blur 0x6 \) +swap -compose Over -composite "$tmp/cabs.png"

# The marquee in the free space under the detail area, neon cyan with a glow.
convert -size ${W}x${H} xc:none -font Liberation-Sans-Bold -pointsize 54 -kerning 4 \
  -fill '#22e5ff' -annotate +450+245 'VARNIX' \
  \( +clone -blur 0x7 \) +swap -compose Over -composite \
  -font Liberation-Sans-Bold -pointsize 15 -kerning 3 -fill '#ff2fd0' -annotate +498+266 'ARCADE  SUPPORT' \
  "$tmp/marquee.png"

# A dark glass panel where the labels and boxes of the detail area sit.
convert -size ${W}x${H} xc:none -fill 'rgba(0,0,0,0.78)' -draw "roundrectangle 414,2 697,182 6,6" \
  -fill 'rgba(0,0,0,0.45)' -draw "rectangle 285,240 412,272" "$tmp/panel.png"

convert "$tmp/base.png" "$tmp/stars.png" -compose Screen -composite \
  "$tmp/grid.png" -compose Screen -composite \
  "$tmp/cabs.png" -compose Over -composite \
  "$tmp/panel.png" -compose Over -composite \
  "$tmp/marquee.png" -compose Over -composite \
  -alpha off -colorspace sRGB -type TrueColor \
  -strip -interlace none -sampling-factor 2x2 -quality "$quality" \
  "JPEG:$out"
echo "$out: $(identify -format '%wx%h %[channels] %[interlace]' "$out"), $(stat -c %s "$out") bytes"
