#!/usr/bin/env bash
# Main job: installs what is missing, builds, and runs bandview on its built-in demo programme
# (live when standard output is a terminal), writing the picture of the run and naming its path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build/tools/bandview/bandview --png build/bandview-demo.png
