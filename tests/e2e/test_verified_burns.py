"""Verified burns: the firmware tool reads the image before each burn, and the adapter once more
after it. One ConnectX-5 at 16.26.1040 whose catalog offers 16.28.2006, upgraded by a silent run
and by applying a report written with -d. (Images that getmlnxinfo names: test_discovery.py.)"""

import pytest

# The adapter sits in a VMD domain (five hexadecimal digits), which every step keeps whole.
A, IMAGE, PSID = "10000:04:00.0", "CX5_16.28.2006.bin", "MT_0000000008"
ADAPTER = {"address": A, "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
           "subsystem_device": "0x0020", "firmware": "16.26.1040", "psid": PSID}
ENTRY = {"venid": "15B3", "devid": "1017", "subvenid": "15B3", "PSID": PSID, "subdevid": "0020",
         "rom": "16.28.2006", "fwFile": IMAGE}
HOLDS = f"[ERROR]     Image {IMAGE} holds "
CASES = {  # the image file (None: as the catalog says), the burn, the event, the flash afterwards
    "normal": (None, "ok", "[INFO]      MAC              Upgrade SUCCESS", "16.28.2006"),
    "wrong version": ({"version": "16.26.1040", "psid": PSID}, "ok",
                      HOLDS + f"16.26.1040 (PSID {PSID}); the catalog says 16.28.2006", None),
    "other board": ({"version": "16.28.2006", "psid": "MT_2420110034"}, "ok",
                    HOLDS + f"16.28.2006 (PSID MT_2420110034); the adapter {A} has PSID {PSID}",
                    None),
    "damaged": ({"content": "FWKIT-SIM-IMAGE\nversion=16.2"}, "ok",
                f"[ERROR]     Image {IMAGE} could not be read by the firmware tool (exit status 1): "
                f"-E- ./nic_fw/{IMAGE} is not a valid firmware image", None),
    "burn changes nothing": (None, "unchanged", f"[ERROR]     burn of {A} reported success but "
                             "the adapter's flash holds 16.26.1040, not 16.28.2006", "16.26.1040"),
}


@pytest.mark.parametrize("mode", ["-s", "-u"])
@pytest.mark.parametrize("case", CASES)
def test_each_burn_is_checked_before_and_after(server, case, mode):
    image, outcome, event, flash = CASES[case]
    s = server({"functions": [{**ADAPTER, "burn": {"outcome": outcome}}], "catalog": [ENTRY],
                "images": [{"file": IMAGE, **image}] if image else []})
    if mode == "-u":
        assert s.run("-d", "r.xml").status == 0
    start = len(s.calls())
    r = s.run(*(["-s"] if mode == "-s" else ["-u", "r.xml"]))
    calls = [f"mstflint -d {A} q"]  # -s: the inventory; -u: whether the report still holds
    calls += [f"mstflint -i ./nic_fw/{IMAGE} q"]
    if flash:  # burned, then asked once more
        calls += [f"mstflint -s -y -d {A} -i ./nic_fw/{IMAGE} b", f"mstflint -d {A} q"]
    assert s.call_lines(start) == calls
    ok, log = "SUCCESS" in event, s.log()
    assert (r.status, s.firmware(A), "SUCCESS" in log) == (0 if ok else 2, flash or "16.26.1040", ok)
    assert event + "\n" in log
    closing = log.endswith("[ERROR]     read_discovery_report: Error at read_NIC_FW_xml_file\n\n")
    assert (r.body == "") if mode == "-s" else (closing != ok)


def test_two_vmd_domains_with_the_same_bus_and_device_are_two_adapters(server):
    b = A.replace("10000:", "10001:")
    s = server({"functions": [ADAPTER, {**ADAPTER, "address": b}], "catalog": [ENTRY]})
    assert s.run("-s").status == 0 and sorted(x[x.index("-d") + 1] for x in s.burns()) == [A, b]
    assert (s.firmware(A), s.firmware(b)) == ("16.28.2006", "16.28.2006")
