#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz/ and runs each
# for FWKIT_FUZZ_SECONDS seconds (default 20), starting from its seed corpus.
# Fails on the first crash, leak, sanitizer report or broken invariant; the
# input that caused it is left in build-fuzz/findings/<target>/.
#
# A longer run, e.g. ten minutes per target:
#   FWKIT_FUZZ_SECONDS=600 scripts/fuzz.sh
# Inputs found on the way stay in build-fuzz/corpus/<target>/; copy those that
# reach new code (or any crash, once fixed) into fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FWKIT_FUZZ_SECONDS:-20}"
jobs="${FWKIT_BUILD_JOBS:-2}"

CXX="${FWKIT_FUZZ_CXX:-clang++}" cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFWKIT_BUILD_FUZZERS=ON -DFWKIT_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
failed=()
for seeds in fuzz/corpus/*/; do
  target="$(basename "$seeds")"
  work="build-fuzz/corpus/$target"
  findings="build-fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  echo "== fuzz_$target: ${seconds}s"
  # New inputs go to the working corpus; the seeds in the repository stay as they are.
  if build-fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$seeds" \
      >"build-fuzz/fuzz_$target.log" 2>&1; then
    grep -E "^stat::number_of_executed_units" "build-fuzz/fuzz_$target.log" || true
  else
    failed+=("$target")
    tail -n 40 "build-fuzz/fuzz_$target.log"
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]} (inputs in build-fuzz/findings/)" >&2
  exit 1
fi
echo "fuzzing: no fault in $(ls -d fuzz/corpus/*/ | wc -l) targets"
