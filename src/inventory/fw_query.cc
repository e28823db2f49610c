// The firmware queries through ./nic_fw/mstflint, side by side, and the reader of their report.
#include "inventory/fw_query.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "repository/fw_version.h"
#include "run/error_report.h"
#include "run/outside_text.h"
#include "run/process_set.h"
#include "run/text_format.h"

namespace {

constexpr size_t kValueMax = 49;

bool found_both(const firmware_info& info) { return info.version_rc == 0 && info.psid_rc == 0; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && contains_ignoring_case(a, b);
}

// The text after "LABEL:" when `line` begins (after blanks) with the label,
// optional blanks and a colon; false otherwise.
bool value_after_label(std::string_view line, std::string_view label, std::string_view* rest) {
  size_t pos = 0;
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  if (!equal_ignoring_case(line.substr(pos, label.size()), label)) return false;
  pos += label.size();
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != ':') return false;
  *rest = line.substr(pos + 1);
  return true;
}

// The first field after the colon of the first line labelled `label`; ""
// when there is none or it stands for no value (N/A, all zeros).
std::string identity_field(std::string_view report, std::string_view label) {
  for (size_t pos = 0; pos < report.size();) {
    const size_t end = std::min(report.find('\n', pos), report.size());
    const std::string_view line = report.substr(pos, end - pos);
    pos = end + 1;
    std::string_view rest;
    if (!value_after_label(line.substr(0, line.find('\0')), label, &rest)) continue;
    const size_t start = std::min(rest.find_first_not_of(" \t"), rest.size());
    rest = rest.substr(start, rest.find_first_of(" \t\r", start) - start);
    std::string field = clean_outside_text(rest.substr(0, kValueMax));
    for (char& c : field) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (field == "n/a" || field.find_first_not_of("0:.-") == std::string::npos) return "";
    return field;
  }
  return "";
}

}  // namespace

std::string board_identity(std::string_view report) {
  for (std::string_view label : {"Base GUID", "Base MAC"}) {
    if (std::string field = identity_field(report, label); !field.empty())
      return std::string(label) + " " + field;
  }
  return "";
}

bool is_dotted_version(std::string_view text) {
  int fields = 0;
  size_t pos = 0;
  while (true) {
    uint64_t number = 0;
    size_t digits = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
      number = number * 10 + static_cast<uint64_t>(text[pos] - '0');
      if (number > UINT32_MAX) return false;
    }
    if (digits == 0) return false;
    ++fields;
    if (pos == text.size()) return fields == 3;
    if (text[pos] != '.' || fields == 3) return false;
    ++pos;
  }
}

int read_report_value(std::string_view report, std::string_view label, std::string* value) {
  if (label.empty()) return 1;
  std::string cut;
  bool seen = false;
  size_t pos = 0;
  while (pos < report.size()) {
    size_t newline = report.find('\n', pos);
    size_t end = newline == std::string_view::npos ? report.size() : newline + 1;
    std::string_view line = report.substr(pos, end - pos);
    pos = end;
    // A NUL ends the line's text, as it would in a C string.
    line = line.substr(0, line.find('\0'));
    std::string_view rest;
    if (!value_after_label(line, label, &rest)) continue;
    // Two answers to one question: neither can be believed.
    if (seen) return 1;
    seen = true;
    for (char c : rest) {
      if (cut.size() >= kValueMax) break;
      if (!is_blank(c) && c != '\n' && c != '\r') cut += c;
    }
  }
  if (cut.empty()) return 1;
  *value = std::move(cut);
  return 0;
}

firmware_info parse_firmware_report(std::string_view report) {
  firmware_info info;
  std::string flash, running;
  const bool has_flash = read_report_value(report, "FW Version", &flash) == 0;
  const bool has_running = read_report_value(report, "FW Version(Running)", &running) == 0;
  std::string version = has_flash ? flash : running;
  if (!version.empty() && is_dotted_version(version)) {
    info.version_rc = 0;
    info.version = std::move(version);
    if (has_flash && has_running && is_dotted_version(running) &&
        !same_version(parse_fw_version(info.version), parse_fw_version(running)))
      info.running = std::move(running);
  }
  info.psid_rc = read_report_value(report, "PSID", &info.psid);
  info.board = board_identity(report);
  // The tool's text reaches the console, the log and the report.
  info.psid = clean_outside_text(info.psid);
  if (!found_both(info)) info.reason = tool_reason(report, kQueryReasonMax);
  return info;
}

query_limits query_limits_of(const run_settings& settings) {
  return {settings.query_jobs, settings.query_seconds};
}

std::string firmware_query_command(const pci_address& address) {
  return "./nic_fw/mstflint -d " + pci_address_text(address) + " q 2>&1";
}

namespace {

std::vector<std::string> query_argv(const pci_address& address) {
  return {"./nic_fw/mstflint", "-d", pci_address_text(address), "q"};
}

// Takes a finished run's answer into the query.
void take_answer(const captured_run& run, int seconds, firmware_query* query) {
  query->info = firmware_info();
  query->timed_out = run.result.timed_out;
  if (!run.made) {
    write_stderr(
        "\n In popen for mstflint fork(2) or pipe(2) calls fail, \t\t\t\t or cannot allocate "
        "memory. \n\n");
    query->info.reason = "the firmware tool could not be started";
    return;
  }
  if (query->timed_out) {  // half a report is no answer
    query->info.reason = strprintf("no answer within %d seconds", seconds);
    return;
  }
  query->info = parse_firmware_report(run.output);
  if (!found_both(query->info) && query->info.reason.empty()) {
    const child_result& result = run.result;
    query->info.reason = (result.started ? "no output, " : "the firmware tool ") +
                         describe_child_result(result);
  }
}

}  // namespace

void get_firmware_infos(std::vector<firmware_query>* queries, const query_limits& limits) {
  std::vector<captured_run> runs(queries->size());
  for (size_t i = 0; i < runs.size(); ++i) runs[i].argv = query_argv((*queries)[i].address);
  run_side_by_side(&runs, static_cast<size_t>(limits.jobs), limits.seconds);
  for (size_t i = 0; i < runs.size(); ++i) take_answer(runs[i], limits.seconds, &(*queries)[i]);

  for (size_t i = 0; i < runs.size(); ++i) {
    firmware_query& query = (*queries)[i];
    if (!runs[i].overlapped || !runs[i].made || query.timed_out || found_both(query.info)) continue;
    std::vector<captured_run> alone(1);
    alone[0].argv = runs[i].argv;
    run_side_by_side(&alone, 1, limits.seconds);
    take_answer(alone[0], limits.seconds, &query);
  }
}

int get_firmware_info(const pci_address& address, const query_limits& limits, firmware_info* info) {
  std::vector<firmware_query> queries(1);
  queries[0].address = address;
  get_firmware_infos(&queries, limits);
  *info = queries[0].info;
  return found_both(*info) ? 0 : 1;
}
