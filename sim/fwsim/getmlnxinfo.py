"""Stand-in getmlnxinfo: the image identity of a function, as its description gives it.
DIR/getmlnxinfo starts it; its state is in DIR/nic_fw/.sim/."""

import os
import signal
import sys

from .description import find_function
from .state import StateLock, _err, load_state, record_call, simdir_of


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
        while True:
            signal.pause()
    if "answer" in info:
        print(info["answer"], flush=True)
    return info.get("exit_code", 0)


def main(path):
    """The stand-in started as path, with the arguments of this process."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    return tool_getmlnxinfo(simdir_of(os.path.dirname(os.path.abspath(path))), sys.argv[1:])
