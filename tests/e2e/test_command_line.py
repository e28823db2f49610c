"""Operator sessions about the command line itself: help, refusals, dispatch, the event log."""

import pytest

from conftest import each_row

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

    def refused(args, status, out, banner):
        r = s.run(*args)
        assert (r.status, r.body if banner else r.out) == (status, out)
    each_row(REFUSED, refused)
    assert "invalid option" in s.run("-x").err
    assert s.calls() == []
    assert not s.path("mstflint.log").exists()


@pytest.mark.parametrize("args", [[], ["-s"], ["-y"], ["-c"], ["-d"], ["-u", "report.xml"]],
                         ids=["interactive", "-s", "-y", "-c", "-d", "-u"])
def test_every_mode_ends_when_the_event_log_cannot_be_opened(server, args):
    s = server()
    s.block("mstflint.log")
    r = s.run(*args)
    assert (r.status, r.body, s.calls(), s.path("nicdiscovery.xml").exists()) == (1, "", [], False)
    assert r.err.startswith("FWUPG_ERROR: could not open mstflint.log (21), event_log.cc,"), r.err
