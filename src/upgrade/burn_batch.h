// Burning the boards of a run, one at a time or side by side, their output in table order.
#pragma once

#include <cstddef>
#include <functional>

#include "run/run_state.h"
#include "upgrade/image_flashing.h"

/// What a row of the table comes to once its turn to be planned comes.
enum class row_plan {
  done,     ///< it wrote what it had to; nothing to burn
  burn,     ///< its job is prepared (prepare_burn): burn it
  at_turn,  ///< its work waits until every earlier row is out (a board's other device)
  stop,     ///< the run ends here: no further row is planned
};

/// The rows of a run and what to do with each.
struct burn_rows {
  size_t count = 0;
  /// Called in table order, once a burn slot is free and no ending signal
  /// was noted: decides, writes, and prepares the row's job when it burns.
  std::function<row_plan(size_t row, burn_job* job)> plan;
  /// Called once the row's burn is judged and counted.
  std::function<void(size_t row, burn_outcome outcome)> burned;
  /// Called for a row planned at_turn once every earlier row is out.
  std::function<void(size_t row)> at_turn;
};

/// Runs the rows: at most `jobs` burns at once, each board from its plan
/// through its burn (the burn lock kept by the tool) to its judged outcome.
/// What each row writes to the console and the log comes out whole and in
/// table order, as one burn after another would write it: a row's output
/// waits while an earlier row is not out. While burns run (side by side,
/// while any child of the batch runs), SIGINT, SIGTERM and SIGHUP are
/// deferred: no further row is planned, the running burns are waited for
/// and judged. Returns that signal, or 0; a signal during the image query of
/// a one-at-a-time run ends the query and then the process, as it ends any
/// query.
int run_burn_batch(const burn_rows& rows, int jobs);

/// Burns side by side: `wanted` (FWKIT_BURN_JOBS), at least 1 and at most
/// `boards`.
int burn_jobs(int wanted, int boards);
