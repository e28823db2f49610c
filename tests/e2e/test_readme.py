"""The README, held to the program: its examples marked "<!-- example: NAME" are run on the sample
server and must be what fwkit prints, and every line of output it shows under Troubleshooting must be
printed or logged by one of the sessions below. Lines compare with runs of blanks as one blank, the
event log's time stamps, the diagnostic file's name and source line numbers taken out."""

import fcntl
import os
import re

from conftest import ROOT, SAMPLE, STAMP, unnumbered

README = (ROOT / "README.md").read_text()
CX5 = next(fn for fn in SAMPLE["functions"] if fn["address"] == "0000:04:00.0")
INTEL = next(fn for fn in SAMPLE["functions"] if fn["vendor"] == "0x8086")


def norm(line):
    line = re.sub(r"/tmp/data\w{6}", "/tmp/dataXXXXXX", unnumbered(STAMP.sub(" ", line)))
    return " ".join(line.split())


def section(title):
    start = README.index(f"\n## {title}\n")
    end = README.find("\n## ", start + 1)
    return README[start:end if end > 0 else None]


def blocks(text):
    return [body.split("\n") for body in re.findall(r"\n```[a-z]*\n(.*?)\n```", text, re.S)]


def alone(**changes):
    return {"functions": [{**CX5, **changes}]}


def metrics_after_silent_run(s):
    s.run("-s", env={"FWKIT_TEXTFILE": str(s.path("fwkit.prom"))})
    return "".join(l for l in s.read("fwkit.prom").splitlines(True) if not l.startswith("#"))


EXAMPLES = {"sample -c": lambda s: s.run("-c").out, "sample metrics after -s": metrics_after_silent_run}


def test_the_examples_are_what_fwkit_prints_on_the_sample_server(server):
    shown = dict(re.findall(r"<!-- example: (.*?) \(.*?-->\n```\n(.*?)\n```", README, re.S))
    assert sorted(shown) == sorted(EXAMPLES)
    for name, text in shown.items():
        got = [norm(l) for l in EXAMPLES[name](server()).splitlines()]
        lines = [norm(l) for l in text.split("\n") if not l.startswith("$ ")]
        at = 0
        for chunk in "\n".join(lines).split("\n...\n"):  # "..." stands for lines left out
            chunk = [l for l in chunk.split("\n") if l != "..."]
            found = next((i for i in range(at, len(got) - len(chunk) + 1) if got[i:i + len(chunk)] == chunk),
                         None)
            assert found is not None, (name, chunk, got[at:])
            at = found + len(chunk)


HELD = []  # lock files held as another burning run holds them, closed after the sessions


def hold_lock(s):
    HELD.append(os.open(s.run_path("fwkit.lock"), os.O_RDWR | os.O_CREAT, 0o600))
    fcntl.flock(HELD[-1], fcntl.LOCK_EX)
    return {}


def open_textfile_dir(s):  # shown as Debian's folder: the session's root reads /var/lib/prometheus
    (s.root / "node-exporter").mkdir(mode=0o777)
    os.chmod(s.root / "node-exporter", 0o777)
    return {"FWKIT_TEXTFILE": str(s.root / "node-exporter" / "fwkit.prom")}


LOCKED = "-E- Cannot open Device: 0000:04:00.0. ICMD bad parameter given\n"
OTHER_BUILD = {"images": [{"file": "CX5_EN_25G_2P_16.28.2006.bin", "version": "16.26.1040", "psid": CX5["psid"]}]}
SESSIONS = [  # what, server, preparation (gives the environment), arguments, status
    ("a tool others can write", alone(), lambda s: os.chmod(s.path("nic_fw/mstflint"), 0o757) or {}, ["-c"], 1),
    ("a catalog of another user", alone(), lambda s: os.chown(s.path("nic_fw/NICFWData.xml"), 65533, 0) or {},
     ["-c"], 1),
    ("the lock held", alone(), hold_lock, ["-s"], 1),
    ("the lock held, an inventory", alone(), hold_lock, ["-c"], 1),
    ("up to date", alone(firmware="16.28.2006"), None, ["-s"], 1),
    ("a reset first", alone(firmware="16.27.2008", running="16.26.1040", burn={"outcome": "pending_reset"}),
     None, ["-s"], 0),
    ("an image of another build", {**alone(), **OTHER_BUILD}, None, ["-s"], 2),
    ("a failed burn", alone(burn={"outcome": "fail"}), None, ["-s"], 2),
    ("a hung query", alone(query_hangs=True), lambda s: {"FWKIT_QUERY_TIMEOUT": "1"}, ["-c"], 0),
    ("no adapter", {"functions": [INTEL]}, None, ["-c"], 0),
    ("a locked adapter", alone(query_exit_code=1, query_output=LOCKED), None, ["-s"], 2),
    ("flash recovery", {"functions": [INTEL, {**CX5, "recovery": True}]}, None, ["-c"], 0),
    ("two modes", alone(), None, ["-s", "-c"], 1),
    ("metrics not written", alone(), open_textfile_dir, ["-c"], 0),
]


def test_every_troubleshooting_message_comes_from_a_session(server):
    shown = {norm(l) for block in blocks(section("Troubleshooting")) for l in block if l.strip()}
    unused, seen = [], set()
    for what, description, prepare, args, status in SESSIONS:
        s = server(description)
        env = prepare(s) if prepare else {}
        r = s.run(*args, env=env)
        while HELD:
            os.close(HELD.pop())
        assert (r.status, r.body == "" or what != "two modes") == (status, True), (what, r.out, r.err)
        text = "\n".join((r.out, r.err, s.log())).replace(str(s.root), "/var/lib/prometheus")
        lines = {norm(l) for l in text.splitlines()} & shown
        if not lines - {norm(l) for l in r.out.splitlines()[:4]}:  # more than the banner
            unused.append(what)
        seen |= lines
    assert (sorted(shown - seen), unused) == ([], ["two modes"])
