// The discovery report applier: reads the report into the NIC table, then burns what it asks for.
#include "discovery/report_reader.h"

#include <cctype>

#include "discovery/fw_action.h"
#include "discovery/image_lookup.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/child_process.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/temp_file.h"
#include "run/text_format.h"
#include "upgrade/image_flashing.h"

namespace {

const char* const kWrongImageType = "read_FW_cur_version: Error Wrong image type\n";
const char* const kClosingError = "read_discovery_report: Error at read_NIC_FW_xml_file\n";

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// The `value` attribute of the current element; "" when it has none.
std::string value_attribute(xmlTextReader* reader) {
  xmlChar* value = xmlTextReaderGetAttribute(reader, xml("value"));
  if (!value) return "";
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

// A value from the report as it may appear inside an event line: report
// text could otherwise forge lines of the log or flood it.
std::string log_excerpt(std::string_view text) {
  constexpr size_t kMax = 80;
  std::string excerpt;
  for (char c : text.substr(0, kMax)) {
    const unsigned char u = static_cast<unsigned char>(c);
    excerpt += (u < 0x20 || u == 0x7F) ? '?' : c;
  }
  if (text.size() > kMax) excerpt += "...";
  return excerpt;
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
    if (is_flash_action(value)) nic.flags |= kNicToFlash;
  }
}

// Among catalog entries for one board, the numerically highest version; on
// equal versions the first in catalog order.
const XMLFW_INFO& highest_entry(const std::vector<XMLFW_INFO>& entries) {
  const XMLFW_INFO* best = &entries.front();
  for (const XMLFW_INFO& entry : entries) {
    if (is_newer(parse_fw_version(entry.pxmlRom), parse_fw_version(best->pxmlRom))) best = &entry;
  }
  return *best;
}

void attach_image(nic_info& nic, const XMLFW_INFO& entry) {
  const fw_version version = parse_fw_version(entry.pxmlRom);
  nic.pxmlFwImage[0] = entry.pxmlFwImage;
  nic.uFwROMmaj[0] = version.major;
  nic.uFwROMmin[0] = version.minor;
  nic.uFwROMrel[0] = version.release;
  nic.fw_count = 1;
}

// Burns, in report order, every device that the report asks to flash and
// the catalog knows.
int apply_report_devices() {
  deferred_signals signals;  // a burn in progress is never abandoned
  size_t accepted = 0;
  bool failed = false;
  bool locked = false;
  int stop_signal = 0;
  for (size_t idx = 0; idx < g_ninfo.size(); ++idx) {
    if ((stop_signal = deferred_signals::received()) != 0) break;
    nic_info& nic = g_ninfo[idx];
    const adapter_identity identity{nic.ven_id, nic.dev_id, nic.sub_ven_id, nic.sub_dev_id,
                                    nic.psid};
    const fw_catalog& catalog = run_fw_catalog();
    const std::vector<XMLFW_INFO> matches =
        read_NIC_FW_xml_file(catalog, identity, catalog.entries.size());
    if (matches.empty()) continue;
    ++accepted;
    attach_image(nic, highest_entry(matches));
    if (!(nic.flags & kNicToFlash)) continue;

    // Built once the whole device is read, whatever the order of its leaves.
    nic.pbus_info = nic.busnumber + ":" + nic.devicenumber + "." + nic.funcnumber;
    if (!is_well_formed_pci_address(nic.pbus_info)) {
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Device %zu has no valid PCI address "
                                   "(\"%s\"); not flashed\n",
                                   idx + 1, log_excerpt(nic.pbus_info).c_str()));
      failed = true;
      continue;
    }
    // An image named by getmlnxinfo has no version in the catalog to check.
    image_check check = image_check::psid_and_version;
    if (nic.pxmlFwImage[0].find("Tamarix") != std::string::npos) {
      if (modify_imagename(nic, nullptr) != 0) {
        log_mellanox_event(
            kTagError, "read_discovery_report: Error in finding the image for Tamarix/Pellion2\n");
        return kExitErrors;
      }
      check = image_check::psid_only;
    }
    if (!is_safe_image_name(nic.pxmlFwImage[0])) {
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Refused image name \"%s\" for %s; "
                                   "images come from %s only\n",
                                   log_excerpt(nic.pxmlFwImage[0]).c_str(), nic.pbus_info.c_str(),
                                   g_FwDir));
      failed = true;
      continue;
    }
    nic.pFwPath = nic.pxmlFwImage[0];
    if (!locked) {
      if (!take_burn_lock()) {
        log_mellanox_event(kTagError,
                           "read_discovery_report: Another firmware upgrade is running; "
                           "nothing was burned\n");
        return kExitFailure;
      }
      locked = true;
    }
    do_update_firmware(static_cast<uint32_t>(idx), check);
    if (g_iFlag & kStatusBurnFailed) failed = true;
    if ((stop_signal = deferred_signals::received()) != 0) break;
  }
  if (stop_signal != 0) {
    log_mellanox_event(kTagError,
                       strprintf("read_discovery_report: Stopped by signal %d; no further device "
                                 "was burned\n",
                                 stop_signal));
  }
  if (failed || accepted == 0) {
    log_mellanox_event(kTagError, kClosingError);
    return kExitErrors;
  }
  return stop_signal != 0 ? kExitErrors : kExitOk;
}

}  // namespace

int read_discovery_report() {
  silent = kSilentRun;
  open_event_log();
  const std::string& path = g_XMLDiscoveryReport;
  discovery_report report;
  const report_status status = read_report_file(path, &report);
  for (const std::string& event : report.events) log_mellanox_event(kTagError, event);
  switch (status) {
    case report_status::ok:
      break;
    case report_status::unreadable:
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Failed to open %s\n", path.c_str()));
      return kExitErrors;
    case report_status::malformed:
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Failed to parse %s\n", path.c_str()));
      return kExitErrors;
    case report_status::too_large:
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: %s lists more than %zu devices; "
                                   "nothing was burned\n",
                                   path.c_str(), kMaxReportDevices));
      return kExitErrors;
  }
  g_ninfo = std::move(report.devices);
  fw_number.assign(g_ninfo.size(), 0);
  read_discovery = 1;
  return apply_report_devices();
}

report_status read_report_file(const std::string& path, discovery_report* report) {
  std::string text;
  // One byte over the bound tells a report that is too long to be whole.
  if (!read_file_text(path, &text, kMaxReportBytes + 1)) return report_status::unreadable;
  if (text.size() > kMaxReportBytes) return report_status::malformed;
  return read_report_text(text, report, path.c_str());
}

// The report is read twice: once to count its devices, once to fill them.
report_status read_report_text(std::string_view text, discovery_report* report, const char* name) {
  auto open_reader = [text, name] {
    return xmlReaderForMemory(text.data(), static_cast<int>(text.size()), name, nullptr,
                              XML_PARSE_NONET);
  };
  size_t device_count = 0;
  {
    xml_reader_owner reader(open_reader());
    if (!reader) return report_status::malformed;
    int result;
    while ((result = xmlTextReaderRead(reader.get())) == 1) {
      read_num_device_elements(reader.get(), &device_count);
      if (device_count > kMaxReportDevices) return report_status::too_large;
    }
    if (result != 0) return report_status::malformed;
  }
  std::vector<nic_info> table(device_count);
  report_cursor cursor;
  xml_reader_owner reader(open_reader());
  if (!reader) return report_status::malformed;
  int result;
  while ((result = xmlTextReaderRead(reader.get())) == 1) process_node(reader.get(), table, cursor);
  report->events = std::move(cursor.events);
  if (result != 0) return report_status::malformed;
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

bool is_well_formed_pci_address(std::string_view address) {
  static constexpr std::string_view kShape = "xxxx:xx:xx.f";
  if (address.size() != kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(address[i]);
    switch (kShape[i]) {
      case 'x':
        if (!std::isxdigit(c)) return false;
        break;
      case 'f':
        if (c < '0' || c > '7') return false;
        break;
      default:
        if (c != static_cast<unsigned char>(kShape[i])) return false;
    }
  }
  return true;
}
