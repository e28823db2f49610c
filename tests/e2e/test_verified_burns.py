"""Verified burns: the firmware tool reads the image before each burn, and the adapter is asked
once more after it. One ConnectX-5 at 16.26.1040 whose catalog offers 16.28.2006, upgraded by a
silent run and by applying a report written with -d."""

import pytest

ADDR = "0000:04:00.0"
IMAGE = "CX5_16.28.2006.bin"
ADAPTER = {"address": ADDR, "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
           "subsystem_vendor": "0x15b3", "subsystem_device": "0x0020",
           "firmware": "16.26.1040", "psid": "MT_0000000008"}
ENTRY = {"name": "ConnectX-5 EN", "venid": "15B3", "devid": "1017", "subvenid": "15B3",
         "PSID": "MT_0000000008", "subdevid": "0020", "rom": "16.28.2006", "fwFile": IMAGE}

CASES = {  # what differs from the server above, the event, the version the flash ends with
    "normal": ({}, "[INFO]      MAC              Upgrade SUCCESS", "16.28.2006"),
    "wrong version": (
        {"images": [{"file": IMAGE, "version": "16.26.1040", "psid": "MT_0000000008"}]},
        f"[ERROR]     Image {IMAGE} holds 16.26.1040 (PSID MT_0000000008); the catalog says "
        "16.28.2006", None),
    "other board": (
        {"images": [{"file": IMAGE, "version": "16.28.2006", "psid": "MT_2420110034"}]},
        f"[ERROR]     Image {IMAGE} holds 16.28.2006 (PSID MT_2420110034); the adapter {ADDR} "
        "has PSID MT_0000000008", None),
    "damaged": (
        {"images": [{"file": IMAGE, "content": "FWKIT-SIM-IMAGE\nversion=16.2"}]},
        f"[ERROR]     Image {IMAGE} could not be read by the firmware tool (exit status 1): "
        f"-E- ./nic_fw/{IMAGE} is not a valid firmware image", None),
    "burn changes nothing": (
        {"burn": {"outcome": "unchanged"}},
        f"[ERROR]     burn of {ADDR} reported success but the adapter's flash holds 16.26.1040, "
        "not 16.28.2006", "16.26.1040"),
    "-u lookup image of another version": (  # getmlnxinfo's image: only its PSID is checked
        {"catalog_entry": {"fwFile": "CX5_Tamarix.bin"},
         "mlnxinfo": {"answer": "srv01#CX5_lookup.bin"},
         "images": [{"file": "CX5_lookup.bin", "version": "16.27.2008", "psid": "MT_0000000008"}]},
        "[INFO]      MAC              Upgrade SUCCESS", "16.27.2008"),
}


def description(change):
    adapter = {**ADAPTER, **{k: v for k, v in change.items() if k in ("burn", "mlnxinfo")}}
    return {"functions": [adapter], "catalog": [{**ENTRY, **change.get("catalog_entry", {})}],
            "images": change.get("images", [])}


@pytest.mark.parametrize("case, mode", [(case, mode) for case in CASES for mode in ("-s", "-u")
                                         if mode == "-u" or "mlnxinfo" not in CASES[case][0]])
def test_each_burn_is_checked_before_and_after(server, case, mode):
    change, event, flash = CASES[case]
    s = server(description(change))
    if mode == "-u":
        assert s.run("-d", "report.xml").status == 0
    start = len(s.calls())
    r = s.run(*(["-s"] if mode == "-s" else ["-u", "report.xml"]))

    image = "./nic_fw/" + change.get("catalog_entry", {}).get("fwFile", IMAGE)
    if "mlnxinfo" in change:
        image = "./nic_fw/CX5_lookup.bin"
        assert s.call_lines(start)[0] == f"getmlnxinfo imgfile {ADDR}"
        start += 1
    expected = [f"mstflint -d {ADDR} q"] if mode == "-s" else []  # the inventory
    expected += [f"mstflint -i {image} q"]
    if flash is not None:  # burned: and asked once more
        expected += [f"mstflint -s -y -d {ADDR} -i {image} b", f"mstflint -d {ADDR} q"]
    assert s.call_lines(start) == expected
    assert event + "\n" in s.log()
    assert s.firmware(ADDR) == (flash or "16.26.1040")
    ok = flash is not None and "SUCCESS" in event
    assert ("SUCCESS" in s.log()) == ok
    assert r.status == (0 if ok else 2)
    if mode == "-u" and not ok:
        assert s.log().endswith("[ERROR]     read_discovery_report: Error at read_NIC_FW_xml_file\n\n")
    if mode == "-s":
        assert r.body == ""


@pytest.mark.parametrize("case", ["normal", "wrong version", "burn changes nothing"])
def test_the_operator_sees_success_only_for_a_verified_burn(server, case):
    s = server(description(CASES[case][0]))
    r = s.run(input="\n")
    ok = case == "normal"
    assert ("Firmware Flashed:\tSUCCESS  for interface 0000:04:00.0\n\n" in r.body) == ok
    assert r.body.endswith("\nNIC firmware update complete.\n\n\nPlease Reboot node for new image "
                           "to be loaded into silicon\n\n" if ok else
                           "\nNIC firmware update completed with errors. \n")
    assert r.status == (0 if ok else 2)
