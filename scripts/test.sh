#!/usr/bin/env bash
# Installs what is missing, builds, and runs every unit and end-to-end test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd build
ctest --output-on-failure -j"$(nproc)"
