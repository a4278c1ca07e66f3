#!/usr/bin/env bash
# Whole test suite: installs what is missing, then runs every CTest entry in two builds: the
# normal one (build/) and the sanitizer one (build-asan/: clang with address, undefined and
# float-cast-overflow sanitizers, plus the fuzz target, which replays its seed corpus and fuzzes
# for a minute). Then capture's ring and audio thread under ThreadSanitizer (build-tsan/: clang,
# only those tests). Last, the normal build's programs run once more under valgrind memcheck.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh -DBANDCORE_BENCH=ON
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE memcheck
CC=clang CXX=clang++ BUILD_DIR=build-asan scripts/build.sh -DBANDCORE_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
if grep -q '^BANDCORE_CAPTURE:BOOL=ON' build/CMakeCache.txt; then
    CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_CXX_FLAGS=-fsanitize=thread \
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
    cmake --build build-tsan -j"$(nproc)" --target tst_capturering tst_capture
    ctest --test-dir build-tsan --output-on-failure -R '^(tst_capturering|tst_capture|pulse_server_.*)$'
fi
ctest --test-dir build --output-on-failure -j"$(nproc)" -L memcheck --no-tests=error
