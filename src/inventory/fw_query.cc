// The firmware queries through ./nic_fw/mstflint, side by side, and the cutter for their report lines.
#include "inventory/fw_query.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "run/child_process.h"
#include "run/error_report.h"
#include "run/text_format.h"

namespace {

// A line of the report as the 500-byte line buffer holds it: at most 499
// characters including the line end.
constexpr size_t kLinePiece = 499;
constexpr size_t kValueMax = 49;

}  // namespace

int cut_firmware_value(std::string_view output, std::string_view label, std::string* value) {
  if (label.empty()) return 1;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t newline = output.find('\n', pos);
    size_t end = newline == std::string_view::npos ? output.size() : newline + 1;
    end = std::min(end, pos + kLinePiece);
    std::string_view line = output.substr(pos, end - pos);
    pos = end;
    // A NUL ends the line's text, as it would in a C string.
    line = line.substr(0, line.find('\0'));
    if (!contains_ignoring_case(line, label)) continue;

    std::string cut;
    for (size_t column = label.size() + 1; column < line.size() && cut.size() < kValueMax; ++column) {
      if (line[column] != ' ') cut += line[column];
    }
    while (!cut.empty() && (cut.back() == '\n' || cut.back() == '\r')) cut.pop_back();
    if (cut.empty()) return 1;
    *value = std::move(cut);
    return 0;
  }
  return 1;
}

int positive_number_or(const char* text, int fallback) {
  if (text == nullptr || *text == '\0') return fallback;
  long long number = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return fallback;
    number = number * 10 + (*c - '0');
    if (number > std::numeric_limits<int>::max()) return fallback;
  }
  return number > 0 ? static_cast<int>(number) : fallback;
}

query_limits query_limits_from_environment() {
  query_limits limits;
  limits.jobs = positive_number_or(std::getenv("FWKIT_QUERY_JOBS"), limits.jobs);
  limits.seconds = positive_number_or(std::getenv("FWKIT_QUERY_TIMEOUT"), limits.seconds);
  return limits;
}

std::string firmware_query_command(const pci_address& address) {
  return "./nic_fw/mstflint -d " + pci_address_text(address) + " q 2>&1";
}

namespace {

std::vector<std::string> query_argv(const pci_address& address) {
  return {"./nic_fw/mstflint", "-d", pci_address_text(address), "q"};
}

// The running version and the PSID out of one query's output.
void read_query_report(const std::string& output, firmware_info* info) {
  info->version_rc = cut_firmware_value(output, "FW Version", &info->version);
  info->psid_rc = cut_firmware_value(output, "PSID", &info->psid);
}

// Takes a finished run's answer into the query.
void take_answer(const captured_run& run, firmware_query* query) {
  query->info = firmware_info();
  query->timed_out = run.result.timed_out;
  if (!run.made) {
    write_stderr(
        "\n In popen for mstflint fork(2) or pipe(2) calls fail, \t\t\t\t or cannot allocate "
        "memory. \n\n");
    return;
  }
  if (query->timed_out) return;  // half a report is no answer
  read_query_report(run.output, &query->info);
}

bool found_both(const firmware_info& info) { return info.version_rc == 0 && info.psid_rc == 0; }

}  // namespace

void get_firmware_infos(std::vector<firmware_query>* queries, const query_limits& limits) {
  std::vector<captured_run> runs(queries->size());
  for (size_t i = 0; i < runs.size(); ++i) runs[i].argv = query_argv((*queries)[i].address);
  run_side_by_side(&runs, static_cast<size_t>(limits.jobs), limits.seconds);
  for (size_t i = 0; i < runs.size(); ++i) take_answer(runs[i], &(*queries)[i]);

  for (size_t i = 0; i < runs.size(); ++i) {
    firmware_query& query = (*queries)[i];
    if (!runs[i].overlapped || !runs[i].made || query.timed_out || found_both(query.info)) continue;
    std::vector<captured_run> alone(1);
    alone[0].argv = runs[i].argv;
    run_side_by_side(&alone, 1, limits.seconds);
    take_answer(alone[0], &query);
  }
}

int get_firmware_info(const pci_address& address, firmware_info* info) {
  std::vector<firmware_query> queries(1);
  queries[0].address = address;
  get_firmware_infos(&queries, query_limits_from_environment());
  *info = queries[0].info;
  return found_both(*info) ? 0 : 1;
}
