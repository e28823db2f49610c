"""Servers as they really are: SR-IOV virtual functions, a burned image waiting for a reset, and
the outcomes an operator must be able to tell apart. (The tool's full report is what the simulated
tool prints in every scenario; its other layouts are rows of the unit table in fw_query_test.cc.)"""

import re
import subprocess

import pytest

from conftest import FWSIM

A = "0000:04:00.0"
CAT = [{"venid": "15B3", "devid": "1017", "subvenid": "15B3", "PSID": "MT_1", "subdevid": "1017",
        "rom": rom, "fwFile": f"{rom}.bin"} for rom in ("2.35.5100", "16.28.2006")]


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


BUSES = ["3b", "5e", "86", "af"]
SRIOV = {"one card, 8 VFs on two device numbers": (card("84", 1, 8), ["0000:84:00.0"]),
         "four dual-port cards, 16 VFs each": (sum((card(b, 2, 16) for b in BUSES), []),
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


WORDINGS = {"PSID mismatch": True, "psid MAJOR mismatch": True, "PSID header mismatch": True,
            "Minor PSID is locked": True, "PSID checked; flash write error": False}


def test_psid_refusal_wordings(server):
    adapters = [fn(f"0000:0{i}:00.0", firmware="16.26.1040", psid="MT_1",
                   burn={"outcome": "psid_mismatch", "mismatch_text": words})
                for i, words in enumerate(WORDINGS, 1)]
    s = server({"catalog": CAT, "functions": adapters})
    assert s.run("-s").status == 2
    for fn_, refused in zip(adapters, WORDINGS.values()):
        burn = f"\n ./nic_fw/mstflint -s -y -d {fn_['address']} -i"
        assert (f"Fimware upgrade on this device is not supported{burn}" in s.log(),
                f"Upgrade failed{burn}" in s.log()) == (refused, not refused), fn_
