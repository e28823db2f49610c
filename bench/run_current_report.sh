#!/usr/bin/env bash
# Times `fwkit -c` on a simulated server of 64 adapters with a catalog of
# 10,000 entries, beside the time the 64 firmware-tool queries take alone.
#
#   bench/run_current_report.sh [FWKIT_BINARY] [RUNS]
#
# FWKIT_BINARY defaults to build/fwkit; RUNS (default 5) is the number of
# timed runs of each kind; the median is reported.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
fwkit="$(realpath "${1:-$root/build/fwkit}")"
runs="${2:-5}"
adapters=64
catalog_entries=10000

[ -x "$fwkit" ] || { echo "no fwkit binary at $fwkit (build first)" >&2; exit 1; }
command -v umockdev-run >/dev/null || { echo "umockdev-run is needed" >&2; exit 1; }

work="$(mktemp -d /tmp/fwkit-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# The server: 64 dual-port ConnectX-5 boards (function 0 of each is listed)
# of 8 kinds, and a catalog whose 10,000 entries hold 3 images per kind; the
# rest belong to boards the server does not have.
python3 - "$work/server.json" "$adapters" "$catalog_entries" <<'PY'
import json, sys
path, adapters, entries = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
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
            "firmware": "16.26.1040", "psid": f"MT_00000000{kind:02d}"})
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
json.dump({"name": "bench64", "functions": functions, "catalog_xml": xml}, open(path, "w"))
PY
python3 "$root/sim/fwsim.py" workdir "$work/server.json" "$work/wd" >/dev/null
cd "$work/wd"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.6f", b - a}'; }

# The same 64 queries, run one after another by a shell on the same testbed:
# what the tool invocations alone cost. The two kinds of run alternate, so
# that both see the same load of the machine.
queries=""
for i in $(seq 0 $((adapters - 1))); do
  queries+="./nic_fw/mstflint -d $(printf '0000:%02x:00.0' $((0x10 + i))) q >/dev/null 2>&1; "
done

fwkit_times=()
tool_times=()
for _ in $(seq "$runs"); do
  rm -f mstflint.log
  start=$(now)
  umockdev-run -d server.umockdev -- "$fwkit" -c >"$work/out.txt" 2>"$work/err.txt"
  end=$(now)
  fwkit_times+=("$(elapsed "$start" "$end")")
  # Each inventory leaves its diagnostic file in /tmp; these are ours to remove.
  diag=$(sed -n 's/^If PSID or FW_Version is not found for some interfaces, please check \(\/tmp\/data[A-Za-z0-9]*\)$/\1/p' "$work/out.txt")
  [ -n "$diag" ] && rm -f "$diag"

  start=$(now)
  umockdev-run -d server.umockdev -- sh -c "$queries"
  end=$(now)
  tool_times+=("$(elapsed "$start" "$end")")
done

blocks=$(grep -c "PCI-ID" "$work/out.txt" || true)
rows=$(grep -c "0000:..:00.0$" "$work/out.txt" || true)
if [ "$blocks" -ne "$adapters" ]; then
  echo "expected $adapters report blocks, got $blocks; stderr:" >&2
  cat "$work/err.txt" >&2
  exit 1
fi

fwkit_s=$(printf '%s\n' "${fwkit_times[@]}" | median)
tool_s=$(printf '%s\n' "${tool_times[@]}" | median)
own_s=$(awk -v f="$fwkit_s" -v t="$tool_s" 'BEGIN {printf "%.6f", f - t}')
printf 'fwkit -c, %d adapters, catalog of %d entries (%d report blocks, %d rows), median of %d runs:\n' \
  "$adapters" "$catalog_entries" "$blocks" "$rows" "$runs"
printf '  fwkit -c under umockdev-run                   %8.3f s\n' "$fwkit_s"
printf '  the %d tool queries alone under umockdev-run %8.3f s\n' "$adapters" "$tool_s"
printf '  fwkit itself (the difference)                %8.3f s\n' "$own_s"
