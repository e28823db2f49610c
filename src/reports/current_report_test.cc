// Tests of the report block of one adapter: layout, version order, the "Nothing" row.
#include "reports/current_report.h"

#include <gtest/gtest.h>

namespace {

nic_info adapter(const char* installed, std::vector<const char*> images) {
  nic_info nic;
  nic.pinterfacename = "0000:04:00.0";
  nic.ven_id = 0x15b3;
  nic.dev_id = 0x1017;
  nic.sub_ven_id = 0x15b3;
  nic.sub_dev_id = 0x20;
  nic.flags = kNicRecognised;
  parseversions(installed, &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
  for (const char* image : images) {
    int j = nic.fw_count++;
    nic.pxmlName[j] = "ConnectX-5 EN";
    parseversions(image, &nic.uFwROMmaj[j], &nic.uFwROMmin[j], &nic.uFwROMrel[j]);
  }
  return nic;
}

const char* const kHeader =
    " PCI-ID              \t\tNIC\n"
    "15B3-1017-15B3-0020 \tConnectX-5 EN \n"
    "\n"
    "     (Installed)           (Available)\n"
    "     Image      Version      Image        Version     \t\tInterface\n"
    "------------------------------------------------------------------------\n";

TEST(CurrentReportBlock, ImagesListedLowestFirstInstalledOnlyOnTheFirstRow) {
  EXPECT_EQ(current_report_block(adapter("2.3.0", {"2.4.1", "2.3.0", "2.3.5"})),
            std::string(kHeader) +
                "      ROM       2.3.0    ROM\t\t     2.3.0\t\t0000:04:00.0\n"
                "                               \t\t     2.3.5\t\t0000:04:00.0\n"
                "                               \t\t     2.4.1\t\t0000:04:00.0\n"
                "\n");
}

TEST(CurrentReportBlock, VersionsOrderedAsNumbers) {
  EXPECT_EQ(current_report_block(adapter("2.9.1200", {"2.10.700", "2.9.1200"})),
            std::string(kHeader) +
                "      ROM       2.9.1200    ROM\t\t  2.9.1200\t\t0000:04:00.0\n"
                "                               \t\t  2.10.700\t\t0000:04:00.0\n"
                "\n");
}

TEST(CurrentReportBlock, NoImageGivesTheNothingRowAndAnEmptyName) {
  std::string block = current_report_block(adapter("16.26.1040", {}));
  EXPECT_EQ(block,
            " PCI-ID              \t\tNIC\n"
            "15B3-1017-15B3-0020 \t \n"
            "\n"
            "     (Installed)           (Available)\n"
            "     Image      Version      Image        Version     \t\tInterface\n"
            "------------------------------------------------------------------------\n"
            "      ROM       16.26.1040    ROM\t\tNothing\t\t\t0000:04:00.0\n"
            "\n");
}

TEST(CurrentReportBlock, VersionsWiderThanTheColumnAreNotCut) {
  std::string block = current_report_block(adapter("1.0.0", {"4294967295.1.1"}));
  EXPECT_NE(block.find("ROM\t\t4294967295.1.1\t\t0000:04:00.0\n"), std::string::npos) << block;
}

}  // namespace
