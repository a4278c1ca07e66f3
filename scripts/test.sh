#!/usr/bin/env bash
# Whole test suite: installs what is missing, builds, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh -DBANDCORE_BENCH=ON
ctest --test-dir build --output-on-failure -j"$(nproc)"
