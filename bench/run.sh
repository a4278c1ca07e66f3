#!/usr/bin/env bash
# Builds the benchmarks and prints the comparison table: median CPU times of the transform, one
# hop and the ballistics step, ours beside FFTW. Extra arguments go to the benchmark program.
# REPETITIONS (default 9) sets how many runs each median is taken over; the runs of all
# benchmarks are interleaved, so a burst of load on a shared machine hits them alike.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
scripts/setup.sh
BUILD_DIR=$build scripts/build.sh -DBANDCORE_BENCH=ON >&2
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
"$build/bench/bandbench" --benchmark_repetitions="${REPETITIONS:-9}" \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true "$@" |
    sed -n '/^CPU time per call/,$p'
