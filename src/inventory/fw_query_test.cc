// Tests of cutting the running version and the PSID out of the firmware tool's report.
#include "inventory/fw_query.h"

#include <gtest/gtest.h>

namespace {

const char* const kReport =
    "Device:               0000:04:00.0\n"
    "Device ID:            0x1017\n"
    "Image type:           FS4\n"
    "FW Version:           16.26.1040\n"
    "Release date:         n/a\n"
    "PSID:                 MT_0000000008\n"
    "Security:             n/a\n";

TEST(CutFirmwareValue, Table) {
  struct Case {
    const char* what;
    std::string output;
    const char* label;
    const char* value;  // null: no value, result 1
  } cases[] = {
      {"version of a report", kReport, "FW Version", "16.26.1040"},
      {"PSID of a report", kReport, "PSID", "MT_0000000008"},
      {"label in other case", "fw version:  2.3.0\n", "FW Version", "2.3.0"},
      {"blanks inside the value", "PSID:  MT_ 0000 8 \n", "PSID", "MT_00008"},
      {"tab after the separator stays", "PSID:\tMT_1\n", "PSID", "\tMT_1"},
      {"last line without newline keeps its last character", "FW Version: 1.22.333", "FW Version",
       "1.22.333"},
      {"CR LF line end", "PSID: MT_2\r\n", "PSID", "MT_2"},
      {"value cut to 49 characters", "PSID: " + std::string(60, 'A') + "\n", "PSID",
       "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
      {"49 characters then the newline", "PSID: " + std::string(49, 'B') + "\n", "PSID",
       "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB"},
      {"label not at the start is cut at the fixed column", "  PSID: MT_3\n", "PSID", "D:MT_3"},
      {"label first in an unrelated line wins", "Note: PSID check skipped\nPSID: MT_4\n", "PSID",
       "PSIDcheckskipped"},
      {"no label", "Device: 0000:04:00.0\n", "PSID", nullptr},
      {"no output", "", "FW Version", nullptr},
      {"shell error of a missing tool", "sh: 1: ./nic_fw/mstflint: not found\n", "FW Version", nullptr},
      {"nothing after the column", "PSID:\n", "PSID", nullptr},
      {"only blanks after the column", "PSID:      \n", "PSID", nullptr},
      {"line shorter than the column", "PSID\n", "PSID", nullptr},
      {"empty value stops the search", "PSID:\nPSID: MT_5\n", "PSID", nullptr},
      {"text after a NUL is not part of the line", std::string("PSID: MT_6\0XY\n", 14), "PSID",
       "MT_6"},
      {"label only after a NUL is not seen", std::string("xx\0PSID: MT_7\n", 14), "PSID", nullptr},
  };
  for (const Case& c : cases) {
    std::string value = "untouched";
    int rc = cut_firmware_value(c.output, c.label, &value);
    if (c.value) {
      EXPECT_EQ(rc, 0) << c.what;
      EXPECT_EQ(value, c.value) << c.what;
    } else {
      EXPECT_EQ(rc, 1) << c.what;
      EXPECT_EQ(value, "untouched") << c.what;
    }
  }
}

TEST(CutFirmwareValue, LongLinesArriveInPiecesOf499) {
  // The label sits at column 600 of one long line: it starts the second
  // piece at column 101, so the value is cut from column 5 of that piece.
  std::string line = std::string(499, 'x') + std::string(101, 'y') + "PSID: MT_8\n";
  std::string value;
  ASSERT_EQ(cut_firmware_value(line, "PSID", &value), 0);
  EXPECT_EQ(value, std::string(49, 'y'));

  // A label split across the piece boundary is found in neither piece.
  std::string split = std::string(497, 'x') + "PSID: MT_9\n";
  EXPECT_EQ(cut_firmware_value(split, "PSID", &value), 1);
}

}  // namespace
