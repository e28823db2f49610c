// Child processes: fork/exec, captured output, time limits, waiting, exit-status decoding, signals.
#include "run/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "run/console.h"
#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

volatile sig_atomic_t g_deferred_signal = 0;
const int kDeferredSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous_actions[3];
int g_deferral_depth = 0;  // guards may nest; only the outermost installs and restores

void record_signal(int signo) { g_deferred_signal = signo; }

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const std::vector<char*>& args, const child_streams& streams,
                             int null_fd, int report_fd) {
  if (streams.own_process_group) setpgid(0, 0);
  // A child must not inherit our deferral: it gets the default actions back.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);  // ignored by us only
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(null_fd, STDIN_FILENO) < 0) _exit(127);
  if (streams.out >= 0 && dup2(streams.out, STDOUT_FILENO) < 0) _exit(127);
  if (streams.err >= 0 && dup2(streams.err, STDERR_FILENO) < 0) _exit(127);
  if (streams.keep_open >= 0 && fcntl(streams.keep_open, F_SETFD, 0) < 0) _exit(127);
  execvp(args[0], args.data());
  int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

void decode_wait_status(int status, child_result* result) {
  if (WIFEXITED(status)) {
    result->exited = true;
    result->exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->signal = WTERMSIG(status);
  }
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

child_result run_program(const std::vector<std::string>& argv, const child_streams& streams,
                         const std::function<void()>& on_wait, int tick_ms) {
  child_result result;
  if (argv.empty()) {
    result.error = EINVAL;
    return result;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  unique_fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  int pipe_fds[2];
  if (!null_fd.valid() || pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  unique_fd report_read(pipe_fds[0]), report_write(pipe_fds[1]);

  flush_console();  // nothing of ours may be buffered twice
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    result.error = errno;
    return result;
  }
  if (pid == 0) exec_child(args, streams, null_fd.get(), report_write.get());
  report_write.reset();

  const int exec_error = exec_failure(report_read.get());

  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, on_wait ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      result.error = errno;
      return result;
    }
    if (done == 0 && on_wait) {
      on_wait();
      poll(nullptr, 0, tick_ms);
    }
  }
  if (exec_error != 0) {
    result.error = exec_error;
    return result;
  }
  result.started = true;
  decode_wait_status(status, &result);
  return result;
}

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t kOutputLimit = 1 << 20;
constexpr auto kKillDelay = std::chrono::seconds(5);
constexpr auto kReapPoll = std::chrono::milliseconds(10);
// How long the output may go on once the child itself has ended: a daemon it
// started may hold the output open for good.
constexpr auto kOutputGrace = std::chrono::seconds(1);
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The self-pipe of the batch that runs now: child ends and ending signals
// wake its poll.
int g_wake_fd = -1;
volatile sig_atomic_t g_ending_signal = 0;

void wake_batch(int signo) {
  const int saved_errno = errno;
  if (signo != SIGCHLD) g_ending_signal = signo;
  const char byte = 0;
  ssize_t ignored = write(g_wake_fd, &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

// While a batch runs: SIGCHLD wakes it, and so do the ending signals unless
// a deferred_signals guard records them or they are ignored.
class batch_signals {
 public:
  explicit batch_signals(int wake_fd) {
    g_wake_fd = wake_fd;
    g_ending_signal = 0;
    struct sigaction action = {};
    action.sa_handler = wake_batch;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    install(SIGCHLD, action);
    if (g_deferral_depth > 0) return;
    for (int signo : kEndingSignals) {
      struct sigaction now = {};
      sigaction(signo, nullptr, &now);
      if (now.sa_handler != SIG_IGN) install(signo, action);
    }
  }
  ~batch_signals() {
    for (size_t i = 0; i < count_; ++i) sigaction(signos_[i], &previous_[i], nullptr);
    g_wake_fd = -1;
  }
  batch_signals(const batch_signals&) = delete;
  batch_signals& operator=(const batch_signals&) = delete;

 private:
  void install(int signo, const struct sigaction& action) {
    signos_[count_] = signo;
    sigaction(signo, &action, &previous_[count_++]);
  }
  int signos_[4] = {};
  struct sigaction previous_[4] = {};
  size_t count_ = 0;
};

// One started run of a batch.
struct running_child {
  size_t index = 0;
  pid_t pid = -1;
  unique_fd out;            // read end of the merged output; closed at end of file
  bool reaped = false;
  bool graced = false;      // reaped with its output still open: the grace runs to `deadline`
  int ending = 0;           // 0, or the last signal we sent to its group
  steady::time_point deadline = steady::time_point::max();  // limit, then the SIGKILL moment

  bool done() const { return reaped && (!out.valid() || ending == SIGKILL); }
};

// Starts run->argv with its output into a new pipe; false (with the result
// saying why) when the pipe or the process cannot be made.
bool start_captured(captured_run* run, int null_fd, running_child* child) {
  std::vector<char*> args;
  for (const std::string& arg : run->argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int out_fds[2] = {-1, -1}, report_fds[2];
  if (run->argv.empty()) {
    run->result.error = EINVAL;
    return false;
  }
  if (run->stdout_fd < 0 && pipe2(out_fds, O_CLOEXEC) != 0) {
    run->result.error = errno;
    return false;
  }
  unique_fd out_read(out_fds[0]), out_write(out_fds[1]);
  if (pipe2(report_fds, O_CLOEXEC) != 0) {
    run->result.error = errno;
    return false;
  }
  unique_fd report_read(report_fds[0]), report_write(report_fds[1]);
  child_streams streams;
  streams.out = run->stdout_fd >= 0 ? run->stdout_fd : out_write.get();
  streams.err = out_write.get();  // -1 with stdout_fd: ours
  streams.own_process_group = true;
  pid_t pid = fork();
  if (pid < 0) {
    run->result.error = errno;
    return false;
  }
  if (pid == 0) exec_child(args, streams, null_fd, report_write.get());
  setpgid(pid, pid);  // the child does the same; whoever is first wins the race
  run->made = true;
  report_write.reset();
  out_write.reset();
  run->result.error = exec_failure(report_read.get());
  run->result.started = run->result.error == 0;
  child->pid = pid;
  child->out = std::move(out_read);
  return true;
}

void signal_group(running_child* child, int signo, steady::time_point now) {
  if (child->reaped && !child->out.valid()) return;
  kill(-child->pid, signo);
  child->ending = signo;
  child->deadline = signo == SIGTERM ? now + kKillDelay : steady::time_point::max();
}

void read_output(running_child* child, captured_run* run) {
  char buf[4096];
  ssize_t n = read(child->out.get(), buf, sizeof buf);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    child->out.reset();
    return;
  }
  const size_t room = kOutputLimit - std::min(kOutputLimit, run->output.size());
  run->output.append(buf, std::min(static_cast<size_t>(n), room));
}

// Ends this process by `signo`, as its default action would have.
[[noreturn]] void end_by_signal(int signo) {
  flush_console();
  std::fflush(stderr);
  signal(signo, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signo);
  _exit(128 + signo);
}

// Runs the batch with the wake pipe in place; the ending signal that stopped
// it, or 0.
int run_batch(std::vector<captured_run>* runs, size_t jobs, int time_limit_seconds, int null_fd,
              int wake_fd) {
  std::vector<running_child> running;
  size_t next = 0;
  int stopping = 0;
  while (next < runs->size() || !running.empty()) {
    while (!stopping && running.size() < jobs && next < runs->size()) {
      captured_run& run = (*runs)[next];
      running_child child;
      child.index = next++;
      if (!start_captured(&run, null_fd, &child)) continue;
      if (!running.empty()) run.overlapped = true;
      for (running_child& other : running) (*runs)[other.index].overlapped = true;
      if (time_limit_seconds > 0) {
        child.deadline = steady::now() + std::chrono::seconds(time_limit_seconds);
      }
      running.push_back(std::move(child));
    }
    if (running.empty()) break;

    std::vector<pollfd> fds{{wake_fd, POLLIN, 0}};
    steady::time_point wake_at = steady::time_point::max();
    for (const running_child& child : running) {
      if (child.out.valid()) fds.push_back({child.out.get(), POLLIN, 0});
      wake_at = std::min(wake_at, child.deadline);
      // Its output ended just before it did: look again soon, even should
      // SIGCHLD be blocked by whoever started us.
      // (A child writing elsewhere is looked at less often.)
      if (!child.out.valid() && !child.reaped) {
        const bool piped = (*runs)[child.index].stdout_fd < 0;
        wake_at = std::min(wake_at, steady::now() + (piped ? kReapPoll : 20 * kReapPoll));
      }
    }
    int timeout_ms = -1;
    if (wake_at != steady::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(wake_at - steady::now()).count();
      timeout_ms = static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) break;
    char drain[64];
    while (read(wake_fd, drain, sizeof drain) > 0) {
    }

    const steady::time_point now = steady::now();
    if (g_ending_signal != 0 && !stopping) {
      stopping = g_ending_signal;
      for (running_child& child : running) signal_group(&child, SIGTERM, now);
    }
    for (running_child& child : running) {
      captured_run& run = (*runs)[child.index];
      for (const pollfd& fd : fds) {
        if (fd.fd == child.out.get() && fd.revents != 0) read_output(&child, &run);
      }
      int status = 0;
      if (!child.reaped && waitpid(child.pid, &status, WNOHANG) == child.pid) {
        child.reaped = true;
        decode_wait_status(status, &run.result);
        if (child.out.valid() && child.ending == 0) {
          child.graced = true;
          child.deadline = std::min(child.deadline, now + kOutputGrace);
        }
      }
      if (child.graced && now >= child.deadline) {
        // The answer stands as it is; what is left of the group goes.
        if (child.out.valid()) kill(-child.pid, SIGKILL);
        child.out.reset();
      } else if (now >= child.deadline) {
        if (child.ending == 0) run.result.timed_out = true;
        signal_group(&child, child.ending == 0 ? SIGTERM : SIGKILL, now);
      }
    }
    std::erase_if(running, [](const running_child& child) { return child.done(); });
  }
  return stopping ? stopping : g_ending_signal;
}

}  // namespace

void run_side_by_side(std::vector<captured_run>* runs, size_t jobs, int time_limit_seconds) {
  unique_fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  int wake_fds[2];
  if (!null_fd.valid() || pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    for (captured_run& run : *runs) run.result.error = errno;
    return;
  }
  unique_fd wake_read(wake_fds[0]), wake_write(wake_fds[1]);
  flush_console();  // nothing of ours may be buffered twice
  std::fflush(stderr);
  int stopped_by = 0;
  {
    batch_signals signals(wake_write.get());
    stopped_by = run_batch(runs, std::max<size_t>(jobs, 1), time_limit_seconds, null_fd.get(),
                           wake_read.get());
  }
  // Past the guard a signal takes its own course; one noted before ends us now.
  if (stopped_by != 0) end_by_signal(stopped_by);
}

child_result run_captured(const std::vector<std::string>& argv, std::string* output,
                          int time_limit_seconds) {
  std::vector<captured_run> runs(1);
  runs[0].argv = argv;
  run_side_by_side(&runs, 1, time_limit_seconds);
  *output = std::move(runs[0].output);
  return runs[0].result;
}

deferred_signals::deferred_signals() {
  if (g_deferral_depth++ > 0) return;
  struct sigaction action = {};
  action.sa_handler = record_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < 3; ++i) sigaction(kDeferredSignals[i], &action, &g_previous_actions[i]);
}

deferred_signals::~deferred_signals() {
  if (--g_deferral_depth > 0) return;
  for (size_t i = 0; i < 3; ++i) sigaction(kDeferredSignals[i], &g_previous_actions[i], nullptr);
}

int deferred_signals::received() { return g_deferred_signal; }

int do_command(const std::string& shown, const std::vector<std::string>& argv, int stdout_fd) {
  write_console(shown + " \n");
  child_streams streams;
  streams.out = stdout_fd;
  child_result result = run_program(argv, streams);
  if (!result.started) return 127;
  if (!result.exited) return 128 + result.signal;
  return result.exit_code;
}

std::string describe_child_result(const child_result& result) {
  if (!result.started) return strprintf("could not be started (%s)", std::strerror(result.error));
  if (result.exited) return strprintf("exit status %d", result.exit_code);
  return strprintf("killed by signal %d", result.signal);
}
