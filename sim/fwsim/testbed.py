"""The umockdev testbed of a server: one PCI device per function of its description, with the
sysfs attributes, config space and SR-IOV links the kernel would show."""

import os

from .description import _hex_field, shown_ids


def _escape_attr(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n")


def config_space(fn):
    cfg = bytearray(256)
    ven = _hex_field(fn, "vendor", 16)
    dev, cls = shown_ids(fn)
    cfg[0x00:0x02] = ven.to_bytes(2, "little")
    cfg[0x02:0x04] = dev.to_bytes(2, "little")
    cfg[0x04:0x06] = (0x0006).to_bytes(2, "little")      # memory space, bus master
    cfg[0x08] = _hex_field(fn, "revision", 8, "0x00")
    cfg[0x09:0x0c] = cls.to_bytes(3, "little")           # prog-if, sub-class, base class
    cfg[0x0e] = 0                                         # header type 0
    cfg[0x2c:0x2e] = _hex_field(fn, "subsystem_vendor", 16, fn["vendor"]).to_bytes(2, "little")
    cfg[0x2e:0x30] = _hex_field(fn, "subsystem_device", 16, fn["device"]).to_bytes(2, "little")
    return bytes(cfg)


def sysfs_attrs(fn):
    ven = _hex_field(fn, "vendor", 16)
    dev, cls = shown_ids(fn)
    sven = _hex_field(fn, "subsystem_vendor", 16, fn["vendor"])
    sdev = _hex_field(fn, "subsystem_device", 16, fn["device"])
    rev = _hex_field(fn, "revision", 8, "0x00")
    zero = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
    modalias = "pci:v%08Xd%08Xsv%08Xsd%08Xbc%02Xsc%02Xi%02X\n" % (
        ven, dev, sven, sdev, cls >> 16, (cls >> 8) & 0xff, cls & 0xff)
    return {
        "vendor": f"0x{ven:04x}\n",
        "device": f"0x{dev:04x}\n",
        "subsystem_vendor": f"0x{sven:04x}\n",
        "subsystem_device": f"0x{sdev:04x}\n",
        "class": f"0x{cls:06x}\n",
        "revision": f"0x{rev:02x}\n",
        "irq": "0\n",
        "resource": zero * 13,
        "modalias": modalias,
        "numa_node": "-1\n",
        "enable": "1\n",
    }


def device_path(address):
    domain, bus = address.split(":")[:2]
    return f"/devices/pci{domain}:{bus}/{address}"


def testbed_text(desc):
    records = []
    functions = desc["functions"]
    for fn in functions:
        address = fn["address"]
        ven = _hex_field(fn, "vendor", 16)
        dev, cls = shown_ids(fn)
        sven = _hex_field(fn, "subsystem_vendor", 16, fn["vendor"])
        sdev = _hex_field(fn, "subsystem_device", 16, fn["device"])
        omit = set(fn.get("omit_sysfs", []))
        lines = [
            f"P: {device_path(address)}",
            "E: SUBSYSTEM=pci",
            f"E: PCI_CLASS={cls:X}",
            f"E: PCI_ID={ven:04X}:{dev:04X}",
            f"E: PCI_SUBSYS_ID={sven:04X}:{sdev:04X}",
            f"E: PCI_SLOT_NAME={address}",
        ]
        for name, value in sysfs_attrs(fn).items():
            if name not in omit:
                lines.append(f"A: {name}={_escape_attr(value)}")
        if "config" not in omit:
            lines.append(f"H: config={config_space(fn).hex().upper()}")
        # SR-IOV as the kernel shows it: a virtual function links to its
        # physical function as physfn, which links back as virtfnN.
        here = device_path(address)
        if "physfn" in fn:
            lines.append(f"L: physfn={os.path.relpath(device_path(fn['physfn']), here)}")
        vfs = [vf["address"] for vf in functions if vf.get("physfn") == address]
        for n, vf in enumerate(vfs):
            lines.append(f"L: virtfn{n}={os.path.relpath(device_path(vf), here)}")
        records.append("\n".join(lines) + "\n")
    if not records:
        # Without /sys/bus/pci libpci falls back to /proc/bus/pci, which
        # umockdev leaves to the real machine: the host's own devices would
        # show. An entry whose name starts with a dot keeps the directory and
        # is skipped by libpci's scan.
        records.append("P: /devices/pci0000:00/.no-devices\nE: SUBSYSTEM=pci\n")
    return "\n".join(records)
