#!/usr/bin/env bash
# Renders docs/visual-strip.png: one picture from each of four moments of the demo programme
# (silence, the quiet chord, the loud chord, pink noise), side by side with their names, each
# rendered at 640x360 and shrunk to half, which smooths the thin ribbons.
# Usage: scripts/visualstrip.sh [BUILD_DIR]   (needs ImageMagick's montage)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
moments=("17.5 silence" "10.0 quiet chord" "13.5 loud chord" "19.5 pink noise")
args=()
for m in "${moments[@]}"; do
    at=${m%% *}
    name=${m#* }
    mkdir "$work/$at"
    "$build/tools/visualiser/visualiser" --render "$work/$at" --size 640x360 \
        --from "$at" --to "$(awk "BEGIN { print $at + 0.01 }")"
    args+=(-label "$name ($at s)" "$work/$at/000000.png")
done
montage "${args[@]}" -resize 50% -tile 4x1 -geometry +2+2 -background black -fill '#bbbbbb' \
    -font DejaVu-Sans -pointsize 12 -depth 8 "$root/docs/visual-strip.png"
echo "wrote $root/docs/visual-strip.png"
