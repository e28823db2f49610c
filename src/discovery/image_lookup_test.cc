// Tests of reading getmlnxinfo's answer.
#include "discovery/image_lookup.h"

#include <gtest/gtest.h>

namespace {

TEST(MlnxAnswer, LineAndFields) {
  struct Case {
    std::string output;
    bool no_image;
    std::string server;
    std::string image;
  } cases[] = {
      {"srv01#Tamarix_A.bin\n", false, "srv01", "Tamarix_A.bin"},
      {"0\n", true, "", ""},
      {"0#x.bin\n", true, "", ""},
      {"##srv###two.bin##three\n", false, "srv", "two.bin"},  // runs of '#' are one separator
      {"srv#my image.bin\n", false, "srv", "my"},             // cut at the blank
      {"  srv#img.bin more\n", false, "  srv", "img.bin"},    // leading blanks stay
      {"srv#img.bin\nsecond#line.bin\n", false, "srv", "img.bin"},
      {"srv\n", false, "srv\n", ""},  // one field: no image name
      {"", false, "", ""},
      {"srv#" + std::string(5000, 'x') + "\n", false, "srv", std::string(4091, 'x')},  // 4095 kept
  };
  for (const Case& c : cases) {
    const mlnx_answer answer = parse_mlnx_answer(mlnx_answer_line(c.output));
    EXPECT_EQ(answer.no_image, c.no_image) << c.output;
    EXPECT_EQ(answer.server, c.server) << c.output;
    EXPECT_EQ(answer.image, c.image) << c.output;
  }
}

}  // namespace
