#!/usr/bin/env bash
# Files per minute of bandview over many files, with --png and --csv for each: once on one core
# (taskset -c 0), once on all. Usage: bench/batch.sh FILE...   e.g. the music and sounds that
# Debian's pingus-data and sound-theme-freedesktop ship:
#   bench/batch.sh $(find /usr/share/games/pingus /usr/share/sounds/freedesktop -type f \
#       \( -name '*.it' -o -name '*.s3m' -o -name '*.wav' -o -name '*.oga' \))
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$build/tools/bandview/bandview
[ -x "$exe" ] || { echo "build bandview first: cmake --build $build --target bandview" >&2; exit 1; }
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "$# files, $(nproc) cores"
for cores in 1 all; do
    rm -rf "$work/out" && mkdir "$work/out"
    pin=()
    [ "$cores" = 1 ] && pin=(taskset -c 0)
    start=$(date +%s.%N)
    "${pin[@]}" "$exe" "$@" --png "$work/out/{name}.png" --csv "$work/out/{name}.csv" \
        2>"$work/log" && status=0 || status=$?
    wall=$(echo "$(date +%s.%N) - $start" | bc -l)
    printf '%-9s %6.2f s  %6.1f files/min  (exit %d, %d result lines)\n' "$cores core(s)" \
        "$wall" "$(echo "$# * 60 / $wall" | bc -l)" "$status" "$(grep -vc ': warning: ' "$work/log")"
done
