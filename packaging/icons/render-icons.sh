#!/bin/sh
# Redraws the PNG icons of the manager and the monitor with ImageMagick, from the same shapes as
# the SVG files beside this script. Run by hand after changing the drawing; the PNGs are kept in
# the source tree so that the build needs no image tools.
set -eu
cd "$(dirname "$0")"

key='
fill "#d5dbe1" stroke "#5f6b78" stroke-width 6 roundrectangle 92,14 164,84 6,6
fill "#5f6b78" stroke none rectangle 108,34 124,50 rectangle 132,34 148,50
fill "#1d5ea8" stroke "#103a6b" stroke-width 8 roundrectangle 60,76 196,242 28,28
fill none stroke "#f4c542" stroke-width 12 circle 128,132 128,156
fill "#f4c542" stroke none rectangle 122,154 134,220 rectangle 134,190 156,201 rectangle 134,208 150,219
'
badge='
fill "#2e9e4f" stroke "#ffffff" stroke-width 8 circle 192,192 192,248
fill none stroke "#ffffff" stroke-width 14 stroke-linecap round stroke-linejoin round
polyline 164,194 184,214 220,172
'

draw() { # name, primitives
    convert -size 256x256 xc:none -draw "$2" -strip "PNG32:$1-256.png"
}
draw kx2700-manager "$key"
draw kx2700-monitor "push graphic-context translate -26,0 $key pop graphic-context $badge"

for name in kx2700-manager kx2700-monitor; do
    for size in 16 32 48 64 128 256; do
        mkdir -p "hicolor/${size}x${size}/apps"
        if [ "$size" = 256 ]; then
            mv "$name-256.png" "hicolor/${size}x${size}/apps/$name.png"
        fi
    done
    for size in 16 32 48 64 128; do
        convert "hicolor/256x256/apps/$name.png" -filter Lanczos -resize "${size}x${size}" -strip \
            "PNG32:hicolor/${size}x${size}/apps/$name.png"
    done
done
