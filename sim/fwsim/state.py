"""The simulator state of a working directory, in DIR/nic_fw/.sim/:

  server.json   the server description; a successful burn updates the flash firmware of the
                burned device in it, and a simulated reset makes the device run what its flash holds
  calls.log     one JSON object per call of either stand-in
  state.lock    lock file for updates of server.json
"""

import fcntl
import json
import os
import stat
import sys
import time

SIM_DIR_NAME = ".sim"


def simdir_of(workdir):
    return os.path.join(workdir, "nic_fw", SIM_DIR_NAME)


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
    import tempfile  # only burns and resets write: queries start without it

    fd, tmp = tempfile.mkstemp(dir=simdir, prefix=".server.", suffix=".tmp")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(desc, f, indent=1)
        f.write("\n")
    os.chmod(tmp, 0o644)
    os.rename(tmp, os.path.join(simdir, "server.json"))


def pending_version(fn):
    """The version a function still runs when its flash holds another one, else None."""
    running = fn.get("running")
    return running if running is not None and running != fn.get("firmware") else None


def reset_devices(workdir, address=None):
    """A simulated reset of one PCI device (or of all): it runs what its flash
    holds. Returns the functions reset."""
    simdir = simdir_of(workdir)
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


def set_recovery(workdir, address, on):
    """Puts ADDRESS's function into flash recovery mode (its firmware broke) or out of it (the
    firmware tool recovered it), in the state and in DIR/server.umockdev, which the next run
    shows. False when there is no such function."""
    from .description import normalise  # only this command checks and rewrites the testbed
    from .testbed import testbed_text

    simdir = simdir_of(workdir)
    with StateLock(simdir, exclusive=True):
        desc = load_state(simdir)
        fn = next((f for f in desc["functions"] if f["address"] == address), None)
        if fn is None:
            return False
        fn.pop("recovery", None)
        if on:
            fn["recovery"] = True
        text = testbed_text(normalise(desc))
        save_state(simdir, desc)
    tmp = os.path.join(workdir, ".server.umockdev.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.rename(tmp, os.path.join(workdir, "server.umockdev"))
    return True


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


def record_burn_time(simdir, address, started):
    """When a burn ran, one JSON line per burn in burn_times.log: burns side by side overlap."""
    line = json.dumps({"address": address, "start": started, "end": time.time()}) + "\n"
    fd = os.open(os.path.join(simdir, "burn_times.log"),
                 os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        os.write(fd, line.encode("ascii"))  # one write: lines of burns side by side never mix
    finally:
        os.close(fd)


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
    with open(os.path.join(simdir_of(workdir), "calls.log"), encoding="ascii") as f:
        for line in f:
            if line.endswith("\n"):
                calls.append(json.loads(line))
    return calls


def _err(text):
    """A line on a stand-in's standard error, written at once."""
    sys.stderr.write(text + "\n")
    sys.stderr.flush()
