// Fuzzes the catalog reader: a fault loses no entry before it, and every match carries the adapter's identity.
#include <tuple>

#include "fuzz_check.h"
#include "repository/fw_catalog.h"

namespace {

auto fields(const XMLFW_INFO& e) {
  return std::tie(e.pxmlName, e.pxmlVenId, e.pxmlDevId, e.pxmlSubVenId, e.pxmlSubDevId, e.pxmlRom,
                  e.pxmlFwImage, e.pxmlPSID);
}

// The number "%04X" shows as `text`; -1 for any other text.
int id_of(const std::string& text) {
  if (text.size() != 4 || text.find_first_not_of("0123456789ABCDEF") != std::string::npos) return -1;
  return std::stoi(text, nullptr, 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(fuzz_text(data, size));
  fw_catalog catalog;
  const catalog_status status = parse_fw_catalog_text(text, &catalog);
  FUZZ_CHECK(status != catalog_status::unreadable);
  FUZZ_CHECK((status == catalog_status::malformed) == !catalog.error.empty());
  if (status == catalog_status::ok) {
    fw_catalog broken;  // the same catalog with a fault after its end
    FUZZ_CHECK(parse_fw_catalog_text(text + "<", &broken) == catalog_status::malformed);
    FUZZ_CHECK(broken.entries.size() == catalog.entries.size());
    for (size_t i = 0; i < catalog.entries.size(); ++i)
      FUZZ_CHECK(fields(broken.entries[i]) == fields(catalog.entries[i]));
  }
  for (size_t i = 0; i < catalog.entries.size() && i < 8; ++i) {
    const XMLFW_INFO& entry = catalog.entries[i];
    const int ven = id_of(entry.pxmlVenId), dev = id_of(entry.pxmlDevId);
    if (ven < 0 || dev < 0) continue;
    const adapter_identity adapter{ven, dev, 0x1A2B, 0xC3D4, entry.pxmlPSID};
    size_t expected = 0;
    for (const XMLFW_INFO& other : catalog.entries) {
      expected += !adapter.psid.empty() && other.pxmlVenId == entry.pxmlVenId &&
                  other.pxmlDevId == entry.pxmlDevId && other.pxmlPSID == adapter.psid;
    }
    const std::vector<XMLFW_INFO> matches = read_NIC_FW_xml_file(catalog, adapter, SIZE_MAX);
    FUZZ_CHECK(matches.size() == expected);
    for (const XMLFW_INFO& match : matches) {
      FUZZ_CHECK(match.pxmlVenId == entry.pxmlVenId && match.pxmlDevId == entry.pxmlDevId);
      FUZZ_CHECK(match.pxmlPSID == adapter.psid && !match.pxmlPSID.empty());
      FUZZ_CHECK(match.pxmlSubVenId == "1A2B" && match.pxmlSubDevId == "C3D4");
    }
    FUZZ_CHECK(read_NIC_FW_xml_file(catalog, adapter, 1).size() == std::min<size_t>(expected, 1));
  }
  return 0;
}
