// The NIC table build: enumeration, firmware query, sysfs identity and catalog images per adapter.
#include "inventory/nic_table.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "inventory/pci_enum.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/console.h"
#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"
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
    size_t done = 0;
    while (file_.fd() >= 0 && done < text.size()) {
      ssize_t n = ::write(file_.fd(), text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  temp_file file_;
  std::string name_;
};

void attach_catalog_images(nic_info* nic) {
  adapter_identity identity;
  identity.ven_id = nic->ven_id;
  identity.dev_id = nic->dev_id;
  identity.sub_ven_id = nic->sub_ven_id;
  identity.sub_dev_id = nic->sub_dev_id;
  identity.psid = nic->psid;
  // Every matching image counts: the highest may come after any number of others.
  std::vector<XMLFW_INFO> images = read_NIC_FW_xml_file(run_fw_catalog(), identity);
  if (images.empty()) {
    log_mellanox_event(kTagError, strprintf("For %s no matching firmware file in XML\n",
                                            nic->pbus_info.c_str()));
    return;
  }
  for (const XMLFW_INFO& image : images)
    add_image(*nic, parse_fw_version(image.pxmlRom), image.pxmlName, image.pxmlFwImage);
}

}  // namespace

bool is_mellanox_vendor(std::string_view vendor_name) {
  return contains_ignoring_case(vendor_name, "Mellanox") || contains_ignoring_case(vendor_name, "15B3");
}

int build_NIC_list() {
  g_nic_table_built = true;
  std::vector<pci_interface> interfaces;
  int rc = get_interface_list(&interfaces);
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

  diagnostic_file diagnostics;
  print_message(strprintf("\nIf PSID or FW_Version is not found for some interfaces, please check %s\n\n",
                          diagnostics.name().c_str()));

  // Every adapter of the vendor is asked at once; the table is then filled
  // in its own order, whatever order the answers came in.
  std::vector<firmware_query> queries;
  for (const pci_interface& interface : interfaces) {
    if (is_mellanox_vendor(interface.vendor_name)) queries.push_back({interface.address, {}, false});
  }
  const query_limits limits = query_limits_from_environment();
  get_firmware_infos(&queries, limits);

  int mellanox = 0;
  int unread = 0;
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const pci_interface& interface = interfaces[i];
    const char* address = interface.text.c_str();
    nic_info& nic = g_ninfo[i];
    if (!is_mellanox_vendor(interface.vendor_name)) {
      print_message(strprintf("Interface %s is not Mellanox one.\n", address));
      continue;
    }
    const firmware_query& query = queries[static_cast<size_t>(mellanox++)];
    if (query.timed_out) {
      log_mellanox_event(kTagError,
                         strprintf("The firmware query of %s did not end within %d seconds and was "
                                   "stopped\n %s\n",
                                   address, limits.seconds,
                                   firmware_query_command(interface.address).c_str()));
    }
    const firmware_info& firmware = query.info;
    nic.pbus_info = interface.text;  // known for the adapters not read too
    nic.asked = true;
    if (firmware.version_rc != 0) {
      diagnostics.write(strprintf("\n\nFWUPG_ERROR: get_firmware_info filed RC = %d\n%s\n\n",
                                  firmware.version_rc, source_mark().c_str()));
    }
    if (firmware.psid_rc != 0) {
      diagnostics.write(strprintf("\n\nFWUPG_ERROR: get_firmware_info filed RC = %d\n%s\n\n",
                                  firmware.psid_rc, source_mark().c_str()));
    }
    nic.psid = firmware.psid;
    if (firmware.version.empty() || firmware.psid.empty()) {
      diagnostics.write(
          strprintf("\n\nFWUPG_ERROR: PSID or FW_Version is not found for %s interface\n", address));
      ++unread;
      continue;
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

    pci_ids ids;
    if (int pci_rc = get_pci_info(interface.text, &ids); pci_rc != 0) {
      report_internal_error(strprintf("\n\nFWUPG_ERROR: RC = %d\n", pci_rc), "\n\n");
      std::exit(kExitFailure);
    }
    print_message(strprintf("DEVICE INFO---------->%x %x %x %x\n", ids.ven_id, ids.dev_id,
                            ids.sub_ven_id, ids.sub_dev_id));
    nic.ven_id = ids.ven_id;
    nic.dev_id = ids.dev_id;
    nic.sub_ven_id = ids.sub_ven_id;
    nic.sub_dev_id = ids.sub_dev_id;
    print_message(strprintf("pciIdString-------------->%04X-%04X-%04X-%04X-%s\n\n", nic.ven_id,
                            nic.dev_id, nic.sub_ven_id, nic.sub_dev_id, nic.psid.c_str()));

    attach_catalog_images(&nic);
    parseversions(nic.pfirmware_ver, &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
    nic.flags |= kNicRecognised;
  }
  g_nMellanoxPorts += mellanox;

  if (mellanox == 0) {
    // Without it a run on the wrong server leaves no trace in the log at all.
    log_mellanox_event(kTagWarning, "No adapter of PCI vendor 0x15B3 found on this server\n");
    return 1;
  }
  return unread == mellanox ? 2 : 0;
}
