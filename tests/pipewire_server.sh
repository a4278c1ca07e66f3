#!/usr/bin/env bash
# A private PipeWire with WirePlumber for the capture tests, touching no session of the machine:
# runtime folder, home, configuration, state and session bus all under DIR. WirePlumber is told
# to look for no device of the machine (ALSA, BlueZ, cameras); the outputs are null ones:
#   vis_out    a 48 kHz stereo output, the default one, suspended after 1 s without sound
#   vis_mic    a silent virtual microphone, the default input
# No pipewire-pulse: what answers is PipeWire's own protocol only.
#
#   pipewire_server.sh start DIR         start it (or leave a running one), wait until it answers
#   pipewire_server.sh stop DIR          end what start started
#   pipewire_server.sh restart DIR       PipeWire and WirePlumber stopped and started again
#   pipewire_server.sh restart-wp DIR    WirePlumber alone stopped and started again
#   pipewire_server.sh output DIR NAME   one more null output (stereo, 48 kHz)
#   pipewire_server.sh default DIR NAME  make NAME the default output
#   pipewire_server.sh default-input DIR NAME   make NAME the default input
#
# Clients reach it with XDG_RUNTIME_DIR=DIR/run. When it cannot start, "start" says why and exits
# 0, so that the tests skip, except under CI=true, where it exits 1 and the tests that need it fail.
set -uo pipefail
usage="usage: pipewire_server.sh start|stop|restart|restart-wp|output|default|default-input DIR [NAME]"
cmd=${1:?$usage}
dir=${2:?$usage}
mkdir -p "$dir/run" "$dir/home" "$dir/state"
chmod 700 "$dir/run"
export XDG_RUNTIME_DIR=$dir/run HOME=$dir/home XDG_CONFIG_HOME=$dir/conf XDG_STATE_HOME=$dir/state
unset PULSE_SERVER PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY DISPLAY
log=$dir/pipewire.log

unavailable() {
    echo "pipewire_server: $*" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 0
}
answers() { timeout 2 pw-cli info 0 >/dev/null 2>&1; }
# Whether WirePlumber has made its "default" metadata: its policy is running.
policy_runs() { timeout 2 pw-metadata 0 2>/dev/null | grep -q 'Found "default" metadata'; }
wait_for() {
    for _ in $(seq 200); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# WirePlumber 0.4 reads Lua files; 0.5 reads wireplumber.conf.d. Both are written: each ignores
# the other's.
configure() {
    local lua=$XDG_CONFIG_HOME/wireplumber
    mkdir -p "$lua/main.lua.d" "$lua/bluetooth.lua.d" "$lua/wireplumber.conf.d"
    printf '%s\n' 'alsa_monitor.enabled = false' 'v4l2_monitor.enabled = false' \
        'libcamera_monitor.enabled = false' >"$lua/main.lua.d/60-private.lua"
    echo 'bluez_monitor.enabled = false' >"$lua/bluetooth.lua.d/60-private.lua"
    cat >"$lua/wireplumber.conf.d/90-private.conf" <<'EOF'
wireplumber.profiles = {
  main = {
    monitor.alsa = disabled
    monitor.alsa-midi = disabled
    monitor.bluez = disabled
    monitor.bluez-midi = disabled
    monitor.v4l2 = disabled
    monitor.libcamera = disabled
  }
}
EOF
}

start_bus() {
    [ -s "$dir/dbus.txt" ] && kill -0 "$(sed -n 2p "$dir/dbus.txt")" 2>/dev/null && return 0
    dbus-daemon --session --fork --print-address=1 --print-pid=1 >"$dir/dbus.txt" ||
        unavailable "no private session bus (dbus-daemon)"
}
bus() { export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$dir/dbus.txt"); }

start_pipewire() {
    bus
    setsid pipewire >>"$log" 2>&1 &
    echo $! >"$dir/pipewire.pid"
    wait_for answers || unavailable "pipewire did not answer within 10 s (see $log)"
}
start_wireplumber() {
    bus
    setsid wireplumber >>"$log" 2>&1 &
    echo $! >"$dir/wireplumber.pid"
    wait_for policy_runs || unavailable "wireplumber did not start its policy within 10 s (see $log)"
}
end() {
    local pid
    pid=$(cat "$dir/$1.pid" 2>/dev/null) || return 0
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null
    rm -f "$dir/$1.pid"
}

output() {
    timeout 2 pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$1\"" && return 0
    pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=$1
        node.description=\"$1\" media.class=Audio/Sink object.linger=true audio.rate=48000
        audio.position=[FL FR] session.suspend-timeout-seconds=1 }" >/dev/null
}
set_default() {
    pw-metadata 0 "default.configured.audio.$1" "{ \"name\": \"$2\" }" Spa:String:JSON >/dev/null
    wait_for sh -c "timeout 2 pw-metadata 0 | grep -qF \"key:'default.audio.$1' value:'{\\\"name\\\":\\\"$2\\\"}'\""
}
nodes() {
    output vis_out
    pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=vis_mic
        node.description="vis_mic" media.class=Audio/Source/Virtual object.linger=true
        audio.rate=48000 audio.position=[MONO] }' >/dev/null
    set_default sink vis_out || unavailable "wireplumber did not take vis_out for the default output"
    set_default source vis_mic || unavailable "wireplumber did not take vis_mic for the default input"
}

case $cmd in
start)
    answers && exit 0
    command -v pipewire >/dev/null && command -v wireplumber >/dev/null ||
        unavailable "pipewire or wireplumber is not installed (scripts/setup.sh)"
    configure
    start_bus
    start_pipewire
    start_wireplumber
    nodes
    ;;
stop)
    end wireplumber
    end pipewire
    pid=$(sed -n 2p "$dir/dbus.txt" 2>/dev/null) && kill -TERM "$pid" 2>/dev/null
    rm -f "$dir/dbus.txt"
    ;;
restart)
    end wireplumber
    end pipewire
    start_pipewire
    start_wireplumber
    nodes
    ;;
restart-wp)
    end wireplumber
    start_wireplumber
    ;;
output)
    output "${3:?$usage}"
    ;;
default)
    set_default sink "${3:?$usage}"
    ;;
default-input)
    set_default source "${3:?$usage}"
    ;;
*)
    echo "$usage" >&2
    exit 2
    ;;
esac
