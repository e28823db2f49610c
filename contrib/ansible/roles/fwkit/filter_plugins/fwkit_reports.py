"""Filters of the fwkit role: fwkit's discovery reports and event log read on the control node.

Python's standard library only (xml.etree, csv), so the control node needs nothing beyond ansible-core.
"""

import csv
import io
import re
import xml.etree.ElementTree as ET

FLASH_ACTIONS = ("upgrade", "rewrite", "downgrade")
NO_ADAPTER = "No adapter of PCI vendor 0x15B3 found on this server"
EVENT = re.compile(r"^\[(ERROR|WARNING|INFO)\]\s+\[[^\]]*\] ?(.*)$")
SECTION = "### fwkit:"
RESET_PENDING = re.compile(r"reset pending: running (\S+)")
COLUMNS = ("host", "address", "board", "psid", "installed", "available", "action", "reset_pending",
           "outcome")


def _parse(text):
    if "<!DOCTYPE" in text:  # neither fwkit nor an editor needs one; entities could blow it up
        raise ValueError("a discovery report with a document type declaration is refused")
    return ET.fromstring(text.encode("utf-8"))


def _value(element, name):
    found = element.find(name)
    return "" if found is None else found.get("value", "")


def report_devices(text):
    """The devices of a discovery report: one dict per adapter, the columns of the summary."""
    if not text:
        return []
    devices = []
    for device in _parse(text).iter("device"):
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


def hold_back(text, allow_rewrite=False, allow_downgrade=False):
    """The report to push for -u: "rewrite" and "downgrade" become "Nothing" unless allowed.

    Returns {"report": XML text, "apply": addresses to burn, "held": [{address, action, reason}],
    "devices": the report's devices}; "missing" is true when there is no report."""
    if not text:
        return {"report": "", "apply": [], "held": [], "devices": [], "missing": True}
    root = _parse(text)
    allowed = {"upgrade": True, "rewrite": allow_rewrite, "downgrade": allow_downgrade}
    apply, held = [], []
    for device, found in zip(root.iter("device"), report_devices(text)):
        for action in device.iter("action"):
            value = action.get("value", "")
            if value not in FLASH_ACTIONS:
                continue
            if allowed[value]:
                apply.append(found["address"])
            else:
                action.set("value", "Nothing")
                held.append({"address": found["address"], "action": value,
                             "reason": "fwkit_allow_%s is false" % value})
    report = '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode")
    return {"report": report + "\n", "apply": apply, "held": held,
            "devices": report_devices(text), "missing": False}


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


def batch_failed_percentage(hostvars, batch):
    """The percentage of the hosts of a rollout batch whose fwkit -u failed."""
    failed = sum(1 for host in batch if _rollout_status(hostvars[host].get("fwkit_outcome")) > 0)
    return 100.0 * failed / len(batch) if batch else 0.0


def _rollout_status(outcome):
    """fwkit -u's exit status, or -1 when it did not run (nothing to burn, check mode)."""
    rollout = (outcome or {}).get("rollout") or {}
    return int(rollout.get("status", -1))


def _last_event(run):
    events = run.get("events") or []
    if events:
        return "[%s] %s" % (events[-1]["tag"], events[-1]["text"])
    return run.get("message") or ""


def _device_outcome(device, plan, rollout, after):
    address = device["address"]
    held = {h["address"]: h for h in plan.get("held", [])}
    if address in held:
        return "held back: " + held[address]["reason"]
    if address not in plan.get("apply", []):
        return ""
    if rollout.get("check_mode"):
        return "would burn " + device["available"]
    if _rollout_status({"rollout": rollout}) < 0:
        return "not reached"
    if address in after and after[address]["installed"] == device["available"]:
        return "burned " + device["available"]
    return "not burned"


def _host_rows(host, outcome, rows, totals, hosts, of_rollout):
    discovery = outcome.get("discovery") or {}
    plan = outcome.get("plan")
    rollout = outcome.get("rollout") or {}
    if not outcome:
        hosts["not_reached"].append(host)
        return
    if plan and plan.get("missing"):
        hosts["failed"].append({"host": host, "step": "report", "status": "",
                                "last_event": "no report of this host in the reports folder"})
        return
    if discovery and int(discovery.get("status", 0)) != 0:
        texts = [e["text"] for e in discovery.get("events") or []]
        if NO_ADAPTER in texts:
            hosts["no_adapter"].append(host)
        else:
            hosts["failed"].append({"host": host, "step": "discovery",
                                    "status": int(discovery["status"]),
                                    "last_event": _last_event(discovery)})
        return
    if of_rollout and not plan:  # discovered, but the rollout stopped before this host
        hosts["not_reached"].append(host)
        plan = hold_back("")  # nothing planned, so every row reads as it was found
    if _rollout_status(outcome) > 0:
        hosts["failed"].append({"host": host, "step": "rollout", "status": int(rollout["status"]),
                                "last_event": _last_event(rollout)})
    if (rollout or discovery).get("reboot_required"):
        hosts["reboot_required"].append(host)
    after = {d["address"]: d for d in rollout.get("devices") or []}
    for device in (plan or {}).get("devices") or discovery.get("devices") or []:
        row = dict(device, host=host, outcome=_device_outcome(device, plan or {}, rollout, after))
        if row["outcome"].startswith("burned"):
            row["reset_pending"] = after[device["address"]]["reset_pending"]
        totals[row["action"] or "none"] = totals.get(row["action"] or "none", 0) + 1
        rows.append({column: row.get(column, "") for column in COLUMNS})


def fleet_summary(hostvars, hosts, of_rollout=False):
    """The fleet summary from each host's `fwkit_outcome` fact: rows per host and adapter, totals
    per action, failed hosts with fwkit's status and last event, hosts without an adapter of the
    vendor, hosts that need a reboot, and hosts the run did not reach (of_rollout: the rollout did
    not reach)."""
    rows, totals = [], {}
    lists = {"failed": [], "no_adapter": [], "reboot_required": [], "not_reached": []}
    for host in hosts:
        _host_rows(host, hostvars[host].get("fwkit_outcome") or {}, rows, totals, lists,
                  of_rollout)
    summary = {"adapters": rows, "totals": totals}
    summary.update(lists)
    summary["burned"] = sum(1 for r in rows if r["outcome"].startswith("burned"))
    return summary


def summary_csv(summary):
    """The summary's adapter rows as CSV, with a header line."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=COLUMNS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(summary["adapters"])
    return out.getvalue()


def summary_table(summary):
    """The summary as lines of text for the play's output."""
    rows = [dict(zip(COLUMNS, COLUMNS))] + summary["adapters"]
    widths = {c: max(len(str(r[c])) for r in rows) for c in COLUMNS}
    lines = ["  ".join(str(r[c]).ljust(widths[c]) for c in COLUMNS).rstrip() for r in rows]
    lines.append("totals: " + (", ".join("%s %d" % kv for kv in sorted(summary["totals"].items()))
                               or "no adapter"))
    lines.append("burned: %d" % summary["burned"])
    for failed in summary["failed"]:
        lines.append("FAILED %(host)s (%(step)s, status %(status)s): %(last_event)s" % failed)
    for key, title in (("no_adapter", "no adapter of the vendor"),
                       ("reboot_required", "reboot required (fwkit never reboots)"),
                       ("not_reached", "not reached")):
        if summary[key]:
            lines.append("%s: %s" % (title, ", ".join(summary[key])))
    return lines


class FilterModule:
    def filters(self):
        return {
            "fwkit_report_devices": report_devices,
            "fwkit_hold_back": hold_back,
            "fwkit_log_events": log_events,
            "fwkit_sections": output_sections,
            "fwkit_batch_failed_percentage": batch_failed_percentage,
            "fwkit_fleet_summary": fleet_summary,
            "fwkit_summary_csv": summary_csv,
            "fwkit_summary_table": summary_table,
        }
