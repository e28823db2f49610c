"""Upgrade runs on simulated servers: fwkit, fwkit -s, fwkit -s -F, fwkit -y."""

import signal
from collections import Counter
from dataclasses import dataclass

import pytest

from conftest import ROW

# Boards by PCI device id with their catalog images; a board's PSID is MT_ and its id.
CX5, CX4, CX6 = "1017", "1015", "101B"
ROMS = {CX5: ["16.27.2008", "16.28.2006"], CX4: ["14.31.1014", "14.32.1010"],
        CX6: ["20.31.1014", "20.32.1010"]}
A2, A3, A4, A8 = "0000:02:00.0", "0000:03:00.0", "0000:04:00.0", "0000:08:00.0"


def images(device, roms=None, last_file=None):
    """Catalog entries of a board's images, in files VERSION.bin (last_file: the last one's)."""
    roms = roms or ROMS[device]
    return [{"venid": "15B3", "devid": device, "subvenid": "15B3", "PSID": f"MT_{device}",
             "subdevid": device, "rom": rom,
             "fwFile": last_file if last_file and i == len(roms) - 1 else f"{rom}.bin"}
            for i, rom in enumerate(roms)]


CATALOG = (*images(CX5), *images(CX4), *images(CX6))


def adapter(address, device=None, firmware=None, **burn):
    """A PCI function: no device, another vendor's; no firmware, the tool cannot read it."""
    fn = {"address": address, "class": "0x020000", "vendor": "0x15b3" if device else "0x8086",
          "device": f"0x{device}" if device else "0x1521"}
    if firmware:
        fn.update(firmware=firmware, psid=f"MT_{device}")
    if burn:
        fn["burn"] = burn
    return fn


def versions(address, running, roms):
    """The console lines of image selection for one adapter (up to date: runs the last listed)."""
    newer = running != roms[-1]
    text = (f"Repository has New firmware version for interface {address}"
            ".................Please flash the newer version\n" if newer else "")
    text += (f"\nCurrent Firmware Version is {running} on {address} \n"
             "Repository has these firmware versions............")
    text += "".join(f"[{i}] Image Version  {rom}\n" for i, rom in enumerate(roms, 1))
    return text + ("" if newer else "Repository doesn't have newer firmware version, Installed "
                   "firmware version is the latest one..........Please Quit the updation.\n")


def flashed(address):
    return f"Firmware Flashed:\tSUCCESS  for interface {address}\n\n"


ASK_YES = "Would you like to flash the firmware?\n y/n/q (y):"
ASK_NO = "Would you like to flash the firmware?\n y/n/q (n):"
COMPLETE = ("\nNIC firmware update complete.\n\n\n"
            "Please Reboot node for new image to be loaded into silicon\n\n")
WITH_ERRORS = "\nNIC firmware update completed with errors. \n"
CANCELLED = "\nFirmware upgrade cancelled by User \n"
INCOMPLETE = "\nNIC firmware update did not complete.  Check log for errors. \n"
ERROR, WARNING, INFO = "[ERROR]    ", "[WARNING]  ", "[INFO]     "
LATEST = (WARNING, "*** WARNING *** - Installed firmware is the latest firmware\n")
SUCCESS = (INFO, "MAC              Upgrade SUCCESS\n")
REFUSED = (ERROR, "Firmware upgrade refused: another firmware upgrade is running on this server, "
                  "or its lock could not be taken; nothing was flashed\n")
PATIENCE = (INFO, "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n")


def check_log(s, events):
    """Each event is logged as often as listed, and the [ERROR] events listed are all there are."""
    log, counts = s.log(), Counter(events)
    assert {(tag, text): log.count(f"{tag} {text}") for tag, text in counts} == counts, log
    assert log.count(ERROR) == sum(tag == ERROR for tag, _ in events), log


def line(address, rom):
    return f"./nic_fw/mstflint -y -d {address} -i ./nic_fw/{rom}.bin b"


@dataclass
class Case:
    """A server's adapters (and catalog), how fwkit is run, and all the run must leave behind: its
    status and console tail, the (address, version) burns in order, the events of the log."""
    adapters: list
    status: int
    tail: str = ""
    args: tuple = ()
    input: str = ""
    burned: tuple = ()
    events: tuple = ()
    catalog: tuple = CATALOG
    pty: bool = False


def check(s, c):
    """One run of fwkit, and all it must leave behind."""
    r = s.run(*c.args, input=c.input, pty=c.pty)
    silent = bool(c.args) and c.args[0].startswith("-s")
    out = r.out
    # Interactive runs on a terminal show a progress line during a burn, then blank it out.
    start, done = out.find("\rBurning firmware on "), out.find("Firmware Flashed:")
    assert (start >= 0) == (c.pty and not silent), out
    if start >= 0:
        progress = out[start:done]
        blanks = len(progress) - progress.rfind("\r", 0, len(progress) - 1) - 2
        assert "%" in progress and progress.endswith("\r" + " " * blanks + "\r"), progress
        out = out[:start] + out[done:]
    assert r.status == c.status, (out, r.err)
    assert out.endswith((f"{ROW}\n\n" if silent else "") + c.tail), out
    assert r.err == "" and "\r" not in out
    assert not (c.args and "y/n/q" in out + s.log())
    check_log(s, list(c.events))
    expected = [(["-s"] if silent else []) + ["-y", "-d", a, "-i", f"./nic_fw/{rom}.bin", "b"]
                for a, rom in c.burned]
    assert s.burns() == expected
    flash = {fn["address"]: fn.get("firmware", "") if "outcome" in fn.get("burn", {})
             else dict(c.burned).get(fn["address"], fn.get("firmware", "")) for fn in c.adapters}
    assert {address: s.firmware(address) for address in flash} == flash


TWO = [adapter(A4, CX5, "16.26.1040"), adapter(A8, CX4, "14.32.1010")]
ASK2 = versions(A8, "14.32.1010", ROMS[CX4]) + ASK_NO
FIRST = [(A4, "16.28.2006")]

REPLIES = [
    Case(TWO, 0, flashed(A4) + ASK2 + COMPLETE, input="\n\n", burned=FIRST,
         events=[(INFO, ASK_YES + " \n\n"), (INFO, ASK_NO + " \n\n"), LATEST, SUCCESS]),
    Case(TWO, 0, flashed(A8) + COMPLETE, input="Y\nYES\n", burned=[*FIRST, (A8, "14.32.1010")],
         events=[SUCCESS, SUCCESS]),
    Case(TWO, 0, ASK2, input="N\nnope\n",
         events=[(INFO, ASK_YES + " N\n\n"), (INFO, ASK_NO + " nope\n\n"), LATEST]),
    Case(TWO, 0, ASK2, input="y" * 10000 + "\n\n",
         events=[(INFO, ASK_YES + " " + "y" * 499 + "... (10000 characters)\n\n")]),
    Case(TWO, 3, ASK_YES + CANCELLED, input="quit\n", events=[(INFO, ASK_YES + " quit\n\n")]),
    Case(TWO, 3, ASK2 + CANCELLED, input="\nQUIT\n", burned=FIRST,
         events=[(INFO, ASK_NO + " QUIT\n\n"), SUCCESS]),
    Case(TWO, 3, ASK2 + "Unknown input problem!\nQuit...\n" + CANCELLED, input="n",  # then the end
         events=[(INFO, ASK_YES + " n\n")]),
]


@pytest.mark.parametrize("case", REPLIES, ids=lambda c: repr(c.input[:12]))
def test_replies_decide_what_is_burned(server, case):
    check(server({"catalog": CATALOG, "functions": TWO}), case)


# 03 and 08 behind, 04 up to date, 02 not the vendor's.
MIXED = [adapter(A2), adapter(A3, CX6, "20.30.1000"), adapter(A4, CX5, "16.28.2006"),
         adapter(A8, CX4, "14.31.1014")]
ALL = [(A3, "20.32.1010"), (A4, "16.28.2006"), (A8, "14.32.1010")]


def behind(**burn):  # 04 behind, as the only adapter
    return [adapter(A4, CX5, "16.26.1040", **burn)]


OUTCOMES = {
    "no adapter of the vendor": Case([adapter(A2)], 1, INCOMPLETE),
    "no adapter the tool can read": Case([adapter(A4, CX5)], 2, INCOMPLETE, input="y\n"),
    "c flashes one and asks no more": Case(
        [MIXED[1], *behind(), MIXED[3]], 0, versions(A3, "20.30.1000", ROMS[CX6]) + ASK_YES
        + flashed(A3) + COMPLETE, input="c\ny\ny\n", burned=[ALL[0]],
        events=[(INFO, ASK_YES + " c\n\n"), SUCCESS]),
    "a failed burn (exit code 255) and two successful ones": Case(
        [MIXED[1], *behind(outcome="flash_write_error", exit_code=255), MIXED[3]], 2,
        versions(A8, "14.31.1014", ROMS[CX4]) + ASK_YES + flashed(A8) + WITH_ERRORS,
        input="y\ny\ny\n", burned=ALL,
        events=[(ERROR, f"Upgrade failed\n {line(A4, '16.28.2006')}\n"), SUCCESS, SUCCESS, PATIENCE,
                (ERROR, f"burn of {A4} (16.26.1040 to 16.28.2006) failed: -E- Burning FS3 image "
                        "failed: Flash write error\n")]),
    "silent, all up to date": Case([MIXED[2], adapter(A8, CX4, "14.32.1010")], 1, args=["-s"],
                                   events=[LATEST, LATEST]),
    "silent, up to date but one without catalog image": Case(
        [MIXED[1], MIXED[2]], 0, args=["-s"], catalog=images(CX5),
        events=[LATEST, (ERROR, f"For {A3} no matching firmware file in XML\n")]),
    "-s skips the up-to-date one": Case(MIXED, 0, args=["-s"], burned=[ALL[0], ALL[2]],
                                        events=[LATEST, SUCCESS, SUCCESS]),
    "-s -F re-flashes it": Case(MIXED, 0, args=["-s", "-F"], burned=ALL, events=[
        LATEST, SUCCESS, SUCCESS, SUCCESS, (INFO, f"{A4} (PSID MT_{CX5}): 16.28.2006 to 16.28.2006 "
                                                  "(same version: forced), burn 2 of 3, verified\n")]),
    "-y flashes all without asking": Case(
        MIXED, 0, versions(A3, "20.30.1000", ROMS[CX6]) + flashed(A3)
        + versions(A4, "16.28.2006", ROMS[CX5]) + flashed(A4)
        + versions(A8, "14.31.1014", ROMS[CX4]) + flashed(A8) + COMPLETE,
        args=["-y"], input="n\nn\nn\n", burned=ALL),
    "2.10.0 is above 2.9.100": Case(
        [adapter(A4, CX5, "2.9.0")], 0, versions(A4, "2.9.0", ["2.1.0", "2.9.100", "2.10.0"])
        + flashed(A4) + COMPLETE, args=["-y"], burned=[(A4, "2.10.0")],
        catalog=images(CX5, ["2.9.100", "2.10.0", "2.1.0"])),
    "of two images of the highest version, the first one's file": Case(
        behind(), 0, args=["-s"], burned=[(A4, "16.28.2006")], events=[SUCCESS],
        catalog=images(CX5, ["16.28.2006", "16.27.2008", "16.28.2006"], last_file="second.bin")),
    "progress on a terminal": Case(behind(seconds=2), 0, versions(A4, "16.26.1040", ROMS[CX5])
                                   + flashed(A4) + COMPLETE, args=["-y"], burned=[ALL[1]], pty=True),
    "no progress on a terminal in -s": Case(behind(seconds=1), 0, args=["-s"], burned=[ALL[1]],
                                            pty=True),
    # Burns that fail, never a success.
    "a killed burn": Case(behind(outcome="killed"), 2, WITH_ERRORS, args=["-y"], burned=[ALL[1]],
                          events=[(ERROR, f"The firmware tool killed by signal 9 for {A4}\n "
                                          f"{line(A4, '16.28.2006')}\n"),
                                  (ERROR, f"Upgrade failed\n {line(A4, '16.28.2006')}\n"),
                                  (ERROR, f"burn of {A4} (16.26.1040 to 16.28.2006) failed: killed "
                                          "by signal 9\n")]),
    "an n/a image": Case(behind(), 2, WITH_ERRORS, args=["-y"], catalog=images(CX5, last_file="n/a"),
                         events=[(ERROR, f'Refused to burn image "n/a" on {A4}: not a file name '
                                         "inside ./nic_fw/\n"),
                                 (WARNING, "Failed to get firmware image filename from "
                                           "nic_fw/NICFWData.xml\n")]),
}


@pytest.mark.parametrize("what", OUTCOMES)
def test_outcomes_unattended_runs_and_failed_burns(server, what):
    case = OUTCOMES[what]
    check(server({"catalog": case.catalog, "functions": case.adapters}), case)


# A report asking for the upgrade of the board at 04.
REPORT = ('<?xml version="1.0"?>\n<vantrel_rom_discovery version="2.0.0.0"><devices><device>'
          + "".join(f'<{k} value="{v}"/>' for k, v in [
              ("venid", "15B3"), ("devid", CX5), ("subvenid", "15B3"), ("subdevid", CX5),
              ("busnumber", "0000:04"), ("devicenumber", "00"), ("funcnumber", "0")])
          + '<fw_item><type value="ROM"/><firmware_id value="MT_1017"/>'
          '<action value="upgrade"/></fw_item></device></devices></vantrel_rom_discovery>\n')


# While a run burns, a second run is refused. Then a signal lets the burn finish and stops
# the run, or the tool goes away and the next burn fails.
@pytest.mark.parametrize("signo, tool, why", [
    (signal.SIGINT, None, None), (signal.SIGTERM, None, None), (signal.SIGHUP, None, None),
    (0, "", "No such file or directory"), (0, "#!/bin/sh\n", "Permission denied")],
    ids=["SIGINT", "SIGTERM", "SIGHUP", "tool removed", "tool not executable"])
def test_burn_in_progress_refuses_a_second_run_then_signal_or_tool_gone(server, signo, tool,
                                                                        why):
    s = server({"catalog": CATALOG, "functions": [adapter(A4, CX5, "16.26.1040", seconds=3),
                                                  adapter(A8, CX4, "14.31.1014")]})
    run = s.start("-y")
    s.wait_for_calls(4)  # the two queries, the image query, then the first burn
    s.write("r.xml", REPORT)
    for args in (["-s"], ["-u", "r.xml"]):  # neither even queries
        second = s.run(*args)
        assert second.status == 1 and second.err.startswith(
            "FWUPG_ERROR: another firmware upgrade is running on this server (lock /run/fwkit.lock)"
        ), second.err
    assert len(s.calls()) == 4
    if signo == signal.SIGINT:
        run.signal_group(signo)  # a terminal's Ctrl-C: to fwkit, not to the tool's own group
    elif signo:
        run.signal(signo)
    else:
        s.remove("nic_fw/mstflint")
        if tool:
            s.write("nic_fw/mstflint", tool)
    r = run.wait()
    assert r.status == (3 if signo else 2), (r.out, r.err)
    assert r.out.endswith(flashed(A4) + CANCELLED if signo else WITH_ERRORS), r.out
    assert len(s.burns()) == 1
    assert (s.firmware(A4), s.firmware(A8)) == ("16.28.2006", "14.31.1014")
    if signo:  # the burn was seen through, and checked
        assert s.call_lines()[4:] == [f"mstflint -d {A4} q"]
        last = [SUCCESS, (WARNING, f"Firmware upgrade interrupted by signal {signo}: no further "
                                   "adapter is flashed\n")]
    else:  # neither the finished burn nor the next image can be checked
        last = [(ERROR, f"burn of {A4} reported success but the adapter's flash version could "
                        "not be read back\n"),
                (ERROR, "Image 14.32.1010.bin could not be read by the firmware tool (could not "
                        f"be started ({why}))\n")]
    check_log(s, [REFUSED, (ERROR, "read_discovery_report: Another firmware upgrade is running; "
                                   "nothing was burned\n")] + last)
