// How many burns run side by side, from FWKIT_BURN_JOBS.
#include "burn/burn_batch.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

TEST(BurnJobs, BadValuesCountAsUnsetAndTheBoardsCapIt) {
  struct Case {
    const char* value;
    int boards, jobs;
  } cases[] = {{nullptr, 8, 1}, {"0", 8, 1}, {"-1", 8, 1}, {"4x", 8, 1}, {"99999999999", 8, 1},
               {"", 8, 1},      {"3", 8, 3}, {"8", 2, 2},  {"8", 0, 1}};
  for (const Case& c : cases) {
    if (c.value) {
      setenv("FWKIT_BURN_JOBS", c.value, 1);
    } else {
      unsetenv("FWKIT_BURN_JOBS");
    }
    EXPECT_EQ(burn_jobs_from_environment(c.boards), c.jobs) << (c.value ? c.value : "unset");
  }
  unsetenv("FWKIT_BURN_JOBS");
}

}  // namespace
