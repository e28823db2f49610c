"""The firmware repository of a simulated server (image files and the catalog), and a fresh
working directory holding it, the testbed, the state and the stand-ins' launchers."""

import os
import sys

from .description import DescriptionError
from .state import save_state, simdir_of
from .testbed import testbed_text

IMAGE_MAGIC = "FWKIT-SIM-IMAGE"
SIM_ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
# A stand-in: a small script that imports the package from where this checkout lies.
LAUNCHER = """#!{python}
# Stand-in {tool} of a simulated server (sim/fwsim/{tool}.py).
import sys
sys.path.insert(0, {root!r})
from fwsim.{tool} import main
sys.exit(main(__file__))
"""


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
        repo = os.path.join(SIM_ROOT, "repo")
        for name in sorted(os.listdir(repo)):
            src = os.path.join(repo, name)
            if os.path.isfile(src):
                with open(src, encoding="utf-8") as f:
                    _write(os.path.join(fwdir, name), f.read())
    for image in desc.get("images", []):
        path = _inside(fwdir, image["file"])
        if path is None:
            raise DescriptionError(f"image file {image['file']!r} is not inside nic_fw/")
        if "content" in image:
            _write(path, image["content"])
        else:
            _write(path, image_text(image.get("version", "0.0.0"), image.get("psid", "")))


def write_launcher(path, tool):
    """A launcher of the stand-in tool, pinned to the interpreter running now (isolated, no
    site) so that every start is quick; 0755, so that root runs it from a directory of root's."""
    python = sys.executable
    if python and os.path.isabs(python) and " " not in python:
        python += " -IS"
    else:
        python = "/usr/bin/env python3"
    _write(path, LAUNCHER.format(python=python, tool=tool, root=SIM_ROOT), 0o755)


def make_workdir(desc, workdir):
    if os.path.exists(workdir) and (not os.path.isdir(workdir) or os.listdir(workdir)):
        raise DescriptionError(f"{workdir} exists and is not an empty directory")
    fwdir = os.path.join(workdir, "nic_fw")
    simdir = simdir_of(workdir)
    os.makedirs(simdir, exist_ok=True)
    _write(os.path.join(workdir, "server.umockdev"), testbed_text(desc))
    write_repository(desc, fwdir)
    write_launcher(os.path.join(fwdir, "mstflint"), "mstflint")
    write_launcher(os.path.join(workdir, "getmlnxinfo"), "getmlnxinfo")
    save_state(simdir, desc)
    _write(os.path.join(simdir, "calls.log"), "")
