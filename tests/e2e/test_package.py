"""The operator's package: the .deb that CPack builds under umask 000, checked by scripts/package.sh
(lintian, systemd-analyze verify), installed into a fresh root; its manual page held against the
program; the installed fwkit run on a simulated server, reboot flag included."""

import gzip
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import ROOT, SAMPLE

PAGE = "usr/share/man/man8/fwkit.8.gz"


def run(*argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


@pytest.fixture(scope="module")
def installed(fwkit_bin, tmp_path_factory):
    """(package file, root it is installed in, version) of a .deb built from fwkit's build folder."""
    build = Path(fwkit_bin).parent
    tools = ("cpack", "man", "lintian", "systemd-analyze")
    if not (build / "CPackConfig.cmake").is_file() or not all(map(shutil.which, tools)):
        pytest.skip("needs a CMake build folder beside the binary, " + ", ".join(tools))
    made = run(ROOT / "scripts/package.sh", build, tmp_path_factory.mktemp("package"), umask=0)
    assert made.returncode == 0, made.stderr  # a folder of mode 0777 is one of lintian's warnings
    version = re.search(r"project\(fwkit VERSION ([\d.]+)", (ROOT / "CMakeLists.txt").read_text())[1]
    deb = Path(made.stdout.strip())
    return deb, dpkg_root(deb.parent / "root", "-i", str(deb)), version


def dpkg_root(root, *action):
    """dpkg's `action` in the fresh root `root`; the maintainer scripts run in no chroot, with
    DPKG_ROOT set (so they touch no systemd of this machine)."""
    for folder in ("info", "updates"):
        (root / "var/lib/dpkg" / folder).mkdir(parents=True, exist_ok=True)
    (root / "var/lib/dpkg/status").touch()
    dpkg = run("dpkg", f"--root={root}", "--force-depends", "--force-not-root", "--force-script-chrootless",
               *action)
    assert dpkg.returncode == 0, dpkg.stderr
    return root


def test_the_package_holds_the_program_and_its_manual(installed):
    deb, root, version = installed
    depends = run("dpkg-deb", "-f", str(deb), "Depends").stdout
    assert [p for p in ("libc6", "libpci3", "libxml2", "pci.ids")
            if not re.search(rf"(^|, ){re.escape(p)}\b", depends)] == [], depends
    listed = run("dpkg", f"--root={root}", "-L", "fwkit").stdout.split()
    units = [f"/usr/lib/systemd/system/fwkit-inventory.{kind}" for kind in ("service", "timer")]
    documents = [f"/usr/share/doc/fwkit/{name}" for name in ("changelog.gz", "copyright")]
    assert sorted(p for p in listed if not (root / p.lstrip("/")).is_dir()) == [  # the timer not enabled
        "/etc/logrotate.d/fwkit", *units, "/usr/sbin/fwkit", "/usr/share/bash-completion/completions/fwkit",
        *documents, "/usr/share/lintian/overrides/fwkit", "/" + PAGE]
    # Built under umask 000: the service's folder comes 0755; the logrotate file is a conffile.
    assert "/var/lib/fwkit/repository" in listed and (root / "var/lib/fwkit/repository").stat().st_mode & 0o7777 == 0o755
    assert run("dpkg-deb", "-I", str(deb), "conffiles").stdout == "/etc/logrotate.d/fwkit\n"
    for script in ("postinst", "prerm", "postrm"):  # systemd reloaded, the timer never enabled
        text = run("dpkg-deb", "-I", str(deb), script).stdout
        assert "daemon-reload" in text or "stop fwkit-inventory.timer" in text
        assert not re.search(r"\benable\b|rm -r", text), script
    page = root / PAGE
    assert f'"fwkit {version}"' in gzip.decompress(page.read_bytes()).decode()
    shown = run("man", "--warnings", "-l", str(page), env={"MANWIDTH": "80", "PATH": "/usr/bin:/bin"})
    assert (shown.returncode, shown.stderr) == (0, "")


def test_removal_and_purge_leave_the_operators_repository(installed, tmp_path):
    deb, _, _ = installed
    root = dpkg_root(tmp_path / "root", "-i", str(deb))
    (root / "var/lib/fwkit/repository/nic_fw").mkdir()
    (root / "var/lib/fwkit/repository/mstflint.log").write_text("[INFO] kept\n")
    dpkg_root(root, "-r", "fwkit")
    assert not (root / "usr/sbin/fwkit").exists() and (root / "etc/logrotate.d/fwkit").is_file()  # a conffile
    dpkg_root(root, "-P", "fwkit")
    assert not (root / "etc/logrotate.d/fwkit").exists()
    assert sorted(p.name for p in (root / "var/lib/fwkit/repository").iterdir()) == ["mstflint.log", "nic_fw"]


def test_help_version_completion_and_log_rotation(installed, tmp_path):
    deb, root, version = installed
    fwkit = str(root / "usr/sbin/fwkit")
    helped, told = run(fwkit, "--help"), run(fwkit, "--version")
    assert (helped.returncode, told.returncode, told.stdout) == (0, 0, f"fwkit {version}\n")
    assert "\n  -u REPORT " in helped.stdout and run(fwkit, "-h").returncode == 1
    for name in ("new.xml", "old.xml", "notes.txt", "reports/a.xml"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).touch()
    completion = root / "usr/share/bash-completion/completions/fwkit"
    complete = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _fwkit;'
                ' printf "%s\\n" "${COMPREPLY[@]}"')

    def offered(*words):
        done = run("bash", "-c", complete, "complete", completion, "fwkit", *words, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        return sorted(done.stdout.split())
    assert offered("-u", "") == ["new.xml", "old.xml", "reports"]
    assert offered("-su", "n") == ["new.xml"] and offered("-d", "reports/") == ["reports/a.xml"]
    assert offered("--") == ["--help", "--version"] and offered("-s", "-") == ["-F", "-f"]
    if shutil.which("logrotate"):  # its own syntax check, as a dry run
        checked = run("logrotate", "-d", "-s", str(tmp_path / "state"), str(root / "etc/logrotate.d/fwkit"))
        assert checked.returncode == 0 and "weekly (12 rotations)" in checked.stderr, checked.stderr


def section(page, title):
    return page.split(f"\n.SH {title}\n")[1].split("\n.SH ")[0]


def test_installed_fwkit_does_what_its_manual_says(installed, server):
    deb, root, version = installed
    fwkit = str(root / "usr/sbin/fwkit")
    page = gzip.decompress((root / PAGE).read_bytes()).decode()
    s = server(SAMPLE)
    flag, pkgs = s.run_path("reboot-required"), s.run_path("reboot-required.pkgs")
    statuses = set()

    r = s.run_command(fwkit, "-c")
    assert "16.26.1040" in r.body and "16.28.2006" in r.body
    diagnostics = re.search(r"/tmp/data\w{6}", r.out)[0]
    r2 = s.run_command(fwkit, "-d")
    assert f'<version value="{version}"/>' in s.read("nicdiscovery.xml")
    statuses |= {r.status, r2.status}
    assert not flag.exists()  # neither burns

    for args in (["-s"], ["-s", "-F"]):  # two burning runs name fwkit once
        r = s.run_command(fwkit, *args)
        statuses.add(r.status)
        assert flag.is_file() and pkgs.read_text() == "fwkit\n"
    assert len(s.burns()) == 6  # one burn per board: not for 04:00.1, nor for 0002:01:00.0
    files = {"/tmp/dataXXXXXX": Path(diagnostics)}
    for name in re.findall(r"^\.I (\S+)$", section(page, "FILES"), re.M):
        name = name.replace("\\-", "-")
        path = s.run_path(name[5:]) if name.startswith("/run/") else s.path(name)
        if name.startswith(("/etc/", "/usr/", "/var/")):  # the package's own
            path = root / name[1:]
        assert files.get(name, path).exists(), name

    flag.unlink()
    pkgs.unlink()
    r = s.run_command(fwkit, "-s")  # everything is up to date: nothing burned, no flag
    statuses.add(r.status)
    assert (r.status, len(s.burns()), flag.exists()) == (1, 6, False)
    flag.mkdir()
    r = s.run_command(fwkit, "-s", "-F")
    assert r.status == 0 and len(s.burns()) == 9
    assert "[WARNING]   Could not write /run/reboot-required (21): reboot the server" in s.log()

    # Options and exit statuses: the program's own lists against the page's.
    source = (ROOT / "src/run/options.cc").read_text()
    letters = set(re.search(r'getopt\(argc, argv, "([^"]+)"\)', source)[1]) - {":"}
    slashes = set(re.findall(r'"(/\w)"', " ".join(re.findall(r"rewrite_slash_form\([^;]*", source))))
    tags = "\n".join(re.findall(r"^\.TP\n(.*)$", section(page, "OPTIONS"), re.M))
    words = set(re.findall(r"\\-(\w+)", tags))
    longs = set(re.findall(r"\\-\\-(\w+)", tags))
    assert longs == {"help", "version"} and all(f'"--{w}"' in source for w in longs)
    assert set("".join(words - {"bootenable"} - longs)) == letters and '"-bootenable"' in source
    assert set(re.findall(r"(?<![\w.])/\w\b", tags)) == slashes
    documented = {int(n) for n in re.findall(r"^\.B (\d)$", section(page, "EXIT STATUS"), re.M)}
    declared = {int(n) for n in re.findall(r"= (\d+),", (ROOT / "src/run/exit_status.h").read_text())}
    assert documented == declared and statuses <= documented
