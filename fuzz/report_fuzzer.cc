// Fuzzes the discovery report reader and writer: a report read, written and read back gives the same devices.
#include <tuple>

#include "discovery/report_reader.h"
#include "discovery/report_writer.h"
#include "fuzz_check.h"

namespace {

auto leaves(const nic_info& n) {
  return std::tie(n.pinterfacename, n.ven_id, n.dev_id, n.sub_ven_id, n.sub_dev_id, n.pcurrent_mac,
                  n.pxmlName[0], n.pPort, n.psid, n.uCurROMmaj, n.uCurROMmin, n.uCurROMrel);
}

auto address(const nic_info& n) { return std::tie(n.busnumber, n.devicenumber, n.funcnumber); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  discovery_report first;
  if (read_report_text(fuzz_text(data, size), &first) != report_status::ok) return 0;
  FUZZ_CHECK(first.devices.size() <= kMaxReportDevices);
  for (nic_info& nic : first.devices) {
    for (int id : {nic.ven_id, nic.dev_id, nic.sub_ven_id, nic.sub_dev_id})
      FUZZ_CHECK(id >= 0 && id <= 0xFFFF);  // four hexadecimal digits at most
    nic.flags |= kNicRecognised;  // the writer leaves out records that are not
    nic.pbus_info = nic.busnumber + ":" + nic.devicenumber + "." + nic.funcnumber;
  }
  xml_doc_owner doc = discovery_report_document(first.devices);
  FUZZ_CHECK(doc);
  xmlChar* written = nullptr;
  int length = 0;
  xmlDocDumpMemory(doc.get(), &written, &length);
  discovery_report second;
  const report_status status =
      read_report_text(std::string_view(reinterpret_cast<char*>(written), length), &second);
  xmlFree(written);
  FUZZ_CHECK(status == report_status::ok);
  FUZZ_CHECK(second.devices.size() == first.devices.size());
  for (size_t i = 0; i < first.devices.size(); ++i) {
    FUZZ_CHECK(leaves(second.devices[i]) == leaves(first.devices[i]));
    // The writer cuts the leaves out of the address text, which keeps them
    // whole only when the address is well formed.
    if (is_well_formed_pci_address(first.devices[i].pbus_info))
      FUZZ_CHECK(address(second.devices[i]) == address(first.devices[i]));
  }
  return 0;
}
