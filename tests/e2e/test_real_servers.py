"""Servers as they really are: SR-IOV virtual functions, a burned image waiting for a reset, and
the outcomes an operator must be able to tell apart. (The tool's full report is what the simulated
tool prints in every scenario; its other layouts are rows of the unit table in fw_query_test.cc.)"""

import fcntl
import json
import os
import re
import signal
import subprocess

import pytest

from conftest import FWSIM, diagnostics, each_row, poll

A = "0000:04:00.0"
CAT = [{"name": "CX5", "venid": "15B3", "devid": dev, "subvenid": "15B3", "PSID": psid,
        "subdevid": dev, "rom": rom, "fwFile": f"{rom}.bin"} for dev, psid, rom in (
    ("1017", "MT_1", "2.35.5100"), ("1017", "MT_1", "16.28.2006"), ("1021", "MT_7", "28.40.1000"))]


def fn(address, device="1017", **more):
    return {"address": address, "class": "0x020000", "vendor": "0x15b3",
            "device": f"0x{device}", **more}


def card(bus, ports, vfs):
    """A card's physical functions (16.26.1040) and its virtual functions from slot 00.2 on,
    shared out over the ports."""
    pfs = [fn(f"0000:{bus}:00.{p}", firmware="16.26.1040", psid="MT_1") for p in range(ports)]
    slots = [f"0000:{bus}:{d:02x}.{f}" for d in range(3) for f in range(8)][ports:ports + vfs]
    return pfs + [fn(a, "1018", physfn=pfs[i % ports]["address"]) for i, a in enumerate(slots)]


def leaves(s, name, report="nicdiscovery.xml"):
    return re.findall(rf'<{name} value="([^"]*)"/>', s.read(report))


BUSES = ["3b", "5e", "86", "af", "b0", "c1", "d8", "e2"]
SRIOV = {"one card, 8 VFs on two device numbers": (card("84", 1, 8), ["0000:84:00.0"]),
         "eight dual-port cards, 8 VFs each": (sum((card(b, 2, 8) for b in BUSES), []),
                                               [f"0000:{b}:00.0" for b in BUSES]),
         "a guest with one VF in domain 126f": ([fn("126f:00:02.0", "1018")], [])}


@pytest.mark.parametrize("what", SRIOV)
def test_virtual_functions_are_no_adapters(server, what):
    functions, adapters = SRIOV[what]
    s = server({"catalog": CAT, "functions": functions})
    assert s.run("-d").status == (0 if adapters else 2)
    assert sorted(s.call_lines()) == [f"mstflint -d {a} q" for a in sorted(adapters)]
    assert leaves(s, "device_id") == adapters if adapters else not s.path("nicdiscovery.xml").exists()
    assert s.run("-s").status == (0 if adapters else 1)  # a guest has no adapter of the vendor
    assert [argv[3] for argv in s.burns()] == adapters
    audit = [f"{a} (CX5, PSID MT_1): 16.26.1040 to 16.28.2006, burn {n} of {len(adapters)}, verified"
             for n, a in enumerate(adapters, 1)]  # eight burns in a row told apart
    assert re.findall(r"\[INFO\] +(.*, verified)\n", s.log()) == audit


def test_a_burned_image_waits_for_a_reset(server):
    s = server({"catalog": CAT, "functions": card("04", 2, 0)})
    pending, event = "reset pending: running 16.26.1040", f"{A} holds firmware 16.28.2006 but runs"
    assert s.run("-d", "report.xml").status == 0
    r = s.run("-us", "report.xml")  # silent, the report by position
    assert (r.status, r.body) == (0, "") and s.burns()[0][:4] == ["-s", "-y", "-d", A]
    assert s.firmware(A) == "16.28.2006"
    c = s.run("-c").body
    assert f"ROM       16.28.2006    ROM\t\t 2.35.5100\t\t{A}\n" in c
    assert f"\t\t16.28.2006\t\t{A}\n{pending}\n\n" in c
    assert s.run("-d").status == 0 and leaves(s, "message") == [pending]
    assert leaves(s, "active_version") == ["16.28.2006"] and leaves(s, "action") != ["upgrade"]
    assert s.run("-s").status == 1 and len(s.burns()) == 1  # up to date: nothing burned
    assert s.log().count(event) == 3  # -c, -d, -s: one each
    subprocess.run([FWSIM, "reset", s.dir], check=True, capture_output=True)
    assert pending not in s.run("-c").body and s.log().count(event) == 3
    assert s.run("-d").status == 0 and leaves(s, "message") == [""]


def board(addresses, guid, **more):
    """One flash seen as several PCI devices: the first owns it, the others share it."""
    return [fn(addresses[0], "1021", firmware="28.39.1002", psid="MT_7", guid=guid, **more)] + [
        fn(a, "1021", shares_flash=addresses[0]) for a in addresses[1:]]


CX7 = ["0000:01:00.0", "0000:01:00.1", "0002:01:00.0", "0002:01:00.1"]  # two PCI domains
SOCKET_DIRECT = ["0000:3b:00.0", "0000:86:00.0"]  # two buses
# A refurbished lot: a ConnectX-7 whose flash holds the Base GUID of a ConnectX-5.
CLONED = [fn("0000:04:00.0", firmware="16.26.1040", psid="MT_1", guid="0002c90300aabbcc"),
          fn("0000:81:00.0", "1021", firmware="28.39.1002", psid="MT_7", guid="0002c90300aabbcc")]


@pytest.mark.parametrize("args", [["-s"], ["-y"], [], ["-u", "r.xml"]])
def test_one_flash_seen_as_several_pci_devices_is_burned_once(server, args):
    s = server({"catalog": CAT, "functions": board(CX7, "fc4cea0300f94230")
                + board(SOCKET_DIRECT, "N/A") + CLONED})  # no GUID: its Base MAC tells it
    if args[:1] == ["-u"]:  # the report lists the six PCI devices
        assert s.run("-d", "r.xml").status == 0 and len(leaves(s, "device_id", "r.xml")) == 6
    r = s.run(*args, input="\n" * 4)
    assert (r.status, r.out.count("y/n/q")) == (0, 0 if args else 4)
    assert [b[-4] for b in s.burns()] == ["0000:01:00.0", "0000:04:00.0", "0000:3b:00.0", "0000:81:00.0"]
    assert s.firmware(CX7[0]) == s.firmware(SOCKET_DIRECT[0]) == s.firmware("0000:81:00.0") == "28.40.1000"
    log = s.log()
    assert "[ERROR]" not in log and "burn 4 of" in log and "0000:81:00.0 shares" not in log
    assert log.count("[WARNING]   0000:81:00.0 reports the Base GUID 0002c90300aabbcc of 0000:04:00.0 but "
                     "is another board (device 1021, PSID MT_7 against 1017, MT_1); each is burned on its "
                     "own\n") == 1
    for shares, first, guid in [(CX7[2], CX7[0], "GUID fc4cea0300f94230"),
                                (SOCKET_DIRECT[1], SOCKET_DIRECT[0], "MAC 0002c903b000")]:
        assert log.count(f"{shares} shares its flash with {first} (Base {guid}); burned once\n") == 1


WORDINGS = {"PSID mismatch": True, "psid MAJOR mismatch": True, "PSID header mismatch": True,
            "Minor PSID is locked": True, "Image minor PSID (0x0005) is reserved": True,
            "PSID checked; flash write error": False, "semaphore": False, "open_device": False}
REASONS = {"semaphore": "Failed to lock flash semaphore", "open_device": "-E- Failed to open the device"}


def test_psid_refusal_wordings_and_reasons(server):
    adapters = [fn(f"0000:0{i}:00.0", firmware="16.26.1040", psid="MT_1", burn={"outcome": w}
                   if w in REASONS else {"outcome": "psid_mismatch", "mismatch_text": w})
                for i, w in enumerate(WORDINGS, 1)]
    s = server({"catalog": CAT, "functions": adapters})
    s.write("grep", "#!/bin/sh\n: >planted-grep-ran\n", 0o755)  # the empty PATH entry's ./grep
    r = s.run("-s", env={"PATH": ":" + os.environ["PATH"]})
    assert r.status == 2 and not s.path("planted-grep-ran").exists()  # the echo stays as it was:
    assert r.out.count('grep -i -E "PSID( major| header)? mismatch|Minor PSID is locked" /tmp/') == 8

    def refusal(words, refused, fn_):
        burn, reason = f"\n ./nic_fw/mstflint -s -y -d {fn_['address']} -i", REASONS.get(words, f"-E- {words}: ")
        assert (f"Fimware upgrade on this device is not supported{burn}" in s.log(),
                f"Upgrade failed{burn}" in s.log()) == (refused, not refused)
        assert f"burn of {fn_['address']} (16.26.1040 to 16.28.2006) failed: {reason}" in s.log()
    each_row([(*row, fn_) for row, fn_ in zip(WORDINGS.items(), adapters)], refusal)



# A board stays one board whatever its queries find while burns overlap: side by side, -u asks
# the device that shares the flash before the burns, never while its flash burns; a flash that
# answers nothing once burned is a failed burn, not a board to burn again through its other device.
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_board_stays_one_board_while_its_flash_is_busy_or_silent(server, jobs):
    functions = board(SOCKET_DIRECT, "N/A", burn={"seconds": 2}) + [fn("0000:5e:00.0", firmware="16.26.1040",
                                                                       psid="MT_1")]
    s = server({"catalog": CAT, "functions": functions})
    assert s.run("-d", "r.xml").status == 0
    start = len(s.calls())
    assert s.run("-u", "r.xml", env={"FWKIT_BURN_JOBS": jobs}).status == 0
    calls = s.call_lines(start)
    burn = next(i for i, c in enumerate(calls) if c.endswith(" b") and SOCKET_DIRECT[0] in c)
    checked = calls.index(f"mstflint -d {SOCKET_DIRECT[0]} q", burn)
    assert f"mstflint -d {SOCKET_DIRECT[1]} q" not in calls[burn:checked], calls
    s = server({"catalog": CAT, "functions": functions})
    run = s.start("-s", env={"FWKIT_BURN_JOBS": jobs})
    poll(lambda: any(SOCKET_DIRECT[0] in b for b in s.burns()), 20, "the board's burn did not start")
    with open(s.path("nic_fw/.sim/state.lock"), "a") as lock:  # the simulator's own state lock
        fcntl.flock(lock, fcntl.LOCK_EX)
        state = s.state()
        state["functions"][0]["query_output"] = "nothing the tool would print\n"
        s.write("nic_fw/.sim/server.json.new", json.dumps(state))
        os.rename(s.path("nic_fw/.sim/server.json.new"), s.path("nic_fw/.sim/server.json"))
    assert run.wait().status == 2
    assert sorted(b[-4] for b in s.burns()) == [SOCKET_DIRECT[0], "0000:5e:00.0"]
    assert f"{SOCKET_DIRECT[1]} shares its flash with {SOCKET_DIRECT[0]}" in s.log()


def test_a_burn_refused_until_a_reset_is_no_failure(server):
    s = server({"catalog": CAT, "functions": board(["0000:04:00.0"], "N/A", running="28.38.1002",
                                                   burn={"outcome": "pending_reset"})})
    waits = ("[WARNING]   0000:04:00.0 waits for a reset before it can take 28.40.1000 (flash holds "
             "28.39.1002, runs 28.38.1002); reset it or reboot, then run fwkit again\n")
    assert s.run("-d", "r.xml").status == 0
    for args in (["-s"], ["-y"], ["-u", "r.xml"]):
        r = s.run(*args, env={"FWKIT_TEXTFILE": str(s.path("fwkit.prom"))})
        assert (r.status, r.body.endswith(waits[12:] if args == ["-y"] else "")) == (0, True)
        assert 'burns{outcome="failed"} 0\nfwkit_last_run_burns{outcome="not_supported"} 0\n' \
               'fwkit_last_run_burns{outcome="reset_pending"} 1\n' in s.path("fwkit.prom").read_text()
    assert (s.log().count(waits), "[ERROR]" in s.log(), len(s.burns())) == (3, False, 3)
    assert s.run_path("reboot-required").exists()


def burn_times(s):
    path = s.path("nic_fw/.sim/burn_times.log")
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def overlaps(times):
    """Per burn, whether another ran while it did."""
    return [any(o is not t and o["start"] < t["end"] and t["start"] < o["end"] for o in times)
            for t in times]


# Eight boards, one seen as two PCI devices and one whose burn fails, burned side by side: every
# burn overlaps another, and console and log are what one burn after another writes (time stamps
# aside; on a terminal the one progress line for all burns is erased).
@pytest.mark.parametrize("args", [["-s"], ["-y"], ["-u", "r.xml"]])
def test_boards_side_by_side_write_what_one_at_a_time_writes(server, args):
    others = [f"0000:{b}:00.0" for b in BUSES[1:] + ["f0"] if b != "86"]
    functions = board(SOCKET_DIRECT, "N/A", burn={"seconds": 1}) + [
        fn(a, firmware="16.26.1040", psid="MT_1", burn={"seconds": 1}) for a in others]
    functions[3]["burn"]["outcome"] = "fail"
    seen = []
    for jobs in ("1", "8"):
        s = server({"catalog": CAT, "functions": functions})
        if args[:1] == ["-u"]:
            assert s.run("-d", "r.xml").status == 0
        r = s.run(*args, env={"FWKIT_BURN_JOBS": jobs}, pty=args == ["-y"])
        progress = re.findall(r"\r[^\n]*\r", r.out)
        assert bool(progress) == (args == ["-y"]) and all(p.endswith(" \r") for p in progress)
        assert all(("\rburning " in p) == (jobs == "8") for p in progress)
        out = re.sub(r"\r[^\n]*\r", "", re.sub(r"/tmp/data\w{6}", "/tmp/data", r.out))
        seen.append((r.status, out, s.log(), sorted(s.burns())))  # started as their images pass
        assert overlaps(burn_times(s)) == [jobs == "8"] * 8
    assert seen[0] == seen[1] and seen[0][0] == 2
    assert [b[-4] for b in seen[0][3]] == sorted(SOCKET_DIRECT[:1] + others)
    assert seen[0][2].count(f"{SOCKET_DIRECT[1]} shares its flash with {SOCKET_DIRECT[0]}") == 1
    assert seen[0][2].count("verified\n") == 7


# A signal while boards burn side by side: the running burns finish and are judged, no
# further one starts. A SIGKILL leaves the lock with the running tools.
@pytest.mark.parametrize("signo", [signal.SIGTERM, signal.SIGKILL])
def test_a_signal_while_boards_burn_side_by_side(server, signo):
    s = server({"catalog": CAT, "functions": [
        fn(f"0000:{b}:00.0", firmware="16.26.1040", psid="MT_1", burn={"seconds": 2})
        for b in BUSES[:4]]})
    run = s.start("-s", env={"FWKIT_BURN_JOBS": "2"})
    poll(lambda: len(s.burns()) == 2, 20, "two burns did not start")
    run.signal(signo)
    assert run.wait().status == (3 if signo == signal.SIGTERM else 128 + signo)
    if signo == signal.SIGKILL:
        assert s.run("-s").status == 1 and len(s.burns()) == 2  # refused while they burn
        poll(lambda: len(burn_times(s)) == 2, 20, "the burns did not end")
    assert len(s.burns()) == 2 and overlaps(burn_times(s)) == [True, True]
    assert [s.firmware(f"0000:{b}:00.0") for b in BUSES[:3]] == ["16.28.2006"] * 2 + ["16.26.1040"]
    log = s.log()
    assert log.count("verified\n") == (2 if signo == signal.SIGTERM else 0)
    assert ("interrupted by signal 15" in log) == (signo == signal.SIGTERM)


def recovery(s, address, on):
    subprocess.run([FWSIM, "recovery", s.dir, address, "on" if on else "off"], check=True)


BROKEN = "0000:02:00.0"
RECOVERY = (f"{BROKEN} (15b3:020d, ConnectX-5) is in flash recovery mode: fwkit leaves it alone; "
            "recover it with the firmware tool, then run fwkit again\n")
MODES = [["-c"], ["-d"], ["-s"], ["-y"], ["(asked)"], ["-u", "r.xml"]]


# A ConnectX-5 whose firmware broke shows as "Memory controller [0580]: ... [ConnectX-5 Flash
# Recovery] [15b3:020d]" beside a sound one. -u's report was written before it broke.
@pytest.mark.parametrize("args", MODES)
def test_an_adapter_in_flash_recovery_mode_is_told_and_left_alone(server, args):
    s = server({"catalog": CAT, "functions": [fn(a, firmware="16.26.1040", psid="MT_1")
                                              for a in (BROKEN, A)]})
    if args[0] == "-u":
        assert s.run("-d", "r.xml").status == 0 and leaves(s, "device_id", "r.xml") == [BROKEN, A]
    recovery(s, BROKEN, True)
    start, prom = len(s.calls()), s.path("fwkit.prom")
    r = s.run(*args[args == ["(asked)"]:], input="\n", env={"FWKIT_TEXTFILE": str(prom)})
    assert r.status == (2 if args[0] == "-u" else 0)
    assert s.log().count(f"[WARNING]   {RECOVERY}") == 1
    assert r.body.endswith(RECOVERY) == (args == ["-c"]) and BROKEN not in r.body.replace(RECOVERY, "")
    assert (BROKEN not in "".join(s.call_lines(start))) and [b[-4] for b in s.burns()] == ([] if args[0] in ("-c", "-d") else [A])
    assert ("report is stale for 0000:02:00.0: it is in flash recovery mode; not flashed\n"
            in s.log()) == (args[0] == "-u")
    metrics = prom.read_text()
    assert subprocess.run(["promtool", "check", "metrics"], input=metrics, text=True).returncode == 0
    assert re.findall(r'fwkit_adapter_recovery_mode\{address="([^"]*)",board_id="[^"]+"\} (\d)', metrics) == [
        (A, "0"), (BROKEN, "1")] and f'board_id="PCI {BROKEN}"' in metrics
    assert f'info{{address="{BROKEN}"' not in metrics and (args != ["-d"] or leaves(s, "device_id") == [A])
    if args == ["-c"]:  # recovered with the firmware tool: fwkit sees an adapter again
        recovery(s, BROKEN, False)
        assert f"ROM\t\t 2.35.5100\t\t{BROKEN}\n" in s.run("-c").body and s.log().count(RECOVERY) == 1


def hgx_b300(locked=True):
    """An HGX B300-like server: two ConnectX-7 cards, the onboard ConnectX-7 whose two functions
    the server's maker locks, and a BlueField-3 in restricted mode whose query exits 1 silently."""
    cards = [fn(a, "1021", firmware="28.39.1002", psid="MT_7") for a in ("0000:1a:00.0", "0000:3c:00.0")]
    onboard = [fn(f"0000:a3:00.{f}", "1021", firmware="28.39.1002", psid="MT_7", **(
        {"query_output": f"-E- Cannot open Device: 0000:a3:00.{f}. ICMD bad parameter given\n",
         "query_exit_code": 1} if locked else {})) for f in (0, 1)]
    return cards + onboard + [fn("0000:b8:00.0", "a2dc", firmware="32.41.1000", psid="MT_3",
                                 query_output="", query_exit_code=1)]


LOCKED = "-E- Cannot open Device: 0000:a3:00.0. ICMD bad parameter given"
UNREAD = [f"[WARNING]   0000:a3:00.0 could not be read ({LOCKED}); left alone\n",
          "[WARNING]   0000:b8:00.0 could not be read (no output, exit status 1); left alone\n"]


@pytest.mark.parametrize("args", MODES)
def test_an_adapter_the_tool_cannot_read_keeps_the_tools_reason(server, args):
    s = server({"catalog": CAT, "functions": hgx_b300(locked=args[0] != "-u")})
    if args[0] == "-u":  # locked after the report was written
        assert s.run("-d", "r.xml").status == 0
        s.write("nic_fw/.sim/server.json", json.dumps({**s.state(), "functions": hgx_b300()}))
    r = s.run(*args[args == ["(asked)"]:], input="\n\n")
    assert r.status == (2 if args[0] == "-u" else 0) and ("stale for 0000:a3" in s.log()) == (args[0] == "-u")
    warned = [w for w in UNREAD if w in s.log()]
    assert warned == {"-c": [], "-d": [], "-u": UNREAD[:1]}.get(args[0], UNREAD)
    assert s.log().count("could not be read") == len(warned)
    assert not [c for c in s.call_lines() if "0000:a3:00.1" in c]  # one PCI device, asked once
    assert sorted(b[-4] for b in s.burns()) == ([] if args[0] in ("-c", "-d") else ["0000:1a:00.0", "0000:3c:00.0"])
    diag = diagnostics(r)[1] or ""  # named where the run prints it; -s, -d, -u print nothing
    assert all(f"PSID or FW_Version is not found for {a} interface\n{why}\n" in diag for a, why in (
        ("0000:a3:00.0", LOCKED), ("0000:b8:00.0", "no output, exit status 1"))) == (args[0] in ("-c", "-y", "(asked)"))
