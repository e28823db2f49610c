#!/usr/bin/env bash
# Times `fwkit -c` on simulated servers:
#  1. 16 adapters whose query takes 0.5 s each, with the default bound of
#     queries side by side and with FWKIT_QUERY_JOBS=1 (one at a time);
#  2. 64 adapters and a catalog of 10,000 entries, beside the bare tool runs
#     (the same 64 query command lines, no shell, as many at once as fwkit
#     runs) plus one catalog parse: with the simulator's Python tool, and with
#     an instant tool (a shell stand-in printing the same reports).
#
#   bench/run_current_report.sh [FWKIT_BINARY] [RUNS]
#
# FWKIT_BINARY defaults to build/fwkit; RUNS (default 5) is the number of
# timed runs of each kind; the median is reported. The catalog parse is timed
# by the catalog benchmark (FWKIT_CATALOG_BENCH, default
# build-bench/bench/fwkit_catalog_bench); without it the bare runs stand alone.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
fwkit="$(realpath "${1:-$root/build/fwkit}")"
runs="${2:-5}"
catalog_bench="${FWKIT_CATALOG_BENCH:-$root/build-bench/bench/fwkit_catalog_bench}"
jobs=8  # fwkit's default bound
catalog_entries=10000

[ -x "$fwkit" ] || { echo "no fwkit binary at $fwkit (build first)" >&2; exit 1; }
command -v umockdev-run >/dev/null || { echo "umockdev-run is needed" >&2; exit 1; }

work="$(mktemp -d /tmp/fwkit-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# server FILE ADAPTERS CATALOG_ENTRIES QUERY_SECONDS: ADAPTERS dual-port
# ConnectX-5 boards (function 0 of each is listed) of 8 kinds, and a catalog
# holding 3 images per kind; the rest of its entries belong to boards the
# server does not have.
server() {
  python3 - "$@" <<'PY'
import json, sys
path, adapters, entries, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
functions, catalog = [], []
kinds = 8
for i in range(adapters):
    bus = 0x10 + i
    kind = i % kinds
    for func in (0, 1):
        functions.append({
            "address": f"0000:{bus:02x}:00.{func}", "class": "0x020000",
            "vendor": "0x15b3", "device": "0x1017",
            "subsystem_vendor": "0x15b3", "subsystem_device": f"0x{0x20 + kind:04x}",
            "firmware": "16.26.1040", "psid": f"MT_00000000{kind:02d}", "query_seconds": seconds})
for kind in range(kinds):
    for n, rom in enumerate(("16.27.2008", "16.28.2006", "16.29.1016")):
        catalog.append(f'<Image name="ConnectX-5 kind {kind}" venid="15B3" devid="1017" '
                       f'subvenid="15B3" PSID="MT_00000000{kind:02d}" subdevid="{0x20 + kind:04X}" '
                       f'rom="{rom}" fwFile="CX5_{kind}_{rom}.bin"/>')
i = 0
while len(catalog) < entries:
    catalog.append(f'<Image name="Other board {i}" venid="15B3" devid="{0x1000 + i % 64:04X}" '
                   f'subvenid="15B3" PSID="MT_9{i:09d}" subdevid="{i % 65536:04X}" '
                   f'rom="1.{i % 100}.{i % 1000}" fwFile="other_{i}.bin"/>')
    i += 1
xml = ('<?xml version="1.0" encoding="UTF-8"?>\n<NICFWData>\n  ' + "\n  ".join(catalog)
       + "\n</NICFWData>\n")
json.dump({"name": f"bench{adapters}", "functions": functions, "catalog_xml": xml}, open(path, "w"))
PY
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.6f", b - a}'; }

# time_fwkit ADAPTERS [NAME=VALUE...]: one `fwkit -c` in the current working
# directory with those environment variables; prints its wall time.
time_fwkit() {
  local adapters=$1 start end diag blocks rows
  shift
  rm -f mstflint.log
  start=$(now)
  env "$@" umockdev-run -d server.umockdev -- "$fwkit" -c >"$work/out.txt" 2>"$work/err.txt"
  end=$(now)
  # Each inventory leaves its diagnostic file in /tmp; these are ours to remove.
  diag=$(sed -n 's/^If PSID or FW_Version is not found for some interfaces, please check \(\/tmp\/data[A-Za-z0-9]*\)$/\1/p' "$work/out.txt")
  [ -n "$diag" ] && rm -f "$diag"
  blocks=$(grep -c "PCI-ID" "$work/out.txt" || true)
  rows=$(grep -cP "\t0000:..:00\.0$" "$work/out.txt" || true)
  if [ "$blocks" -ne "$adapters" ] || [ "$rows" -ne $((adapters * 3)) ]; then
    echo "expected $adapters report blocks of 3 rows, got $blocks blocks, $rows rows; stderr:" >&2
    cat "$work/err.txt" >&2
    exit 1
  fi
  elapsed "$start" "$end"
}

# time_bare BOUND: the query command lines of all adapters, without a shell,
# at most BOUND at once, under umockdev-run as fwkit's are; prints the time.
time_bare() {
  local start end
  start=$(now)
  umockdev-run -d server.umockdev -- xargs -P "$1" -I '{}' ./nic_fw/mstflint -d '{}' q \
    <"$work/addresses" >/dev/null 2>&1
  end=$(now)
  elapsed "$start" "$end"
}

printf 'fwkit -c, median of %d runs, %s cores, load average %s\n' "$runs" "$(nproc)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"

# 1. Slow queries.
server "$work/slow.json" 16 30 0.5
python3 "$root/sim/fwsim.py" workdir "$work/slow.json" "$work/slow" >/dev/null
cd "$work/slow"
side=() one=()
for _ in $(seq "$runs"); do
  side+=("$(time_fwkit 16)")
  one+=("$(time_fwkit 16 FWKIT_QUERY_JOBS=1)")
done
printf '16 adapters, query of 0.5 s each:\n'
printf '  side by side (default bound %d)   %8.3f s\n' "$jobs" "$(printf '%s\n' "${side[@]}" | median)"
printf '  one at a time (FWKIT_QUERY_JOBS=1) %7.3f s\n' "$(printf '%s\n' "${one[@]}" | median)"
# Each start of the Python tool costs about 0.05 s of CPU, which 16 starts on
# two cores add to the waiting. A shell stand-in that waits 0.5 s and prints
# the same report leaves the waiting and fwkit's own work.
mkdir -p nic_fw/.bench
for i in $(seq 0 15); do
  address=$(printf '0000:%02x:00.0' $((0x10 + i)))
  ./nic_fw/mstflint -d "$address" q >"nic_fw/.bench/$address"
done
mv nic_fw/mstflint nic_fw/mstflint.sim
printf '#!/bin/sh\nsleep 0.5\nexec cat "./nic_fw/.bench/$2"\n' >nic_fw/mstflint
chmod +x nic_fw/mstflint
side=()
for _ in $(seq "$runs"); do side+=("$(time_fwkit 16)"); done
printf '  side by side, shell stand-in       %7.3f s\n' "$(printf '%s\n' "${side[@]}" | median)"

# 2. Many adapters, a large catalog.
adapters=64
server "$work/large.json" "$adapters" "$catalog_entries" 0
python3 "$root/sim/fwsim.py" workdir "$work/large.json" "$work/large" >/dev/null
cd "$work/large"
for i in $(seq 0 $((adapters - 1))); do printf '0000:%02x:00.0\n' $((0x10 + i)); done >"$work/addresses"
# Without the catalog benchmark the parse is not measured, and fwkit stands beside the bare runs alone.
parse_s=0 parse_text="catalog parse not measured: no catalog benchmark at $catalog_bench" beside="bare runs"
if [ -x "$catalog_bench" ]; then
  parse_ms=$("$catalog_bench" --benchmark_filter="BM_ParseCatalog/$catalog_entries" \
    --benchmark_format=csv 2>/dev/null | awk -F, '/^"BM_ParseCatalog/ {print $3}')
  parse_s=$(awk -v m="$parse_ms" 'BEGIN {printf "%.6f", m / 1000}')
  parse_text=$(printf 'one catalog parse: %.3f s' "$parse_s") beside="(bare runs + parse)"
fi

# compare LABEL: fwkit -c with the default bound and one at a time, each
# beside the bare runs at the same bound; the kinds of run alternate, so that
# all see the same load of the machine.
compare() {
  local side=() bare_side=() one=() bare_one=() f b
  for _ in $(seq "$runs"); do
    side+=("$(time_fwkit "$adapters")")
    bare_side+=("$(time_bare "$jobs")")
    one+=("$(time_fwkit "$adapters" FWKIT_QUERY_JOBS=1)")
    bare_one+=("$(time_bare 1)")
  done
  printf '%s (%s):\n' "$1" "$parse_text"
  for kind in side one; do
    if [ "$kind" = side ]; then
      f=$(printf '%s\n' "${side[@]}" | median); b=$(printf '%s\n' "${bare_side[@]}" | median)
      printf '  side by side (bound %d):\n' "$jobs"
    else
      f=$(printf '%s\n' "${one[@]}" | median); b=$(printf '%s\n' "${bare_one[@]}" | median)
      printf '  one at a time:\n'
    fi
    printf '    fwkit -c                        %8.3f s\n' "$f"
    printf '    bare tool runs                  %8.3f s\n' "$b"
    awk -v f="$f" -v b="$b" -v p="$parse_s" -v l="$beside" \
      'BEGIN {printf "    fwkit / %-24s%8.2f\n", l, f / (b + p)}'
  done
}

compare "$adapters adapters, catalog of $catalog_entries entries, the simulator's Python tool"

# The simulator's tool is a Python program whose start dwarfs fwkit's own
# work. A shell stand-in that prints the same report shows that work closer.
mkdir -p nic_fw/.bench
while read -r address; do
  ./nic_fw/mstflint -d "$address" q >"nic_fw/.bench/$address"
done <"$work/addresses"
mv nic_fw/mstflint nic_fw/mstflint.sim
printf '#!/bin/sh\nexec cat "./nic_fw/.bench/$2"\n' >nic_fw/mstflint
chmod +x nic_fw/mstflint
compare "$adapters adapters, catalog of $catalog_entries entries, an instant tool"
