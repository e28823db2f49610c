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
};

/// Runs argv[0] (a path, or a name looked up in PATH) with the arguments
/// argv, no shell, and waits for this very child to end. While it runs,
/// `on_wait` (if given) is called about every `tick_ms` milliseconds.
child_result run_program(const std::vector<std::string>& argv, const child_streams& streams,
                         const std::function<void()>& on_wait = nullptr, int tick_ms = 200);

/// Runs argv like run_program (no shell) with its standard output and
/// standard error both collected into `output`, at most `limit` bytes.
child_result run_program_output(const std::vector<std::string>& argv, std::string* output,
                                size_t limit = 1 << 20);

/// Runs a command line through the shell (popen) and collects what it writes
/// to standard output, at most `limit` bytes (the rest is read and dropped).
/// False when the pipe or the process cannot be created.
bool read_command_output(const std::string& command, std::string* output,
                         size_t limit = 1 << 20);

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
