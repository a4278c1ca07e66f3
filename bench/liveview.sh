#!/usr/bin/env bash
# CPU cost of bandview's live view: bandview plays 60 s of audio live in a tmux window of 120x40
# with a client attached (through script(1), as a person's terminal would be), and the script
# reads from /proc the CPU time (user + system) that bandview and the tmux server spent on it.
# The goal: both together at most 1.0 s per minute of live view, the median of RUNS runs (3 by
# default), each printed with the load average it ran under: the machine may be shared. The audio
# is FILE when given, else a generated minute of pink noise with a tremolo and beeps, so that the
# bars keep moving.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$(realpath "$build/tools/bandview/bandview")
[ -x "$exe" ] || { echo "build bandview first: cmake --build $build --target bandview" >&2; exit 1; }
seconds=${SECONDS_LIVE:-60}
runs=${RUNS:-3}
work=$(mktemp -d)
socket=bandview-bench-$$
stopRun() {
    tmux -L "$socket" kill-server 2>/dev/null || true
    exec 3>&-
    if [ -n "${client:-}" ]; then
        kill "$client" 2>/dev/null || true
        wait "$client" 2>/dev/null || true
    fi
    client=
}
cleanup() {
    stopRun
    rm -rf "$work"
}
trap cleanup EXIT
input=${1:-}
if [ -z "$input" ]; then
    input=$work/input.wav
    ffmpeg -v error -f lavfi -i "anoisesrc=color=pink:sample_rate=44100:amplitude=0.3" \
        -f lavfi -i "sine=frequency=330:beep_factor=6:sample_rate=44100" \
        -filter_complex "[0]tremolo=f=1.5:d=0.9[n];[n][1]amix=inputs=2" -t $((seconds + 2)) \
        -ac 1 "$input"
fi
ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }

perminute() { echo "$1 * 60 / $seconds" | bc -l; }
printf 'live view, 120x40, %d s of audio, %d runs\n' "$seconds" "$runs"
for run in $(seq 1 "$runs"); do
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    tmux -L "$socket" -f /dev/null new-session -d -x 120 -y 40 -s bench "sleep 3600"
    tmux -L "$socket" set -g status off
    server=$(tmux -L "$socket" display -p '#{pid}')
    # A client attached through a pseudo-terminal, so that the server draws as it would for a person.
    # Its input is a FIFO that stays silent: no key reaches bandview.
    rm -f "$work/keys" "$work/time"
    mkfifo "$work/keys"
    script -qfc "tmux -L $socket attach -t bench" /dev/null >/dev/null 2>&1 <"$work/keys" &
    client=$!
    exec 3>"$work/keys"
    sleep 1
    tmux -L "$socket" resize-window -t bench -x 120 -y 40 2>/dev/null || true
    before=$(cpu "$server")
    tmux -L "$socket" new-window -t bench \
        "LANG=C.UTF-8 /usr/bin/time -f '%U %S' -o $work/time $exe '$input' --duration $seconds; sleep 3600"
    while [ ! -s "$work/time" ]; do sleep 0.5; done
    after=$(cpu "$server")
    read -r user system <"$work/time"
    bandview=$(echo "$user + $system" | bc -l)
    tmuxcpu=$(echo "$after - $before" | bc -l)
    together=$(perminute "$(echo "$bandview + $tmuxcpu" | bc -l)")
    printf '  run %d: bandview %.2f s, tmux server %.2f s, together %.2f s per minute (load %s)\n' \
        "$run" "$(perminute "$bandview")" "$(perminute "$tmuxcpu")" "$together" "$load"
    echo "$together" >>"$work/results"
    stopRun
done
printf '  median       %.2f s per minute\n' "$(sort -n "$work/results" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
