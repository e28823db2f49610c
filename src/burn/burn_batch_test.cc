// How many burns run side by side, and how the batch orders rows and boards.
#include "burn/burn_batch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inventory/nic_info.h"
#include "run/event_log.h"
#include "run/text_format.h"

namespace {

TEST(BurnJobs, TheBoardsCapIt) {
  EXPECT_EQ(burn_jobs(3, 8), 3);
  EXPECT_EQ(burn_jobs(8, 2), 2);
  EXPECT_EQ(burn_jobs(8, 0), 1);
}

}  // namespace

// The batch on a fake burn step: each row's image query is a sleep of its
// own length, its burn is `true`, and every step writes what it did.
class BurnBatch : public ::testing::Test {
 protected:
  struct recording_sink final : output_sink {
    std::string text;
    void console(const std::string& t) override { text += t; }
    void event(const char* tag, const std::string& t) override { text += tag + t; }
  };

  // `through[i]` is the row whose burn row i shares, or i when it burns its own flash.
  burn_rows rows(const std::vector<const char*>& sleeps, const std::vector<size_t>& through) {
    g_ninfo.assign(sleeps.size(), nic_info());
    burn_rows r;
    r.count = sleeps.size();
    r.plan = [this, sleeps, through](row_turn& turn) {
      turn.out->console("plan " + std::to_string(turn.row) + "\n");
      carried.push_back(*turn.carries_burn);
      if ((turn.through = through[turn.row]) != turn.row) return row_plan::shares;
      turn.job->nic = static_cast<uint32_t>(turn.row);
      turn.job->query_argv = {"sleep", sleeps[turn.row]};
      return row_plan::burn;
    };
    r.burned = [](size_t row, burn_outcome, output_sink& out) {
      out.event(kTagInfo, "burned " + std::to_string(row) + "\n");
    };
    r.shared = [](size_t row, size_t first, bool waited, output_sink& out) {
      out.console(strprintf("%zu shares %zu%s\n", row, first, waited ? ", waited" : ""));
    };
    r.steps.take_image_report = [](burn_job*, burn_outcome*, output_sink&) { return true; };
    r.steps.start = [](const burn_job&) {
      spawn_plan plan;
      plan.argv = {"true"};
      return spawn_child(plan);
    };
    r.steps.verify = [](burn_job*) { return false; };
    r.steps.judge = [this](burn_job& job, output_sink&) {
      judged.push_back(job.nic);
      return burn_outcome::success;
    };
    return r;
  }

  recording_sink out;
  std::vector<uint32_t> judged;            // in the order the burns ended
  std::vector<std::vector<bool>> carried;  // per plan: the rows that carried a burn before it
};

TEST_F(BurnBatch, RowsSideBySideWriteInTableOrder) {
  const burn_rows r = rows({"1", "0.5", "0"}, {0, 1, 2});
  EXPECT_EQ(run_burn_batch(r, 3, out), 0);
  EXPECT_EQ(judged, (std::vector<uint32_t>{2, 1, 0}));
  EXPECT_EQ(out.text, std::string("plan 0\n") + kTagInfo + "burned 0\nplan 1\n" + kTagInfo +
                          "burned 1\nplan 2\n" + kTagInfo + "burned 2\n");
}

TEST_F(BurnBatch, ABoardsOtherDevicesWaitForItsBurn) {
  // Row 1 is planned while row 0 burns; row 3 once row 2's burn is judged.
  const burn_rows r = rows({"0.8", "", "0", ""}, {0, 0, 2, 2});
  EXPECT_EQ(run_burn_batch(r, 2, out), 0);
  EXPECT_EQ(judged, (std::vector<uint32_t>{2, 0}));
  EXPECT_EQ(out.text, std::string("plan 0\n") + kTagInfo +
                          "burned 0\nplan 1\n1 shares 0, waited\n" + "plan 2\n" + kTagInfo +
                          "burned 2\nplan 3\n3 shares 2\n");
  ASSERT_EQ(carried.size(), 4u);
  EXPECT_EQ(carried[3], (std::vector<bool>{true, false, true, false}));
}
