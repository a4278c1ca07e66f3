#!/usr/bin/env bash
# Compares two builds of bandbench on this machine: runs them alternately, ROUNDS times each
# (default 3), which one goes first changing every round, so that a burst of load on a shared
# machine hits both alike, and prints per benchmark the median CPU time of each and new / old
# (over every run, repetitions within a run included), then the least time of each, which a
# neighbour's load inflates least.
# Extra arguments go to both programs; by default they run the transform and the hop on the
# core's own paths.
#
# Usage: bench/compare.sh OLD_BANDBENCH NEW_BANDBENCH [BENCHMARK ARGUMENTS...]
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 OLD_BANDBENCH NEW_BANDBENCH [BENCHMARK ARGUMENTS...]" >&2
    exit 2
fi
old=$1 new=$2
shift 2
[ $# -gt 0 ] || set -- '--benchmark_filter=^(powerSpectrum|hop)/(avx2|sse2|neon|scalar)/'
runs=$(mktemp)
trap 'rm -f "$runs"' EXIT
# Lines "build name cpu-time unit", one per benchmark and run.
for round in $(seq "${ROUNDS:-3}"); do
    order="old new"
    [ $((round % 2)) = 1 ] || order="new old"
    for build in $order; do
        program=$old
        [ "$build" = old ] || program=$new
        # The program's reporter colours its lines whatever the flags say.
        "$program" "$@" 2>/dev/null | sed 's/\x1b\[[0-9;]*m//g' |
            awk -v build="$build" '$2 ~ /^[0-9.]+$/ && $5 ~ /^[mun]?s$/ && $1 !~ /_[a-z]+$/ {
                print build, $1, $4, $5 }' \
                >>"$runs"
    done
done
echo "| benchmark | old (median) | new (median) | new / old | old (least) | new (least) | new / old |"
echo "|---|---:|---:|---:|---:|---:|---:|"
sort -k2,2 -k1,1 -k3,3g "$runs" | awk '
    function median(list, count,    values) {
        split(list, values, " ")
        return count % 2 ? values[(count + 1) / 2] : (values[count / 2] + values[count / 2 + 1]) / 2
    }
    {
        key = $2
        if (!(key in seen)) { seen[key] = 1; order[++names] = key; unit[key] = $4 }
        times[$1, key] = times[$1, key] " " $3
        counts[$1, key]++
    }
    END {
        for (i = 1; i <= names; i++) {
            key = order[i]
            a = median(times["old", key], counts["old", key])
            b = median(times["new", key], counts["new", key])
            split(times["old", key], oldTimes, " ")
            split(times["new", key], newTimes, " ")
            printf "| %s | %.3f %s | %.3f %s | %.3f | %.3f | %.3f | %.3f |\n", key, a, unit[key], b,
                unit[key], b / a, oldTimes[1], newTimes[1], newTimes[1] / oldTimes[1]
        }
    }'
