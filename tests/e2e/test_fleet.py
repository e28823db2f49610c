"""The fleet rollout of contrib/ansible: the real ansible-playbook over simulated hosts, each its own
server, reached with the local connection; fwkit_command runs fwkit inside that server."""

import csv
import json
import shutil
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

ANSIBLE = Path(__file__).resolve().parents[2] / "contrib" / "ansible"
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
    "noadapter": [{"address": "0000:01:00.0", "class": "0x010802", "vendor": "0x144d",
                   "device": "0xa808"}],
}


@pytest.fixture
def fleet(server, tmp_path):
    if shutil.which("ansible-playbook") is None:
        pytest.skip("ansible-playbook is not installed (scripts/setup.sh installs it)")
    servers, lines = {}, ["[fleet]"]
    for name, functions in HOSTS.items():
        s = servers[name] = server({"functions": functions})
        wrapper = s.command_script(tmp_path / f"fwkit-{name}")
        lines.append(f"{name} ansible_connection=local fwkit_dir={s.dir} fwkit_command={wrapper}"
                     f" fwkit_reboot_flag={s.run_path('reboot-required')}")
    servers["nocatalog"].remove("nic_fw/NICFWData.xml")
    (tmp_path / "hosts.ini").write_text("\n".join(lines) + "\n")
    return servers


def play(tmp_path, playbook, *args):
    r = subprocess.run(["ansible-playbook", "-i", str(tmp_path / "hosts.ini"), str(ANSIBLE / playbook),
                        "-e", f"fwkit_reports_dir={tmp_path}/reports", *args],
                       cwd=ANSIBLE, capture_output=True, text=True, timeout=600)
    summary = json.loads((tmp_path / "reports" / "summary.json").read_text())
    with open(tmp_path / "reports" / "summary.csv", newline="") as table:
        assert list(csv.DictReader(table)) == summary["adapters"]
    return r, summary


def outcomes(summary):
    return {(row["host"], row["address"]): (row["action"], row["outcome"]) for row in summary["adapters"]}


def test_discovery_then_rolling_updates_over_five_hosts(fleet, tmp_path):
    s = fleet
    reports = tmp_path / "reports"
    r, summary = play(tmp_path, "discover.yml")
    assert r.returncode == 0, r.stdout
    assert summary["totals"] == {"rewrite": 1, "upgrade": 4}
    assert {(row["host"], row["address"], row["installed"], row["available"]) for row in summary["adapters"]} == {
        ("uptodate", "0000:04:00.0", NEW5, NEW5), ("mixed", "0000:04:00.0", "16.27.2008", NEW5),
        ("mixed", "0000:05:00.0", "14.31.1014", NEW4), ("upgrade", "0000:04:00.0", "16.27.2008", NEW5),
        ("upgrade", "0000:05:00.0", "14.31.1014", NEW4)}
    [failed] = summary["failed"]
    assert (failed["host"], failed["status"]) == ("nocatalog", 1)
    assert "nic_fw/NICFWData.xml" in failed["last_event"]
    assert summary["no_adapter"] == ["noadapter"]
    assert "No adapter of PCI vendor 0x15B3 found on this server" in s["noadapter"].log()
    assert sorted(p.name for p in reports.glob("*.xml")) == ["mixed.xml", "upgrade.xml", "uptodate.xml"]

    r, summary = play(tmp_path, "rollout.yml", "--check")
    assert r.returncode == 0, r.stdout
    assert all(server.burns() == [] for server in s.values())
    assert outcomes(summary)[("mixed", "0000:05:00.0")] == ("upgrade", "would burn " + NEW4)
    assert outcomes(summary)[("uptodate", "0000:04:00.0")] == (
        "rewrite", "held back: fwkit_allow_rewrite is false")

    # One host at a time, stopping at the first failure: "mixed" comes before "upgrade".
    r, summary = play(tmp_path, "rollout.yml")
    assert r.returncode == 2
    assert (s["mixed"].firmware("0000:04:00.0"), s["mixed"].firmware("0000:05:00.0")) == (NEW5, "14.31.1014")
    assert s["uptodate"].burns() == [] and s["upgrade"].burns() == []
    assert outcomes(summary)[("mixed", "0000:04:00.0")] == ("upgrade", "burned " + NEW5)
    assert outcomes(summary)[("mixed", "0000:05:00.0")] == ("upgrade", "not burned")
    assert [row["reset_pending"] for row in summary["adapters"] if row["host"] == "mixed"] == ["16.27.2008", ""]
    assert [(f["host"], f["step"], f["status"]) for f in summary["failed"]] == [
        ("mixed", "rollout", 2), ("nocatalog", "discovery", 1)]
    assert summary["not_reached"] == ["upgrade"]
    assert summary["reboot_required"] == ["mixed"]

    # The operator holds back one adapter in the reviewed reports; batches of two tolerate 50 %.
    for host, address in (("upgrade", "0000:05:00.0"), ("mixed", "0000:04:00.0")):
        tree = ET.parse(reports / f"{host}.xml")
        for device in tree.iter("device"):
            if device.find("device_id").get("value") == address:
                device.find("fw_item/action").set("value", "Nothing")
        tree.write(reports / f"{host}.xml", encoding="UTF-8", xml_declaration=True)
    mixed_burns = len(s["mixed"].burns())
    r, summary = play(tmp_path, "rollout.yml", "-e", "fwkit_use_reports=true", "-e", "fwkit_serial=2",
                      "-e", "fwkit_max_fail_percentage=50")
    assert r.returncode == 2
    assert [b[3] for b in s["mixed"].burns()[mixed_burns:]] == ["0000:05:00.0"]
    assert [b[3] for b in s["upgrade"].burns()] == ["0000:04:00.0"]
    assert (s["upgrade"].firmware("0000:04:00.0"), s["upgrade"].firmware("0000:05:00.0")) == (NEW5, "14.31.1014")
    assert outcomes(summary)[("upgrade", "0000:05:00.0")] == ("Nothing", "")
    assert summary["reboot_required"] == ["mixed", "upgrade"]
    assert summary["not_reached"] == [] and s["uptodate"].burns() == []

    if shutil.which("ansible-lint"):
        lint = subprocess.run(["ansible-lint", "discover.yml", "rollout.yml", "roles/fwkit"],
                              cwd=ANSIBLE, capture_output=True, text=True)
        assert lint.returncode == 0, lint.stdout + lint.stderr
