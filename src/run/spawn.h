// Starting one child process: argv without a shell, where its streams go, its process group, the
// one descriptor it keeps; and how a child ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "run/file_io.h"

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

/// What a child is started with. Standard input is always /dev/null.
struct spawn_plan {
  std::vector<std::string> argv;  ///< argv[0]: a path, or a name looked up in PATH
  /// Standard output and error: a descriptor of ours, or -1 to inherit ours,
  /// unless `capture` takes them.
  int out = -1;
  int err = -1;
  /// Standard error, and standard output unless `out` is set, into a new
  /// pipe whose read end the handle holds.
  bool capture = false;
  /// Start the child in a process group of its own, so that a terminal's
  /// Ctrl-C reaches only us and cannot abandon the child halfway.
  bool own_process_group = false;
  /// A descriptor of ours the child keeps across exec (the burn lock), or -1.
  int keep_open = -1;
};

/// A child started by spawn_child.
struct child_handle {
  pid_t pid = -1;     ///< -1: no process was made (`error` says why)
  int error = 0;      ///< errno of a failed pipe, fork or exec; a failed exec still has a pid to reap
  unique_fd output;   ///< read end of the captured streams, when the plan captures
  unique_fd exited;   ///< readable once the process has ended (a pidfd), when the kernel has them
};

/// Starts `plan.argv`; after a failed exec the handle has the pid of the
/// child that reported it and is about to exit 127. Our buffered console and
/// standard error are flushed first, so nothing is written twice.
child_handle spawn_child(const spawn_plan& plan);

/// Fills `result` from a status of waitpid.
void decode_wait_status(int status, child_result* result);

/// Describes how a child ended, for log texts: "exit status 3",
/// "killed by signal 9", "could not be started (No such file or directory)".
std::string describe_child_result(const child_result& result);
