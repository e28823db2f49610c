"""Operator sessions of `fwkit -c`: the adapter inventory of a simulated server and its report."""

import re

import pytest

from conftest import diagnostics as report, unnumbered

LIST_HEAD = "List of Network Adapters detected on the Server.................\n"
DIAG = "\nIf PSID or FW_Version is not found for some interfaces, please check DIAG\n\n"
UNREAD_RC = "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nnic_table.cc,N\n\n"
BLOCK_HEAD = ("\n     (Installed)           (Available)\n"
              "     Image      Version      Image        Version     \t\tInterface\n"
              + "-" * 72 + "\n")


def not_found(address, reason):  # and the tool's reason
    return f"\n\nFWUPG_ERROR: PSID or FW_Version is not found for {address} interface\n{reason}\n"


def fn(address, cls, vendor, device, **more):
    return {"address": address, "class": cls, "vendor": vendor, "device": device, **more}


def cx5(address, **more):
    return fn(address, "0x020000", "0x15b3", "0x1017", subsystem_device="0x0020", **more)


CX7 = ("1021", "0041", "MT_0000000834", "ConnectX-7 200GbE dual-port QSFP112", "28.39.1002",
       "28.39.1002", "28.40.1000")
BOARDS = {"0000:01:00.0": CX7,  # its flash, seen again in domain 0002
          "0000:04:00.0": ("1017", "0020", "MT_0000000008", "ConnectX-5 EN 25GbE dual-port SFP28",
                           "16.26.1040", "16.27.2008", "16.28.2006"),
          "0000:81:00.0": ("1015", "0003", "MT_2420110034", "ConnectX-4 Lx EN 25GbE dual-port SFP28",
                           "14.31.1014", "14.31.1014", "14.32.1010"), "0002:01:00.0": CX7}


def info(a):
    dev, sub, psid = BOARDS[a][:3]
    return (f"\nMellanox card info for {a} = FW_VERSION {BOARDS[a][4]}, BUS_INFO {a}, PSID {psid}\n"
            f"{a}\nDEVICE INFO---------->15b3 {dev} 15b3 {int(sub, 16):x}\n"
            f"pciIdString-------------->15B3-{dev}-15B3-{sub}-{psid}\n\n")


def block(a):
    dev, sub, _, name, fw, older, newer = BOARDS[a]
    return (f" PCI-ID              \t\tNIC\n15B3-{dev}-15B3-{sub} \t{name} \n" + BLOCK_HEAD
            + f"      ROM       {fw}    ROM\t\t{older}\t\t{a}\n"
            f"                               \t\t{newer}\t\t{a}\n\n")


NOT_OURS = "Interface 0000:02:00.0 is not Mellanox one.\n"
SAMPLE_LIST = (LIST_HEAD + "[0] 0000:01:00.0 Mellanox Technologies\n[1] 0000:02:00.0 Intel "
               "Corporation\n[2] 0000:04:00.0 Mellanox Technologies\n[3] 0000:81:00.0 Mellanox "
               "Technologies\n[4] 0002:01:00.0 Mellanox Technologies\n" + DIAG)
SAMPLE_REPORT = (SAMPLE_LIST + info("0000:01:00.0") + NOT_OURS
                 + "".join(info(a) for a in list(BOARDS)[1:]) + "".join(map(block, BOARDS)))
NO_CATALOG = "[ERROR]     Unable to open nic_fw/NICFWData.xml\n\n"


def test_sample_server_then_without_catalog_then_without_tool(server):
    s = server()
    r = s.run("-c")
    assert (r.status, r.err) == (0, "")
    assert report(r) == (SAMPLE_REPORT, "")
    # One query per adapter of the vendor (the dual-port board is one adapter), side by side.
    assert sorted(s.call_lines()) == [f"mstflint -d {a} q" for a in BOARDS]
    assert s.log() == ""

    # The catalog is opened once, for the first adapter read, and ends the run.
    s.remove("nic_fw/NICFWData.xml")
    r = s.run("-c")
    assert r.status == 1
    assert report(r)[0] == SAMPLE_REPORT[:SAMPLE_REPORT.index(NOT_OURS)]
    assert len(s.calls()) == 8  # every adapter is asked before the table is filled
    assert s.log() == NO_CATALOG

    # No adapter can be read: each is named in the diagnostic file, no block, no catalog needed.
    s.remove("nic_fw/mstflint")
    r = s.run("-c")
    assert r.status == 0
    assert report(r) == (SAMPLE_LIST + NOT_OURS,
                         "".join(UNREAD_RC * 2 + not_found(a, "the firmware tool could not be started "
                                                           "(No such file or directory)") for a in BOARDS))
    assert s.log() == NO_CATALOG


def test_large_server_with_unusual_adapters_and_a_broken_catalog(server):
    # Not in address order, so that no order comes for free.
    functions = [
        cx5("0100:02:00.0", firmware="16.26.1040", psid="MT_0000000008"),
        cx5("0000:07:00.0"),  # the tool refuses it
        cx5("0000:06:00.0", firmware="16.26.1040"),  # no PSID line
        fn("0000:05:00.0", "0x020700", "0x15b3", "0x101b", subsystem_device="0x7",
           firmware="20.31.1014", psid="MT_0000000223"),
        cx5("0000:04:00.0", firmware="16.9.1200", psid="MT_0000000008")]
    functions += [fn(f"0000:{0x10 + i // 32:02x}:{i % 32:02x}.0", "0x020000", "0x8086", "0x1521")
                  for i in range(103, -1, -1)]
    s = server({"functions": functions})
    xml = '<?xml version="1.0"?>\n<NICFWData>\n' + "".join(
        f'<Image name="ConnectX-5 EN" venid="15B3" devid="1017" subvenid="15B3" '
        f'PSID="MT_0000000008" subdevid="0020" fwFile="a.bin" rom="{rom}"/>\n'
        for rom in ["16.28.200600", "16.10.700", "16.9.12000000", "16.29.1016"])
    s.write("nic_fw/NICFWData.xml", xml[:-3])  # the last element breaks off before its "/>"

    r = s.run("-c")
    out, diagnostics = report(r)
    assert r.status == 0
    assert re.fullmatch(r"nic_fw/NICFWData\.xml:\d+: parser error : .+\n", r.err), r.err
    listed = re.findall(r"\[(\d+)\] ([^\n]*)\n", out)
    assert [int(i) for i, _ in listed] == list(range(104 + 5))
    names = [name for _, name in listed]
    assert names == sorted(names) and names[-1] == "0100:02:00.0 Mellanox Technologies"
    # A board's images lowest first, as numbers, none cut to the column; none from after the
    # catalog's fault.
    assert ("15B3-1017-15B3-0020 \tConnectX-5 EN \n" + BLOCK_HEAD
            + "      ROM       16.9.1200    ROM\t\t16.9.12000000\t\t0000:04:00.0\n"
            "                               \t\t 16.10.700\t\t0000:04:00.0\n"
            "                               \t\t16.28.200600\t\t0000:04:00.0\n\n") in out
    assert (" PCI-ID              \t\tNIC\n15B3-101B-15B3-0007 \t \n" + BLOCK_HEAD
            + "      ROM       20.31.1014    ROM\t\tNothing\t\t\t0000:05:00.0\n\n") in out
    assert s.log() == ("[ERROR]     nic_fw/NICFWData.xml breaks off at line 6; the entries "
                       "after it are ignored (3 read before it)\n\n"
                       "[ERROR]     For 0000:05:00.0 no matching firmware file in XML\n\n")
    # The unread adapters are named in the diagnostic file, and nowhere else.
    assert diagnostics == (UNREAD_RC + not_found("0000:06:00.0", "Security Attributes:   N/A")
                           + UNREAD_RC * 2 + not_found("0000:07:00.0", "-E- Cannot open device "
                                                       "0000:07:00.0: no such device"))
    assert "info for 0000:06:00.0" not in out and "info for 0000:07:00.0" not in out


NONE = "NO Interface Found\n" + LIST_HEAD + DIAG
NO_LIST = "\n\nFWUPG_ERROR: get_interface_list filed RC = 1\nnic_table.cc,N\n\n"
WITHOUT_ADAPTER = {  # functions, status, queries, report, standard error
    "an NVMe drive": ([fn("0000:01:00.0", "0x010802", "0x144d", "0xa808")], 0, 0, NONE, NO_LIST),
    "other vendors' adapters": (
        [fn("0000:02:00.0", "0x020000", "0x8086", "0x1521"),
         fn("0000:03:00.0", "0x028000", "0x14e4", "0x1657"),
         fn("0000:04:00.0", "0x020000", "0xfff0", "0x0001")], 0, 0,
        LIST_HEAD + "[0] 0000:02:00.0 Intel Corporation\n"
        "[1] 0000:03:00.0 Broadcom Inc. and subsidiaries\n[2] 0000:04:00.0 Vendor fff0\n" + DIAG
        + "".join(f"Interface 0000:0{i}:00.0 is not Mellanox one.\n" for i in (2, 3, 4)), ""),
    # A missing sysfs identity file ends the run before the catalog is needed.
    "a missing sysfs file": (
        [cx5("0000:04:00.0", firmware="1.2.3", psid="MT_1", omit_sysfs=["subsystem_device"])],
        1, 1, LIST_HEAD + "[0] 0000:04:00.0 Mellanox Technologies\n" + DIAG
        + "\nMellanox card info for 0000:04:00.0 = FW_VERSION 1.2.3, BUS_INFO 0000:04:00.0, "
        "PSID MT_1\n0000:04:00.0\n",
        "ERROR: could not open /sys/bus/pci/devices/0000:04:00.0/subsystem_device (errno=2), "
        "pci_enum.cc,N\n\n\nFWUPG_ERROR: RC = 1\nnic_table.cc,N\n\n"),
}


@pytest.mark.parametrize("what", WITHOUT_ADAPTER)
def test_runs_without_an_adapter_to_report_need_no_catalog(server, what):
    functions, status, queries, console, err = WITHOUT_ADAPTER[what]
    s = server({"functions": functions})
    s.remove("nic_fw/NICFWData.xml")
    r = s.run("-c")
    assert r.status == status
    assert report(r)[0] == console
    assert unnumbered(r.err) == err
    assert len(s.calls()) == queries
    # Without a function of the vendor (nothing queried) the log says so; a run ended early is silent.
    no_adapter = "[WARNING]   No adapter of PCI vendor 0x15B3 found on this server\n\n"
    assert s.log() == ("" if queries else no_adapter)
