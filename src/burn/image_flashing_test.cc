// The MAC form of the log and the rule for image file names.
#include "burn/image_flashing.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatMac, Table) {
  struct Case {
    const char *mac, *formatted;
  } cases[] = {
      {"00:02:c9:aa:bb:cc", "0002c9aabbcc"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(format_mac(c.mac), c.formatted) << c.mac;
}

TEST(IsSafeImageName, OnlyPlainFileNames) {
  for (const std::string name : {"CX5_16.28.2006.bin", "fw..bin", ".hidden.bin"})
    EXPECT_TRUE(is_safe_image_name(name)) << name;
  for (const std::string name : {"", ".", "..", "../../etc/passwd", "/abs.bin", "sub/dir.bin"})
    EXPECT_FALSE(is_safe_image_name(name)) << name;
  EXPECT_FALSE(is_safe_image_name(std::string("a\0b", 3)));
}

}  // namespace
