"""The simulator's command line (sim/fwsim.py): generators and helpers for working directories."""

import json
import os
import sys

from .description import DescriptionError, load_description
from .repository import _write, image_text, make_workdir
from .state import (_err, load_state, pending_version, read_calls, reset_devices, set_recovery,
                    simdir_of)
from .testbed import testbed_text

USAGE = """usage: fwsim.py COMMAND ...
  testbed SERVER.json OUT.umockdev   write the umockdev testbed of a server
  workdir SERVER.json DIR            lay out a fresh working directory for one run
  image VERSION PSID OUT             write a simulated firmware image
  calls DIR [--json]                 print the stand-in calls recorded in DIR
  firmware DIR [ADDRESS]             print the firmware in flash in DIR's state
                                     (and what still runs, when a reset is pending;
                                     a function sharing another's flash names it)
  reset DIR [ADDRESS]                reset ADDRESS's device (or all): it runs its flash
  recovery DIR ADDRESS on|off        put ADDRESS's function into flash recovery mode, or
                                     take it out (recovered), for the next run
SERVER.json may be - for standard input."""


def print_firmware(workdir, address=None):
    for fn in load_state(simdir_of(workdir))["functions"]:
        if address not in (None, fn["address"]):
            continue
        if "shares_flash" in fn:
            print(f"{fn['address']} shares the flash of {fn['shares_flash']}")
        if "firmware" in fn:
            running = pending_version(fn)
            pending = f" (running {running} until a reset)" if running else ""
            print(f"{fn['address']} {fn['firmware']}{pending}")


def run_command(cmd, args):
    """Runs one command; None when cmd and args make none."""
    if cmd == "testbed" and len(args) == 2:
        text = testbed_text(load_description(args[0]))
        if args[1] == "-":
            sys.stdout.write(text)
        else:
            _write(os.path.abspath(args[1]), text)
    elif cmd == "workdir" and len(args) == 2:
        make_workdir(load_description(args[0]), os.path.abspath(args[1]))
    elif cmd == "image" and len(args) == 3:
        _write(os.path.abspath(args[2]), image_text(args[0], args[1]))
    elif cmd == "calls" and len(args) in (1, 2) and args[1:] in ([], ["--json"]):
        for call in read_calls(args[0]):
            print(json.dumps(call) if args[1:] else f"{call['tool']} {' '.join(call['argv'])}")
    elif cmd == "firmware" and len(args) in (1, 2):
        print_firmware(*args)
    elif cmd == "reset" and len(args) in (1, 2):
        for address in reset_devices(*args):
            print(address, "reset")
    elif cmd == "recovery" and len(args) == 3 and args[2] in ("on", "off"):
        if not set_recovery(args[0], args[1], args[2] == "on"):
            _err(f"fwsim: no function {args[1]} in {args[0]}")
            return 1
    else:
        return None
    return 0


def main(argv):
    if not argv or argv[0] in ("-h", "--help", "help"):
        print(USAGE)
        return 0 if argv else 2
    try:
        status = run_command(argv[0], argv[1:])
    except (DescriptionError, OSError) as e:
        _err(f"fwsim: {e}")
        return 1
    if status is None:
        _err(USAGE)
        return 2
    return status
