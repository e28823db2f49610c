#!/usr/bin/env python3
"""Times rollout.yml of contrib/ansible over N simulated hosts, for N=1 and N=24 in one run.

    bench/run_fleet_rollout.py [FWKIT_BINARY] [--hosts 1,24] [--runs 3] [--ansible DIR]

--ansible times the playbooks of another copy of contrib/ansible (an older one, say).

Each host is a simulated server with one ConnectX-5 behind the catalog, whose burn takes 2 s,
reached with the local connection; each fwkit run gets a /run of its own (a private mount
namespace), so the hosts burn at once as separate servers would. discover.yml writes the plans
first (not timed); then rollout.yml runs with serial and forks equal to the hosts.

Printed per N, as the median and range of --runs runs: the rollout's wall time and the control
node's CPU seconds per host; and the ratio of the wall times, run by run. Everything
runs on this machine, so the host side is measured apart and taken out: every module run, through
a Python interpreter wrapper that reports the CPU of the module and of all it waited for (the
shell of the burn task, fwkit, the simulated tools). What stays is Ansible's own work:
ansible-playbook, its workers, templating, connections and the control node's own modules.
Orphans are reaped by this process, which makes itself their subreaper, so their CPU is counted.
"""

import argparse
import ctypes
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ANSIBLE = ROOT / "contrib" / "ansible"
FWSIM = ROOT / "sim" / "fwsim.py"
ansible = ANSIBLE  # the folder of the playbooks timed
PR_SET_CHILD_SUBREAPER = 36
BURN_SECONDS = 2
HOST = {"functions": [{"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3",
                       "device": "0x1017", "subsystem_device": "0x0020", "psid": "MT_0000000008",
                       "firmware": "16.27.2008", "burn": {"seconds": BURN_SECONDS}}]}

# Runs Python and appends the CPU seconds of it and of every process it waited for to a file.
MEASURED = """#!/bin/bash
{command} "$@"
status=$?
times >> {ledger}
exit $status
"""
# fwkit in a server of its own: a private /run, the simulated PCI bus. It runs inside a module, so
# its CPU is in the module's line of the ledger already.
FWKIT = """#!/bin/sh
exec unshare --mount --propagation private sh -c \\
  'mount -t tmpfs -o mode=0755 fwkit-bench /run && exec "$@"' sh \\
  umockdev-run -d {host}/server.umockdev -- {fwkit} "$@"
"""


def cpu_of_ledger(path):
    """The CPU seconds of the lines `times` wrote ("0m1.250s 0m0.300s": user, system)."""
    total = 0.0
    for minutes, seconds in re.findall(r"(\d+)m([\d.]+)s", path.read_text() if path.exists() else ""):
        total += int(minutes) * 60 + float(seconds)
    return total


def children_cpu():
    usage = os.times()
    return usage.children_user + usage.children_system


def reap_orphans():
    """Waits for every orphan reparented to this process."""
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


def make_fleet(work, fwkit, hosts):
    ledger = work / "host-side.cpu"
    python = work / "python"
    python.write_text(MEASURED.format(command=sys.executable, ledger=ledger))
    lines = []
    for i in range(hosts):
        name = f"h{i + 1:02d}"
        host = work / name
        subprocess.run([sys.executable, str(FWSIM), "workdir", "-", str(host)], check=True,
                       input=json.dumps(HOST), text=True, capture_output=True)
        command = work / f"fwkit-{name}"
        command.write_text(FWKIT.format(host=host, fwkit=fwkit))
        lines.append(f"{name} ansible_connection=local ansible_python_interpreter={python}"
                     f" fwkit_dir={host} fwkit_command={command} fwkit_reboot_flag={host}/none")
    for path in (python, *work.glob("fwkit-*")):
        path.chmod(0o755)
    (work / "hosts.ini").write_text("\n".join(lines) + "\n")
    return ledger


def playbook(work, name, hosts):
    return subprocess.run(
        ["ansible-playbook", "-i", "hosts.ini", str(ansible / name), "-f", str(hosts),
         "-e", f"fwkit_serial={hosts}"],
        cwd=work, capture_output=True, text=True,
        env=dict(os.environ, ANSIBLE_CONFIG=str(ansible / "ansible.cfg")))


def measure(fwkit, hosts):
    work = Path(tempfile.mkdtemp(prefix="fwkit-fleet-bench."))
    try:
        ledger = make_fleet(work, fwkit, hosts)
        if playbook(work, "discover.yml", hosts).returncode != 0:
            raise SystemExit("discover.yml failed in " + str(work))
        ledger.unlink(missing_ok=True)
        reap_orphans()
        before = children_cpu()
        start = time.monotonic()
        r = playbook(work, "rollout.yml", hosts)
        wall = time.monotonic() - start
        reap_orphans()
        total = children_cpu() - before
        summary = json.loads((work / "fwkit-reports" / "summary.json").read_text())
        burned = summary["burned"]
        if r.returncode != 0 or burned != hosts:
            raise SystemExit(f"rollout.yml ended {r.returncode} with {burned} of {hosts} burned:\n{r.stdout}")
        host_side = cpu_of_ledger(ledger)
        return wall, (total - host_side) / hosts, host_side / hosts
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fwkit", nargs="?", default=str(ROOT / "build" / "fwkit"))
    parser.add_argument("--hosts", default="1,24")
    parser.add_argument("--runs", type=int, default=3, help="runs of each size")
    parser.add_argument("--ansible", default=str(ANSIBLE), help="the folder of the playbooks")
    args = parser.parse_args()
    global ansible
    ansible = Path(args.ansible).resolve()
    fwkit = os.path.realpath(args.fwkit)
    if not os.access(fwkit, os.X_OK):
        raise SystemExit(f"no fwkit binary at {fwkit} (build first)")
    for tool in ("ansible-playbook", "umockdev-run", "unshare"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is needed (scripts/setup.sh installs it)")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise SystemExit("could not become the subreaper of orphaned processes")
    print(f"rollout.yml, one {BURN_SECONDS} s burn per host, serial and forks = hosts, "
          f"{os.cpu_count()} cores, load average "
          + " ".join(open("/proc/loadavg").read().split()[:3]))
    sizes = [int(n) for n in args.hosts.split(",")]
    runs = {hosts: [] for hosts in sizes}
    for _ in range(args.runs):  # the sizes take turns, so that a drift of the machine meets all
        for hosts in sizes:
            runs[hosts].append(measure(fwkit, hosts))
    print(f"median [min-max] of {args.runs} runs")
    print(f"{'hosts':>6} {'wall s':>17} {'control CPU s/host':>19} {'host-side CPU s/host':>21}")
    for hosts in sizes:
        wall, control, host_side = ([run[i] for run in runs[hosts]] for i in range(3))
        print(f"{hosts:>6} {spread(wall, '.1f'):>17} {spread(control, '.2f'):>19} {spread(host_side, '.2f'):>21}")
    if len(sizes) > 1:
        small, large = min(sizes), max(sizes)
        ratios = [big[0] / one[0] for one, big in zip(runs[small], runs[large])]
        print(f"wall time of {large} hosts / {small}, run by run: {spread(ratios, '.2f')}")


def spread(values, form):
    return f"{statistics.median(values):{form}} [{min(values):{form}}-{max(values):{form}}]"

if __name__ == "__main__":
    main()
