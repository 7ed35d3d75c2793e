#!/usr/bin/env bash
# Draws a game's launcher background: 600 x 300, a dark vertical gradient with the game's name
# in the middle, written as a 24-bit PNG (the launcher loads game/launcher.dat as one).
#   make-background.sh OUT TITLE [SUBTITLE]
# The band the launcher draws over (worker bars at the top, the status line and the overall bar
# at the bottom) is left plain and dark, so that its white marks stand out.
set -euo pipefail

readonly font_dir=/usr/share/fonts/truetype/roboto/unhinted
readonly title_font=$font_dir/RobotoCondensed-Bold.ttf
readonly subtitle_font=$font_dir/RobotoCondensed-Italic.ttf
readonly size=600x300
readonly top_color='#2a4578'
readonly bottom_color='#0b101e'

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 OUT TITLE [SUBTITLE]" >&2
  exit 2
fi
out=$1
title=$2
subtitle=${3:-}

for f in "$title_font" "$subtitle_font"; do
  [ -f "$f" ] || {
    echo "make-background: missing $f (Debian package fonts-roboto-unhinted)" >&2
    exit 1
  }
done
command -v convert >/dev/null || {
  echo "make-background: ImageMagick's convert is missing (Debian package imagemagick)" >&2
  exit 1
}

mkdir -p "$(dirname "$out")"
# ImageMagick picks the format from the name's extension; "launcher.dat" has none it knows.
convert -size "$size" "gradient:$top_color-$bottom_color" \
  -gravity center \
  -font "$title_font" -pointsize 64 \
  -fill 'rgba(0,0,0,0.55)' -annotate +3-23 "$title" \
  -fill white -annotate +0-26 "$title" \
  -font "$subtitle_font" -pointsize 20 \
  -fill '#a9bde3' -annotate +0+28 "$subtitle" \
  "PNG24:$out"
