"""Operator sessions of the discovery report: -d writes it, -u applies it, on simulated servers."""

import os
import signal
import stat
import xml.etree.ElementTree as ET

from conftest import each_row


def flatten(node):
    """An element as one line: name, "=v" for attribute value, " @a=v" for others, [children]."""
    line = node.tag + "".join("=" + v if a == "value" else f" @{a}={v}"
                              for a, v in node.attrib.items())
    inner = " ".join(flatten(child) for child in node)
    return f"{line}[{inner}]" if inner else line


def parse(text):  # as fleet tooling reads it
    try:
        return flatten(ET.fromstring(text.encode()))
    except ET.ParseError:
        return "not well-formed XML"


def report(*devices):
    return ("vantrel_rom_discovery @version=2.0.0.0[type=MELLANOX_NIC alt_name=fwkit - network "
            "adapter firmware update utility version=1.0.0 takes_effect=reboot devices["
            + " ".join(devices) + "]]")


def device(a, devid, subdev, product, psid, version, active, action):
    return (f"device[device_id={a} venid=15B3 devid={devid} subvenid=15B3 subdevid={subdev} "
            f"macaddress= product_id={product} busnumber={a[:7]} devicenumber={a[8:10]} "
            f"funcnumber={a[11:]} slotnumber= nictype=MELLANOX fw_item[type=ROM "
            f"firmware_id={psid} version={version} active_version={active} action={action} "
            "duration=210 message= shared=no]]")


def checked_burn(address, image):
    """The adapter query that checks the report still holds, the image query, the burn, and the
    adapter query that checks the flash."""
    return [f"mstflint -d {address} q", f"mstflint -i ./nic_fw/{image} q",
            f"mstflint -s -y -d {address} -i ./nic_fw/{image} b", f"mstflint -d {address} q"]


def test_sample_server_then_paths_that_cannot_or_must_not_be_written(server):
    s = server()
    assert s.run("-d").status == 0
    text = s.read("nicdiscovery.xml")
    # The NVMe drive, the Intel port and the second function of the ConnectX-5 are not adapters.
    cx7 = ["1021", "0041", "ConnectX-7 200GbE dual-port QSFP112", "MT_0000000834", "28.40.1000",
           "28.39.1002", "upgrade"]  # one board in two domains: listed as the bus shows it
    assert parse(text) == report(
        device("0000:01:00.0", *cx7),
        device("0000:04:00.0", "1017", "0020", "ConnectX-5 EN 25GbE dual-port SFP28",
               "MT_0000000008", "16.28.2006", "16.26.1040", "upgrade"),
        device("0000:81:00.0", "1015", "0003", "ConnectX-4 Lx EN 25GbE dual-port SFP28",
               "MT_2420110034", "14.32.1010", "14.31.1014", "upgrade"), device("0002:01:00.0", *cx7))
    # One element per line, four blanks per level.
    assert text.startswith('<?xml version="1.0" encoding="UTF-8"?>\n'
                           '<vantrel_rom_discovery version="2.0.0.0">\n'
                           '    <type value="MELLANOX_NIC"/>\n'), text
    assert '\n            <fw_item>\n                <type value="ROM"/>\n' in text
    assert all(call.endswith(" q") for call in s.call_lines())
    mask = os.umask(0)
    os.umask(mask)  # the report is as readable as any file the run makes
    assert s.path("nicdiscovery.xml").stat().st_mode & 0o777 == 0o666 & ~mask

    # Paths that cannot be written, and files whose history the report must not replace.
    s.block("blocked.xml")  # a directory: the finished report cannot replace it
    os.mkfifo(s.path("pipe.xml"))
    catalog = s.read("nic_fw/NICFWData.xml")
    for path in ["missing_dir/r.xml", "blocked.xml", "nicdiscovery.xml/", "pipe.xml", "mstflint.log",
                 "nic_fw/NICFWData.xml"]:
        assert s.run("-d", path, timeout=15).status == 2, path
        assert f"[ERROR]     xml_discovery_report: Failed to save {path}: " in s.log()
    assert (s.read("nicdiscovery.xml"), s.read("nic_fw/NICFWData.xml")) == (text, catalog)
    assert stat.S_ISFIFO(os.lstat(s.path("pipe.xml")).st_mode)
    assert "<?xml" not in s.read("mstflint.log")
    assert sorted(os.listdir(s.dir)) == ["blocked.xml", "getmlnxinfo", "mstflint.log", "nic_fw",
                                         "nicdiscovery.xml", "pipe.xml", "server.umockdev"]
    # A link is followed: the file it names gets the report, and keeps its mode.
    s.write("kept/report.xml", "old", mode=0o640)
    os.symlink("kept/report.xml", s.path("link.xml"))
    assert s.run("-d", "link.xml").status == 0 and s.path("link.xml").is_symlink()
    assert ("<vantrel" in s.read("kept/report.xml")
            and stat.S_IMODE(os.stat(s.path("kept/report.xml")).st_mode) == 0o640)


def board(bus, psid, devid="1003", subdev="0050", firmware="2.9.1000", **more):
    return {"address": f"{bus}:00.0", "class": "0x020000", "vendor": "0x15b3",
            "device": f"0x{devid}", "subsystem_device": f"0x{subdev}", "firmware": firmware,
            "psid": psid, **more}


def entry(name, devid, subdev, psid, rom, file):
    return {"name": name, "venid": "15B3", "devid": devid, "subvenid": "15B3", "PSID": psid,
            "subdevid": subdev, "rom": rom, "fwFile": file}


# 04 runs 2.9.1000; its catalog images are 2.9.1200, 2.10.700, 2.9.900 and 2.10.700 again, in
# that order, so neither the first, the last nor the highest text is the highest version, and the
# first of the highest (CX3.bin) is burned. 05 is not in the catalog; 8a runs what the catalog has.
CX3 = "MT_1090110019"
CATALOG = [entry("ConnectX-3 first", "1003", "0050", CX3, "2.9.1200", "CX3_2.9.1200.bin"),
           entry("ConnectX-3 second", "1003", "0050", CX3, "2.10.700", "CX3.bin"),
           entry("ConnectX-3 third", "1003", "0050", CX3, "2.9.900", "CX3_2.9.900.bin"),
           entry("ConnectX-3 fourth", "1003", "0050", CX3, "2.10.700", "CX3_again.bin"),
           entry("ConnectX-4 Lx", "1015", "0003", "MT_2420110034", "14.32.1010", "CX4LX.bin"),
           entry("Tamarix", "1003", "0050", "MT_TAMARIX", "2.10.700", "Tamarix_generic.bin")]


def test_worked_example_written_then_applied(server):
    s = server({"catalog": CATALOG, "functions": [
        board("0000:04", CX3), board("0000:05", "MT_1100110019", "1007", "00ab", "2.42.5000"),
        board("0000:8a", "MT_2420110034", "1015", "0003", "14.32.1010")]})
    assert s.run("-d", "r%41.xml").status == 0  # the name is no URI: %41 stays
    # The highest image is listed; the product is the name of the first catalog entry.
    assert parse(s.read("r%41.xml")) == report(
        device("0000:04:00.0", "1003", "0050", "ConnectX-3 first", CX3, "2.10.700", "2.9.1000",
               "upgrade"),
        device("0000:05:00.0", "1007", "00AB", "", "MT_1100110019", "", "2.42.5000", "Nothing"),
        device("0000:8a:00.0", "1015", "0003", "ConnectX-4 Lx", "MT_2420110034", "14.32.1010",
               "14.32.1010", "rewrite"))
    queried = len(s.calls())
    r = s.run("-u", "r%41.xml")
    assert r.status == 0, s.log()
    assert s.call_lines(queried) == (checked_burn("0000:04:00.0", "CX3.bin")
                                     + checked_burn("0000:8a:00.0", "CX4LX.bin"))
    assert "0000:" not in r.out  # -u is silent


# -u on reports as fleet tooling, or an attacker, might write them.

def leaf(name, value):
    return f'<{name} value="{value}"/>'


def dev(bus="0000:04", action="upgrade", venid="15B3", devid="1003", psid=CX3,
        version="2.9.1200", active="2.9.1000", extra=""):
    """One report device, with the leaves -u reads. Its version is not what is burned: the
    catalog's highest image (2.10.700) is."""
    return ("<device>" + leaf("venid", venid) + leaf("devid", devid) + leaf("subvenid", "15B3")
            + leaf("subdevid", "0050") + leaf("busnumber", bus) + leaf("devicenumber", "00")
            + leaf("funcnumber", "0") + extra + "<fw_item>" + leaf("type", "ROM")
            + leaf("firmware_id", psid) + leaf("version", version)
            + leaf("active_version", active) + leaf("action", action) + "</fw_item></device>")


def doc(devices, outside=""):
    return ('<?xml version="1.0"?>\n<vantrel_rom_discovery version="2.0.0.0">'
            + leaf("type", "MELLANOX_NIC") + outside + "<devices>" + devices + "</devices>"
            + outside + "</vantrel_rom_discovery>\n")


# ConnectX-3 boards: 04 and 06 burn fine, 05 fails its burn; the 1x boards have the Tamarix
# image, which getmlnxinfo names.
APPLY_SERVER = {"catalog": CATALOG, "functions": [
    board("0000:04", CX3), board("0000:06", CX3), board("0000:05", CX3, burn={"outcome": "fail"}),
    board("0000:10", "MT_TAMARIX", mlnxinfo={"answer": "srv01#Tamarix_B2.bin"}),
    board("0000:11", "MT_TAMARIX", mlnxinfo={"answer": "srv01##Tamarix_C.bin#3"}),
    board("0000:12", "MT_TAMARIX", mlnxinfo={"answer": "0"}),
    board("0000:13", "MT_TAMARIX", mlnxinfo={"answer": "s#T.bin", "exit_code": 3}),
    board("0000:14", "MT_TAMARIX", mlnxinfo={"answer": "srv01#../Tamarix_B2.bin"}),
    board("0000:15", "MT_TAMARIX", mlnxinfo={"hangs": True})],
    "images": [{"file": "Tamarix_B2.bin", "version": "2.10.800", "psid": "MT_TAMARIX"},
               {"file": "Tamarix_C.bin", "version": "2.10.900", "psid": "MT_TAMARIX"}]}
B04, B06 = checked_burn("0000:04:00.0", "CX3.bin"), checked_burn("0000:06:00.0", "CX3.bin")
TAMARIX, LOOKUP = "MT_TAMARIX", "getmlnxinfo imgfile 0000:1"
CLOSING_ERROR = "read_discovery_report: Error at read_NIC_FW_xml_file"
BIG = "9" * 20000
EMPTIES = "<device/>" * 5000
OUTSIDE = leaf("action", "upgrade") + leaf("busnumber", "0000:05")  # outside any device

APPLY = [  # what, report, status, calls, texts in the log or on the console
    ("nothing the catalog knows", doc(dev(venid="") + dev(action="Nothing", devid="1007")), 2,
     [], [CLOSING_ERROR, '[WARNING]   read_discovery_report: 0000:04:00.0 asks for "upgrade" but the '
                         f"catalog has no image for it (PSID {CX3}); not flashed"]),
    ("venid forms, and a device the catalog does not list",
     doc(dev(venid="15b3") + dev(venid="0x15B3") + dev(bus="0000:06", venid="15B3XYZ")), 0,
     B04 + B06, []),
    ("the address after the action",
     doc("<device>" + leaf("venid", "15B3") + leaf("devid", "1003") + "<fw_item>"
         + leaf("type", "ROM") + leaf("firmware_id", CX3) + leaf("active_version", "2.9.1000")
         + leaf("action", "upgrade") + "</fw_item>" + leaf("busnumber", "0000:06")
         + leaf("devicenumber", "00") + leaf("funcnumber", "0") + "</device>"), 0, B06, []),
    ("a failed burn, then a good one", doc(dev(bus="0000:05") + dev()), 2,
     [*checked_burn("0000:05:00.0", "CX3.bin")[:3], *B04],
     ["Upgrade failed", "05:00.0 (2.9.1000 to 2.10.700) failed: -E- Burning", CLOSING_ERROR]),
    ("hostile addresses",
     doc("<device/>" + dev(bus=";touch PWNED%s") + dev(bus="0" * 5000) + dev(bus="0000:06")), 2,
     B06, ['Device 2 has no valid PCI address (";touch PWNED%s:00.0"); not flashed',
             'Device 3 has no valid PCI address ("' + "0" * 80 + '...")', CLOSING_ERROR]),
    ("values of thousands of characters",
     doc(dev(psid=BIG) + dev(version=BIG, active=BIG + ".2.3", extra=leaf("product_id", BIG))),
     0, B04, []),
    ("odd elements",
     doc(dev(action="Nothing") + EMPTIES[:120 * 9] + dev(action="Upgrade") + "<device></device>"
         + dev(action='Nothing" also="upgrade" x="rewrite') + "<device>" + dev(action="Nothing")
         + "</device>" + dev(bus="0000:06", action="upgrade") + '<unknown value="x"/>',
         OUTSIDE), 0, B06, []),
    ("Tamarix: the image getmlnxinfo names",
     doc(dev(bus="0000:10", psid=TAMARIX) + dev(bus="0000:11", psid=TAMARIX)
         + dev(bus="0000:06")), 0,
     # Their versions are not the catalog's: only their PSIDs are checked.
     [LOOKUP + "0:00.0 >file", *checked_burn("0000:10:00.0", "Tamarix_B2.bin"),
      LOOKUP + "1:00.0 >file", *checked_burn("0000:11:00.0", "Tamarix_C.bin"), *B06],
     ["./getmlnxinfo imgfile 0000:10:00.0 > data"]),
    ("Tamarix: no image known", doc(dev(bus="0000:12", psid=TAMARIX) + dev()), 2,
     [LOOKUP + "2:00.0 >file"], ["Error in finding the image for Tamarix/Pellion2"]),
    ("Tamarix: the tool fails", doc(dev(bus="0000:13", psid=TAMARIX)), 2,
     [LOOKUP + "3:00.0 >file"], ["command failed: ./getmlnxinfo imgfile 0000:13:00.0 > data"]),
    ("Tamarix: the tool hangs", doc(dev(bus="0000:15", psid=TAMARIX)), 2, [LOOKUP + "5:00.0 >file"],
     ["./getmlnxinfo gave no answer within 5 seconds (FWKIT_QUERY_TIMEOUT)", "command failed"]),
    ("Tamarix: an image outside the repository", doc(dev(bus="0000:14", psid=TAMARIX)), 2,
     [LOOKUP + "4:00.0 >file"], ['Refused image name "../Tamarix_B2.bin"', CLOSING_ERROR]),
    ("missing", None, 2, [], ["read_discovery_report: Failed to open r.xml"]),
    ("too many devices", doc(EMPTIES + dev()), 2, [],
     ["r.xml lists more than 4096 devices; nothing was burned"]),
]


def test_outcomes_of_one_report_after_another(server):
    s = server(APPLY_SERVER)
    first = s.read("nic_fw/.sim/server.json")

    def apply(what, text, status, calls, texts):
        # Every report meets the boards as -d found them: a burned board would make it stale.
        s.write("nic_fw/.sim/server.json", first)
        if text is None:
            s.remove("r.xml")
        else:
            s.write("r.xml", text)
        called, logged = len(s.calls()), len(s.log())
        r = s.run("-u", "r.xml", env={"FWKIT_QUERY_TIMEOUT": "5"})
        log = s.log()[logged:]
        assert r.status == status, log
        lines = [line + (" >" + c["stdout"] if c["tool"] == "getmlnxinfo" else "")
                 for line, c in zip(s.call_lines(called), s.calls()[called:])]
        assert lines == calls
        assert [text for text in texts if text not in r.out + log] == [], log
        assert ("[ERROR]" in log) == (status == 2), log
    each_row(APPLY, apply)
    # No PWNED, and getmlnxinfo's data files are gone.
    assert sorted(os.listdir(s.dir)) == ["getmlnxinfo", "mstflint.log", "nic_fw", "r.xml",
                                         "server.umockdev"]


def test_an_interrupt_during_a_burn_lets_it_finish_and_burns_nothing_more(server):
    s = server({"catalog": CATALOG, "functions": [board("0000:04", CX3, burn={"seconds": 2}),
                                                  board("0000:06", CX3),
                                                  board("0000:15", TAMARIX, mlnxinfo={"hangs": True})]})
    s.write("r.xml", doc(dev() + dev(bus="0000:06")))
    run = s.start("-u", "r.xml")
    s.wait_for_calls(3)  # the adapter and image queries, then the first burn has started
    run.signal(signal.SIGTERM)
    assert run.wait().status == 2
    assert s.call_lines() == B04  # the burn was checked
    assert s.firmware("0000:04:00.0") == "2.10.700"  # the burn was seen through
    assert "read_discovery_report: Stopped by signal 15; no further device was burned" in s.log()
    s.write("r.xml", doc(dev(bus="0000:15", psid=TAMARIX)))  # a signal outside a burn ends the run
    run = s.start("-u", "r.xml")
    s.wait_for_calls(len(B04) + 1)
    run.signal(signal.SIGTERM)
    assert run.wait().status == 128 + signal.SIGTERM and len(s.burns()) == 1
    assert s.calls()[-1]["tool"] == "getmlnxinfo" and not os.path.exists(f"/proc/{s.calls()[-1]['pid']}")
