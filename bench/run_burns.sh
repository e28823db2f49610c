#!/usr/bin/env bash
# Times `fwkit -s` on a simulated server of 8 boards whose burn takes 2 s:
# boards burned side by side (FWKIT_BURN_JOBS=8) and one after another
# (FWKIT_BURN_JOBS=1, the default). Each run gets a fresh server and a /run
# of its own (a private mount namespace), so that it takes its own lock.
#
#   bench/run_burns.sh [FWKIT_BINARY] [RUNS]
#
# FWKIT_BINARY defaults to build/fwkit; RUNS (default 3) is the number of
# timed runs of each kind; the median is reported.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
fwkit="$(realpath "${1:-$root/build/fwkit}")"
runs="${2:-3}"
boards=8
burn_seconds=2

[ -x "$fwkit" ] || { echo "no fwkit binary at $fwkit (build first)" >&2; exit 1; }
command -v umockdev-run >/dev/null || { echo "umockdev-run is needed" >&2; exit 1; }

work="$(mktemp -d /tmp/fwkit-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Eight ConnectX-5 boards behind the catalog's version, each burn 2 s long.
python3 - "$work/server.json" "$boards" "$burn_seconds" <<'PY'
import json, sys
path, boards, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
functions = [{"address": f"0000:{0x10 + i:02x}:00.0", "class": "0x020000", "vendor": "0x15b3",
              "device": "0x1017", "firmware": "16.26.1040", "psid": "MT_0000000001",
              "burn": {"seconds": seconds}} for i in range(boards)]
catalog = [{"name": "ConnectX-5", "venid": "15B3", "devid": "1017", "subvenid": "15B3",
            "subdevid": "1017", "PSID": "MT_0000000001", "rom": "16.28.2006",
            "fwFile": "CX5_16.28.2006.bin"}]
json.dump({"name": "burns", "functions": functions, "catalog": catalog}, open(path, "w"))
PY

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# time_burns JOBS: one `fwkit -s` on a fresh server; prints its wall time.
time_burns() {
  local dir="$work/run" start end burned
  rm -rf "$dir"
  python3 "$root/sim/fwsim.py" workdir "$work/server.json" "$dir" >/dev/null
  cd "$dir"
  start=$(now)
  FWKIT_BURN_JOBS=$1 unshare --mount --propagation private sh -c \
    'mount -t tmpfs -o mode=0755 fwkit-bench-run /run && exec "$@"' sh \
    umockdev-run -d server.umockdev -- "$fwkit" -s >"$work/out.txt" 2>"$work/err.txt" || true
  end=$(now)
  burned=$(grep -c ", verified$" mstflint.log || true)
  if [ "$burned" -ne "$boards" ]; then
    echo "expected $boards verified burns, got $burned; stderr:" >&2
    cat "$work/err.txt" >&2
    exit 1
  fi
  cd "$work"
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.6f", b - a}'
}

printf 'fwkit -s, %d boards, burn of %d s each, median of %d runs, %s cores, load average %s\n' \
  "$boards" "$burn_seconds" "$runs" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
side=() one=()
for _ in $(seq "$runs"); do
  side+=("$(time_burns "$boards")")
  one+=("$(time_burns 1)")
done
s=$(printf '%s\n' "${side[@]}" | median)
o=$(printf '%s\n' "${one[@]}" | median)
printf '  side by side (FWKIT_BURN_JOBS=%d)  %8.3f s\n' "$boards" "$s"
printf '  one at a time (FWKIT_BURN_JOBS=1) %8.3f s\n' "$o"
awk -v s="$s" -v o="$o" 'BEGIN {printf "  ratio                             %8.2f\n", o / s}'
