"""Filters of the fwkit role: fwkit's discovery reports and event log read on the control node, the
fleet summary, and the names of the files the role writes into the reports folder.

Everything a host sends (reports, command output, exit statuses) is untrusted: the parsers return
the reason they refuse it instead of raising, so that one host cannot stop the summary of the rest.
Python's standard library only (xml.etree, csv, json), so the control node needs nothing beyond
ansible-core.
"""

import csv
import io
import json
import os
import re
import xml.etree.ElementTree as ET

FLASH_ACTIONS = ("upgrade", "rewrite", "downgrade")
NO_ADAPTER = "No adapter of PCI vendor 0x15B3 found on this server"
EVENT = re.compile(r"^\[(ERROR|WARNING|INFO)\]\s+\[[^\]]*\] ?(.*)$")
SECTION = "### fwkit:"
RESET_PENDING = re.compile(r"reset pending: running (\S+)")
DECLARED_ENCODING = re.compile(r"""<\?xml[^>]*?\sencoding\s*=\s*["']([^"']*)["']""")
SHA256 = re.compile(r"^[0-9a-f]{64}$")
# Events of fwkit -u that tell what became of an adapter.
VERIFIED = re.compile(r"^(\S+) \(.*PSID [^)]*\): (\S+) to \S+(?: \(.*\))?, burn \d+ of \d+, verified$")
ALREADY_HOLDS = re.compile(r"^(\S+) already holds (\S+), the version its plan asks for; nothing to burn$")
RUNS_UNTIL_RESET = re.compile(r"^(\S+) holds \S+ but runs \S+ until a reset")
TOOL_REASON = re.compile(r"^burn of .* failed: ")
# What fwkit says on standard error when another burning run holds its lock.
LOCK_HELD = "another firmware upgrade is running on this server"
BUSY = "another burning run is in progress"
REPORT_LIMIT = 16 * 1024 * 1024  # bytes; fwkit's reports are a few kB per adapter
# A spreadsheet takes a cell starting with one of these for a formula.
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")
COLUMNS = ("host", "address", "board", "psid", "installed", "available", "action", "reset_pending",
           "outcome", "time", "user", "fwkit_version", "catalog_sha256")
TABLE_COLUMNS = COLUMNS[:9]
LISTS = ("failed", "no_adapter", "no_plan", "reboot_required", "not_reached")


class _NoDocumentType(ET.TreeBuilder):
    """A tree builder that stops the parser at a document type declaration, before any entity
    it declares can be expanded."""

    def doctype(self, name, pubid, system):
        raise ValueError("a document type declaration is refused")


def parse_report(text):
    """The root element of a report from a host, and "" or the reason it is refused: over 16 MB,
    not UTF-8, a document type declaration, or not well-formed."""
    if text is None or text == "":
        return None, "no report"
    if len(text) > REPORT_LIMIT:
        return None, "a report over 16 MB is refused"
    try:
        data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
        decoded = data.decode("utf-8")
    except UnicodeError:
        return None, "a report that is not UTF-8 is refused"
    if len(data) > REPORT_LIMIT:
        return None, "a report over 16 MB is refused"
    declared = DECLARED_ENCODING.match(decoded.lstrip("\ufeff"))
    if "\0" in decoded or (declared and declared.group(1).lower() not in ("utf-8", "utf8")):
        return None, "a report that is not UTF-8 is refused"
    parser = ET.XMLParser(target=_NoDocumentType(), encoding="utf-8")
    try:
        parser.feed(data)
        return parser.close(), ""
    except (ET.ParseError, ValueError) as e:
        return None, "report refused: %s" % e


def _value(element, name):
    found = element.find(name)
    return "" if found is None else str(found.get("value", ""))


def _devices(root):
    devices = []
    for device in root.iter("device"):
        item = device.find("fw_item")
        item = device if item is None else item
        pending = RESET_PENDING.search(_value(item, "message"))
        devices.append({
            "address": "%s:%s.%s" % (_value(device, "busnumber"), _value(device, "devicenumber"),
                                     _value(device, "funcnumber")),
            "board": _value(device, "product_id"),
            "psid": _value(item, "firmware_id"),
            "installed": _value(item, "active_version"),
            "available": _value(item, "version"),
            "action": _value(item, "action"),
            "reset_pending": pending.group(1) if pending else "",
        })
    return devices


def report_summary(text):
    """What a report says: {"devices": one dict per adapter (the columns of the summary),
    "fwkit_version": the version of the fwkit that wrote it, "error": "" or why it is refused}."""
    root, error = parse_report(text)
    if root is None:
        return {"devices": [], "fwkit_version": "", "error": error}
    return {"devices": _devices(root), "fwkit_version": _value(root, "version"), "error": ""}


def report_devices(text):
    """The devices of a report (none when it is refused)."""
    return report_summary(text)["devices"]


def _burn_line(device):
    return "%s %s %s: %s -> %s (%s)" % (device["address"], device["board"], device["psid"],
                                        device["installed"], device["available"], device["action"])


def hold_back(text, allow_rewrite=False, allow_downgrade=False):
    """The plan for fwkit -u from a host's reviewed report: "rewrite" and "downgrade" become
    "Nothing" unless allowed; an action set to anything else is left alone.

    Returns {"report": XML text to push, "apply": addresses to burn, "burns": a line per adapter
    to burn, "held": [{address, action, reason}], "devices": the report's devices, "missing":
    true when there is no report, "error": "" or why the report is refused}."""
    plan = {"report": "", "apply": [], "burns": [], "held": [], "devices": [],
            "missing": not text, "error": "", "fwkit_version": ""}
    if not text:
        return plan
    root, plan["error"] = parse_report(text)
    if root is None:
        return plan
    allowed = {"upgrade": True, "rewrite": allow_rewrite, "downgrade": allow_downgrade}
    plan["devices"], plan["fwkit_version"] = _devices(root), _value(root, "version")
    for device, found in zip(root.iter("device"), plan["devices"]):
        for action in device.iter("action"):
            value = action.get("value", "")
            if value not in FLASH_ACTIONS:
                continue
            if allowed[value]:
                plan["apply"].append(found["address"])
                plan["burns"].append(_burn_line(found))
            else:
                action.set("value", "Nothing")
                plan["held"].append({"address": found["address"], "action": value,
                                     "reason": "fwkit_allow_%s is false" % value})
    plan["report"] = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                      + ET.tostring(root, encoding="unicode") + "\n")
    return plan


def plan_lines(plans, hosts, discover_first=()):
    """What each host's plan will burn, a line per adapter (or why nothing), host by host; the
    hosts in discover_first have no plan yet and are discovered first."""
    lines = []
    for host, plan in zip(hosts, plans):
        plan = plan if isinstance(plan, dict) else {}
        if host in discover_first:
            lines.append("%s: no plan yet, discovered first" % host)
        elif plan.get("burns"):
            lines += ["%s: %s" % (host, line) for line in plan["burns"]]
        else:
            why = (": " + plan["error"]) if plan.get("error") else \
                " (no plan)" if plan.get("missing") else ""
            lines.append("%s: nothing to burn%s" % (host, why))
    return lines


def log_events(text):
    """Events of an excerpt of mstflint.log: [{"tag", "text"}], continuation lines joined."""
    events = []
    for line in (text or "").splitlines():
        match = EVENT.match(line)
        if match:
            events.append({"tag": match.group(1), "text": match.group(2).strip()})
        elif events and line.strip():
            events[-1]["text"] = (events[-1]["text"] + " " + line.strip()).strip()
    return events


def output_sections(text):
    """The parts of the output of the role's shell tasks: {name: text} for each part, which starts
    with a line "### fwkit: NAME"."""
    sections, name = {}, None
    for line in (text or "").splitlines(keepends=True):
        if line.startswith(SECTION):
            name = line[len(SECTION):].strip()
            sections[name] = ""
        elif name is not None:
            sections[name] += line
    return sections


def catalog_sha256(text):
    """The catalog's SHA-256 from the output of sha256sum, "" when it is not one."""
    digest = (text or "").split(" ", 1)[0].strip()
    return digest if SHA256.match(digest) else ""


def report_file(folder, name):
    """The path of file `name` directly in the reports folder; a name that would lead out of it
    is refused (an error, so the task writing or removing it fails)."""
    name = str(name)
    if name in ("", ".", "..") or "/" in name or "\0" in name or not os.path.isabs(folder):
        raise ValueError("%r is not a file name in the reports folder %s" % (name, folder))
    return os.path.join(os.path.normpath(folder), name)


POSITIVE = ("fwkit_burn_seconds", "fwkit_burn_jobs", "fwkit_burn_poll", "fwkit_reboot_timeout",
            "fwkit_summary_keep")


def variable_errors(values):
    """What is wrong with the role's variables beyond their types (meta/argument_specs.yml checks
    those): a relative fwkit_dir, counts and seconds that are not positive whole numbers, a failure
    percentage outside 0-100. One message per variable, none when all is well."""
    errors = []
    folder = str(values.get("fwkit_dir", ""))
    if not os.path.isabs(folder):
        errors.append("fwkit_dir must be an absolute path, not %r" % folder)
    for name in POSITIVE:
        text = str(values.get(name, "")).strip()
        if name in values and not (re.fullmatch(r"\+?\d{1,9}", text) and int(text) > 0):
            errors.append("%s must be a positive whole number, not %r" % (name, text))
    text = str(values.get("fwkit_max_fail_percentage", "0")).strip()
    try:
        percentage = float(text)
    except ValueError:
        percentage = -1.0
    if not 0 <= percentage <= 100:
        errors.append("fwkit_max_fail_percentage must be 0 to 100, not %r" % text)
    return errors


def refuse_errors(errors):
    """True when there are no errors; else an error with all of them, which fails the task."""
    if errors:
        raise ValueError("; ".join(str(e) for e in errors))
    return True


def _status(value):
    """An exit status from a host's answer: an int, or None when there is none."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    text = str(value).strip() if value is not None else ""
    return int(text) if re.fullmatch(r"-?\d{1,9}", text) else None


def _flag(value):
    """A yes/no of a record, which templating may have left as text."""
    return value is True or str(value).strip().lower() == "true"


def host_run(result, started=True):
    """The record of one run of the role's shell tasks on a host, from the task's registered
    result: reached or not (with Ansible's reason), fwkit's status, the events it logged, whether
    another burning run held the lock, the adapters as they are after it, those it burned (verified)
    or found already holding their plan's version, and the reboot flag."""
    result = result if isinstance(result, dict) else {}
    sections = output_sections(result.get("stdout"))
    events = log_events(sections.get("events"))
    errors = str(result.get("stderr") or "").splitlines()
    reached = not _flag(result.get("unreachable"))
    # The module's Python never answered (become refused, no interpreter): nothing of the role ran.
    no_module = "module_stderr" in result and "stdout" not in result
    cause = (str(result.get("module_stderr") or "").strip().splitlines() or [""])[0]
    texts = [e["text"] for e in events if e["tag"] == "INFO"]
    after = report_summary(sections["after"]) if "after" in sections else {}
    return {
        "started": bool(started), "reached": reached,
        "busy": "busy" in sections or any(LOCK_HELD in line for line in errors),
        "stopped": "stopped" in sections,  # at the burn task's time limit
        "status": _status(result.get("rc")) if reached and not no_module else None,
        "events": events,
        "message": (errors[-1:] or [""])[0] or (
            "the task did not start on the host (become or its Python failed): " + cause
            if no_module else str(result.get("msg") or "")),
        "reboot_required": "required" in sections.get("reboot", ""),
        "devices": after.get("devices") or [],
        "fwkit_version": after.get("fwkit_version") or "",
        "catalog_sha256": catalog_sha256(sections.get("catalog")),
        "burned": [m.group(1) for m in map(VERIFIED.match, texts) if m],
        "burned_from": {m.group(1): m.group(2) for m in map(VERIFIED.match, texts) if m},
        "already": [m.group(1) for m in map(ALREADY_HOLDS.match, texts) if m],
        "waits_reset": [m.group(1) for e in events if (m := RUNS_UNTIL_RESET.match(e["text"]))],
    }


def rollout_outcome(host, check_mode):
    """A host's fwkit_outcome with the record of its rollout, built from what its burn task
    registered (fwkit_u), its plan and its outcome so far; as it stands when the burn task never
    reached the host, or when its reboot has recorded the rollout already. host: the host's
    variables (hostvars[HOST]); check_mode: whether this run is in check mode."""
    outcome = host.get("fwkit_outcome")
    outcome = dict(outcome) if isinstance(outcome, dict) else {}
    result = host.get("fwkit_u")
    if "rollout" in outcome or not isinstance(result, dict):
        return outcome
    plan = host.get("fwkit_plan")
    plan = plan if isinstance(plan, dict) else {}
    check_mode = _flag(check_mode)
    run = host_run(result, bool(plan.get("apply")) and not check_mode)
    discovery = outcome.get("discovery") if isinstance(outcome.get("discovery"), dict) else {}
    outcome["fwkit_version"] = run["fwkit_version"] or plan.get("fwkit_version") or ""
    outcome["catalog_sha256"] = run["catalog_sha256"] or outcome.get("catalog_sha256") or ""
    outcome["rollout"] = dict(run, check_mode=check_mode,
                              reboot_required=run["reboot_required"] or _flag(discovery.get("reboot_required")))
    return outcome


def burned_addresses(stdout):
    """The adapters a fwkit -u verified as burned, from the output of the role's burn task."""
    return host_run({"stdout": stdout})["burned"]


def needs_reboot(rollout):
    """A host to reboot after its batch: fwkit -u ended well, and burned an adapter (or found one
    already holding its plan's version but still running an older one), and left the flag."""
    rollout = rollout or {}
    return (not _rollout_failed(rollout) and _flag(rollout.get("reboot_required"))
            and bool(rollout.get("burned") or rollout.get("waits_reset")))


def reboot_check(rollout, result):
    """The rollout record after a reboot: the adapters as the fresh fwkit -d sees them, and
    "waits": a reason per burned adapter that still runs another version than its flash holds."""
    rollout = dict(rollout or {})
    again = host_run(result)
    rollout["rebooted"] = True
    rollout["reboot_status"] = again["status"] if again["reached"] else None
    waits = []
    if not again["reached"]:
        waits.append("the host was not seen again after its reboot: " + again["message"])
    elif again["status"] != 0:
        waits.append("fwkit -d failed after the reboot: " + _reason(again))
    else:
        rollout["devices"] = again["devices"]
        now = {d["address"]: d for d in again["devices"]}
        for address in list(rollout.get("burned") or []) + list(rollout.get("waits_reset") or []):
            device = now.get(address)
            if device is None:
                waits.append("%s is not seen after the reboot" % address)
            elif device["reset_pending"]:
                waits.append("%s still runs %s after the reboot, its flash holds %s" % (
                    address, device["reset_pending"], device["installed"]))
    rollout["waits"] = waits
    return rollout


def failed_hosts(hostvars, hosts, check_mode):
    """The hosts whose fwkit -u (or reboot) failed, or that could not be reached."""
    return [host for host in hosts
            if _rollout_failed(rollout_outcome(hostvars[host], check_mode).get("rollout"))]


def batch_failed_percentage(hostvars, batch, check_mode):
    """The percentage of the hosts of a rollout batch that failed."""
    return 100.0 * len(failed_hosts(hostvars, batch, check_mode)) / len(batch) if batch else 0.0


def hosts_to_discover(hostvars, hosts):
    """The hosts that rollout.yml discovers before it reads their plans."""
    return [host for host in hosts if _flag(hostvars[host].get("fwkit_discover_first"))]


def _rollout_failed(rollout):
    """fwkit -u failed: the host was not reached, another burning run held it, a status above 0
    or none at all from a run that was started, or a burned adapter still waits after a reboot."""
    if not rollout or not _flag(rollout.get("started")):
        return False
    if rollout.get("reached") is False or _flag(rollout.get("busy")) or rollout.get("waits"):
        return True
    status = _status(rollout.get("status"))
    return status is None or status > 0


def _reason(run):
    """Why a run failed: Ansible's reason for a host not reached; another burning run; the tool's
    reason for a failed burn; else the time limit that stopped it; else the run's first [ERROR];
    else what it said last on standard error; else its status."""
    if run.get("reached") is False:
        return "not reached: %s" % (run.get("message") or "")
    if _flag(run.get("busy")):
        return BUSY
    events = run.get("events") or []
    errors = [e for e in events if e.get("tag") == "ERROR"]
    tool = next((e for e in errors if TOOL_REASON.match(str(e.get("text", "")))), None)
    if tool:
        return "[ERROR] %s" % tool.get("text", "")
    if _flag(run.get("stopped")) and run.get("message"):  # said last, after fwkit's own words
        return str(run["message"])
    if errors:
        return "[ERROR] %s" % errors[0].get("text", "")
    if run.get("waits"):
        return "; ".join(run["waits"])
    if run.get("message"):
        return str(run["message"])
    return "fwkit ended with status %s" % _status(run.get("status"))


def failure_message(rollout):
    """The message of a host's failed task."""
    rollout = rollout or {}
    if rollout.get("reached") is False or _flag(rollout.get("busy")) or \
            _status(rollout.get("status")) in (0, None):  # the reboot failed, or fwkit never ran
        return _reason(rollout)
    return "fwkit -u ended with status %s: %s" % (_status(rollout.get("status")), _reason(rollout))


def _device_outcome(device, plan, rollout, after, older):
    address = device["address"]
    held = {h["address"]: h for h in plan.get("held", [])}
    if address in held:
        return "up to date" if held[address]["action"] == "rewrite" else \
            "held back: " + held[address]["reason"]
    if address not in plan.get("apply", []):
        if older:
            return older
        return "up to date" if device["action"] == "rewrite" and not plan else ""
    if _flag(rollout.get("check_mode")):
        return "would burn " + device["available"]
    if not _flag(rollout.get("started")) or rollout.get("reached") is False:
        return "not reached"
    if address in (rollout.get("already") or []):
        return "up to date (%s)" % device["available"]
    burned = address in (rollout.get("burned") or [])
    if not burned and "burned" not in rollout:  # a record of an older role
        burned = address in after and after[address]["installed"] == device["available"]
    if not burned:
        return "not burned"
    if address in after and not after[address]["reset_pending"]:
        return "running " + device["available"]
    return "burned %s, waits for a reboot" % device["available"]


def _host_rows(host, record, plan_text, out):
    """Adds the rows and lists of one host, from its record of the last run that reached it and
    (for a discovery) its report in the reports folder."""
    discovery = record.get("discovery") or {}
    plan = record.get("plan")
    rollout = record.get("rollout") or {}
    stamp = {key: str(record.get(key) or "") for key in ("time", "user", "fwkit_version",
                                                         "catalog_sha256")}
    older = ""
    if discovery and (discovery.get("reached") is False or _flag(discovery.get("busy"))):
        if discovery.get("reached") is False:
            out["not_reached"].append(host)
        out["failed"].append({"host": host, "step": "discovery", "status": None,
                              "last_event": _reason(discovery)})
        older = "older plan (made %s)" % (record.get("plan_time") or "at an unknown time")
        if not plan_text:
            return
    elif discovery and _status(discovery.get("status")) != 0:
        if _flag(record.get("no_adapter")):
            out["no_adapter"].append(host)
        else:
            out["failed"].append({"host": host, "step": "discovery",
                                  "status": _status(discovery.get("status")),
                                  "last_event": _reason(discovery)})
        return
    if plan is None:  # a discovery: the report as it stands in the reports folder
        found = report_summary(plan_text)
        if found["error"]:
            out["failed"].append({"host": host, "step": "report", "status": None,
                                  "last_event": found["error"]})
            return
        devices, plan = found["devices"], {}
        stamp["fwkit_version"] = found["fwkit_version"]
    elif plan.get("missing"):
        out["no_adapter" if _flag(record.get("no_adapter")) else "no_plan"].append(host)
        return
    elif plan.get("error"):
        out["failed"].append({"host": host, "step": "plan", "status": None,
                              "last_event": plan["error"]})
        return
    else:
        devices = plan.get("devices") or []
        if not record.get("rollout") or rollout.get("reached") is False:
            out["not_reached"].append(host)  # the rollout stopped before it, or could not reach it
    if _rollout_failed(rollout):
        out["failed"].append({"host": host, "step": "rollout", "status": _status(rollout.get("status")),
                              "last_event": _reason(rollout)})
    if _flag((rollout or discovery).get("reboot_required")) and not (rollout.get("rebooted") and not rollout.get("waits")):
        out["reboot_required"].append(host)
    after = {d["address"]: d for d in rollout.get("devices") or []}
    for device in devices:
        row = dict(device, host=host, outcome=_device_outcome(device, plan, rollout, after, older),
                   **stamp)
        if device["address"] in after and row["outcome"] != "not reached":
            row["reset_pending"] = after[device["address"]]["reset_pending"]
        elif row["outcome"].startswith("burned"):  # it runs what it ran before until a reset
            row["reset_pending"] = (rollout.get("burned_from") or {}).get(device["address"], "")
        out["totals"][row["action"] or "none"] = out["totals"].get(row["action"] or "none", 0) + 1
        out["adapters"].append({column: str(row.get(column, "")) for column in COLUMNS})


def _summary(hosts, records, plans, run):
    out = {"run": dict(run), "adapters": [], "totals": {}}
    out.update({key: [] for key in LISTS})
    for host in hosts:
        _host_rows(host, records.get(host) or {}, plans.get(host), out)
    for key in ("fwkit_version", "catalog_sha256"):  # one value, or each the adapters show
        out["run"][key] = ", ".join(sorted({r[key] for r in out["adapters"] if r[key]}))
    out["burned"] = sum(1 for r in out["adapters"]
                        if r["outcome"].startswith(("burned", "running")))
    out["hosts"] = {host: records[host] for host in hosts if host in records}
    return out


def _merged(outcome, kept, run):
    """A host's record of this run, with what it keeps from its record of an earlier run: the time
    its plan was made, whether it has no adapter, and what a rollout did not look at."""
    record = dict(outcome, **run)
    discovery = outcome.get("discovery")
    if isinstance(discovery, dict) and discovery.get("reached") is not False and \
            not _flag(discovery.get("busy")):
        made = _status(discovery.get("status")) == 0
        record["plan_time"] = run.get("time", "") if made else ""
        record["no_adapter"] = not made and NO_ADAPTER in [
            e.get("text") for e in discovery.get("events") or [] if isinstance(e, dict)]
    else:
        record["plan_time"] = str(kept.get("plan_time") or "")
        record["no_adapter"] = _flag(kept.get("no_adapter"))
    for key in ("fwkit_version", "catalog_sha256"):
        if not outcome.get(key):
            record[key] = kept.get(key) or ""
    if isinstance(outcome.get("plan"), dict):  # the pushed report is not kept
        record["plan"] = {k: v for k, v in outcome["plan"].items() if k != "report"}
    return record


def fleet_summary(previous, hostvars, run_hosts, plan_paths, plan_texts, run, check_mode):
    """The fleet summary and this run's: {"fleet": ..., "run": ...}.

    previous: the fleet's summary.json so far (text, or "" when there is none); its "hosts"
    (each host's record of the last run that reached it) are kept for the hosts this run did not
    reach, so a run over part of the fleet (--limit, --tags summary) merges into it. The hosts of
    this run take their `fwkit_outcome` fact, with the record of their rollout (rollout_outcome).
    plan_paths/plan_texts: the reports in the reports folder. run: {"time", "user"} of this run;
    check_mode: whether it is in check mode."""
    try:  # the templating may have turned the text into the object already
        previous = previous if isinstance(previous, dict) else json.loads(previous or "{}")
        records = previous.get("hosts") or {}
    except (ValueError, AttributeError):
        records = {}
    records = {str(h): r for h, r in records.items() if isinstance(r, dict)}
    for host in run_hosts:
        outcome = rollout_outcome(hostvars[host], check_mode)
        if outcome:
            records[host] = _merged(outcome, records.get(host) or {}, run)
    plans = {}
    for path, text in zip(plan_paths or [], plan_texts or []):
        name = os.path.basename(path)
        if name.endswith(".xml"):
            plans[name[:-4]] = text
    fleet_hosts = sorted(set(records) | set(plans))
    ran = [h for h in run_hosts if h in records or h in plans]
    summaries = {"fleet": _summary(fleet_hosts, records, plans, run),
                 "run": _summary(ran, records, plans, run)}
    summaries["run"]["not_reached"] += [h for h in run_hosts if h not in ran]
    return summaries


def _cell(value):
    """A cell as a spreadsheet shows it: text that would start a formula gets a leading '."""
    value = str(value)
    return "'" + value if value.startswith(FORMULA_START) else value


def summary_csv(summary):
    """The summary's adapter rows as CSV, with a header line."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=COLUMNS, lineterminator="\n")
    writer.writeheader()
    for row in summary["adapters"]:
        writer.writerow({column: _cell(row.get(column, "")) for column in COLUMNS})
    return out.getvalue()


def summary_table(summary):
    """The summary as lines of text for the play's output."""
    run = summary.get("run") or {}
    lines = ["run %s by %s; fwkit %s; catalog sha256 %s" % (
        run.get("time", ""), run.get("user", ""), run.get("fwkit_version") or "-",
        run.get("catalog_sha256") or "-")]
    rows = [dict(zip(TABLE_COLUMNS, TABLE_COLUMNS))] + summary["adapters"]
    widths = {c: max(len(str(r[c])) for r in rows) for c in TABLE_COLUMNS}
    lines += ["  ".join(str(r[c]).ljust(widths[c]) for c in TABLE_COLUMNS).rstrip() for r in rows]
    lines.append("totals: " + (", ".join("%s %d" % kv for kv in sorted(summary["totals"].items()))
                               or "no adapter"))
    lines.append("burned: %d" % summary["burned"])
    for failed in summary["failed"]:
        lines.append("FAILED %(host)s (%(step)s, status %(status)s): %(last_event)s" % failed)
    for key, title in (("no_adapter", "no adapter of the vendor"),
                       ("no_plan", "no plan (no report in the reports folder)"),
                       ("reboot_required", "reboot required"),
                       ("not_reached", "not reached")):
        if summary[key]:
            lines.append("%s: %s" % (title, ", ".join(summary[key])))
    return lines


class FilterModule:
    def filters(self):
        return {
            "fwkit_report_summary": report_summary,
            "fwkit_report_devices": report_devices,
            "fwkit_hold_back": hold_back,
            "fwkit_plan_lines": plan_lines,
            "fwkit_log_events": log_events,
            "fwkit_sections": output_sections,
            "fwkit_catalog_sha256": catalog_sha256,
            "fwkit_report_file": report_file,
            "fwkit_variable_errors": variable_errors,
            "fwkit_refuse_errors": refuse_errors,
            "fwkit_batch_failed_percentage": batch_failed_percentage,
            "fwkit_failed_hosts": failed_hosts,
            "fwkit_hosts_to_discover": hosts_to_discover,
            "fwkit_host_run": host_run,
            "fwkit_rollout_outcome": rollout_outcome,
            "fwkit_burned_addresses": burned_addresses,
            "fwkit_needs_reboot": needs_reboot,
            "fwkit_reboot_check": reboot_check,
            "fwkit_failure_message": failure_message,
            "fwkit_fleet_summary": fleet_summary,
            "fwkit_summary_csv": summary_csv,
            "fwkit_summary_table": summary_table,
        }
