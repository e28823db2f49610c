"""Fixtures of the end-to-end scenarios: fwkit on simulated servers (sim/fwsim.py). Every run of
a server goes under umockdev-run on its testbed, through supervise.py (which keeps the exact
wait status: umockdev-run reports a kill by SIGINT as exit 2), in the server's own mount namespace
with a fresh tmpfs /run shared by that server's runs only."""

import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FWSIM = ROOT / "sim" / "fwsim.py"
SUPERVISE = [sys.executable, "-IS", str(Path(__file__).with_name("supervise.py"))]
SAMPLE = json.loads((ROOT / "sim" / "servers" / "sample.json").read_text())
ROW = "#" * 98
STAMP = re.compile(r" \[\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\] ")


@dataclass
class Result:
    status: int  # exit code, or 128 + n when signal n ended fwkit
    out: str
    err: str

    @property
    def body(self):
        """Standard output after the start banner ("NO BANNER: ..." when there is none)."""
        if not self.out.startswith(f"\n{ROW}\n"):
            return "NO BANNER: " + self.out
        end = self.out.find(f"{ROW}\n\n", 100)
        return self.out[end + len(ROW) + 2:] if end >= 0 else "NO BANNER END"


@pytest.fixture(scope="session")
def fwkit_bin():
    for tool in ("umockdev-run", "unshare", "nsenter"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    path = Path(os.environ.get("FWKIT_BINARY", ROOT / "build" / "fwkit"))
    if not path.is_file():
        pytest.fail(f"{path} is missing: build first (scripts/build.sh)")
    return str(path.resolve())


def poll(ready, timeout, failure):
    """ready()'s first true value, checked every 20 ms; AssertionError(failure) after timeout s."""
    end = time.monotonic() + timeout
    while not (value := ready()):
        if time.monotonic() > end:
            raise AssertionError(failure)
        time.sleep(0.02)
    return value


class Run:
    def __init__(self, proc, status_file, pid_file, master=None, timeout=90):
        self.proc, self.status_file, self.pid_file = proc, status_file, pid_file
        self.master, self.deadline, self.tty = master, time.monotonic() + timeout, []
        if master is not None:  # the terminal's output, read as it comes
            self.reader = threading.Thread(target=self._read_tty, daemon=True)
            self.reader.start()

    def pid(self, timeout=10):
        text = lambda: self.pid_file.read_text() if self.pid_file.exists() else ""
        return int(poll(lambda: (t := text()).endswith("\n") and t, timeout, "fwkit did not start"))

    def signal(self, signo):
        os.kill(self.pid(), signo)

    def signal_group(self, signo):
        """To the whole process group, as a terminal's Ctrl-C: umockdev-run forwards it to the
        supervisor, which ignores it, so fwkit gets it once."""
        self.pid()
        os.killpg(self.proc.pid, signo)

    def _read_tty(self):
        try:
            while chunk := os.read(self.master, 65536):
                self.tty.append(chunk)
        except OSError:  # EIO: nobody has the terminal open any more
            pass

    def wait(self):
        try:
            out, err = self.proc.communicate(timeout=max(0, self.deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            try:  # fwkit first, so that umockdev-run still removes its testbed
                os.kill(self.pid(timeout=0), signal.SIGKILL)
                self.proc.wait(2)
            except (AssertionError, ProcessLookupError, subprocess.TimeoutExpired):
                os.killpg(self.proc.pid, signal.SIGKILL)
            out, err = self.proc.communicate()
            err += b"\n[e2e: the run was killed after its time limit]\n"
        if self.master is not None:
            self.reader.join(5)
            os.close(self.master)
            out = b"".join(self.tty)
        how = self.status_file.read_text() if self.status_file.exists() else ""
        kind, _, value = how.partition(" ")
        code = (128 + int(value) if kind == "signaled" else int(value) if kind == "exited"
                else self.proc.returncode)
        return Result(code, *(data.decode(errors="surrogateescape") for data in (out, err)))


class Server:
    def __init__(self, fwkit, root, description):
        self.fwkit, self.root, self.dir = fwkit, root, root / "work"
        made = subprocess.run([str(FWSIM), "workdir", "-", str(self.dir)], text=True,
                              input=json.dumps(description), capture_output=True)
        if made.returncode != 0:
            raise ValueError(f"fwsim.py workdir refused the description: {made.stderr}")
        (root / "runs").mkdir()
        self.runs = 0
        self.namespace = None

    # ---- the server's /run: a private mount namespace held open by a sleeping process
    def _enter(self):
        if self.namespace is None:
            user = [] if os.geteuid() == 0 else ["--map-root-user"]
            self.namespace = subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", *user, "sh", "-c",
                 "mount -t tmpfs -o mode=0755 fwkit-run /run && echo ready"
                 " && exec sleep infinity"],
                stdout=subprocess.PIPE, text=True)
            if self.namespace.stdout.readline() != "ready\n":
                pytest.fail("could not make a private /run (unshare --mount)")
        user = [] if os.geteuid() == 0 else ["--user", "--preserve-credentials"]
        return ["nsenter", "--target", str(self.namespace.pid), "--mount", *user,
                f"--wd={self.dir}"]

    def run_path(self, rel):
        """A path below the server's /run, as seen from outside its namespace."""
        self._enter()
        return Path(f"/proc/{self.namespace.pid}/root/run") / rel

    def close(self):
        if self.namespace is not None:
            self.namespace.kill()
            self.namespace.wait()

    # ---- runs
    def _umockdev(self):
        return [*self._enter(), "env", "TMPDIR=/dev/shm", "umockdev-run", "--device",
                str(self.dir / "server.umockdev"), "--"]

    def start_command(self, argv, input="", pty=False, timeout=90, env=None):
        self.runs += 1
        status, pid = (self.root / "runs" / f"{self.runs}.{kind}" for kind in ("status", "pid"))
        # umockdev-run writes a file per sysfs attribute below TMPDIR, several times quicker on
        # tmpfs; the program gets the scenario's own TMPDIR back.
        ours = os.environ.get("TMPDIR")
        keep = ["--setenv", f"TMPDIR={ours}"] if ours else ["--unsetenv", "TMPDIR"]
        for name, value in (env or {}).items():
            keep += ["--setenv", f"{name}={value}"]
        master, out = None, subprocess.PIPE
        if pty:  # standard output on a terminal (where the burn progress shows), bytes as written
            master, out = os.openpty()
            attrs = termios.tcgetattr(out)
            attrs[1] = 0  # oflag: no output processing
            termios.tcsetattr(out, termios.TCSANOW, attrs)
        proc = subprocess.Popen(
            [*self._umockdev(), *SUPERVISE, str(status), str(pid), *keep,
             "--", *argv], cwd=self.dir, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.PIPE,
            start_new_session=True)
        proc.stdin.write(input.encode())
        proc.stdin.close()
        proc.stdin = None
        if pty:
            os.close(out)
        return Run(proc, status, pid, master, timeout)

    def start(self, *args, **kw):
        return self.start_command([self.fwkit, *args], **kw)

    def run(self, *args, **kw):
        return self.start(*args, **kw).wait()

    def run_command(self, *argv, **kw):
        return self.start_command(list(argv), **kw).wait()

    def command_script(self, path):
        """A script running fwkit on this server as a fleet tool starts it (no supervisor)."""
        path.write_text(f'#!/bin/sh\nexec {shlex.join([*self._umockdev(), self.fwkit])} "$@"\n')
        path.chmod(0o755)
        return path

    # ---- what the runs left behind
    def path(self, rel):
        return self.dir / rel

    def read(self, rel):
        return (self.dir / rel).read_text(errors="surrogateescape")

    def write(self, rel, text, mode=0o644):
        path = self.dir / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        path.chmod(mode)

    def remove(self, rel):
        (self.dir / rel).unlink(missing_ok=True)

    def block(self, rel):
        """A directory in place of rel: opening it for writing fails (EISDIR), even for root."""
        self.remove(rel)
        (self.dir / rel).mkdir(parents=True)

    def log(self):  # time stamps taken out
        path = self.dir / "mstflint.log"
        return STAMP.sub(" ", path.read_text()) if path.exists() else ""

    def calls(self):
        """Every stand-in call so far: dicts with tool, argv, stdout."""
        text = (self.dir / "nic_fw" / ".sim" / "calls.log").read_text(errors="surrogateescape")
        return [json.loads(line) for line in text.splitlines(keepends=True) if line.endswith("\n")]

    def call_lines(self, start=0):
        return [" ".join([c["tool"], *c["argv"]]) for c in self.calls()[start:]]

    def burns(self):
        return [c["argv"] for c in self.calls() if c["tool"] == "mstflint" and c["argv"][-1:] == ["b"]]

    def wait_for_calls(self, n, timeout=20):
        poll(lambda: len(self.calls()) >= n, timeout, f"fewer than {n} tool calls in {timeout} s")

    def state(self):
        return json.loads((self.dir / "nic_fw" / ".sim" / "server.json").read_text())

    def firmware(self, address):
        return next((fn.get("firmware", "") for fn in self.state()["functions"]
                     if fn["address"] == address), "")


@pytest.fixture
def server(fwkit_bin, tmp_path_factory):
    made = []

    def make(description=SAMPLE):
        made.append(Server(fwkit_bin, tmp_path_factory.mktemp("server"), description))
        return made[-1]

    yield make
    for s in made:
        s.close()


def each_row(rows, check):
    """check(row) for every row of a table; fails naming every row whose check failed."""
    failed = []
    for row in rows:
        try:
            check(*row)
        except AssertionError as e:
            failed.append(f"{row[0]!r}: {e}")
    assert not failed, "\n\n".join(failed)


def unnumbered(text):
    """Source lines in internal error messages ("nic_table.cc,123") as "nic_table.cc,N"."""
    return re.sub(r"\.cc,\d+", ".cc,N", text)


def diagnostics(r):
    """r.body with the diagnostic file's name as DIAG, and that file's text (file removed; None
    when the run names none)."""
    found = re.search(r"/tmp/data\w{6}", r.body)
    if not found:
        return r.body, None
    text = unnumbered(Path(found[0]).read_text())
    os.remove(found[0])
    return r.body.replace(found[0], "DIAG"), text
