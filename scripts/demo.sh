#!/usr/bin/env bash
# Installs what is missing, builds, and runs fwkit on the bundled simulated server:
# the inventory (an SR-IOV card's virtual functions left out, a ConnectX-7 seen in two
# PCI domains listed twice but burned once), an unattended upgrade waiting for a reset,
# and a discovery report written and applied.
# The runs take the burn lock and set the reboot flag in /run, so they run as root (fwkit trusts
# only a repository root owns) in a private mount namespace with a /run of its own, as the tests
# do: the machine's /run is left as it was.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" != --in-private-run ]; then
  "$top/scripts/setup.sh"
  "$top/scripts/build.sh" >/dev/null
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  exec $sudo unshare --mount --propagation private -- "$0" --in-private-run
fi
mount -t tmpfs -o mode=0755 fwkit-demo-run /run

fwkit="$top/build/fwkit"
demo="$(mktemp -d /tmp/fwkit-demo.XXXXXX)"
trap 'rm -rf "$demo"' EXIT

step() { printf '\n\033[1m=== %s\033[0m\n' "$*"; }
# Runs fwkit in a working directory laid out for the sample server; standard
# input comes from $answers (the operator's replies), if set.
run() {
  local dir="$1" status=0; shift
  echo "\$ fwkit $*"
  (cd "$dir" && printf '%b' "${answers:-}" | umockdev-run --device server.umockdev -- "$fwkit" "$@") ||
    status=$?
  echo "(exit status $status)"
}

step "A private mount namespace with its own /run: the machine's /run stays as it was"
findmnt --noheadings --output TARGET,SOURCE,FSTYPE /run

"$top/sim/fwsim.py" workdir "$top/sim/servers/sample.json" "$demo/server1" >/dev/null
step "The simulated server's PCI devices"
(cd "$demo/server1" && umockdev-run --device server.umockdev -- lspci -nn)

step "Installed and available firmware"
run "$demo/server1" -c
step "Interactive upgrade: y for the first board (the ConnectX-7 in domains 0000 and 0002, asked once), n for the next"
answers='y\nn\nn\n' run "$demo/server1"
step "The ConnectX-7's flash, as both of its PCI devices see it: one burn"
"$top/sim/fwsim.py" calls "$demo/server1" | grep ' b$'
grep -E 'shares its flash|, verified$' "$demo/server1/mstflint.log"
step "Unattended upgrade of the rest"
run "$demo/server1" -s
step "Installed and available firmware after the upgrade: the adapters wait for a reset"
run "$demo/server1" -c
step "A reset of the adapters (simulated), then the report again"
"$top/sim/fwsim.py" reset "$demo/server1"
run "$demo/server1" -c
step "The event log"
cat "$demo/server1/mstflint.log"

"$top/sim/fwsim.py" workdir "$top/sim/servers/sample.json" "$demo/server2" >/dev/null
step "A discovery report of a second server"
run "$demo/server2" -d report.xml
cat "$demo/server2/report.xml"
step "Applying the report"
run "$demo/server2" -u report.xml
step "What the firmware tool was asked"
"$top/sim/fwsim.py" calls "$demo/server2"
step "Firmware now running on the second server"
"$top/sim/fwsim.py" firmware "$demo/server2"
step "What the runs left in the demo's /run (gone with its mount namespace)"
ls -l /run
