// Finding the firmware tool's last percentage in its output.
#include "burn/burn_progress.h"

#include <gtest/gtest.h>

namespace {

TEST(LastPercentage, Table) {
  struct Case {
    const char* text;
    int percent;
  } cases[] = {
      {"", -1},           {"Burning FW image ... 0%\n", 0}, {"... 0%\n... 40%\n", 40},
      {"... 100%\nBurn complete", 100},  {"100%% done 7%", 7},  {"rate 250% 30%", 30},
      {"rate 250%", -1},  {"1234%", -1},  {"% no digits", -1},   {"50%, then 60 without sign", 50},
  };
  for (const Case& c : cases) EXPECT_EQ(last_percentage(c.text), c.percent) << c.text;
}

}  // namespace
