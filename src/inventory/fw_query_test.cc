// Tests of cutting the running version and the PSID out of the firmware tool's report.
#include "inventory/fw_query.h"

#include <gtest/gtest.h>

namespace {

// The query report's usual form is read end to end (tests/e2e); these are its odd forms.
TEST(CutFirmwareValue, Table) {
  struct Case {
    const char* what;
    std::string output;
    const char* label;
    const char* value;  // null: no value, result 1
  } cases[] = {
      {"label in other case", "fw version:  2.3.0\n", "FW Version", "2.3.0"},
      {"blanks inside the value", "PSID:  MT_ 0000 8 \n", "PSID", "MT_00008"},
      {"tab after the separator stays", "PSID:\tMT_1\n", "PSID", "\tMT_1"},
      {"last line without newline keeps its last character", "FW Version: 1.22.333", "FW Version",
       "1.22.333"},
      {"CR LF line end", "PSID: MT_2\r\n", "PSID", "MT_2"},
      {"value cut to 49 characters", "PSID: " + std::string(60, 'A') + "\n", "PSID",
       "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
      {"label not at the start is cut at the fixed column", "  PSID: MT_3\n", "PSID", "D:MT_3"},
      {"label first in an unrelated line wins", "Note: PSID check skipped\nPSID: MT_4\n", "PSID",
       "PSIDcheckskipped"},
      {"no label", "Device: 0000:04:00.0\n", "PSID", nullptr},
      {"no output", "", "FW Version", nullptr},
      {"nothing after the column", "PSID:\n", "PSID", nullptr},
      {"only blanks after the column", "PSID:      \n", "PSID", nullptr},
      {"line shorter than the column", "PSID\n", "PSID", nullptr},
      {"empty value stops the search", "PSID:\nPSID: MT_5\n", "PSID", nullptr},
      {"text after a NUL is not part of the line", std::string("PSID: MT_6\0XY\n", 14), "PSID",
       "MT_6"},
      {"label only after a NUL is not seen", std::string("xx\0PSID: MT_7\n", 14), "PSID", nullptr},
      // A line longer than 499 characters comes in pieces: the label at column 600 starts the second
      // piece at its column 101, so the value is cut from column 5 of that piece.
      {"label in the second piece of a long line", std::string(499, 'x') + std::string(101, 'y') + "PSID: MT_8\n",
       "PSID", "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"},
      {"label that ends the first piece", std::string(495, 'x') + "PSID: MT_9\n", "PSID",
       "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
      {"label split across two pieces", std::string(496, 'x') + "PSID: MT_9\n", "PSID", nullptr},
  };
  for (const Case& c : cases) {
    std::string value = "untouched";
    int rc = cut_firmware_value(c.output, c.label, &value);
    EXPECT_EQ(rc, c.value ? 0 : 1) << c.what;
    EXPECT_EQ(value, c.value ? c.value : "untouched") << c.what;
  }
}

// FWKIT_QUERY_JOBS and FWKIT_QUERY_TIMEOUT: anything but a positive decimal integer means the default.
TEST(PositiveNumberOr, Table) {
  const std::pair<const char*, int> cases[] = {
      {"1", 1}, {"16", 16}, {"0300", 300}, {"2147483647", 2147483647}, {nullptr, 8}, {"", 8},
      {"0", 8}, {"-2", 8}, {"+2", 8}, {" 2", 8}, {"2s", 8}, {"1.5", 8}, {"0x10", 8},
      {"2147483648", 8}, {"99999999999999999999", 8}};
  for (const auto& [text, number] : cases) EXPECT_EQ(positive_number_or(text, 8), number) << (text ? text : "unset");
}

}  // namespace
