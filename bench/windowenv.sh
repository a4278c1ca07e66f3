# Sourced by the window benches: the visualiser in $exe (VISUALISER, else the one in BUILD_DIR,
# default build), the back ends in backends (the bench's arguments, else gles and vulkan), a
# private Xvfb with one screen of SCREEN (WxHxDEPTH), its display number chosen by Xvfb itself, and
# a private PulseAudio with the null sink vis_null, both kept in a fresh folder $work. On exit
# every process in pids is ended and $work removed (KEEP=1 keeps it, for a look at what was
# recorded).
build=${BUILD_DIR:-build}
exe=$(realpath "${VISUALISER:-$build/tools/visualiser/visualiser}")
[ -x "$exe" ] || { echo "build the visualiser first: cmake --build $build --target visualiser" >&2; exit 1; }
backends=("$@")
[ $# -eq 0 ] && backends=(gles vulkan)
work=$(mktemp -d)
pids=()
windowenv_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    tests/pulse_server.sh stop "$work/pulse" >/dev/null 2>&1 || true
    if [ -n "${KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap windowenv_cleanup EXIT
# -noreset: the server would reset whenever its last client leaves, refusing whoever connects then.
Xvfb -displayfd 3 -noreset -screen 0 "$SCREEN" -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
tests/pulse_server.sh start "$work/pulse" >/dev/null
export XDG_RUNTIME_DIR=$work/pulse/runtime HOME=$work/pulse/home
# Nothing of the machine's own session: no sound server, bus or Wayland display of its own.
unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
