// Starting one child process: pipes, fork, exec, and the report of a failed exec.
#include "run/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/console.h"
#include "run/signal_guard.h"
#include "run/text_format.h"

namespace {

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const std::vector<char*>& args, const spawn_plan& plan, int out,
                             int err, int null_fd, int report_fd) {
  if (plan.own_process_group) setpgid(0, 0);
  // A child must not inherit our signal policy: it gets the default actions back.
  for (int signo : kEndingSignals) signal(signo, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);  // ignored by us only
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(null_fd, STDIN_FILENO) < 0) _exit(127);
  if (out >= 0 && dup2(out, STDOUT_FILENO) < 0) _exit(127);
  if (err >= 0 && dup2(err, STDERR_FILENO) < 0) _exit(127);
  if (plan.keep_open >= 0 && fcntl(plan.keep_open, F_SETFD, 0) < 0) _exit(127);
  execvp(args[0], args.data());
  int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// Reads the exec report pipe of a child just forked: it closes on a
// successful exec, and carries errno when the exec failed. 0 for a started
// child, else that errno.
int exec_failure(int report_fd) {
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(report_fd, &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof exec_error) ? exec_error : 0;
}

}  // namespace

child_handle spawn_child(const spawn_plan& plan) {
  child_handle handle;
  if (plan.argv.empty()) {
    handle.error = EINVAL;
    return handle;
  }
  std::vector<char*> args;
  for (const std::string& arg : plan.argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  unique_fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  int out_fds[2] = {-1, -1}, report_fds[2];
  if (!null_fd.valid() || (plan.capture && pipe2(out_fds, O_CLOEXEC) != 0)) {
    handle.error = errno;
    return handle;
  }
  unique_fd out_read(out_fds[0]), out_write(out_fds[1]);
  if (pipe2(report_fds, O_CLOEXEC) != 0) {
    handle.error = errno;
    return handle;
  }
  unique_fd report_read(report_fds[0]), report_write(report_fds[1]);
  const int out = plan.out >= 0 ? plan.out : out_write.get();
  const int err = plan.capture ? out_write.get() : plan.err;

  flush_console();  // nothing of ours may be buffered twice
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    handle.error = errno;
    return handle;
  }
  if (pid == 0) exec_child(args, plan, out, err, null_fd.get(), report_write.get());
  if (plan.own_process_group) setpgid(pid, pid);  // the child does the same; the first wins
  handle.pid = pid;
  report_write.reset();
  out_write.reset();
  handle.error = exec_failure(report_read.get());
  handle.output = std::move(out_read);
  handle.exited.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  return handle;
}

void decode_wait_status(int status, child_result* result) {
  if (WIFEXITED(status)) {
    result->exited = true;
    result->exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->signal = WTERMSIG(status);
  }
}

std::string describe_child_result(const child_result& result) {
  if (!result.started) return strprintf("could not be started (%s)", std::strerror(result.error));
  if (result.exited) return strprintf("exit status %d", result.exit_code);
  return strprintf("killed by signal %d", result.signal);
}
