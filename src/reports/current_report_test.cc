// Tests of the current firmware report's block of one adapter.
#include "reports/current_report.h"

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "inventory/fw_query.h"

namespace {

TEST(CurrentReportBlock, InstalledBesideAvailableLowestFirstAndAPendingReset) {
  nic_info nic;
  std::tie(nic.ven_id, nic.dev_id, nic.sub_ven_id, nic.sub_dev_id) = std::tuple(0x15b3, 0x1017, 0x15b3, 7);
  nic.pinterfacename = "0000:04:00.0";
  const auto head = [](const char* name) {
    return std::string(" PCI-ID              \t\tNIC\n15B3-1017-15B3-0007 \t") + name + " \n\n" +
           "     (Installed)           (Available)\n"
           "     Image      Version      Image        Version     \t\tInterface\n" +
           std::string(72, '-') + "\n";
  };
  EXPECT_EQ(current_report_block(nic), head("") + "      ROM       0.0.0    ROM\t\tNothing\t\t\t0000:04:00.0\n\n");

  add_image(nic, parse_fw_version("16.28.2006"), "ConnectX-5", "b.bin");
  add_image(nic, parse_fw_version("16.9.1"), "ConnectX-5", "a.bin");
  take_firmware_answer(&nic, {0, "16.28.2006", "16.27.2008", 0, "MT_1", "", ""});
  EXPECT_EQ(current_report_block(nic), head("ConnectX-5") +
                                           "      ROM       16.28.2006    ROM\t\t    16.9.1\t\t0000:04:00.0\n"
                                           "                               \t\t16.28.2006\t\t0000:04:00.0\n"
                                           "reset pending: running 16.27.2008\n\n");
}

}  // namespace
