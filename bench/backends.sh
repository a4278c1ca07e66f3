#!/usr/bin/env bash
# Pictures per second of the visualiser's off-line render on each back end, at 640x360 and
# 1280x720: the built-in demo from its start, SECONDS of it (default 10) at 60 pictures a second,
# into an H.264 video, so each figure includes the read-back and the encoding (one thread). Every
# figure stands beside the machine's 1-minute load average before and after its run, since the
# software rasterisers share the cores with whatever else runs. ROUNDS (default 2) repeats the
# whole set, the back ends taking turns.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$build/tools/visualiser/visualiser
[ -x "$exe" ] || { echo "build the visualiser first: cmake --build $build --target visualiser" >&2; exit 1; }
seconds=${SECONDS_OF_DEMO:-10}
pictures=$((seconds * 60))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load() { cut -d' ' -f1 /proc/loadavg; }
echo "$pictures pictures per run, $(nproc) cores"
printf '%-9s %-8s %9s %12s %16s\n' "size" "back end" "wall (s)" "pictures/s" "load before/after"
for round in $(seq "${ROUNDS:-2}"); do
    for size in 640x360 1280x720; do
        for backend in vulkan gles; do
            before=$(load)
            start=$(date +%s.%N)
            "$exe" --render "$work/run.mp4" --size "$size" --to "$seconds" --backend "$backend" \
                2>"$work/log" || { echo "$backend $size failed: $(cat "$work/log")" >&2; exit 1; }
            wall=$(echo "$(date +%s.%N) - $start" | bc -l)
            printf '%-9s %-8s %9.2f %12.1f %9s / %s\n' "$size" "$backend" "$wall" \
                "$(echo "$pictures / $wall" | bc -l)" "$before" "$(load)"
        done
    done
done
