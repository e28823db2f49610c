// Tests of reading the flash version, the running version and the PSID out of the tool's report.
#include "inventory/fw_query.h"

#include <gtest/gtest.h>

namespace {

// The full report is read end to end (tests/e2e); these are its odd forms.
TEST(ParseFirmwareReport, Table) {
  struct Case {
    const char* what;
    std::string report;
    const char* version;  // "": not found
    const char* running;
    const char* psid;
  } cases[] = {
      {"label in other case, blanks before the colon", "  fw version :  2.3.0\n", "2.3.0", "", ""},
      {"running line first does not hide the flash line",
       "FW Version(Running):   2.36.5000\nFW Version:            2.42.5000\n", "2.42.5000",
       "2.36.5000", ""},
      {"an older tool's running line only", "FW Version(Running):   2.36.5000\nPSID:  MT_1\n", "2.36.5000", "",
       "MT_1"},
      {"a warning line with the labels' words",
       "-W- Not a Mellanox FW image (vendor_id = 0x1f1f). VSD and PSID are not displayed.\nPSID: MT_1\n", "", "",
       "MT_1"},
      {"running equal to flash is no reset", "FW Version: 16.35.2000\nFW Version(Running): 16.35.2000\n",
       "16.35.2000", "", ""},
      {"PSID, not Orig PSID", "Orig PSID:   MT_1\nPSID:\tMT_ 2 \r\n", "", "", "MT_2"},
      {"value cut to 49 characters", "PSID: " + std::string(60, 'A'), "", "",
       "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
      {"a label twice is no answer", "PSID:\nPSID: MT_5\nFW Version: 1.2.3\nfw version: 1.2.3\n", "", "", ""},
      {"version with text after it", "FW Version: 16.35.2000(beta)\n", "", "", ""},
      {"label inside a line", "Note: FW Version: 1.2.3\n", "", "", ""},
      {"version of two numbers", "FW Version: 16.35\n", "", "", ""},
      {"version of four numbers", "FW Version: 16.35.2000.1\n", "", "", ""},
      {"version number beyond 32 bits", "FW Version: 16.35.4294967296\n", "", "", ""},
      {"non-numeric flash line hides the running line",
       "FW Version: N/A\nFW Version(Running): 16.34.1002\n", "", "", ""},
  };
  for (const Case& c : cases) {
    const firmware_info info = parse_firmware_report(c.report);
    EXPECT_EQ(info.version, c.version) << c.what;
    EXPECT_EQ(info.version_rc, *c.version ? 0 : 1) << c.what;
    EXPECT_EQ(info.running, c.running) << c.what;
    EXPECT_EQ(info.psid, c.psid) << c.what;
    EXPECT_EQ(info.psid_rc, *c.psid ? 0 : 1) << c.what;
  }
}

// The board's identity (Base GUID, else Base MAC) in its odd forms; the usual ones are in the scenarios.
TEST(BoardIdentity, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"Orig Base GUID: 1111\nBase GUID:  FC4CEA0300F94230  4\n", "Base GUID fc4cea0300f94230"},
      {"Base GUID: 0000000000000000  4\nBase MAC:\t00:00:00:00:00:00\n", ""},
      {"Base GUID:\nBase MAC:   \nDescription: Base MAC: 1234\n", ""},
  };
  for (const auto& [report, board] : cases) EXPECT_EQ(board_identity(report), board) << report;
}

// Why an adapter was not read, in the tool's words: its first -E- line, else its last line.
TEST(ParseFirmwareReport, ReasonOfAnUnreadAdapter) {
  const std::pair<const char*, const char*> cases[] = {
      {"-W- slow\n  -E- Cannot open Device: ICMD bad parameter given\r\n-E- 2\n", "-E- Cannot open Device: ICMD bad parameter given"},
      {"FW Version: 1.2.3\nHW access is disabled on the device\n\n  \n", "HW access is disabled on the device"},
      {"no line end, \x1b[31mred", "no line end, ?[31mred"},
      {"\n \t\n", ""}, {"FW Version: 1.2.3\nPSID: MT_1\n-E- odd\n", ""},  // read: no reason
  };
  for (const auto& [output, reason] : cases) EXPECT_EQ(parse_firmware_report(output).reason, reason) << output;
  EXPECT_EQ(parse_firmware_report("-E- " + std::string(300, 'x')).reason.size(), kQueryReasonMax + 3);
}

}  // namespace
