"""Server descriptions: every key a description may hold, with the check of its value."""

import json
import re
import sys

ADDRESS_RE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{2}):([0-1][0-9a-f])\.([0-7])$")
XML_NAME_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_.-]*$")
# Text attributes every function gets in the testbed, in this order.
SYSFS_TEXT_ATTRS = ("vendor", "device", "subsystem_vendor", "subsystem_device",
                    "class", "revision", "irq", "resource", "modalias",
                    "numa_node", "enable")
# Failed burns in the tool's words: how far the progress gets, then the lines it writes.
BURN_FAILURES = {
    "flash_write_error": (50, ["-E- Burning FS3 image failed: Flash write error"]),
    "semaphore": (0, ["Failed to lock flash semaphore"]),
    "open_device": (None, ["-E- Failed to open the device"]),
}
# Flash recovery mode: a chip whose firmware is broken shows another device id (these, per its
# normal one) and the class "Memory controller".
RECOVERY_DEVICE = {0x1003: 0x01f6, 0x1007: 0x01f8, 0x1011: 0x01ff, 0x1013: 0x0209,
                   0x1015: 0x020b, 0x1017: 0x020d, 0x1019: 0x020d, 0x101b: 0x020f,
                   0x101d: 0x0212, 0x101f: 0x0216, 0x1021: 0x0218, 0x1023: 0x021e,
                   0xa2d2: 0x0211, 0xa2d6: 0x0214, 0xa2dc: 0x021c}
RECOVERY_CLASS = 0x058000
BURN_OUTCOMES = {"ok", "fail", "psid_mismatch", "killed", "unchanged", "pending_reset",
                 *BURN_FAILURES}


class DescriptionError(Exception):
    pass


# Checks of one value: None when it is good, else what is wrong with it.
def _any(value):
    return None


def _string(value):
    return None if isinstance(value, str) else "must be a string"


def _flag(value):
    return None if isinstance(value, bool) else "must be true or false"


def _status(value):
    good = isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 255
    return None if good else "must be 0..255"


def _seconds(value):
    good = isinstance(value, (int, float)) and not isinstance(value, bool) and value >= 0
    return None if good else "must be a number >= 0"


def _json_object(value):
    return None if isinstance(value, dict) else "must be a JSON object"


def _one_of(names):
    return lambda value: None if value in names else f"must be one of {sorted(names)}"


def _parse_hex(value, bits):
    """The number of a hex text ("0x15b3", "15b3") or of a number; ValueError when it is none."""
    is_number = isinstance(value, int) and not isinstance(value, bool)
    number = value if is_number else int(str(value).strip(), 16)
    if not 0 <= number < (1 << bits):
        raise ValueError
    return number


def _hex(bits):
    def check(value):
        try:
            _parse_hex(value, bits)
        except ValueError:
            return f"is not a hexadecimal number of {bits} bits: {value!r}"
        return None
    return check


def _object(table, required=()):
    """A JSON object whose keys the table knows, each value passing the key's check."""
    def check(value):
        if not isinstance(value, dict):
            return _json_object(value)
        if set(value) - set(table):
            return f"takes only {sorted(table)}, not {sorted(set(value) - set(table))}"
        missing = [key for key in required if key not in value]
        if missing:
            return f"needs {missing}"
        return next((f'"{key}" {problem}' for key, item in value.items()
                     if (problem := table[key](item))), None)
    return check


def _list_of(check_item):
    def check(value):
        if not isinstance(value, list):
            return "must be a list"
        return next((f"item {n}: {problem}" for n, item in enumerate(value)
                     if (problem := check_item(item))), None)
    return check


def _catalog_entry(entry):
    if not isinstance(entry, dict):
        return _json_object(entry)
    good = all(XML_NAME_RE.match(key) and isinstance(value, str) for key, value in entry.items())
    return None if good else f"{entry!r}: attribute names must be XML names and values strings"


def _omitted(value):
    names = SYSFS_TEXT_ATTRS + ("config",)
    good = isinstance(value, list) and all(name in names for name in value)
    return None if good else f"must list names out of {list(names)}"


BURN_KEYS = {"outcome": _one_of(BURN_OUTCOMES), "exit_code": _status, "seconds": _seconds,
             "mismatch_text": _string}
MLNXINFO_KEYS = {"answer": _string, "exit_code": _status, "hangs": _flag}
IMAGE_KEYS = {"file": _string, "version": _string, "psid": _string, "content": _string,
              "query_hangs": _flag}
# physfn and shares_flash name other functions: checked with the whole list (_check_links).
FUNCTION_KEYS = {
    "address": _string, "class": _hex(24), "vendor": _hex(16), "device": _hex(16),
    "subsystem_vendor": _hex(16), "subsystem_device": _hex(16), "revision": _hex(8),
    "omit_sysfs": _omitted, "physfn": _string, "shares_flash": _string,
    "firmware": _string, "running": _string, "psid": _string, "guid": _string,
    "query_output": _string, "query_exit_code": _status, "query_seconds": _seconds,
    "query_hangs": _flag, "query_daemon": _seconds, "query_leaves_group": _flag,
    "burn": _object(BURN_KEYS), "mlnxinfo": _object(MLNXINFO_KEYS), "recovery": _flag,
    "comment": _any,
}
TOP_KEYS = {"name": _any, "comment": _any,
            "functions": _list_of(_json_object),
            "catalog": _list_of(_catalog_entry), "catalog_xml": _string,
            "images": _list_of(_object(IMAGE_KEYS, required=("file",)))}


def _hex_field(fn, key, bits, default=None):
    """A checked hex value of a function, or default's."""
    value = fn.get(key, default)
    try:
        return _parse_hex(value, bits)
    except (ValueError, TypeError):
        raise DescriptionError(f"function {fn.get('address')}: \"{key}\" is not a hexadecimal "
                               f"number of {bits} bits: {value!r}")


def _check(problem, where):
    if problem:
        raise DescriptionError(f"{where}: {problem}")


def normalise(desc):
    """Checks a server description and returns it as a dict with "functions"."""
    if isinstance(desc, list):
        desc = {"functions": desc}
    _check(_object(TOP_KEYS)(desc), "the description")
    if "catalog" in desc and "catalog_xml" in desc:
        raise DescriptionError("give either \"catalog\" or \"catalog_xml\", not both")
    functions = desc.setdefault("functions", [])
    seen = set()
    for fn in functions:
        address = fn.get("address")
        if not isinstance(address, str) or not ADDRESS_RE.match(address):
            raise DescriptionError(f"bad address {address!r}: want dddd:bb:dd.f in lower-case hex")
        if address in seen:
            raise DescriptionError(f"address {address} appears twice")
        seen.add(address)
        _check(_object(FUNCTION_KEYS, required=("class", "vendor", "device"))(fn),
               f"function {address}")
    _check_links(functions)
    return desc


def _check_links(functions):
    """A virtual function's "physfn" names a function that is none itself, and it has no
    firmware of its own; a function that "shares_flash" names another one that has firmware
    (and a flash of its own), and has no firmware of its own."""
    by_address = {fn["address"]: fn for fn in functions}
    for fn in functions:
        if fn.get("recovery") and (_hex_field(fn, "vendor", 16) != 0x15b3 or "physfn" in fn
                                   or _hex_field(fn, "device", 16) not in RECOVERY_DEVICE):
            raise DescriptionError(f"function {fn['address']}: \"recovery\" needs vendor 15b3, no "
                                   "\"physfn\" and a device id out of "
                                   + " ".join(f"{d:04x}" for d in RECOVERY_DEVICE))
        parent = by_address.get(fn.get("physfn"))
        if "physfn" in fn and (parent is None or parent is fn or "physfn" in parent):
            raise DescriptionError(f"function {fn['address']}: \"physfn\" must be the address "
                                   "of another function that is no virtual function itself")
        if "physfn" in fn and "firmware" in fn:
            raise DescriptionError(f"function {fn['address']}: a virtual function has no "
                                   "\"firmware\" of its own")
        owner = by_address.get(fn.get("shares_flash"))
        if "shares_flash" in fn and (owner is None or owner is fn or "shares_flash" in owner
                                     or "firmware" not in owner or "firmware" in fn):
            raise DescriptionError(f"function {fn['address']}: \"shares_flash\" must be the "
                                   "address of another function with firmware of its own, and "
                                   "this one has none")


def find_function(desc, address):
    for fn in desc.get("functions", []):
        if fn.get("address") == address:
            return fn
    return None


def shown_ids(fn):
    """The device id and class the bus shows for a function: in flash recovery mode, its chip's
    recovery device id and the memory controller class."""
    device, cls = _hex_field(fn, "device", 16), _hex_field(fn, "class", 24)
    return (RECOVERY_DEVICE[device], RECOVERY_CLASS) if fn.get("recovery") else (device, cls)


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
