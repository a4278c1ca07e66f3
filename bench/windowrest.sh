#!/usr/bin/env bash
# What the visualiser's window costs at rest, on a private Xvfb and PulseAudio, at SIZE (default
# 1280x720) on each back end named (default: gles vulkan): the share of a core (user + system time
# from /proc over SECONDS, default 5) while the demo plays, once paused with Space, and with
# --capture on the silent monitor of the null sink, first while presence is still settling and
# then once it has been 0 for more than 10 s.
set -euo pipefail
cd "$(dirname "$0")/.."
size=${SIZE:-1280x720}
seconds=${SECONDS_MEASURED:-5}
SCREEN=1920x1080x24
# shellcheck source=bench/windowenv.sh
source bench/windowenv.sh
ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Share of a core the process spends over the measuring time, in per cent.
share() {
    local before after
    before=$(cpu "$1")
    sleep "$seconds"
    after=$(cpu "$1")
    echo "scale=1; 100 * ($after - $before) / $ticks / $seconds" | bc -l
}
start() {
    "$exe" "$@" >/dev/null 2>&1 &
    pid=$!
    pids+=($pid)
    window=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | head -1)
}
printf 'window at rest, %s, %s s each, %s cores, load %s\n' "$size" "$seconds" "$(nproc)" \
    "$(cut -d' ' -f1 /proc/loadavg)"
for backend in "${backends[@]}"; do
    start --backend "$backend" --size "$size"
    printf '  %-7s demo playing     %5s %% of a core\n' "$backend" "$(share "$pid")"
    xdotool windowfocus --sync "$window" key space
    sleep 0.5
    printf '  %-7s demo paused      %5s %%\n' "$backend" "$(share "$pid")"
    kill "$pid"
    start --backend "$backend" --size "$size" --capture=vis_null.monitor
    printf '  %-7s silence, at once %5s %%\n' "$backend" "$(share "$pid")"
    sleep $((11 - seconds))
    printf '  %-7s silence, resting %5s %%\n' "$backend" "$(share "$pid")"
    kill "$pid"
done
