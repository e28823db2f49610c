// Tests of the recommended firmware action.
#include "discovery/fw_action.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RecommendAction, DecisionTable) {
  struct Case {
    const char* running;
    std::vector<const char*> catalog;
    const char* action;
  } cases[] = {
      {"2.9.1000", {"2.9.1000"}, "rewrite"},
      {"2.9.1000", {"2.9.1000", "2.9.1200"}, "upgrade"},
      {"2.9.1000", {"2.9.1200", "2.9.1000"}, "upgrade"},  // a newer one wins, wherever it is
      {"3.0.0", {"2.99.99", "3.0.0"}, "rewrite"},         // an equal one beats older ones
      {"2.9.1000", {"2.8.9999"}, "downgrade"},
      {"2.10.0", {"2.9.9999"}, "downgrade"},              // minor 10 above 9: numbers, not digits
      {"2.9.1300", {"2.9.1200", "2.10.700"}, "upgrade"},
      {"2.9.1000", {}, "Nothing"},
      {"4294967295.0.0", {"4294967295.0.1"}, "upgrade"},  // compared unsigned
  };
  for (const Case& c : cases) {
    nic_info nic;
    nic.flags = kNicRecognised;
    const fw_version v = parse_fw_version(c.running);
    nic.uCurROMmaj = v.major;
    nic.uCurROMmin = v.minor;
    nic.uCurROMrel = v.release;
    for (const char* text : c.catalog) add_image(nic, parse_fw_version(text), "", "");
    EXPECT_STREQ(recommend_XML_FW_action("ROM", nic), c.action)
        << c.running << " against " << c.catalog.size() << " catalog versions";
  }
}

}  // namespace
