// Child processes: the one place that starts external programs and waits for them.
#pragma once

#include <functional>
#include <string>
#include <vector>

/// How a child process ended.
struct child_result {
  bool started = false;  ///< false: fork or exec failed, `error` says why
  int error = 0;         ///< errno of a failed fork or exec
  bool exited = false;   ///< the child called exit; `exit_code` holds its status
  int exit_code = -1;
  int signal = 0;        ///< the signal that ended the child, when it did not exit
  bool timed_out = false;  ///< it outlived its time limit and we ended its process group

  bool succeeded() const { return started && exited && exit_code == 0; }
};

/// Where a child's standard streams go: a descriptor of ours, or -1 for
/// standard input from /dev/null and inherited output streams.
struct child_streams {
  int out = -1;
  int err = -1;
  /// Start the child in a process group of its own, so that a terminal's
  /// Ctrl-C reaches only us and cannot abandon the child halfway.
  bool own_process_group = false;
  /// A descriptor of ours the child keeps across exec (the burn lock), or -1.
  int keep_open = -1;
};

/// Runs argv[0] (a path, or a name looked up in PATH) with the arguments
/// argv, no shell, and waits for this very child to end. While it runs,
/// `on_wait` (if given) is called about every `tick_ms` milliseconds.
child_result run_program(const std::vector<std::string>& argv, const child_streams& streams,
                         const std::function<void()>& on_wait = nullptr, int tick_ms = 200);

/// Runs argv without a shell, standard input from /dev/null, standard output
/// and error merged into `output` (at most 1 MiB kept, the rest read and
/// dropped), in a process group of its own. With a `time_limit_seconds`
/// above 0, a child still running after it has its group ended (SIGTERM,
/// then SIGKILL 5 seconds later) and comes back `timed_out`. Once the child
/// itself has ended, its output may go on for one more second (a daemon it
/// started may hold it open); then the output counts as it stands and what
/// is left of its group is killed. Signals as for run_side_by_side.
child_result run_captured(const std::vector<std::string>& argv, std::string* output,
                          int time_limit_seconds = 0);

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

/// Runs every entry of `runs` as run_captured does, started in their order,
/// at most `jobs` (at least 1) at a time, each with the time limit.
/// A SIGINT, SIGTERM or SIGHUP that arrives meanwhile, unless deferred by a
/// deferred_signals guard or ignored, ends the process groups of the runs
/// (SIGTERM, then SIGKILL 5 seconds later), waits for them, and then ends
/// this process by that signal, as the signal's default action would: no
/// tool is left running behind us.
void run_side_by_side(std::vector<captured_run>* runs, size_t jobs, int time_limit_seconds);

/// While an instance lives, SIGINT, SIGTERM and SIGHUP are recorded instead
/// of ending the process, so that a burn in progress is never abandoned.
class deferred_signals {
 public:
  deferred_signals();
  ~deferred_signals();
  deferred_signals(const deferred_signals&) = delete;
  deferred_signals& operator=(const deferred_signals&) = delete;

  /// The last of those signals received while deferred in this process, or 0.
  static int received();
};

/// Echoes `shown` (the command as an operator would type it) followed by
/// " \n" straight to standard output, then runs `argv` without a shell, its
/// standard output going to `stdout_fd` (or ours when -1). Returns the exit
/// status, 127 when it could not be started, 128 + n when signal n ended it.
int do_command(const std::string& shown, const std::vector<std::string>& argv,
               int stdout_fd = -1);

/// Describes how a child ended, for log texts: "exit status 3",
/// "killed by signal 9", "could not be started (No such file or directory)".
std::string describe_child_result(const child_result& result);
