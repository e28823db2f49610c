// Tests of the address leaves and of the text a discovery report can carry.
#include "discovery/report_writer.h"

#include <gtest/gtest.h>

namespace {

// How -d cuts an address into its leaves (whether -u takes them back: pci_enum_test.cc).
TEST(ReportAddress, Split) {
  struct Case {
    const char *address, *bus, *device, *function;
  } cases[] = {
      {"0000:04:00.0", "0000:04", "00", "0"},
      {"0000:8a:1F.7", "0000:8a", "1F", "7"},      // case and width kept
      {"10000:8A:1f.7", "10000:8A", "1f", "7"},    // a VMD domain
      {"0000:04", "", "", ""},                     // no second ':'
      {"0000:04:00", "0000:04", "", ""},           // no '.'
      {"0000:04:00.0.1", "0000:04", "00", "1"},    // the function after the last '.'
      {"a.b", "", "", "b"},
      {"", "", "", ""},
      {"0000:04:00.0 ", "0000:04", "00", "0 "},
  };
  for (const Case& c : cases) {
    const pci_address_fields fields = split_pci_address(c.address);
    EXPECT_EQ(fields.busnumber + "/" + fields.devicenumber + "/" + fields.funcnumber,
              std::string(c.bus) + "/" + c.device + "/" + c.function) << c.address;
  }
}

// Text the firmware tool reports goes into the document only as XML allows it.
TEST(XmlSafeText, Table) {
  struct Case {
    std::string text;
    std::string safe;
  } cases[] = {
      {"<&\"'> tab\tlf\ncr\r", "<&\"'> tab\tlf\ncr\r"},  // escaped by the writer, not here
      {std::string("a\x01z\x7f\0x", 6), std::string("a?z\x7f?x", 6)},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},  // UTF-8 kept
      {"\xFF\xC3", "??"},                                // not UTF-8, cut sequence
      {"\xC0\xAF", "??"},                                // overlong '/'
      {"\xEF\xBF\xBE\xED\xA0\x80", "??????"},            // U+FFFE, a surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(xml_safe_text(c.text), c.safe) << c.text;
}

}  // namespace
