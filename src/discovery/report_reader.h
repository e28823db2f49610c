// The discovery report reader: a report file or text into NIC records, one per device.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/nic_info.h"
#include "repository/xml_owners.h"

/// Most devices one report may list; a larger report is refused whole.
inline constexpr size_t kMaxReportDevices = 4096;

/// Outcome of reading a report.
enum class report_status {
  ok,
  unreadable,  ///< could not be opened
  malformed,   ///< not well-formed XML, or with a document type declaration
  too_large,   ///< more than kMaxReportDevices devices
};

/// A report read into NIC records, one per `device` element, in report order.
struct discovery_report {
  std::vector<nic_info> devices;
  std::vector<std::string> events;  ///< error events met while reading, to be logged
};

/// Where the filling pass stands.
struct report_cursor {
  size_t idx = 0;           ///< record of the device being read
  int device_depth = 0;     ///< above 0 inside a `device` element
  std::string image_type;   ///< value of the last `type` element read
  std::vector<std::string> events;
};

/// Longest report file read; a longer one is refused as malformed (a report
/// of kMaxReportDevices devices written by -d takes about 5 MB).
inline constexpr size_t kMaxReportBytes = 64u << 20;

/// Reads the report file at `path` whole, then as read_report_text; anything
/// but a regular file is unreadable.
report_status read_report_file(const std::string& path, discovery_report* report);

/// Reads report text as a file would hold it (two passes: count, then fill);
/// a document type declaration is refused. Its first fault goes to standard
/// error as one line naming `name` and the line.
report_status read_report_text(std::string_view text, discovery_report* report,
                               const char* name = "report");

/// Counts the node when it starts a `device` element.
void read_num_device_elements(xmlTextReader* reader, size_t* deviceCnt);

/// Applies one node of the filling pass to `table`: the `value` attribute
/// of a leaf inside a `device` element goes to that device's record.
void process_node(xmlTextReader* reader, std::vector<nic_info>& table, report_cursor& cursor);

/// Hexadecimal text to number: at most the first four characters, stopping
/// at the first that is not a digit ('*' to '?' count by their low four
/// bits, a-f and A-F as 10 to 15). "15B3" and "15b3XYZ" give 0x15B3, "0x15B3" 0.
int axtoi(std::string_view hexStg);

/// Stores a report's running version in `pCurNinfo` and marks it recognised
/// when the remembered type is a "ROM" type ("n/a" is skipped). False when
/// the type is not a "ROM" type: the record is left as it was.
bool read_FW_cur_version(nic_info& pCurNinfo, std::string_view pImageType,
                         std::string_view pVersion);
