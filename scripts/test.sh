#!/usr/bin/env bash
# Whole test suite: installs what is missing, then runs every CTest entry in two builds: the
# normal one (build/) and the sanitizer one (build-asan/: clang with address, undefined and
# float-cast-overflow sanitizers, plus the fuzz target, which replays its seed corpus and fuzzes
# for a minute). Last, the normal build's programs run once more under valgrind memcheck. First of
# all, scripts/test-package.sh installs the core alone and builds the examples against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/test-package.sh
scripts/build.sh -DBANDCORE_BENCH=ON
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE memcheck
CC=clang CXX=clang++ BUILD_DIR=build-asan scripts/build.sh -DBANDCORE_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" -L memcheck --no-tests=error
