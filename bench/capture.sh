#!/usr/bin/env bash
# Live capture over a minute of music. A private PulseAudio (tests/pulse_server.sh) with a null
# sink plays a generated music-like track: six rounds of 8.5 s of music (pulsing bass and kick,
# a chord, pink-noise hats), 1 s of silence and a 0.5 s 1 kHz tone. bandview --capture
# --csv - runs for SECONDS_LIVE (60) seconds in a 120x40 tmux window with a client attached, so
# that its live view draws on the terminal (standard error) while its rows stream into this
# script, which stamps each on arrival. Beside it, parec captures the same monitor in 5 ms
# fragments: the moment the first sample of each tone reaches a client. Printed:
#   frames per second (rows arriving per second of wall time; a frame that catches up adds a
#   second row) and the share of frames that took
#   exactly one hop, catch-ups, silent frames and dropped samples (bandview's own report);
#   delay from each tone's first captured sample to the first row whose band 15 bar passes 0.5;
#   CPU per minute of bandview and of the tmux server drawing it.
# Goals: 60.0 fps, >= 98 % single-hop frames, no drops, delay <= 60 ms.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$(realpath "$build/tools/bandview/bandview")
[ -x "$exe" ] || { echo "build bandview first: cmake --build $build --target bandview" >&2; exit 1; }
seconds=${SECONDS_LIVE:-60}
work=$(mktemp -d)
pulse=$work/pulse
socket=bandview-capture-$$
cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    [ -n "${client:-}" ] && kill "$client" 2>/dev/null || true
    [ -n "${player:-}" ] && kill "$player" 2>/dev/null || true
    tests/pulse_server.sh stop "$pulse" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

CI=true tests/pulse_server.sh start "$pulse"
export XDG_RUNTIME_DIR=$pulse/runtime HOME=$pulse/home

# The track, 48 kHz mono.
. bench/musictrack.sh
music_track "$work"

ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }

tmux -L "$socket" -f /dev/null new-session -d -x 120 -y 40 -s bench "sleep 3600"
tmux -L "$socket" set -g status off
tmux -L "$socket" set -g remain-on-exit on
server=$(tmux -L "$socket" display -p '#{pid}')
mkfifo "$work/keys" "$work/rows"
script -qfc "tmux -L $socket attach -t bench" /dev/null >/dev/null 2>&1 <"$work/keys" &
client=$!
exec 3>"$work/keys"
sleep 1
tmux -L "$socket" resize-window -t bench -x 120 -y 40 2>/dev/null || true

paplay -d vis_null "$work/track.wav" &
player=$!
before=$(cpu "$server")
tmux -L "$socket" new-window -t bench -n run \
    "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR HOME=$HOME LANG=C.UTF-8 /usr/bin/time -f '%U %S' \
     -o $work/time $exe --capture --duration $seconds --csv - >$work/rows"
# Everything drawn in the window also goes to a file, for bandview's closing report.
tmux -L "$socket" pipe-pane -t bench:run "cat > $work/pane"

echo "captured music, $seconds s, bandview --capture --csv - in a 120x40 tmux window"
python3 bench/toneonsets.py "$work/rows" "$seconds" vis_null.monitor

while [ ! -s "$work/time" ]; do sleep 0.2; done
after=$(cpu "$server")
read -r user system <"$work/time"
program=$(echo "$user + $system" | bc -l)
terminal=$(echo "$after - $before" | bc -l)
perminute() { echo "$1 * 60 / $seconds" | bc -l; }
# bandview's own account of the run: frames, single hops, catch-ups, silence, drops.
tr -d '\r' <"$work/pane" | grep -ao 'bandview: capture: .*' |
    sed 's/^bandview: capture: /  bandview report     /' || true
printf '  CPU bandview        %5.2f s per minute\n' "$(perminute "$program")"
printf '  CPU tmux server     %5.2f s per minute\n' "$(perminute "$terminal")"
