#!/usr/bin/env bash
# How far the visualiser's window trails what is heard, against the off-line video of the same
# signal: BURSTS (default 16) bursts of noise, 100 ms once a second after 1 s of silence, played
# by the window on a private Xvfb and PulseAudio; the null sink's monitor and the window are
# recorded into one file by FFmpeg (x11grab at 60 pictures/s and pulse, one clock). Then the video
# rendered with --render from the same signal is played by ffplay in the same place and recorded
# by the same chain, so that the chain's own delay cancels out. For each burst: the audio onset
# (the first 10 ms block above the threshold) against the window's mean brightness per picture;
# the figures are the 10 % rise, the half-way point and the peak after the onset, averaged.
#   bench/windowsync.sh [gles|vulkan ...]     (default: gles vulkan)
# VISUALISER names the program (default: the build's), SIZE the window's (640x360); KEEP=1 keeps
# the recordings. The last lines, one per back end, are "added BACKEND MS FILEMS": the window's
# half-way delay minus the video's through the same chain, and minus the video's in its own file,
# where picture and sound share the file's clock exactly: ffplay's own timing under load does not
# blur that one, while the chain's delay stays in it.
set -euo pipefail
cd "$(dirname "$0")/.."
for t in Xvfb xdotool ffmpeg ffplay sox pactl; do
    command -v "$t" >/dev/null || { echo "windowsync: $t is not installed" >&2; exit 1; }
done
bursts=${BURSTS:-16}
size=${SIZE:-640x360}
SCREEN=1024x768x24
# shellcheck source=bench/windowenv.sh
source bench/windowenv.sh

sox -n -r 48000 -c 2 "$work/burst.wav" synth 0.1 whitenoise vol 0.5 pad 0 0.9
# More bursts than recorded: the programs play before their windows show, ffplay on a busy
# machine seconds before.
sox "$work/burst.wav" "$work/signal.wav" repeat $((bursts + 6)) pad 1 0

# Starts PROGRAM ARGS..., waits for its window, records it with the monitor into OUT.
record() {
    local out=$1
    shift
    local begun=$SECONDS
    "$@" >/dev/null 2>"$work/log" &
    local pid=$!
    pids+=($pid)
    local id
    id=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" 2>/dev/null | head -1) ||
        { echo "windowsync: no window from $1: $(cat "$work/log")" >&2; exit 1; }
    shown=$((SECONDS - begun))
    eval "$(xdotool getwindowgeometry --shell "$id")"
    # Both inputs keep the wall clock's times (-copyts), less the time FFmpeg is started at. With
    # -copyts, -t ends the recording at that time, not at its first picture's: FFmpeg's start-up
    # (a second or so) comes off it, hence one second more than the bursts need.
    local since
    since=-$(date +%s.%N)
    ffmpeg -v error -y -copyts -thread_queue_size 1024 -itsoffset "$since" -f x11grab \
        -framerate 60 -video_size "${WIDTH}x${HEIGHT}" -i "$DISPLAY+$X,$Y" \
        -thread_queue_size 1024 -itsoffset "$since" -f pulse -fragment_size 1024 \
        -i vis_null.monitor -t $((bursts + 2)) -c:v libx264 \
        -preset ultrafast -qp 0 -c:a pcm_s16le "$out"
    # A program gone before the recording ended leaves too few bursts: say why it went. Its
    # sound ends with it when its window showed late; a failure is the bench's end.
    kill "$pid" 2>/dev/null || {
        local status=0
        wait "$pid" || status=$?
        echo "windowsync: $1 ended during the recording (status $status, window after" \
            "${shown} s): $(cat "$work/log")" >&2
        [ "$status" = 0 ] || exit 1
    }
    wait "$pid" 2>/dev/null || true
}

# Mean half-way delay (ms) of the picture after each burst of a recording, with the details.
measure() {
    local file=$1
    ffmpeg -v fatal -y -i "$file" -map 0:a -ac 1 -ar 48000 -f s16le "$work/a.raw"
    ffmpeg -v error -y -i "$file" -map 0:v -vf scale=64:36,format=gray -fps_mode passthrough \
        -f rawvideo "$work/v.raw"
    # Each audio packet at its own time: the recording's clock settles as it goes, so the first
    # packet's time alone would shift every burst by its error.
    ffprobe -v error -select_streams a -show_entries packet=pts_time,duration_time,size \
        -of csv=p=0 "$file" >"$work/apackets"
    ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 "$file" \
        >"$work/vtimes"
    python3 - "$work" "$file" <<'EOF'
import array, math, sys
work = sys.argv[1]
recording = sys.argv[2].endswith(".mkv")
rate, block = 48000, 480
a = array.array("h", open(f"{work}/a.raw", "rb").read())
# (time, samples) per packet: the recording's 16-bit stereo by its size (its durations are
# rounded to milliseconds), the video file's by its duration.
# Packets before zero hold the encoder's priming, which decoding drops.
packets = []
for line in open(f"{work}/apackets"):
    pts, duration, size = ([f.strip() for f in line.split(",")] + ["", "", ""])[:3]
    if pts not in ("", "N/A") and float(pts) >= 0:
        n = int(size) // 4 if recording else round(float(duration) * rate)
        packets.append((float(pts), n))
def at(sample):
    """The time of a sample, from the packet that holds it."""
    begun = 0
    for pts, n in packets:
        if sample < begun + n:
            return pts + (sample - begun) / rate
        begun += n
    return packets[-1][0]
times = [float(t.strip(",")) for t in open(f"{work}/vtimes").read().split()]
raw = open(f"{work}/v.raw", "rb").read()
px = 64 * 36
level = [sum(raw[i * px:(i + 1) * px]) / px for i in range(min(len(times), len(raw) // px))]
onsets, quiet = [], True
for b in range(len(a) // block):
    rms = math.sqrt(sum(x * x for x in a[b * block:(b + 1) * block]) / block) / 32768
    if quiet and rms > 0.05:
        onsets.append(at(b * block))
    quiet = rms < 0.01 if not quiet else quiet and rms <= 0.05
rise, half, peak = [], [], []
for t0 in onsets:
    before = [l for t, l in zip(times, level) if t0 - 0.25 <= t < t0]
    after = [(t, l) for t, l in zip(times, level) if t0 <= t < t0 + 0.6]
    if not before or len(after) < 20:
        continue
    base = min(before)
    top_t, top = max(after, key=lambda p: p[1])
    if top - base < 2:
        continue
    first = lambda share: next(t for t, l in after if l >= base + share * (top - base)) - t0
    rise.append(first(0.1)), half.append(first(0.5)), peak.append(top_t - t0)
if len(half) < 10:
    sys.exit(f"windowsync: only {len(half)} bursts measured of {len(onsets)} heard in"
             f" {len(a) / rate:.1f} s of sound and {len(level)} pictures")
mean = lambda v: 1000 * sum(v) / len(v)
print(f"{mean(half):.0f} {len(half)} {mean(rise):.0f} {mean(peak):.0f}")
EOF
}

read -r w h <<<"${size/x/ }"
report() {
    printf '  %-22s 10%% %4s ms  half-way %4s ms  peak %4s ms  (%s bursts%s)\n' "$1" "$4" "$2" "$5" \
        "$3" "${6:+, window after $6 s}"
}
printf 'window against video, %s, %s bursts, %s cores, load %s\n' "$size" "$bursts" "$(nproc)" \
    "$(cut -d' ' -f1 /proc/loadavg)"
# One video, the reference for every back end; its result line among the figures, so that the
# comparison stays the last line.
"$exe" --render "$work/video.mp4" --size "$size" --backend gles "$work/signal.wav" 2>&1
record "$work/video.mkv" ffplay -v error -autoexit -noborder -left 0 -top 0 -x "$w" -y "$h" \
    "$work/video.mp4"
measure "$work/video.mp4" >"$work/figures"
read -r fhalf fn frise fpeak <"$work/figures"
report "video, in its file" "$fhalf" "$fn" "$frise" "$fpeak"
measure "$work/video.mkv" >"$work/figures"
read -r vhalf vn vrise vpeak <"$work/figures"
report "video via ffplay" "$vhalf" "$vn" "$vrise" "$vpeak" "$shown"
for backend in "${backends[@]}"; do
    record "$work/window.mkv" "$exe" --backend "$backend" --size "$size" "$work/signal.wav"
    measure "$work/window.mkv" >"$work/figures" ||
        { echo "windowsync: its window showed ${shown} s after it started" >&2; exit 1; }
    read -r whalf wn wrise wpeak <"$work/figures"
    report "window ($backend)" "$whalf" "$wn" "$wrise" "$wpeak" "$shown"
    echo "added $backend $((whalf - vhalf)) $((whalf - fhalf))"
done
