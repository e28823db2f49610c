// The firmware query through ./nic_fw/mstflint and the cutter for its report lines.
#include "inventory/fw_query.h"

#include <algorithm>

#include "run/child_process.h"
#include "run/error_report.h"
#include "run/outside_text.h"
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

int get_firmware_info(const pci_address& address, firmware_info* info) {
  *info = firmware_info();
  // The address comes from our own formatting of its numbers, so nothing of
  // outside text reaches the shell.
  const std::string command = "./nic_fw/mstflint -d " + pci_address_text(address) + " q 2>&1";
  std::string output;
  if (!read_command_output(command, &output)) {
    write_stderr(
        "\n In popen for mstflint fork(2) or pipe(2) calls fail, \t\t\t\t or cannot allocate "
        "memory. \n\n");
    return 1;
  }
  info->version_rc = cut_firmware_value(output, "FW Version", &info->version);
  info->psid_rc = cut_firmware_value(output, "PSID", &info->psid);
  // The tool's text reaches the console, the log and the report.
  info->version = clean_outside_text(info->version);
  info->psid = clean_outside_text(info->psid);
  return info->version_rc == 0 && info->psid_rc == 0 ? 0 : 1;
}
