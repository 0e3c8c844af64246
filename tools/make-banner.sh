#!/bin/sh
# Draws the main window's banner, ui/resources/header.jpg: 640 x 60 pixels, white
# ground, the program's name and version in large blue serif letters on the left and
# the tagline beneath them in small black letters. Needs ImageMagick's convert.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-"$here/../ui/resources/header.jpg"}

# A serif face that is installed here; convert also accepts a family name.
pick_font() {
    for candidate in "$@"; do
        if [ -f "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "DejaVu-Serif"
}
title_font=$(pick_font \
    /usr/share/fonts/truetype/liberation2/LiberationSerif-Bold.ttf \
    /usr/share/fonts/truetype/liberation/LiberationSerif-Bold.ttf \
    /usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf)
tagline_font=$(pick_font \
    /usr/share/fonts/truetype/liberation2/LiberationSerif-Regular.ttf \
    /usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf \
    /usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf)

convert -size 640x60 xc:white \
    -fill '#1040c0' -font "$title_font" -pointsize 28 \
    -annotate +10+30 'Quorrel Version 1.12.0' \
    -fill black -font "$tagline_font" -pointsize 12 \
    -annotate +12+50 'A simple solution to an annoying problem...' \
    -strip -quality 92 "jpeg:$out"
