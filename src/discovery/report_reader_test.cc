// Tests of reading hexadecimal identifiers from a discovery report.
#include "discovery/report_reader.h"

#include <gtest/gtest.h>

namespace {

TEST(Axtoi, Table) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {
      {"15B3", 0x15B3}, {"15b3", 0x15B3}, {"15B3XYZ", 0x15B3}, {"15B3A", 0x15B3},
      {"0x15B3", 0},    {"", 0},          {"0050", 0x50},      {"50", 0x50},
      {"FFFF", 0xFFFF}, {"g1", 0},        {"1g", 1},           {":", 10},
      {"?", 15},        {"*+,-", 0xABCD}, {" 15B3", 0},        {"\xC3\xA9", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(axtoi(c.text), c.value) << c.text;
}

}  // namespace
