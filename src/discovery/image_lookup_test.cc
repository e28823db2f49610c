// Tests of reading getmlnxinfo's answer.
#include "discovery/image_lookup.h"

#include <gtest/gtest.h>

namespace {

TEST(MlnxAnswer, LineAndFields) {
  struct Case {
    std::string output;
    bool no_image;
    const char* server;
    const char* image;
  } cases[] = {
      {"srv01#Tamarix_A.bin\n", false, "srv01", "Tamarix_A.bin"},
      {"srv01#Tamarix_A.bin\r\n", false, "srv01", "Tamarix_A.bin"},
      {"srv01#Tamarix_A.bin", false, "srv01", "Tamarix_A.bin"},  // no line end: nothing cut
      {"0\n", true, "", ""},
      {"0#x.bin\n", true, "", ""},
      {"srv#one.bin#three\n", false, "srv", "one.bin"},  // the third field is ignored
      {"##srv###two.bin##\n", false, "srv", "two.bin"},  // runs of '#' are one separator
      {"srv#my image.bin\n", false, "srv", "my"},        // cut at the blank
      {"  srv#img.bin more\n", false, "  srv", "img.bin"},  // leading blanks stay
      {"srv#img.bin\nsecond#line.bin\n", false, "srv", "img.bin"},
      {"srv\n", false, "srv\n", ""},  // one field: no image name
      {"", false, "", ""},
      {"\n", false, "\n", ""},
      {"srv#../../etc/passwd\n", false, "srv", "../../etc/passwd"},  // refused by the burn
      {std::string("srv#a.bin\0b.bin\n", 16), false, "srv", "a.bin"},
  };
  for (const Case& c : cases) {
    const mlnx_answer answer = parse_mlnx_answer(mlnx_answer_line(c.output));
    EXPECT_EQ(answer.no_image, c.no_image) << c.output;
    if (c.no_image) continue;
    EXPECT_EQ(answer.server, c.server) << c.output;
    EXPECT_EQ(answer.image, c.image) << c.output;
  }
}

TEST(MlnxAnswer, LineIsAtMost4095Characters) {
  const std::string output = "srv#" + std::string(5000, 'x') + "\n";
  const std::string line = mlnx_answer_line(output);
  EXPECT_EQ(line.size(), 4095u);
  EXPECT_EQ(parse_mlnx_answer(line).image, std::string(4091, 'x'));
}

}  // namespace
