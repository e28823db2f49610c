"""Stand-in mstflint: the adapter query, the image query and the burn, acting on the simulator
state. DIR/nic_fw/mstflint starts it; its state is in nic_fw/.sim/ beside it."""

import os
import re
import signal
import sys
import time

from .description import BURN_FAILURES, find_function, flash_owner
from .repository import parse_image
from .state import (SIM_DIR_NAME, StateLock, _err, load_state, pending_version,
                    record_burn_time, record_call, save_state)

RECOVERY_REFUSAL = "-E- Cannot open Device: {}. The device is in flash recovery mode"
PENDING_REFUSAL = ("-E- Burning FS4 image failed: The firmware image was already updated on flash, "
                   "pending reset.")


def _mac_of(address):
    # Bus, device and function, with the domain folded in: adapters in two VMD domains at the same
    # bus:device are two boards with two GUIDs.
    domain, rest = address.split(":", 1)
    number = int(re.sub(r"[^0-9a-f]", "", rest), 16) + int(domain, 16) * 0x9E3779
    return "0002c9" + f"{number % 0x1000000:06x}"


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
    """A slow device answers after query_seconds; a wedged one never does. With
    query_leaves_group the tool first moves into its caller's process group."""
    if fn.get("query_leaves_group"):
        os.setpgid(0, os.getpgid(os.getppid()))
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
    if fn is not None and fn.get("recovery"):
        _err(RECOVERY_REFUSAL.format(address))
        return 1
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
    if fn is not None and fn.get("recovery"):
        _err(RECOVERY_REFUSAL.format(address))
        return 1
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


def main(path):
    """The stand-in started as path, with the arguments of this process."""
    # Die of the signal like any program would, without a traceback.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    simdir = os.path.join(os.path.dirname(os.path.abspath(path)), SIM_DIR_NAME)
    return tool_mstflint(simdir, sys.argv[1:])
