"""Inventory queries side by side: the same run as one at a time, a hung adapter ended at its time
limit while the run goes on, and a signal during the inventory that leaves no tool behind."""

import signal
from pathlib import Path

import pytest

from conftest import diagnostics


def mlx(address, **keys):
    return {"address": address, "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
            "subsystem_vendor": "0x15b3", "subsystem_device": "0x0020", **keys}


CX5 = {"firmware": "16.26.1040", "psid": "MT_0000000008"}
MIXED = [
    mlx("0000:03:00.0", **CX5, query_seconds=1.5),  # first in the table, answers last
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x8086", "device": "0x1572"},
    mlx("0000:05:00.0", firmware="16.28.2006", psid="MT_0000000008"),
    mlx("0000:06:00.0"),  # the tool cannot open it
    mlx("0000:0b:00.0", firmware="16.27.2008"),  # its report has no PSID line; asked last
    mlx("0000:0a:00.0", device="0x1015", subsystem_device="0x0003", firmware="14.31.1014",
        psid="MT_2420110034"),
    mlx("0000:08:00.0", firmware="16.26.1040", psid="MT_0000000099"),  # not in the catalog
]
UNREAD = ["0000:06:00.0", "0000:0b:00.0"]


def queries(addresses):
    return [f"mstflint -d {a} q" for a in addresses]


def alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1][0] != "Z"
    except FileNotFoundError:
        return False


def test_side_by_side_gives_the_one_at_a_time_run(server):
    s = server({"functions": MIXED})
    one, side = {}, {}
    for env, seen in (({"FWKIT_QUERY_JOBS": "1"}, one), (None, side)):
        log_before, calls_before = s.log(), len(s.calls())
        r = s.run("-c", env=env)
        seen["out"], seen["diagnostics"] = diagnostics(r)
        seen.update(status=r.status, err=r.err, log=s.log()[len(log_before):])
        seen["report status"] = s.run("-d", "report.xml", env=env).status
        seen["report"] = s.read("report.xml")
        seen["calls"] = s.call_lines(calls_before)
    assert {k: v for k, v in one.items() if k != "calls"} == {k: v for k, v in side.items() if k != "calls"}
    assert one["status"] == one["report status"] == 0 and "For 0000:08:00.0 no matching" in one["log"]
    assert "FW_VERSION 16.26.1040, BUS_INFO 0000:03:00.0" in one["out"]
    assert [a for a in UNREAD if f"PSID or FW_Version is not found for {a} interface" not in one["diagnostics"]] == []
    mellanox = sorted(f["address"] for f in MIXED if f["vendor"] == "0x15b3")
    assert one["calls"] == queries(mellanox) * 2  # -c, then -d
    # Side by side, the unread adapters are asked once more, alone, after all the others.
    n = len(mellanox) + 2
    assert len(side["calls"]) == 2 * n
    for block in (side["calls"][:n], side["calls"][n:]):
        assert sorted(block[:-2]) == queries(mellanox) and block[-2:] == queries(UNREAD)


@pytest.mark.parametrize("leaves", [False, True], ids=["in_its_group", "gone_into_ours"])
def test_hung_adapter_is_ended_at_the_limit_and_the_burns_go_on(server, leaves):
    # 05's query answers, but a daemon it leaves holds its output for 30 s: its answer counts.
    s = server({"functions": [mlx("0000:03:00.0", **CX5, query_hangs=True, query_leaves_group=leaves),
                              mlx("0000:04:00.0", **CX5, burn={"seconds": 2}),
                              mlx("0000:05:00.0", **CX5, query_daemon=30)]})
    r = s.run("-y", env={"FWKIT_QUERY_TIMEOUT": "1"})
    assert r.status == 0, r.err
    # A burn longer than the query limit is not cut short.
    assert s.burns() == [["-y", "-d", a, "-i", "./nic_fw/CX5_EN_25G_2P_16.28.2006.bin", "b"]
                         for a in ("0000:04:00.0", "0000:05:00.0")]
    assert s.firmware("0000:04:00.0") == "16.28.2006"
    assert ("[ERROR]     The firmware query of 0000:03:00.0 did not end within 1 seconds and was "
            "stopped\n ./nic_fw/mstflint -d 0000:03:00.0 q 2>&1\n") in s.log()
    hung = [c for c in s.calls() if c["argv"] == ["-d", "0000:03:00.0", "q"]]
    assert len(hung) == 1 and not alive(hung[0]["pid"])
    assert "PSID or FW_Version is not found for 0000:03:00.0 interface" in diagnostics(r)[1]


@pytest.mark.parametrize("signo, to_group", [(signal.SIGINT, True), (signal.SIGTERM, False),
                                             (signal.SIGHUP, False)], ids=["ctrl-c", "term", "hup"])
def test_signal_during_the_inventory_leaves_no_tool_behind(server, signo, to_group):
    s = server({"functions": [mlx("0000:03:00.0", **CX5, query_hangs=True),
                              mlx("0000:04:00.0", **CX5, query_seconds=60),
                              mlx("0000:05:00.0", **CX5, query_hangs=True)]})
    run = s.start("-y")
    s.wait_for_calls(3)
    run.signal_group(signo) if to_group else run.signal(signo)
    r = run.wait()
    assert r.status == 128 + signo and s.burns() == []
    pids = [c["pid"] for c in s.calls()]
    assert len(pids) == 3 and not any(alive(pid) for pid in pids)
