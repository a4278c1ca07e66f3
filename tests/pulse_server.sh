#!/usr/bin/env bash
# A private PulseAudio for the capture tests, so that they never touch the user's own server:
# runtime directory and home under DIR, one null sink "vis_null" (48 kHz stereo) as the default
# output, whose monitor is then the default monitor.
#
#   pulse_server.sh start DIR   start it (or leave a running one), wait until it answers
#   pulse_server.sh stop DIR    ask it to exit, wait until it is gone
#   pulse_server.sh kill DIR    kill it outright, as a crash would
#
# When it cannot start, "start" says why and exits 0, so that the tests skip, except under
# CI=true, where it exits 1 and the tests that need it fail.
set -uo pipefail
cmd=${1:?usage: pulse_server.sh start|stop|kill DIR}
dir=${2:?usage: pulse_server.sh start|stop|kill DIR}
mkdir -p "$dir/runtime" "$dir/home"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR=$dir/runtime HOME=$dir/home
unset PULSE_SERVER

answers() { pactl info >/dev/null 2>&1; }
gone() {
    for _ in $(seq 100); do
        answers || return 0
        sleep 0.05
    done
    return 1
}
# Whether a process is still running. A killed server is gone once it is a zombie: it was
# orphaned when it daemonised, and the init process that reaps it may take its time (seconds, in
# some containers).
running() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
unavailable() {
    echo "pulse_server: $*" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 0
}

case $cmd in
start)
    answers && exit 0
    command -v pulseaudio >/dev/null || unavailable "pulseaudio is not installed (scripts/setup.sh)"
    pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes \
        --log-target=file:"$dir/pulse.log" --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=vis_null rate=48000 channels=2" 2>>"$dir/pulse.log" ||
        unavailable "pulseaudio did not start (see $dir/pulse.log)"
    for _ in $(seq 200); do
        if answers; then
            pactl set-default-sink vis_null
            exit 0
        fi
        sleep 0.05
    done
    unavailable "pulseaudio did not answer within 10 s (see $dir/pulse.log)"
    ;;
stop)
    answers && pactl exit
    gone
    ;;
kill)
    pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null) && kill -KILL "$pid"
    for _ in $(seq 100); do
        if ! running "$pid"; then
            # A pid file naming a zombie would keep the next server from starting: PulseAudio
            # takes that process for a daemon still running.
            rm -f "$XDG_RUNTIME_DIR/pulse/pid"
            exit 0
        fi
        sleep 0.05
    done
    exit 1
    ;;
*)
    echo "usage: pulse_server.sh start|stop|kill DIR" >&2
    exit 2
    ;;
esac
