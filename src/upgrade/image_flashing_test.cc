// Tests of the MAC form, the image-name rule and the choice of the image to burn.
#include "upgrade/image_flashing.h"

#include <gtest/gtest.h>

#include "inventory/nic_info.h"
#include "run/run_state.h"

namespace {

TEST(FormatMac, Table) {
  struct Case {
    const char* mac;
    const char* formatted;
  } cases[] = {
      {"00:02:c9:aa:bb:cc", "0002c9aabbcc"},
      {"00-02-C9-AA-BB-CC", "0002C9AABBCC"},   // separators are not examined
      {"00:02:c9:aa:bb:cc:dd", "0002c9aabbcc"},  // only the first 17 characters count
      {"", ""},
      {"0002c9aabbcc", "0002c9aabbcc"},        // not the 17-character form: kept
      {"00:02", "00:02"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_mac(c.mac), c.formatted) << c.mac;
}

TEST(IsSafeImageName, Table) {
  struct Case {
    std::string name;
    bool safe;
  } cases[] = {
      {"CX5_EN_25G_2P_16.28.2006.bin", true},
      {"fw..bin", true},
      {".hidden.bin", true},
      {"", false},
      {".", false},
      {"..", false},
      {"n/a", false},
      {"../../etc/passwd", false},
      {"/abs.bin", false},
      {"sub/dir.bin", false},
      {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_safe_image_name(c.name), c.safe) << c.name;
}

// A version list whose highest entry matches none of the adapter's images
// burns nothing and records no outcome.
TEST(DoUpdateFirmware, HighestListedVersionWithoutImageBurnsNothing) {
  g_ninfo.assign(1, nic_info{});
  nic_info& nic = g_ninfo[0];
  nic.pbus_info = "0000:04:00.0";
  nic.flags = kNicRecognised | kNicToFlash;
  nic.fw_count = 2;
  nic.uFwROMmaj = {16, 16};
  nic.uFwROMmin = {27, 28};
  nic.uFwROMrel = {2008, 2006};
  nic.pxmlFwImage = {"a.bin", "b.bin"};
  fw_number.assign(1, -1);
  ver_buf = {"16.27.2008", "16.29.1"};
  read_discovery = 0;
  g_iFlag = 0;

  testing::internal::CaptureStdout();
  EXPECT_EQ(do_update_firmware(0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "You have not entered the right Index for firmware version ....................\n");
  EXPECT_EQ(g_iFlag & (kStatusBurnFailed | kStatusBurnOk | kStatusPatienceLogged), 0);
  EXPECT_EQ(fw_number[0], -1);
  g_ninfo.clear();
  fw_number.clear();
  ver_buf.clear();
}

}  // namespace
