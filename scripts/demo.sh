#!/usr/bin/env bash
# Main job: installs what is missing, builds, and runs both self-check programs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build/selfcheck/bandcheck
build/selfcheck/motioncheck
