"""The fleet rollout of contrib/ansible: the real ansible-playbook over simulated hosts, each its own
server, reached with the local connection; fwkit_command runs fwkit inside that server."""

import csv
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tarfile
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from conftest import FWSIM

ANSIBLE = Path(__file__).resolve().parents[2] / "contrib" / "ansible"
sys.path.insert(0, str(ANSIBLE / "roles" / "fwkit" / "filter_plugins"))
import fwkit_reports  # noqa: E402  (the role's filters, pure functions over a host's text)

CX5 = {"class": "0x020000", "vendor": "0x15b3", "device": "0x1017", "subsystem_device": "0x0020",
       "psid": "MT_0000000008"}
CX4 = {"class": "0x020000", "vendor": "0x15b3", "device": "0x1015", "subsystem_device": "0x0003",
       "psid": "MT_2420110034"}
NEW5, NEW4 = "16.28.2006", "14.32.1010"
HOSTS = {  # in inventory order, so that a serial rollout meets "mixed" before "upgrade"
    "uptodate": [dict(CX5, address="0000:04:00.0", firmware=NEW5)],
    "mixed": [dict(CX5, address="0000:04:00.0", firmware="16.27.2008"),
              dict(CX4, address="0000:05:00.0", firmware="14.31.1014", burn={"outcome": "fail"})],
    "upgrade": [dict(CX5, address="0000:04:00.0", firmware="16.27.2008"),
                dict(CX4, address="0000:05:00.0", firmware="14.31.1014")],
    "nocatalog": [dict(CX5, address="0000:04:00.0", firmware="16.27.2008")],
    "stuck": [dict(CX5, address="0000:04:00.0", firmware="16.27.2008")],  # its reset does nothing
    "noadapter": [{"address": "0000:01:00.0", "class": "0x010802", "vendor": "0x144d",
                   "device": "0xa808"}],
}
# Hostile hosts: their fwkit -d leaves a forged report. "hostile" also answers every task with
# facts that name another reports folder, and comes first, so that run_once tasks run for it.
FORGED = ('<?xml version="1.0" encoding="UTF-8"?>\n<r><version value="0.1"/><devices><device>'
          '<busnumber value="0000:07"/><devicenumber value="00"/><funcnumber value="0"/>'
          '<product_id value="=HYPERLINK(&quot;http://x&quot;)"/><fw_item><firmware_id value="@A1"/>'
          '<active_version value="1.0.0"/><version value="1.0.0"/><action value="rewrite"/></fw_item>'
          '</device></devices></r>\n')
FORGED_REPORTS = {
    "hostile": FORGED.encode(),
    "utf16": ('<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "%s">]><r>&a;&a;&a;</r>' % ("a" * 99)
              ).encode("utf-16-le"),
    "padded": FORGED.replace("<devices>", "<devices>" + " " * 20_000_000).encode(),
}
STEERING_PYTHON = """#!/bin/sh
/usr/bin/python3 "$@" | /usr/bin/python3 -c 'import json, sys
r = json.load(sys.stdin)
r["ansible_facts"] = {"fwkit_reports_dir": "%s", "fwkit_reports_path": "%s"}
print(json.dumps(r))'
"""


@pytest.fixture
def fleet(server, tmp_path):
    if shutil.which("ansible-playbook") is None:
        pytest.skip("ansible-playbook is not installed (scripts/setup.sh installs it)")
    servers, lines = {}, ["[fleet]"]
    elsewhere = tmp_path / "elsewhere"
    python = tmp_path / "steering-python"
    python.write_text(STEERING_PYTHON % (elsewhere, elsewhere))
    for name, report in FORGED_REPORTS.items():
        (tmp_path / name).mkdir()
        (tmp_path / f"{name}.xml").write_bytes(report)
        (tmp_path / f"fwkit-{name}").write_text(f"#!/bin/sh\ncp {tmp_path}/{name}.xml nicdiscovery.xml\n")
    for path in (python, *tmp_path.glob("fwkit-*")):
        path.chmod(0o755)
    lines += [f"{name} ansible_connection=local fwkit_dir={tmp_path / name} fwkit_command={tmp_path}/fwkit-{name}"
              f" fwkit_reboot_flag={tmp_path}/none" for name in FORGED_REPORTS]
    lines[1] += f" ansible_python_interpreter={python}"
    for name, functions in HOSTS.items():
        s = servers[name] = server({"functions": functions})
        wrapper = s.command_script(tmp_path / f"fwkit-{name}")
        reboot = tmp_path / f"reboot-{name}"  # a reset clears /run; "stuck"'s resets nothing
        reboot.write_text(f"#!/bin/sh\nrm -f {s.run_path('reboot-required')}\n"
                          + ("" if name == "stuck" else f"exec {FWSIM} reset {s.dir}\n"))
        reboot.chmod(0o755)
        lines.append(f"{name} ansible_connection=local fwkit_dir={s.dir} fwkit_command={wrapper}"
                     f" fwkit_reboot_flag={s.run_path('reboot-required')} fwkit_reboot_command={reboot}")
    lines.append(f"nodir ansible_connection=local fwkit_dir={tmp_path / 'nodir'}")
    servers["nocatalog"].remove("nic_fw/NICFWData.xml")
    (tmp_path / "hosts.ini").write_text("\n".join(lines) + "\n")
    return servers


ENV = dict(os.environ, ANSIBLE_CONFIG=str(ANSIBLE / "ansible.cfg"))


def play(tmp_path, playbook, *args):
    """ansible-playbook as an operator runs it: in a folder of their own, reports in ./fwkit-reports."""
    r = subprocess.run(["ansible-playbook", "-i", "hosts.ini", str(ANSIBLE / playbook),
                        *args], cwd=tmp_path, capture_output=True, text=True, timeout=900, env=ENV)
    summary = json.loads((tmp_path / "fwkit-reports" / "summary.json").read_text())
    with open(tmp_path / "fwkit-reports" / "summary.csv", newline="") as table:
        assert [row["host"] for row in csv.DictReader(table)] == [row["host"] for row in summary["adapters"]]
    return r, summary


@pytest.mark.parametrize("report, refused", [
    ('<?xml version="1.0" encoding="ISO-8859-1"?><r/>'.encode(), "not UTF-8"),
    (b"\xff\xfe" + "<r/>".encode("utf-16-le"), "not UTF-8"),
    ('<!DOCTYPE r [<!ENTITY a "b">]><r>&a;</r>'.encode(), "report refused: a document type declaration"),
    (b"<r><device>", "report refused: no element found")])
def test_reports_a_host_sends_are_refused(report, refused):
    assert refused in fwkit_reports.parse_report(report.decode("utf-8", "surrogateescape"))[1]


@pytest.mark.parametrize("values, errors", [
    ({"fwkit_dir": "/opt/fwkit", "fwkit_burn_seconds": 900, "fwkit_max_fail_percentage": "12.5"}, []),
    ({"fwkit_dir": "opt/fwkit", "fwkit_burn_jobs": "0", "fwkit_reboot_timeout": "-5", "fwkit_max_fail_percentage": "nan"},
     ["fwkit_dir must be an absolute path, not 'opt/fwkit'", "fwkit_burn_jobs must be a positive whole number, not '0'",
      "fwkit_reboot_timeout must be a positive whole number, not '-5'", "fwkit_max_fail_percentage must be 0 to 100, not 'nan'"])])
def test_role_variables_out_of_range_are_named(values, errors):
    assert fwkit_reports.variable_errors(values) == errors


def outcomes(summary):
    return {(row["host"], row["address"]): (row["action"], row["outcome"]) for row in summary["adapters"]}


def test_plans_then_rolling_updates_over_a_fleet_with_hostile_hosts(fleet, tmp_path):
    s = fleet
    reports = tmp_path / "fwkit-reports"
    r, summary = play(tmp_path, "discover.yml")
    assert r.returncode == 0, r.stdout
    assert summary["totals"] == {"rewrite": 2, "upgrade": 5}
    assert {(row["host"], row["address"], row["installed"], row["available"]) for row in summary["adapters"]} >= {
        ("uptodate", "0000:04:00.0", NEW5, NEW5), ("mixed", "0000:04:00.0", "16.27.2008", NEW5),
        ("mixed", "0000:05:00.0", "14.31.1014", NEW4), ("upgrade", "0000:04:00.0", "16.27.2008", NEW5),
        ("upgrade", "0000:05:00.0", "14.31.1014", NEW4)}
    assert outcomes(summary)[("uptodate", "0000:04:00.0")] == ("rewrite", "up to date")
    failed = {f["host"]: (f["step"], f["status"], f["last_event"]) for f in summary["failed"]}
    assert failed.keys() == {"nocatalog", "nodir", "utf16", "padded"}
    assert failed["nocatalog"][:2] == ("discovery", 1) and "nic_fw/NICFWData.xml" in failed["nocatalog"][2]
    assert failed["nodir"][:2] == ("discovery", None) and str(tmp_path / "nodir") in failed["nodir"][2]
    assert failed["utf16"][2] == "a report that is not UTF-8 is refused"
    assert failed["padded"][2] == "a report over 16 MB is refused"
    assert summary["no_adapter"] == ["noadapter"]
    assert "No adapter of PCI vendor 0x15B3 found on this server" in s["noadapter"].log()
    # The hostile host's facts named another folder: nothing went there; its cells stay text.
    assert not (tmp_path / "elsewhere").exists()
    assert "'=HYPERLINK(\"\"http://x\"\")\",'@A1," in (reports / "summary.csv").read_text()
    sha = hashlib.sha256(s["upgrade"].path("nic_fw/NICFWData.xml").read_bytes()).hexdigest()
    version = ET.parse(reports / "upgrade.xml").find("version").get("value")
    assert summary["run"]["catalog_sha256"] == sha and summary["run"]["fwkit_version"] == "0.1, " + version
    [stamped] = reports.glob("summary-*.json")
    assert stamped.name == "summary-%s.json" % summary["run"]["time"].replace("-", "").replace(":", "")
    plans = {p.name: p.read_bytes() for p in reports.iterdir()}

    # Bad role variables are refused before any host is asked; --check writes nothing here.
    for bad in ("fwkit_burn_jobs=banana", "fwkit_burn_seconds=soon", "fwkit_dir=opt/fwkit"):
        r = subprocess.run(["ansible-playbook", "-i", "hosts.ini", str(ANSIBLE / "rollout.yml"), "-e", bad],
                           cwd=tmp_path, capture_output=True, text=True, env=ENV)
        assert r.returncode == 2 and bad.split("=")[0] in r.stdout, r.stdout
    r = subprocess.run(["ansible-playbook", "-i", "hosts.ini", str(ANSIBLE / "rollout.yml"), "--check"],
                       cwd=tmp_path, capture_output=True, text=True, env=ENV)
    assert r.returncode == 0, r.stdout
    assert all(server.burns() == [] for server in s.values())
    assert re.search(r"mixed +: ok=\d+ +changed=1 ", r.stdout) and re.search(r"uptodate +: ok=\d+ +changed=0 ", r.stdout)
    assert f"0000:05:00.0 ConnectX-4 Lx" in r.stdout and "would burn " + NEW4 in r.stdout
    assert {p.name: p.read_bytes() for p in reports.iterdir()} == plans

    # One host at a time, stopping at the first failure: "mixed" comes before "upgrade" and "stuck".
    reason = "[ERROR] burn of 0000:05:00.0 (14.31.1014 to 14.32.1010) failed: -E- Burning the image failed: flash write error at 0000:05:00.0"
    r, summary = play(tmp_path, "rollout.yml")
    assert r.returncode == 2 and f"fwkit -u ended with status 2: {reason}" in r.stdout
    assert (s["mixed"].firmware("0000:04:00.0"), s["mixed"].firmware("0000:05:00.0")) == (NEW5, "14.31.1014")
    assert s["uptodate"].burns() == [] and s["upgrade"].burns() == []
    assert outcomes(summary)[("mixed", "0000:04:00.0")] == ("upgrade", f"burned {NEW5}, waits for a reboot")
    assert outcomes(summary)[("mixed", "0000:05:00.0")] == ("upgrade", "not burned")
    assert [row["reset_pending"] for row in summary["adapters"] if row["host"] == "mixed"] == ["16.27.2008", ""]
    assert [(f["host"], f["step"], f["status"], f["last_event"]) for f in summary["failed"]] == [
        ("mixed", "rollout", 2, reason), ("padded", "plan", None, "a report over 16 MB is refused"),
        ("utf16", "plan", None, "a report that is not UTF-8 is refused")]
    assert summary["not_reached"] == ["stuck", "upgrade"]
    assert summary["reboot_required"] == ["mixed"] and summary["no_adapter"] == ["noadapter"]
    assert summary["no_plan"] == ["nocatalog", "nodir"]
    assert {p.name: p.read_bytes() for p in reports.glob("*.xml")} == {n: p for n, p in plans.items() if n.endswith(".xml")}

    # Run again in batches of two tolerating 50 %, rebooting: what was burned is done; the operator
    # held back one adapter; "stuck" still runs its old firmware after its reset and fails.
    tree = ET.parse(reports / "upgrade.xml")
    for device in tree.iter("device"):
        if device.find("device_id").get("value") == "0000:05:00.0":
            device.find("fw_item/action").set("value", "Nothing")
    tree.write(reports / "upgrade.xml", encoding="UTF-8", xml_declaration=True)
    mixed_burns = len(s["mixed"].burns())
    for step in ("pre", "post"):  # the operator's tasks around each reboot
        (tmp_path / f"{step}.yml").write_text(
            f"- name: Mark it.\n  ansible.builtin.file:\n    path: '{{{{ fwkit_dir }}}}/{step}'\n    state: touch\n    mode: '0644'\n")
    r, summary = play(tmp_path, "rollout.yml", "-e", "fwkit_serial=2", "-e", "fwkit_max_fail_percentage=50",
                      "-e", "fwkit_reboot=true", "-e", "fwkit_summary_keep=2",
                      "-e", f"fwkit_pre_reboot_tasks={tmp_path}/pre.yml", "-e", f"fwkit_post_reboot_tasks={tmp_path}/post.yml")
    assert r.returncode == 2
    assert [b[3] for b in s["mixed"].burns()[mixed_burns:]] == ["0000:05:00.0"]
    assert [b[3] for b in s["upgrade"].burns()] == ["0000:04:00.0"]
    assert (s["upgrade"].firmware("0000:04:00.0"), s["upgrade"].firmware("0000:05:00.0")) == (NEW5, "14.31.1014")
    assert outcomes(summary)[("upgrade", "0000:04:00.0")] == ("upgrade", "running " + NEW5)
    assert outcomes(summary)[("upgrade", "0000:05:00.0")] == ("Nothing", "")
    assert outcomes(summary)[("mixed", "0000:04:00.0")] == ("upgrade", f"up to date ({NEW5})")
    assert outcomes(summary)[("stuck", "0000:04:00.0")] == ("upgrade", f"burned {NEW5}, waits for a reboot")
    assert {f["host"]: f["last_event"] for f in summary["failed"]}["stuck"] == \
        f"0000:04:00.0 still runs 16.27.2008 after the reboot, its flash holds {NEW5}"
    assert summary["reboot_required"] == ["mixed", "stuck"] and summary["not_reached"] == []
    assert s["uptodate"].burns() == [] and len(list(reports.glob("summary-*.json"))) == 2
    assert [name for name in s if s[name].path("pre").exists() and s[name].path("post").exists()] == ["upgrade", "stuck"]

    # The same plans once more where nothing is left to do: all ok, nothing changed; a host whose
    # plan is gone is discovered first when asked, the others keep their reviewed plans.
    (reports / "uptodate.xml").unlink()
    r, summary = play(tmp_path, "rollout.yml", "--limit", "upgrade,uptodate", "-e", "fwkit_discover_missing=true")
    assert r.returncode == 0 and re.search(r"upgrade +: ok=\d+ +changed=0 +unreachable=0 +failed=0", r.stdout), r.stdout
    assert "uptodate: no plan yet, discovered first" in r.stdout
    run = json.loads(max(reports.glob("summary-*.json")).read_text())
    assert len(s["upgrade"].burns()) == 1 and run["failed"] == [] and run["reboot_required"] == []
    assert outcomes(run)[("upgrade", "0000:04:00.0")] == ("upgrade", f"up to date ({NEW5})")
    assert outcomes(run)[("upgrade", "0000:05:00.0")] == ("Nothing", "")
    assert (reports / "uptodate.xml").exists() and outcomes(run)[("uptodate", "0000:04:00.0")] == ("rewrite", "up to date")

    # A repository tarball a user made, unpacked on one host: root's, with fixed modes; the run's
    # hosts merge into the fleet summary.
    def loosen(member):
        member.uid = member.gid = 1000
        member.mode |= 0o777 if member.isdir() or member.name.endswith("mstflint") else 0o666
        return member
    with tarfile.open(tmp_path / "repo.tgz", "w:gz") as tar:
        tar.add(s["upgrade"].dir / "nic_fw", "nic_fw", filter=loosen)
    r, summary = play(tmp_path, "discover.yml", "--limit", "upgrade", "-e", f"fwkit_repository_src={tmp_path}/repo.tgz")
    assert r.returncode == 0, r.stdout
    modes = {rel: s["upgrade"].path(rel).stat() for rel in (".", "nic_fw", "nic_fw/mstflint", "nic_fw/NICFWData.xml")}
    assert {rel: (st.st_uid, st.st_gid, oct(st.st_mode & 0o7777)) for rel, st in modes.items()} == {
        ".": (0, 0, "0o755"), "nic_fw": (0, 0, "0o755"), "nic_fw/mstflint": (0, 0, "0o755"),
        "nic_fw/NICFWData.xml": (0, 0, "0o644")}
    assert outcomes(summary)[("upgrade", "0000:04:00.0")] == ("rewrite", "up to date")
    assert outcomes(summary)[("mixed", "0000:05:00.0")] == ("upgrade", "not burned")
    assert [row["host"] for row in json.loads(max(reports.glob("summary-*.json")).read_text())["adapters"]] == ["upgrade"] * 2

    # The summary alone, rebuilt from the plans in the folder: no host is asked anything.
    calls = {name: len(server.calls()) for name, server in s.items()}
    (reports / "summary.json").unlink()
    r, summary = play(tmp_path, "rollout.yml", "--tags", "summary")
    assert r.returncode == 0, r.stdout
    assert {name: len(server.calls()) for name, server in s.items()} == calls
    assert outcomes(summary)[("mixed", "0000:04:00.0")] == ("upgrade", "")

    if shutil.which("ansible-lint"):
        lint = subprocess.run(["ansible-lint", "--profile", "production", "discover.yml", "rollout.yml", "roles/fwkit"],
                              cwd=ANSIBLE, capture_output=True, text=True)
        assert lint.returncode == 0, lint.stdout + lint.stderr


def test_hosts_not_reached_become_failed_or_busy_burning_are_named_while_the_others_roll_out(server, tmp_path):
    if shutil.which("ansible-playbook") is None:
        pytest.skip("ansible-playbook is not installed (scripts/setup.sh installs it)")
    with socket.socket() as probe:  # a loopback port where nothing listens
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    seconds = {"busy": 45, "fine": 0, "slow": 4}  # "slow" outlasts its time limit of 2 s
    s = {name: server({"functions": [dict(CX5, address="0000:04:00.0", firmware="16.27.2008",
                                          burn={"seconds": seconds[name]})]}) for name in seconds}
    lines = [f"{name} ansible_connection=local fwkit_dir={x.dir} fwkit_command={x.command_script(tmp_path / f'fwkit-{name}')}"
             f" fwkit_reboot_flag={x.run_path('reboot-required')} fwkit_textfile={x.dir}/metrics/fwkit.prom"
             + (" fwkit_burn_seconds=1" if name == "slow" else "") for name, x in s.items()]
    lines += [f"gone ansible_connection=ssh ansible_host=127.0.0.1 ansible_port={port} fwkit_dir=/nowhere",
              "nobecome ansible_connection=local ansible_become=true ansible_become_user=fwkit-no-such-user fwkit_dir=/nowhere"]
    (tmp_path / "hosts.ini").write_text("\n".join(lines) + "\n")
    s["fine"].path("metrics").mkdir()
    r, summary = play(tmp_path, "discover.yml")
    why = {f["host"]: f["last_event"] for f in summary["failed"]}["gone"]  # ssh's own words vary
    assert summary["not_reached"] == ["gone"] and why.startswith("not reached: ") and "ssh" in why.lower(), why
    assert {f["host"] for f in summary["failed"]} == {"gone", "nobecome"}
    assert s["fine"].path("metrics/fwkit.prom").exists() and not s["busy"].path("metrics").exists()
    reports = tmp_path / "fwkit-reports"
    made = summary["run"]["time"]
    for name in ("gone", "nobecome"):
        shutil.copy(reports / "fine.xml", reports / f"{name}.xml")

    # A burn on "busy" outlives a lost control node; the rollout asks nothing of that host.
    burning = s["busy"].start("-u", "nicdiscovery.xml")
    s["busy"].wait_for_calls(len(s["busy"].calls()) + 3)
    calls = len(s["busy"].calls())
    r, summary = play(tmp_path, "rollout.yml", "-e", "fwkit_serial=4", "-e", "fwkit_max_fail_percentage=100")
    assert r.returncode == 2 and len(s["busy"].calls()) == calls and burning.proc.poll() is None
    failed = {f["host"]: f["last_event"] for f in summary["failed"]}
    assert failed.keys() == {"busy", "gone", "nobecome", "slow"} and failed["busy"] == "another burning run is in progress"
    # At its time limit "slow" was asked to stop: its burn was finished and verified, not cut off.
    assert failed["slow"] == "fwkit -u did not end within 2 s and was stopped after the burns under way" and "burn 1 of 1, verified" in s["slow"].log()
    assert outcomes(summary)[("slow", "0000:04:00.0")] == ("upgrade", f"burned {NEW5}, waits for a reboot")
    assert "become" in failed["nobecome"] and failed["gone"].startswith("not reached: ")
    assert summary["not_reached"] == ["gone"]
    assert outcomes(summary)[("fine", "0000:04:00.0")] == ("upgrade", f"burned {NEW5}, waits for a reboot")

    # A discovery meanwhile: the busy host's plan is shown as older, never as current.
    r, summary = play(tmp_path, "discover.yml", "--limit", "busy")
    assert len(s["busy"].calls()) == calls and burning.proc.poll() is None and burning.wait().status == 0
    assert outcomes(summary)[("busy", "0000:04:00.0")] == ("upgrade", f"older plan (made {made})")
