// Tests of version parsing, comparison and ordering.
#include "repository/fw_version.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseVersions, Table) {
  struct Case {
    const char* text;
    uint32_t major, minor, release;
  } cases[] = {
      {"2.42.5000", 2, 42, 5000},
      {"2.42", 2, 42, 0},
      {"", 0, 0, 0},
      {"2.42.5000.7", 2, 42, 5000},
      {"2..5", 2, 0, 5},
      {"2.4x.1", 2, 4, 1},
      {"16.28.1002\n", 16, 28, 1002},
      {" 14.32.1010", 14, 32, 1010},
      {"2.12345.123456", 2, 12345, 123456},          // whole fields, no 3/4-digit cut
      {"99999999999.1.1", 4294967295u, 1, 1},        // saturates
      {"-1.2.3", 0, 2, 3},
      {"abc", 0, 0, 0},
  };
  for (const Case& c : cases) {
    fw_version v = parse_fw_version(c.text);
    EXPECT_EQ(v.major, c.major) << c.text;
    EXPECT_EQ(v.minor, c.minor) << c.text;
    EXPECT_EQ(v.release, c.release) << c.text;
  }
}

std::vector<std::string> sorted(std::vector<const char*> texts) {
  std::vector<fw_version> versions;
  for (const char* text : texts) versions.push_back(parse_fw_version(text));
  sort_fw(&versions);
  std::vector<std::string> out;
  for (const fw_version& v : versions) out.push_back(version_text(v));
  return out;
}

TEST(SortFw, NumericallyHighestLastAndNewerByNumbers) {
  using V = std::vector<std::string>;
  EXPECT_EQ(sorted({"2.10.700", "2.9.1200"}), (V{"2.9.1200", "2.10.700"}));
  EXPECT_EQ(sorted({"2.4.1", "2.3.0", "2.3.5"}), (V{"2.3.0", "2.3.5", "2.4.1"}));
  EXPECT_EQ(sorted({"2.1.0", "2.10.0", "21.0.0", "1.0.0"}),
            (V{"1.0.0", "2.1.0", "2.10.0", "21.0.0"}));
  EXPECT_TRUE(same_version(parse_fw_version("2.42.5000"), parse_fw_version("2.42.5000")));
}

}  // namespace
