// How many burns run side by side: FWKIT_BURN_JOBS, capped by the boards to burn.
#include "upgrade/burn_batch.h"

#include <gtest/gtest.h>

namespace {

TEST(BurnJobs, TheBoardsCapIt) {
  EXPECT_EQ(burn_jobs(3, 8), 3);
  EXPECT_EQ(burn_jobs(8, 2), 2);
  EXPECT_EQ(burn_jobs(8, 0), 1);
}

}  // namespace
