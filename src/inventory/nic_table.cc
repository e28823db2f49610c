// The NIC table build: enumeration, firmware query, sysfs identity and catalog images per adapter.
#include "inventory/nic_table.h"

#include <algorithm>
#include <vector>

#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "inventory/pci_enum.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/console.h"
#include "run/error_report.h"
#include "run/event_log.h"
#include "run/file_io.h"
#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

constexpr const char* kDiagnosticTemplate = "/tmp/dataXXXXXX";

// The query failures of one build, kept in /tmp for the operator to read.
class diagnostic_file {
 public:
  diagnostic_file() {
    if (file_.create(kDiagnosticTemplate)) {
      file_.keep();
      name_ = file_.path();
    } else {
      name_ = kDiagnosticTemplate;
      write_console(strprintf("Not able to open this %s file\n", name_.c_str()));
    }
  }

  const std::string& name() const { return name_; }

  // Writes are skipped when the file could not be made.
  void write(const std::string& text) {
    if (file_.fd() >= 0) write_all(file_.fd(), text);
  }

 private:
  temp_file file_;
  std::string name_;
};

void attach_catalog_images(nic_info* nic, const fw_catalog& catalog) {
  // Every matching image counts: the highest may come after any number of others.
  std::vector<XMLFW_INFO> images = read_NIC_FW_xml_file(catalog, {*nic, nic->psid});
  if (images.empty()) {
    log_mellanox_event(kTagError, strprintf("For %s no matching firmware file in XML\n",
                                            nic->pbus_info.c_str()));
    return;
  }
  for (const XMLFW_INFO& image : images)
    add_image(*nic, parse_fw_version(image.pxmlRom), image.pxmlName, image.pxmlFwImage);
}

// Lists the adapters of the PCI enumeration on the console and sizes the
// table for them.
std::vector<pci_interface> list_adapters() {
  std::vector<pci_interface> interfaces;
  int rc = get_interface_list(&interfaces, &g_recovery_functions);
  if (rc != 0) {
    report_internal_error(strprintf("\n\nFWUPG_ERROR: get_interface_list filed RC = %d\n", rc),
                          "\n\n");
  }
  g_nNics = static_cast<int>(interfaces.size());
  fw_number.assign(interfaces.size(), 0);

  print_message("List of Network Adapters detected on the Server.................\n");
  for (size_t i = 0; i < interfaces.size(); ++i) {
    print_message(strprintf("[%d] %s %s\n", static_cast<int>(i), interfaces[i].text.c_str(),
                            interfaces[i].vendor_name.c_str()));
  }
  g_ninfo.assign(interfaces.size(), nic_info());
  log_recovery_functions();
  return interfaces;
}

// Asks every adapter of the vendor at once; the answers come back in the
// order of the adapters, whatever order they came in.
std::vector<firmware_query> query_adapters(const std::vector<pci_interface>& interfaces,
                                           const query_limits& limits) {
  std::vector<firmware_query> queries;
  for (const pci_interface& interface : interfaces) {
    if (is_mellanox_vendor(interface.vendor_name)) queries.push_back({interface.address, {}, false});
  }
  get_firmware_infos(&queries, limits);
  return queries;
}

// A query's failures: a time-out in the log, the tool's return codes in the
// diagnostic file.
void note_query_failures(const pci_interface& interface, const firmware_query& query,
                         const query_limits& limits, diagnostic_file& diagnostics) {
  if (query.timed_out) {
    log_mellanox_event(kTagError,
                       strprintf("The firmware query of %s did not end within %d seconds and was "
                                 "stopped\n %s\n",
                                 interface.text.c_str(), limits.seconds,
                                 firmware_query_command(interface.address).c_str()));
  }
  for (int rc : {query.info.version_rc, query.info.psid_rc}) {
    if (rc != 0) {
      diagnostics.write(strprintf("\n\nFWUPG_ERROR: get_firmware_info filed RC = %d\n%s\n\n", rc,
                                  source_mark().c_str()));
    }
  }
}

// Reads the adapter's PCI identity into its record and shows it; false when
// it cannot be read (reported on standard error).
bool take_pci_identity(nic_info& nic, const pci_interface& interface) {
  pci_ids ids;
  if (int pci_rc = get_pci_info(interface.text, &ids); pci_rc != 0) {
    report_internal_error(strprintf("\n\nFWUPG_ERROR: RC = %d\n", pci_rc), "\n\n");
    return false;
  }
  print_message(strprintf("DEVICE INFO---------->%x %x %x %x\n", ids.ven_id, ids.dev_id,
                          ids.sub_ven_id, ids.sub_dev_id));
  static_cast<pci_ids&>(nic) = ids;
  print_message(strprintf("pciIdString-------------->%04X-%04X-%04X-%04X-%s\n\n", nic.ven_id,
                          nic.dev_id, nic.sub_ven_id, nic.sub_dev_id, nic.psid.c_str()));
  return true;
}

// What became of one adapter's record.
enum class fill_result { read, unread, broken_off };

// Fills the record of one adapter of the vendor from its query, its PCI
// identity and the catalog images that match it.
fill_result fill_nic_record(nic_info& nic, const pci_interface& interface,
                            const firmware_query& query, const query_limits& limits,
                            diagnostic_file& diagnostics, run_fw_catalog& catalog) {
  const char* address = interface.text.c_str();
  note_query_failures(interface, query, limits, diagnostics);
  const firmware_info& firmware = query.info;
  nic.pbus_info = interface.text;  // known for the adapters not read too
  nic.asked = true;
  nic.psid = firmware.psid;
  if (firmware.version.empty() || firmware.psid.empty()) {
    diagnostics.write(
        strprintf("\n\nFWUPG_ERROR: PSID or FW_Version is not found for %s interface\n", address));
    nic.query_reason = firmware.reason;
    if (!nic.query_reason.empty()) diagnostics.write(nic.query_reason + "\n");
    return fill_result::unread;
  }

  print_message(strprintf("\nMellanox card info for %s = FW_VERSION %s, BUS_INFO %s, PSID %s\n",
                          address, firmware.version.c_str(), address, firmware.psid.c_str()));
  const pci_address& at = interface.address;
  print_message(strprintf("%04x:%02x:%02x.%x\n", at.domain, at.bus, at.slot, at.func));
  nic.pinterfacename = interface.text;
  nic.pfirmware_ver = firmware.version;
  nic.prunning_ver = firmware.running;
  nic.board = firmware.board;
  if (!nic.prunning_ver.empty()) {
    log_mellanox_event(kTagInfo, strprintf("%s holds firmware %s but runs %s until a reset\n",
                                           address, nic.pfirmware_ver.c_str(),
                                           nic.prunning_ver.c_str()));
  }

  if (!take_pci_identity(nic, interface)) return fill_result::broken_off;
  const fw_catalog* images = catalog.get();
  if (images == nullptr) return fill_result::broken_off;
  attach_catalog_images(&nic, *images);
  parseversions(nic.pfirmware_ver, &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
  nic.flags |= kNicRecognised;
  return fill_result::read;
}

}  // namespace

std::string recovery_warning(const recovery_function& function) {
  return strprintf("%s (15b3:%04x, %s) is in flash recovery mode: fwkit leaves it alone; recover "
                   "it with the firmware tool, then run fwkit again\n",
                   function.text.c_str(), function.device_id, function.chip.c_str());
}

void log_recovery_functions() {
  for (const recovery_function& function : g_recovery_functions)
    log_mellanox_event(kTagWarning, recovery_warning(function));
}

void find_recovery_functions() {
  g_recovery_functions = get_recovery_functions();
  log_recovery_functions();
}

bool in_flash_recovery(const pci_address& address) {
  return std::any_of(g_recovery_functions.begin(), g_recovery_functions.end(),
                     [&](const recovery_function& function) { return function.address == address; });
}

std::string unread_adapter_warning(const std::string& address, const std::string& reason) {
  return strprintf("%s could not be read (%s); left alone\n", address.c_str(), reason.c_str());
}

void log_unread_adapters() {
  for (const nic_info& nic : g_ninfo) {
    if (nic.asked && !(nic.flags & kNicRecognised))
      log_mellanox_event(kTagWarning, unread_adapter_warning(nic.pbus_info, nic.query_reason));
  }
}

bool is_mellanox_vendor(std::string_view vendor_name) {
  return contains_ignoring_case(vendor_name, "Mellanox") || contains_ignoring_case(vendor_name, "15B3");
}

int build_NIC_list(run_fw_catalog& catalog, const query_limits& limits) {
  const std::vector<pci_interface> interfaces = list_adapters();
  diagnostic_file diagnostics;
  print_message(strprintf("\nIf PSID or FW_Version is not found for some interfaces, please check %s\n\n",
                          diagnostics.name().c_str()));
  const std::vector<firmware_query> queries = query_adapters(interfaces, limits);

  int mellanox = 0;
  int unread = 0;
  for (size_t i = 0; i < interfaces.size(); ++i) {
    if (!is_mellanox_vendor(interfaces[i].vendor_name)) {
      print_message(strprintf("Interface %s is not Mellanox one.\n", interfaces[i].text.c_str()));
      continue;
    }
    const firmware_query& query = queries[static_cast<size_t>(mellanox++)];
    switch (fill_nic_record(g_ninfo[i], interfaces[i], query, limits, diagnostics, catalog)) {
      case fill_result::read: break;
      case fill_result::unread: ++unread; break;
      case fill_result::broken_off: return kNicListBrokenOff;
    }
  }
  g_nMellanoxPorts += mellanox;
  g_nic_table_built = true;

  if (mellanox == 0) {
    // Without it a run on the wrong server leaves no trace in the log at all.
    log_mellanox_event(kTagWarning, "No adapter of PCI vendor 0x15B3 found on this server\n");
    return 1;
  }
  return unread == mellanox ? 2 : 0;
}
