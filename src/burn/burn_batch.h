// Burning the boards of a run, one at a time or side by side, their output in table order.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "burn/image_flashing.h"
#include "run/output_sink.h"
#include "run/run_state.h"
#include "run/spawn.h"

/// What a row of the table comes to once its turn to be planned comes.
enum class row_plan {
  done,     ///< it wrote what it had to; nothing to burn
  burn,     ///< its job is prepared (prepare_burn): burn its board's flash
  refused,  ///< its board's burn was tried and refused before any tool ran
  shares,   ///< a device of an earlier row's board: its flash is burned through that row
  stop,     ///< the run ends here: no further row is planned
};

/// A row at its turn to be planned.
struct row_turn {
  size_t row = 0;
  burn_job* job = nullptr;     ///< prepared by the plan when the row burns
  output_sink* out = nullptr;  ///< where the row writes
  /// Per row planned so far: whether it carries its board's burn (burn or refused).
  const std::vector<bool>* carries_burn = nullptr;
  size_t through = 0;  ///< set by a plan that answers `shares`: the row its flash is burned through
};

/// The steps of one burn between the children the batch waits for: by
/// default image flashing's own.
struct burn_steps {
  std::function<bool(burn_job*, burn_outcome*, output_sink&)> take_image_report =
      ::take_image_report;
  std::function<child_handle(const burn_job&)> start = start_burn;
  std::function<bool(burn_job*)> verify = verify_step;
  std::function<burn_outcome(burn_job&, output_sink&)> judge = judge_burn;
};

/// The rows of a run and what to do with each.
struct burn_rows {
  size_t count = 0;
  /// Called in table order, once a burn slot is free and no ending signal
  /// was noted: decides, writes, and prepares the row's job when it burns.
  std::function<row_plan(row_turn& turn)> plan;
  /// Called once the row's burn is judged and counted.
  std::function<void(size_t row, burn_outcome outcome, output_sink& out)> burned;
  /// Called for a row planned `shares`: at once when the burn of `through`
  /// was judged before (`waited` false), else once every earlier row is out.
  std::function<void(size_t row, size_t through, bool waited, output_sink& out)> shared;
  burn_steps steps;
};

/// Runs the rows: at most `jobs` burns at once, each board from its plan
/// through its burn (the burn lock kept by the tool) to its judged outcome.
/// Each row writes through a sink of its own: `out` while every earlier row
/// is out, else one that holds its text until then, so that what the rows
/// write comes out whole and in table order, as one burn after another
/// would write it. While burns run (side by side, while any child of the
/// batch runs), SIGINT, SIGTERM and SIGHUP are deferred: no further row is
/// planned, the running burns are waited for and judged. Returns that
/// signal, or 0; a signal during the image query of a one-at-a-time run ends
/// the query and then the process, as it ends any query.
int run_burn_batch(const burn_rows& rows, int jobs, output_sink& out);

/// Burns side by side: `wanted` (FWKIT_BURN_JOBS), at least 1 and at most
/// `boards`.
int burn_jobs(int wanted, int boards);
