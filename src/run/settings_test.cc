// The run's settings from the environment.
#include "run/settings.h"

#include <utility>

#include <gtest/gtest.h>

namespace {

// FWKIT_QUERY_JOBS, FWKIT_QUERY_TIMEOUT and FWKIT_BURN_JOBS: anything but a
// positive decimal integer means the default.
TEST(PositiveNumberOr, Table) {
  const std::pair<const char*, int> cases[] = {
      {"1", 1}, {"16", 16}, {"0300", 300}, {"2147483647", 2147483647}, {nullptr, 8}, {"", 8},
      {"0", 8}, {"-2", 8}, {"+2", 8}, {" 2", 8}, {"2s", 8}, {"1.5", 8}, {"0x10", 8},
      {"2147483648", 8}, {"99999999999999999999", 8}};
  for (const auto& [text, number] : cases) EXPECT_EQ(positive_number_or(text, 8), number) << (text ? text : "unset");
}

}  // namespace
