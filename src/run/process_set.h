// The waiting engine: a set of running children, their output, time limits and ends, and the
// batches, single runs and commands built on it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "run/signal_guard.h"
#include "run/spawn.h"

/// Children waited for together: one poll loop reads their captured output
/// (at most 1 MiB kept each, the rest read and dropped), reaps them, ends
/// one past its time limit, its process group and the child itself, which
/// may have left that group (SIGTERM, then SIGKILL 5 seconds later, and it
/// comes back `timed_out`), and wakes for the
/// guard's signals; under a stop policy every group is ended. Once a child
/// itself has ended, its output may go on for one more second (a daemon it
/// started may hold it open); then the output counts as it stands and what
/// is left of its group is killed.
class process_set {
 public:
  explicit process_set(const signal_guard& guard) : guard_(&guard) {}
  process_set(const process_set&) = delete;
  process_set& operator=(const process_set&) = delete;

  /// Waits for a child spawned with a pid; `tag` names it to wait()'s
  /// caller; `result` and `output` (may be null) live until it is done.
  /// `time_limit_seconds` 0: no limit.
  void add(size_t tag, child_handle child, child_result* result, std::string* output,
           int time_limit_seconds);
  /// From now on the signals go by `guard` (which must outlive its use here).
  void watch(const signal_guard& guard) { guard_ = &guard; }
  /// Children not yet done.
  size_t size() const { return children_.size(); }
  /// Waits until at least one child is done, or a signal is first noted;
  /// the tags of the children done. Meanwhile `on_tick`, when given, is
  /// called about every `tick_ms` milliseconds.
  std::vector<size_t> wait(const std::function<void()>& on_tick = nullptr, int tick_ms = 200);

 private:
  using steady = std::chrono::steady_clock;
  struct child {
    size_t tag = 0;
    pid_t pid = -1;
    unique_fd out;     // the captured output; closed at its end
    unique_fd exited;  // readable once the process ended
    child_result* result = nullptr;
    std::string* output = nullptr;
    bool reaped = false;
    bool graced = false;  // reaped with its output still open: the grace runs to `deadline`
    int ending = 0;       // 0, or the last signal we sent to its group
    steady::time_point deadline = steady::time_point::max();  // limit, then the SIGKILL moment

    bool done() const { return reaped && (!out.valid() || ending == SIGKILL); }
  };
  void look_at(child* c, const std::vector<struct pollfd>& fds, steady::time_point now);

  const signal_guard* guard_;
  std::vector<child> children_;
  bool stopping_ = false;
};

/// One program of a run_side_by_side batch and what became of it.
struct captured_run {
  std::vector<std::string> argv;
  /// When set, standard output goes to this descriptor and standard error
  /// stays ours, instead of both into `output`.
  int stdout_fd = -1;
  child_result result;
  std::string output;       ///< standard output and error, merged
  bool made = false;        ///< the process was made (its exec may still have failed)
  bool overlapped = false;  ///< another run of the batch ran beside it at some time
};

/// Runs every entry of `runs` without a shell, standard input from
/// /dev/null, each in a process group of its own, started in their order,
/// at most `jobs` (at least 1) at a time, each with the time limit, waited
/// for in a process_set. Signals go by `caller`'s guard; without one, a
/// SIGINT, SIGTERM or SIGHUP that arrives meanwhile (and is not ignored)
/// ends the runs, and then this process by that signal: no tool is left
/// running behind us.
void run_side_by_side(std::vector<captured_run>* runs, size_t jobs, int time_limit_seconds,
                      const signal_guard* caller = nullptr);

/// One run as run_side_by_side runs it: standard output and error merged
/// into `output`.
child_result run_captured(const std::vector<std::string>& argv, std::string* output,
                          int time_limit_seconds = 0, const signal_guard* caller = nullptr);

/// Runs a command as run_side_by_side runs one, its standard output going to
/// `stdout_fd`. Returns its exit status: 127 when it could not be started,
/// 128 + n when signal n ended it; `how` (when given) gets the details.
/// The caller shows the command when it is to be seen.
int do_command(const std::vector<std::string>& argv, int stdout_fd, int time_limit_seconds,
               child_result* how = nullptr);
