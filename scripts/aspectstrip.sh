#!/usr/bin/env bash
# Renders docs/aspect-strip.png: one moment of the demo programme's pink noise (19.5 s) framed at
# 16:9, 1:1 and 9:16, each 360 pixels high, side by side with their names.
# Usage: scripts/aspectstrip.sh [BUILD_DIR]   (needs ImageMagick's montage)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shapes=("640x360 16:9" "360x360 1:1" "202x360 9:16")
args=()
for s in "${shapes[@]}"; do
    size=${s%% *}
    name=${s#* }
    mkdir "$work/$size"
    "$build/tools/visualiser/visualiser" --render "$work/$size" --size "$size" --from 19.5 \
        --to 19.51
    args+=(-label "$name ($size)" "$work/$size/000000.png")
done
montage "${args[@]}" -tile 3x1 -geometry +4+4 -background '#202020' -fill '#bbbbbb' \
    -font DejaVu-Sans -pointsize 12 -depth 8 "$root/docs/aspect-strip.png"
echo "wrote $root/docs/aspect-strip.png"
