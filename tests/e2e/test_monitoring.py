"""Monitoring: the metrics file that FWKIT_TEXTFILE names, read by the real node_exporter (textfile
collector only, on a free local port) and checked by promtool; the role's inventory timer."""

import hashlib
import os
import re
import shutil
import socket
import subprocess
import urllib.request

import pytest

from conftest import ROOT, poll

CX5 = {"class": "0x020000", "vendor": "0x15b3", "device": "0x1017", "subsystem_device": "0x0020"}
ODD_PSID = 'MT_"q"\\\u00fc\U0001f600'
IMAGES = [("ConnectX-5", "1017", "MT_0000000008", "0020", "16.28.2006", "cx5.bin"),
          ('Odd &quot;q&quot; \\ board&#10;\u00dc', "1017", ODD_PSID, "0020", "16.28.2006", "odd.bin"),
          ("ConnectX-4 Lx", "1015", "MT_2420110034", "0003", "14.32.1010", "cx4.bin")]
SERVER = {
    "functions": [dict(CX5, address="0000:04:00.0", firmware="16.26.1040", psid="MT_0000000008"),
                  dict(CX5, address="0000:05:00.0", firmware="16.28.2006", psid=ODD_PSID),
                  dict(CX5, address="0000:06:00.0"),  # its query fails
                  dict(CX5, address="0000:07:00.0", firmware="16.26.1040",  # no UTF-8: stray, overlong,
                       psid="MT_\udcff\udcc0\udcaf\udced\udca0\udc80\udcf4\udc90\udc80\udc80"),  # surrogate, >U+10FFFF
                  dict(CX5, address="0000:81:00.0", device="0x1015", subsystem_device="0x0003",
                       firmware="14.31.1014", psid="MT_2420110034", burn={"outcome": "fail"})],
    "catalog_xml": "<NICFWData>" + "".join(
        f'<Image name="{n}" venid="15B3" devid="{d}" subvenid="15B3" PSID="{p.replace(chr(34), "&quot;")}"'
        f' subdevid="{s}" rom="{v}" fwFile="{f}"/>' for n, d, p, s, v, f in IMAGES) + "</NICFWData>",
    "images": [{"file": f, "version": v, "psid": p} for _, _, p, _, v, f in IMAGES],
}


@pytest.fixture
def exporter(tmp_path):
    # node_exporter reading tmp_path/textfile; scrape() gives its fwkit_ series.
    if not (binary := shutil.which("prometheus-node-exporter")) or not shutil.which("promtool"):
        pytest.skip("prometheus-node-exporter or promtool is missing (scripts/setup.sh)")
    (directory := tmp_path / "textfile").mkdir(mode=0o755)
    with socket.socket() as probe:
        port = probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]
    proc = subprocess.Popen([binary, "--collector.disable-defaults", "--collector.textfile",
                             f"--collector.textfile.directory={directory}",
                             f"--web.listen-address=127.0.0.1:{port}"], stderr=subprocess.DEVNULL)

    def scrape():
        text = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read().decode()
        assert "node_textfile_scrape_error 0\n" in text
        return dict(re.findall(r"^(fwkit_\S+(?:\{.*\})?) (\S+)$", text, re.M))

    poll(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0, 10, "no node_exporter")
    scrape.file = directory / "fwkit.prom"
    yield scrape
    proc.terminate()
    proc.wait()


def run(s, prom, *args):
    s.run(*args, env={"FWKIT_TEXTFILE": str(prom), "LC_ALL": "C"})  # the tool writes any byte
    checked = subprocess.run(["promtool", "check", "metrics"], stdin=prom.open(), capture_output=True)
    assert (checked.returncode, checked.stdout + checked.stderr, prom.stat().st_mode & 0o777) == (0, b"", 0o644)
    return prom.read_text()


def adapter(m, address):  # its labels after the address and board_id, update_available, reset_pending, readable
    keys = {k.split("{")[0]: k for k in m if k.startswith("fwkit_adapter_") and f'{{address="{address}",' in k}
    board = {re.search(r'board_id="([^"]*)"', k)[1] for k in keys.values()}
    assert len(keys) == 5 and len(board) == 1, keys  # one board label on every series of the adapter
    info = re.sub(r'board_id="[^"]*",', "", keys["fwkit_adapter_info"].split(",", 1)[1][:-1])
    adapter.board = board.pop()
    return (info, *(m[keys[f"fwkit_adapter_{n}"]] for n in ("update_available", "reset_pending", "readable")))


def last_run(m, run="run"):  # mode, exit status, burns that succeeded, failed, were not supported, reset pending
    mode = next(k for k in m if k.startswith(f"fwkit_last_{run}_mode")).split('"')[1]
    return (mode, m[f"fwkit_last_{run}_exit_status"], *(m[f'fwkit_last_{run}_burns{{outcome="{o}"}}']
            for o in ("success", "failed", "not_supported", "reset_pending")))


CX5_SEEN = ('board="ConnectX-5",flash_version="{}",newest_version="16.28.2006",'
            'pci_id="15B3-1017-15B3-0020",psid="MT_0000000008",running_version="16.26.1040"')


def test_inventory_discovery_and_apply_seen_through_node_exporter(server, exporter):
    s, prom = server(SERVER), exporter.file
    umask = os.umask(0o077)  # the file is 0644 whatever the umask
    run(s, prom, "-c")
    os.umask(umask)
    m = exporter()
    assert adapter(m, "0000:04:00.0") == (CX5_SEEN.format("16.26.1040"), "1", "0", "1")
    assert re.fullmatch(r"Base GUID [0-9a-f]{16}", adapter.board)
    assert adapter(m, "0000:05:00.0") == (
        'board="Odd \\"q\\" \\\\ board?\u00dc",flash_version="16.28.2006",newest_version="16.28.2006",'
        'pci_id="15B3-1017-15B3-0020",psid="MT_\\"q\\"\\\\\u00fc\U0001f600",running_version="16.28.2006"', "0", "0", "1")
    assert adapter(m, "0000:06:00.0") == (
        'board="",flash_version="",newest_version="",pci_id="",psid="",running_version=""', "0", "0", "0")
    assert adapter.board == "PCI 0000:06:00.0"  # no identity read: its address stands for it
    assert 'psid="MT_??????????"' in adapter(m, "0000:07:00.0")[0]
    assert last_run(m) == ("current", "0", "0", "0", "0", "0")
    assert abs(float(m["fwkit_last_run_timestamp_seconds"]) - prom.stat().st_mtime) < 5
    assert not any(k.startswith("fwkit_last_burning_run") for k in m)  # none burned yet
    assert 0 <= float(m["fwkit_last_run_duration_seconds"]) < 60
    catalog = hashlib.sha256(s.path("nic_fw/NICFWData.xml").read_bytes()).hexdigest()
    version = re.search(r"project\(fwkit VERSION ([\d.]+)", (ROOT / "CMakeLists.txt").read_text())[1]
    assert (m[f'fwkit_catalog_info{{sha256="{catalog}"}}'], m[f'fwkit_build_info{{version="{version}"}}']) == ("1", "1")
    assert 'fwkit_last_run_mode{mode="discovery"} 1\n' in run(s, prom, "-d")
    # -u lists the adapters it asked, with the versions read after the burns: three asked for
    # (the up-to-date one's a rewrite), the ConnectX-4's failed.
    run(s, prom, "-u", "nicdiscovery.xml")
    m = exporter()
    assert sorted(k.split('"')[1] for k in m if "adapter_info{" in k) == ["0000:04:00.0", "0000:05:00.0", "0000:81:00.0"]
    assert adapter(m, "0000:04:00.0") == (CX5_SEEN.format("16.28.2006"), "0", "1", "1")
    assert adapter(m, "0000:81:00.0")[1:] == ("1", "0", "1")
    assert last_run(m) == last_run(m, "burning_run") == ("apply", "2", "2", "1", "0", "0")
    # The failed rollout stays in sight through the inventories and discoveries after it.
    burned = m["fwkit_last_burning_run_timestamp_seconds"]
    for args in (["-c"], ["-d"], ["-c"]):
        run(s, prom, *args)
        m = exporter()
        assert last_run(m, "burning_run") + (m["fwkit_last_burning_run_timestamp_seconds"],) == (
            "apply", "2", "2", "1", "0", "0", burned)
    assert last_run(m)[:2] == ("current", "0") and sorted(os.listdir(prom.parent)) == [".fwkit.prom.lock", "fwkit.prom"]


def test_a_failed_silent_rollout_stays_in_sight_whatever_runs_next(server, exporter):
    s, prom = server(SERVER), exporter.file
    seen = []
    for args in (["-s"], ["-c"], ["-d"], ["-c"], ["-u", "nicdiscovery.xml"], ["-d"]):
        run(s, prom, *args)
        m = exporter()  # served without error after each
        seen.append(last_run(m)[:2] + last_run(m, "burning_run")[:3])
    # -s burned 04:00.0 and failed the ConnectX-4; -u rewrote the two up to date, failed it again.
    failed_s, failed_u = ("silent", "2", "1"), ("apply", "2", "2")
    assert seen == [("silent", "2") + failed_s, ("current", "0") + failed_s, ("discovery", "0") + failed_s,
                    ("current", "0") + failed_s, ("apply", "2") + failed_u, ("discovery", "0") + failed_u]


def test_a_silent_run_with_nothing_to_burn_writes_what_it_read(server, exporter):
    s = server(dict(SERVER, functions=[dict(CX5, address="0000:04:00.0", firmware="16.28.2006",
                                            running="16.26.1040", psid="MT_0000000008")]))
    run(s, exporter.file, "-s")  # up to date, waiting for a reset: nothing to burn
    m = exporter()
    assert adapter(m, "0000:04:00.0") == (CX5_SEEN.format("16.28.2006"), "0", "1", "1")
    assert last_run(m) == ("silent", "1", "0", "0", "0", "0")


def test_a_textfile_where_none_may_be_written_is_refused_and_no_adapter_still_writes(server, tmp_path):
    s = server({"functions": [{"address": "0000:01:00.0", "class": "0x010802", "vendor": "0x144d",
                               "device": "0xa808"}]})
    d, open_dir, theirs = tmp_path / "d", tmp_path / "open", tmp_path / "theirs"
    for made in (d, d / "dir.prom", open_dir, theirs, theirs / "ne"):
        made.mkdir(mode=0o755)
    open_dir.chmod(0o777)
    if os.geteuid() == 0:  # a parent owned by another user, as Debian's /var/lib/prometheus
        os.chown(theirs, 65534, 65534)
    os.mkfifo(d / "fifo.prom")
    (d / "target").write_text("old\n")
    (d / "link.prom").symlink_to(d / "target")
    (d / ".locked.prom.lock").symlink_to(d / "target")  # its lock file a link
    (tmp_path / "dlink").symlink_to(d)
    for path, why in [(d / "dir.prom", "is not a regular file"), (tmp_path / "dlink" / "f.prom", "is a symbolic link"),
                      (d / "fifo.prom", "is not a regular file"), (d / "link.prom", "is a symbolic link"),
                      (d / "locked.prom", "locked.prom.lock: Too many levels of symbolic links"),
                      (open_dir / "f.prom", "by others"), (d / "no" / "f.prom", "No such file or directory")]:
        assert s.run("-s", env={"FWKIT_TEXTFILE": str(path)}).status == 1
        assert re.search(rf"\[WARNING\]   Metrics not written: .*{re.escape(why)}\n\n$", s.log()), path
    assert sorted(p.name for p in d.iterdir()) == [".locked.prom.lock", "dir.prom", "fifo.prom", "link.prom", "target"]
    assert (list(open_dir.iterdir()), (d / "target").read_text()) == ([], "old\n")
    text = run(s, theirs / "ne" / "f.prom", "-s")  # no adapter of the vendor: the run's series only
    assert "fwkit_adapter" not in text and "\nfwkit_last_run_exit_status 1\n" in text
    assert 'fwkit_last_run_mode{mode="silent"} 1\n' in text


def test_the_role_points_the_inventory_timer_at_fwkit_dir(tmp_path):
    # Over a tmpfs /etc/systemd/system; without systemd running, the enable step is refused.
    if shutil.which("ansible-playbook") is None:
        pytest.skip("ansible-playbook is not installed (scripts/setup.sh installs it)")
    (tmp_path / "play.yml").write_text("- {hosts: localhost, connection: local, gather_facts: false, vars: {"
                                       "fwkit_dir: /srv/fw, fwkit_inventory_timer: true}, tasks: [{"
                                       "include_role: {name: fwkit, tasks_from: inventory_timer.yml}}]}\n")
    conf = "/etc/systemd/system/fwkit-inventory.service.d/repository.conf"
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                           "mount -t tmpfs fwkit-units /etc/systemd/system && ansible-playbook"
                           f" {tmp_path}/play.yml; stat -c %a {conf}; cat {conf}"],
                          cwd=ROOT / "contrib" / "ansible", capture_output=True, text=True, timeout=300)
    assert re.search(r"Enable and start fwkit-inventory.timer.*not been booted with systemd", done.stdout, re.S)
    assert done.stdout.endswith("\n644\n# Written by the Ansible role fwkit (fwkit_inventory_timer).\n"
                                "[Service]\nWorkingDirectory=/srv/fw\nReadWritePaths=/srv/fw\n")
