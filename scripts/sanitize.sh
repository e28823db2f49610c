#!/usr/bin/env bash
# Builds fwkit and every test with AddressSanitizer (LeakSanitizer included)
# and UndefinedBehaviorSanitizer in build-asan/, and runs the whole suite: unit
# tests and fuzz corpus replays under ctest, then the end-to-end scenarios,
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

# A sanitized process stops at its first report with status 86 and writes the
# report to sanitizer-report.<pid> in its working directory: umockdev's
# preload library cannot serve the directory checks a log path with folders
# makes while the sanitizer starts, before the library itself has.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=sanitizer-report"
export LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=sanitizer-report"
export FWKIT_BINARY="$top/build-asan/fwkit"  # the fwkit the scenarios run

status=0
# Unit tests and fuzz corpus replays: a report fails the test that made it.
(cd build-asan && ctest -E '^e2e[.]' --output-on-failure -j"$jobs") || status=$?

# The end-to-end scenarios (tests/e2e/, as ctest runs them in a normal build),
# each module with a temporary directory of its own, kept for the scan below:
# fwkit runs in its server's directory there. It lies in the system's
# temporary directory, not in the checkout: fwkit runs only in a directory
# that nobody but root can change, and the checkout's folders may be open to
# a group.
scenarios="$(mktemp -d /tmp/fwkit-sanitize.XXXXXX)"
trap 'rm -rf "$scenarios"' EXIT
pytest="$(command -v pytest-3 || command -v pytest)"
printf '%s\n' tests/e2e/test_*.py |
  xargs -P "$jobs" -I{} sh -c '"$1" -q -p no:cacheprovider --basetemp="$2/$(basename "$3" .py)" "$3"' \
    sh "$pytest" "$scenarios" {} || status=1

reports="$(find build-asan "$scenarios" -name 'sanitizer-report.*' -type f)"
if [ -n "$reports" ]; then
  echo "sanitizer reports:" >&2
  for report in $reports; do
    echo "== $report" >&2
    cat "$report" >&2
  done
  status=1
fi
exit "$status"
