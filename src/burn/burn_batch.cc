// The burn batch: rows planned in table order, burns side by side, output held until its turn.
#include "burn/burn_batch.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "burn/burn_progress.h"
#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "run/output_sink.h"
#include "run/process_set.h"
#include "run/signal_guard.h"
#include "run/spawn.h"

namespace {

// Where a row stands.
enum class phase {
  waiting,    // not planned, or planned with nothing running
  image,      // its image is being queried
  burning,
  verifying,  // its adapter is being queried after the burn
};

struct row_state {
  bool planned = false;
  bool sharing = false;  // waits for its turn to take the outcome of `through`'s burn
  size_t through = 0;
  phase now = phase::waiting;
  held_output held;  // what it wrote while an earlier row was not out
  std::unique_ptr<burn_job> job;
};

class batch {
 public:
  batch(const burn_rows& rows, size_t jobs, output_sink& out)
      : rows_(rows),
        jobs_(jobs),
        out_(out),
        state_(rows.count),
        carries_burn_(rows.count, false),
        progress_(burn_progress_shown(), jobs > 1) {}

  int run() {
    while (true) {
      while (!stopped_ && signal_ == 0 && ending_ == 0 && next_ < rows_.count &&
             running_.size() < jobs_)
        plan(next_++);
      if (running_.empty()) {
        fit_guard();
        if (stopped_ || signal_ != 0 || ending_ != 0 || next_ >= rows_.count) break;
        continue;
      }
      const std::vector<size_t> done = set_->wait([this] { tick(); });
      note_signal();
      for (size_t row : done) step(row);
      fit_guard();
    }
    write_out_front();
    progress_.erase();
    // A signal while only image queries ran ends the run as it ends a query.
    if (ending_ != 0) end_by_signal(ending_);
    return signal_;
  }

 private:
  // Where the row writes: straight out when every earlier row is out, else
  // into its holder.
  output_sink& sink_for(size_t row) {
    progress_.erase();
    return row == front_ ? out_ : state_[row].held;
  }

  void plan(size_t row) {
    row_state& state = state_[row];
    state.job = std::make_unique<burn_job>();
    row_turn turn{row, state.job.get(), &sink_for(row), &carries_burn_, 0};
    const row_plan plan = rows_.plan(turn);
    state.planned = true;
    carries_burn_[row] = plan == row_plan::burn || plan == row_plan::refused;
    stopped_ = plan == row_plan::stop;
    if (plan == row_plan::shares) share(row, turn.through);
    if (plan == row_plan::burn) {
      running_.push_back(row);
      query(row, phase::image);
    }
    write_out_front();
  }

  // A row whose flash is burned through an earlier row's: told at once when
  // that burn is judged, else once its turn comes.
  void share(size_t row, size_t through) {
    if (std::find(running_.begin(), running_.end(), through) == running_.end()) {
      if (rows_.shared) rows_.shared(row, through, false, sink_for(row));
      return;
    }
    state_[row].sharing = true;
    state_[row].through = through;
  }

  // The guard of the moment: while a burn runs (or its adapter is queried
  // after it) signals wait for the burns to be judged; while only an image
  // query runs in a one-at-a-time run, a signal ends it and then the run, as
  // it ends any query. Side by side, every child is waited for.
  void fit_guard() {
    bool burns = jobs_ > 1;
    for (size_t row : running_) burns |= state_[row].now != phase::image;
    if (running_.empty()) {
      note_signal();
      set_.reset();
      guard_.reset();
      return;
    }
    const auto policy = burns ? signal_guard::policy::defer : signal_guard::policy::stop;
    if (guard_ && guard_->how() == policy) return;
    note_signal();
    if (!set_) {
      guard_.emplace(policy);
      set_.emplace(*guard_);
      return;
    }
    // Swapped in two steps: a signal between them takes its default course,
    // as between two burns of a one-at-a-time run.
    guard_.reset();
    guard_.emplace(policy);
    set_->watch(*guard_);
  }

  void note_signal() {
    if (!guard_ || guard_->received() == 0) return;
    if (guard_->how() == signal_guard::policy::stop) {
      ending_ = guard_->received();
    } else {
      signal_ = guard_->received();
    }
  }

  // Starts the row's query of the moment (the image's, or the adapter's after
  // its burn), bounded as every query, beside whatever else runs.
  void query(size_t row, phase next) {
    burn_job& job = *state_[row].job;
    state_[row].now = next;
    fit_guard();
    spawn_plan plan;
    plan.argv = job.query_argv;
    plan.capture = true;
    plan.own_process_group = true;
    child_handle child = spawn_child(plan);
    job.query.error = child.error;
    if (child.pid < 0) return step(row);
    job.query.started = child.error == 0;
    job.query_overlapped = set_->size() > 0;
    for (size_t other : running_) {
      if (other != row && state_[other].now != phase::burning)
        state_[other].job->query_overlapped = true;
    }
    set_->add(row, std::move(child), &job.query, &job.report, job.limits.seconds);
  }

  void start_burn_of(size_t row) {
    burn_job& job = *state_[row].job;
    state_[row].now = phase::burning;
    fit_guard();  // from here on the burn is seen through
    if (ending_ != 0) return done(row);  // unless a signal came first
    child_handle child = rows_.steps.start(job);
    job.result.error = child.error;
    if (child.pid < 0) return step(row);
    job.result.started = child.error == 0;
    progress_.add(row, g_ninfo[job.nic].pbus_info, job.tool_output.path());
    set_->add(row, std::move(child), &job.result, nullptr, 0);  // a burn is never timed out
    ++started_;
    tick();
  }

  // The row's child ended: its next step.
  void step(size_t row) {
    row_state& state = state_[row];
    note_signal();  // one noted while an earlier row was judged starts no burn
    if (ending_ != 0) return done(row);  // the run ends by the signal: nothing more is judged
    if (state.now == phase::image) {
      burn_outcome outcome;
      output_sink& out = sink_for(row);
      const bool ready = rows_.steps.take_image_report(state.job.get(), &outcome, out);
      if (!ready || signal_ != 0) {
        if (rows_.burned) rows_.burned(row, ready ? burn_outcome::none : outcome, out);
        return done(row);
      }
      return start_burn_of(row);
    }
    if (state.now == phase::burning) {
      progress_.remove(row);
      if (rows_.steps.verify(state.job.get())) return query(row, phase::verifying);
    }
    output_sink& out = sink_for(row);
    const burn_outcome outcome = rows_.steps.judge(*state.job, out);
    if (rows_.burned) rows_.burned(row, outcome, out);
    done(row);
  }

  void done(size_t row) {
    state_[row].now = phase::waiting;
    state_[row].job.reset();
    std::erase(running_, row);
    write_out_front();
  }

  // Writes out the rows whose turn has come: the first row not yet out
  // writes straight from then on.
  void write_out_front() {
    while (front_ < rows_.count && state_[front_].planned) {
      row_state& state = state_[front_];
      progress_.erase();
      state.held.write_out(out_);
      if (state.now != phase::waiting) break;
      if (state.sharing) {
        state.sharing = false;
        if (rows_.shared) rows_.shared(front_, state.through, true, out_);
      }
      ++front_;
    }
  }

  void tick() { progress_.tick(started_, burns_planned); }

  const burn_rows& rows_;
  const size_t jobs_;
  output_sink& out_;
  std::vector<row_state> state_;
  std::vector<bool> carries_burn_;
  burn_progress progress_;
  std::optional<signal_guard> guard_;
  std::optional<process_set> set_;
  std::vector<size_t> running_;  // rows with a child running
  size_t next_ = 0;   // the next row to plan
  size_t front_ = 0;  // the first row not yet out
  int started_ = 0;
  bool stopped_ = false;
  int signal_ = 0;  // noted while burns ran: no further row is planned
  int ending_ = 0;  // noted while only queries ran: the run ends by it
};

}  // namespace

int run_burn_batch(const burn_rows& rows, int jobs, output_sink& out) {
  return batch(rows, static_cast<size_t>(std::max(jobs, 1)), out).run();
}

int burn_jobs(int wanted, int boards) {
  return std::clamp(wanted, 1, std::max(boards, 1));
}

burn_outcome do_update_firmware(uint32_t uNicIdx, image_check check) {
  burn_outcome outcome = burn_outcome::none;
  burn_rows one;
  one.count = 1;
  one.plan = [&](row_turn& turn) {
    return prepare_burn(uNicIdx, check, turn.job, &outcome, *turn.out) ? row_plan::burn
                                                                       : row_plan::done;
  };
  one.burned = [&](size_t, burn_outcome judged, output_sink&) { outcome = judged; };
  run_burn_batch(one, 1, live_sink());
  return outcome;
}
