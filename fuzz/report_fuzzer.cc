// Fuzzes the report reader and writer: a report read, written and read again keeps its devices.
#include <tuple>

#include "discovery/report_reader.h"
#include "discovery/report_writer.h"
#include "fuzz_check.h"
#include "inventory/pci_enum.h"

static auto leaves(const nic_info& n) {
  return std::tie(n.pinterfacename, n.ven_id, n.dev_id, n.sub_ven_id, n.sub_dev_id, n.pcurrent_mac,
                  n.pxmlName[0], n.pPort, n.psid, n.uCurROMmaj, n.uCurROMmin, n.uCurROMrel);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  discovery_report first, second;
  if (read_report_text(fuzz_text(data, size), &first) != report_status::ok) return 0;
  for (nic_info& nic : first.devices) {
    nic.flags |= kNicRecognised;  // the writer leaves out records that are not
    nic.pbus_info = nic.busnumber + ":" + nic.devicenumber + "." + nic.funcnumber;
  }
  xml_doc_owner doc = discovery_report_document(first.devices);
  FUZZ_CHECK(doc != nullptr);
  xmlChar* written = nullptr;
  int length = 0;
  xmlDocDumpMemory(doc.get(), &written, &length);
  const report_status status =
      read_report_text(std::string_view(reinterpret_cast<char*>(written), length), &second);
  xmlFree(written);
  FUZZ_CHECK(status == report_status::ok && second.devices.size() == first.devices.size());
  for (size_t i = 0; i < first.devices.size(); ++i) {
    const nic_info &was = first.devices[i], &is = second.devices[i];
    FUZZ_CHECK(leaves(is) == leaves(was));
    // The writer cuts the address leaves out of the address text: whole when it is an address.
    pci_address address;
    const bool canonical = parse_pci_address(was.pbus_info, &address) == nullptr &&
                           pci_address_text(address) == was.pbus_info;
    FUZZ_CHECK(!canonical ||
               std::tie(is.busnumber, is.devicenumber, is.funcnumber) ==
                   std::tie(was.busnumber, was.devicenumber, was.funcnumber));
  }
  return 0;
}
