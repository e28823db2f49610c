// The firmware query: one run of "mstflint -d ADDR q" per adapter, side by side, and cutting values out of its report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inventory/pci_enum.h"

/// An adapter's running firmware as one query reports it. A result code is
/// 0 when its value was found, 1 when not (the value then stays empty).
struct firmware_info {
  int version_rc = 1;
  std::string version;  ///< "FW Version"
  int psid_rc = 1;
  std::string psid;     ///< "PSID"
};

/// How the inventory runs its queries.
struct query_limits {
  int jobs = 8;        ///< queries running at once (FWKIT_QUERY_JOBS)
  int seconds = 300;   ///< time limit of one query (FWKIT_QUERY_TIMEOUT)
};

/// The limits from the environment variables FWKIT_QUERY_JOBS and
/// FWKIT_QUERY_TIMEOUT; a variable that is unset or not a positive decimal
/// integer leaves its default.
query_limits query_limits_from_environment();

/// `text` as a positive decimal integer (digits only, at most INT_MAX), or
/// `fallback` when it is null or anything else.
int positive_number_or(const char* text, int fallback);

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
/// cuts the running version and the PSID out of each output. A query that
/// found either missing while another ran beside it is asked once more,
/// alone (two functions of one board share a flash). A query that outlives
/// `limits.seconds` is ended and found nothing. When a process cannot be
/// made, says so on standard error. SIGINT, SIGTERM and SIGHUP meanwhile end
/// the queries and the process (see run_side_by_side).
void get_firmware_infos(std::vector<firmware_query>* queries, const query_limits& limits);

/// One adapter's query, as get_firmware_infos does it, with the limits from
/// the environment. 0 when both values were found, else 1.
int get_firmware_info(const pci_address& address, firmware_info* info);

/// Cuts the value of `label` out of a query's output: the first line (lines
/// longer than 499 characters count as several) that contains the label in
/// any letter case, from column len(label) + 1 on, blanks left out, at most
/// 49 characters, a line end (LF, CR) removed. 0 with `value` set, 1 when no
/// line holds the label or its value is empty.
int cut_firmware_value(std::string_view output, std::string_view label, std::string* value);
