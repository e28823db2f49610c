// Tests of reading a failed burn's output: the refusals told apart and the reason kept.
#include "upgrade/burn_output.h"

#include <gtest/gtest.h>

namespace {

TEST(ReadBurnOutput, Table) {
  struct Case {
    std::string output;
    bool psid, pending;
    std::string reason;
  } cases[] = {
      {"Burning FW image ... 50%\n-E- Burning FS3 image failed: Flash write error\n", false, false,
       "-E- Burning FS3 image failed: Flash write error"},
      {"-E- Burning FS4 image failed: The firmware image was already updated on flash, pending "
       "reset.\n",
       false, true,
       "-E- Burning FS4 image failed: The firmware image was already updated on flash, pending "
       "reset."},
      {"  Burning 10%\r Burning 50%\r\nFailed to lock flash semaphore  \n\n \n", false, false,
       "Failed to lock flash semaphore"},
      {"-W- warning\n-E- Failed to open the device\n-E- second\n", false, false,
       "-E- Failed to open the device"},
      {"-E- Image minor PSID (0x0005) is RESERVED\n", true, false,
       "-E- Image minor PSID (0x0005) is RESERVED"},
      {"-E- psid HEADER mismatch\nNew FW NOT LOADED BY THE DEVICE\n", true, true,
       "-E- psid HEADER mismatch"},
      {"is reserved: image minor PSID\nPSID  mismatch\n", false, false, "PSID  mismatch"},
      {"-E- \x1b[2Jbad\x01", false, false, "-E- ?[2Jbad?"},
      {std::string(200, 'x'), false, false, std::string(160, 'x') + "..."},
      {"", false, false, ""},
  };
  for (const Case& c : cases) {
    const burn_verdict v = read_burn_output(c.output);
    EXPECT_EQ(v.psid_refusal, c.psid) << c.output;
    EXPECT_EQ(v.reset_pending, c.pending) << c.output;
    EXPECT_EQ(v.reason, c.reason) << c.output;
  }
}

}  // namespace
