// Fuzzes the catalog reader: no entry before a fault is lost; matches carry the adapter's identity.
#include <algorithm>
#include <tuple>

#include "fuzz_check.h"
#include "repository/fw_catalog.h"
#include "run/text_format.h"

static auto fields(const XMLFW_INFO& e) {
  return std::tie(e.pxmlName, e.pxmlVenId, e.pxmlDevId, e.pxmlSubVenId, e.pxmlSubDevId, e.pxmlRom,
                  e.pxmlFwImage, e.pxmlPSID);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(fuzz_text(data, size));
  fw_catalog catalog, broken;
  const catalog_status status = parse_fw_catalog_text(text, &catalog);
  FUZZ_CHECK(status != catalog_status::unreadable &&
             (status == catalog_status::ok) == catalog.error.empty());
  if (status == catalog_status::ok) {  // the same catalog with a fault after its end
    // Is a broken catalog that keeps every entry, unless decoding non-ASCII text stopped
    // elsewhere (libxml2 decodes the last piece of a document more leniently).
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
    const catalog_status again = parse_fw_catalog_text(text + "<", &broken);
    FUZZ_CHECK(!ascii || again == catalog_status::malformed);
    FUZZ_CHECK(ascii ? broken.entries.size() == catalog.entries.size()
                     : broken.entries.size() <= catalog.entries.size());
    for (size_t i = 0; i < broken.entries.size(); ++i)
      FUZZ_CHECK(fields(broken.entries[i]) == fields(catalog.entries[i]));
  }
  for (size_t i = 0; i < catalog.entries.size() && i < 8; ++i) {
    // An adapter with this entry's PSID and, as far as they read as hexadecimal, its IDs.
    const XMLFW_INFO& entry = catalog.entries[i];
    const int ven = std::strtoul(("0" + entry.pxmlVenId).c_str(), nullptr, 16) & 0xFFFF;
    const int dev = std::strtoul(("0" + entry.pxmlDevId).c_str(), nullptr, 16) & 0xFFFF;
    const adapter_identity adapter{{ven, dev, 0x1A2B, 0xC3D4}, entry.pxmlPSID};
    const auto identity =
        std::make_tuple(strprintf("%04X", ven), strprintf("%04X", dev), adapter.psid);
    size_t expected = 0;
    for (const XMLFW_INFO& other : catalog.entries)
      expected += !adapter.psid.empty() &&
                  std::tie(other.pxmlVenId, other.pxmlDevId, other.pxmlPSID) == identity;
    const std::vector<XMLFW_INFO> matches = read_NIC_FW_xml_file(catalog, adapter);
    FUZZ_CHECK(matches.size() == expected);
    for (const XMLFW_INFO& m : matches)
      FUZZ_CHECK(std::tie(m.pxmlVenId, m.pxmlDevId, m.pxmlPSID) == identity &&
                 m.pxmlSubVenId + m.pxmlSubDevId == "1A2BC3D4");
  }
  return 0;
}
