// Tests of reading a failed burn's output; the tool's usual wordings are seen in the scenarios.
#include "burn/burn_output.h"

#include <gtest/gtest.h>

namespace {

TEST(ReadBurnOutput, Table) {
  struct Case {
    std::string output;
    bool psid, pending;
    std::string reason;
  } cases[] = {
      {"  Burning 10%\r Burning 50%\r\nno luck  \n\n \n", false, false, "no luck"},
      {"-W- w\n-E- psid HEADER mismatch\n-E- NOT LOADED BY THE DEVICE\n", true, true,
       "-E- psid HEADER mismatch"},
      {"is reserved: image minor PSID\nPSID  mismatch\n", false, false, "PSID  mismatch"},
      {"-E- \x1b[2Jbad\x01", false, false, "-E- ?[2Jbad?"},
      {std::string(200, 'x'), false, false, std::string(160, 'x') + "..."},
      {"", false, false, ""},
  };
  for (const Case& c : cases) {
    const burn_verdict v = read_burn_output(c.output);
    EXPECT_EQ(std::tie(v.psid_refusal, v.reset_pending, v.reason),
              std::tie(c.psid, c.pending, c.reason)) << c.output;
  }
}

}  // namespace
