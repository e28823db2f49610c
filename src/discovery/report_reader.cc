// The discovery report applier: reads the report into the NIC table, then burns what it asks for.
#include "discovery/report_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <set>

#include "discovery/fw_action.h"
#include "discovery/image_lookup.h"
#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "inventory/pci_enum.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "repository/xml_errors.h"
#include "run/error_report.h"
#include "run/child_process.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/file_io.h"
#include "run/outside_text.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/text_format.h"
#include "upgrade/image_flashing.h"

namespace {

const char* const kWrongImageType = "read_FW_cur_version: Error Wrong image type\n";
const char* const kClosingError = "read_discovery_report: Error at read_NIC_FW_xml_file\n";

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

// A value from the report as it may appear inside an event line, short.
std::string log_excerpt(std::string_view text) { return clean_outside_text(text, 80); }

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

// Among catalog entries for one board, the numerically highest version; on
// equal versions the first in catalog order.
const XMLFW_INFO& highest_entry(const std::vector<XMLFW_INFO>& entries) {
  const XMLFW_INFO* best = &entries.front();
  for (const XMLFW_INFO& entry : entries) {
    if (is_newer(parse_fw_version(entry.pxmlRom), parse_fw_version(best->pxmlRom))) best = &entry;
  }
  return *best;
}

// The catalog entries for a report device's board.
std::vector<XMLFW_INFO> catalog_images(const fw_catalog& catalog, const nic_info& nic) {
  return read_NIC_FW_xml_file(catalog, {nic, nic.psid});
}

void attach_image(nic_info& nic, const XMLFW_INFO& entry) {
  const std::string product = nic.pxmlName[0];
  nic.fw_count = 0;
  add_image(nic, parse_fw_version(entry.pxmlRom), product, entry.pxmlFwImage);
}

// A report is a plan made earlier: the adapter is asked again (`now`, its
// query right before its burn) whether the plan still holds: its PSID, and
// (when the image's version is known from the catalog) the action against
// the version it runs. "" when it holds, else why not.
std::string why_stale(const nic_info& nic, const firmware_info& now, bool by_version) {
  if (now.psid.empty() || now.version.empty()) return "the adapter does not answer the firmware query";
  if (now.psid != nic.psid) {
    return strprintf("the adapter's PSID is %s, the report's %s", now.psid.c_str(),
                     log_excerpt(nic.psid).c_str());
  }
  if (!by_version) return "";
  const fw_version running = parse_fw_version(now.version);
  const fw_version image = image_version(nic, 0);
  const bool holds = nic.action == kActionUpgrade     ? is_newer(image, running)
                     : nic.action == kActionRewrite   ? same_version(image, running)
                     : nic.action == kActionDowngrade ? is_newer(running, image)
                                                      : false;
  if (holds) return "";
  return strprintf("it runs %s now, so \"%s\" to %s no longer applies",
                   version_text(running).c_str(), log_excerpt(nic.action).c_str(),
                   version_text(image).c_str());
}

// Burns, in report order, every device that the report asks to flash and
// the catalog knows.
int apply_report_devices(const fw_catalog& catalog) {
  // Each burn defers signals while it runs; between burns a signal ends the
  // queries and lookups of the moment and the run.
  size_t accepted = 0;
  bool failed = false;
  bool locked = false;
  int stop_signal = 0;
  std::set<pci_address> handled;
  // Per board identity: the device it was burned through.
  std::map<std::string, std::string> boards;
  burns_planned = 0;
  for (const nic_info& nic : g_ninfo)
    burns_planned += (nic.flags & kNicToFlash) && !catalog_images(catalog, nic).empty() ? 1 : 0;
  for (size_t idx = 0; idx < g_ninfo.size(); ++idx) {
    if ((stop_signal = deferred_signals::received()) != 0) break;
    nic_info& nic = g_ninfo[idx];
    // Built once the whole device is read, whatever the order of its leaves,
    // and read by the same parser as every address.
    const std::string written = nic.busnumber + ":" + nic.devicenumber + "." + nic.funcnumber;
    const std::vector<XMLFW_INFO> matches = catalog_images(catalog, nic);
    if (matches.empty()) {
      if (nic.flags & kNicToFlash) {
        log_mellanox_event(kTagWarning,
                           strprintf("read_discovery_report: %s asks for \"%s\" but the catalog "
                                     "has no image for it (PSID %s); not flashed\n",
                                     log_excerpt(written).c_str(), log_excerpt(nic.action).c_str(),
                                     log_excerpt(nic.psid).c_str()));
      }
      continue;
    }
    ++accepted;
    attach_image(nic, highest_entry(matches));
    if (!(nic.flags & kNicToFlash)) continue;

    pci_address address;
    if (parse_pci_address(written, &address) != nullptr) {
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Device %zu has no valid PCI address "
                                   "(\"%s\"); not flashed\n",
                                   idx + 1, log_excerpt(written).c_str()));
      failed = true;
      continue;
    }
    nic.pbus_info = pci_address_text(address);
    if (!handled.insert(address).second) {
      log_mellanox_event(kTagWarning,
                         strprintf("read_discovery_report: %s is listed again (device %zu); it is "
                                   "handled once\n",
                                   nic.pbus_info.c_str(), idx + 1));
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
    firmware_info now;
    get_firmware_info(address, &now);
    // One flash, several PCI devices: burned once, through the first listed.
    if (const auto board = boards.find(now.board); !now.board.empty() && board != boards.end()) {
      take_firmware_answer(&nic, now);  // the run's metrics show what its flash holds now
      log_mellanox_event(kTagInfo, strprintf("%s shares its flash with %s (%s); burned once\n",
                                             nic.pbus_info.c_str(), board->second.c_str(),
                                             now.board.c_str()));
      continue;  // its outcome, a failure included, is already counted
    }
    const bool by_version = check == image_check::psid_and_version;
    const std::string stale = why_stale(nic, now, by_version);
    take_firmware_answer(&nic, now);  // the run's metrics show the adapter as asked now
    if (!stale.empty()) {
      log_mellanox_event(kTagError, strprintf("report is stale for %s: %s; not flashed\n",
                                              nic.pbus_info.c_str(), stale.c_str()));
      failed = true;
      continue;
    }
    do_update_firmware(static_cast<uint32_t>(idx), check);
    if (!now.board.empty()) boards[now.board] = nic.pbus_info;
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
  if (!open_event_log()) return kExitFailure;
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
  // The catalog is read as soon as the report names a device.
  run_fw_catalog catalog;
  const fw_catalog none;
  const fw_catalog* images = report.devices.empty() ? &none : catalog.get();
  if (images == nullptr) return kExitFailure;
  g_ninfo = std::move(report.devices);
  g_nic_table_built = true;
  fw_number.assign(g_ninfo.size(), 0);
  read_discovery = 1;
  return apply_report_devices(*images);
}

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

