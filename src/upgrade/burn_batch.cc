// The burn batch: rows planned in table order, burns side by side, output held until its turn.
#include "upgrade/burn_batch.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "run/held_output.h"
#include "run/process_set.h"
#include "run/signal_guard.h"
#include "upgrade/burn_progress.h"

namespace {

// Where a row stands.
struct row_state {
  bool planned = false;
  bool burning = false;
  bool at_turn = false;
  held_output held;  // what it wrote while an earlier row was not out
  std::unique_ptr<burn_job> job;
};

class batch {
 public:
  batch(const burn_rows& rows, size_t jobs)
      : rows_(rows), jobs_(jobs), state_(rows.count), progress_(burn_progress_shown(), jobs > 1) {}

  int run() {
    while (true) {
      while (!stopped_ && signal_ == 0 && next_ < rows_.count && running_.size() < jobs_)
        plan(next_++);
      if (running_.empty()) {
        end_guard();
        if (stopped_ || signal_ != 0 || next_ >= rows_.count) break;
        continue;
      }
      const std::vector<size_t> done = set_->wait([this] { tick(); });
      for (size_t row : done) judge(row);
      if (guard_ && guard_->received() != 0) signal_ = guard_->received();
    }
    write_out_front();
    progress_.erase();
    return signal_;
  }

 private:
  // The row's writes go out when every earlier row is out, else they wait.
  void hold_for(size_t row) {
    progress_.erase();
    hold_output(row == front_ ? nullptr : &state_[row].held);
  }

  void plan(size_t row) {
    row_state& state = state_[row];
    state.job = std::make_unique<burn_job>();
    hold_for(row);
    const row_plan plan = rows_.plan(row, state.job.get());
    hold_output(nullptr);
    state.planned = true;
    state.at_turn = plan == row_plan::at_turn;
    stopped_ = plan == row_plan::stop;
    if (plan == row_plan::burn) start(row);
    write_out_front();
  }

  void start(size_t row) {
    burn_job& job = *state_[row].job;
    if (!guard_) {
      // From the first burn on, a burn is seen through: a signal is noted and
      // answered once every running burn is judged.
      guard_.emplace(signal_guard::policy::defer);
      set_.emplace(*guard_);
    }
    child_handle child = start_burn(job);
    job.result.error = child.error;
    if (child.pid < 0) {
      hold_for(row);
      finish(row);
      return;
    }
    job.result.started = child.error == 0;
    progress_.add(row, g_ninfo[job.nic].pbus_info, job.tool_output.path());
    set_->add(row, std::move(child), &job.result, nullptr, 0);  // a burn is never timed out
    state_[row].burning = true;
    running_.push_back(row);
    ++started_;
    tick();
  }

  void judge(size_t row) {
    progress_.remove(row);
    std::erase(running_, row);
    hold_for(row);
    finish(row);
    state_[row].burning = false;
    write_out_front();
  }

  // Judges the row's burn with its output held as planned, then lets it go.
  void finish(size_t row) {
    const burn_outcome outcome = judge_burn(*state_[row].job);
    if (rows_.burned) rows_.burned(row, outcome);
    hold_output(nullptr);
    state_[row].job.reset();
  }

  // Writes out the rows whose turn has come: the first row not yet out
  // writes straight from then on.
  void write_out_front() {
    while (front_ < rows_.count && state_[front_].planned) {
      row_state& state = state_[front_];
      progress_.erase();
      state.held.write_out();
      if (state.burning) break;
      if (state.at_turn) {
        state.at_turn = false;
        rows_.at_turn(front_);
      }
      ++front_;
    }
  }

  void tick() { progress_.tick(started_, burns_planned); }

  void end_guard() {
    if (guard_ && guard_->received() != 0) signal_ = guard_->received();
    set_.reset();
    guard_.reset();
  }

  const burn_rows& rows_;
  const size_t jobs_;
  std::vector<row_state> state_;
  burn_progress progress_;
  std::optional<signal_guard> guard_;
  std::optional<process_set> set_;
  std::vector<size_t> running_;
  size_t next_ = 0;   // the next row to plan
  size_t front_ = 0;  // the first row not yet out
  int started_ = 0;
  bool stopped_ = false;
  int signal_ = 0;
};

}  // namespace

int run_burn_batch(const burn_rows& rows, int jobs) {
  return batch(rows, static_cast<size_t>(std::max(jobs, 1))).run();
}

int burn_jobs_from_environment(int boards) {
  return std::clamp(positive_number_or(std::getenv("FWKIT_BURN_JOBS"), 1), 1, std::max(boards, 1));
}

burn_outcome do_update_firmware(uint32_t uNicIdx, image_check check) {
  burn_outcome outcome = burn_outcome::none;
  burn_rows one;
  one.count = 1;
  one.plan = [&](size_t, burn_job* job) {
    return prepare_burn(uNicIdx, check, job, &outcome) ? row_plan::burn : row_plan::done;
  };
  one.burned = [&](size_t, burn_outcome judged) { outcome = judged; };
  run_burn_batch(one, 1);
  return outcome;
}
