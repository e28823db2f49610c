#!/usr/bin/env python3
"""Simulated server for fwkit's end-to-end tests and demo.

One script with several roles, chosen by the name it runs under:

  fwsim.py COMMAND ...   the generator and helper command line (see usage())
  mstflint               stand-in firmware tool, copied to DIR/nic_fw/mstflint
  getmlnxinfo            stand-in image-information tool, copied to DIR/getmlnxinfo

The stand-ins keep their state next to themselves, in DIR/nic_fw/.sim/:
  server.json   the server description; a successful burn updates the
                flash firmware of the burned device in it, and a simulated
                reset makes the device run what its flash holds
  calls.log     one JSON object per call of either stand-in
  state.lock    lock file for updates of server.json
  fwsim         a copy of this script, used by the test harness (supervise)

Nothing global is used (no environment variable, no fixed path), so any
number of working directories can be used at the same time.
"""

import errno
import fcntl
import json
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import time

SIM_DIR_NAME = ".sim"
IMAGE_MAGIC = "FWKIT-SIM-IMAGE"

FUNCTION_KEYS = {
    "address", "class", "vendor", "device", "subsystem_vendor",
    "subsystem_device", "revision", "omit_sysfs", "physfn", "firmware", "running",
    "psid", "query_output", "query_exit_code", "query_seconds", "query_hangs", "query_daemon",
    "burn", "mlnxinfo", "comment", "guid", "shares_flash",
}
TOP_KEYS = {"name", "comment", "functions", "catalog", "catalog_xml", "images"}
BURN_KEYS = {"outcome", "exit_code", "seconds", "mismatch_text"}
# Failed burns in the tool's words: how far the progress gets, then the lines it writes.
BURN_FAILURES = {
    "flash_write_error": (50, ["-E- Burning FS3 image failed: Flash write error"]),
    "semaphore": (0, ["Failed to lock flash semaphore"]),
    "open_device": (None, ["-E- Failed to open the device"]),
}
PENDING_REFUSAL = ("-E- Burning FS4 image failed: The firmware image was already updated on flash, "
                   "pending reset.")
BURN_OUTCOMES = {"ok", "fail", "psid_mismatch", "killed", "unchanged", "pending_reset",
                 *BURN_FAILURES}
MLNXINFO_KEYS = {"answer", "exit_code", "hangs"}
IMAGE_KEYS = {"file", "version", "psid", "content", "query_hangs"}
# Text attributes every function gets in the testbed, in this order.
SYSFS_TEXT_ATTRS = ("vendor", "device", "subsystem_vendor", "subsystem_device",
                    "class", "revision", "irq", "resource", "modalias",
                    "numa_node", "enable")

ADDRESS_RE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{2}):([0-1][0-9a-f])\.([0-7])$")


class DescriptionError(Exception):
    pass


# --------------------------------------------------------------------------
# Server description
# --------------------------------------------------------------------------

def _hex_field(fn, key, bits, default=None):
    value = fn.get(key, default)
    if value is None:
        raise DescriptionError(f"function {fn.get('address')}: missing \"{key}\"")
    if isinstance(value, int):
        number = value
    else:
        text = str(value).strip()
        try:
            number = int(text, 16)
        except ValueError:
            raise DescriptionError(
                f"function {fn.get('address')}: \"{key}\" is not hexadecimal: {value!r}")
    if number < 0 or number >= (1 << bits):
        raise DescriptionError(
            f"function {fn.get('address')}: \"{key}\" out of range: {value!r}")
    return number


def _is_status(value):
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 255


def normalise(desc):
    """Checks a server description and returns it as a dict with "functions"."""
    if isinstance(desc, list):
        desc = {"functions": desc}
    if not isinstance(desc, dict):
        raise DescriptionError("the description must be a JSON object or a list of functions")
    unknown = set(desc) - TOP_KEYS
    if unknown:
        raise DescriptionError(f"unknown top-level keys: {sorted(unknown)}")
    functions = desc.get("functions", [])
    if not isinstance(functions, list):
        raise DescriptionError("\"functions\" must be a list")
    seen = set()
    for fn in functions:
        if not isinstance(fn, dict):
            raise DescriptionError("each function must be a JSON object")
        unknown = set(fn) - FUNCTION_KEYS
        if unknown:
            raise DescriptionError(f"function {fn.get('address')}: unknown keys {sorted(unknown)}")
        address = fn.get("address")
        if not isinstance(address, str) or not ADDRESS_RE.match(address):
            raise DescriptionError(
                f"bad address {address!r}: want dddd:bb:dd.f in lower-case hex")
        if address in seen:
            raise DescriptionError(f"address {address} appears twice")
        seen.add(address)
        _hex_field(fn, "class", 24)
        _hex_field(fn, "vendor", 16)
        _hex_field(fn, "device", 16)
        _hex_field(fn, "subsystem_vendor", 16, fn.get("vendor"))
        _hex_field(fn, "subsystem_device", 16, fn.get("device"))
        _hex_field(fn, "revision", 8, "0x00")
        omit = fn.get("omit_sysfs", [])
        if not isinstance(omit, list) or any(a not in SYSFS_TEXT_ATTRS + ("config",) for a in omit):
            raise DescriptionError(
                f"function {address}: \"omit_sysfs\" must list names out of "
                f"{list(SYSFS_TEXT_ATTRS) + ['config']}")
        for key in ("firmware", "running", "psid", "query_output"):
            if key in fn and not isinstance(fn[key], str):
                raise DescriptionError(f"function {address}: \"{key}\" must be a string")
        if not _is_status(fn.get("query_exit_code", 0)):
            raise DescriptionError(f"function {address}: \"query_exit_code\" must be 0..255")
        for key in ("query_seconds", "query_daemon"):
            seconds = fn.get(key, 0)
            if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or seconds < 0:
                raise DescriptionError(f"function {address}: \"{key}\" must be a number >= 0")
        if not isinstance(fn.get("query_hangs", False), bool):
            raise DescriptionError(f"function {address}: \"query_hangs\" must be true or false")
        burn = fn.get("burn")
        if burn is not None:
            if not isinstance(burn, dict) or set(burn) - BURN_KEYS:
                raise DescriptionError(
                    f"function {address}: \"burn\" takes only {sorted(BURN_KEYS)}")
            if burn.get("outcome", "ok") not in BURN_OUTCOMES:
                raise DescriptionError(
                    f"function {address}: burn outcome must be one of {sorted(BURN_OUTCOMES)}")
            if not _is_status(burn.get("exit_code", 1)):
                raise DescriptionError(f"function {address}: burn exit_code must be 0..255")
            if not isinstance(burn.get("seconds", 0), (int, float)) or burn.get("seconds", 0) < 0:
                raise DescriptionError(f"function {address}: burn seconds must be a number >= 0")
            if not isinstance(burn.get("mismatch_text", ""), str):
                raise DescriptionError(f"function {address}: mismatch_text must be a string")
        info = fn.get("mlnxinfo")
        if info is not None:
            if not isinstance(info, dict) or set(info) - MLNXINFO_KEYS:
                raise DescriptionError(
                    f"function {address}: \"mlnxinfo\" takes only {sorted(MLNXINFO_KEYS)}")
            if not isinstance(info.get("answer", ""), str):
                raise DescriptionError(f"function {address}: mlnxinfo answer must be a string")
            if not _is_status(info.get("exit_code", 0)):
                raise DescriptionError(f"function {address}: mlnxinfo exit_code must be 0..255")
    check_shared_flash(functions)
    for fn in functions:
        parent = fn.get("physfn")
        if parent is None:
            continue
        owner = next((p for p in functions if p.get("address") == parent), None)
        if owner is None or "physfn" in owner or parent == fn["address"]:
            raise DescriptionError(f"function {fn['address']}: \"physfn\" must be the address "
                                   "of another function that is no virtual function itself")
        if "firmware" in fn:
            raise DescriptionError(f"function {fn['address']}: a virtual function has no "
                                   "\"firmware\" of its own")
    if "catalog" in desc and "catalog_xml" in desc:
        raise DescriptionError("give either \"catalog\" or \"catalog_xml\", not both")
    catalog = desc.get("catalog")
    if catalog is not None:
        if not isinstance(catalog, list) or not all(isinstance(e, dict) for e in catalog):
            raise DescriptionError("\"catalog\" must be a list of objects")
        for entry in catalog:
            for key, value in entry.items():
                if not re.match(r"^[A-Za-z_][A-Za-z0-9_.-]*$", key) or not isinstance(value, str):
                    raise DescriptionError(f"catalog entry {entry!r}: attribute names must be "
                                           "XML names and values strings")
    if "catalog_xml" in desc and not isinstance(desc["catalog_xml"], str):
        raise DescriptionError("\"catalog_xml\" must be a string")
    images = desc.get("images", [])
    if not isinstance(images, list):
        raise DescriptionError("\"images\" must be a list")
    for image in images:
        if not isinstance(image, dict) or set(image) - IMAGE_KEYS or "file" not in image:
            raise DescriptionError(
                f"image {image!r}: takes \"file\" and {sorted(IMAGE_KEYS - {'file'})}")
    desc["functions"] = functions
    return desc


def check_shared_flash(functions):
    """A function's own "guid" is a string; a function that "shares_flash" names another one that
    has firmware (and a flash of its own), and has no firmware of its own."""
    by_address = {fn.get("address"): fn for fn in functions}
    for fn in functions:
        if not isinstance(fn.get("guid", ""), str):
            raise DescriptionError(f"function {fn['address']}: \"guid\" must be a string")
        owner = by_address.get(fn.get("shares_flash", fn["address"]))
        if "shares_flash" in fn and (owner is None or owner is fn or "shares_flash" in owner
                                     or "firmware" not in owner or "firmware" in fn):
            raise DescriptionError(f"function {fn['address']}: \"shares_flash\" must be the "
                                   "address of another function with firmware of its own, and "
                                   "this one has none")


def flash_owner(desc, fn):
    """The function whose flash fn's queries read and burns write: its own, or the one it shares."""
    if fn is None or "shares_flash" not in fn:
        return fn
    return find_function(desc, fn["shares_flash"])


def load_description(path):
    try:
        if path == "-":
            text = sys.stdin.read()
        else:
            with open(path, encoding="utf-8") as f:
                text = f.read()
    except OSError as e:
        raise DescriptionError(f"cannot read {path}: {e.strerror}")
    try:
        desc = json.loads(text)
    except ValueError as e:
        raise DescriptionError(f"{path}: not valid JSON: {e}")
    return normalise(desc)


# --------------------------------------------------------------------------
# umockdev testbed
# --------------------------------------------------------------------------

def _escape_attr(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n")


def config_space(fn):
    cfg = bytearray(256)
    ven = _hex_field(fn, "vendor", 16)
    dev = _hex_field(fn, "device", 16)
    cls = _hex_field(fn, "class", 24)
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
    dev = _hex_field(fn, "device", 16)
    sven = _hex_field(fn, "subsystem_vendor", 16, fn["vendor"])
    sdev = _hex_field(fn, "subsystem_device", 16, fn["device"])
    cls = _hex_field(fn, "class", 24)
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
        dev = _hex_field(fn, "device", 16)
        sven = _hex_field(fn, "subsystem_vendor", 16, fn["vendor"])
        sdev = _hex_field(fn, "subsystem_device", 16, fn["device"])
        cls = _hex_field(fn, "class", 24)
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


# --------------------------------------------------------------------------
# Firmware repository
# --------------------------------------------------------------------------

def image_text(version, psid):
    return f"{IMAGE_MAGIC}\nversion={version}\npsid={psid}\n"


def parse_image(text):
    """Returns {"version": ..., "psid": ...} or None when it is no image of ours."""
    lines = text.splitlines()
    if not lines or lines[0].strip() != IMAGE_MAGIC:
        return None
    fields = {}
    for line in lines[1:]:
        key, sep, value = line.partition("=")
        if sep:
            fields[key.strip()] = value.strip()
    if "version" not in fields or "psid" not in fields:
        return None
    return fields


def _xml_attr(value):
    return (value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def catalog_xml(entries):
    out = ['<?xml version="1.0" encoding="UTF-8"?>', "<NICFWData>"]
    for entry in entries:
        attrs = " ".join(f'{key}="{_xml_attr(value)}"' for key, value in entry.items())
        out.append(f"  <Image {attrs}/>")
    out.append("</NICFWData>")
    return "\n".join(out) + "\n"


def _inside(base, rel):
    """The path of rel below base, or None when rel would leave base."""
    if not rel or os.path.isabs(rel):
        return None
    path = os.path.normpath(os.path.join(base, rel))
    if path != base and path.startswith(base + os.sep):
        return path
    return None


def _write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


def write_repository(desc, fwdir):
    here = os.path.dirname(os.path.realpath(__file__))
    if "catalog_xml" in desc:
        _write(os.path.join(fwdir, "NICFWData.xml"), desc["catalog_xml"])
    elif "catalog" in desc:
        _write(os.path.join(fwdir, "NICFWData.xml"), catalog_xml(desc["catalog"]))
        written = set()
        for entry in desc["catalog"]:
            name = entry.get("fwFile")
            if name is None or "n/a" in name or name in written:
                continue
            path = _inside(fwdir, name)
            if path is None:
                continue
            written.add(name)
            _write(path, image_text(entry.get("rom", "0.0.0"), entry.get("PSID", "")))
    else:
        repo = os.path.join(here, "repo")
        for name in sorted(os.listdir(repo)):
            src = os.path.join(repo, name)
            if os.path.isfile(src):
                shutil.copyfile(src, os.path.join(fwdir, name))
    for image in desc.get("images", []):
        path = _inside(fwdir, image["file"])
        if path is None:
            raise DescriptionError(f"image file {image['file']!r} is not inside nic_fw/")
        if "content" in image:
            _write(path, image["content"])
        else:
            _write(path, image_text(image.get("version", "0.0.0"), image.get("psid", "")))


def install_script(dest):
    """Copies this script to dest, run by the interpreter running now."""
    with open(os.path.realpath(__file__), encoding="utf-8") as f:
        source = f.read()
    interpreter = sys.executable
    if interpreter and os.path.isabs(interpreter) and " " not in interpreter:
        # The copies live only as long as their working directory; pin them to
        # this interpreter (isolated, no site) so every start is quick.
        source = f"#!{interpreter} -IS\n" + source.split("\n", 1)[1]
    _write(dest, source, 0o755)


def make_workdir(desc, workdir):
    if os.path.exists(workdir) and (not os.path.isdir(workdir) or os.listdir(workdir)):
        raise DescriptionError(f"{workdir} exists and is not an empty directory")
    fwdir = os.path.join(workdir, "nic_fw")
    simdir = os.path.join(fwdir, SIM_DIR_NAME)
    os.makedirs(simdir, exist_ok=True)
    _write(os.path.join(workdir, "server.umockdev"), testbed_text(desc))
    write_repository(desc, fwdir)
    install_script(os.path.join(simdir, "fwsim"))
    shutil.copy2(os.path.join(simdir, "fwsim"), os.path.join(fwdir, "mstflint"))
    shutil.copy2(os.path.join(simdir, "fwsim"), os.path.join(workdir, "getmlnxinfo"))
    save_state(simdir, desc)
    _write(os.path.join(simdir, "calls.log"), "")


# --------------------------------------------------------------------------
# Simulator state (used by the stand-ins)
# --------------------------------------------------------------------------

class StateLock:
    def __init__(self, simdir, exclusive):
        self.path = os.path.join(simdir, "state.lock")
        self.mode = fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        fcntl.flock(self.fd, self.mode)
        return self

    def __exit__(self, *exc):
        os.close(self.fd)


def load_state(simdir):
    with open(os.path.join(simdir, "server.json"), encoding="utf-8") as f:
        return json.load(f)


def save_state(simdir, desc):
    """Replaces server.json in one step, so readers never see half a file."""
    fd, tmp = tempfile.mkstemp(dir=simdir, prefix=".server.", suffix=".tmp")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(desc, f, indent=1)
        f.write("\n")
    os.chmod(tmp, 0o644)
    os.rename(tmp, os.path.join(simdir, "server.json"))


def find_function(desc, address):
    for fn in desc.get("functions", []):
        if fn.get("address") == address:
            return fn
    return None


def _stdout_kind():
    try:
        mode = os.fstat(1).st_mode
    except OSError:
        return "closed"
    if os.isatty(1):
        return "tty"
    if stat.S_ISFIFO(mode):
        return "pipe"
    if stat.S_ISREG(mode):
        return "file"
    return "other"


def record_call(simdir, tool, argv):
    try:
        cwd = os.getcwd()
    except OSError:
        cwd = ""
    entry = {"tool": tool, "argv": argv, "cwd": cwd, "pid": os.getpid(),
             "stdout": _stdout_kind()}
    line = (json.dumps(entry, ensure_ascii=True) + "\n").encode("ascii")
    fd = os.open(os.path.join(simdir, "calls.log"),
                 os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, line)
    finally:
        os.close(fd)


def read_calls(workdir):
    calls = []
    path = os.path.join(workdir, "nic_fw", SIM_DIR_NAME, "calls.log")
    with open(path, encoding="ascii") as f:
        for line in f:
            if line.endswith("\n"):
                calls.append(json.loads(line))
    return calls


# --------------------------------------------------------------------------
# Stand-in mstflint
# --------------------------------------------------------------------------

def _err(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def _mac_of(address):
    # Bus, device and function, with the domain folded in: adapters in two VMD domains at the same
    # bus:device are two boards with two GUIDs.
    domain, rest = address.split(":", 1)
    number = int(re.sub(r"[^0-9a-f]", "", rest), 16) + int(domain, 16) * 0x9E3779
    return "0002c9" + f"{number % 0x1000000:06x}"


def pending_version(fn):
    """The version a function still runs when its flash holds another one, else None."""
    running = fn.get("running")
    return running if running is not None and running != fn.get("firmware") else None


def query_report(fn):
    """The report of the query command as the real tool lays it out: the label
    and its colon, blanks up to column 23, the value."""
    mac = _mac_of(fn["address"])
    guid = fn.get("guid", f"{mac[:6]}0300{mac[6:]}")
    rows = [("Image type", "FS4"), ("FW Version", fn["firmware"])]
    if pending_version(fn) is not None:
        rows.append(("FW Version(Running)", pending_version(fn)))
    rows += [
        ("FW Release Date", "12.1.2023"),
        ("Product Version", fn["firmware"]),
        ("Rom Info", "type=UEFI version=14.29.15 cpu=AMD64"),
        ("Description", "UID                GuidsNumber"),
        ("Base GUID", f"{guid}        4"),
        ("Base MAC", f"{mac}            4"),
        ("Image VSD", "N/A"),
        ("Device VSD", "N/A"),
    ]
    if "psid" in fn:
        rows += [("PSID", fn["psid"]), ("Orig PSID", fn["psid"])]
    rows.append(("Security Attributes", "N/A"))
    return "".join(f"{label + ':':<23}{value}\n" for label, value in rows)


def query_delay(fn):
    """A slow device answers after query_seconds; a wedged one never does."""
    if fn.get("query_hangs"):
        while True:
            signal.pause()
    time.sleep(fn.get("query_seconds", 0))


def hang():
    while True:
        signal.pause()


def leave_daemon(seconds):
    """A tool that starts a daemon on its way out: it leaves its own session and holds the
    tool's output open for `seconds` after the tool has answered and exited."""
    if seconds and os.fork() == 0:
        os.setsid()
        time.sleep(seconds)
        os._exit(0)


def mstflint_query(simdir, address):
    with StateLock(simdir, exclusive=False):
        desc = load_state(simdir)
        fn = flash_owner(desc, find_function(desc, address))
    query_delay(fn or {})
    if fn is None or "firmware" not in fn:
        _err(f"-E- Cannot open device {address}: no such device")
        return 1
    if "query_output" in fn:
        sys.stdout.write(fn["query_output"])
    else:
        sys.stdout.write(query_report(fn))
    sys.stdout.flush()
    leave_daemon(fn.get("query_daemon", 0))
    return fn.get("query_exit_code", 0)


def read_image_file(image_path):
    """The image's fields, or None after printing the tool's error for a missing or damaged one."""
    try:
        with open(image_path, encoding="utf-8", errors="replace") as f:
            image = parse_image(f.read())
    except OSError as e:
        _err(f"-E- Cannot open image file {image_path}: {e.strerror}")
        return None
    if image is None:
        _err(f"-E- {image_path} is not a valid firmware image")
    return image


def mstflint_image_query(simdir, image_path):
    """The query of an image file: the adapter query's layout, read from the file."""
    with StateLock(simdir, exclusive=False):
        images = load_state(simdir).get("images", [])
    if any(i.get("query_hangs") and i["file"] == os.path.basename(image_path) for i in images):
        hang()
    image = read_image_file(image_path)
    if image is None:
        return 1
    rows = [("Image type", "FS4"), ("FW Version", image["version"]),
            ("FW Release Date", "n/a"), ("PSID", image["psid"]),
            ("Security Attributes", "N/A")]
    sys.stdout.write("".join(f"{label + ':':<22}{value}\n" for label, value in rows if value))
    sys.stdout.flush()
    return 0


def _progress(seconds, upto=100):
    steps = 10
    print("Burning FW image ... 0%", flush=True)
    for step in range(1, steps + 1):
        percent = step * 100 // steps
        if percent > upto:
            break
        end = time.monotonic() + seconds / steps
        while True:
            left = end - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(left, 0.05))
        print(f"Burning FW image ... {percent}%", flush=True)


def mstflint_burn(simdir, address, image_path):
    with StateLock(simdir, exclusive=False):
        desc = load_state(simdir)
        fn = flash_owner(desc, find_function(desc, address))
    if fn is None or "firmware" not in fn:
        _err(f"-E- Cannot open device {address}: no such device")
        return 1
    image = read_image_file(image_path)
    if image is None:
        return 1
    burn = fn.get("burn", {})
    outcome = burn.get("outcome", "ok")
    seconds = burn.get("seconds", 0)
    print(f"Current FW version on {address}: {fn['firmware']}", flush=True)
    print(f"New FW version:     {image['version']}", flush=True)
    if outcome == "psid_mismatch" or image["psid"] != fn.get("psid"):
        words = burn.get("mismatch_text", "PSID Mismatch")
        _err(f"-E- {words}: the image is meant for {image['psid'] or '(none)'}, "
             f"the device is {fn.get('psid', '(none)')}")
        return 1
    if outcome == "pending_reset" and pending_version(fn) is not None:
        _err(PENDING_REFUSAL)  # newer adapters take no image until the last one runs
        return 1
    if outcome in BURN_FAILURES:
        upto, lines = BURN_FAILURES[outcome]
        if upto is not None:
            _progress(seconds, upto=upto)
        for text in lines:
            _err(text)
        return burn.get("exit_code", 1)
    if outcome == "fail":
        _progress(seconds, upto=50)
        _err(f"-E- Burning the image failed: flash write error at {address}")
        return burn.get("exit_code", 1)
    _progress(seconds)
    if outcome == "killed":
        os.kill(os.getpid(), signal.SIGKILL)
        time.sleep(10)
        return 1
    if outcome == "unchanged":  # a tool that claims a burn it did not do
        print(f"Burn complete: {address} now runs FW version {image['version']}.", flush=True)
        return 0
    # The whole PCI device (all its functions) has the one flash. The device
    # goes on running what it ran before until it is reset.
    device = fn["address"].rsplit(".", 1)[0]
    with StateLock(simdir, exclusive=True):
        desc = load_state(simdir)
        for other in desc["functions"]:
            if other["address"].rsplit(".", 1)[0] == device and "firmware" in other:
                other.setdefault("running", other["firmware"])
                other["firmware"] = image["version"]
                if other["running"] == other["firmware"]:
                    del other["running"]
        save_state(simdir, desc)
    print(f"Burn complete: {address} holds FW version {image['version']}; "
          "it runs after a reset.", flush=True)
    return 0


def reset_devices(workdir, address=None):
    """A simulated reset of one PCI device (or of all): it runs what its flash
    holds. Returns the functions reset."""
    simdir = os.path.join(workdir, "nic_fw", SIM_DIR_NAME)
    device = address.rsplit(".", 1)[0] if address else None
    reset = []
    with StateLock(simdir, exclusive=True):
        desc = load_state(simdir)
        for fn in desc["functions"]:
            if device is None or fn["address"].rsplit(".", 1)[0] == device:
                if fn.pop("running", None) is not None:
                    reset.append(fn["address"])
        save_state(simdir, desc)
    return reset


def record_burn_time(simdir, address, started):
    """When a burn ran, one JSON line per burn in burn_times.log: burns side by side overlap."""
    line = json.dumps({"address": address, "start": started, "end": time.time()}) + "\n"
    fd = os.open(os.path.join(simdir, "burn_times.log"),
                 os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        os.write(fd, line.encode("ascii"))  # one write: lines of burns side by side never mix
    finally:
        os.close(fd)


def tool_mstflint(simdir, argv):
    record_call(simdir, "mstflint", argv)
    if len(argv) == 3 and argv[0] == "-d" and argv[2] == "q":
        return mstflint_query(simdir, argv[1])
    if len(argv) == 3 and argv[0] == "-i" and argv[2] == "q":
        return mstflint_image_query(simdir, argv[1])
    args = argv[1:] if argv[:1] == ["-s"] else argv
    if (len(args) == 6 and args[0] == "-y" and args[1] == "-d" and args[3] == "-i"
            and args[5] == "b"):
        started = time.time()
        status = mstflint_burn(simdir, args[2], args[4])
        record_burn_time(simdir, args[2], started)
        return status
    _err("-E- Usage: mstflint -d DEVICE q | mstflint -i IMAGE q | "
         "mstflint [-s] -y -d DEVICE -i IMAGE b")
    _err("-E- Got: " + " ".join(argv))
    return 1


# --------------------------------------------------------------------------
# Stand-in getmlnxinfo
# --------------------------------------------------------------------------

def tool_getmlnxinfo(simdir, argv):
    record_call(simdir, "getmlnxinfo", argv)
    if len(argv) != 2 or argv[0] != "imgfile":
        _err("usage: getmlnxinfo imgfile DEVICE")
        return 1
    with StateLock(simdir, exclusive=False):
        fn = find_function(load_state(simdir), argv[1])
    info = (fn or {}).get("mlnxinfo")
    if info is None:
        print("0", flush=True)
        return 0
    if info.get("hangs"):
        hang()
    if "answer" in info:
        print(info["answer"], flush=True)
    return info.get("exit_code", 0)


# --------------------------------------------------------------------------
# Harness support: run a program and keep its exact wait status
# --------------------------------------------------------------------------

PASSED_SIGNALS = (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP)


def _write_small(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.rename(tmp, path)


def supervise(status_file, pid_file, env_changes, argv):
    """Runs argv as a child and writes its wait status to status_file.

    umockdev-run reports a child that a signal ended with the signal number as
    its own exit code, which looks just like an ordinary exit. The harness
    therefore puts this supervisor between umockdev-run and the program. The
    supervisor ignores the terminal signals itself: a test sends them to the
    program (by the pid in pid_file) or to the whole process group, as a
    terminal would. env_changes are (name, value) pairs applied to the
    program's environment, a value of None removing the variable.
    """
    for sig in PASSED_SIGNALS:
        signal.signal(sig, signal.SIG_IGN)
    pid = os.fork()
    if pid == 0:
        try:
            for sig in PASSED_SIGNALS + (signal.SIGPIPE, signal.SIGXFSZ):
                signal.signal(sig, signal.SIG_DFL)
            for name, value in env_changes:
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
            os.execvp(argv[0], argv)
        except OSError as e:
            os.write(2, f"fwsim supervise: cannot run {argv[0]}: {e.strerror}\n".encode())
        os._exit(127)
    _write_small(pid_file, f"{pid}\n")
    while True:
        try:
            _, status = os.waitpid(pid, 0)
            break
        except ChildProcessError:
            status = 127 << 8
            break
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        _write_small(status_file, f"signaled {sig}\n")
        return 128 + sig
    code = os.WEXITSTATUS(status)
    _write_small(status_file, f"exited {code}\n")
    return code


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------

def usage():
    return """usage: fwsim.py COMMAND ...
  testbed SERVER.json OUT.umockdev   write the umockdev testbed of a server
  workdir SERVER.json DIR            lay out a fresh working directory for one run
  image VERSION PSID OUT             write a simulated firmware image
  calls DIR [--json]                 print the stand-in calls recorded in DIR
  firmware DIR [ADDRESS]             print the firmware in flash in DIR's state
                                     (and what still runs, when a reset is pending;
                                     a function sharing another's flash names it)
  reset DIR [ADDRESS]                reset ADDRESS's device (or all): it runs its flash
  supervise STATUS PIDFILE [--setenv NAME=VALUE | --unsetenv NAME]... -- PROGRAM ARGS...
                                     (test harness) run PROGRAM, keep its wait status
SERVER.json may be - for standard input."""


def main_cli(argv):
    if not argv or argv[0] in ("-h", "--help", "help"):
        print(usage())
        return 0 if argv else 2
    cmd, args = argv[0], argv[1:]
    try:
        if cmd == "testbed" and len(args) == 2:
            text = testbed_text(load_description(args[0]))
            if args[1] == "-":
                sys.stdout.write(text)
            else:
                _write(os.path.abspath(args[1]), text)
            return 0
        if cmd == "workdir" and len(args) == 2:
            make_workdir(load_description(args[0]), os.path.abspath(args[1]))
            return 0
        if cmd == "image" and len(args) == 3:
            _write(os.path.abspath(args[2]), image_text(args[0], args[1]))
            return 0
        if cmd == "calls" and len(args) in (1, 2) and args[1:] in ([], ["--json"]):
            for call in read_calls(args[0]):
                if args[1:]:
                    print(json.dumps(call))
                else:
                    print(call["tool"], " ".join(call["argv"]))
            return 0
        if cmd == "firmware" and len(args) in (1, 2):
            desc = load_state(os.path.join(args[0], "nic_fw", SIM_DIR_NAME))
            for fn in desc["functions"]:
                if "shares_flash" in fn and (len(args) == 1 or fn["address"] == args[1]):
                    print(f"{fn['address']} shares the flash of {fn['shares_flash']}")
                if "firmware" in fn and (len(args) == 1 or fn["address"] == args[1]):
                    running = pending_version(fn)
                    pending = f" (running {running} until a reset)" if running else ""
                    print(f"{fn['address']} {fn['firmware']}{pending}")
            return 0
        if cmd == "reset" and len(args) in (1, 2):
            for address in reset_devices(args[0], *args[1:]):
                print(address, "reset")
            return 0
        if cmd == "supervise" and "--" in args[2:]:
            end = args.index("--", 2)
            changes = []
            options = args[2:end]
            while len(options) >= 2 and options[0] in ("--setenv", "--unsetenv"):
                if options[0] == "--setenv":
                    name, _, value = options[1].partition("=")
                    changes.append((name, value))
                else:
                    changes.append((options[1], None))
                options = options[2:]
            if not options and end + 1 < len(args):
                return supervise(args[0], args[1], changes, args[end + 1:])
    except DescriptionError as e:
        _err(f"fwsim: {e}")
        return 1
    except OSError as e:
        _err(f"fwsim: {e}")
        return 1
    _err(usage())
    return 2


def main():
    me = os.path.abspath(__file__)
    role = os.path.basename(sys.argv[0])
    if role in ("mstflint", "getmlnxinfo"):
        # Die of the signal like any program would, without a traceback.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        if role == "mstflint":
            simdir = os.path.join(os.path.dirname(me), SIM_DIR_NAME)
            return tool_mstflint(simdir, sys.argv[1:])
        simdir = os.path.join(os.path.dirname(me), "nic_fw", SIM_DIR_NAME)
        return tool_getmlnxinfo(simdir, sys.argv[1:])
    return main_cli(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
