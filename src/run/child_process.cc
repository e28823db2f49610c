// Child processes: fork/exec and popen, waiting, exit-status decoding, deferred signals.
#include "run/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

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
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(null_fd, STDIN_FILENO) < 0) _exit(127);
  if (streams.out >= 0 && dup2(streams.out, STDOUT_FILENO) < 0) _exit(127);
  if (streams.err >= 0 && dup2(streams.err, STDERR_FILENO) < 0) _exit(127);
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

  // The exec report pipe closes on a successful exec; data means exec failed.
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(report_read.get(), &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);

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
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    result.error = exec_error;
    return result;
  }
  result.started = true;
  decode_wait_status(status, &result);
  return result;
}

child_result run_program_output(const std::vector<std::string>& argv, std::string* output,
                                size_t limit) {
  output->clear();
  // A file rather than a pipe: the child never waits for us to read.
  temp_file collected;
  if (!collected.create("/tmp/dataXXXXXX")) {
    child_result failed;
    failed.error = errno;
    return failed;
  }
  child_streams streams;
  streams.out = collected.fd();
  streams.err = collected.fd();
  const child_result result = run_program(argv, streams);
  read_file_text(collected.path(), output, limit);
  return result;
}

bool read_command_output(const std::string& command, std::string* output, size_t limit) {
  output->clear();
  flush_console();
  std::fflush(stderr);
  std::unique_ptr<FILE, int (*)(FILE*)> stream(popen(command.c_str(), "re"), pclose);
  if (!stream) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stream.get())) > 0) {
    if (output->size() < limit) output->append(buf, std::min(n, limit - output->size()));
  }
  return true;
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
