#!/usr/bin/env bash
# Pictures per second the visualiser's window presents while the built-in demo plays with sound,
# on a private Xvfb and PulseAudio, at each of SIZES (default "1280x720 640x360") on each back end
# named (default: gles vulkan), with each set of options in VARIANTS, separated by ';' (default
# "-;--msaa 4": none, the window's own choice of multisampling, then 4x named). Pictures are counted where they are handed over: on OpenGL ES by a preloaded
# glXSwapBuffers (bench/swapcount.c), on Vulkan by Mesa's overlay layer, its drawing off. The rate
# is the mean over MEASURED seconds (default 8) after SETTLE seconds (default 7) from the first
# picture, so that a step down of the multisampling is over; the lines the window said about
# multisampling follow each figure, with the 1-minute load average before and after the run.
# The variants take turns, so that each pair of figures saw the same load. ROUNDS (default 2)
# repeats the whole set.
set -euo pipefail
cd "$(dirname "$0")/.."
for t in Xvfb cc; do
    command -v "$t" >/dev/null || { echo "windowrate: $t is not installed" >&2; exit 1; }
done
settle=${SETTLE:-7}
measured=${MEASURED:-8}
IFS=';' read -r -a variants <<<"${VARIANTS:--;--msaa 4}"
SCREEN=1920x1080x24
# shellcheck source=bench/windowenv.sh
source bench/windowenv.sh
cc -O2 -shared -fPIC -o "$work/swapcount.so" bench/swapcount.c -ldl
load() { cut -d' ' -f1 /proc/loadavg; }
# The mean rate over the measured seconds, from one picture time (s) per line.
rate_of_times() {
    awk -v s="$settle" -v m="$measured" 'NR == 1 { t0 = $1 }
        $1 >= t0 + s && $1 < t0 + s + m { n++; last = $1 }
        END { printf "%.1f", (last > t0 + s) ? n / (last - t0 - s) : 0 }' "$1"
}
# The same from the overlay's rows (device, format, fps, frame timing), one per second.
rate_of_overlay() {
    awk -F', ' -v s="$settle" -v m="$measured" 'NR > 1 + s && NR <= 1 + s + m { f += $3; n++ }
        END { printf "%.1f", n ? f / n : 0 }' "$1"
}
echo "window, demo with sound, $(nproc) cores"
printf '%-9s %-7s %-11s %11s  %-17s %s\n' size backend options pictures/s 'load before/after' \
    'multisampling'
for _ in $(seq "${ROUNDS:-2}"); do
    for size in ${SIZES:-1280x720 640x360}; do
        for backend in "${backends[@]}"; do
            for variant in "${variants[@]}"; do
                args=()
                [ "$variant" = - ] || read -r -a args <<<"$variant"
                rm -f "$work/swaps" "$work/overlay"
                before=$(load)
                SWAPCOUNT_FILE=$work/swaps LD_PRELOAD=$work/swapcount.so \
                    VK_INSTANCE_LAYERS=VK_LAYER_MESA_overlay \
                    VK_LAYER_MESA_OVERLAY_CONFIG=no_display=1,fps_sampling_period=1000,output_file=$work/overlay \
                    timeout -s INT $((settle + measured + 5)) "$exe" --backend "$backend" --size "$size" \
                    "${args[@]}" >/dev/null 2>"$work/log" || true
                if [ "$backend" = vulkan ]; then
                    rate=$(rate_of_overlay "$work/overlay")
                else
                    rate=$(rate_of_times "$work/swaps")
                fi
                said=$(sed -n 's/^visualiser: \(.*multisampling.*\)/\1/p' "$work/log" | paste -sd '|')
                printf '%-9s %-7s %-11s %11s  %7s / %-7s %s\n' "$size" "$backend" "$variant" "$rate" \
                    "$before" "$(load)" "${said:--}"
            done
        done
    done
done
