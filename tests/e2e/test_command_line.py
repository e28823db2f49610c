"""Operator sessions about the command line itself: help, refusals, dispatch, the event log."""

import pytest

USAGE = ("USAGE: fwkit [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n"
         "\t With no option, interactively upgrade firmware. \n"
         "\t -s  Silently upgrade firmware.\n"
         "\t -y  Assume default repsonse for all prompts.\n"
         "\t -d  Generates NIC Discovery xml file for currently installed version.\n"
         "\t -c  Display currently installed firmware information.\n"
         "\t -h  Display this help menu.\n")

REFUSED = [  # args, status, output (after the banner when banner is True), banner
    (["-h"], 1, USAGE, False),
    (["-x"], 1, "Unknown command line option: ?\n" + USAGE, False),
    (["-s", "-F", "-y"], 1, USAGE, False),  # screened before -s is parsed
    (["eth0", "-bootenable", "rom"], 0, "", False),
    (["-c", "-y"], 1, USAGE, True),
    (["-c", "-d"], 1, "", True),  # -d suppresses the usage text
]


def test_refused_command_lines_touch_nothing(server):
    s = server()
    for args, status, out, banner in REFUSED:
        r = s.run(*args)
        assert (r.status, r.body if banner else r.out) == (status, out), args
    assert "invalid option" in s.run("-x").err
    assert s.calls() == []
    assert not s.path("mstflint.log").exists()


@pytest.mark.parametrize("args", [[], ["-s"], ["-y"], ["-c"], ["-d"], ["-u", "report.xml"]],
                         ids=["interactive", "-s", "-y", "-c", "-d", "-u"])
def test_every_mode_ends_when_the_event_log_cannot_be_opened(server, args):
    s = server()
    s.block("mstflint.log")
    r = s.run(*args)
    assert r.status == 1
    assert r.err.startswith("FWUPG_ERROR: could not open mstflint.log (21), event_log.cc,"), r.err
    assert r.body == ""
    assert s.calls() == []
    assert not s.path("nicdiscovery.xml").exists()


def test_each_mode_is_reached_on_a_server_without_adapters(server):
    s = server({"functions": [{"address": "0000:01:00.0", "class": "0x010802",
                               "vendor": "0x144d", "device": "0xa808"}]})
    r = s.run()
    assert r.status == 1
    assert "NIC firmware update did not complete." in r.out
    assert s.run("-c").status == 0
    assert s.run("-d").status == 2
    assert not s.path("nicdiscovery.xml").exists()
    assert s.run("-u", "missing.xml").status == 2
    assert "read_discovery_report: Failed to open missing.xml" in s.log()


@pytest.mark.parametrize("script, status, signo", [
    ("cat; echo err >&2; exit 2", 2, 0),  # umockdev-run alone reports the next one as 2 too
    ("cat; echo err >&2; kill -INT $$", 128 + 2, 2),
    ("cat; echo err >&2; kill -KILL $$", 128 + 9, 9)])
def test_runs_report_the_exact_status_and_signal(server, script, status, signo):
    r = server({"functions": []}).run_command("sh", "-c", script, input="in")
    assert (r.status, r.signal, r.out, r.err) == (status, signo, "in", "err\n")
