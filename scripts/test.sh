#!/usr/bin/env bash
# Whole test suite: installs what is missing, then runs every CTest entry in two builds: the
# normal one (build/) and the sanitizer one (build-asan/: clang with address, undefined and
# float-cast-overflow sanitizers, plus the fuzz target, which replays its seed corpus and fuzzes
# for a minute). Then capture's ring and audio thread under ThreadSanitizer (build-tsan/: clang,
# only those tests). The golden hashes also run on the core's portable loops alone (build-scalar/,
# BANDCORE_SIMD=OFF) and on an aarch64 cross build under qemu-user (build-aarch64/); the normal
# build's tst_golden covers the SSE2 and AVX2 paths. Last, the normal build's programs run once
# more under valgrind memcheck. First of all, scripts/test-package.sh installs the core alone and
# builds the examples against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/test-package.sh
scripts/build.sh -DBANDCORE_BENCH=ON
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE memcheck
cmake -S tests/core -B build-scalar -DBANDCORE_SIMD=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-scalar -j"$(nproc)"
ctest --test-dir build-scalar --output-on-failure
cmake -S tests/core -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-aarch64 -j"$(nproc)"
ctest --test-dir build-aarch64 --output-on-failure
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
