// The discovery report reader: a report's text into NIC records, nothing more.
#include "discovery/report_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include "discovery/fw_action.h"
#include "repository/fw_version.h"
#include "repository/xml_errors.h"
#include "run/error_report.h"
#include "run/event_log.h"
#include "run/file_io.h"
#include "run/outside_text.h"
#include "run/run_state.h"
#include "run/text_format.h"

namespace {

const char* const kWrongImageType = "read_FW_cur_version: Error Wrong image type\n";

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// The `value` attribute of the current element, cleaned as it enters: report
// text reaches the log and the tool. "" when it has none.
std::string value_attribute(xmlTextReader* reader) {
  xmlChar* value = xmlTextReaderGetAttribute(reader, xml("value"));
  if (!value) return "";
  std::string text = clean_outside_text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

bool is_flash_action(std::string_view action) {
  return action == kActionUpgrade || action == kActionRewrite || action == kActionDowngrade;
}

void apply_leaf(std::string_view name, const std::string& value, nic_info& nic,
                report_cursor& cursor) {
  if (name == "device_id") {
    nic.pinterfacename = value;
  } else if (name == "venid") {
    nic.ven_id = axtoi(value);
  } else if (name == "devid") {
    nic.dev_id = axtoi(value);
  } else if (name == "subvenid") {
    nic.sub_ven_id = axtoi(value);
  } else if (name == "subdevid") {
    nic.sub_dev_id = axtoi(value);
  } else if (name == "macaddress") {
    nic.pcurrent_mac = value;
  } else if (name == "product_id") {
    nic.pxmlName[0] = value;
  } else if (name == "busnumber") {
    nic.busnumber = value;
  } else if (name == "devicenumber") {
    nic.devicenumber = value;
  } else if (name == "funcnumber") {
    nic.funcnumber = value;
  } else if (name == "slotnumber") {
    nic.pPort = value;
  } else if (name == "firmware_id") {
    nic.psid = value;  // the PSID the catalog is searched with
  } else if (name == "active_version") {
    if (!read_FW_cur_version(nic, cursor.image_type, value)) cursor.events.push_back(kWrongImageType);
  } else if (name == "action") {
    nic.action = value;
    if (is_flash_action(value)) nic.flags |= kNicToFlash;
  }
}

}  // namespace

report_status read_report_file(const std::string& path, discovery_report* report) {
  std::string text;
  // Only a regular file is a report (a FIFO would hang the run); one byte over
  // the bound tells a report that is too long to be whole.
  if (!read_file_text(path, &text, kMaxReportBytes + 1)) return report_status::unreadable;
  if (text.size() > kMaxReportBytes) return report_status::malformed;
  return read_report_text(text, report, path.c_str());
}

// The report is read twice: once to count its devices, once to fill them.
// A report needs no document type declaration, whose entities could swell a
// small file into gigabytes: one is refused before any value is read.
report_status read_report_text(std::string_view text, discovery_report* report, const char* name) {
  xml_error_trap trap(name);
  // One pass: every node to `visit`; false at a fault (named on standard error).
  auto read_pass = [&](auto&& visit) {
    xml_reader_owner reader(xmlReaderForMemory(text.data(), static_cast<int>(text.size()), name,
                                               nullptr, XML_PARSE_NONET));
    int result = reader ? 1 : -1;
    while (reader && (result = xmlTextReaderRead(reader.get())) == 1) {
      if (xmlTextReaderNodeType(reader.get()) == XML_READER_TYPE_DOCUMENT_TYPE) {
        trap.fault(xmlTextReaderGetParserLineNumber(reader.get()),
                   "a document type declaration is not accepted");
        result = -1;
        break;
      }
      if (!visit(reader.get())) return true;
    }
    if (result == 0) return true;
    trap.fault(0, "the document ends early");
    if (reader) trap.fault_line(xmlTextReaderGetParserLineNumber(reader.get()));
    write_stderr(trap.line());
    return false;
  };
  size_t device_count = 0;
  if (!read_pass([&](xmlTextReader* reader) {
        read_num_device_elements(reader, &device_count);
        return device_count <= kMaxReportDevices;
      }))
    return report_status::malformed;
  if (device_count > kMaxReportDevices) return report_status::too_large;

  std::vector<nic_info> table(device_count);
  report_cursor cursor;
  const bool read = read_pass([&](xmlTextReader* reader) {
    process_node(reader, table, cursor);
    return true;
  });
  report->events = std::move(cursor.events);
  if (!read) return report_status::malformed;
  report->devices = std::move(table);
  return report_status::ok;
}

void read_num_device_elements(xmlTextReader* reader, size_t* deviceCnt) {
  const xmlChar* name = xmlTextReaderConstName(reader);
  if (name && xmlStrcmp(name, xml("device")) == 0 &&
      xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT)
    ++*deviceCnt;
}

void process_node(xmlTextReader* reader, std::vector<nic_info>& table, report_cursor& cursor) {
  const xmlChar* raw_name = xmlTextReaderConstName(reader);
  const std::string_view name = raw_name ? reinterpret_cast<const char*>(raw_name) : "--";
  const int type = xmlTextReaderNodeType(reader);
  if (name == "device") {
    // Each device element is one record, written as a pair of tags or empty.
    if (type == XML_READER_TYPE_END_ELEMENT) {
      if (cursor.device_depth > 0) --cursor.device_depth;
      ++cursor.idx;
    } else if (type == XML_READER_TYPE_ELEMENT) {
      if (xmlTextReaderIsEmptyElement(reader) == 1) {
        ++cursor.idx;
      } else {
        ++cursor.device_depth;
      }
    }
    return;
  }
  if (type != XML_READER_TYPE_ELEMENT) return;
  const std::string value = value_attribute(reader);
  if (name == "type") {
    cursor.image_type = value;  // the header's type as well as each item's
    return;
  }
  // Leaves outside any device describe nothing that could be flashed.
  if (cursor.device_depth == 0 || cursor.idx >= table.size()) return;
  apply_leaf(name, value, table[cursor.idx], cursor);
}

int axtoi(std::string_view hexStg) {
  int digits[4];
  int count = 0;
  for (char c : hexStg.substr(0, 4)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= '*' && u <= '?') {
      digits[count++] = u & 0x0F;
    } else if (u >= 'a' && u <= 'f') {
      digits[count++] = u - 'a' + 10;
    } else if (u >= 'A' && u <= 'F') {
      digits[count++] = u - 'A' + 10;
    } else {
      break;
    }
  }
  int value = 0;
  for (int i = 0; i < count; ++i) value = (value << 4) | digits[i];
  return value;
}

bool read_FW_cur_version(nic_info& pCurNinfo, std::string_view pImageType,
                         std::string_view pVersion) {
  if (pVersion.find("n/a") != std::string_view::npos) return true;
  if (pImageType.find("ROM") == std::string_view::npos) return false;
  parseversions(pVersion, &pCurNinfo.uCurROMmaj, &pCurNinfo.uCurROMmin, &pCurNinfo.uCurROMrel);
  pCurNinfo.flags |= kNicRecognised;
  return true;
}

