#!/usr/bin/env bash
# Live capture through PipeWire's own protocol against the PulseAudio path (pipewire-pulse), on
# one private PipeWire (tests/pipewire_server.sh) with pipewire-pulse started beside it. For each
# back end, bandview --capture --capture-backend B --csv - runs SECONDS_LIVE (30) seconds:
#   with the music of bench/musictrack.sh playing (pw-play into vis_out): the delay from each
#   tone's first sample, as parec takes it from vis_out's monitor in 5 ms fragments, to the first
#   row whose band 15 bar passes 0.5, and bandview's CPU per minute;
#   in silence (nothing plays, the output suspends): bandview's CPU per minute.
# The two back ends run one after the other in the same run, on the same daemon and track.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$(realpath "$build/tools/bandview/bandview")
[ -x "$exe" ] || { echo "build bandview first: cmake --build $build --target bandview" >&2; exit 1; }
seconds=${SECONDS_LIVE:-30}
work=$(mktemp -d)
pw=$work/pw
cleanup() {
    [ -n "${player:-}" ] && kill "$player" 2>/dev/null || true
    [ -n "${pulse:-}" ] && kill "$pulse" 2>/dev/null || true
    tests/pipewire_server.sh stop "$pw" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

CI=true tests/pipewire_server.sh start "$pw"
export XDG_RUNTIME_DIR=$pw/run HOME=$pw/home
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$pw/dbus.txt")
pipewire-pulse >"$work/pulse.log" 2>&1 &
pulse=$!
for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
done
pactl info >/dev/null 2>&1 || { echo "pipewire-pulse did not answer" >&2; exit 1; }

. bench/musictrack.sh
music_track "$work"

# One run: bandview's rows stamped on arrival, the tones' onsets, the delays; then the CPU.
run() {
    local backend=$1 what=$2
    rm -f "$work/rows" "$work/time"
    mkfifo "$work/rows"
    if [ "$what" = music ]; then
        pw-play --target vis_out "$work/track.wav" &
        player=$!
    fi
    /usr/bin/time -f '%U %S' -o "$work/time" "$exe" --capture --capture-backend "$backend" \
        --duration "$seconds" --csv - >"$work/rows" 2>"$work/report" &
    if [ "$what" = music ]; then
        python3 bench/toneonsets.py "$work/rows" "$seconds" vis_out.monitor
    else
        cat "$work/rows" >/dev/null
    fi
    while [ ! -s "$work/time" ]; do sleep 0.2; done
    if [ -n "${player:-}" ]; then
        kill "$player" 2>/dev/null || true
        wait "$player" 2>/dev/null || true
        player=
    fi
    read -r user system <"$work/time"
    printf '    CPU per minute     %.2f s\n' "$(echo "($user + $system) * 60 / $seconds" | bc -l)"
    grep -o 'capture: .*' "$work/report" | sed 's/^/    bandview report    /' || true
}

for backend in pipewire pulse; do
    for what in music silence; do
        echo "$backend, $what, $seconds s"
        run "$backend" "$what"
        # Let the output suspend again before the silent run.
        sleep 2
    done
done
