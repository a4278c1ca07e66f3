#!/usr/bin/env bash
# Whole test suite: installs what is missing, then runs every CTest entry in two builds: the
# normal one (build/) and the sanitizer one (build-asan/: clang with address, undefined and
# float-cast-overflow sanitizers, plus the fuzz target, which replays its seed corpus and fuzzes
# for a minute). Then capture's ring and audio thread, and the LED sender's thread, under
# ThreadSanitizer (build-tsan/: clang, only those tests). The golden hashes also run on the core's portable loops alone (build-scalar/,
# BANDCORE_SIMD=OFF) and on an aarch64 cross build under qemu-user (build-aarch64/); the normal
# build's tst_golden covers the SSE2 and AVX2 paths. Last, the normal build's programs run once
# more under valgrind memcheck. First of all, scripts/test-package.sh installs the core alone and
# builds the examples against it, and scripts/test-install.sh installs the Debian packages of the
# core and the programs into a bare root of this machine's Debian release and runs the programs
# there. Last of all, scripts/test-release.sh does the same on the other release (Debian 13 on a
# Debian 12 machine, Debian 12 on a Debian 13 one) in a bare root: set-up, normal build and its
# tests, packages and their install. The last line counts what was skipped, with the causes.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every skip of every CTest run: a memcheck test that valgrind cannot run on this CPU
# (tests/memcheck.sh), and each Qt Test case that skipped, one line each with its cause.
skips=$(mktemp)
trap 'summarise_skips; rm -f "$skips"' EXIT
# collect_skips LOG [PREFIX]: the skips a CTest log records, each line led by PREFIX.
collect_skips() {
    [ -f "$1" ] || return 0
    sed -n -e 's/^memcheck: skipped on this CPU: \(.*\)/memcheck on this CPU: \1/p' \
        -e 's/^SKIP   : [^ ]* \(.*\)/\1/p' "$1" | sed "s/^/${2:-}/" >>"$skips"
}
run_ctest() {
    local dir=$1 status=0
    ctest --test-dir "$@" || status=$?
    collect_skips "$dir/Testing/Temporary/LastTest.log"
    return "$status"
}
summarise_skips() {
    if [ ! -s "$skips" ]; then
        echo "skipped: none"
        return
    fi
    echo "skipped: $(wc -l <"$skips") ($(sort "$skips" | uniq -c | sort -rn |
        sed 's/^ *\([0-9]*\) \(.*\)/\1: \2/' | awk 'NR > 1 { printf "; " } { printf "%s", $0 }'))"
}

scripts/setup.sh
scripts/test-package.sh
scripts/test-install.sh
scripts/build.sh -DBANDCORE_BENCH=ON
run_ctest build --output-on-failure -j"$(nproc)" -LE memcheck
cmake -S tests/core -B build-scalar -DBANDCORE_SIMD=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-scalar -j"$(nproc)"
run_ctest build-scalar --output-on-failure
cmake -S tests/core -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-aarch64 -j"$(nproc)"
run_ctest build-aarch64 --output-on-failure
CC=clang CXX=clang++ BUILD_DIR=build-asan scripts/build.sh -DBANDCORE_SANITIZE=ON
run_ctest build-asan --output-on-failure -j"$(nproc)"
if grep -q '^BANDCORE_CAPTURE:BOOL=ON' build/CMakeCache.txt; then
    CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_CXX_FLAGS=-fsanitize=thread \
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
    cmake --build build-tsan -j"$(nproc)" --target tst_capturering tst_capture tst_ledoutput
    run_ctest build-tsan --output-on-failure -R '^(tst_capturering|tst_capture|tst_ledoutput|pulse_server_.*)$'
fi
run_ctest build --output-on-failure -j"$(nproc)" -L memcheck --no-tests=error
# The other Debian release, in a bare root: its set-up, build, tests, packages and their install.
release_status=0
scripts/test-release.sh || release_status=$?
for log in build-release/*.log; do
    collect_skips "$log" "$(basename "$log" .log): "
done
exit "$release_status"
