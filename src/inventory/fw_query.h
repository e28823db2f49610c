// The firmware query: one run of "mstflint -d ADDR q" per adapter and cutting values out of its report.
#pragma once

#include <string>
#include <string_view>

#include "inventory/pci_enum.h"

/// An adapter's running firmware as one query reports it. A result code is
/// 0 when its value was found, 1 when not (the value then stays empty).
struct firmware_info {
  int version_rc = 1;
  std::string version;  ///< "FW Version"
  int psid_rc = 1;
  std::string psid;     ///< "PSID"
};

/// Runs "./nic_fw/mstflint -d ADDR q 2>&1" through the shell, the address
/// formatted from `address`, and cuts the running version and the PSID out
/// of its output. 0 when both were found, else 1. When the process cannot
/// be started, says so on standard error.
int get_firmware_info(const pci_address& address, firmware_info* info);

/// Cuts the value of `label` out of a query's output: the first line (lines
/// longer than 499 characters count as several) that contains the label in
/// any letter case, from column len(label) + 1 on, blanks left out, at most
/// 49 characters, a line end (LF, CR) removed. 0 with `value` set, 1 when no
/// line holds the label or its value is empty.
int cut_firmware_value(std::string_view output, std::string_view label, std::string* value);
