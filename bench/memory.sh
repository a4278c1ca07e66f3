#!/usr/bin/env bash
# Peak memory (GNU time's maximum resident set size) of an off-line bandview run with --png and
# --csv, for generated inputs of 3 minutes, 1 hour and 10 hours. The audio (pink noise at 44.1 kHz,
# mono, 16-bit WAV) comes through a pipe from ffmpeg, and the data rows go to /dev/null, so that
# the disk holds neither. The goal: the 10-hour run at most 100 MB, within 20% of the 3-minute one.
# LENGTHS (seconds, default "180 3600 36000") chooses the runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$build/tools/bandview/bandview
[ -x "$exe" ] || { echo "build bandview first: cmake --build $build --target bandview" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-10s %12s %14s %10s %7s\n' "length" "frames" "peak RSS (MB)" "wall" "status"
for seconds in ${LENGTHS:-180 3600 36000}; do
    ffmpeg -v error -f lavfi -i "anoisesrc=color=pink:sample_rate=44100:amplitude=0.2" \
        -t "$seconds" -ac 1 -c:a pcm_s16le -f wav - |
        /usr/bin/time -v "$exe" - --no-live --png "$work/run.png" --csv /dev/null \
            2>"$work/stderr" && status=0 || status=$?
    kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/stderr")
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/stderr")
    frames=$(sed -n 's/.* \([0-9]*\) frames in .*/\1/p' "$work/stderr")
    printf '%-10s %12s %14.1f %10s %7s\n' "${seconds} s" "$frames" "$(echo "$kb / 1024" | bc -l)" \
        "$wall" "$status"
done
