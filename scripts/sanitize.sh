#!/usr/bin/env bash
# Builds fwkit and every test with AddressSanitizer (LeakSanitizer included)
# and UndefinedBehaviorSanitizer in build-asan/, and runs the whole suite under
# ctest: unit tests, the fuzz corpus replays, and the end-to-end scenarios,
# which run the sanitized fwkit (FWKIT_BINARY) under umockdev-run. Fails on any
# failed test and on any sanitizer report, also from a run a scenario expected
# to fail.
#
# clang links its ASan runtime into the program itself, so fwkit runs under
# umockdev-run's LD_PRELOAD as it is; gcc's shared libasan would have to come
# first in the preload list.
set -euo pipefail
cd "$(dirname "$0")/.."
top="$(pwd)"
jobs="${FWKIT_BUILD_JOBS:-2}"
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all"

CXX="${FWKIT_SANITIZE_CXX:-clang++}" cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$sanitizers -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" >/dev/null
cmake --build build-asan -j"$jobs"

# Each sanitized process writes any report to a file of its own here
# (sanitizer.<pid>) and stops with status 86 at the first.
reports="$top/build-asan/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$reports/sanitizer"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$reports/sanitizer"
export FWKIT_BINARY="$top/build-asan/fwkit"  # the scenarios' fwkit (ctest sets the same)

status=0
(cd build-asan && ctest --output-on-failure -j"$jobs") || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$reports"/* >&2
  status=1
fi
exit "$status"
