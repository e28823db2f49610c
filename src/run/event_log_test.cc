// Tests of the event line format and of appending to the log.
#include "run/event_log.h"

#include <gtest/gtest.h>

namespace {

TEST(EventLog, LineFormat) {
  EXPECT_EQ(format_event_line(kTagInfo, "Sun Dec  6 07:16:48 2026", "MAC  Upgrade SUCCESS\n"),
            "[INFO]      [Sun Dec  6 07:16:48 2026] MAC  Upgrade SUCCESS\n\n");
  // A '%' in the text is written as it stands.
  EXPECT_EQ(format_event_line(kTagError, "t", "100%s done"), "[ERROR]     [t] 100%s done\n");
}

}  // namespace
