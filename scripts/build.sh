#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR) with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
