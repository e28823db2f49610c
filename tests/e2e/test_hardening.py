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


@pytest.mark.parametrize("closed", [False, True], ids=["streams_open", "streams_closed"])
def test_the_burn_lock_outlives_a_killed_run_and_follows_no_planted_link(server, closed):
    s = server({"functions": [dict(fn, burn={"seconds": 15}) for fn in (CX5, CX4)]})
    # With 1 and 2 closed (0 too breaks umockdev), the burn's redirection must not take the lock.
    first = (s.start_command(["sh", "-c", 'exec "$0" -y >&- 2>&-', s.fwkit]) if closed
             else s.start("-y"))
    s.wait_for_calls(4)  # two adapter queries, the image query, then the first burn
    first.signal(signal.SIGKILL)
    assert first.wait().status == 128 + signal.SIGKILL
    r = s.run("-y")  # the orphaned burn still runs
    assert r.status == 1 and len(s.burns()) == 1
    assert "another firmware upgrade is running on this server (lock /run/fwkit.lock)" in r.err
    calls = len(s.calls())
    for mode in ("-c", "-d"):  # no adapter is asked in the middle of its burn
        r = s.run(mode)
        assert (r.status, len(s.calls())) == (1, calls)
        assert r.err.startswith("FWUPG_ERROR: another firmware upgrade is running on this server")
    assert stat.S_IMODE(os.stat(s.run_path("fwkit.lock")).st_mode) == 0o600
    s.run_path("fwkit.lock").unlink()
    s.run_path("fwkit.lock").symlink_to("/run/lock/fwkit.lock")
    r = s.run("-y")
    assert r.status == 1 and len(s.burns()) == 1 and not s.run_path("lock/fwkit.lock").exists()
    assert r.err.startswith("FWUPG_ERROR: could not open /run/fwkit.lock (40), run_lock.cc,")


def moved_on(s, report, version="16.35.1000", running=None):
    state = s.state()
    for fn in state["functions"][2:4]:  # both physical functions of 0000:04:00
        fn["firmware"] = version
        if running:
            fn["running"] = running
    s.write("nic_fw/.sim/server.json", json.dumps(state))
    return report


HOLDS = "0000:04:00.0 already holds 16.28.2006, the version its plan asks for; nothing to burn"


REPORTS = [  # how the -d report or the server changed before -u; status, burned, event, stderr
    (moved_on, 2, ["0000:01:00.0", "0000:81:00.0"],
     "report is stale for 0000:04:00.0: it runs 16.35.1000 now, so \"upgrade\" to 16.28.2006", ""),
    # A rerun of a plan an earlier run carried out: done, not stale; one still waiting for its reset
    # is told so and flags the reboot.
    (lambda s, r: moved_on(s, r, "16.28.2006"), 0, ["0000:01:00.0", "0000:81:00.0"], HOLDS, ""),
    (lambda s, r: moved_on(s, r, "16.28.2006", "16.26.1040"), 0, ["0000:01:00.0", "0000:81:00.0"],
     HOLDS + "\n\n[WARNING]   0000:04:00.0 holds 16.28.2006 but runs 16.26.1040 until a reset; reboot", ""),
    (lambda s, r: re.sub(r'"16\.26\.1040"/>(\s*<action value=")upgrade', r'"16.28.2006"/>\1rewrite', r),
     2, ["0000:01:00.0", "0000:81:00.0"],
     "report is stale for 0000:04:00.0: it runs 16.26.1040 now, so \"rewrite\" to 16.28.2006", ""),
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
    "adapter_moved_on", "already_burned", "already_burned_reset_pending", "rewrite_of_an_older_version",
    "another_boards_identity", "listed_five_times", "slot_0x51", "dtd", "broken_xml", "forged_mac"])
def test_a_report_applied_later_burns_only_what_still_holds(server, change, status, burned,
                                                            event, err):
    s = server()
    if not SAMPLE_REPORT:  # one -d for the whole table: the sample server's report
        assert s.run("-d").status == 0
        SAMPLE_REPORT.append(s.read("nicdiscovery.xml"))
    s.write("nicdiscovery.xml", change(s, SAMPLE_REPORT[0]))
    r = s.run("-u", "nicdiscovery.xml")
    assert (r.status, [b[b.index("-d") + 1] for b in s.burns()]) == (status, burned)
    assert event in s.log() and re.fullmatch(err, r.err), s.log()
    assert "[ERROR]" not in s.log() or status != 0
    assert s.run_path("reboot-required").exists() == bool(burned)
    assert not re.search(r"^\[INFO\] +MAC forged", s.log(), re.M)


def test_outside_text_reaches_the_log_and_the_terminal_only_cleaned(server):
    psid = "\x1b]0;owned\x07\x1b[2J\u009b2J\n"
    s = server({"functions": [CX5, dict(CX4, query_output=f"FW Version: 14.31.1014\nPSID: {psid}")]})
    catalog = s.read("nic_fw/NICFWData.xml")
    s.write("nic_fw/NICFWData.xml", catalog.replace('"ConnectX-5 EN', f'"CX5&#13;&#10;{FORGED}'))
    r = s.run("-y")
    assert r.status == 0 and "PSID ?]0;owned??[2J?2J\n" in r.out
    assert not re.search("[\x1b\x9b]", r.out + s.log())
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


@pytest.mark.parametrize("plant, error", [
    (lambda s: os.symlink(s.run_path("planted"), s.path("mstflint.log")), 40),
    (lambda s: (s.write("mstflint.log", ""), os.chown(s.path("mstflint.log"), 65534, 65534)), 1)],
    ids=["link", "another_users_file"])
def test_the_event_log_is_never_followed_through_a_link_nor_another_users(server, plant, error):
    s = server()
    plant(s)
    r = s.run("-c")
    assert (r.status, s.calls(), s.run_path("planted").exists()) == (1, [], False)
    assert r.err.startswith(f"FWUPG_ERROR: could not open mstflint.log ({error}), event_log.cc,")


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
                         " && : >/run/full/log && head -c 4096 /dev/zero >/run/full/fill"
                         " && : >mstflint.log && mount --bind /run/full/log \"$PWD/mstflint.log\"").status == 0
    # fwkit enters the working directory inside the server's mounts, where the log is the full one.
    r = s.run_command("sh", "-c", 'cd "$PWD" && exec "$0" -y', s.fwkit)
    assert (r.status, len(s.burns())) == (0, 3)
    assert re.fullmatch(r"FWUPG_ERROR: could not write to mstflint.log \(28, No space left on "
                        r"device\), event_log.cc,\d+\n", r.err), r.err


REMEDY = ("; fwkit runs only a repository that only root can change\nHand the repository to root (sudo "
          "chown -R root:root DIR && sudo chmod -R go-w DIR), or copy it as root into a directory that "
          "only root can write, without keeping owners and modes (cp -r, not cp -a, from a USB stick or "
          "an NFS share), and run fwkit there.\n")


def away(s, rel):  # rel made a link to a copy in a directory of uid 65533
    (s.root / "elsewhere").mkdir()
    os.chown(s.root / "elsewhere", 65533, 0)
    os.symlink(s.path(rel).rename(s.root / "elsewhere" / "tool"), s.path(rel))


def sudo_only_fwkit(s):  # uid 65534's copy, run through a sudoers rule (seen in the server alone)
    for p in [s.root, *s.root.rglob("*")]:
        os.lchown(p, 65534, 0)
    (rule := s.root / "sudoers").write_text(f"nobody ALL=(root) NOPASSWD: {s.fwkit}\n")
    rule.chmod(0o440)
    return ["sh", "-c", 'mount --bind "$0" /etc/sudoers && exec env -u LD_PRELOAD runuser -u nobody -- '
            'sudo -n "$1" -c', rule, s.fwkit]


UNTRUSTED = [  # what root must not run or read, run by sudo for uid 65534: mode, change, complaint
    ("-c", lambda s: os.chmod(s.path("nic_fw/mstflint"), 0o757), "nic_fw/mstflint is writable by others"),
    ("-d", lambda s: os.chmod(s.path("nic_fw"), 0o775), "nic_fw is writable by its group"),
    ("-y", lambda s: os.chown(s.path("nic_fw/NICFWData.xml"), 65533, 0),
     "nic_fw/NICFWData.xml is owned by uid 65533"),
    ("-c", lambda s: away(s, "getmlnxinfo"), "getmlnxinfo leads through {root}/elsewhere, which is owned by uid 65533"),
    ("-c", lambda s: os.chown(s.root, 65533, 0), "{root}/work lies in {root}, which is owned by uid 65533"),
    ("-c", sudo_only_fwkit, "{root}/work lies in {root}, which is owned by uid 65534"),
]


@pytest.mark.parametrize("mode, change, complaint", UNTRUSTED, ids=[
    "tool_open_to_all", "folder_open_to_group", "catalog_of_a_user", "tool_linked_into_a_users_folder",
    "working_directory_in_a_users_folder", "a_user_whom_sudoers_lets_run_fwkit_only"])
def test_a_repository_that_others_can_change_is_refused_before_any_tool_runs(server, mode, change,
                                                                             complaint):
    s = server({"functions": [CX5]})
    argv = change(s)
    r = s.run_command(*argv) if argv else s.run(mode, env={"SUDO_UID": "65534"})
    assert (r.status, r.err, s.calls(), s.log()) == (
        1, "FWUPG_ERROR: " + complaint.format(root=s.root) + REMEDY, [], "")


def test_images_others_can_change_or_whose_query_hangs_are_not_burned(server):
    hung, image = {"file": "CX4LX_EN_25G_2P_14.32.1010.bin", "version": "14.32.1010", "psid": CX4["psid"],
                   "query_hangs": True}, "./nic_fw/CX5_EN_25G_2P_16.28.2006.bin"
    s = server({"functions": [CX5, CX4], "images": [hung]})
    os.chmod(s.path(image), 0o666)
    r = s.run("-y", env={"FWKIT_QUERY_TIMEOUT": "2"})
    assert (r.status, s.burns()) == (2, [])
    assert r.err == f"FWUPG_ERROR: {image} is writable by others" + REMEDY
    assert not [c for c in s.call_lines() if image in c]
    assert f"Refused to burn image {image[9:]} on {CX5['address']}: {image} is writable by others\n" in s.log()
    assert f"Image {hung['file']} could not be read by the firmware tool (no answer within 2 seconds, " \
           "FWKIT_QUERY_TIMEOUT)\n" in s.log()


def test_a_console_gone_before_the_run_still_gets_every_adapter_burned_and_flagged(server):
    s = server()
    # Nobody reads the pipe by the time fwkit writes; a tight umask changes no mode it sets.
    r = s.run_command("sh", "-c", 'exec 3>&1; { sleep 1; umask 077; "$0" -y; echo "fwkit $?" >&3; } | true',
                      s.fwkit)
    assert (r.out, len(s.burns()), s.log().count("Upgrade SUCCESS")) == ("fwkit 0\n", 3, 3)
    assert [stat.S_IMODE(os.stat(p).st_mode) for p in (s.path("mstflint.log"), s.run_path(
        "reboot-required"), s.run_path("reboot-required.pkgs"))] == [0o644] * 3
