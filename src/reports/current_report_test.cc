// Tests of the report block of one adapter beyond what the end-to-end scenarios show.
#include "reports/current_report.h"

#include <gtest/gtest.h>

namespace {

TEST(CurrentReportBlock, VersionsWiderThanTheColumnAreNotCut) {
  nic_info nic;
  nic.pinterfacename = "0000:04:00.0";
  parseversions("1.0.0", &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
  add_image(nic, parse_fw_version("4294967295.2.2"), "", "");
  add_image(nic, parse_fw_version("4294967295.1.1"), "", "");
  std::string block = current_report_block(nic);
  EXPECT_NE(block.find("      ROM       1.0.0    ROM\t\t4294967295.1.1\t\t0000:04:00.0\n"
                       "                               \t\t4294967295.2.2\t\t0000:04:00.0\n\n"),
            std::string::npos)
      << block;
}

}  // namespace
