"""A hostile local user's and a careless operator's sessions: the burn lock, reports applied too
late or edited, writes that must not destroy, costly XML, raw outside text, silent skips."""

import json
import os
import re
import signal
import stat

import pytest

from conftest import SAMPLE

CX5, CX4 = ({f["address"]: f for f in SAMPLE["functions"]}[a] for a in ("0000:04:00.0", "0000:81:00.0"))
FORGED = "[INFO]     [Mon Jan  1 00:00:00 2024] MAC forged Upgrade SUCCESS"
PARSER_LINE = r"{}:\d+: parser error : [^\n]+\n"
SAMPLE_REPORT = []


def test_the_burn_lock_outlives_a_killed_run_and_follows_no_planted_link(server):
    s = server({"functions": [dict(fn, burn={"seconds": 15}) for fn in (CX5, CX4)]})
    first = s.start("-y")
    s.wait_for_calls(4)  # two adapter queries, the image query, then the first burn
    first.signal(signal.SIGKILL)
    assert first.wait().status == 128 + signal.SIGKILL
    r = s.run("-y")  # the orphaned burn still runs
    assert r.status == 1 and len(s.burns()) == 1
    assert "another firmware upgrade is running on this server (lock /run/fwkit.lock)" in r.err
    assert stat.S_IMODE(os.stat(s.run_path("fwkit.lock")).st_mode) == 0o600
    s.run_path("fwkit.lock").unlink()
    s.run_path("fwkit.lock").symlink_to("/run/lock/fwkit.lock")
    r = s.run("-y")
    assert r.status == 1 and len(s.burns()) == 1 and not s.run_path("lock/fwkit.lock").exists()
    assert r.err.startswith("FWUPG_ERROR: could not open /run/fwkit.lock (40), run_lock.cc,")


def moved_on(s, report):
    state = s.state()
    for fn in state["functions"][2:4]:  # both physical functions of 0000:04:00
        fn["firmware"] = "16.35.1000"
    s.write("nic_fw/.sim/server.json", json.dumps(state))
    return report


REPORTS = [  # how the -d report or the server changed before -u; status, burned, event, stderr
    (moved_on, 2, ["0000:01:00.0", "0000:81:00.0"],
     "report is stale for 0000:04:00.0: it runs 16.35.1000 now, so \"upgrade\" to 16.28.2006", ""),
    (lambda s, r: r.replace('"1017"', '"1015"').replace('"MT_0000000008"', '"MT_2420110034"'),
     2, ["0000:01:00.0", "0000:81:00.0"],
     "report is stale for 0000:04:00.0: the adapter's PSID is MT_0000000008", ""),
    (lambda s, r: r.replace(d := re.search(r"<device>.*?</device>", r, re.S).group(0), d * 5), 0,
     ["0000:01:00.0", "0000:04:00.0", "0000:81:00.0"], "0000:01:00.0 is listed again", ""),
    (lambda s, r: r.replace('<devicenumber value="00"/>', '<devicenumber value="51"/>', 1), 2,
     ["0000:04:00.0", "0000:81:00.0", "0002:01:00.0"], 'no valid PCI address ("0000:01:51.0")', ""),
    (lambda s, r: r.replace("<vantrel", '<!DOCTYPE v [<!ENTITY e "0000:04">]>\n<vantrel', 1)
     .replace('"0000:04"/>', '"&e;"/>'), 2, [], "Failed to parse nicdiscovery.xml",
     r"nicdiscovery\.xml:\d+: parser error : a document type declaration is not accepted\n"),
    (lambda s, r: r.replace("</devices>", "</device>"), 2, [], "Failed to parse",
     PARSER_LINE.format(r"nicdiscovery\.xml")),
    (lambda s, r: r.replace('<macaddress value=""/>', f'<macaddress value="x&#10;{FORGED}"/>'), 0,
     ["0000:01:00.0", "0000:04:00.0", "0000:81:00.0"], "MAC x?[INFO]", ""),
]


@pytest.mark.parametrize("change, status, burned, event, err", REPORTS, ids=[
    "adapter_moved_on", "another_boards_identity", "listed_five_times", "slot_0x51", "dtd",
    "broken_xml", "forged_mac"])
def test_a_report_applied_later_burns_only_what_still_holds(server, change, status, burned,
                                                            event, err):
    s = server()
    if not SAMPLE_REPORT:  # one -d for the whole table: the sample server's report
        assert s.run("-d").status == 0
        SAMPLE_REPORT.append(s.read("nicdiscovery.xml"))
    s.write("nicdiscovery.xml", change(s, SAMPLE_REPORT[0]))
    r = s.run("-u", "nicdiscovery.xml")
    assert (r.status, [b[b.index("-d") + 1] for b in s.burns()]) == (status, burned)
    assert event in s.log() and re.fullmatch(err, r.err), r.err
    assert not re.search(r"^\[INFO\] +MAC forged", s.log(), re.M)


def test_outside_text_reaches_the_log_and_the_terminal_only_cleaned(server):
    psid = "\x1b]0;owned\x07\x1b[2J\n"
    s = server({"functions": [CX5, dict(CX4, query_output=f"FW Version: 14.31.1014\nPSID: {psid}")]})
    catalog = s.read("nic_fw/NICFWData.xml")
    s.write("nic_fw/NICFWData.xml", catalog.replace('"ConnectX-5 EN', f'"CX5&#13;&#10;{FORGED}'))
    r = s.run("-y")
    assert r.status == 0 and "PSID ?]0;owned??[2J\n" in r.out and "\x1b" not in r.out + s.log()
    assert "Selecting CX5??[INFO]" in s.log() and not re.search(r"^\[INFO\] +MAC forged", s.log(), re.M)


def test_every_one_of_many_catalog_images_counts(server):
    board = {"name": "CX5", "venid": "15B3", "devid": "1017", "subvenid": "15B3",
             "PSID": "MT_0000000008", "subdevid": "0020"}
    catalog = [dict(board, rom=f"16.27.{i}", fwFile=f"cx5_{i}.bin") for i in range(1, 101)]
    s = server({"functions": [CX5], "catalog": catalog + [dict(board, rom="16.28.2006",
                                                                fwFile="cx5_top.bin")]})
    assert "16.28.2006" in s.run("-c").out
    assert s.run("-d").status == 0 and '"16.28.2006"' in s.read("nicdiscovery.xml")
    assert s.run("-s").status == 0 and s.burns()[0][-2] == "./nic_fw/cx5_top.bin"


@pytest.mark.parametrize("catalog, mode", [("", "-s"), ("garbage <", "-c"), ("<c><x/></d>", "-d"), (
    '<!DOCTYPE c [<!ENTITY p "MT_0000000008">]><c><Image venid="15B3" devid="1017" subvenid="1"'
    ' PSID="&p;" subdevid="1" rom="16.28.2006" fwFile="CX5_EN_25G_2P_16.28.2006.bin"/></c>', "-y")],
    ids=["empty", "garbage", "broken_before_any_entry", "dtd"])
def test_a_catalog_without_an_entry_before_its_fault_is_unreadable(server, catalog, mode):
    s = server({"functions": [CX5], "catalog_xml": catalog})
    r = s.run(mode)
    assert (r.status, s.burns(), s.log()) == (1, [], "[ERROR]     Unable to open nic_fw/NICFWData.xml\n\n")
    assert re.fullmatch(PARSER_LINE.format(r"nic_fw/NICFWData\.xml"), r.err), r.err


@pytest.mark.parametrize("fifo, args, status, complaint", [
    ("mstflint.log", ["-c"], 1, "FWUPG_ERROR: could not open mstflint.log ("),
    ("nic_fw/NICFWData.xml", ["-c"], 1, "Unable to open nic_fw/NICFWData.xml"),
    ("report.xml", ["-u", "report.xml"], 2, "read_discovery_report: Failed to open report.xml"),
], ids=["event_log", "catalog", "report"])
def test_a_fifo_in_place_of_a_file_is_refused_not_waited_for(server, fifo, args, status, complaint):
    s = server()
    s.remove(fifo)
    os.mkfifo(s.path(fifo))
    r = s.run(*args, timeout=15)
    assert r.status == status and (complaint in r.err or complaint in s.log())


def test_a_full_disk_under_the_event_log_is_told_once_and_the_burns_go_on(server):
    s = server()
    assert s.run_command("sh", "-c", "mkdir /run/full && mount -t tmpfs -o size=4k full /run/full"
                         " && : >/run/full/log && head -c 4096 /dev/zero >/run/full/fill").status == 0
    os.symlink("/run/full/log", s.path("mstflint.log"))
    r = s.run("-y")
    assert (r.status, len(s.burns())) == (0, 3)
    assert re.fullmatch(r"FWUPG_ERROR: could not write to mstflint.log \(28, No space left on "
                        r"device\), event_log.cc,\d+\n", r.err), r.err
