// The firmware query: one run of "mstflint -d ADDR q" per adapter and reading its report.
#pragma once

#include <string>
#include <string_view>

#include "inventory/pci_enum.h"

/// An adapter's firmware as one query reports it. A result code is 0 when
/// its value was found, 1 when not (the value then stays empty).
struct firmware_info {
  int version_rc = 1;
  std::string version;  ///< the version in flash: "FW Version", else "FW Version(Running)"
  std::string running;  ///< the version still running when it differs (a reset is pending), else ""
  int psid_rc = 1;
  std::string psid;     ///< "PSID", control characters shown as '?'
};

/// Runs "./nic_fw/mstflint -d ADDR q 2>&1" through the shell, the address
/// formatted from `address`, and reads its report with parse_firmware_report.
/// 0 when both the version and the PSID were found, else 1. When the process
/// cannot be started, says so on standard error.
int get_firmware_info(const pci_address& address, firmware_info* info);

/// Reads the tool's report of an adapter (or of an image: the layout is the
/// same). A value is taken from the first line that begins, after blanks,
/// with its label, optional blanks and a colon; letter case is ignored. The
/// value is the rest of the line without blanks (space, tab) and line end, at
/// most 49 characters. The flash version is "FW Version", or "FW Version
/// (Running)" when the report has only that; a version that is not three
/// dotted decimal numbers counts as not found. `running` is set only when both
/// lines are there and name different versions. The PSID is "PSID" (never
/// "Orig PSID").
firmware_info parse_firmware_report(std::string_view report);

/// The value of `label` in a report, as parse_firmware_report reads it. 0
/// with `value` set; 1 when no line begins with the label or its value is empty.
int read_report_value(std::string_view report, std::string_view label, std::string* value);

/// True for three decimal numbers joined by dots, each within 32 bits ("16.35.2000").
bool is_dotted_version(std::string_view text);
