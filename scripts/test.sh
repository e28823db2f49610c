#!/usr/bin/env bash
# Installs what is missing, builds, and runs every unit and end-to-end test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd build
ctest --output-on-failure -j"$(nproc)"
# ctest counts its tests above (one per unit test program, corpus replay, promtool check and
# scenario module); the scenarios are counted here, as they stand now.
cd ..
scenarios="$(pytest-3 --collect-only -q tests/e2e | tail -n 1 | cut -d' ' -f1)"
echo "End-to-end scenarios: $scenarios (pytest items) in $(ls tests/e2e/test_*.py | wc -l) modules"
