// The firmware query: one run of "mstflint -d ADDR q" per adapter, side by side, and reading its report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/pci_enum.h"
#include "run/settings.h"

/// Longest reason kept for an adapter that was not read.
inline constexpr size_t kQueryReasonMax = 160;

/// An adapter's firmware as one query reports it. A result code is 0 when
/// its value was found, 1 when not (the value then stays empty).
struct firmware_info {
  int version_rc = 1;
  std::string version;  ///< the version in flash: "FW Version", else "FW Version(Running)"
  std::string running;  ///< the version still running when it differs (a reset is pending), else ""
  int psid_rc = 1;
  std::string psid;     ///< "PSID", control characters shown as '?'
  std::string board;    ///< the flash's identity as board_identity gives it, "" when none
  /// When either value is missing: why, in the tool's words (tool_reason, at
  /// most kQueryReasonMax characters), else what became of the query; ""
  /// when both were found.
  std::string reason;
};

/// How the inventory runs its queries.
struct query_limits {
  int jobs = 8;        ///< queries running at once (FWKIT_QUERY_JOBS)
  int seconds = 300;   ///< time limit of one query (FWKIT_QUERY_TIMEOUT)
};

/// The limits the run's settings give.
query_limits query_limits_of(const run_settings& settings);

/// One adapter's query and its answer.
struct firmware_query {
  pci_address address;
  firmware_info info;
  bool timed_out = false;  ///< the tool outlived the time limit and was ended
};

/// The query as messages show it: "./nic_fw/mstflint -d ADDR q 2>&1".
std::string firmware_query_command(const pci_address& address);

/// Runs "./nic_fw/mstflint -d ADDR q" for every entry, without a shell, its
/// standard error merged into its output, at most `limits.jobs` at a time, and
/// reads each report with parse_firmware_report. A query that
/// found either missing while another ran beside it is asked once more,
/// alone (two functions of one board share a flash). A query that outlives
/// `limits.seconds` is ended and found nothing. When a process cannot be
/// made, says so on standard error. SIGINT, SIGTERM and SIGHUP meanwhile end
/// the queries and the process (see run_side_by_side).
void get_firmware_infos(std::vector<firmware_query>* queries, const query_limits& limits);

/// One adapter's query, as get_firmware_infos does it. 0 when both values
/// were found, else 1.
int get_firmware_info(const pci_address& address, const query_limits& limits, firmware_info* info);

/// Reads the tool's report of an adapter (or of an image: the layout is the
/// same). A value is taken from the line that begins, after blanks, with its
/// label, optional blanks and a colon; letter case is ignored; a label on two
/// lines is not found. The
/// value is the rest of the line without blanks (space, tab) and line end, at
/// most 49 characters. The flash version is "FW Version", or "FW Version
/// (Running)" when the report has only that; a version that is not three
/// dotted decimal numbers counts as not found. `running` is set only when both
/// lines are there and name different versions. The PSID is "PSID" (never
/// "Orig PSID").
firmware_info parse_firmware_report(std::string_view report);

/// The identity of the board (of its flash) that a report describes:
/// "Base GUID " and the first field after the colon of the report's first
/// "Base GUID" line; when that is missing, empty, "N/A" or all zeros, "Base
/// MAC " and the "Base MAC" field on the same terms; else "". The field is
/// taken in lower case, at most 49 characters, cleaned as outside text. PCI
/// devices whose reports show one identity share one flash.
std::string board_identity(std::string_view report);

/// The value of `label` in a report, as parse_firmware_report reads it. 0
/// with `value` set; 1 when no line or more than one begins with the label, or
/// its value is empty.
int read_report_value(std::string_view report, std::string_view label, std::string* value);

/// True for three decimal numbers joined by dots, each within 32 bits ("16.35.2000").
bool is_dotted_version(std::string_view text);
